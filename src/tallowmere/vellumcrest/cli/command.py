"""The command's run: :func:`main` parses the arguments, ranks the inputs
here (:mod:`.local`) or on a Dask cluster (:mod:`.cluster`), and writes the
output (:mod:`.output`); it returns the exit status instead of exiting, so
that it can be called from Python.

Run ``vellumcrest-keywords --help`` for the options and the exit codes.
"""

from __future__ import annotations

import argparse
import errno
import os
import sys
import warnings
from collections.abc import Sequence
from typing import Any

from .. import inputs
from .._package import install_hint
from ..extract import complete_idf
from ..idf import load_idf
from ..options import Options
from ..text import MissingJiebaError, load_jieba
from . import output
from .local import run_locally
from .progress import progress_for
from .parser import DEFAULT_PROG, build_parser, check_option_use, jobs, options_of

__all__ = ["main"]


def _idf_table(args: argparse.Namespace, options: Options) -> Any:
    """The --idf table, completed for unknown words (``None`` without --idf)."""
    if args.idf is None:
        return None
    try:
        table = load_idf(args.idf)
    except OSError as error:
        raise inputs.CommandError(inputs.describe_os_error(args.idf, error), inputs.EXIT_FILE) from None
    except ValueError as error:  # load_idf's message starts "FILE:LINE: "
        raise inputs.CommandError(f"{error}", inputs.EXIT_IDF) from None
    try:
        return complete_idf(table, options.unknown_idf)
    except ValueError:
        raise inputs.CommandError(
            f"{args.idf}: no weights, so no median for unknown words"
            " (use --unknown-idf zero or a number)",
            inputs.EXIT_IDF,
        ) from None


def _run(args: argparse.Namespace, prog: str) -> tuple[str, list[str]]:
    """The output, and the labels of inputs that held no word to rank."""
    options = options_of(args)
    n_jobs = jobs(args)
    if options.language == "zh":
        try:
            load_jieba("--language zh" if args.cut is None else "--cut jieba")
        except MissingJiebaError as error:
            raise inputs.CommandError(str(error), inputs.EXIT_MISSING_CUTTER) from None
    cluster: Any = None
    if args.dask is not None:
        try:
            import dask  # noqa: F401  (what the workers run)
            import distributed  # noqa: F401  (the scheduler's client)

            from . import cluster
        except ImportError:
            raise inputs.CommandError(
                f"--dask needs the dask and distributed packages: {install_hint('dask')}", inputs.EXIT_MISSING_DASK
            ) from None
    idf = _idf_table(args, options)
    # Files are read where they are ranked, one at a time in each process;
    # only standard input and the sample are read here.
    idf_documents = inputs.read_idf_directory(args.idf_from, args.idf_pattern) if args.idf_from is not None else []
    documents = inputs.read_inputs(args.files)
    labels = [document.label for document in documents]
    job = inputs.Job(options, documents, idf_documents, idf, args.idf_from)
    results: list[list[tuple[str, float]]]
    # tfidf reads the idf documents too, here or on the cluster's workers.
    counted = [*idf_documents, *documents] if options.method == "tfidf" and cluster is None else documents
    progress = progress_for(counted, cluster is not None or n_jobs > 1, args.quiet)
    advance = progress.done if progress is not None else (lambda n_inputs: None)
    try:
        if cluster is not None:
            advance(0)  # no process of the cluster's is forked from this one
            results = cluster.run_command_job(args.dask, job, advance)
        else:
            results = run_locally(job, n_jobs, prog, advance)
    finally:
        if progress is not None:
            progress.close()
    # Under --top 0 every result is empty by request.
    empty = [label for label, ranked in zip(labels, results) if not ranked] if options.top != 0 else []
    return inputs.guard_memory(None, "build the output", output.render, options.method, labels, results, args.json), empty


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    """Run the command with *argv* (default: ``sys.argv[1:]``) and return its exit status."""
    parser = build_parser(prog or DEFAULT_PROG)
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit_:  # --help, --version and usage errors
        return exit_.code if isinstance(exit_.code, int) else inputs.EXIT_USAGE
    try:
        check_option_use(parser, args)
    except SystemExit as exit_:
        return exit_.code if isinstance(exit_.code, int) else inputs.EXIT_USAGE
    try:
        with warnings.catch_warnings():
            output.show_warnings(parser.prog)
            text, empty = _run(args, parser.prog)
    except inputs.CommandError as error:
        output.tell(f"{parser.prog}: error: {error}")
        return error.status
    except KeyboardInterrupt:
        return inputs.EXIT_INTERRUPTED
    except MemoryError as error:
        # Out of memory outside any input's work (InputMemoryError names it).
        output.tell(f"{parser.prog}: error: {str(error) or 'not enough memory'}")
        return inputs.EXIT_MEMORY
    for label in empty:
        output.tell(f"{parser.prog}: note: {label}: no words to rank")
    try:
        output.write_stdout(text)
    except BrokenPipeError:
        # The reader went away (e.g. "| head -1"): stop quietly, and keep the
        # interpreter from failing again when it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return inputs.EXIT_FAILURE
    except OSError as error:
        reason = error.strerror if error.errno == errno.EBADF and error.strerror else error
        output.tell(f"{parser.prog}: error: cannot write the output: {reason}")
        return inputs.EXIT_FAILURE
    return inputs.EXIT_OK

