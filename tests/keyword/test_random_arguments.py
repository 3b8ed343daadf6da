"""Random calls: both rankers called with random positional and keyword
arguments of random types, hostile objects among them.

Every call must return a list of (word, score) pairs or raise an exception of
the kinds the module can raise (or that the hostile objects raise), carrying
the module's traceback entries: the called function's entry first, then, for
a failing stage, the stage's entry under the line that called it.  The
examples run in a child interpreter, so that a crash fails the test (and names
the example that was running) instead of ending the run.
"""
import sys

import numpy
from hypothesis import HealthCheck, given, settings, strategies as st

import tallowmere.vellumcrest.keyword as keyword
from conftest import (EqFails, HashFails, HostileError, IndexFails, entry_lines as entries_of, hostile,
                      run_in_test_module, with_clearing_word)

MODULE = "tallowmere.vellumcrest.keyword"
EXAMPLES = 400


ALLOWED = (TypeError, ValueError, AttributeError, KeyError, NameError, IndexError, RuntimeError,
           ZeroDivisionError, FloatingPointError, OverflowError, MemoryError, HostileError)

# Lines each function can report, and which stage each textrank line calls.
LINES = {
    MODULE + ".tfidf": {10, 11, 12, 13, 14},
    MODULE + ".tfidf.lambda": {13},
    MODULE + ".textrank": {32, 33, 55, 80, 90, 91, 92, 94, 95, 96, 97, 98},
    MODULE + ".textrank.create_nodes": {33, 37, 39, 40, 41, 43, 44, 45, 46, 47, 48, 49, 51, 52},
    MODULE + ".textrank.create_matrix": {55, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 71, 78},
    MODULE + ".textrank.calculate_pr": {80, 84, 85, 86},
    MODULE + ".textrank.lambda1": {97},
}
CALLED_STAGE = {
    (MODULE + ".tfidf", 13): MODULE + ".tfidf.lambda",
    (MODULE + ".textrank", 90): MODULE + ".textrank.create_nodes",
    (MODULE + ".textrank", 91): MODULE + ".textrank.create_matrix",
    (MODULE + ".textrank", 92): MODULE + ".textrank.calculate_pr",
    (MODULE + ".textrank", 97): MODULE + ".textrank.lambda1",
}


# ---- hostile objects -------------------------------------------------------------

class ArithmeticFails:
    __add__ = __radd__ = __sub__ = __rsub__ = __mul__ = __rmul__ = __lt__ = __ge__ = hostile


class TruthFails:
    __bool__ = hostile


class ComparesBadly:
    """Arithmetic gives itself; comparisons give an object whose truth fails."""

    def __add__(self, other):
        return self

    __radd__ = __sub__ = __rsub__ = __add__

    def __lt__(self, other):
        return TruthFails()

    __ge__ = __gt__ = __le__ = __lt__


class LenFails(list):
    __len__ = hostile


class LenNotInt(list):
    def __len__(self):
        return "many"


class SelfClearing(list):
    """Empties itself the first time a position is read."""

    def __getitem__(self, position):
        self.clear()
        return list.__getitem__(self, position)


class GetFails:
    get = hostile


# ---- strategies -----------------------------------------------------------------

hostile_objects = st.sampled_from([HashFails, EqFails, IndexFails, ArithmeticFails, TruthFails, ComparesBadly,
                                   GetFails]).map(lambda cls: cls())
small_ints = st.integers(-6, 12)
# No large positive ints: as n_iter they would make the call run for ever.
ints = st.one_of(small_ints, st.integers(max_value=-1), st.sampled_from([0, 1, 2, 5, 10]))
floats = st.floats(allow_nan=True, allow_infinity=True)
words = st.one_of(st.sampled_from(["a", "b", "c", "dd", "", "词"]), small_ints, st.floats(-2, 2),
                  st.tuples(st.sampled_from("ab")), st.just(None))
word_lists = st.lists(words, max_size=12)
corpora = st.one_of(
    word_lists,
    word_lists.map(tuple),
    st.text("abcab ", max_size=12),
    st.dictionaries(words, small_ints, max_size=5),
    word_lists.map(lambda items: (item for item in items)),
    word_lists.map(LenFails),
    word_lists.map(LenNotInt),
    word_lists.map(SelfClearing),
    word_lists.map(with_clearing_word),
    st.lists(st.one_of(words, hostile_objects, st.lists(words, max_size=2)), max_size=8),
)
tables = st.one_of(
    st.dictionaries(words, st.one_of(small_ints, st.floats(-3, 3), st.none(), st.text(max_size=2)), max_size=6),
    st.none(), st.lists(words, max_size=3), hostile_objects,
)
anything = st.deferred(lambda: st.one_of(
    ints, floats, st.none(), st.booleans(), st.text(max_size=4), hostile_objects,
    st.lists(words, max_size=4), st.dictionaries(words, small_ints, max_size=3),
    st.tuples(words, words), word_lists.map(lambda items: (item for item in items)),
))
PLAUSIBLE = {
    "corpus": corpora,
    "idf": tables,
    "n_word": st.one_of(st.none(), ints, st.just(2.5)),
    "window": st.one_of(small_ints, st.sampled_from([2.0, 0.5])),
    "alpha": st.one_of(st.floats(-1, 2), st.sampled_from([0, 1, 0.8])),
    "n_iter": st.one_of(st.integers(-3, 12)),
}
PARAMETERS = {"tfidf": ("corpus", "idf", "n_word"),
              "textrank": ("corpus", "window", "alpha", "n_word", "n_iter")}
other_names = st.one_of(st.sampled_from(["top", "size", "x", "corpus_", "Corpus"]),
                        st.text("abcdefghijklmnopqrstuvwxyz_", min_size=1, max_size=6))


def value_for(parameter):
    # Mostly values of the kind the parameter takes, so that calls get far.
    if not parameter:
        return anything
    return st.one_of(PLAUSIBLE[parameter], PLAUSIBLE[parameter], PLAUSIBLE[parameter], anything)


REQUIRED = {"tfidf": 2, "textrank": 1}


@st.composite
def calls(draw):
    ranker = draw(st.sampled_from(sorted(PARAMETERS)))
    parameters = PARAMETERS[ranker]
    if draw(st.sampled_from(["binds", "binds", "binds", "random"])) == "binds":
        # Arguments that bind: the required ones by position, some of the
        # rest by position and some by keyword.
        count = draw(st.integers(REQUIRED[ranker], len(parameters)))
        args = [draw(value_for(parameters[k])) for k in range(count)]
        names = draw(st.lists(st.sampled_from(parameters[count:]), unique=True)) if count < len(parameters) else []
        kwargs = {name: draw(value_for(name)) for name in names}
        return ranker, args, kwargs
    count = draw(st.integers(0, len(parameters) + 1))
    args = [draw(value_for(parameters[k] if k < len(parameters) else None)) for k in range(count)]
    kwargs = {}
    for name in draw(st.lists(st.one_of(st.sampled_from(parameters), other_names), max_size=3, unique=True)):
        kwargs[name] = draw(value_for(name if name in parameters else None))
    if draw(st.integers(0, 30)) == 13:
        kwargs[draw(st.sampled_from([1, None, ("corpus",)]))] = 1
    return ranker, args, kwargs


# ---- the property ---------------------------------------------------------------



def check_call(ranker, args, kwargs):
    function = getattr(keyword, ranker)
    try:
        with numpy.errstate(all="ignore"):
            result = function(*args, **kwargs)
    except ALLOWED as error:
        entries = entries_of(error)
        if any(not isinstance(name, str) for name in kwargs):
            # Refused by the interpreter's call machinery, before the module.
            assert type(error) is TypeError and str(error) == "keywords must be strings" and entries == []
            return
        assert entries, f"{type(error).__name__}: {error} carries no entry of the module"
        assert entries[0][0] == f"{MODULE}.{ranker}", entries
        for (name, line), inner in zip(entries, entries[1:] + [None]):
            assert line in LINES[name], (name, line)
            if inner is not None:
                assert CALLED_STAGE.get((name, line)) == inner[0], entries
        assert len(entries) <= 2, entries
    else:
        assert type(result) is list
        assert all(type(pair) is tuple and len(pair) == 2 for pair in result)


@settings(max_examples=EXAMPLES, deadline=None, database=None, print_blob=True,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much])
@given(calls())
def random_calls(call):
    ranker, args, kwargs = call
    # The example in hand, for the parent to show should this process die.
    print("example:", ranker, repr(args)[:300], repr(kwargs)[:300], file=sys.stderr, flush=True)
    check_call(ranker, args, kwargs)


def test_random_calls_end_in_a_result_or_a_reported_exception():
    child = run_in_test_module(__file__, "random_calls(); print('all examples passed')", dev=True, timeout=900)
    tail = "\n".join(line for line in child.stderr.splitlines()[-60:])
    assert child.returncode == 0, f"child ended with {child.returncode}:\n{tail}"
    assert "all examples passed" in child.stdout
