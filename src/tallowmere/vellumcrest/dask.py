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

import functools
import os
from collections.abc import Callable, Hashable, Iterable, Mapping, Sequence
from typing import Any, TypeVar

try:
    import dask
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


# --- ranking ---------------------------------------------------------------------


def _is_lazy(value: Any) -> bool:
    return dask.is_dask_collection(value)


def rank_bag(bag: _bag.Bag, method: str = "textrank", **options: Any) -> _bag.Bag:
    """The keywords of every text of *bag*, as a bag of results in the bag's order.

    Each text (a ``str``) is ranked on a worker by
    :func:`~tallowmere.vellumcrest.keywords` with *method* and *options*, so
    that ``rank_bag(bag, **options).compute()`` equals
    ``[keywords(text, **options) for text in bag.compute()]``, whatever the
    workers' hash seeds. The options are checked here, before anything runs.

    For ``method="tfidf"``:

    - *idf* may be a table, or a lazy one such as :func:`build_idf_bag`'s
      item, which is then computed once on the cluster and handed to the
      workers without passing through the client;
    - *idf_corpus* may be a bag of texts (such as *bag* itself, to weigh
      every document against the whole collection), counted on the cluster
      with :func:`build_idf_bag`, or any iterable of texts. Its texts are cut
      into words as the ranked texts are.
    """
    from .extract import cut, keywords, make_options, words_of

    idf = options.pop("idf", None)
    idf_corpus = options.pop("idf_corpus", None)
    if idf is not None and idf_corpus is not None:
        raise ValueError("give idf or idf_corpus, not both")
    # Checks every option (and method) as keywords() does, and fails here
    # rather than on every worker.
    keywords("", method=method, idf=None if idf is None and idf_corpus is None else {}, **options)
    if idf_corpus is not None:
        if isinstance(idf_corpus, str):
            raise TypeError("idf_corpus must be a collection of texts, not one str")
        corpus = idf_corpus if isinstance(idf_corpus, _bag.Bag) else _bag.from_sequence(list(idf_corpus))
        cut_options = make_options(method=method, **options)
        idf = build_idf_bag(corpus.map(_cut_words, cut=cut, words_of=words_of, options=cut_options))
    elif idf is not None and not _is_lazy(idf):
        # One copy in the graph, sent once to each worker that needs it.
        idf = dask.delayed(idf, pure=True)
    rank = functools.partial(keywords, method=method, **options)
    if idf is None:
        return bag.map(rank)
    return bag.map(rank, idf=idf)


def _cut_words(text: Any, cut: Callable[..., Any], words_of: Callable[..., Any], options: Any) -> list[str]:
    if not isinstance(text, str):
        raise TypeError(f"idf_corpus must hold str texts, not {type(text).__name__}")
    return list(words_of(cut(text, options)[1]))


# --- the command line's --dask ---------------------------------------------------

# (error message, exit status) of an input that failed, or None
_Failure = tuple[str, int] | None


def _attempt(function: Callable[[Any], Any], item: Any) -> tuple[_Failure, Any]:
    # A failure comes back as data, not as an exception: the command must
    # report the first failing input in input order, and an exception would
    # stop the job at whichever failure a worker met first.
    from .cli import CommandError

    try:
        return None, function(item)
    except CommandError as error:
        return (str(error), error.status), None


def _words_or_nothing(attempt: tuple[_Failure, Any]) -> Any:
    failure, words = attempt
    return [] if failure is not None else words


def _failure_of(attempt: tuple[_Failure, Any]) -> _Failure:
    return attempt[0]


def _rank_tfidf(attempt: tuple[_Failure, Any], n_word: int | None, idf: Any) -> tuple[_Failure, Any]:
    from .keyword import tfidf

    failure, words = attempt
    return (failure, None) if failure is not None else (None, tfidf(words, idf, n_word))


def _partitions(client: Any, n_items: int) -> int:
    # Enough partitions that every thread gets several (load balance, and
    # little to redo when a worker is lost), at most about 100 inputs each.
    threads = max(1, sum(client.nthreads().values()))
    return max(1, min(n_items, max(4 * threads, -(-n_items // 100))))


def _raise_first_failure(attempts: Iterable[_Failure]) -> None:
    from .cli import CommandError

    for failure in attempts:
        if failure is not None:
            raise CommandError(*failure)


def run_command_job(
    address: str,
    documents: Sequence[Any],
    idf_documents: Sequence[Any],
    *,
    rank: Callable[[Any], Any],
    cut: Callable[[Any], Any],
    method: str,
    n_word: int | None,
    idf: Mapping[str, float] | None,
) -> list[Any]:
    """The ranked inputs of ``vellumcrest-keywords --dask ADDRESS``, in input order.

    *rank* (textrank) or *cut* (tfidf) is called on the workers with each of
    *documents*, which load their own text. tfidf's table is *idf* when given,
    otherwise it is counted on the cluster from *idf_documents*, or from the
    inputs when there are none. The first input (the idf documents first)
    that fails raises its :class:`~tallowmere.vellumcrest.cli.CommandError`,
    as the local run would; a scheduler that cannot be reached, or a cluster
    that fails during the job, raises one with ``EXIT_CLUSTER``.
    """
    import distributed

    from .cli import EXIT_CLUSTER, CommandError

    try:
        # Checked first: a Client given a malformed address fails only after
        # a timeout, and complains again when it is collected.
        distributed.comm.resolve_address(address)
    except ValueError as error:
        raise CommandError(
            f"--dask {address}: not a scheduler address: {_one_line(error)}", EXIT_CLUSTER
        ) from None
    except OSError as error:  # the host name does not resolve
        raise CommandError(
            f"--dask {address}: cannot reach the scheduler: {_one_line(error)}", EXIT_CLUSTER
        ) from None
    try:
        client = distributed.Client(address, set_as_default=False)
    except (OSError, TimeoutError, ValueError) as error:
        raise CommandError(
            f"--dask {address}: cannot reach the scheduler: {_one_line(error)}", EXIT_CLUSTER
        ) from None
    try:
        with client:
            return _run_job(client, documents, idf_documents, rank, cut, method, n_word, idf)
    except (OSError, TimeoutError, distributed.KilledWorker) as error:
        raise CommandError(
            f"--dask {address}: the cluster failed: {_one_line(error)}", EXIT_CLUSTER
        ) from None


def _one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def _run_job(
    client: Any,
    documents: Sequence[Any],
    idf_documents: Sequence[Any],
    rank: Callable[[Any], Any],
    cut: Callable[[Any], Any],
    method: str,
    n_word: int | None,
    idf: Mapping[str, float] | None,
) -> list[Any]:
    def bag_of(items: Sequence[Any]) -> _bag.Bag:
        return _bag.from_sequence(list(items), npartitions=_partitions(client, len(items)))

    if method == "textrank":
        attempts = client.compute(bag_of(documents).map(functools.partial(_attempt, rank)), sync=True)
        _raise_first_failure(failure for failure, _ in attempts)
        return [result for _, result in attempts]

    inputs = bag_of(documents).map(functools.partial(_attempt, cut))
    idf_failures: Any = None
    if idf is not None:
        table: Any = dask.delayed(idf, pure=True)
    elif idf_documents:
        corpus = bag_of(idf_documents).map(functools.partial(_attempt, cut))
        idf_failures = corpus.map(_failure_of)
        table = build_idf_bag(corpus.map(_words_or_nothing))
    else:
        table = build_idf_bag(inputs.map(_words_or_nothing))
    ranked = inputs.map(_rank_tfidf, n_word=n_word, idf=table)
    # One graph: the inputs are read and cut once, for the table and the ranking.
    if idf_failures is None:
        attempts = client.compute(ranked, sync=True)
    else:
        idf_failures, attempts = client.compute([idf_failures, ranked], sync=True)
        _raise_first_failure(idf_failures)
    _raise_first_failure(failure for failure, _ in attempts)
    return [result for _, result in attempts]
