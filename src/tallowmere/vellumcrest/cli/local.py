"""The command's run on this machine: in its own process, or with ``-j N``
in up to N worker processes, results in input order."""

from __future__ import annotations

import functools
import multiprocessing
import multiprocessing.context
from collections.abc import Callable, Iterator, Sequence
from typing import TypeVar

from .. import inputs
from ..idf import DocumentFrequency
from .output import show_warnings

_R = TypeVar("_R")


def _nothing(n_inputs: int) -> None:
    pass


def _worker_context() -> multiprocessing.context.BaseContext:
    """How the workers start: forked from this process, all of them at the
    pool's first task, where the system can fork (Linux).  A fork copies no
    thread but the forking one, so nothing of the command's may run a thread
    before then (the progress display waits for ``advance(0)``).  Workers
    started one by one as tasks come (a fork server, as 3.14 does by default,
    or a fresh interpreter) leave a gap: a worker that dies while the others
    are busy with long inputs is not noticed until one of them is done."""
    if "fork" in multiprocessing.get_all_start_methods():
        return multiprocessing.get_context("fork")
    return multiprocessing.get_context()


def map_in_order(
    function: Callable[[inputs.Document], _R],
    items: Sequence[inputs.Document],
    jobs: int,
    prog: str = "",
    advance: Callable[[int], None] = _nothing,
) -> Iterator[_R]:
    """``function(item) for item in items``, in up to *jobs* processes, yielded
    in input order; the first failure in input order is raised.  *advance*
    is told of each input done, and once, with 0, when the work has begun:
    after the workers have been forked."""
    if jobs <= 1 or len(items) <= 1:
        advance(0)
        for item in items:
            result = function(item)
            advance(1)
            yield result
        return
    from concurrent.futures import ProcessPoolExecutor
    from concurrent.futures.process import BrokenProcessPool

    workers = min(jobs, len(items))
    # Several inputs per round trip: one at a time, the pool's messages cost
    # as much as ranking a short document.  Eight chunks per worker still
    # share the work out evenly.
    chunk = max(1, -(-len(items) // (workers * 8)))
    done = 0
    # Each worker shows a warning once, as the command's process does.
    pool = ProcessPoolExecutor(
        max_workers=workers, mp_context=_worker_context(), initializer=show_warnings, initargs=(prog,)
    )
    try:
        results = pool.map(function, items, chunksize=chunk)  # every worker is forked by now
        advance(0)
        for result in results:
            advance(1)
            yield result
            done += 1
    except BrokenProcessPool:
        # A worker died (killed, most often for want of memory): the pool
        # notices at once and fails what it had not given back.
        raise inputs.lost_worker(items[done].label) from None
    finally:
        # After a failure, what has not started yet is dropped.
        pool.shutdown(wait=True, cancel_futures=True)


def run_locally(
    job: inputs.Job, jobs: int, prog: str = "", advance: Callable[[int], None] = _nothing
) -> list[list[tuple[str, float]]]:
    """The ranked inputs of *job*, in input order, with up to *jobs*
    processes; *advance* is told of each input read and ranked (tfidf: each
    idf document and input read and cut, which is most of the work), and
    with 0 when the work begins, as :func:`map_in_order` tells it."""
    if job.options.method in ("textrank", "keyphrases"):
        return list(map_in_order(functools.partial(inputs.keywords_of_document, job.options), job.documents, jobs, prog, advance))
    # Every input is cut before any is ranked, as the table may be built from
    # them. Each is read and cut once (in the -j workers); its words are kept
    # until the table is complete, one string per distinct word of the run.
    options, documents, idf_documents, idf, idf_from = job
    counts: DocumentFrequency[str] | None = DocumentFrequency() if idf is None else None
    count_inputs = counts is not None and not idf_documents
    canonical: dict[str, str] = {}
    cut_inputs: list[inputs.Cut] = []
    cuts = map_in_order(functools.partial(inputs.cut_document, options), [*idf_documents, *documents], jobs, prog, advance)
    for number, cut in enumerate(cuts):
        if number < len(idf_documents):
            assert counts is not None
            counts.add(cut.words)
            continue
        cut = inputs.share_words(cut, canonical)
        if count_inputs:
            assert counts is not None
            counts.add(cut.words)
        cut_inputs.append(cut)
    if counts is not None:
        table = counts.to_idf()
        if not table and idf_documents:
            assert idf_from is not None
            raise inputs.no_idf_words(idf_from)
        idf = inputs.completed_idf(table, options)
    return [inputs.rank_cut(options, cut, idf) for cut in cut_inputs]
