"""sparse.textrank on random input (hypothesis).

- Random corpora and settings: the ranking agrees with keyword.textrank
  (scores within 1e-12 relative, NaN where it has NaN; the same order except
  between scores that close).
- Random arguments of random types, hostile objects among them: every call
  returns a list of (word, float) pairs or raises TypeError or ValueError (or
  what the hostile objects raise, or RuntimeError when a word changes the
  words while they are counted).  These run in a child interpreter, so that a
  crash fails the test and names the example.
"""
import sys
import warnings

import numpy
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import EqFails, HashFails, HostileError, IndexFails, hostile, run_in_test_module, with_clearing_word
from sparse_agreement import disagreement
import tallowmere.vellumcrest.keyword as keyword
import tallowmere.vellumcrest.sparse as sparse

# ---- agreement with the exact ranker ---------------------------------------------

vocabulary = st.one_of(
    st.sampled_from(["a", "b", "c", "dd", "", "词", "the", "of"]),
    st.integers(-3, 40),
    st.sampled_from([1.0, 2.5, -0.0, True, False, None, ("a",), ("a", 1)]),
)
corpora = st.one_of(
    st.lists(vocabulary, max_size=60),
    st.lists(st.integers(0, 200), min_size=50, max_size=400),  # longer, more distinct words
    st.lists(vocabulary, max_size=40).map(tuple),
    st.text("abcde ", max_size=40),
)
settings_strategy = st.fixed_dictionaries({
    "window": st.one_of(st.integers(-2, 9), st.sampled_from([2, 3, 5, 50, 10**6])),
    "alpha": st.one_of(st.floats(0, 1), st.sampled_from([0.0, 0.8, 0.85, 1.0])),
    "n_word": st.one_of(st.none(), st.integers(-20, 30)),
    "n_iter": st.integers(0, 30),
})


@settings(max_examples=400, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(corpora, settings_strategy)
def test_agrees_with_the_exact_ranker_on_random_corpora(corpus, kwargs):
    with numpy.errstate(all="ignore"):
        expected = keyword.textrank(corpus, **kwargs)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        got = sparse.textrank(corpus, **kwargs)
    problem = disagreement(expected, got)
    assert problem is None, (problem, expected, got)


# ---- random arguments --------------------------------------------------------------


class FloatFails:
    __float__ = hostile


class IterFails:
    __iter__ = hostile


class LengthHintFails:
    def __iter__(self):
        return self

    def __next__(self):
        raise StopIteration

    __length_hint__ = hostile


ALLOWED = (TypeError, ValueError, RuntimeError, HostileError)
hostile_objects = st.sampled_from([HashFails, EqFails, IndexFails, FloatFails, IterFails,
                                   LengthHintFails]).map(lambda cls: cls())
words = st.one_of(vocabulary, st.lists(vocabulary, max_size=2), hostile_objects)
anything = st.one_of(
    # No large positive ints that fit: as n_iter they would make the call run for ever.
    st.integers(-10**20, 20), st.just(10**30), st.floats(), st.none(), st.booleans(), st.text(max_size=3), hostile_objects,
    st.lists(vocabulary, max_size=4), st.complex_numbers(), st.sampled_from([numpy.int64(3), numpy.float64(0.5)]),
)
PLAUSIBLE = {
    "corpus": st.one_of(
        st.lists(words, max_size=15),
        st.lists(vocabulary, max_size=15).map(lambda items: (item for item in items)),
        st.lists(vocabulary, max_size=15).map(with_clearing_word),
        st.sets(vocabulary, max_size=8),
        st.dictionaries(vocabulary, st.integers(), max_size=5),
    ),
    "window": st.integers(-3, 12),
    "alpha": st.floats(allow_nan=True, allow_infinity=True),
    "n_word": st.one_of(st.none(), st.integers(-5, 12)),
    "n_iter": st.integers(-3, 12),
}
PARAMETERS = ("corpus", "window", "alpha", "n_word", "n_iter")


@st.composite
def calls(draw):
    count = draw(st.integers(0, 6))
    args = [draw(st.one_of(PLAUSIBLE[PARAMETERS[k]], PLAUSIBLE[PARAMETERS[k]], anything)) if k < 5
            else draw(anything) for k in range(count)]
    names = draw(st.lists(st.sampled_from(PARAMETERS + ("top", "x")), unique=True, max_size=3))
    kwargs = {name: draw(st.one_of(PLAUSIBLE[name], anything) if name in PLAUSIBLE else anything) for name in names}
    return args, kwargs


def check_call(args, kwargs):
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            result = sparse.textrank(*args, **kwargs)
    except ALLOWED as error:
        if type(error) is RuntimeError:
            assert "changed while they were counted" in str(error)
        elif type(error) is not HostileError:
            assert str(error), "an error without a message"
    else:
        assert type(result) is list
        assert all(type(pair) is tuple and len(pair) == 2 and type(pair[1]) is float for pair in result)


@settings(max_examples=600, deadline=None, database=None, print_blob=True,
          suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much])
@given(calls())
def random_calls(call):
    args, kwargs = call
    print("example:", repr(args)[:300], repr(kwargs)[:300], file=sys.stderr, flush=True)
    check_call(args, kwargs)


def test_random_calls_end_in_a_result_or_a_clear_exception():
    child = run_in_test_module(__file__, "random_calls(); print('all examples passed')", dev=True, timeout=900)
    tail = "\n".join(child.stderr.splitlines()[-60:])
    assert child.returncode == 0, f"child ended with {child.returncode}:\n{tail}"
    assert "all examples passed" in child.stdout
