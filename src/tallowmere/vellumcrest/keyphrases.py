"""Keyphrases of raw text: ``keywords(text, method="keyphrases")``.

A document becomes keyphrases in four steps:

1. **Chunks.** The text is cut into words (a hyphenated compound is one word)
   and split into chunks at punctuation, at stop words (the package's own and
   stopwordsiso's), at numbers and at one-letter words.  Chinese is cut by
   jieba, and a chunk also ends at every word that jieba's dictionary does not
   tag as a noun, a name, a verbal or adjectival noun or a foreign word.
2. **Candidates.** Every run of one to :data:`MAX_WORDS` words inside a chunk
   is a candidate, seen once or more.  Variants that stem alike ("neural
   networks", "neural network") are one candidate, shown in their most
   frequent form.  A candidate that never occurs apart from a candidate one
   word longer is left to that one; no Chinese keyphrase is one character.
3. **Word scores.** The words (by stem) that occur within ``WINDOW - 1``
   positions of each other, stop words left out, are linked, weighted by how
   often they do; a PageRank whose restarts favour early words (each
   occurrence at position *p* adds 1 / (1 + p) to its word's share) ranks
   them.  A word's score is its rank times its rarity in the language
   squared: the inverse frequency in a background table, ``wordfreq`` for
   English, jieba's idf table for Chinese.
4. **Phrase scores.** A candidate scores the mean of its words' scores,
   times ``n ** LENGTH_GAIN`` for *n* words, times its count, times a bonus
   for an early first occurrence and one for standing as a whole chunk.
   Best first, a candidate is left out when it is the same words in another
   order as a better one, or when it occurs only inside a better one.

The graph ranking runs in the sparse engine
(:func:`tallowmere.vellumcrest.sparse.personalized_pagerank`).
"""

from __future__ import annotations

import math
import re
import unicodedata
from collections.abc import Sequence
from typing import Any

__all__ = ["MAX_WORDS", "WINDOW", "keyphrases"]

#: The most words a keyphrase has.
MAX_WORDS = 4
#: Words closer than this many positions (stop words left out) are linked.
WINDOW = 3
#: PageRank's damping factor and number of updates.
DAMPING = 0.85
ITERATIONS = 30

# A phrase of n words scores its mean word score times n ** LENGTH_GAIN,
# times its count ** FREQUENCY_GAIN.
LENGTH_GAIN = 0.4
FREQUENCY_GAIN = 1.0
# Rarity: background inverse frequency (in Zipf units), floored so that
# common words still count, to the power RARITY_POWER.
RARITY_FLOOR = 1.0
RARITY_POWER = 2.0
# A candidate found as a whole chunk (nothing but breaks and stop words on
# either side) gains up to CHUNK_GAIN, by the share of its occurrences that are.
CHUNK_GAIN = 0.5
# Weight of an early first occurrence: 1 + POSITION_GAIN / (1 + first / POSITION_SCALE).
POSITION_GAIN = 1.0
POSITION_SCALE = 50.0

# Words with a letter, hyphens and apostrophes inside.
_WORD = re.compile(r"[^\W_](?:[\w'\u2019]|-(?=\w))*")
# What ends a chunk besides a stop word: sentence and clause punctuation,
# brackets, quotes, slashes and line breaks between paragraphs.
_BREAK = re.compile(r"[.,;:!?()\[\]{}\"\u201c\u201d\u2018\u2026|/\\<>=+*&%$#@~^\u3001-\u303f\uff01-\uff0f\uff1a-\uff20\u2014\u2013]|\n\s*\n")

# Jieba tags kept inside Chinese keyphrases: nouns, names, places,
# organisations, other proper nouns, verbal and adjectival nouns, idioms and
# abbreviations, and words in Latin letters.
_CHINESE_TAGS = frozenset({"n", "nr", "nrt", "ns", "nt", "nz", "nw", "vn", "an", "l", "j", "b", "eng", "x_eng"})

_cache: dict[str, Any] = {}


# --- the libraries ----------------------------------------------------------------


def _stemmer() -> Any:
    stemmer = _cache.get("stemmer")
    if stemmer is None:
        import snowballstemmer  # type: ignore[import-not-found, import-untyped, unused-ignore]

        # snowballstemmer runs PyStemmer's compiled stemmers when it is installed.
        stemmer = _cache["stemmer"] = snowballstemmer.stemmer("english")
    return stemmer


def english_stop_words() -> frozenset[str]:
    """The English stop words of keyphrases: the package's own function words
    and stopwordsiso's English list."""
    words = _cache.get("stop_en")
    if words is None:
        import stopwordsiso  # type: ignore[import-not-found, import-untyped, unused-ignore]

        from .extract import stop_words_for

        words = _cache["stop_en"] = frozenset(stop_words_for("en")) | frozenset(stopwordsiso.stopwords("en"))
    return words


def _english_rarity() -> Any:
    table = _cache.get("rarity_en")
    if table is None:
        import wordfreq  # type: ignore[import-not-found, import-untyped, unused-ignore]

        # Zipf frequency: log10 of occurrences per billion words; 8 is about
        # the most common word of the language, 0 unseen.
        frequencies = wordfreq.get_frequency_dict("en")
        table = _cache["rarity_en"] = (frequencies, math.log10(frequencies.get("the", 0.05)) + 9)
    return table


def _rarity_of_english(words: Sequence[str]) -> list[float]:
    frequencies, top = _english_rarity()
    result = []
    for word in words:
        frequency = frequencies.get(word)
        if frequency is None and "-" in word:
            # A compound weighs as its rarest part.
            parts = [frequencies.get(part, 0.0) for part in word.split("-") if part]
            frequency = min(parts) if parts else 0.0
        zipf = math.log10(frequency) + 9 if frequency else 1.0
        result.append(max(top - zipf, 0.0) + RARITY_FLOOR)
    return result


def _chinese_rarity() -> tuple[dict[str, float], float]:
    table = _cache.get("rarity_zh")
    if table is None:
        from .extract import load_jieba

        load_jieba()
        import jieba.analyse  # type: ignore[import-not-found, import-untyped, unused-ignore]

        tfidf = jieba.analyse.default_tfidf
        table = _cache["rarity_zh"] = (tfidf.idf_freq, tfidf.median_idf)
    return table  # type: ignore[no-any-return]


# --- chunks -----------------------------------------------------------------------

# A token: (shown form, key form, in a chunk); chunks are lists of token indices.


def _english_chunks(text: str, stop_words: frozenset[str], keep_case: bool) -> tuple[list[str], list[list[int]]]:
    words: list[str] = []
    chunks: list[list[int]] = []
    chunk: list[int] = []
    end = 0  # where the word before ended
    for match in _WORD.finditer(text):
        start = match.start()
        gap_breaks = _BREAK.search(text, end, start) is not None
        end = match.end()
        if chunk and gap_breaks:
            chunks.append(chunk)
            chunk = []
        word = match.group()
        folded = word.casefold()
        if (
            len(word) < 2
            or folded in stop_words
            or not any(c.isalpha() for c in word)
            or folded.strip("'\u2019") in stop_words
        ):
            if chunk:
                chunks.append(chunk)
                chunk = []
            continue
        if folded.endswith(("'s", "\u2019s")):
            word = word[:-2]
            folded = folded[:-2]
        chunk.append(len(words))
        words.append(word if keep_case else folded)
    if chunk:
        chunks.append(chunk)
    return words, chunks


def _chinese_chunks(text: str, stop_words: frozenset[str], keep_case: bool) -> tuple[list[str], list[list[int]]]:
    from .extract import load_jieba

    jieba = load_jieba("keyphrases in Chinese")
    words: list[str] = []
    chunks: list[list[int]] = []
    chunk: list[int] = []
    for word, flag in _tagged(jieba, text):
        if word.isspace():
            continue
        folded = word.casefold()
        if (
            flag not in _CHINESE_TAGS
            or folded in stop_words
            or not any(c.isalpha() for c in word)
            or (flag == "eng" and len(word) < 2)
        ):
            if chunk:
                chunks.append(chunk)
                chunk = []
            continue
        chunk.append(len(words))
        words.append(word if keep_case else folded)
    if chunk:
        chunks.append(chunk)
    return words, chunks


def _tagged(jieba: Any, text: str) -> Any:
    # jieba's dictionary gives each word it knows a part of speech; a word it
    # does not know (found by its HMM) is a noun, or "eng" in Latin letters.
    tags = _cache.get("zh_tags")
    if tags is None:
        from jieba import posseg  # type: ignore[import-not-found, import-untyped, unused-ignore]

        posseg.initialize()
        tags = _cache["zh_tags"] = posseg.dt.word_tag_tab
    result = []
    for word in jieba.lcut(text):
        flag = tags.get(word)
        if flag is None:
            flag = "eng" if word.isascii() and any(c.isalpha() for c in word) else ("n" if any(c.isalpha() for c in word) else "x")
        result.append((word, flag))
    return result


# --- ranking ------------------------------------------------------------------------


def _word_ranks(keys: list[int], n_keys: int) -> list[float]:
    """Position-biased PageRank of the words *keys* (numbers 0 .. n_keys - 1, in text order)."""
    from .sparse import personalized_pagerank

    restart = [0.0] * n_keys
    for position, key in enumerate(keys):
        restart[key] += 1.0 / (1.0 + position)
    return personalized_pagerank(keys, restart, WINDOW, DAMPING, ITERATIONS)  # type: ignore[no-any-return]


def keyphrases(
    text: str, *, language: str | None = "en", top: int | None = 10, stop_words: frozenset[str] = frozenset(),
    keep_case: bool = False,
) -> list[tuple[str, float]]:
    """The keyphrases of *text*, best first, as ``(phrase, score)`` pairs.

    *stop_words* are added to the language's own; see the module's text for the method.
    """
    text = unicodedata.normalize("NFC", text)
    chinese = language == "zh"
    if chinese:
        words, chunks = _chinese_chunks(text, stop_words, keep_case)
    else:
        stops = english_stop_words() | stop_words if language == "en" else stop_words
        words, chunks = _english_chunks(text, stops, keep_case)
    if not words:
        return []
    # Stems number the words; a word's key is its stem's number.
    if chinese:
        stems = [word.casefold() for word in words]
    else:
        distinct = list(dict.fromkeys(word.casefold() for word in words))
        stem_of = dict(zip(distinct, _stemmer().stemWords(distinct)))
        stems = [stem_of[word.casefold()] for word in words]
    numbers: dict[str, int] = {}
    keys = [numbers.setdefault(stem, len(numbers)) for stem in stems]
    ranks = _word_ranks(keys, len(numbers))
    # Rarity of each stem: that of its first word.
    first_word: dict[int, str] = {}
    for word, key in zip(words, keys):
        first_word.setdefault(key, word.casefold())
    ordered = [first_word[key] for key in range(len(numbers))]
    if chinese:
        table, median = _chinese_rarity()
        rarity = [table.get(word, median) for word in ordered]
    elif language == "en":
        rarity = _rarity_of_english(ordered)
    else:
        rarity = [1.0] * len(ordered)
    scale = len(numbers)
    word_score = [rank * weight**RARITY_POWER * scale for rank, weight in zip(ranks, rarity)]



    # Candidates: runs of 1 .. MAX_WORDS words within a chunk.
    counts: dict[tuple[int, ...], int] = {}
    first: dict[tuple[int, ...], int] = {}
    forms: dict[tuple[int, ...], dict[tuple[int, int], int]] = {}
    whole: dict[tuple[int, ...], int] = {}
    for chunk in chunks:
        length = len(chunk)
        for i in range(length):
            for n in range(1, min(MAX_WORDS, length - i) + 1):
                span = chunk[i : i + n]
                candidate = tuple(keys[j] for j in span)
                if candidate in counts:
                    counts[candidate] += 1
                else:
                    counts[candidate] = 1
                    first[candidate] = span[0]
                    forms[candidate] = {}
                if n == length:
                    whole[candidate] = whole.get(candidate, 0) + 1
                surface = (span[0], n)
                form = forms[candidate]
                form[surface] = form.get(surface, 0) + 1
    # A candidate that never occurs apart from a longer one is left to it.
    absorbed = set()
    for candidate, count in counts.items():
        if len(candidate) > 1:
            for part in (candidate[1:], candidate[:-1]):
                if counts.get(part) == count:
                    absorbed.add(part)
    scored = []
    for candidate, count in counts.items():
        if candidate in absorbed:
            continue
        n = len(candidate)
        if chinese and n == 1 and len(words[first[candidate]]) < 2:
            continue
        if len(set(candidate)) < n:
            continue
        mean = math.fsum(word_score[key] for key in candidate) / n
        score = (
            mean
            * n**LENGTH_GAIN
            * count**FREQUENCY_GAIN
            * (1.0 + POSITION_GAIN / (1.0 + first[candidate] / POSITION_SCALE))
            * (1.0 + CHUNK_GAIN * whole.get(candidate, 0) / count)
        )
        scored.append((score, first[candidate], candidate))
    scored.sort(key=lambda item: (-item[0], item[1]))

    result: list[tuple[str, float]] = []
    chosen: set[frozenset[int]] = set()
    chosen_phrases: list[tuple[int, ...]] = []
    joiner = "" if chinese else " "
    for score, _, candidate in scored:
        if top and len(result) >= top:
            break
        bag = frozenset(candidate)
        if bag in chosen:
            continue
        if any(
            len(other) > len(candidate) and counts[other] >= counts[candidate] and _inside(candidate, other)
            for other in chosen_phrases
        ):
            continue
        chosen.add(bag)
        chosen_phrases.append(candidate)
        start, n = max(forms[candidate].items(), key=lambda item: item[1])[0]
        result.append((_show(words, start, n, joiner), score))
    return result


def _inside(short: tuple[int, ...], long: tuple[int, ...]) -> bool:
    n = len(short)
    return any(long[i : i + n] == short for i in range(len(long) - n + 1))


def _show(words: list[str], start: int, n: int, joiner: str) -> str:
    parts = words[start : start + n]
    if joiner:
        return joiner.join(parts)
    # Chinese words join directly, Latin words with a space between them.
    text = parts[0]
    for before, part in zip(parts, parts[1:]):
        text += (" " if before[-1:].isascii() and part[:1].isascii() else "") + part
    return text

