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
) -> list[tuple[_Word, int]]: ...
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
) -> list[tuple[_Word, _Score]]:
    """Rank the distinct words of ``corpus`` by ``idf.get(word, 0) * count``, best first.

    Returns at most ``n_word`` ``(word, score)`` pairs; ``None`` keeps them
    all. Equal scores keep the order of first occurrence in ``corpus``.
    """

def textrank(
    corpus: Sequence[_Word],
    window: int = 5,
    alpha: float = 0.8,
    n_word: SupportsIndex | None = 10,
    n_iter: SupportsIndex = 10,
) -> list[tuple[_Word, float]]:
    """Rank the distinct words of ``corpus`` by TextRank over a co-occurrence graph, best first.

    Words within ``window - 1`` positions of a word's first occurrence are its
    neighbours. ``n_iter`` damped updates with factor ``alpha`` are applied to
    a column of ones. Returns at most ``n_word`` ``(word, score)`` pairs
    (``None`` keeps them all); each score is a ``numpy.float64``.
    """
