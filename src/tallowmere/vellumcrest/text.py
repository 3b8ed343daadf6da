"""Cutting raw text into words, as :func:`~tallowmere.vellumcrest.keywords` does before ranking.

:func:`cut` turns a text into :class:`Token` values: every word the cutter
found, with its place in the text, and the word as ranked or ``None`` when
it is left out (a stop word, no letter in it, a part of speech not asked
for).  :func:`cut_words` gives just the kept words, for building idf tables
of raw texts.  Chinese is cut by jieba (the ``chinese`` extra).
"""

from __future__ import annotations

import re
import unicodedata
import warnings
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, replace
from typing import Any, NamedTuple

from ._package import install_hint
from .options import Options, make_options

__all__ = [
    "CutSettings",
    "MissingJiebaError",
    "ScriptWarning",
    "Token",
    "check_script",
    "cut",
    "cut_words",
    "load_jieba",
    "mostly_han",
    "words_of",
]


class MissingJiebaError(ImportError):
    """Chinese text was asked for, but the jieba package is not installed."""


class ScriptWarning(UserWarning):
    """The text's script does not suit the language asked for: mostly Han
    (Chinese) characters under ``language="en"``, which cuts at spaces and
    punctuation and so takes whole clauses for words."""


# Han ideographs: the unified blocks and their extensions, and the
# compatibility ideographs.
_HAN = re.compile("[\u3400-\u4dbf\u4e00-\u9fff\uf900-\ufaff\U00020000-\U0003134f]")
_LETTER = re.compile(r"[^\W\d_]")

#: The script check looks at this many characters from the start of a text.
SCRIPT_SAMPLE = 1_000_000


def mostly_han(text: str) -> bool:
    """Whether more than half of the letters in the first
    :data:`SCRIPT_SAMPLE` characters of *text* are Han ideographs."""
    sample = text[:SCRIPT_SAMPLE]
    han = len(_HAN.findall(sample))
    return han > 0 and 2 * han > len(_LETTER.findall(sample))


def check_script(text: str, language: str | None, stacklevel: int = 2) -> None:
    """Warn (:class:`ScriptWarning`) when *language* is ``"en"`` and *text* is
    :func:`mostly_han`: the script is checked, the language is not guessed."""
    if language == "en" and mostly_han(text):
        warnings.warn(
            ScriptWarning(
                "the text is mostly Chinese (Han) characters, but language 'en' cuts at spaces and"
                " punctuation and ranks whole clauses as words: use language 'zh' for Chinese"
            ),
            stacklevel=stacklevel + 1,
        )


class Token(NamedTuple):
    """One word found in a text: ``text[start:end]``, and the word as ranked
    (``None`` when it was left out)."""

    word: str | None
    start: int
    end: int


# Token(word, start, end) without the keyword handling of a named tuple's
# constructor: cutting makes one per word of the text.
_make_token = tuple.__new__


def _word_pattern(marks: str) -> re.Pattern[str]:
    # Python's \w has no combining marks (Devanagari vowel signs, decomposed
    # accents, ...), so the marks found in the text join the word characters.
    # re caches compiled patterns itself.
    char = f"(?:[^\\W_]|[{re.escape(marks)}])" if marks else r"[^\W_]"
    return re.compile(f"[^\\W_]{char}*(?:['\u2019]{char}+)*")


def _regex_spans(text: str) -> Iterator[tuple[str, int, int, str | None]]:
    marks = "".join(sorted(c for c in set(text) if unicodedata.category(c).startswith("M")))
    for match in _word_pattern(marks).finditer(text):
        yield (match.group(), *match.span(), None)


def load_jieba(reason: str = "language='zh'") -> Any:
    """Import jieba, quietly; :class:`MissingJiebaError` names the extra to install."""
    try:
        import jieba  # type: ignore[import-untyped, import-not-found, unused-ignore]
    except ImportError:
        raise MissingJiebaError(f"{reason} needs the jieba package: {install_hint('chinese')}") from None
    import logging

    # jieba announces loading its dictionary at DEBUG level on stderr.
    jieba.setLogLevel(logging.WARNING)
    return jieba


def _jieba_spans(text: str, with_pos: bool) -> Iterator[tuple[str, int, int, str | None]]:
    jieba = load_jieba()
    pieces: Iterable[tuple[str, str | None]]
    if with_pos:
        from jieba import posseg  # type: ignore[import-untyped, import-not-found, unused-ignore]

        pieces = [(pair.word, pair.flag) for pair in posseg.lcut(text)]
    else:
        pieces = [(word, None) for word in jieba.lcut(text)]
    # jieba's pieces cover the text in order, spaces included.
    position = 0
    for word, flag in pieces:
        start = text.find(word, position)
        if start < 0:
            continue
        position = start + len(word)
        if not word.isspace():
            yield word, start, position, flag


def cut(text: str, options: Options, *, cutter: str | None = None) -> tuple[str, list[Token]]:
    """Cut *text* into tokens under *options*; returns the NFC text and its tokens.

    A token's word is kept when it holds at least one letter (bare numbers and
    punctuation go), its case-folded form is not a stop word and, when
    ``options.pos`` is set, its part of speech is one of them. Kept words are
    lower-cased unless ``options.keep_case``. *cutter* (``"regex"`` or
    ``"jieba"``) overrides the language's own.
    """
    text = unicodedata.normalize("NFC", text)
    if cutter is None:
        cutter = "jieba" if options.language == "zh" else "regex"
    if cutter == "jieba":
        spans = _jieba_spans(text, options.pos is not None)
    else:
        spans = _regex_spans(text)
    stop_words = options.stop_words
    tags = options.pos
    keep_case = options.keep_case
    # A word recurs many times in a document: what becomes of it is worked
    # out once per (word, part of speech).
    decided: dict[tuple[str, str | None], str | None] = {}
    tokens: list[Token] = []
    append = tokens.append
    for word, start, end, flag in spans:
        key = (word, flag)
        try:
            kept = decided[key]
        except KeyError:
            kept = None
            if (
                (word.isalpha() or any(c.isalpha() for c in word))
                and word.casefold() not in stop_words
                and (tags is None or flag in tags)
            ):
                kept = word if keep_case else word.lower()
            decided[key] = kept
        append(_make_token(Token, (kept, start, end)))
    return text, tokens


def words_of(tokens: Iterable[Token]) -> list[str]:
    """The kept words of *tokens*, in text order."""
    return [token.word for token in tokens if token.word is not None]


@dataclass(frozen=True)
class CutSettings:
    """How :func:`cut_words` cuts text into words."""

    cut: str = "regex"
    keep_case: bool = False
    stop_words: frozenset[str] = frozenset()


def cut_words(text: str, settings: CutSettings = CutSettings()) -> list[str]:
    """Cut *text* into words as :func:`~tallowmere.vellumcrest.keywords` does, before ranking.

    The text is normalised to NFC. A word must hold at least one letter
    (so bare numbers and punctuation go), is lower-cased unless
    ``settings.keep_case``, and is dropped when its case-folded form is one
    of ``settings.stop_words`` (which must be case-folded already).
    ``settings.cut`` is ``"regex"`` (a Unicode word pattern) or ``"jieba"``.
    """
    options = replace(make_options(language=None, keep_case=settings.keep_case), stop_words=settings.stop_words)
    return words_of(cut(text, options, cutter=settings.cut)[1])
