"""Keyword ranking of one tokenised document: TF-IDF and TextRank."""

from collections.abc import Hashable, Iterable, Mapping, Sequence
from typing import Protocol, SupportsIndex, TypeVar, overload

# The module's doctest table (empty).
__test__: dict[str, str]

_Word = TypeVar("_Word", bound=Hashable)
_Word_contra = TypeVar("_Word_contra", contravariant=True)
_Score = TypeVar("_Score")
_Score_co = TypeVar("_Score_co", covariant=True)

class _Weight(Protocol[_Score_co]):
    """A weight: multiplied by a word's count (an int), it gives the word's score."""

    def __mul__(self, count: int, /) -> _Score_co: ...

class _IdfTable(Protocol[_Word_contra, _Score_co]):
    """What ``tfidf`` needs of its ``idf``: ``idf.get(word, 0)`` gives the word's weight.

    Any mapping is one; other objects need a ``get`` method taking a word and
    the default 0. This protocol exists for type checkers only: the module
    does not define it at run time.
    """

    def get(self, word: _Word_contra, default: int, /) -> _Weight[_Score_co]: ...

# A table of int weights gives int scores, and one of float weights float
# scores (a missing word scores the int 0, which a float may be). Other
# weights, such as Fraction or Decimal, give their own product type or the
# int 0 of a missing word.
@overload
def tfidf(
    corpus: Iterable[_Word],
    idf: Mapping[_Word, int],
    n_word: SupportsIndex | None = 10,
) -> list[tuple[_Word, int]]:
    """Rank the distinct words of ``corpus`` by ``idf.get(word, 0) * count``, best first.

    ``corpus`` is one document already cut into words (for raw text use
    ``tallowmere.vellumcrest.keywords``). ``idf`` is a table from word to
    weight, or any object with ``get(word, default)``; a word it lacks scores
    the int 0. Returns a new list of at most ``n_word`` ``(word, score)``
    pairs (``ranked[:n_word]``; ``None`` keeps them all). Equal scores keep
    the order of first occurrence in ``corpus``, in every run.
    """

@overload
def tfidf(
    corpus: Iterable[_Word],
    idf: Mapping[_Word, float],
    n_word: SupportsIndex | None = 10,
) -> list[tuple[_Word, float]]: ...
@overload
def tfidf(
    corpus: Iterable[_Word],
    idf: Mapping[_Word, _Weight[_Score]],
    n_word: SupportsIndex | None = 10,
) -> list[tuple[_Word, _Score | int]]: ...
@overload
def tfidf(
    corpus: Iterable[_Word],
    idf: _IdfTable[_Word, _Score],
    n_word: SupportsIndex | None = 10,
) -> list[tuple[_Word, _Score]]: ...

def textrank(
    corpus: Sequence[_Word],
    window: int = 5,
    alpha: float = 0.8,
    n_word: SupportsIndex | None = 10,
    n_iter: SupportsIndex = 10,
) -> list[tuple[_Word, float]]:
    """Rank the distinct words of ``corpus`` by TextRank over a co-occurrence graph, best first.

    ``corpus`` is one document already cut into words (for raw text use
    ``tallowmere.vellumcrest.keywords``). Words within ``window - 1``
    positions of a word's first occurrence are its neighbours. ``n_iter``
    damped updates ``pr = (1 - alpha) + alpha * (matrix @ pr)`` are applied
    to a column of ones. Returns a new list of at most ``n_word``
    ``(word, score)`` pairs (``None`` keeps them all); each score is a
    ``numpy.float64``. A word without neighbours makes every score NaN.

    Ties keep the words' numbering, the iteration order of a ``set`` of the
    words: for ``str`` words it depends on ``PYTHONHASHSEED``, and so may the
    last digits of the scores; small ``int`` words number the same in every run.
    The dense matrix takes 8 * n**2 bytes for n distinct words.
    """
