"""TextRank over a sparse word graph: the ranking of ``keyword.textrank`` in
memory and time that grow with the number of words and links; and the
personalised PageRank, the English cutter and the candidate counts of the
keyphrase method."""

from collections.abc import Hashable, Iterable
from typing import SupportsFloat, SupportsIndex, TypeVar

_Word = TypeVar("_Word", bound=Hashable)

def textrank(
    corpus: Iterable[_Word],
    window: SupportsIndex = 5,
    alpha: SupportsFloat = 0.8,
    n_word: SupportsIndex | None = 10,
    n_iter: SupportsIndex = 10,
) -> list[tuple[_Word, float]]:
    """Rank the distinct words of ``corpus`` by TextRank over a sparse co-occurrence graph, best first.

    The same words, graph and update as ``keyword.textrank``: words within
    ``window - 1`` positions of a word's first occurrence are its neighbours,
    and ``n_iter`` damped updates with factor ``alpha`` are applied to a
    vector of ones. ``corpus`` may be any iterable (read once). Returns at
    most ``n_word`` ``(word, score)`` pairs (``None`` keeps them all, a
    negative value drops that many from the end); each score is a ``float``.
    Equal scores keep the iteration order of ``set(corpus)``. For ``alpha``
    from 0 to 1 the scores agree with ``keyword.textrank``'s to within 1e-12
    relative; outside that range (negative, or above 1) both engines amplify
    their own rounding and may differ by more. ``alpha`` must be a real
    number: complex numbers, numpy's included, raise ``TypeError``.
    """

def personalized_pagerank(
    keys: Iterable[SupportsIndex],
    restart: Iterable[SupportsFloat],
    window: SupportsIndex = 3,
    alpha: SupportsFloat = 0.85,
    n_iter: SupportsIndex = 30,
) -> list[float]:
    """PageRank with restarts of the words numbered ``0 .. len(restart) - 1``.

    ``keys`` holds the word numbers in text order (fewer than ``2**32 - 1``
    of them); words within
    ``window - 1`` positions of each other are linked both ways, a link
    weighing how often they are. ``restart`` gives each word's share of the
    restart vector (finite, at least 0; all zero: equal shares). ``n_iter``
    damped updates with factor ``alpha`` start from a uniform vector; the
    score of words without links restarts. Returns one float per word, the
    scores summing to 1. The arithmetic runs without the interpreter's lock.
    """

def tokens(text: str) -> tuple[list[str], bytes]:
    """The words and marks of ``text``, as the keyphrase method cuts English.

    A word is a letter or digit, then letters, digits and underscores, with a
    hyphen or an apostrophe (``'`` or ``’``) between two such runs; a mark is
    a punctuation mark that ends a chunk, or a paragraph break (a line break,
    then spacing up to its last line break); anything else is skipped.
    Letters, digits and spacing are ``str.isalnum`` and ``str.isspace``.
    Returns ``(distinct, numbers)``: the distinct tokens, ``""`` (every mark)
    first, then the words in order of first occurrence; and one native
    unsigned 32-bit int per token, its place in ``distinct``. The scan runs
    without the interpreter's lock.
    """

def count_runs(
    keys: Iterable[SupportsIndex],
    starts: Iterable[SupportsIndex],
    lengths: Iterable[SupportsIndex],
    max_words: SupportsIndex = 4,
) -> list[tuple[bytes, bytes, bytes, bytes, bytes, bytes, bytes]]:
    """The runs of 1 to ``max_words`` consecutive words inside chunks: the keyphrase candidates.

    ``keys`` holds each word's key (below ``2**32 - 1``) in text order; the
    chunks are given by their first words' places (``starts``, increasing)
    and their ``lengths``, none running into the next. Returns, for each
    length n that has runs, a tuple of seven ``bytes`` of native
    ``Py_ssize_t`` (numpy's ``intp``), one entry per distinct run in order of
    first occurrence: the runs' keys (n each), their counts, first and last
    starts, how often each is a whole chunk, and (empty for n = 1) the
    numbers, among the runs of n - 1 words, of each one's first and last
    n - 1 words. Buffers of native integers are read in place; the counting
    runs without the interpreter's lock.
    """
