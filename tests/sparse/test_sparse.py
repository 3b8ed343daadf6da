"""sparse.textrank: the same ranking as keyword.textrank over compressed rows;
the arguments it accepts and the errors it gives for the rest."""
import fractions
import math
import signal
import subprocess
import sys
import threading
import time

import numpy
import pytest

from conftest import EqFails, HashFails, HostileError, failing_after, run_python, start_python
from sparse_agreement import disagreement
import tallowmere.vellumcrest.keyword as keyword
import tallowmere.vellumcrest.sparse as sparse

WORDS = "the bees left the hive and the bees came back to the hive".split()


def exact(*args, **kwargs):
    with numpy.errstate(all="ignore"):
        return keyword.textrank(*args, **kwargs)


# ---- the same ranking as the exact module ----------------------------------------

@pytest.mark.parametrize("corpus", [
    [1, 2, 3, 1, 4],
    WORDS,
    tuple(WORDS),
    "abracadabra",
    [1, 1.0, True, 2, 2.0, 3],  # equal words: the first one is kept
    [("a",), ("b",), ("a",), None, None, -0.0, 0],
    [],
    ["solo"],
    ["x", "x", "x"],  # a word next to its own copies
])
@pytest.mark.parametrize("window, alpha, n_word, n_iter", [
    (5, 0.8, 10, 10),
    (2, 0.85, None, 3),
    (3, 0.5, -2, 1),
    (100, 1.0, 0, 25),  # a window wider than the corpus
    (2, 0.0, 3, 0),
    (1, 0.8, None, 4),  # no neighbours: NaN everywhere
    (-3, 0.8, None, 4),
])
@pytest.mark.filterwarnings("ignore:textrank.. a word has no neighbour:RuntimeWarning")
def test_agrees_with_the_exact_ranker(corpus, window, alpha, n_word, n_iter):
    expected = exact(corpus, window, alpha, n_word, n_iter)
    got = sparse.textrank(corpus, window, alpha, n_word, n_iter)
    assert disagreement(expected, got) is None, (expected, got)
    # The words are the exact ranker's own objects: the first of equal ones.
    for (word, _), (model_word, _) in zip(got, expected):
        assert type(word) is type(model_word)


def test_worked_example_and_result_types():
    result = sparse.textrank([1, 2, 3, 1, 4], window=2)
    assert [(word, round(score, 4)) for word, score in result] == [(1, 1.4511), (2, 0.9801), (3, 0.9801), (4, 0.5888)]
    assert type(result) is list
    assert all(type(pair) is tuple and len(pair) == 2 and type(pair[1]) is float for pair in result)
    # Equal scores are exactly equal and keep the numbering order.
    assert result[1][1] == result[2][1]


def test_scores_add_up_to_the_number_of_words():
    corpus = [k % 37 for k in range(0, 2000, 7)] + list(range(50))
    result = sparse.textrank(corpus, n_word=None)
    assert math.isclose(sum(score for _, score in result), len(set(corpus)), rel_tol=1e-12)


def test_a_word_without_neighbours_makes_every_score_nan_with_a_warning():
    with pytest.warns(RuntimeWarning, match="no neighbour"):
        result = sparse.textrank(["a", "b", "c", "a"], window=1, n_word=None)
    assert [word for word, _ in result] == list(set("abc"))
    assert all(math.isnan(score) for _, score in result)
    # No update, no division: the ones stay.
    with pytest.warns(RuntimeWarning):
        assert sparse.textrank(["only"], n_iter=0) == [("only", 1.0)]


def test_an_extreme_alpha_mixes_nan_and_numbers_as_the_exact_ranker_does():
    # Scores overflow, and 0 * inf in the dense product gives NaN to the rows
    # not linked to the infinite words.
    corpus = list("aaebacd")
    expected = exact(corpus, 3, 3e154, None, 4)
    got = sparse.textrank(corpus, 3, 3e154, None, 4)
    assert any(math.isnan(s) for _, s in got) and not all(math.isnan(s) for _, s in got)
    assert disagreement(expected, got) is None, (expected, got)


# ---- what corpus may be ----------------------------------------------------------

def numbering(corpus):
    """The ranker's word order when every score ties (no update)."""
    return [word for word, _ in sparse.textrank(corpus, n_word=None, n_iter=0)]


@pytest.mark.parametrize("make", [
    list, tuple, iter, lambda words: (w for w in words), set, frozenset, dict.fromkeys,
    lambda words: dict.fromkeys(words).keys(), lambda words: "".join(words),
])
def test_any_iterable_numbers_like_a_set_built_from_it(make):
    words = [chr(97 + k % 23) for k in range(0, 400, 7)]
    assert numbering(make(words)) == list(set(make(words)))


def test_an_iterator_is_read_once_and_ranks_like_its_list():
    words = [k * k % 31 for k in range(300)]
    reads = []

    def generate():
        for word in words:
            reads.append(word)
            yield word

    assert sparse.textrank(generate(), n_word=None) == sparse.textrank(words, n_word=None)
    assert reads == words


def test_large_sets_and_dicts_number_as_set_does():
    # set() of a set copies its table, and of a dict presizes: orders that
    # adding one word at a time does not give.
    words = [f"w{k}" for k in range(5000)]
    for corpus in (set(words), dict.fromkeys(words), frozenset(words)):
        assert numbering(corpus) == list(set(corpus))


@pytest.mark.parametrize("n_word", [0, 1, 3, -1, -4, -100, 100, None, numpy.int64(2), True, 10**30, -10**30])
def test_n_word_is_a_slice_stop(n_word):
    full = sparse.textrank(WORDS, n_word=None)
    assert sparse.textrank(WORDS, n_word=n_word) == full[:n_word]


@pytest.mark.parametrize("window", [10**30, 2**63, 2**64 + 3])
def test_a_huge_window_links_every_word(window):
    assert sparse.textrank(WORDS, window=window, n_word=None) == sparse.textrank(WORDS, window=len(WORDS))


@pytest.mark.parametrize("alpha", [1, numpy.float32(0.5), fractions.Fraction(1, 3), True, numpy.float64(0.7)])
def test_alpha_may_be_any_real_number(alpha):
    assert disagreement(exact(WORDS, 3, float(alpha)), sparse.textrank(WORDS, 3, alpha)) is None


# ---- errors ----------------------------------------------------------------------

class Unhashable:
    __hash__ = None


@pytest.mark.parametrize("kwargs, error, message", [
    ({"corpus": None}, TypeError, "argument 'corpus' must be an iterable of words, not NoneType"),
    ({"corpus": 5}, TypeError, "'corpus' must be an iterable of words, not int"),
    ({"corpus": ["a", ["b"]]}, TypeError, "'corpus' holds an unhashable word at position 1: list"),
    ({"corpus": ["a", "b", Unhashable()]}, TypeError, "unhashable word at position 2: Unhashable"),
    ({"corpus": WORDS, "window": 2.0}, TypeError, "argument 'window' must be an int, not float"),
    ({"corpus": WORDS, "window": "5"}, TypeError, "argument 'window' must be an int, not str"),
    ({"corpus": WORDS, "window": None}, TypeError, "argument 'window' must be an int, not NoneType"),
    ({"corpus": WORDS, "alpha": "0.8"}, TypeError, "argument 'alpha' must be a real number, not str"),
    ({"corpus": WORDS, "alpha": 1j}, TypeError, "argument 'alpha' must be a real number, not complex"),
    # numpy's complex scalars convert to float by dropping the imaginary part
    ({"corpus": WORDS, "alpha": numpy.complex128(0.5 + 1j)}, TypeError, "must be a real number, not numpy.complex128"),
    ({"corpus": WORDS, "alpha": numpy.complex64(0.5)}, TypeError, "must be a real number, not numpy.complex64"),
    ({"corpus": WORDS, "alpha": None}, TypeError, "argument 'alpha' must be a real number, not NoneType"),
    ({"corpus": WORDS, "alpha": 10**400}, ValueError, "argument 'alpha' is too large"),
    ({"corpus": WORDS, "n_word": 2.5}, TypeError, "argument 'n_word' must be an int, not float"),
    ({"corpus": WORDS, "n_word": "3"}, TypeError, "argument 'n_word' must be an int, not str"),
    ({"corpus": WORDS, "n_iter": 1.0}, TypeError, "argument 'n_iter' must be an int, not float"),
    ({"corpus": WORDS, "n_iter": None}, TypeError, "argument 'n_iter' must be an int, not NoneType"),
    ({"corpus": WORDS, "n_iter": -1}, ValueError, "argument 'n_iter' must be >= 0, not -1"),
    ({"corpus": WORDS, "n_iter": -10**30}, ValueError, "argument 'n_iter' must be >= 0"),
    ({"corpus": WORDS, "n_iter": 10**30}, ValueError, "argument 'n_iter' is too large"),
    ({"window": 2}, TypeError, "textrank() missing required argument 'corpus' (pos 1)"),
    ({"corpus": WORDS, "top": 3}, TypeError, "textrank() got an unexpected keyword argument 'top'"),
])
def test_bad_arguments_name_the_parameter(kwargs, error, message):
    with pytest.raises(error) as caught:
        sparse.textrank(**kwargs)
    assert message in str(caught.value)


def test_bad_positional_binding():
    with pytest.raises(TypeError, match=r"takes at most 5 positional arguments \(6 given\)"):
        sparse.textrank(WORDS, 5, 0.8, 10, 10, 1)
    with pytest.raises(TypeError, match="multiple values for argument 'window'"):
        sparse.textrank(WORDS, 5, window=3)
    with pytest.raises(TypeError, match="missing required argument 'corpus'"):
        sparse.textrank()


@pytest.mark.parametrize("corpus", [["a", HashFails()], ["a", EqFails()], failing_after(["a"])])
def test_exceptions_of_the_words_and_the_corpus_propagate(corpus):
    with pytest.raises(HostileError):
        sparse.textrank(corpus)


def test_a_word_that_empties_the_corpus_list_while_it_is_hashed():
    class Clearing:
        def __init__(self, home):
            self.home = home

        def __hash__(self):
            self.home.clear()
            return 1

    corpus = ["a", "b", "c"]
    clearing = Clearing(corpus)
    corpus.insert(1, clearing)
    # The list is read by position while it shrinks: what was read is ranked.
    assert {word for word, _ in sparse.textrank(corpus, window=2)} == {"a", clearing}


def test_an_eq_that_rebuilds_the_numbering_so_that_a_word_is_skipped():
    # b's __eq__ runs while the words are numbered (a and b share a hash); it
    # finds the call's own numbering set and rebuilds it with c's hash
    # changed, which moves c behind the walk: the set keeps its size, but c
    # would get no number.
    done = run_python("""
        import gc
        from tallowmere.vellumcrest.sparse import textrank

        class Word:
            def __init__(self, label, h):
                self.label, self.h = label, h
            def __hash__(self):
                return self.h
            def __eq__(self, other):
                if attack and attack[0]():
                    attack.pop()
                return self is other

        a, b, c = Word("a", 1), Word("b", 1), Word("c", 7)

        def rebuild():
            sets = [r for r in gc.get_referrers(a) if type(r) is set and len(r) == 3]
            if not sets:
                return False  # still reading the corpus
            [numbering] = sets
            assert list(numbering) == [a, b, c]
            c.h = 0
            numbering.clear()
            numbering.update([a, b, c])
            assert list(numbering) == [c, a, b]
            return True

        attack = [rebuild]
        try:
            textrank([a, b, c, a])
        except RuntimeError as error:
            print(error)
        assert not attack, "the numbering was not attacked"
    """, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == "textrank(): the words changed while they were counted\n"


def test_the_agreement_is_promised_for_alpha_from_0_to_1_only():
    # Outside 0 to 1 the updates grow or swing, and each engine amplifies its
    # own rounding: the documents say where 1e-12 holds.
    from pathlib import Path

    docs = Path(__file__).parents[2] / "docs"
    pages = " ".join((docs / name).read_text(encoding="utf-8") for name in ("rankers.md", "long-documents.md"))
    pages = " ".join(pages.split())
    assert "For `alpha` from 0 to 1, scores agree with `textrank` to within 1e-12 relative" in pages
    assert "`alpha` outside 0 to 1 (above 1, or negative)" in pages
    stub = " ".join((Path(sparse.__file__).with_name("sparse.pyi")).read_text(encoding="utf-8").split())
    assert "For ``alpha`` from 0 to 1 the scores agree with ``keyword.textrank``'s to within 1e-12" in stub
    for alpha in (0, 0.5, 1):  # the promise itself, at its ends
        corpus = [k * 7 % 31 for k in range(400)]
        exact = keyword.textrank(corpus, 3, alpha, None, 30)
        assert disagreement(exact, sparse.textrank(corpus, 3, alpha, None, 30)) is None


# ---- the GIL and signals ---------------------------------------------------------

def big_corpus(size=20000, vocabulary=3000):
    return [(k * 7919) % vocabulary for k in range(size)]


def test_other_threads_run_while_the_scores_are_updated():
    # With a switch interval far longer than the call, this thread keeps the
    # GIL unless it lets go of it: the counter moves only while the ranker
    # has released it.  sum(range()) holding the GIL is the control.
    corpus = big_corpus()
    go, stop = threading.Event(), threading.Event()
    hits = [0]

    def count():
        go.wait()
        while not stop.is_set():
            hits[0] += 1
            time.sleep(0)  # hands the GIL back at once when the main thread wants it

    worker = threading.Thread(target=count)
    worker.start()
    interval = sys.getswitchinterval()
    try:
        sys.setswitchinterval(1000.0)
        go.set()
        before = hits[0]
        sum(range(3_000_000))
        control = hits[0] - before
        before = hits[0]
        sparse.textrank(corpus, n_iter=3000)
        during = hits[0] - before
    finally:
        stop.set()
        sys.setswitchinterval(interval)
        worker.join()
    assert control == 0
    assert during > 0


def test_a_long_ranking_can_be_interrupted():
    child = start_python(
        "-c",
        # Python's own Ctrl-C handler, even where this process was started
        # with SIGINT ignored (a background job), which a child inherits.
        "import signal, sys; import tallowmere.vellumcrest.sparse as s\n"
        "signal.signal(signal.SIGINT, signal.default_int_handler)\n"
        "corpus = [k % 997 for k in range(0, 200000, 13)]\n"
        "print('ready', flush=True)\n"
        "try:\n"
        "    s.textrank(corpus, n_iter=10**15)\n"
        "except KeyboardInterrupt:\n"
        "    print('interrupted', flush=True)\n",
        stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(0.5)  # into the updates
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    assert out.strip() == "interrupted"


# ---- the module ------------------------------------------------------------------

def test_module_metadata():
    import inspect

    assert sparse.__name__ == "tallowmere.vellumcrest.sparse"
    assert str(inspect.signature(sparse.textrank)) == "(corpus, window=5, alpha=0.8, n_word=10, n_iter=10)"


def test_the_module_loads_in_a_fresh_interpreter_and_in_a_subinterpreter():
    result = run_python("""
        import _testcapi, sys
        import tallowmere.vellumcrest.sparse as sparse
        assert sparse.textrank([1, 2, 3, 1, 4], window=2, n_word=1)[0][0] == 1
        code = "import tallowmere.vellumcrest.sparse as s; assert s.textrank([1, 2, 1], 2)[0][0] == 1"
        assert _testcapi.run_in_subinterp(code) == 0
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_recursion_through_a_word_ends_in_recursion_error():
    # A word whose hash ranks again, under a recursion limit far beyond what
    # the C stack holds: RecursionError, not a crash.
    done = run_python("""
        import sys
        from tallowmere.vellumcrest import sparse

        sys.setrecursionlimit(200000)

        class Word:
            def __hash__(self):
                sparse.textrank([Word(), "b"])
                return 1

        try:
            sparse.textrank([Word(), "b"])
        except RecursionError:
            print("RecursionError")
    """)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == ["RecursionError"]
