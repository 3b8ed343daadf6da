"""Fast paths: where the module works on exact built-in types or numpy's own
arrays directly, a caller sees exactly what the Python operations give, and
anything else goes the ordinary way."""
import types

import numpy
import pytest

import model
from conftest import assert_same, live_functions, outcome
import tallowmere.vellumcrest.keyword as keyword

CORPUS = ["a", "b", "c", "a", "d", "e", "b", "f"]


class RecordingArray(numpy.ndarray):
    """A subclass of numpy's array type that counts its row subscriptions."""
    rows_taken = 0

    def __getitem__(self, index):
        if isinstance(index, int):
            type(self).rows_taken += 1
        return super().__getitem__(index)


def misaligned_zeros(shape):
    buffer = bytearray(8 * shape[0] * shape[1] + 1)
    return numpy.frombuffer(buffer, dtype=numpy.float64, offset=1).reshape(shape)


def read_only_zeros(shape):
    matrix = numpy.zeros(shape)
    matrix.flags.writeable = False
    return matrix


# Arrays that numpy.zeros may be replaced to return: each must be filled by
# row subscription and item assignment, never through its buffer as if it were
# a plain float64 (n, n) array.  A wrong path writes doubles at the wrong
# places or into a read-only array.
MATRICES = {
    "subclass": lambda shape: numpy.zeros(shape).view(RecordingArray),
    "read-only": read_only_zeros,
    "column slice": lambda shape: numpy.zeros([shape[0], 2 * shape[1]])[:, ::2],
    "Fortran order": lambda shape: numpy.zeros(shape, order="F"),
    "float32": lambda shape: numpy.zeros(shape, dtype=numpy.float32),
    "int64": lambda shape: numpy.zeros(shape, dtype=numpy.int64),
    "big-endian": lambda shape: numpy.zeros(shape, dtype=">f8"),
    "one row more": lambda shape: numpy.zeros([shape[0] + 1, shape[1] + 1]),
    "flat": lambda shape: numpy.zeros(shape[0] * shape[1]),
    "misaligned": misaligned_zeros,
}


@pytest.fixture(scope="module")
def stages():
    """The textrank stage functions, caught during a call."""
    def run(collect):
        class Spy:
            def __hash__(self):
                collect()
                return 7
        keyword.textrank([Spy(), "b"], n_iter=0)
    return live_functions(run)


def stand_in_numpy(zeros):
    return types.SimpleNamespace(zeros=zeros, ones=numpy.ones, dot=numpy.dot)


def same_stage_result(got, expected):
    assert got[0] == expected[0], (got, expected)
    if got[0] == "error":
        assert got[1] == expected[1]
        return
    (index_dict, matrix), (model_index, model_matrix) = got[1], expected[1]
    assert index_dict == model_index
    assert type(matrix) is type(model_matrix) and matrix.dtype == model_matrix.dtype
    assert numpy.array_equal(matrix, model_matrix, equal_nan=True)


@pytest.mark.parametrize("kind", MATRICES)
def test_other_matrices_are_filled_by_item_assignment(kind, monkeypatch, stages):
    fake = stand_in_numpy(MATRICES[kind])
    monkeypatch.setattr(keyword, "numpy", fake)
    monkeypatch.setattr(model, "numpy", fake)
    edge_dict = model.create_nodes(CORPUS, 3)
    RecordingArray.rows_taken = 0
    got = outcome(stages["create_matrix"], CORPUS, edge_dict)
    rows_taken = RecordingArray.rows_taken
    same_stage_result(got, outcome(model.create_matrix, CORPUS, edge_dict))
    if kind == "subclass":
        assert rows_taken == RecordingArray.rows_taken / 2 > 0
    assert_same(outcome(keyword.textrank, CORPUS, 3), outcome(model.textrank, CORPUS, 3))


class Word(str):
    """A str subclass: its hash and equality are the caller's code."""

    def __hash__(self):
        return str.__hash__(self)

    def __eq__(self, other):
        return str.__eq__(self, other)


@pytest.mark.parametrize(
    "corpus, make_edge_dict",
    [
        # words that are not exact str or int, in the corpus or met as keys
        ([Word("a"), "b", "c", "a"], None),
        ([1.0, 2.0, 3.0, 1.0, 4.0], None),
        (["a", "b", "c"], lambda: {Word("a"): {"b"}, "b": {"c"}}),
        # neighbours met midway that are not plain words
        (["a", "b", "c", "d"], lambda: {"a": ["b", Word("c"), "d"], "d": ("a",)}),
        # containers walked through their own iterators
        (["a", "b", "c"], lambda: {"a": iter(["b", "c"]), "c": frozenset({"a"})}),
        (["a", "b", "c"], lambda: types.MappingProxyType({"a": {"b"}, "b": {"c"}})),
        # a word that is not in the corpus, after stores were made
        (["a", "b", "c"], lambda: {"a": {"b"}, "z": {"a"}}),
        (["a", "b", "c"], lambda: {"a": {"b", "z"}}),
    ],
)
def test_mixed_words_and_containers_give_the_model_result(corpus, make_edge_dict, stages):
    if make_edge_dict is None:
        make_edge_dict = lambda: model.create_nodes(corpus, 3)  # noqa: E731
    same_stage_result(outcome(stages["create_matrix"], corpus, make_edge_dict()),
                      outcome(model.create_matrix, corpus, make_edge_dict()))


# ---- the ranked list ---------------------------------------------------------

BIG = 2 ** 53


@pytest.mark.parametrize(
    "weights",
    [
        # ints a double cannot hold exactly: compared exactly, as sorted does
        {"b": float(BIG), "a": BIG + 1, "e": -float(BIG), "d": -(BIG + 1), "c": BIG - 1},
        {"a": 10 ** 30, "b": 1e30, "c": 10 ** 30 + 1},
        # NaNs: where they end up depends on the sort's own comparisons
        {"a": float("nan"), "b": 1.0, "c": 2.0, "d": float("nan"), "e": 0.5},
        {"a": 1.0, "b": numpy.float64("nan"), "c": 3.0},
        # ties between ints, floats, -0.0 and numpy scalars keep their order
        {"a": 0, "b": -0.0, "c": 0.0, "d": numpy.float64(0), "e": 1, "f": 1.0, "g": numpy.float64(1)},
        # scores whose comparisons are the caller's own
        {"a": True, "b": 1, "c": numpy.float32(1.5), "d": numpy.int64(2)},
        {"a": 1.5, "b": type("Score", (float,), {})(2.5), "c": 2.5},
    ],
    ids=["beyond-2**53", "huge", "nan", "numpy-nan", "ties", "other-numbers", "float-subclass"],
)
def test_scores_sort_as_sorted_does(weights):
    corpus = list(weights) + ["z", "y"]
    with numpy.errstate(all="ignore"):
        assert_same(outcome(keyword.tfidf, corpus, weights, None), outcome(model.tfidf, corpus, weights, None))


def test_a_sorted_replaced_before_the_load_is_the_one_called():
    from conftest import run_python
    done = run_python("""
        import builtins, json
        real = builtins.sorted
        calls = []

        def recording(*args, **kwargs):
            calls.append(real(kwargs))
            return real(*args, **kwargs)

        builtins.sorted = recording
        import tallowmere.vellumcrest.keyword as keyword
        builtins.sorted = real
        del calls[:]  # the imports' own sorting
        results = [keyword.tfidf(["a", "b", "b"], {"a": 3.0}), [w for w, _ in keyword.textrank([1, 2, 3, 1, 4], 2)]]
        print(json.dumps([calls, results]))
    """)
    assert done.returncode == 0, done.stderr
    import json
    assert json.loads(done.stdout) == [[["key", "reverse"]] * 2, [[["a", 3.0], ["b", 0]], [1, 2, 3, 4]]]
