"""The module against the plain-Python model on random input, in one process.

Results must be identical: the same words (the very objects), the same order,
the same score types and values (NaN where the model has NaN); failures must
raise the same exception type with the same message.
"""

import numpy
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import model
from conftest import assert_same, outcome
from tallowmere.vellumcrest.keyword import textrank, tfidf

words = st.one_of(st.integers(-3, 12), st.sampled_from(["a", "b", "c", "dd", "é", "词", ""]))
corpora = st.one_of(st.lists(words, max_size=30), st.lists(words, max_size=12).map(tuple), st.text("abcab", max_size=15))
n_words = st.one_of(st.none(), st.integers(-4, 14), st.sampled_from([2.5, "3", True]))
windows = st.one_of(st.integers(-2, 9), st.sampled_from([2.0, 5.0, 1.5, 0.5, True]))
alphas = st.one_of(st.floats(0, 1), st.integers(0, 1), st.sampled_from([0.8, 0.85, 1.5, -0.5]))
weights = st.one_of(st.integers(-5, 5), st.floats(-3, 3, allow_nan=False), st.none())




@settings(max_examples=1500, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(corpus=corpora, window=windows, alpha=alphas, n_word=n_words, n_iter=st.integers(-2, 12))
def test_textrank_matches_the_model(corpus, window, alpha, n_word, n_iter):
    assert_same(outcome(textrank, corpus, window, alpha, n_word, n_iter),
                outcome(model.textrank, corpus, window, alpha, n_word, n_iter))


@settings(max_examples=1500, deadline=None)
@given(corpus=corpora, table=st.dictionaries(words, weights, max_size=8), n_word=n_words)
def test_tfidf_matches_the_model(corpus, table, n_word):
    assert_same(outcome(tfidf, corpus, table, n_word), outcome(model.tfidf, corpus, table, n_word))


@pytest.mark.parametrize("seed", range(3))
def test_textrank_matches_the_model_on_larger_corpora(seed):
    rng = numpy.random.default_rng(seed)
    vocabulary = [f"w{k}" for k in range(300)]
    corpus = [vocabulary[k] for k in rng.zipf(1.3, 3000) % len(vocabulary)]
    for window in (2, 5):
        assert_same(outcome(textrank, corpus, window, 0.85, None, 10),
                    outcome(model.textrank, corpus, window, 0.85, None, 10))
