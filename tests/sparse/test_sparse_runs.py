"""sparse.count_runs: the keyphrase candidates' counts.

What they hold is checked against a model that lists every run, through the
keyphrase module (tests/text/test_keyphrases.py); here: the layout of the
result, its refusals, and, as for the engine's other functions, no leaks,
every allocation allowed to fail and the interpreter's lock free while it
counts.
"""
import array

import numpy
import pytest

import tallowmere.vellumcrest.sparse as sparse
import test_sparse_reliability as reliability


def arrays(counted):
    return [[numpy.frombuffer(part, dtype=numpy.intp).tolist() for part in parts] for parts in counted]


def test_the_runs_of_two_chunks():
    # Chunks [5 6 5 6] and [6 5]: the runs of n words inside them, by first start.
    got = arrays(sparse.count_runs([5, 6, 5, 6, 9, 6, 5], [0, 5], [4, 2], 3))
    assert got == [
        # keys, times, first, last, whole, prefix, suffix
        [[5, 6], [3, 3], [0, 1], [6, 5], [0, 0], [], []],
        [[5, 6, 6, 5], [2, 2], [0, 1], [2, 5], [0, 1], [0, 1], [1, 0]],
        [[5, 6, 5, 6, 5, 6], [1, 1], [0, 1], [0, 1], [0, 0], [0, 1], [1, 0]],
    ]


@pytest.mark.parametrize(
    "keys, starts, lengths",
    [
        (numpy.array([1, 2, 1, 2, 3]), numpy.array([0, 3]), numpy.array([3, 2])),
        (array.array("I", [1, 2, 1, 2, 3]), bytes([0, 3]), (3, 2)),
        (iter([1, 2, 1, 2, 3]), [0, 3], [3, 2]),
    ],
    ids=["numpy", "array and bytes", "iterables"],
)
def test_buffers_and_sequences_give_the_same_runs(keys, starts, lengths):
    assert sparse.count_runs(keys, starts, lengths) == sparse.count_runs([1, 2, 1, 2, 3], [0, 3], [3, 2])


def test_no_words_no_runs():
    assert sparse.count_runs([], [], []) == []
    assert sparse.count_runs([1, 2], [0], [0]) == []


@pytest.mark.parametrize(
    "args, error, message",
    [
        (([1, -1], [0], [2]), ValueError, r"keys\[1\] is -1, not a key below"),
        (([2**32 - 1], [0], [1]), ValueError, r"keys\[0\] is"),
        (([1, 2], [0, 1], [1]), ValueError, "2 starts but 1 lengths"),
        (([1, 2, 3], [0, 1], [2, 1]), ValueError, r"chunk 1 \(start 1, length 1\) begins before the one before it ends"),
        (([1, 2, 3], [2, 0], [1, 1]), ValueError, "begins before"),
        (([1, 2, 3], [2], [2]), ValueError, "runs past the keys"),
        (([1, 2, 3], [4], [0]), ValueError, r"starts\[0\] is 4, not a place below 4"),
        (([1], [0], [1], 0), ValueError, "max_words must be at least 1"),
        (([1.5], [0], [1]), TypeError, None),
        ((None, [0], [1]), TypeError, None),
    ],
)
def test_refusals(args, error, message):
    with pytest.raises(error, match=message):
        sparse.count_runs(*args)


def test_no_growth_over_repeated_calls():
    keys = [k * 7 % 13 for k in range(300)]
    starts, lengths = list(range(0, 300, 6)), [5] * 50

    def run():
        for _ in range(20):
            sparse.count_runs(keys, starts, lengths)
            sparse.count_runs(numpy.array(keys), numpy.array(starts), numpy.array(lengths), 6)
            try:
                sparse.count_runs(keys, starts, [7] * 50)
            except ValueError:
                pass

    reliability.assert_no_growth(run)


SWEEP = reliability.sweep_of("count_runs")


@pytest.mark.parametrize(
    "call",
    [
        # More distinct runs than the table's first size, so that it grows.
        "[k * 7 % 1500 for k in range(3000)], range(0, 3000, 3), [3] * 1000",
        "memoryview(bytes([1, 2, 1, 2, 3])), memoryview(bytes([0, 3])), [3, 2], 2",
        "[1, 2, 3], [2], [2]",
    ],
)
def test_every_allocation_of_a_call_may_fail(call):
    reliability.assert_sweep_passes(SWEEP, call)


def test_other_threads_run_while_it_counts():
    keys = numpy.arange(3_000_000) * 7919 % 50_000
    starts = numpy.arange(0, 3_000_000, 5)
    during = reliability.ticks_while(lambda: sparse.count_runs(keys, starts, numpy.full(len(starts), 4)))
    assert during > 100, during
