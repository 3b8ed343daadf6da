"""The command's inputs: reading them, the work on each one, and how a
failure is reported.

* Reading: UTF-8 with a leading byte-order mark skipped (:func:`read_utf8`
  for the library, :func:`read_text` with the command's messages).
* The work on one input, which runs where the input is ranked: in the
  command's process, in a ``-j`` worker process or on a Dask worker
  (:func:`keywords_of_document`, and for tfidf :func:`cut_document` and
  :func:`rank_cut`).
* The exit codes, :class:`CommandError` (one line on stderr and an exit
  status) and :class:`InputMemoryError` (out of memory, naming the input).
"""

from __future__ import annotations

import codecs
import fnmatch
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, NamedTuple, TypeVar

from . import data, extract
from ._package import install_hint
from .options import MAX_ITERATIONS, Options
from .text import SCRIPT_SAMPLE, Token, check_script, cut, words_of

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
    "IDF_PATTERN",
    "CommandError",
    "Cut",
    "Document",
    "InputMemoryError",
    "Job",
    "completed_idf",
    "cut_document",
    "decode",
    "describe_os_error",
    "guard_memory",
    "keywords_of_document",
    "lost_worker",
    "no_idf_words",
    "rank_cut",
    "read_idf_directory",
    "read_inputs",
    "read_stop_words",
    "read_text",
    "read_utf8",
    "share_words",
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
    " input is closed (- with <&-), or --idf-from DIR holds no file that --idf-pattern matches"
    " or no word",
    EXIT_ENCODING: "an input, stop-word or --idf-from file is not valid UTF-8",
    EXIT_NUMBER: "a bad number for --top, --window, --alpha, --iterations (at most"
    f" {MAX_ITERATIONS}), --unknown-idf or -j",
    EXIT_IDF: "a malformed --idf file (including one that is not UTF-8), or an empty one with"
    " --unknown-idf median",
    EXIT_MISSING_CUTTER: "--language zh (or --cut jieba), but jieba is not installed",
    EXIT_MEMORY: "not enough memory to read, cut or rank an input or to build the output (here or"
    " in a worker), or a worker process was killed (as the system's out-of-memory killer does)",
    EXIT_MISSING_DASK: f"--dask, but dask or distributed is not installed ({install_hint('dask')})",
    EXIT_CLUSTER: "--dask: the scheduler cannot be reached (or the address is malformed, or not one"
    " of tcp://, tls://, ws://, wss://), or the cluster failed during the job",
    EXIT_INTERRUPTED: "interrupted (Ctrl-C)",
}

#: The files of --idf-from DIR that are read unless --idf-pattern says otherwise.
IDF_PATTERN = "*.txt"

SAMPLE_LABEL = "<sample>"
STDIN_LABEL = "<stdin>"

_R = TypeVar("_R")


class CommandError(Exception):
    """A failure reported as one line on stderr and the exit status *status*."""

    def __init__(self, message: str, status: int) -> None:
        super().__init__(message)
        self.status = status

    def __reduce__(self) -> tuple[type[CommandError], tuple[str, int]]:
        # Raised in worker processes too: keep the status through pickling.
        return type(self), (str(self), self.status)


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


def lost_worker(label: str) -> CommandError:
    """The report of a worker process (``-j`` or Dask) that died before it
    gave back the input *label*."""
    return CommandError(
        f"{label}: a worker process was killed before this input was done"
        " (as the system kills a process when memory runs out)",
        EXIT_MEMORY,
    )


# --- reading ---------------------------------------------------------------------


def _without_bom(data: bytes) -> bytes:
    return data[len(codecs.BOM_UTF8):] if data.startswith(codecs.BOM_UTF8) else data


def read_utf8(path: str | os.PathLike[str]) -> str:
    """The text of the UTF-8 file *path*, a leading byte-order mark skipped.

    Raises :class:`OSError` when the file cannot be read and
    :class:`UnicodeDecodeError` when it is not UTF-8.
    """
    with open(path, "rb") as stream:
        return _without_bom(stream.read()).decode("utf-8")


def describe_os_error(name: str, error: OSError) -> str:
    if isinstance(error, FileNotFoundError):
        reason = "no such file or directory"
    elif isinstance(error, IsADirectoryError):
        reason = "is a directory"
    elif isinstance(error, PermissionError):
        reason = "permission denied"
    else:
        reason = error.strerror or str(error)
    return f"{name}: cannot read: {reason}"


# The byte-order marks of the encodings that a text file in UTF-8's place
# most often has, longest first (UTF-32's little-endian mark starts with
# UTF-16's).
_OTHER_BOMS = (
    (codecs.BOM_UTF32_LE, "UTF-32"),
    (codecs.BOM_UTF32_BE, "UTF-32"),
    (codecs.BOM_UTF16_LE, "UTF-16"),
    (codecs.BOM_UTF16_BE, "UTF-16"),
)


def _other_encoding(name: str, head: bytes) -> None:
    """A :class:`CommandError` when *head* starts with UTF-16's or UTF-32's
    byte-order mark."""
    for mark, encoding in _OTHER_BOMS:
        if head.startswith(mark):
            raise CommandError(
                f"{name}: not UTF-8: it looks like {encoding} (it starts with a byte-order mark);"
                f" convert it to UTF-8, e.g. iconv -f {encoding} -t UTF-8",
                EXIT_ENCODING,
            )


def _bad_byte(name: str, byte: int, line: int, column: int) -> CommandError:
    return CommandError(f"{name}: not valid UTF-8: byte 0x{byte:02x} at line {line}, column {column}", EXIT_ENCODING)


def decode(name: str, data: bytes) -> str:
    """*data* as UTF-8, a leading byte-order mark skipped; a
    :class:`CommandError` naming *name* and the place of the first bad byte
    otherwise, with a hint when *data* starts with UTF-16's or UTF-32's
    byte-order mark."""
    _other_encoding(name, data)
    data = _without_bom(data)
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError as error:
        line = data.count(b"\n", 0, error.start) + 1
        column = error.start - data.rfind(b"\n", 0, error.start)
        raise _bad_byte(name, data[error.start], line, column) from None


#: A streamed file is read this many bytes at a time.
READ_SIZE = 1 << 20


class StreamedText:
    """The text of a UTF-8 file, a piece at a time: the keyphrases of a
    large file never hold its bytes or its whole text.

    Opening it reads the pieces that hold the first
    :data:`~tallowmere.vellumcrest.text.SCRIPT_SAMPLE` characters, which
    :attr:`head` gives to the script check; iterating it gives every piece,
    once.  Its errors are :func:`read_text`'s, each raised when the read
    reaches it.  The file is closed at the end of the text, at an error, or
    on leaving a ``with`` block.
    """

    def __init__(self, path: str, read_size: int = READ_SIZE) -> None:
        self.name = path
        self._read_size = read_size
        try:
            self._stream = open(path, "rb")
        except OSError as error:
            raise CommandError(describe_os_error(path, error), EXIT_FILE) from None
        self._decoder = codecs.getincrementaldecoder("utf-8")()
        # Of the bytes given to the decoder so far (after a UTF-8 byte-order
        # mark): how many, how many line breaks, and where the last one is.
        self._offset = 0
        self._newlines = 0
        self._last_newline = -1
        self._started = False
        self._ended = False
        self.head = ""
        pieces: list[str] = []
        held = 0
        try:
            while held < SCRIPT_SAMPLE and not self._ended:
                piece = self._next_piece()
                pieces.append(piece)
                held += len(piece)
            self.head = "".join(pieces)
        except BaseException:
            self.close()
            raise

    def _read(self) -> bytes:
        try:
            return self._stream.read(self._read_size)
        except OSError as error:
            raise CommandError(describe_os_error(self.name, error), EXIT_FILE) from None

    def _first_read(self) -> bytes:
        data = self._read()
        while 0 < len(data) < 4:  # the byte-order marks have up to four bytes
            more = self._read()
            if not more:
                break
            data += more
        _other_encoding(self.name, data)
        return _without_bom(data)

    def _next_piece(self) -> str:
        """The text of the next read, and at the end of the file the end of
        the text, closing the file."""
        data = self._read() if self._started else self._first_read()
        self._started = True
        held = self._decoder.getstate()[0]  # the first bytes of a character not ended yet
        try:
            piece = self._decoder.decode(data, final=not data)
        except UnicodeDecodeError as error:
            self.close()
            raise self._bad_byte(held, data, error.start) from None
        newlines = data.count(b"\n")
        if newlines:
            self._newlines += newlines
            self._last_newline = self._offset + data.rfind(b"\n")
        self._offset += len(data)
        if not data:
            self.close()
        return piece

    def _bad_byte(self, held: bytes, data: bytes, start: int) -> CommandError:
        # *start* counts from the held bytes, which hold no line break.
        at = self._offset - len(held) + start
        before = max(0, start - len(held))
        line = self._newlines + data.count(b"\n", 0, before) + 1
        last = data.rfind(b"\n", 0, before)
        last_newline = self._offset + last if last != -1 else self._last_newline
        return _bad_byte(self.name, (held + data)[start], line, at - last_newline)

    def __iter__(self) -> Iterator[str]:
        try:
            if self.head:
                yield self.head
            self.head = ""
            while not self._ended:
                piece = self._next_piece()
                if piece:
                    yield piece
        finally:
            self.close()

    def close(self) -> None:
        self._ended = True
        self._stream.close()

    def __enter__(self) -> StreamedText:
        return self

    def __exit__(self, *exception: object) -> None:
        self.close()


def read_text(path: str) -> str:
    """The text of the file *path*, with the command's messages."""
    try:
        with open(path, "rb") as stream:
            contents = stream.read()
    except OSError as error:
        raise CommandError(describe_os_error(path, error), EXIT_FILE) from None
    return decode(path, contents)


def _read_stdin() -> str:
    stream = sys.stdin
    if stream is None:
        raise CommandError(f"{STDIN_LABEL}: cannot read: standard input is closed", EXIT_FILE)
    try:
        contents = guard_memory(STDIN_LABEL, "read it", stream.buffer.read)
    except OSError as error:
        raise CommandError(describe_os_error(STDIN_LABEL, error), EXIT_FILE) from None
    return guard_memory(STDIN_LABEL, "read it", decode, STDIN_LABEL, contents)


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
        return guard_memory(self.label, "read it", read_text, self.path)


def read_inputs(files: Sequence[str]) -> list[Document]:
    """The inputs: standard input and the sample are read here; files are
    read where they are ranked (here, in a -j worker or on a Dask worker),
    each when its turn comes."""
    if not files:
        return [Document(SAMPLE_LABEL, decode(SAMPLE_LABEL, data.read_bytes("sample.txt")))]
    documents = []
    for name in files:
        if name == "-":
            documents.append(Document(STDIN_LABEL, _read_stdin()))
        else:
            documents.append(Document(name, None, name))
    return documents


def read_stop_words(path: str) -> frozenset[str]:
    return data.parse_word_list(read_text(path))


def read_idf_directory(directory: str, pattern: str | None = None) -> list[Document]:
    """The regular files of *directory* whose names match the shell pattern
    *pattern* (default :data:`IDF_PATTERN`; ``*`` takes every one, case
    counts), in name order, as inputs read where they are cut.  A link to a
    regular file counts; subdirectories are not entered."""
    pattern = IDF_PATTERN if pattern is None else pattern
    try:
        names = sorted(
            entry.name
            for entry in os.scandir(directory)
            if fnmatch.fnmatchcase(entry.name, pattern) and entry.is_file()
        )
    except OSError as error:
        raise CommandError(describe_os_error(directory, error), EXIT_FILE) from None
    if not names:
        raise CommandError(f"{directory}: no {pattern} file to build the idf table from", EXIT_FILE)
    paths = [os.path.join(directory, name) for name in names]
    return [Document(path, None, path) for path in paths]


# --- the work for each input (this runs in worker processes under -j and --dask) ---


class Cut(NamedTuple):
    """What ranking needs of a cut input: its kept words, and for phrases
    also its text and tokens."""

    words: list[str]
    text: str | None = None
    tokens: list[Token] | None = None
    label: str = ""


def _load(options: Options, document: Document) -> str:
    text = document.load()
    check_script(text, options.language)
    return text


def _cut(options: Options, document: Document) -> tuple[str, list[Token]]:
    return guard_memory(document.label, "cut it into words", cut, _load(options, document), options)


def cut_document(options: Options, document: Document) -> Cut:
    """tfidf: *document* read and cut, kept until the idf table is complete."""
    text, tokens = _cut(options, document)
    words = guard_memory(document.label, "cut it into words", words_of, tokens)
    return Cut(words, text, tokens, document.label) if options.phrases else Cut(words, label=document.label)


def share_words(piece: Cut, canonical: dict[str, str]) -> Cut:
    """*piece* with each of its words replaced by the one string *canonical*
    keeps for it: the cuts that wait for an idf table share their words."""
    return piece._replace(words=[canonical.setdefault(word, word) for word in piece.words])


def rank_cut(options: Options, piece: Cut, idf: Any) -> list[tuple[str, float]]:
    """tfidf: a cut input ranked with the completed table *idf*."""
    if piece.text is not None and piece.tokens is not None:
        return guard_memory(piece.label, "rank it", extract.rank, piece.text, piece.tokens, options, idf)
    return guard_memory(piece.label, "rank it", extract.rank_words, piece.words, options, idf)


def keywords_of_document(options: Options, document: Document) -> list[tuple[str, float]]:
    """textrank and keyphrases: *document* read, cut and ranked.  The
    keyphrases of a file not in Chinese read it a piece at a time."""
    if options.method == "keyphrases":
        if document.text is None and document.path is not None and options.language != "zh":
            with guard_memory(document.label, "read it", StreamedText, document.path) as streamed:
                check_script(streamed.head, options.language)
                return guard_memory(document.label, "find its keyphrases", extract.keyphrases_of, streamed, options)
        return guard_memory(document.label, "find its keyphrases", extract.keyphrases_of, _load(options, document), options)
    text, tokens = _cut(options, document)
    return guard_memory(document.label, "rank it", extract.rank, text, tokens, options)


class Job(NamedTuple):
    """The command's work: rank *documents* with *options*; for tfidf, with
    the table *idf* (--idf) or one counted from *idf_documents* (the files
    of --idf-from *idf_from*), or else from the documents themselves."""

    options: Options
    documents: Sequence[Document]
    idf_documents: Sequence[Document] = ()
    idf: Any = None
    idf_from: str | None = None


def completed_idf(table: dict[str, float], options: Options) -> Any:
    """The idf table counted from the inputs, completed for unknown words."""
    # An empty table comes only from inputs without words: nothing to weigh.
    return extract.complete_idf(table, options.unknown_idf) if table else table


def no_idf_words(directory: str) -> CommandError:
    return CommandError(f"{directory}: no words to build the idf table from", EXIT_FILE)
