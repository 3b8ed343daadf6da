"""The command's options and its help: the parser, the checks of which
options go together, and the arguments turned into checked
:class:`~tallowmere.vellumcrest.options.Options`.

Defaults and value checks are the options module's: an option not given is
left out, and a value out of range is reported with the requirement that
module states.
"""

from __future__ import annotations

import argparse
import functools
import textwrap
from collections.abc import Callable
from typing import Any

from .._package import install_hint, version
from ..data import stop_words_for
from ..inputs import (
    EXIT_NUMBER,
    EXIT_STATUSES,
    EXIT_USAGE,
    IDF_PATTERN,
    CommandError,
    read_stop_words,
)
from .progress import LARGE_INPUT, MANY_INPUTS
from ..options import (
    AUTO_EXACT_MAX_WORDS,
    DEFAULT_POS,
    DEFAULTS,
    ENGINES,
    LANGUAGES,
    MAX_ITERATIONS,
    METHODS,
    OptionError,
    Options,
    OptionUseError,
    check_applies,
    check_option,
    make_options,
    whole_number,
)

DEFAULT_PROG = "vellumcrest-keywords"

EPILOG = f"""\
With no FILE, ranks a short sample document that ships with the package.
A FILE of - reads standard input. Input files are UTF-8 text.

Words are runs of letters and digits (of any script, with their combining
marks and inner apostrophes) that hold at least one letter, lower-cased
unless --keep-case is given. --language en (the default) also leaves out
common English function words; --language none leaves out nothing.
Chinese text has no spaces between words: --language zh cuts it with jieba
({install_hint('chinese')}), leaves out Chinese function
words and punctuation, and for textrank keeps only nouns, names and verbs
(--pos). Stop words are matched without regard to case.

--method tfidf weighs each word's count by an idf table: from --idf FILE
("word weight" lines), from --idf-from DIR (built from the regular files in
DIR whose names match --idf-pattern, by default *.txt; '*' takes them all), or, when neither is given, built from the input documents themselves,
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
phrase's frequency, spread and first occurrence.

An option that the chosen method does not use is refused (exit status
{EXIT_USAGE}) rather than ignored: --window, --alpha, --iterations and --engine
apply to textrank, --idf, --idf-from and --unknown-idf to tfidf, --pos and
--phrases to both. --top 0 lists nothing; --top all lists every keyword.

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
Dask cluster ({install_hint('dask')}): the workers read
the input files themselves, so they must see them at the same paths.

"""


def _exit_status_help() -> str:
    lines = ["exit status:"]
    for status, meaning in EXIT_STATUSES.items():
        lines += textwrap.wrap(
            meaning, 78, initial_indent=f"  {status}  ", subsequent_indent="     ", break_on_hyphens=False
        )
    return "\n".join(lines) + "\n"


def build_parser(prog: str) -> argparse.ArgumentParser:
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
        choices=sorted(METHODS),
        default=DEFAULTS["method"],
        help=f"ranking method (default: {DEFAULTS['method']})",
    )
    parser.add_argument(
        "--top", metavar="N", help=f"keywords per document, or all (default: {DEFAULTS['top']})"
    )
    for name, metavar, meaning in (
        ("window", "N", "textrank: words within N-1 positions are linked, N >= 2"),
        ("alpha", "X", "textrank: damping factor, 0 <= X <= 1"),
        ("iterations", "N", f"textrank: rank updates, 1 <= N <= {MAX_ITERATIONS}"),
    ):
        parser.add_argument(f"--{name}", metavar=metavar, help=f"{meaning} (default: {DEFAULTS[name]})")  # type: ignore[literal-required]
    idf_source = parser.add_mutually_exclusive_group()
    idf_source.add_argument(
        "--idf", metavar="FILE", help='tfidf: read the idf table from FILE ("word weight" lines)'
    )
    idf_source.add_argument(
        "--idf-from",
        metavar="DIR",
        help="tfidf: build the idf table from the files of DIR that --idf-pattern"
        " matches (default: from the input documents)",
    )
    parser.add_argument(
        "--idf-pattern",
        metavar="GLOB",
        help=f"with --idf-from: the names of the files to read, a shell pattern such as"
        f" '*.md'; '*' reads every regular file (default: {IDF_PATTERN})",
    )
    parser.add_argument(
        "--language",
        choices=(*LANGUAGES, "none"),
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
        f" by commas; 'none' keeps every word (default: {','.join(DEFAULT_POS)} for"
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
        f" number (default: {DEFAULTS['unknown_idf']})",
    )
    parser.add_argument(
        "--engine",
        choices=ENGINES,
        help=f"textrank: dense matrix, sparse graph, or exact up to {AUTO_EXACT_MAX_WORDS}"
        f" distinct words and sparse beyond (default: {DEFAULTS['engine']})",
    )
    parser.add_argument("--json", action="store_true", help="write JSON instead of text")
    parser.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="show no progress (shown on standard error when it is a terminal and the work is"
        f" long: more than {MANY_INPUTS} inputs, -j or --dask, or an input over {LARGE_INPUT // 2**20} MB)",
    )
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
    parser.add_argument("--version", action="version", version=f"%(prog)s {version()}")
    return parser


# The option of keywords() that each of the command's options gives, for
# the messages: which methods use which option is the options module's rule.
_FLAGS = {
    "idf": "--idf",
    "unknown_idf": "--unknown-idf",
    "window": "--window",
    "alpha": "--alpha",
    "iterations": "--iterations",
    "engine": "--engine",
    "pos": "--pos",
    "phrases": "--phrases",
}


def _use_error(error: OptionUseError, flag: str | None = None) -> str:
    default = " (the default)" if error.method == DEFAULTS["method"] else ""
    return (
        f"{flag or _FLAGS[error.option]} applies only to --method {' or '.join(error.methods)},"
        f" not {error.method}{default}"
    )


def check_option_use(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    for flag, value in (("--idf", args.idf), ("--idf-from", args.idf_from)):
        try:
            check_applies(args.method, {"idf": value})
        except OptionUseError as error:
            parser.error(_use_error(error, flag))
    if args.idf_pattern is not None and args.idf_from is None:
        parser.error("--idf-pattern applies only with --idf-from DIR")
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


def _checked(flag: str, check: Callable[[Any], Any], value: Any, shown: object) -> None:
    """*value* checked by *check*, the library's own check; a value out of
    range is reported with that check's requirement."""
    try:
        check(value)
    except OptionError as error:
        raise CommandError(f"{flag}: {error.requirement}, got {shown}", EXIT_NUMBER) from None


def _whole(flag: str, text: str, check: Callable[[Any], Any]) -> int:
    try:
        value = int(text)
    except ValueError:
        raise CommandError(f"{flag}: not a whole number: {text!r}", EXIT_NUMBER) from None
    _checked(flag, check, value, value)
    return value


def _real(flag: str, text: str, check: Callable[[Any], Any]) -> float:
    try:
        value = float(text)
    except ValueError:
        raise CommandError(f"{flag}: not a number: {text!r}", EXIT_NUMBER) from None
    _checked(flag, check, value, repr(text))
    return value


def _unknown_idf(text: str) -> str | float:
    if text in ("median", "zero"):
        return text
    try:
        value = float(text)
    except ValueError:
        raise CommandError(f"--unknown-idf: not median, zero or a number: {text!r}", EXIT_NUMBER) from None
    _checked("--unknown-idf", functools.partial(check_option, "unknown_idf"), value, repr(text))
    return value


def jobs(args: argparse.Namespace) -> int:
    """The number of -j processes (1 when not given)."""
    if args.jobs is None:
        return 1
    return _whole("-j/--jobs", args.jobs, lambda value: whole_number("jobs", value, 1))


def options_of(args: argparse.Namespace) -> Options:
    """The checked options of the command's arguments *args*."""
    extra = read_stop_words(args.stop_words) if args.stop_words is not None else frozenset()
    if args.english:
        extra |= stop_words_for("en")
    given: dict[str, Any] = {
        "method": args.method,
        "language": _language(args),
        "stop_words": extra,
        "keep_case": args.keep_case,
    }
    if args.phrases:
        given["phrases"] = True
    if args.top is not None:
        given["top"] = None if args.top == "all" else _whole("--top", args.top, functools.partial(check_option, "top"))
    for flag, name, text, parse in (
        ("--window", "window", args.window, _whole),
        ("--alpha", "alpha", args.alpha, _real),
        ("--iterations", "iterations", args.iterations, _whole),
    ):
        if text is not None:
            given[name] = parse(flag, text, functools.partial(check_option, name))
    if args.engine is not None:
        given["engine"] = args.engine
    if args.unknown_idf is not None:
        given["unknown_idf"] = _unknown_idf(args.unknown_idf)
    if args.pos is not None:
        given["pos"] = _pos(args.pos)
    try:
        return make_options(**given)
    except OptionUseError as error:
        raise CommandError(_use_error(error), EXIT_USAGE) from None
