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

import functools
import os
from collections.abc import Callable, Hashable, Iterable, Mapping, Sequence
from typing import Any, Literal, TypeVar

try:
    import dask.bag as _bag
    from dask.base import is_dask_collection
    from dask.delayed import delayed
except ImportError as _missing:
    raise ImportError(
        "tallowmere.vellumcrest.dask needs dask:"
        " pip install 'tallowmere-vellumcrest[dask]'",
        name=_missing.name,
    ) from _missing

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
    :func:`dask.bag.from_sequence` (by default dask makes up to about 100
    partitions).
    """
    names = [os.fspath(path) for path in paths]
    bag: _bag.Bag = _bag.from_sequence(names, npartitions=npartitions).map(read_text)
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


def rank_bag(bag: _bag.Bag, method: Literal["textrank", "tfidf"] = "textrank", **options: Any) -> _bag.Bag:
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
    from .extract import keywords, make_options

    idf = options.pop("idf", None)
    idf_corpus = options.pop("idf_corpus", None)
    # keywords() checks the method and every other option.
    keywords("", method=method, **options)
    settings = make_options(method=method, **options)
    if idf is not None or idf_corpus is not None:
        if settings.method != "tfidf":
            raise ValueError("idf and idf_corpus apply only to method='tfidf'")
        if idf is not None and idf_corpus is not None:
            raise ValueError("give idf or idf_corpus, not both")
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
    from .extract import complete_idf

    return complete_idf(table, unknown_idf)


def _corpus_words(text: Any, options: Any) -> list[str]:
    from .extract import cut, words_of

    if not isinstance(text, str):
        raise TypeError(f"idf_corpus must hold str texts, not {type(text).__name__}")
    return words_of(cut(text, options)[1])


def _rank_text(text: Any, options: Any, idf: Any) -> list[tuple[str, float]]:
    from .extract import cut, keywords, rank

    if not isinstance(text, str):
        keywords(text)  # raises keywords()' own TypeError for what is not text
    normalised, tokens = cut(text, options)
    return rank(normalised, tokens, options, idf)


# --- the command line's --dask ---------------------------------------------------

# (error message, exit status) of an input that failed, or None
_Failure = tuple[str, int] | None


def _attempt(function: Callable[[Any], Any], item: Any) -> tuple[_Failure, Any]:
    # A failure comes back as data, not as an exception: the command must
    # report the first failing input in input order, and an exception would
    # stop the job at whichever failure a worker met first.
    from .cli import EXIT_MEMORY, EXIT_MISSING_CUTTER, CommandError
    from .extract import MissingJiebaError

    try:
        return None, function(item)
    except CommandError as error:
        return (str(error), error.status), None
    except MissingJiebaError as error:  # jieba is missing on that worker
        return (str(error), EXIT_MISSING_CUTTER), None
    except MemoryError as error:  # the message names the input, as under -j
        return (str(error) or "not enough memory", EXIT_MEMORY), None


def _failure_of(attempt: tuple[_Failure, Any]) -> _Failure:
    return attempt[0]


def _words_of_attempt(attempt: tuple[_Failure, Any]) -> list[str]:
    failure, words = attempt
    return [] if failure is not None else list(words)


def _words_of_document(options: Any, document: Any) -> list[str]:
    from .extract import cut, words_of

    return words_of(cut(document.load(), options)[1])


def _rank_document(options: Any, document: Any, idf: Any) -> list[tuple[str, float]]:
    from .extract import cut, rank

    text, tokens = cut(document.load(), options)
    return rank(text, tokens, options, idf)


def _attempt_with_table(document: Any, rank: Callable[..., Any], idf: Any) -> tuple[_Failure, Any]:
    return _attempt(functools.partial(rank, idf=idf), document)


def _complete_table(table: dict[str, float], options: Any) -> Any:
    from .cli import _completed

    return _completed(table, options)


def _partitions(client: Any, n_items: int) -> int:
    # Enough partitions that every thread gets several (load balance, and
    # little to redo when a worker is lost), at most about 100 inputs each.
    threads: int = max(1, sum(client.nthreads().values()))
    return max(1, min(n_items, max(4 * threads, -(-n_items // 100))))


def _raise_first_failure(failures: Iterable[_Failure]) -> None:
    from .cli import CommandError

    for failure in failures:
        if failure is not None:
            raise CommandError(*failure)


def _one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


def run_command_job(
    address: str,
    documents: Sequence[Any],
    idf_documents: Sequence[Any],
    options: Any,
    idf: Any,
    idf_from: str | None,
) -> list[Any]:
    """The ranked inputs of ``vellumcrest-keywords --dask ADDRESS``, in input order.

    The workers load and cut each of *documents* (and *idf_documents*) and
    rank it with *options*. tfidf's table is *idf* when given, otherwise it is
    counted on the cluster from *idf_documents* (read from the directory
    *idf_from*), or from the inputs when there are none. The first input (the
    idf documents first) that fails raises its
    :class:`~tallowmere.vellumcrest.cli.CommandError`, as the local run would;
    a scheduler that cannot be reached, or a cluster that fails during the
    job, raises one with ``EXIT_CLUSTER``.
    """
    import distributed
    from distributed.comm.addressing import resolve_address

    from .cli import EXIT_CLUSTER, CommandError

    try:
        # Checked first: a Client given a malformed address fails only after
        # a timeout, and complains again when it is collected.
        resolve_address(address)
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
            return _run_job(client, documents, idf_documents, options, idf, idf_from)
    except (OSError, TimeoutError, RuntimeError, distributed.KilledWorker) as error:
        # RuntimeError: what distributed raises when the scheduler or the
        # workers cannot load the job (different package versions on them).
        raise CommandError(
            f"--dask {address}: the cluster failed: {_one_line(error)}", EXIT_CLUSTER
        ) from None


def _run_job(
    client: Any,
    documents: Sequence[Any],
    idf_documents: Sequence[Any],
    options: Any,
    idf: Any,
    idf_from: str | None,
) -> list[Any]:
    from .cli import EXIT_FILE, CommandError, _keywords_of_document, _no_idf_words

    def bag_of(items: Sequence[Any]) -> _bag.Bag:
        bag: _bag.Bag = _bag.from_sequence(list(items), npartitions=_partitions(client, len(items)))
        return bag

    if options.method == "textrank":
        rank = functools.partial(_keywords_of_document, options)
        attempts = client.compute(bag_of(documents).map(functools.partial(_attempt, rank)), sync=True)
        _raise_first_failure(failure for failure, _ in attempts)
        return [result for _, result in attempts]

    # Each input is read and cut twice, once to count its words for the table
    # and once to rank it, rather than kept cut in the workers' memory (every
    # input at once, as the ranking waits for the whole table) between the two.
    count = functools.partial(_attempt, functools.partial(_words_of_document, options))
    extra: list[Any] = []
    if idf is not None:
        table: Any = delayed(idf, pure=True)
    else:
        corpus = bag_of(idf_documents or documents).map(count)
        counted = build_idf_bag(corpus.map(_words_of_attempt))
        if idf_documents:
            extra = [corpus.map(_failure_of), counted.apply(len)]
        table = counted.apply(functools.partial(_complete_table, options=options))
    rank = functools.partial(_rank_document, options)
    ranked = bag_of(documents).map(_attempt_with_table, rank, idf=table)
    attempts, *checks = client.compute([ranked, *extra], sync=True)
    if checks:
        idf_failures, n_words = checks
        _raise_first_failure(idf_failures)
    _raise_first_failure(failure for failure, _ in attempts)
    if checks and n_words == 0:
        assert idf_from is not None
        raise CommandError(_no_idf_words(idf_from), EXIT_FILE)
    return [result for _, result in attempts]
