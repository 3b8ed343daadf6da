"""Idf tables and keyword ranking over a :mod:`dask.bag`, on a Dask cluster.

Needs the ``dask`` extra (``pip install 'tallowmere-vellumcrest[dask]'``,
which brings ``dask`` and its ``distributed`` scheduler); nothing else in the
package imports them.

* :func:`read_texts` makes a bag of the texts of files that the workers read
  themselves: only the file names travel through the client.
* :func:`document_frequency_bag` and :func:`build_idf_bag` count the documents
  of a bag of tokenised documents, partition by partition, and merge the
  counts (:class:`~tallowmere.vellumcrest.idf.DocumentFrequency`): the table
  is exactly the one :func:`~tallowmere.vellumcrest.idf.build_idf` gives for
  the same documents, in the same word order.
* :func:`rank_bag` ranks every text of a bag, giving a bag of results in the
  bag's order. The results do not depend on the workers' string hashing.

All three are lazy, as dask collections are: ``.compute()`` runs them, on a
``distributed.Client`` when one is active, otherwise on dask's default
scheduler.
"""

from __future__ import annotations

import os
from collections.abc import Hashable, Iterable
from typing import Any, TypeVar

try:
    import dask.bag as _bag
except ImportError as error:  # pragma: no cover - depends on the environment
    raise ImportError(
        "tallowmere.vellumcrest.dask needs dask:"
        " pip install 'tallowmere-vellumcrest[dask]'",
        name=error.name,
    ) from error

from .idf import DocumentFrequency

__all__ = ["build_idf_bag", "document_frequency_bag", "rank_bag", "read_texts"]

W = TypeVar("W", bound=Hashable)


# --- reading ---------------------------------------------------------------------


def read_text(path: str) -> str:
    """The text of the UTF-8 file *path*, a leading byte-order mark skipped.

    Raises :class:`OSError` when the file cannot be read and
    :class:`UnicodeDecodeError` when it is not UTF-8.
    """
    with open(path, "rb") as stream:
        data = stream.read()
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    return data.decode("utf-8")


def read_texts(paths: Iterable[str | os.PathLike[str]], *, npartitions: int | None = None) -> _bag.Bag:
    """A bag of the texts of *paths*, in their order, each file read by a worker.

    The files must be readable at the same paths on every worker (a shared or
    copied file system). *npartitions* is passed to
    :func:`dask.bag.from_sequence` (default: about 100 files a partition).
    """
    names = [os.fspath(path) for path in paths]
    if not names:
        raise ValueError("read_texts needs at least one path")
    return _bag.from_sequence(names, npartitions=npartitions).map(read_text)


# --- idf tables ------------------------------------------------------------------


def _count_partition(documents: Iterable[Iterable[W]]) -> DocumentFrequency[W]:
    return DocumentFrequency(documents)


def _merge_in_order(parts: Iterable[DocumentFrequency[W]]) -> DocumentFrequency[W]:
    # Dask hands the partial counts over in partition order; merging them in
    # that order keeps the words in order of first occurrence in the bag.
    merged: DocumentFrequency[W] = DocumentFrequency()
    for part in parts:
        merged = merged.merge(part)
    return merged


def document_frequency_bag(bag: _bag.Bag, *, split_every: int | None = None) -> Any:
    """The :class:`DocumentFrequency` of a bag of tokenised documents, as a lazy item.

    Each partition is counted where it lies and the counts are merged in a
    tree (*split_every* partial counts at a time, as in
    :meth:`dask.bag.Bag.reduction`), in partition order.
    """
    return bag.reduction(
        _count_partition, _merge_in_order, split_every=split_every, name="document-frequency"
    )


def _to_idf(counts: DocumentFrequency[W]) -> dict[W, float]:
    return counts.to_idf()


def build_idf_bag(bag: _bag.Bag, *, split_every: int | None = None) -> Any:
    """:func:`~tallowmere.vellumcrest.idf.build_idf` of a bag of tokenised documents.

    Returns a lazy :class:`dask.bag.Item`: ``build_idf_bag(bag).compute()``
    is the table, equal float for float and in the same word order to
    ``build_idf(bag.compute())``. The item can also be passed on uncomputed,
    for example as ``rank_bag(texts, method="tfidf", idf=item)``, so that the
    table never passes through the client.
    """
    return document_frequency_bag(bag, split_every=split_every).apply(_to_idf)
