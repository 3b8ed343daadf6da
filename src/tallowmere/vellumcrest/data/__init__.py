"""The data that ships with the package: a short sample document
(``sample.txt``) and the English and Chinese stop lists
(``stop_words_en.txt``, ``stop_words_zh.txt``), and how a stop list is read."""

from __future__ import annotations

import unicodedata
from importlib.resources import files

__all__ = ["parse_word_list", "read_bytes", "stop_words_for"]


def read_bytes(name: str) -> bytes:
    """The contents of the shipped file *name*."""
    return files(__name__).joinpath(name).read_bytes()


def parse_word_list(text: str) -> frozenset[str]:
    """The words of a stop-word list: one a line, ``#`` lines and blank lines
    skipped, NFC-normalised and case-folded."""
    words = set()
    for line in text.splitlines():
        word = line.strip()
        if word and not word.startswith("#"):
            words.add(unicodedata.normalize("NFC", word).casefold())
    return frozenset(words)


def _shipped_list(name: str) -> frozenset[str]:
    return parse_word_list(files(__name__).joinpath(name).read_text(encoding="utf-8"))


_STOP_WORDS: dict[str | None, frozenset[str]] = {}


def stop_words_for(language: str | None) -> frozenset[str]:
    """The stop words shipped for *language*: ``"en"``, English function words;
    ``"zh"``, Chinese function words and punctuation, and the English list too
    (for English words in mixed text); ``None``: none."""
    words = _STOP_WORDS.get(language)
    if words is None:
        if language is None:
            words = frozenset()
        elif language == "zh":
            words = _shipped_list("stop_words_zh.txt") | _shipped_list("stop_words_en.txt")
        else:
            words = _shipped_list(f"stop_words_{language}.txt")
        _STOP_WORDS[language] = words
    return words
