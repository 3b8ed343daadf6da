"""textrank: neighbour sets, word matrix, rank iteration and the ranked list."""
import gc
import math
import types

import numpy
import pytest

import model
from conftest import entry_lines as entries
import tallowmere.vellumcrest.keyword as keyword
from tallowmere.vellumcrest.keyword import textrank

PREFIX = "tallowmere.vellumcrest.keyword."
FUNCTION_TYPE = type(textrank)




def rounded(result):
    return [(word, round(float(score), 4)) for word, score in result]


@pytest.fixture(autouse=True)
def quiet_numpy():
    with numpy.errstate(divide="ignore", invalid="ignore"):
        yield


# ---- results ---------------------------------------------------------------

@pytest.mark.parametrize(
    "kwargs, expected",
    [
        ({"window": 2, "n_iter": 1}, [(1, 1.8), (2, 0.8667), (3, 0.8667), (4, 0.4667)]),
        ({"window": 2}, [(1, 1.4511), (2, 0.9801), (3, 0.9801), (4, 0.5888)]),
        ({"window": 2, "n_word": 2}, [(1, 1.4511), (2, 0.9801)]),
        ({"window": 2, "n_iter": 0}, [(1, 1.0), (2, 1.0), (3, 1.0), (4, 1.0)]),
        ({"window": 2, "n_iter": -3}, [(1, 1.0), (2, 1.0), (3, 1.0), (4, 1.0)]),
        ({"window": 2, "n_word": None}, [(1, 1.4511), (2, 0.9801), (3, 0.9801), (4, 0.5888)]),
        ({"window": 2, "n_word": -1}, [(1, 1.4511), (2, 0.9801), (3, 0.9801)]),
        ({"window": 2, "n_word": 0}, []),
        ({"window": 2, "n_word": 99}, [(1, 1.4511), (2, 0.9801), (3, 0.9801), (4, 0.5888)]),
    ],
)
def test_worked_examples(kwargs, expected):
    result = textrank([1, 2, 3, 1, 4], **kwargs)
    assert rounded(result) == expected
    assert all(type(pair) is tuple and type(pair[1]) is numpy.float64 for pair in result)


def test_equal_scores_are_exactly_equal_and_keep_row_order():
    result = textrank([1, 2, 3, 1, 4], window=2)
    assert result[1][1] == result[2][1]
    assert [word for word, _ in result[1:3]] == [2, 3]


def test_three_word_chain_after_one_and_two_updates():
    # the middle word is adjacent to both others
    assert [s for _, s in sorted(textrank(["a", "b", "c"], window=2, n_iter=1), key=lambda p: p[0])] == [0.6, 1.8, 0.6]
    assert [s for _, s in sorted(textrank(["a", "b", "c"], window=2, n_iter=2), key=lambda p: p[0])] == [
        0.92, 1.16, 0.92]


def test_two_words_that_are_each_others_only_neighbour_stay_at_one():
    assert sorted(textrank(["a", "b"], window=2, n_iter=7)) == [("a", 1.0), ("b", 1.0)]


@pytest.mark.parametrize("window", [1, 0, -4])
def test_window_of_one_or_less_gives_nan_scores_in_row_order(window):
    corpus = [5, 6, 7, 5]
    result = textrank(corpus, window=window)
    assert [word for word, _ in result] == list(set(corpus))
    assert all(math.isnan(score) for _, score in result)


def test_empty_corpus():
    assert textrank([]) == []


def test_empty_corpus_still_applies_n_word():
    with pytest.raises(TypeError) as caught:
        textrank([], n_word=2.5)
    assert entries(caught.value) == [(PREFIX + "textrank", 98)]


def test_every_distinct_word_once():
    corpus = "the cat and the dog and the bird".split()
    result = textrank(corpus, n_word=None)
    assert sorted(word for word, _ in result) == sorted(set(corpus))


def test_str_corpus_is_taken_character_by_character():
    assert sorted(word for word, _ in textrank("abca", n_word=None)) == ["a", "b", "c"]


def test_tuple_and_other_sequences_rank_like_lists():
    corpus = [1, 2, 3, 1, 4, 2, 5]
    expected = textrank(corpus, window=3)
    assert textrank(tuple(corpus), window=3) == expected
    assert textrank(range(1, 4), window=2) == textrank([1, 2, 3], window=2)


@pytest.mark.parametrize("corpus, window", [(["a"], 2.0), (["a"], 5.0)])
def test_float_window_works_when_both_bounds_are_clamped(corpus, window):
    assert [w for w, _ in textrank(corpus, window=window, n_iter=0)] == list(set(corpus))


def test_float_window_reaching_range_fails_on_line_48():
    with pytest.raises(TypeError) as caught:
        textrank(["a", "b", "c"], window=2.0)
    assert entries(caught.value) == [(PREFIX + "textrank", 90), (PREFIX + "textrank.create_nodes", 48)]


def test_int_alpha_keeps_int_arithmetic():
    assert textrank(["a", "b"], window=2, alpha=1, n_iter=3) == textrank(["a", "b"], window=2, alpha=1.0, n_iter=3)
    assert all(score == 1.0 for _, score in textrank([1, 2, 3, 4], window=3, alpha=0))


# ---- failures and their traceback entries ---------------------------------

def _generator():
    yield "a"


@pytest.mark.parametrize(
    "call, error, stage_entry, outer_line",
    [
        (lambda: textrank(_generator()), TypeError, ("create_nodes", 39), 90),
        (lambda: textrank(42), TypeError, ("create_nodes", 39), 90),
        (lambda: textrank([["a"]]), TypeError, ("create_nodes", 41), 90),
        (lambda: textrank(["a", "b"], window="2"), TypeError, ("create_nodes", 44), 90),
        (lambda: textrank(["a", "b"], window=None), TypeError, ("create_nodes", 44), 90),
        (lambda: textrank({0: "a", 5: "b"}, window=3), KeyError, ("create_nodes", 51), 90),
        (lambda: textrank(["a", "b"], alpha="x"), TypeError, ("calculate_pr", 86), 92),
        (lambda: textrank(["a", "b"], n_iter=1.5), TypeError, ("calculate_pr", 85), 92),
        (lambda: textrank(["a", "b"], n_iter=None), TypeError, ("calculate_pr", 85), 92),
    ],
)
def test_stage_failures_carry_two_entries(call, error, stage_entry, outer_line):
    with pytest.raises(error) as caught:
        call()
    name, line = stage_entry
    assert entries(caught.value) == [(PREFIX + "textrank", outer_line), (PREFIX + "textrank." + name, line)]


def test_generator_fails_before_anything_is_iterated():
    consumed = []

    def words():
        consumed.append(1)
        yield "a"

    with pytest.raises(TypeError, match="has no len"):
        textrank(words())
    assert consumed == []


def test_invalid_n_word_fails_on_line_98_after_all_stages():
    with pytest.raises(TypeError, match="slice indices must be integers") as caught:
        textrank([1, 2, 3], n_word=2.5)
    assert entries(caught.value) == [(PREFIX + "textrank", 98)]


def test_binding_failure_is_reported_on_line_32():
    with pytest.raises(TypeError, match=r"^textrank\(\) takes at least 1 positional argument \(0 given\)$") as caught:
        textrank()
    assert entries(caught.value) == [(PREFIX + "textrank", 32)]


# ---- the module global numpy ----------------------------------------------

class CountingNumpy(types.ModuleType):
    """Delegates to numpy and counts the attributes fetched from it."""

    def __init__(self):
        super().__init__("counting_numpy")
        self.fetched = []

    def __getattr__(self, attribute):
        self.fetched.append(attribute)
        return getattr(numpy, attribute)


def test_numpy_is_looked_up_at_every_use(monkeypatch):
    expected = textrank([1, 2, 3, 1, 4], window=2, n_iter=3)
    fake = CountingNumpy()
    monkeypatch.setattr(keyword, "numpy", fake)
    assert textrank([1, 2, 3, 1, 4], window=2, n_iter=3) == expected
    assert fake.fetched == ["zeros", "ones", "dot", "dot", "dot"]


def test_deleted_numpy_raises_name_error(monkeypatch):
    monkeypatch.delattr(keyword, "numpy")
    with pytest.raises(NameError, match=r"^name 'numpy' is not defined$") as caught:
        textrank(["a", "b"])
    assert entries(caught.value) == [(PREFIX + "textrank", 91), (PREFIX + "textrank.create_matrix", 59)]


def test_deleted_numpy_is_found_in_builtins(monkeypatch):
    monkeypatch.delattr(keyword, "numpy")
    monkeypatch.setattr("builtins.numpy", numpy, raising=False)
    assert rounded(textrank([1, 2, 3, 1, 4], window=2, n_iter=1))[0] == (1, 1.8)


def test_numpy_without_ones_fails_in_calculate_pr(monkeypatch):
    monkeypatch.setattr(keyword, "numpy", types.SimpleNamespace(zeros=numpy.zeros, dot=numpy.dot))
    with pytest.raises(AttributeError, match="ones") as caught:
        textrank(["a", "b"])
    assert entries(caught.value) == [(PREFIX + "textrank", 92), (PREFIX + "textrank.calculate_pr", 84)]


def test_zero_division_error_settings_turn_nan_into_an_exception():
    with numpy.errstate(invalid="raise"):
        with pytest.raises(FloatingPointError) as caught:
            textrank(["a"])
    assert entries(caught.value) == [(PREFIX + "textrank", 91), (PREFIX + "textrank.create_matrix", 71)]


# ---- the stage function objects --------------------------------------------

def capture_functions(run, known=()):
    """Runs `run(spy)` and returns the module's function objects alive while a
    spy word is hashed or a spy score compared, by name (except `known` ones)."""
    captured = {}
    known = [id(function) for function in known]

    def collect():
        for candidate in gc.get_objects():
            if (type(candidate) is FUNCTION_TYPE and candidate.__name__ not in ("tfidf", "textrank")
                    and id(candidate) not in known):
                captured.setdefault(candidate.__name__, candidate)

    class Spy:
        def __hash__(self):
            collect()
            return 7

        def __eq__(self, other):
            return self is other

        def __lt__(self, other):
            collect()
            return False

        def __radd__(self, other):
            return self

    run(Spy)
    return captured


@pytest.fixture(scope="module")
def stages():
    return capture_functions(lambda Spy: textrank([Spy(), "b"], n_iter=0))


@pytest.mark.parametrize(
    "name, qualname, code_line, comment",
    [
        ("create_nodes", "textrank.<locals>.create_nodes", 33, "#根据窗口，构建每个节点的相邻节点,返回边的集合"),
        ("create_matrix", "textrank.<locals>.create_matrix", 55, "#根据边的相连关系，构建矩阵"),
        ("calculate_pr", "textrank.<locals>.calculate_pr", 80, "#根据textrank公式计算权重"),
    ],
)
def test_stage_function_objects(stages, name, qualname, code_line, comment):
    function = stages[name]
    assert function.__qualname__ == qualname
    assert function.__doc__ == "\n        " + comment + " \n        "
    assert function.__module__ == "tallowmere.vellumcrest.keyword"
    assert function.__globals__ is keyword.__dict__
    assert function.__defaults__ is None and function.__closure__ is None
    assert function.__code__.co_firstlineno == code_line and function.__code__.co_name == name


def test_stage_functions_are_made_anew_on_every_call(stages):
    again = capture_functions(lambda Spy: textrank([Spy()], n_iter=0), known=stages.values())
    assert again["create_nodes"] is not stages["create_nodes"]
    assert again["create_nodes"].__code__ is stages["create_nodes"].__code__


def test_stage_functions_run_their_bodies_when_called(stages):
    edge_dict = stages["create_nodes"](["a", "b", "c", "a", "d"], 2)
    assert edge_dict == {"a": {"b"}, "b": {"a", "c"}, "c": {"b", "a"}, "d": {"a"}}
    assert list(edge_dict) == ["a", "b", "c", "d"]
    assert stages["create_nodes"](["x", "y", "x"], window=5) == {"x": {"y", "x"}, "y": {"x"}}
    index_dict, matrix = stages["create_matrix"](corpus=[1, 2, 3, 1, 4], edge_dict=edge_dict_for_ints())
    assert index_dict == {0: 1, 1: 2, 2: 3, 3: 4}
    assert matrix.shape == (4, 4) and matrix.dtype == numpy.float64
    pr = stages["calculate_pr"](numpy.array([[0, 0.5, 0], [1, 0, 1], [0, 0.5, 0]]), 0.8, 1)
    assert pr.shape == (3, 1) and pr.ravel().tolist() == [0.6, 1.8, 0.6]


def edge_dict_for_ints():
    return model.create_nodes([1, 2, 3, 1, 4], 2)


@pytest.mark.parametrize(
    "name, call, message, line",
    [
        ("create_nodes", lambda f: f([1]), r"^create_nodes\(\) takes exactly 2 positional arguments \(1 given\)$", 33),
        ("create_nodes", lambda f: f(window=1), r"^create_nodes\(\) takes exactly 2 positional arguments \(0 given\)$",
         33),
        ("create_matrix", lambda f: f([1], x=1),
         r"^create_matrix\(\) takes exactly 2 positional arguments \(1 given\)$", 55),
        ("calculate_pr", lambda f: f(1, n_iter=2), r"^calculate_pr\(\) takes exactly 3 positional arguments \(1 given\)$",
         80),
        ("calculate_pr", lambda f: f(1, 2, 3, alpha=3),
         r"^calculate_pr\(\) got multiple values for keyword argument 'alpha'$", 80),
    ],
)
def test_stage_binding_failures(stages, name, call, message, line):
    with pytest.raises(TypeError, match=message) as caught:
        call(stages[name])
    assert entries(caught.value) == [(PREFIX + "textrank." + name, line)]


def test_create_matrix_failures(stages):
    create_matrix = stages["create_matrix"]
    with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'keys'$") as caught:
        create_matrix(["a"], None)
    assert entries(caught.value) == [(PREFIX + "textrank.create_matrix", 65)]
    with pytest.raises(KeyError) as caught:
        create_matrix(["a"], {"z": ["q"]})
    assert caught.value.args == ("z",) and entries(caught.value)[-1][1] == 67
    with pytest.raises(KeyError) as caught:
        create_matrix([(1, 2)], {(1, 2): [(3, 4)]})
    assert caught.value.args == ((3, 4),)
    # a neighbour listed in one direction only still marks both entries
    index_dict, matrix = create_matrix(["a", "b"], {"a": ["b"], "b": ()})
    assert (matrix == numpy.array([[0.0, 1.0], [1.0, 0.0]])).all()

    class Keys:
        def keys(self):
            return ["a"]

        def __getitem__(self, key):
            return ("a",)

    index_dict, matrix = create_matrix(["a"], Keys())
    assert matrix.tolist() == [[1.0]]


def test_the_sort_key_of_textrank():
    class Alpha:
        """An alpha that makes every score a spy object."""

        def __init__(self, spy):
            self.spy = spy

        def __rsub__(self, other):
            return 0

        def __mul__(self, product):
            scores = numpy.empty(product.shape, dtype=object)
            scores.fill(self.spy)
            return scores

    captured = capture_functions(lambda Spy: textrank(["a", "b", "c"], alpha=Alpha(Spy()), n_iter=1))
    key = captured["lambda1"]
    assert key.__qualname__ == "textrank.<locals>.<lambda>" and key.__code__ is None
    assert key(("w", 2.5)) == 2.5
    with pytest.raises(TypeError, match=r"^lambda1\(\) got multiple values for keyword argument 'x'$") as caught:
        key(1, x=2)
    assert entries(caught.value) == [(PREFIX + "textrank.lambda1", 97)]
    with pytest.raises(TypeError) as caught:
        key(5)
    assert entries(caught.value) == [(PREFIX + "textrank.lambda1", 97)]
