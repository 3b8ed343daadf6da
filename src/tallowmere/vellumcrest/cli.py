"""The ``vellumcrest-keywords`` command: rank the keywords of text files.

Run ``vellumcrest-keywords --help`` (or ``python -m tallowmere.vellumcrest
--help``) for the options and the exit codes. :func:`main` is the entry
point; it returns the exit status instead of exiting, so that it can be
called from Python.
"""

from __future__ import annotations

import argparse
import functools
import json
import math
import os
import re
import sys
import unicodedata
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, TypeVar

from .idf import build_idf, load_idf

__all__ = [
    "EXIT_OK",
    "EXIT_FAILURE",
    "EXIT_USAGE",
    "EXIT_FILE",
    "EXIT_ENCODING",
    "EXIT_NUMBER",
    "EXIT_IDF",
    "EXIT_MISSING_CUTTER",
    "EXIT_MISSING_DASK",
    "EXIT_CLUSTER",
    "cut_words",
    "main",
]

EXIT_OK = 0
EXIT_FAILURE = 1  # the output could not be written
EXIT_USAGE = 2  # unknown or conflicting options (argparse's own code)
EXIT_FILE = 3  # a file or directory cannot be read
EXIT_ENCODING = 4  # an input or stop-word file is not UTF-8
EXIT_NUMBER = 5  # a numeric option is not a number or out of range
EXIT_IDF = 6  # the --idf file is malformed
EXIT_MISSING_CUTTER = 7  # --cut jieba without jieba installed
EXIT_MISSING_DASK = 9  # --dask without dask and distributed installed
EXIT_CLUSTER = 10  # --dask: the scheduler cannot be reached, or the cluster failed

_PACKAGE = "tallowmere.vellumcrest"
DEFAULT_PROG = "vellumcrest-keywords"
SAMPLE_LABEL = "<sample>"
STDIN_LABEL = "<stdin>"

EPILOG = f"""\
With no FILE, ranks a short sample document that ships with the package.
A FILE of - reads standard input. Input files are UTF-8 text.

Words are runs of letters and digits (of any script, with their combining
marks and inner apostrophes) that hold at least one letter, lower-cased
unless --keep-case is given. Chinese text has no spaces between words: cut
it with --cut jieba (pip install 'tallowmere-vellumcrest[chinese]').
Stop words are matched without regard to case.

--method tfidf weighs each word's count by an idf table: from --idf FILE
("word weight" lines), from --idf-from DIR (built from every *.txt file in
DIR), or, when neither is given, built from the input documents themselves,
each input one document, as ln((1 + N) / (1 + df)) + 1 for N documents of
which df contain the word. Words missing from an --idf table score 0.

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

exit status:
  {EXIT_OK}  success
  {EXIT_FAILURE}  the output could not be written
  {EXIT_USAGE}  unknown or conflicting options
  {EXIT_FILE}  a file or directory cannot be read (missing, a directory, no
     permission), or --idf-from DIR holds no *.txt file
  {EXIT_ENCODING}  an input or stop-word file is not valid UTF-8
  {EXIT_NUMBER}  a bad number for --top, --window, --alpha, --iterations or -j
  {EXIT_IDF}  a malformed --idf file
  {EXIT_MISSING_CUTTER}  --cut jieba, but jieba is not installed
  {EXIT_MISSING_DASK}  --dask, but dask or distributed is not installed
  {EXIT_CLUSTER} --dask: the scheduler cannot be reached, or the cluster failed
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
    """How text becomes words; pickled to worker processes."""

    cut: str = "regex"
    keep_case: bool = False
    stop_words: frozenset[str] = frozenset()


@dataclass(frozen=True)
class RankSettings:
    method: str = "textrank"
    n_word: int | None = 10
    window: int = 5
    alpha: float = 0.8
    n_iter: int = 10


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
        return _read_text(self.path)


# --- cutting text into words ------------------------------------------------


@functools.lru_cache(maxsize=64)
def _word_pattern(marks: str) -> re.Pattern[str]:
    # Python's \w has no combining marks (Devanagari vowel signs, decomposed
    # accents, ...), so the marks found in the text join the word characters.
    char = f"(?:[^\\W_]|[{re.escape(marks)}])" if marks else r"[^\W_]"
    return re.compile(f"[^\\W_]{char}*(?:['\u2019]{char}+)*")


def _regex_words(text: str) -> Iterator[str]:
    marks = "".join(sorted(c for c in set(text) if unicodedata.category(c).startswith("M")))
    for match in _word_pattern(marks).finditer(text):
        yield match.group()


def _jieba_words(text: str) -> Iterator[str]:
    import logging

    import jieba  # type: ignore[import-untyped]

    # jieba announces loading its dictionary at DEBUG level on stderr.
    jieba.setLogLevel(logging.WARNING)
    return iter(jieba.lcut(text))


def cut_words(text: str, settings: CutSettings = CutSettings()) -> list[str]:
    """Cut *text* into words as the command does, before ranking.

    The text is normalised to NFC. A word must hold at least one letter
    (so bare numbers and punctuation go), is lower-cased unless
    ``settings.keep_case``, and is dropped when its case-folded form is one
    of ``settings.stop_words`` (which must be case-folded already).
    """
    text = unicodedata.normalize("NFC", text)
    raw = _jieba_words(text) if settings.cut == "jieba" else _regex_words(text)
    words = []
    for word in raw:
        if not any(c.isalpha() for c in word):
            continue
        if settings.stop_words and word.casefold() in settings.stop_words:
            continue
        words.append(word if settings.keep_case else word.lower())
    return words


# --- ranking (these run in worker processes under -j) ------------------------


def _textrank(settings: RankSettings, words: list[str]) -> list[tuple[str, float]]:
    import numpy

    from .keyword import textrank

    # textrank numbers words in the iteration order of a set, which for str
    # depends on the per-process hash seed. Ranking the words' first-occurrence
    # numbers instead (ints hash to themselves) gives the same graph with the
    # same scores in every run and every worker process.
    numbers: dict[str, int] = {}
    ids = [numbers.setdefault(word, len(numbers)) for word in words]
    vocabulary = list(numbers)
    # A one-word document divides 0 by 0: its score is NaN, which the output
    # shows; numpy's warning about it would only be noise.
    with numpy.errstate(invalid="ignore", divide="ignore"):
        ranked = textrank(ids, settings.window, settings.alpha, settings.n_word, settings.n_iter)
    return [(vocabulary[number], float(score)) for number, score in ranked]


def _cut_and_textrank(
    cut: CutSettings, rank: RankSettings, document: Document
) -> list[tuple[str, float]]:
    return _textrank(rank, cut_words(document.load(), cut))


def _cut(cut: CutSettings, document: Document) -> list[str]:
    return cut_words(document.load(), cut)


_T = TypeVar("_T")
_R = TypeVar("_R")


def _map_in_order(function: Callable[[_T], _R], items: Sequence[_T], jobs: int) -> list[_R]:
    """``[function(item) for item in items]``, in up to *jobs* processes, in input order."""
    if jobs <= 1 or len(items) <= 1:
        return [function(item) for item in items]
    from concurrent.futures import ProcessPoolExecutor

    with ProcessPoolExecutor(max_workers=min(jobs, len(items))) as pool:
        return list(pool.map(function, items))


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


def _read_inputs(files: Sequence[str], *, read_files: bool = True) -> list[Document]:
    """The inputs, read here; with *read_files* false, only standard input and
    the sample are read here, files are left to be read where they are ranked."""
    if not files:
        from importlib.resources import files as package_files

        sample = package_files(_PACKAGE).joinpath("sample.txt").read_bytes()
        return [Document(SAMPLE_LABEL, _decode(SAMPLE_LABEL, sample))]
    documents = []
    for name in files:
        if name == "-":
            documents.append(Document(STDIN_LABEL, _decode(STDIN_LABEL, sys.stdin.buffer.read())))
        else:
            documents.append(Document(name, _read_text(name) if read_files else None, name))
    return documents


def _stop_word_set(text: str) -> frozenset[str]:
    words = set()
    for line in text.splitlines():
        word = line.strip()
        if word and not word.startswith("#"):
            words.add(unicodedata.normalize("NFC", word).casefold())
    return frozenset(words)


def _read_stop_words(path: str) -> frozenset[str]:
    return _stop_word_set(_read_text(path))


def _english_stop_words() -> frozenset[str]:
    from importlib.resources import files as package_files

    return _stop_word_set(package_files(_PACKAGE).joinpath("stop_words_en.txt").read_text(encoding="utf-8"))


def _read_idf_directory(directory: str, *, read_files: bool = True) -> list[Document]:
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
    return [Document(path, _read_text(path) if read_files else None, path) for path in paths]


# --- options ------------------------------------------------------------------


def _build_parser(prog: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=prog,
        description="Rank the keywords of text files with TextRank or TF-IDF.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    # Numbers are taken as text and checked later, so that a bad number gets
    # its own exit status rather than argparse's usage status.
    parser.add_argument("files", nargs="*", metavar="FILE", help="text files to rank (- for stdin)")
    parser.add_argument(
        "--method",
        choices=("textrank", "tfidf"),
        default="textrank",
        help="ranking method (default: textrank)",
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
        "--iterations", metavar="N", help="textrank: rank updates, N >= 1 (default: 10)"
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
        "--cut",
        choices=("regex", "jieba"),
        default="regex",
        help="how to cut text into words: a Unicode word pattern, or jieba for Chinese"
        " (default: regex)",
    )
    parser.add_argument(
        "--keep-case", action="store_true", help="do not lower-case the words"
    )
    parser.add_argument(
        "--stop-words",
        metavar="FILE",
        help="leave out the words listed in FILE, one per line (# starts a comment line)",
    )
    parser.add_argument(
        "--english",
        action="store_true",
        help="also leave out common English function words (the, a, and, ...; a list shipped"
        " with the package)",
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


def _whole_number(option: str, text: str | None, default: int, least: int) -> int:
    if text is None:
        return default
    try:
        value = int(text)
    except ValueError:
        raise CommandError(f"{option}: not a whole number: {text!r}", EXIT_NUMBER) from None
    if value < least:
        raise CommandError(f"{option}: must be at least {least}, got {value}", EXIT_NUMBER)
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
    if args.method == "textrank":
        for option, value in (("--idf", args.idf), ("--idf-from", args.idf_from)):
            if value is not None:
                parser.error(f"{option} applies only to --method tfidf")
    else:
        for option, value in (
            ("--window", args.window),
            ("--alpha", args.alpha),
            ("--iterations", args.iterations),
        ):
            if value is not None:
                parser.error(f"{option} applies only to --method textrank")


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


def _run(args: argparse.Namespace) -> str:
    n_top = _whole_number("--top", args.top, 10, 0)
    rank = RankSettings(
        method=args.method,
        n_word=n_top or None,
        window=_whole_number("--window", args.window, 5, 2),
        alpha=_fraction("--alpha", args.alpha, 0.8),
        n_iter=_whole_number("--iterations", args.iterations, 10, 1),
    )
    jobs = _whole_number("-j/--jobs", args.jobs, 1, 1)
    if args.cut == "jieba":
        try:
            # Imported here too so that worker processes inherit it.
            import jieba  # noqa: F401
        except ImportError:
            raise CommandError(
                "--cut jieba needs the jieba package:"
                " pip install 'tallowmere-vellumcrest[chinese]'",
                EXIT_MISSING_CUTTER,
            ) from None
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
    stop_words = _read_stop_words(args.stop_words) if args.stop_words is not None else frozenset()
    if args.english:
        stop_words |= _english_stop_words()
    cut = CutSettings(cut=args.cut, keep_case=args.keep_case, stop_words=stop_words)

    idf: dict[str, float] | None = None
    if args.idf is not None:
        try:
            idf = load_idf(args.idf)
        except OSError as error:
            raise CommandError(_describe_os_error(args.idf, error), EXIT_FILE) from None
        except ValueError as error:
            raise CommandError(f"malformed idf file: {error}", EXIT_IDF) from None
    read_here = cluster is None
    idf_documents = (
        _read_idf_directory(args.idf_from, read_files=read_here) if args.idf_from is not None else []
    )
    documents = _read_inputs(args.files, read_files=read_here)
    labels = [document.label for document in documents]

    if cluster is not None:
        results = cluster.run_command_job(
            args.dask,
            documents,
            idf_documents,
            rank=functools.partial(_cut_and_textrank, cut, rank),
            cut=functools.partial(_cut, cut),
            method=rank.method,
            n_word=rank.n_word,
            idf=idf,
        )
        return _render(rank.method, labels, results, args.json)

    if rank.method == "textrank":
        results: list[list[tuple[str, Any]]] = _map_in_order(
            functools.partial(_cut_and_textrank, cut, rank), documents, jobs
        )
        return _render(rank.method, labels, results, args.json)

    from .keyword import tfidf

    cut_lists = _map_in_order(functools.partial(_cut, cut), idf_documents + documents, jobs)
    inputs = cut_lists[len(idf_documents):]
    if idf is None:
        idf = build_idf(cut_lists[: len(idf_documents)] or inputs)
    results = [tfidf(words, idf, rank.n_word) for words in inputs]
    return _render(rank.method, labels, results, args.json)


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
        output = _run(args)
    except CommandError as error:
        print(f"{parser.prog}: error: {error}", file=sys.stderr)
        return error.status
    except KeyboardInterrupt:
        return 130
    try:
        _write_stdout(output)
    except BrokenPipeError:
        # The reader went away (e.g. "| head -1"): stop quietly, and keep the
        # interpreter from failing again when it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return EXIT_FAILURE
    except OSError as error:
        print(f"{parser.prog}: error: cannot write the output: {error}", file=sys.stderr)
        return EXIT_FAILURE
    return EXIT_OK

