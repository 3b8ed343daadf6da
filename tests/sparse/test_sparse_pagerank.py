"""sparse.personalized_pagerank: the word ranking of the keyphrase method.

Against a plain-Python model on random inputs; its refusals; and, as for
sparse.textrank, no leaks, every allocation allowed to fail, shared inputs
under thread switches, and the interpreter's lock free while it computes.
"""
import array
import math
import threading

import numpy

import pytest
from hypothesis import given, settings, strategies as st

import tallowmere.vellumcrest.sparse as sparse
import test_sparse_reliability as reliability

ROUNDS = 5


def model(keys, restart, window=3, alpha=0.85, n_iter=30):
    """The ranking as the module documents it, in plain Python."""
    n = len(restart)
    links = [dict() for _ in range(n)]
    for i, a in enumerate(keys):
        for b in keys[i + 1 : i + window]:
            if a != b:
                links[a][b] = links[a].get(b, 0) + 1
                links[b][a] = links[b].get(a, 0) + 1
    total = sum(restart)
    r = [w / total for w in restart] if total > 0 else [1 / n] * n
    pr = [1 / n] * n
    for _ in range(n_iter):
        dangling = sum(pr[u] for u in range(n) if not links[u])
        pr = [
            (1 - alpha) * r[v]
            + alpha * (sum(pr[u] * w / sum(links[u].values()) for u, w in links[v].items()) + dangling * r[v])
            for v in range(n)
        ]
    return pr


@st.composite
def walks(draw):
    n = draw(st.integers(1, 12))
    keys = draw(st.lists(st.integers(0, n - 1), max_size=60))
    restart = draw(st.lists(st.floats(0, 100, allow_nan=False) | st.just(0.0), min_size=n, max_size=n))
    window = draw(st.integers(2, 6))
    alpha = draw(st.floats(0, 1))
    n_iter = draw(st.integers(0, 40))
    return keys, restart, window, alpha, n_iter


@settings(max_examples=300, deadline=None)
@given(walks())
def test_agrees_with_the_model(walk):
    keys, restart, window, alpha, n_iter = walk
    got = sparse.personalized_pagerank(keys, restart, window, alpha, n_iter)
    assert all(type(score) is float for score in got)
    assert got == pytest.approx(model(keys, restart, window, alpha, n_iter), rel=1e-9, abs=1e-15)
    assert math.fsum(got) == pytest.approx(1.0, rel=1e-9)


@pytest.mark.parametrize(
    "keys, restart, kwargs, expected",
    [
        # A path a - b - c: the middle word gathers most.
        ([0, 1, 2], [1, 1, 1], {"window": 2, "alpha": 1.0, "n_iter": 1}, [1 / 6, 2 / 3, 1 / 6]),
        # Without links every score is the restart vector.
        ([0, 0, 0], [3, 1], {}, [0.75, 0.25]),
        # All-zero restarts are equal shares.
        ([1], [0, 0, 0, 0], {}, [0.25] * 4),
        # Links weigh their pair counts, a-b 2 and a-c 3: a's third splits 2 : 3.
        ([0, 1, 0, 2, 0, 2], [1, 0, 0], {"window": 2, "alpha": 1.0, "n_iter": 1}, [2 / 3, 2 / 15, 1 / 5]),
        ([], [], {}, []),
        # The restart vector is scaled to sum 1; alpha 0 is the restart alone.
        ([0, 1, 2, 3], [2, 2, 4, 0], {"alpha": 0.0}, [0.25, 0.25, 0.5, 0.0]),
    ],
)
def test_small_graphs(keys, restart, kwargs, expected):
    got = sparse.personalized_pagerank(keys, restart, **kwargs)
    assert got == pytest.approx(expected)


def test_keyword_arguments_and_any_iterable():
    keys = [0, 1, 2, 1, 0, 3]
    expected = sparse.personalized_pagerank(keys, [1.0, 0.5, 0.25, 2.0], 4, 0.5, 7)
    assert sparse.personalized_pagerank(iter(keys), (w for w in [1, 0.5, 0.25, 2]), window=4, alpha=0.5, n_iter=7) == expected


@pytest.mark.parametrize(
    "keys",
    [
        numpy.array,
        lambda k: numpy.array(k, dtype=numpy.uint8),
        lambda k: numpy.array(k, dtype=numpy.int32).repeat(2)[::2],  # strided
        lambda k: numpy.array(k[::-1], dtype=numpy.uint64)[::-1],  # a negative stride
        lambda k: array.array("h", k),
        bytes,
        lambda k: memoryview(bytes(k)),
        lambda k: numpy.array(k, dtype=">i4"),  # not native: read item by item
    ],
    ids=["intp", "uint8", "strided", "reversed", "array", "bytes", "memoryview", "big-endian"],
)
def test_a_buffer_of_keys_is_read_as_its_items(keys):
    numbers = [0, 1, 1, 0, 1, 0, 0, 1]
    assert sparse.personalized_pagerank(keys(numbers), [1.0, 3.0], 2) == sparse.personalized_pagerank(numbers, [1.0, 3.0], 2)


@pytest.mark.parametrize(
    "keys, message",
    [
        (lambda: numpy.array([0, 1, 2]), r"keys\[2\] is 2, not a word number below 2"),
        (lambda: numpy.array([0, -1], dtype=numpy.int8), r"keys\[1\] is -1"),
        (lambda: numpy.array([2**63], dtype=numpy.uint64), r"keys\[0\] is not a word number below 2"),
    ],
)
def test_a_buffer_of_keys_is_checked_as_its_items(keys, message):
    with pytest.raises(ValueError, match=message):
        sparse.personalized_pagerank(keys(), [1.0, 1.0])
    with pytest.raises(TypeError):
        sparse.personalized_pagerank(numpy.zeros((2, 2), dtype=int), [1.0, 1.0])  # two dimensions: items are rows


class Index:
    def __init__(self, value, on_index=None):
        self.value = value
        self.on_index = on_index

    def __index__(self):
        if self.on_index:
            self.on_index()
        return self.value


def test_a_list_changed_while_it_is_read_is_read_as_it_was():
    keys = [0, 1, 0, 1]
    keys[1] = Index(1, on_index=keys.clear)
    assert sparse.personalized_pagerank(keys, [1, 1]) == sparse.personalized_pagerank([0, 1, 0, 1], [1, 1])


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        (([0, 2], [1, 1]), {}, ValueError, r"keys\[1\] is 2"),
        (([-1], [1]), {}, ValueError, r"keys\[0\] is -1"),
        (([2**70], [1]), {}, ValueError, r"keys\[0\]"),
        (([0.5], [1]), {}, TypeError, None),
        (([0], [-1.0]), {}, ValueError, r"restart\[0\]"),
        (([0], [math.nan]), {}, ValueError, r"restart\[0\]"),
        (([0], [math.inf]), {}, ValueError, r"restart\[0\]"),
        (([0], ["1"]), {}, TypeError, None),
        ((0, [1]), {}, TypeError, None),
        (([0], None), {}, TypeError, None),
        (([0], [1]), {"window": 1}, ValueError, "window"),
        (([0], [1]), {"alpha": 1.5}, ValueError, "alpha"),
        (([0], [1]), {"alpha": math.nan}, ValueError, "alpha"),
        (([0], [1]), {"n_iter": -1}, ValueError, "n_iter"),
        (([0], [1]), {"top": 1}, TypeError, None),
    ],
)
def test_refusals(args, kwargs, error, message):
    with pytest.raises(error, match=message):
        sparse.personalized_pagerank(*args, **kwargs)


# ---- leaks, memory failure, threads ---------------------------------------------


def test_no_growth_over_repeated_calls():
    keys = [k * 7 % 13 for k in range(200)]
    restart = [1 / (1 + k) for k in range(13)]

    def run():
        for _ in range(20):
            sparse.personalized_pagerank(keys, restart, 4)
            for bad in (([0, 13], restart), (keys, [-1.0] * 13), ([Index(0, on_index=lambda: 1 / 0)], [1.0])):
                try:
                    sparse.personalized_pagerank(*bad)
                except (ValueError, ZeroDivisionError):
                    pass

    reliability.assert_no_growth(run, ROUNDS)


SWEEP = reliability.sweep_of("personalized_pagerank")


@pytest.mark.parametrize(
    "call",
    [
        "[0, 1, 2, 0, 3, 1], [1.0, 0.5, 0.25, 0.125], 3, 0.85, 5",
        # Not a generator expression: making one while an allocation fails
        # crashes CPython 3.12 and 3.13 themselves, with no extension loaded.
        "iter([0, 1, 1, 0]), map(float, [0, 0])",
        "[0, 5], [1, 1]",
        # Keys read in place from a buffer.
        "memoryview(bytes([0, 1, 2, 0, 3, 1])), [1.0, 0.5, 0.25, 0.125]",
        "bytes([0, 9]), [1.0, 1.0]",
    ],
)
def test_every_allocation_of_a_call_may_fail(call):
    reliability.assert_sweep_passes(SWEEP, call)


def test_threads_share_inputs_under_thread_switches():
    keys = [k * k % 31 for k in range(2000)]
    restart = [1 / (1 + k) for k in range(31)]
    expected = sparse.personalized_pagerank(keys, restart, 4)
    problems = []

    def work():
        for _ in range(40):
            if sparse.personalized_pagerank(keys, restart, 4) != expected:
                problems.append("different scores")

    import sys

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=work) for _ in range(6)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert not problems


def test_other_threads_run_while_it_computes():
    # A thread that holds the lock all through its call lets no other thread
    # run Python code; this one releases it for the graph and the updates.
    keys = [k * 7919 % 5000 for k in range(100_000)]
    restart = [1.0] * 5000
    during = reliability.ticks_while(lambda: sparse.personalized_pagerank(keys, restart, 5, 0.85, 300))
    assert during > 100, during
