"""The command's ``--dask ADDRESS``: the work of ``-j`` on a running Dask
cluster, whose workers read, cut and rank the inputs themselves.

Needs the ``dask`` extra; the command checks that ``distributed`` imports
before it comes here.
"""

# distributed's client functions carry no annotations.
# mypy: disable-error-code="no-untyped-call"

from __future__ import annotations

import contextlib
import functools
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import CancelledError
from typing import Any

from .. import inputs
from ..idf import DocumentFrequency
from ..text import MissingJiebaError

# --- the command line's --dask ---------------------------------------------------
#
# The command's job is submitted as futures, one task per chunk of inputs, so
# that the results come back to the command directly, chunk by chunk in
# input order, while the rest are still being ranked. A failure comes back as
# data, not as an exception: the command must report the first failing input
# in input order, and an exception would stop the job at whichever failure a
# worker met first.

# (error message, exit status) of an input that failed, or None
_Failure = tuple[str, int] | None

# Inputs per task: enough that a task's messages cost little beside its work.
_CHUNK = 100
# Partial counts merged by one task.
_MERGE_EVERY = 8


def _attempt(function: Callable[[Any], Any], item: Any) -> tuple[_Failure, Any]:
    try:
        return None, function(item)
    except inputs.CommandError as error:
        return (str(error), error.status), None
    except MissingJiebaError as error:  # jieba is missing on that worker
        return (str(error), inputs.EXIT_MISSING_CUTTER), None
    except MemoryError as error:  # the message names the input, as under -j
        return (str(error) or "not enough memory", inputs.EXIT_MEMORY), None


def _rank_chunk(documents: Sequence[Any], options: Any) -> list[tuple[_Failure, Any]]:
    """textrank and keyphrases: each input read, cut and ranked."""
    rank = functools.partial(inputs.keywords_of_document, options)
    return [_attempt(rank, document) for document in documents]


def _cut_chunk(documents: Sequence[Any], options: Any) -> list[tuple[_Failure, Any]]:
    """tfidf: each input read and cut; kept on the worker until the table is complete."""
    cut = functools.partial(inputs.cut_document, options)
    canonical: dict[str, str] = {}
    cuts = []
    for document in documents:
        failure, cut_input = _attempt(cut, document)
        cuts.append((failure, None if cut_input is None else inputs.share_words(cut_input, canonical)))
    return cuts


def _count_cuts(cuts: Iterable[tuple[_Failure, Any]]) -> tuple[_Failure, DocumentFrequency[str]]:
    """The first failure of a chunk of cut inputs, and the counts of the others."""
    counts: DocumentFrequency[str] = DocumentFrequency()
    first: _Failure = None
    for failure, cut in cuts:
        if failure is None:
            counts.add(cut.words)
        elif first is None:
            first = failure
    return first, counts


def _count_chunk(documents: Sequence[Any], options: Any) -> tuple[_Failure, DocumentFrequency[str]]:
    """The idf documents: each read, cut and counted, and then let go."""
    cut = functools.partial(inputs.cut_document, options)
    return _count_cuts(_attempt(cut, document) for document in documents)


def _merge_counts(*parts: tuple[_Failure, DocumentFrequency[str]]) -> tuple[_Failure, DocumentFrequency[str]]:
    # In chunk order: the first failure in input order, and the words in
    # order of first occurrence, as a local count has them.
    first = next((failure for failure, _ in parts if failure is not None), None)
    return first, DocumentFrequency.merge_all(counts for _, counts in parts)


def _summary(merged: tuple[_Failure, DocumentFrequency[str]]) -> tuple[_Failure, int]:
    return merged[0], len(merged[1])


def _table_of(merged: tuple[_Failure, DocumentFrequency[str]], options: Any) -> Any:
    return inputs.completed_idf(merged[1].to_idf(), options)


def _rank_cuts(
    cuts: Sequence[tuple[_Failure, Any]], options: Any, idf: Any
) -> list[tuple[_Failure, _Failure, Any]]:
    """tfidf: each cut input ranked with the table, as (failure to read or
    cut, failure to rank, keywords)."""
    rank = functools.partial(inputs.rank_cut, options, idf=idf)
    ranked: list[tuple[_Failure, _Failure, Any]] = []
    for cut_failure, cut in cuts:
        if cut_failure is not None:
            ranked.append((cut_failure, None, None))
        else:
            ranked.append((None, *_attempt(rank, cut)))
    return ranked


def _chunks(items: Sequence[Any], n_threads: int) -> list[list[Any]]:
    # At most _CHUNK inputs a task, and at least four tasks a thread where
    # there are inputs enough: load balance, and little to redo when a
    # worker is lost.
    n_chunks = max(1, min(len(items), max(4 * n_threads, -(-len(items) // _CHUNK))))
    size = -(-len(items) // n_chunks)
    return [list(items[start : start + size]) for start in range(0, len(items), size)]


def _merge_tree(client: Any, parts: list[Any]) -> Any:
    while len(parts) > 1:
        parts = [
            client.submit(_merge_counts, *parts[start : start + _MERGE_EVERY], pure=False)
            for start in range(0, len(parts), _MERGE_EVERY)
        ]
    return parts[0] if parts else client.submit(_merge_counts, pure=False)


def _raise_first_failure(failures: Iterable[_Failure]) -> None:
    for failure in failures:
        if failure is not None:
            raise inputs.CommandError(*failure)


def _one_line(error: BaseException) -> str:
    return " ".join(str(error).split()) or type(error).__name__


# What the command reaches a scheduler over; inproc:// lives inside one
# process, and ucx:// needs a package of its own.
_SCHEMES = ("tcp", "tls", "ws", "wss")


def _check_address(address: str) -> None:
    """Refuses, before a client is made, addresses that a client would fail
    on only after a timeout, or with a traceback of its own."""
    from distributed.comm.addressing import resolve_address
    from distributed.security import Security

    scheme = address.split("://", 1)[0] if "://" in address else "tcp"
    if scheme not in _SCHEMES:
        raise inputs.CommandError(
            f"--dask {address}: not a scheduler address: the command reaches a scheduler over"
            f" {', '.join(name + '://' for name in _SCHEMES)}",
            inputs.EXIT_CLUSTER,
        )
    if scheme in ("tls", "wss") and Security().get_connection_args("client").get("ssl_context") is None:
        raise inputs.CommandError(
            f"--dask {address}: {scheme}:// needs Dask's TLS settings (distributed.comm.tls in its"
            " configuration)",
            inputs.EXIT_CLUSTER,
        )
    try:
        resolve_address(address)
    except ValueError as error:
        raise inputs.CommandError(
            f"--dask {address}: not a scheduler address: {_one_line(error)}", inputs.EXIT_CLUSTER
        ) from None
    except OSError as error:  # the host name does not resolve
        raise inputs.CommandError(
            f"--dask {address}: cannot reach the scheduler: {_one_line(error)}", inputs.EXIT_CLUSTER
        ) from None


class _TaskLost(Exception):
    """The task of chunk *number* kept killing the workers that ran it."""

    def __init__(self, number: int) -> None:
        super().__init__(number)
        self.number = number


def run_command_job(address: str, job: inputs.Job, advance: Callable[[int], None] = lambda n: None) -> list[Any]:
    """The ranked inputs of ``vellumcrest-keywords --dask ADDRESS``, in input order.

    The workers load and cut each of the job's documents (and idf documents)
    and rank it with its options. tfidf's table is the job's *idf* when
    given, otherwise it is counted on the cluster from the idf documents, or
    from the inputs when there are none. The first input (the
    idf documents first) that fails raises its
    :class:`~tallowmere.vellumcrest.CommandError`, as the local run would;
    a scheduler that cannot be reached, or a cluster that fails during the
    job, raises one with ``inputs.EXIT_CLUSTER``.  *advance* is told of
    each number of inputs done.
    """
    with _distributed_quiet():
        return _command_job(address, job, advance)


@contextlib.contextmanager
def _distributed_quiet() -> Iterator[None]:
    # The command reports what failed in one line of its own; distributed's
    # log lines (a lost scheduler, with a traceback) would only add noise.
    import logging

    previous = logging.root.manager.disable
    logging.disable(logging.CRITICAL)
    try:
        yield
    finally:
        logging.disable(previous)


def _command_job(address: str, job: inputs.Job, advance: Callable[[int], None]) -> list[Any]:
    import distributed

    # Checked first: a Client given a malformed address fails only after a
    # timeout, and complains again when it is collected.
    _check_address(address)
    try:
        client = distributed.Client(address, set_as_default=False)
    except Exception as error:  # noqa: BLE001  (whatever the client met, as one line)
        raise inputs.CommandError(
            f"--dask {address}: cannot reach the scheduler: {_one_line(error)}", inputs.EXIT_CLUSTER
        ) from None
    try:
        with client:
            return _run_job(client, job, advance)
    except (OSError, TimeoutError, RuntimeError, CancelledError, distributed.KilledWorker) as error:
        # RuntimeError: what distributed raises when the scheduler or the
        # workers cannot load the job (different package versions on them);
        # CancelledError: the futures of a job whose scheduler went away.
        raise inputs.CommandError(
            f"--dask {address}: the cluster failed: {_one_line(error)}", inputs.EXIT_CLUSTER
        ) from None


def _run_job(client: Any, job: inputs.Job, advance: Callable[[int], None]) -> list[Any]:
    n_threads = max(1, sum(client.nthreads().values()))
    chunks = _chunks(job.documents, n_threads)
    try:
        return _run_chunks(client, chunks, job, n_threads, advance)
    except _TaskLost as lost:
        # A task that kills every worker it runs on: out of memory, as a
        # killed -j worker is (one answer for both).
        raise inputs.lost_worker(chunks[lost.number][0].label) from None


def _run_chunks(
    client: Any, chunks: list[list[Any]], job: inputs.Job, n_threads: int, advance: Callable[[int], None]
) -> list[Any]:
    from distributed import KilledWorker

    options, _, idf_documents, idf, idf_from = job
    if options.method in ("textrank", "keyphrases"):
        ranked = client.map(_rank_chunk, chunks, options=options, pure=False)
        results: list[Any] = []
        for attempts in _in_order(client, ranked):
            # Ranking ends at the first failure, as it does locally.
            _raise_first_failure(failure for failure, _ in attempts)
            results.extend(result for _, result in attempts)
            advance(len(attempts))
        return results

    # The inputs are read and cut once; the cuts wait on the workers (which
    # spill them to disk when memory runs short) until the table is complete,
    # and are ranked where they lie.
    cuts = client.map(_cut_chunk, chunks, options=options, pure=False)
    summary = None
    if idf is not None:
        [table] = client.scatter([idf], hash=False)
    else:
        if idf_documents:
            idf_chunks = _chunks(idf_documents, n_threads)
            counts = client.map(_count_chunk, idf_chunks, options=options, pure=False)
        else:
            counts = client.map(_count_cuts, cuts, pure=False)
        merged = _merge_tree(client, counts)
        if idf_documents:
            summary = client.submit(_summary, merged, pure=False)
        table = client.submit(_table_of, merged, options, pure=False)
    ranked = client.map(_rank_cuts, cuts, options=options, idf=table, pure=False)
    n_words = None
    if summary is not None:
        # The idf documents' failures come first, as they are cut first locally.
        try:
            idf_failure, n_words = summary.result()
        except KilledWorker:
            lost = [number for number, future in enumerate(counts) if future.status == "error"]
            raise inputs.lost_worker(idf_chunks[lost[0] if lost else 0][0].label) from None
        _raise_first_failure([idf_failure])
    attempts = []
    for chunk in _in_order(client, ranked):
        attempts.extend(chunk)
        advance(len(chunk))
    # Every input is cut before any is ranked: a failure to read or cut any
    # input comes before a failure to rank one.
    _raise_first_failure(cut_failure for cut_failure, _, _ in attempts)
    if n_words == 0:
        assert idf_from is not None
        raise inputs.no_idf_words(idf_from)
    _raise_first_failure(rank_failure for _, rank_failure, _ in attempts)
    return [result for _, _, result in attempts]


def _in_order(client: Any, futures: list[Any]) -> Iterator[Any]:
    """The results of *futures* in their order, each let go once it is here;
    the rest are cancelled when the caller stops early."""
    from distributed import KilledWorker

    try:
        position = 0
        while position < len(futures):
            # The next result, with those after it that are ready already, in
            # one round trip: short tasks finish faster than one at a time
            # could be fetched.
            end = position + 1
            while end < len(futures) and futures[end].done():
                end += 1
            batch = futures[position:end]
            try:
                results = client.gather(batch)
            except KilledWorker:
                lost = [number for number in range(position, end) if futures[number].status == "error"]
                raise _TaskLost(lost[0] if lost else position) from None
            for number in range(position, end):
                futures[number] = None
            for future in batch:
                future.release()
            position = end
            yield from results
    finally:
        client.cancel([future for future in futures if future is not None])
