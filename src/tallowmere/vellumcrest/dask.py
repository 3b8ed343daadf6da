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

# dask's bag and client functions carry no annotations.
# mypy: disable-error-code="no-untyped-call"

from __future__ import annotations

import os
from collections.abc import Hashable, Iterable, Mapping
from typing import Any, Literal, TypeVar

from ._package import install_hint

try:
    import dask.bag as _bag
    from dask.base import is_dask_collection
    from dask.delayed import delayed
except ImportError as _missing:
    raise ImportError(f"tallowmere.vellumcrest.dask needs dask: {install_hint('dask')}", name=_missing.name) from _missing

from . import extract
from .idf import DocumentFrequency
from .inputs import read_utf8
from .options import check_idf_source, make_options
from .text import cut, load_jieba, words_of

__all__ = ["build_idf_bag", "document_frequency_bag", "rank_bag", "read_texts"]

W = TypeVar("W", bound=Hashable)


# --- reading ---------------------------------------------------------------------


def read_texts(paths: Iterable[str | os.PathLike[str]], *, npartitions: int | None = None) -> _bag.Bag:
    """A bag of the texts of *paths*, in their order, each file read by a worker.

    The files must be readable at the same paths on every worker (a shared or
    copied file system). *npartitions* is passed to
    :func:`dask.bag.from_sequence` (by default dask makes up to about 100
    partitions).
    """
    names = [os.fspath(path) for path in paths]
    bag: _bag.Bag = _bag.from_sequence(names, npartitions=npartitions).map(read_utf8)
    return bag


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


# --- ranking ---------------------------------------------------------------------


def rank_bag(
    bag: _bag.Bag, method: Literal["keyphrases", "textrank", "tfidf"] = "keyphrases", **options: Any
) -> _bag.Bag:
    """The keywords of every text of *bag*, as a bag of results in the bag's order.

    Each text (a ``str``) is ranked on a worker as
    :func:`~tallowmere.vellumcrest.keywords` ranks it with *method* and
    *options*, so that ``rank_bag(bag, **options).compute()`` equals
    ``[keywords(text, **options) for text in bag.compute()]``, whatever the
    workers' hash seeds. The options are checked here, before anything runs,
    and raise what :func:`keywords` raises.

    For ``method="tfidf"``:

    - *idf* may be a table, or a lazy one such as :func:`build_idf_bag`'s
      item, which is then computed on the cluster and handed to the workers
      without passing through the client;
    - *idf_corpus* may be a bag of texts (such as *bag* itself, to weigh every
      document against the whole collection), counted on the cluster with
      :func:`build_idf_bag`, or any iterable of texts. Its texts are cut into
      words as the ranked texts are.

    The table is completed for unknown words (*unknown_idf*) once, not for
    every text.
    """
    idf = options.pop("idf", None)
    idf_corpus = options.pop("idf_corpus", None)
    settings = make_options(method=method, **options)
    check_idf_source(settings, idf, idf_corpus)
    if settings.language == "zh":
        load_jieba()  # jieba must be there on the client too, as for keywords()
    table: Any = None
    if idf is not None:
        if is_dask_collection(idf):
            table = delayed(_complete, pure=True)(idf, settings.unknown_idf)
        elif isinstance(idf, Mapping):
            # Checked and completed here, once; one copy in the graph, sent
            # once to each worker that needs it.
            table = delayed(_complete(idf, settings.unknown_idf), pure=True)
        else:
            raise TypeError(
                f"idf must be a mapping from word to weight or a lazy one, not {type(idf).__name__}"
            )
    elif idf_corpus is not None:
        if isinstance(idf_corpus, str):
            raise TypeError("idf_corpus must be a collection of texts, not one str")
        corpus = idf_corpus if isinstance(idf_corpus, _bag.Bag) else _bag.from_sequence(list(idf_corpus))
        counted = build_idf_bag(corpus.map(_corpus_words, options=settings))
        table = delayed(_complete, pure=True)(counted, settings.unknown_idf)
    ranked: _bag.Bag = bag.map(_rank_text, options=settings, idf=table)
    return ranked


def _complete(table: Any, unknown_idf: Any) -> Any:
    return extract.complete_idf(table, unknown_idf)


def _corpus_words(text: Any, options: Any) -> list[str]:
    if not isinstance(text, str):
        raise TypeError(f"idf_corpus must hold str texts, not {type(text).__name__}")
    return words_of(cut(text, options)[1])


def _rank_text(text: Any, options: Any, idf: Any) -> list[tuple[str, float]]:
    if not isinstance(text, str):
        extract.keywords(text)  # raises keywords()' own TypeError for what is not text
    if options.method == "keyphrases":
        return extract.keyphrases_of(text, options)
    normalised, tokens = cut(text, options)
    return extract.rank(normalised, tokens, options, idf)
