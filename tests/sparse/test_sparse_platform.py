"""sparse.textrank at the word-size boundaries and on a document that the
dense ranker cannot take on the 32-bit target.

On 32-bit ARM Linux (armv7l) Py_ssize_t and size_t are 32 bits wide and a
process cannot hold much more than 1 GB of contiguous array: the dense
ranker's n x n matrix stops at about 10,000 distinct words there, while the
sparse one ranks 20,000 distinct words in a few megabytes.  These tests run
in every run of the suite, the armv7l one (scripts/test-armhf) included.
"""
import math
import sys
import warnings

import numpy
import pytest

import tallowmere.vellumcrest.keyword as keyword
import tallowmere.vellumcrest.sparse as sparse
from sparse_agreement import close

IS_32_BIT = sys.maxsize == 2**31 - 1
BOUNDARIES = sorted({edge + step for edge in (2**31, 2**32, 2**63, 2**64) for step in (-2, -1, 0, 1)}
                    | {-(edge + step) for edge in (2**31, 2**63) for step in (-1, 0, 1)})
WORDS = "the cat sat on the mat the cat ran".split()


@pytest.mark.parametrize("window", BOUNDARIES + [numpy.int32(2**31 - 1), numpy.int64(-2**31)], ids=repr)
def test_window_at_the_word_size_boundaries(window):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        got = sparse.textrank(WORDS, window, n_word=None)
    if window > len(WORDS):
        assert got == sparse.textrank(WORDS, len(WORDS), n_word=None)
    else:
        assert all(math.isnan(score) for _, score in got)


@pytest.mark.parametrize("n_word", BOUNDARIES + [numpy.int64(2**31), numpy.int32(-2**31)], ids=repr)
def test_n_word_at_the_word_size_boundaries(n_word):
    full = sparse.textrank(WORDS, n_word=None)
    assert sparse.textrank(WORDS, n_word=n_word) == full[:n_word]


@pytest.mark.parametrize("n_iter", [b for b in BOUNDARIES if b < 0 or b >= 2**63], ids=repr)
def test_n_iter_out_of_range_at_the_word_size_boundaries(n_iter):
    with pytest.raises(ValueError, match="n_iter"):
        sparse.textrank(WORDS, n_iter=n_iter)


# ---- a long document -------------------------------------------------------------

def long_document(size=200_000, distinct=20_000):
    """Every word once, the rest drawn with P(rank k) ~ 1/k (seeded)."""
    rng = numpy.random.default_rng(20240917)
    p = 1.0 / numpy.arange(1, distinct + 1)
    ids = numpy.concatenate([numpy.arange(distinct), rng.choice(distinct, size=size - distinct, p=p / p.sum())])
    rng.shuffle(ids)
    names = [f"w{k}" for k in range(distinct)]
    return [names[k] for k in ids.tolist()]


def plain_textrank(corpus, window=5, alpha=0.8, n_iter=10):
    """The same ranking in plain Python over neighbour sets: {word: score}."""
    first = {}
    for position, word in enumerate(corpus):
        first.setdefault(word, position)
    linked = {word: set() for word in first}
    for word, position in first.items():
        for i in range(max(0, position - window + 1), min(len(corpus), position + window)):
            if i != position:
                linked[word].add(corpus[i])
                linked[corpus[i]].add(word)
    pr = dict.fromkeys(linked, 1.0)
    for _ in range(n_iter):
        weighted = {word: (1 / len(neighbours)) * pr[word] for word, neighbours in linked.items()}
        pr = {word: (1 - alpha) + alpha * math.fsum(weighted[n] for n in neighbours)
              for word, neighbours in linked.items()}
    return pr


@pytest.mark.target_platform
def test_a_document_of_20000_distinct_words_that_the_dense_ranker_cannot_take_on_32_bit():
    corpus = long_document()
    ranked = sparse.textrank(corpus, n_word=None)
    assert len(ranked) == 20_000
    assert [type(score) for _, score in ranked[:1]] == [float]
    # Scores add up to the number of words; best first.
    assert math.isclose(math.fsum(score for _, score in ranked), 20_000, rel_tol=1e-9)
    assert all(a[1] >= b[1] for a, b in zip(ranked, ranked[1:]))
    expected = plain_textrank(corpus)
    assert all(close(expected[word], score, 1e-12) for word, score in ranked)
    if IS_32_BIT:
        # 20,000**2 float64 is 3.2 GB: more than a 32-bit process can address.
        with numpy.errstate(all="ignore"), pytest.raises((MemoryError, ValueError)) as failure:
            keyword.textrank(corpus)
        assert isinstance(failure.value, MemoryError) or "array is too big" in str(failure.value)
