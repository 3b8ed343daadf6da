"""Inverse document frequency tables for :func:`tallowmere.vellumcrest.keyword.tfidf`.

An idf table is a plain ``dict`` from word to weight. :func:`build_idf` makes
one from tokenised documents, through :class:`DocumentFrequency`, the document
counts that can be built in pieces and merged; :func:`load_idf` and :func:`save_idf` read and
write the common text format of one ``word weight`` pair per line:

* UTF-8 (a leading byte-order mark is accepted), any line ending;
* on each line a word and a decimal weight, separated by whitespace;
* blank lines and lines whose first non-blank character is ``#`` are ignored.

Words cannot contain whitespace and cannot start with ``#`` (or, as the first
word of a file, with a byte-order mark) in this format; :func:`save_idf`
refuses such words rather than write a file that reads back differently.
"""

from __future__ import annotations

import math
import numbers
import os
from collections import Counter
from collections.abc import Hashable, Iterable, Iterator, Mapping
from typing import Generic, TypeVar

__all__ = ["DocumentFrequency", "build_idf", "load_idf", "save_idf"]

# A file's leading byte-order mark is skipped when it is read, so a word
# cannot start with one.
_BOM = "\ufeff"

W = TypeVar("W", bound=Hashable)

StrPath = str | os.PathLike[str]


class DocumentFrequency(Generic[W]):
    """How many documents contain each word, and how many documents there are.

    This is what an idf table is made from, kept in a form that can be built
    in pieces and combined: count each share of a collection on its own
    (another process, another machine) and :meth:`merge` the counts. The idf
    table of the merged counts is exactly the table that :func:`build_idf`
    gives for all the documents together.

    >>> left = DocumentFrequency([["the", "bees"], ["the", "hive"]])
    >>> right = DocumentFrequency([["bees", "make", "honey"]])
    >>> left.merge(right).to_idf() == build_idf([["the", "bees"], ["the", "hive"],
    ...                                          ["bees", "make", "honey"]])
    True

    Words are kept in the order of their first occurrence: first those of the
    documents added here, in the order they were added, then the new words of
    a merged statistic. Merging the shares of a collection in the
    collection's order therefore gives the table the order :func:`build_idf`
    gives it. Merging is associative and commutative for the counts (merged
    statistics compare equal whatever the grouping and order), and only the
    word order follows the order of the operands.
    """

    __slots__ = ("_counts", "_n_documents")

    def __init__(self, documents: Iterable[Iterable[W]] = ()) -> None:
        self._counts: Counter[W] = Counter()
        self._n_documents = 0
        for document in documents:
            self.add(document)

    def add(self, document: Iterable[W]) -> None:
        """Count one tokenised document (an iterable of words, read once)."""
        # Each word once per document; dict.fromkeys rather than set() keeps
        # first-occurrence order, so the order does not depend on string
        # hashing.
        words = dict.fromkeys(document, 1)
        self._counts.update(words)
        self._n_documents += 1

    def merge(self, other: DocumentFrequency[W]) -> DocumentFrequency[W]:
        """Return the statistic of this one's documents and *other*'s together.

        Neither operand changes. This statistic's words come first, then the
        words that only *other* has, in *other*'s order.
        """
        if not isinstance(other, DocumentFrequency):
            raise TypeError(
                f"can only merge a DocumentFrequency, not {type(other).__name__}"
            )
        merged: DocumentFrequency[W] = DocumentFrequency()
        merged._counts = self._counts.copy()
        merged._counts.update(other._counts)
        merged._n_documents = self._n_documents + other._n_documents
        return merged

    @classmethod
    def merge_all(cls, statistics: Iterable[DocumentFrequency[W]]) -> DocumentFrequency[W]:
        """The statistic of all of *statistics* together, merged in their order.

        Equal to merging them one after the other with :meth:`merge`, without
        a copy of the counts for each step. None of *statistics* changes.
        """
        merged: DocumentFrequency[W] = cls()
        for statistic in statistics:
            if not isinstance(statistic, DocumentFrequency):
                raise TypeError(
                    f"can only merge a DocumentFrequency, not {type(statistic).__name__}"
                )
            merged._counts.update(statistic._counts)
            merged._n_documents += statistic._n_documents
        return merged

    @property
    def n_documents(self) -> int:
        """The number of documents counted, empty ones included."""
        return self._n_documents

    def __len__(self) -> int:
        """The number of distinct words."""
        return len(self._counts)

    def __getitem__(self, word: W) -> int:
        """The number of documents that contain *word* (0 for a word never seen)."""
        return self._counts[word]

    def __iter__(self) -> Iterator[W]:
        """The words, in the order described in the class documentation."""
        return iter(self._counts)

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, DocumentFrequency):
            return NotImplemented
        return self._n_documents == other._n_documents and self._counts == other._counts

    __hash__ = None  # type: ignore[assignment]  # mutable, like dict

    def __repr__(self) -> str:
        return (
            f"<{type(self).__name__}: {self._n_documents} document"
            f"{'' if self._n_documents == 1 else 's'}, {len(self._counts)} word"
            f"{'' if len(self._counts) == 1 else 's'}>"
        )

    def __copy__(self) -> DocumentFrequency[W]:
        # A copy counts on its own: adding to it leaves this one as it is.
        copied = type(self).__new__(type(self))
        copied._counts = self._counts.copy()
        copied._n_documents = self._n_documents
        return copied

    def __getstate__(self) -> tuple[Counter[W], int]:
        return self._counts, self._n_documents

    def __setstate__(self, state: tuple[Counter[W], int]) -> None:
        self._counts, self._n_documents = state

    def to_idf(self) -> dict[W, float]:
        """The idf table of the counted documents; see :func:`build_idf`."""
        n_documents = self._n_documents
        return {
            word: math.log((1 + n_documents) / (1 + df)) + 1.0
            for word, df in self._counts.items()
        }


def build_idf(documents: Iterable[Iterable[W]]) -> dict[W, float]:
    """Return the smoothed inverse document frequency of every word in *documents*.

    Each item of *documents* is one tokenised document (an iterable of words,
    read once). With N documents, of which df(w) contain the word w at least
    once::

        idf(w) = ln((1 + N) / (1 + df(w))) + 1

    The smoothing keeps every weight at 1 or more: a word found in every
    document weighs exactly 1 instead of 0, so a table built from a single
    document ranks its words by plain term frequency, and rarer words weigh
    more. ``ln`` is the natural logarithm.

    The table lists the words in the order of their first occurrence across
    the documents. A word that occurs in no document is not in the table;
    :func:`~tallowmere.vellumcrest.keyword.tfidf` scores such a word 0.

    This is ``DocumentFrequency(documents).to_idf()``: build a
    :class:`DocumentFrequency` instead to count a collection in pieces.
    """
    return DocumentFrequency(documents).to_idf()


def _parse_weight(text: str) -> float | None:
    try:
        weight = float(text)
    except ValueError:
        return None
    return weight if math.isfinite(weight) else None


def load_idf(path: StrPath) -> dict[str, float]:
    """Read an idf table in the ``word weight`` text format.

    Raises :class:`OSError` when the file cannot be read and :class:`ValueError`
    naming the file and the line (``FILE:LINE: ...``) for a line that is not
    UTF-8, does not hold exactly two fields, has a weight that is not a finite
    number, or repeats a word already read.
    """
    with open(path, "rb") as stream:
        data = stream.read()
    name = os.fsdecode(path)
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    table: dict[str, float] = {}
    for number, raw in enumerate(data.splitlines(), start=1):
        try:
            line = raw.decode("utf-8")
        except UnicodeDecodeError as error:
            raise ValueError(
                f"{name}:{number}: not valid UTF-8 (byte 0x{raw[error.start]:02x}"
                f" at column {error.start + 1})"
            ) from None
        fields = line.split()
        if not fields or fields[0].startswith("#"):
            continue
        if len(fields) != 2:
            raise ValueError(
                f"{name}:{number}: expected 'word weight', found {len(fields)} field"
                f"{'' if len(fields) == 1 else 's'}"
            )
        word, weight_text = fields
        weight = _parse_weight(weight_text)
        if weight is None:
            raise ValueError(
                f"{name}:{number}: weight {weight_text!r} of {word!r} is not a finite number"
            )
        if word in table:
            raise ValueError(f"{name}:{number}: {word!r} is listed twice")
        table[word] = weight
    return table


def weight_value(word: object, weight: object) -> float:
    """*weight*, the weight of *word* in a table, as a finite float.

    Takes int, float, Fraction, numpy's real scalars and anything else that
    converts with ``float()``; raises :class:`TypeError` for what is not a
    real number (text, None, a complex number: numpy's complex scalars would
    otherwise lose their imaginary part) and :class:`ValueError` for what is
    not finite (NaN, infinities, an int too large for a float).
    """
    if type(weight) is float:
        value = weight
    else:
        if isinstance(weight, (str, bytes, bytearray)) or (
            isinstance(weight, numbers.Complex) and not isinstance(weight, numbers.Real)
        ):
            raise TypeError(f"the weight of {word!r} must be a real number, not {type(weight).__name__}")
        try:
            value = float(weight)  # type: ignore[arg-type]
        except OverflowError:
            raise ValueError(f"the weight of {word!r} is not a finite number: too large for a float") from None
        except (TypeError, ValueError):
            raise TypeError(
                f"the weight of {word!r} must be a real number, not {type(weight).__name__}"
            ) from None
    if not math.isfinite(value):
        raise ValueError(f"the weight of {word!r} is not a finite number: {value!r}")
    return value


def _format_entry(word: object, weight: object) -> str:
    if not isinstance(word, str):
        raise TypeError(f"idf words must be str, not {type(word).__name__}")
    if word.split() != [word] or word.startswith(("#", _BOM)):
        raise ValueError(
            f"cannot write the word {word!r}: words must be non-empty, free of"
            " whitespace, and must not start with '#' or a byte-order mark"
        )
    # repr() of a float reads back as exactly the same float.
    return f"{word} {weight_value(word, weight)!r}\n"


def save_idf(table: Mapping[str, float], path: StrPath) -> None:
    """Write *table* to *path* in the ``word weight`` text format, UTF-8, one pair a line.

    Pairs are written in the table's iteration order, and weights are written
    so that :func:`load_idf` reads back exactly the same floats. Every entry is
    checked before anything is written: a word that is not a str raises
    :class:`TypeError`, a word that is empty, holds whitespace or starts with
    ``#`` or a byte-order mark raises :class:`ValueError`; a weight that is
    not a real number (a complex number included) raises :class:`TypeError`,
    one that is infinite, not a number or too large for a float
    :class:`ValueError`. The table is written to a new file
    ``.NAME.<12 hex digits>.tmp`` beside *path* and then renamed to *path*, so
    *path* never holds a half-written table. A process killed while it writes
    (SIGKILL, a power cut) cannot remove that file: it is left behind and can
    be deleted; it is never read.
    """
    text = "".join(_format_entry(word, weight) for word, weight in table.items())
    target = os.fspath(path)
    directory, base = os.path.split(target)
    while True:
        temporary = os.path.join(directory, f".{base}.{os.urandom(6).hex()}.tmp")
        try:
            # Mode 0o666 lets the umask decide the permissions, as open() does.
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            continue
        break
    try:
        with os.fdopen(fd, "w", encoding="utf-8", newline="\n") as stream:
            stream.write(text)
        os.replace(temporary, target)
    except BaseException:
        try:
            os.unlink(temporary)
        except FileNotFoundError:
            pass
        raise
