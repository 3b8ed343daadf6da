"""The ``vellumcrest-keywords`` command: rank the keywords of text files.

Run ``vellumcrest-keywords --help`` (or ``python -m tallowmere.vellumcrest
--help``) for the options and the exit codes. :func:`main` is the entry
point; it returns the exit status instead of exiting, so that it can be
called from Python.
"""

from __future__ import annotations

import argparse
import errno
import functools
import json
import math
import os
import sys
import textwrap
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple, TypeVar

from . import extract
from .extract import MissingJiebaError, Options, Token
from .idf import DocumentFrequency, load_idf

__all__ = [
    "EXIT_OK",
    "EXIT_FAILURE",
    "EXIT_USAGE",
    "EXIT_FILE",
    "EXIT_ENCODING",
    "EXIT_NUMBER",
    "EXIT_IDF",
    "EXIT_MISSING_CUTTER",
    "EXIT_MEMORY",
    "EXIT_MISSING_DASK",
    "EXIT_CLUSTER",
    "EXIT_INTERRUPTED",
    "EXIT_STATUSES",
    "cut_words",
    "main",
]

EXIT_OK = 0
EXIT_FAILURE = 1
EXIT_USAGE = 2  # argparse's own code
EXIT_FILE = 3
EXIT_ENCODING = 4
EXIT_NUMBER = 5
EXIT_IDF = 6
EXIT_MISSING_CUTTER = 7
EXIT_MEMORY = 8
EXIT_MISSING_DASK = 9
EXIT_CLUSTER = 10
EXIT_INTERRUPTED = 130  # the shells' status for a command stopped by Ctrl-C (SIGINT)

#: Every exit status of the command and what it means, in plain text: the
#: "exit status" part of --help and the documentation's table are made from
#: this table alone.
EXIT_STATUSES: dict[int, str] = {
    EXIT_OK: "success",
    EXIT_FAILURE: "the output could not be written (for example a closed pipe, or standard output closed)",
    EXIT_USAGE: "unknown or conflicting options",
    EXIT_FILE: "a file or directory cannot be read (missing, a directory, no permission), standard"
    " input is closed (- with <&-), or --idf-from DIR holds no *.txt file or no word",
    EXIT_ENCODING: "an input, stop-word or --idf-from file is not valid UTF-8",
    EXIT_NUMBER: "a bad number for --top, --window, --alpha, --iterations (at most"
    f" {extract.MAX_ITERATIONS}), --unknown-idf or -j",
    EXIT_IDF: "a malformed --idf file (including one that is not UTF-8), or an empty one with"
    " --unknown-idf median",
    EXIT_MISSING_CUTTER: "--language zh (or --cut jieba), but jieba is not installed",
    EXIT_MEMORY: "not enough memory to read, cut or rank an input or to build the output (here or"
    " in a worker), or a worker process was killed (as the system's out-of-memory killer does)",
    EXIT_MISSING_DASK: "--dask, but dask or distributed is not installed"
    " (pip install 'tallowmere-vellumcrest[dask]')",
    EXIT_CLUSTER: "--dask: the scheduler cannot be reached (or the address is malformed, or not one"
    " of tcp://, tls://, ws://, wss://), or the cluster failed during the job",
    EXIT_INTERRUPTED: "interrupted (Ctrl-C)",
}


def _exit_status_help() -> str:
    lines = ["exit status:"]
    for status, meaning in EXIT_STATUSES.items():
        lines += textwrap.wrap(
            meaning, 78, initial_indent=f"  {status}  ", subsequent_indent="     ", break_on_hyphens=False
        )
    return "\n".join(lines) + "\n"


# --engine auto ranks with the exact engine up to this many distinct words (a
# dense matrix of 8 * 2000**2 bytes, 32 MB) and with the sparse one beyond.
AUTO_EXACT_MAX_WORDS = extract.AUTO_EXACT_MAX_WORDS

_PACKAGE = "tallowmere.vellumcrest"
DEFAULT_PROG = "vellumcrest-keywords"
SAMPLE_LABEL = "<sample>"
STDIN_LABEL = "<stdin>"

EPILOG = f"""\
With no FILE, ranks a short sample document that ships with the package.
A FILE of - reads standard input. Input files are UTF-8 text.

Words are runs of letters and digits (of any script, with their combining
marks and inner apostrophes) that hold at least one letter, lower-cased
unless --keep-case is given. --language en (the default) also leaves out
common English function words; --language none leaves out nothing.
Chinese text has no spaces between words: --language zh cuts it with jieba
(pip install 'tallowmere-vellumcrest[chinese]'), leaves out Chinese function
words and punctuation, and for textrank keeps only nouns, names and verbs
(--pos). Stop words are matched without regard to case.

--method tfidf weighs each word's count by an idf table: from --idf FILE
("word weight" lines), from --idf-from DIR (built from every *.txt file in
DIR), or, when neither is given, built from the input documents themselves,
each input one document, as ln((1 + N) / (1 + df)) + 1 for N documents of
which df contain the word. Words missing from the table weigh the median of
its weights (--unknown-idf).

--engine chooses how textrank computes: "exact" builds the dense word-by-word
matrix (8 * n * n bytes for n distinct words), "sparse" only the links
between words, in memory and time that grow with the document. Their scores
agree to about 12 significant digits. "auto" (the default) uses exact up to
{AUTO_EXACT_MAX_WORDS} distinct words and sparse beyond.

--method keyphrases (the default) lists single words and phrases of up to
four words, scored by a position-biased PageRank of their words, their
rarity in the language (wordfreq; jieba's idf table for Chinese), and the
phrase's frequency, spread and first occurrence. The options of textrank
and tfidf do not apply to it.

--phrases (textrank and tfidf) also lists keyphrases: runs of two or more adjacent keywords with
nothing but spacing between them, found at least twice, scored by the sum
of their words' scores. An input without words gets a note on standard
error.

Output: one "word<TAB>score" line per keyword, best first; with several
inputs, each input's keywords follow a "==> NAME <==" header. --json writes
one object instead:
  {{"method": "textrank", "documents": [{{"source": NAME,
    "keywords": [{{"word": WORD, "score": NUMBER}}, ...]}}, ...]}}
where a score that is not a number (a one-word document under textrank) is
null. Results are in input order, whatever -j or --dask is. Nothing is
written to standard output unless every input was ranked.

--dask ADDRESS (e.g. tcp://10.0.0.5:8786) does the work of -j on a running
Dask cluster (pip install 'tallowmere-vellumcrest[dask]'): the workers read
the input files themselves, so they must see them at the same paths.
"""


class CommandError(Exception):
    """A failure reported as one line on stderr and the exit status *status*."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status

    def __reduce__(self) -> tuple[type[CommandError], tuple[str, int]]:
        # Raised in worker processes too: keep the status through pickling.
        return type(self), (str(self), self.status)


@dataclass(frozen=True)
class CutSettings:
    """How :func:`cut_words` cuts text into words."""

    cut: str = "regex"
    keep_case: bool = False
    stop_words: frozenset[str] = frozenset()


@dataclass(frozen=True)
class Document:
    """An input: its text, or (``text`` None) the path a worker reads it from."""

    label: str
    text: str | None
    path: str | None = None

    def load(self) -> str:
        if self.text is not None:
            return self.text
        assert self.path is not None
        return guard_memory(self.label, "read it", _read_text, self.path)


def cut_words(text: str, settings: CutSettings = CutSettings()) -> list[str]:
    """Cut *text* into words as :func:`~tallowmere.vellumcrest.keywords` does, before ranking.

    The text is normalised to NFC. A word must hold at least one letter
    (so bare numbers and punctuation go), is lower-cased unless
    ``settings.keep_case``, and is dropped when its case-folded form is one
    of ``settings.stop_words`` (which must be case-folded already).
    ``settings.cut`` is ``"regex"`` (a Unicode word pattern) or ``"jieba"``.
    """
    options = Options(language=None, stop_words=settings.stop_words, keep_case=settings.keep_case)
    return extract.words_of(extract.cut(text, options, cutter=settings.cut)[1])


# --- the work for each document (these run in worker processes under -j) ----


class Cut(NamedTuple):
    """What ranking needs of a cut input: its kept words, and for phrases
    also its text and tokens."""

    words: list[str]
    text: str | None = None
    tokens: list[Token] | None = None
    label: str = ""


def _cut(options: Options, document: Document) -> tuple[str, list[Token]]:
    return guard_memory(document.label, "cut it into words", extract.cut, document.load(), options)


def _cut_document(options: Options, document: Document) -> Cut:
    text, tokens = _cut(options, document)
    words = guard_memory(document.label, "cut it into words", extract.words_of, tokens)
    return Cut(words, text, tokens, document.label) if options.phrases else Cut(words, label=document.label)


def _share_words(cut: Cut, canonical: dict[str, str]) -> Cut:
    """*cut* with each of its words replaced by the one string *canonical*
    keeps for it: the cuts that wait for an idf table share their words."""
    return cut._replace(words=[canonical.setdefault(word, word) for word in cut.words])


def _rank_cut(options: Options, cut: Cut, idf: Any) -> list[tuple[str, float]]:
    if cut.text is not None and cut.tokens is not None:
        return guard_memory(cut.label, "rank it", extract.rank, cut.text, cut.tokens, options, idf)
    return guard_memory(cut.label, "rank it", extract.rank_words, cut.words, options, idf)


def _keywords_of_document(options: Options, document: Document) -> list[tuple[str, float]]:
    if options.method == "keyphrases":
        return guard_memory(document.label, "find its keyphrases", extract.keyphrases_of, document.load(), options)
    text, tokens = _cut(options, document)
    return guard_memory(document.label, "rank it", extract.rank, text, tokens, options)


_R = TypeVar("_R")


# --- running out of memory ---------------------------------------------------------
#
# The one answer, wherever it happens (this process, a -j worker, a Dask
# worker) and whatever ran out (reading, cutting, ranking, or the output):
# the command ends with EXIT_MEMORY and one line that names the input and
# what there was not enough memory for. A worker process that dies instead
# (the kernel's out-of-memory killer sends SIGKILL) ends the command the same
# way, naming the first input that it did not get back.


class InputMemoryError(MemoryError):
    """Not enough memory to do *doing* for the input *label* (``None``: for
    the command's output)."""

    def __init__(self, label: str | None, doing: str) -> None:
        super().__init__(f"{label}: not enough memory to {doing}" if label else f"not enough memory to {doing}")
        self.label = label
        self.doing = doing

    def __reduce__(self) -> tuple[Any, ...]:
        # Comes back from -j and Dask workers intact.
        return type(self), (self.label, self.doing)


def guard_memory(label: str | None, doing: str, function: Callable[..., _R], *args: Any) -> _R:
    """``function(*args)``, with a MemoryError turned into :class:`InputMemoryError`.

    The new error is raised once the handler is left, with no context: by
    then the failed call's frames, and the text or words they held, are
    freed, so that the report (and sending it back from a worker) has memory
    to work with.
    """
    try:
        return function(*args)
    except InputMemoryError:
        raise
    except extract.RankMemoryError as error:
        hint = " (--engine sparse needs far less)" if error.engine == "exact" else ""
        doing = f"rank {error.n_distinct} distinct words with the {error.engine} engine{hint}"
    except MemoryError:
        pass
    raise InputMemoryError(label, doing)


def _lost_worker(label: str) -> CommandError:
    return CommandError(
        f"{label}: a worker process was killed before this input was done"
        " (as the system kills a process when memory runs out)",
        EXIT_MEMORY,
    )


def _map_in_order(function: Callable[[Document], _R], items: Sequence[Document], jobs: int) -> Iterator[_R]:
    """``function(item) for item in items``, in up to *jobs* processes, yielded
    in input order; the first failure in input order is raised."""
    if jobs <= 1 or len(items) <= 1:
        yield from map(function, items)
        return
    from concurrent.futures import ProcessPoolExecutor
    from concurrent.futures.process import BrokenProcessPool

    workers = min(jobs, len(items))
    # Several inputs per round trip: one at a time, the pool's messages cost
    # as much as ranking a short document.  Eight chunks per worker still
    # share the work out evenly.
    chunk = max(1, -(-len(items) // (workers * 8)))
    done = 0
    pool = ProcessPoolExecutor(max_workers=workers)
    try:
        for result in pool.map(function, items, chunksize=chunk):
            yield result
            done += 1
    except BrokenProcessPool:
        # A worker died (killed, most often for want of memory): the pool
        # notices at once and fails what it had not given back.
        raise _lost_worker(items[done].label) from None
    finally:
        # After a failure, what has not started yet is dropped.
        pool.shutdown(wait=True, cancel_futures=True)


# --- reading files ------------------------------------------------------------


def _describe_os_error(name: str, error: OSError) -> str:
    if isinstance(error, FileNotFoundError):
        reason = "no such file or directory"
    elif isinstance(error, IsADirectoryError):
        reason = "is a directory"
    elif isinstance(error, PermissionError):
        reason = "permission denied"
    else:
        reason = error.strerror or str(error)
    return f"{name}: cannot read: {reason}"


def _decode(name: str, data: bytes) -> str:
    if data.startswith(b"\xef\xbb\xbf"):
        data = data[3:]
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        column = error.start - (data.rfind(b"\n", 0, error.start) + 1) + 1
        raise CommandError(
            f"{name}: not valid UTF-8: byte 0x{data[error.start]:02x} at line {line},"
            f" column {column}",
            EXIT_ENCODING,
        ) from None


def _read_text(path: str) -> str:
    try:
        with open(path, "rb") as stream:
            data = stream.read()
    except OSError as error:
        raise CommandError(_describe_os_error(path, error), EXIT_FILE) from None
    return _decode(path, data)


def _read_stdin() -> str:
    stream = sys.stdin
    if stream is None:
        raise CommandError(f"{STDIN_LABEL}: cannot read: standard input is closed", EXIT_FILE)
    try:
        data = guard_memory(STDIN_LABEL, "read it", stream.buffer.read)
    except OSError as error:
        raise CommandError(_describe_os_error(STDIN_LABEL, error), EXIT_FILE) from None
    return guard_memory(STDIN_LABEL, "read it", _decode, STDIN_LABEL, data)


def _read_inputs(files: Sequence[str]) -> list[Document]:
    """The inputs: standard input and the sample are read here; files are
    read where they are ranked (here, in a -j worker or on a Dask worker),
    each when its turn comes."""
    if not files:
        from importlib.resources import files as package_files

        sample = package_files(_PACKAGE).joinpath("sample.txt").read_bytes()
        return [Document(SAMPLE_LABEL, _decode(SAMPLE_LABEL, sample))]
    documents = []
    for name in files:
        if name == "-":
            documents.append(Document(STDIN_LABEL, _read_stdin()))
        else:
            documents.append(Document(name, None, name))
    return documents


def _read_stop_words(path: str) -> frozenset[str]:
    return extract.parse_word_list(_read_text(path))


def _read_idf_directory(directory: str) -> list[Document]:
    try:
        names = sorted(
            entry.name
            for entry in os.scandir(directory)
            if entry.name.endswith(".txt") and entry.is_file()
        )
    except OSError as error:
        raise CommandError(_describe_os_error(directory, error), EXIT_FILE) from None
    if not names:
        raise CommandError(f"{directory}: no *.txt file to build the idf table from", EXIT_FILE)
    paths = [os.path.join(directory, name) for name in names]
    return [Document(path, None, path) for path in paths]


# --- options ------------------------------------------------------------------


def _build_parser(prog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog,
        description="List the keyphrases of text files, or rank their words with TextRank or TF-IDF.",
        epilog=EPILOG + "\n" + _exit_status_help(),
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    # Numbers are taken as text and checked later, so that a bad number gets
    # its own exit status rather than argparse's usage status.
    parser.add_argument("files", nargs="*", metavar="FILE", help="text files to rank (- for stdin)")
    parser.add_argument(
        "--method",
        choices=("keyphrases", "textrank", "tfidf"),
        default="keyphrases",
        help="ranking method (default: keyphrases)",
    )
    parser.add_argument(
        "--top", metavar="N", help="keywords per document, 0 for all (default: 10)"
    )
    parser.add_argument(
        "--window",
        metavar="N",
        help="textrank: words within N-1 positions are linked, N >= 2 (default: 5)",
    )
    parser.add_argument(
        "--alpha", metavar="X", help="textrank: damping factor, 0 <= X <= 1 (default: 0.8)"
    )
    parser.add_argument(
        "--iterations",
        metavar="N",
        help=f"textrank: rank updates, 1 <= N <= {extract.MAX_ITERATIONS} (default: 10)",
    )
    idf_source = parser.add_mutually_exclusive_group()
    idf_source.add_argument(
        "--idf", metavar="FILE", help='tfidf: read the idf table from FILE ("word weight" lines)'
    )
    idf_source.add_argument(
        "--idf-from",
        metavar="DIR",
        help="tfidf: build the idf table from every *.txt file in DIR"
        " (default: from the input documents)",
    )
    parser.add_argument(
        "--language",
        choices=("en", "zh", "none"),
        help="en: leave out common English function words (the default); zh: cut Chinese"
        " with jieba and leave out Chinese function words and punctuation; none: leave out"
        " nothing",
    )
    parser.add_argument(
        "--cut",
        choices=("regex", "jieba"),
        help="older spelling: --cut jieba is --language zh, --cut regex the default cutter",
    )
    parser.add_argument(
        "--keep-case", action="store_true", help="do not lower-case the words"
    )
    parser.add_argument(
        "--stop-words",
        metavar="FILE",
        help="also leave out the words listed in FILE, one per line (# starts a comment line)",
    )
    parser.add_argument(
        "--english",
        action="store_true",
        help="also leave out common English function words, whatever the language (the"
        " default --language en does already)",
    )
    parser.add_argument(
        "--pos",
        metavar="TAGS",
        help="--language zh: keep only words of these parts of speech, jieba's tags separated"
        f" by commas; 'none' keeps every word (default: {','.join(extract.DEFAULT_POS)} for"
        " textrank, every word for tfidf)",
    )
    parser.add_argument(
        "--phrases",
        action="store_true",
        help="also list keyphrases: adjacent keywords that occur together at least twice",
    )
    parser.add_argument(
        "--unknown-idf",
        metavar="WEIGHT",
        help="tfidf: the weight of words missing from the idf table: median, zero or a"
        " number (default: median)",
    )
    parser.add_argument(
        "--engine",
        choices=("exact", "sparse", "auto"),
        help=f"textrank: dense matrix, sparse graph, or exact up to {AUTO_EXACT_MAX_WORDS}"
        " distinct words and sparse beyond (default: auto)",
    )
    parser.add_argument("--json", action="store_true", help="write JSON instead of text")
    where = parser.add_mutually_exclusive_group()
    where.add_argument(
        "-j", "--jobs", metavar="N", help="rank up to N files at once in N processes (default: 1)"
    )
    where.add_argument(
        "--dask",
        metavar="ADDRESS",
        help="do the work of -j on the running Dask cluster whose scheduler is at ADDRESS"
        " (e.g. tcp://host:8786); its workers read the input files",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {_version()}")
    return parser


def _version() -> str:
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("tallowmere-vellumcrest")
    except PackageNotFoundError:
        return "(not installed)"


def _whole_number(option: str, text: str | None, default: int, least: int, most: int | None = None) -> int:
    if text is None:
        return default
    try:
        value = int(text)
    except ValueError:
        raise CommandError(f"{option}: not a whole number: {text!r}", EXIT_NUMBER) from None
    if value < least:
        raise CommandError(f"{option}: must be at least {least}, got {value}", EXIT_NUMBER)
    if most is not None and value > most:
        raise CommandError(f"{option}: must be at most {most}, got {value}", EXIT_NUMBER)
    return value


def _fraction(option: str, text: str | None, default: float) -> float:
    if text is None:
        return default
    try:
        value = float(text)
    except ValueError:
        raise CommandError(f"{option}: not a number: {text!r}", EXIT_NUMBER) from None
    if not (math.isfinite(value) and 0.0 <= value <= 1.0):
        raise CommandError(f"{option}: must be between 0 and 1, got {text!r}", EXIT_NUMBER)
    return value


def _check_option_use(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    if args.method == "keyphrases":
        for option, value in (
            ("--idf", args.idf),
            ("--idf-from", args.idf_from),
            ("--unknown-idf", args.unknown_idf),
            ("--window", args.window),
            ("--alpha", args.alpha),
            ("--iterations", args.iterations),
            ("--engine", args.engine),
            ("--pos", args.pos),
        ):
            if value is not None:
                parser.error(
                    f"{option} does not apply to --method keyphrases (the default); see --method textrank or tfidf"
                )
        if args.phrases:
            parser.error(
                "--phrases applies only to --method textrank or tfidf: keyphrases (the default) lists phrases anyway"
            )
    elif args.method == "textrank":
        for option, value in (
            ("--idf", args.idf),
            ("--idf-from", args.idf_from),
            ("--unknown-idf", args.unknown_idf),
        ):
            if value is not None:
                parser.error(f"{option} applies only to --method tfidf")
    else:
        for option, value in (
            ("--window", args.window),
            ("--alpha", args.alpha),
            ("--iterations", args.iterations),
            ("--engine", args.engine),
        ):
            if value is not None:
                parser.error(f"{option} applies only to --method textrank")
    if args.cut is not None:
        implied = "zh" if args.cut == "jieba" else "en"
        if args.language is not None and (args.language == "zh") != (implied == "zh"):
            parser.error(f"--cut {args.cut} conflicts with --language {args.language}")
        if args.language is None:
            args.language = implied
    if args.pos is not None and args.language != "zh":
        parser.error("--pos applies only to --language zh")


def _language(args: argparse.Namespace) -> str | None:
    return None if args.language == "none" else (args.language or "en")


def _pos(text: str | None) -> Any:
    if text is None or text == "auto":
        return "auto"
    if text == "none":
        return None
    tags = [tag.strip() for tag in text.split(",") if tag.strip()]
    if not tags:
        raise CommandError(f"--pos: no part-of-speech tag in {text!r}", EXIT_USAGE)
    return tags


def _unknown_idf(text: str | None) -> str | float:
    if text is None or text in ("median", "zero"):
        return text or "median"
    try:
        value = float(text)
    except ValueError:
        raise CommandError(
            f"--unknown-idf: not median, zero or a number: {text!r}", EXIT_NUMBER
        ) from None
    if not math.isfinite(value):
        raise CommandError(f"--unknown-idf: must be a finite number, got {text!r}", EXIT_NUMBER)
    return value


def _options(args: argparse.Namespace) -> Options:
    language = _language(args)
    extra = _read_stop_words(args.stop_words) if args.stop_words is not None else frozenset()
    if args.english:
        extra |= extract.stop_words_for("en")
    return extract.make_options(
        method=args.method,
        top=_whole_number("--top", args.top, 10, 0),
        language=language,
        stop_words=extra,
        keep_case=args.keep_case,
        window=_whole_number("--window", args.window, 5, 2),
        alpha=_fraction("--alpha", args.alpha, 0.8),
        iterations=_whole_number("--iterations", args.iterations, 10, 1, extract.MAX_ITERATIONS),
        engine=args.engine or "auto",
        unknown_idf=_unknown_idf(args.unknown_idf),
        pos=_pos(args.pos),
        phrases=args.phrases,
    )


# --- output -------------------------------------------------------------------


def _json_score(score: float) -> float | None:
    score = float(score)
    return score if math.isfinite(score) else None


def _render(method: str, labels: Sequence[str], results: Sequence[Sequence[tuple[str, Any]]], as_json: bool) -> str:
    if as_json:
        documents = [
            {
                "source": label,
                "keywords": [{"word": word, "score": _json_score(score)} for word, score in ranked],
            }
            for label, ranked in zip(labels, results)
        ]
        return json.dumps({"method": method, "documents": documents}, ensure_ascii=False, indent=2, allow_nan=False) + "\n"
    blocks = []
    for label, ranked in zip(labels, results):
        lines = [f"{word}\t{float(score):.4f}\n" for word, score in ranked]
        if len(labels) > 1:
            lines.insert(0, f"==> {label} <==\n")
        blocks.append("".join(lines))
    return "\n".join(blocks)


def _write_stdout(text: str) -> None:
    if sys.stdout is None:  # started with standard output closed
        raise OSError(errno.EBADF, "standard output is closed")
    data = text.encode("utf-8")
    stream = getattr(sys.stdout, "buffer", None)
    if stream is None:  # replaced by a text-only stream, e.g. in an embedding host
        sys.stdout.write(text)
        sys.stdout.flush()
        return
    sys.stdout.flush()
    stream.write(data)
    stream.flush()


# --- the command ----------------------------------------------------------------


def _idf_table(args: argparse.Namespace, options: Options) -> Any:
    """The --idf table, completed for unknown words (``None`` without --idf)."""
    if args.idf is None:
        return None
    try:
        table = load_idf(args.idf)
    except OSError as error:
        raise CommandError(_describe_os_error(args.idf, error), EXIT_FILE) from None
    except ValueError as error:  # load_idf's message starts "FILE:LINE: "
        raise CommandError(f"{error}", EXIT_IDF) from None
    try:
        return extract.complete_idf(table, options.unknown_idf)
    except ValueError:
        raise CommandError(
            f"{args.idf}: no weights, so no median for unknown words"
            " (use --unknown-idf zero or a number)",
            EXIT_IDF,
        ) from None


def _run(args: argparse.Namespace) -> tuple[str, list[str]]:
    """The output, and the labels of inputs that held no word to rank."""
    options = _options(args)
    jobs = _whole_number("-j/--jobs", args.jobs, 1, 1)
    if options.language == "zh":
        try:
            extract.load_jieba("--language zh" if args.cut is None else "--cut jieba")
        except MissingJiebaError as error:
            raise CommandError(str(error), EXIT_MISSING_CUTTER) from None
    cluster: Any = None
    if args.dask is not None:
        try:
            from . import dask as cluster

            import distributed  # noqa: F401  (the scheduler's client)
        except ImportError:
            raise CommandError(
                "--dask needs the dask and distributed packages:"
                " pip install 'tallowmere-vellumcrest[dask]'",
                EXIT_MISSING_DASK,
            ) from None
    idf = _idf_table(args, options)
    # Files are read where they are ranked, one at a time in each process;
    # only standard input and the sample are read here.
    idf_documents = _read_idf_directory(args.idf_from) if args.idf_from is not None else []
    documents = _read_inputs(args.files)
    labels = [document.label for document in documents]

    results: list[list[tuple[str, float]]]
    if cluster is not None:
        results = cluster.run_command_job(args.dask, documents, idf_documents, options, idf, args.idf_from)
    elif options.method in ("textrank", "keyphrases"):
        results = list(_map_in_order(functools.partial(_keywords_of_document, options), documents, jobs))
    else:
        results = _tfidf_locally(documents, idf_documents, options, idf, args.idf_from, jobs)
    empty = [label for label, ranked in zip(labels, results) if not ranked]
    return guard_memory(None, "build the output", _render, options.method, labels, results, args.json), empty


def _tfidf_locally(
    documents: Sequence[Document],
    idf_documents: Sequence[Document],
    options: Options,
    idf: Any,
    idf_from: str | None,
    jobs: int,
) -> list[list[tuple[str, float]]]:
    # Every input is cut before any is ranked, as the table may be built from
    # them. Each is read and cut once (in the -j workers); its words are kept
    # until the table is complete, one string per distinct word of the run.
    counts: DocumentFrequency[str] | None = DocumentFrequency() if idf is None else None
    count_inputs = counts is not None and not idf_documents
    canonical: dict[str, str] = {}
    inputs: list[Cut] = []
    cuts = _map_in_order(functools.partial(_cut_document, options), [*idf_documents, *documents], jobs)
    for number, cut in enumerate(cuts):
        if number < len(idf_documents):
            assert counts is not None
            counts.add(cut.words)
            continue
        cut = _share_words(cut, canonical)
        if count_inputs:
            assert counts is not None
            counts.add(cut.words)
        inputs.append(cut)
    if counts is not None:
        table = counts.to_idf()
        if not table and idf_documents:
            assert idf_from is not None
            raise CommandError(_no_idf_words(idf_from), EXIT_FILE)
        idf = _completed(table, options)
    return [_rank_cut(options, cut, idf) for cut in inputs]


def _no_idf_words(directory: str) -> str:
    return f"{directory}: no words to build the idf table from"


def _completed(table: dict[str, float], options: Options) -> Any:
    # An empty table comes only from inputs without words: nothing to weigh.
    return extract.complete_idf(table, options.unknown_idf) if table else table


def _tell(line: str) -> None:
    """Writes one line to standard error; with standard error closed the exit
    status alone tells, and standard output stays as it is."""
    stream = sys.stderr
    if stream is None:
        return
    try:
        stream.write(line + "\n")
        stream.flush()
    except (OSError, ValueError):
        pass


def main(argv: Sequence[str] | None = None, prog: str | None = None) -> int:
    """Run the command with *argv* (default: ``sys.argv[1:]``) and return its exit status."""
    parser = _build_parser(prog or DEFAULT_PROG)
    try:
        args = parser.parse_args(argv)
    except SystemExit as exit_:  # --help, --version and usage errors
        return exit_.code if isinstance(exit_.code, int) else EXIT_USAGE
    try:
        _check_option_use(parser, args)
    except SystemExit as exit_:
        return exit_.code if isinstance(exit_.code, int) else EXIT_USAGE
    try:
        output, empty = _run(args)
    except CommandError as error:
        _tell(f"{parser.prog}: error: {error}")
        return error.status
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED
    except MemoryError as error:
        # Out of memory outside any input's work (InputMemoryError names it).
        _tell(f"{parser.prog}: error: {str(error) or 'not enough memory'}")
        return EXIT_MEMORY
    for label in empty:
        _tell(f"{parser.prog}: note: {label}: no words to rank")
    try:
        _write_stdout(output)
    except BrokenPipeError:
        # The reader went away (e.g. "| head -1"): stop quietly, and keep the
        # interpreter from failing again when it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILURE
    except OSError as error:
        reason = error.strerror if error.errno == errno.EBADF and error.strerror else error
        _tell(f"{parser.prog}: error: cannot write the output: {reason}")
        return EXIT_FAILURE
    return EXIT_OK

