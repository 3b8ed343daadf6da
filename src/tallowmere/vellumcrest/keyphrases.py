"""Keyphrases of raw text: ``keywords(text, method="keyphrases")``.

A document becomes keyphrases in four steps:

1. **Chunks.** HTML character references are decoded, the text is cut into
   words (a hyphenated compound is one word) and split into chunks at
   punctuation, at stop words (the package's own, and stopwordsiso's less its
   nouns), at numbers, at one-letter words, after a first line that is a
   heading (at most :data:`HEADING_CHARS` characters, with no sentence end)
   and, in English, at words whose most frequent part of speech in
   TextBlob's lexicon is a verb other than a participle, a modal or an
   adverb, and after a possessive ("Snyder's").  Chinese is cut by jieba,
   and a chunk also ends at every word that jieba's dictionary tags as a
   pronoun, number, measure word, adverb, preposition, conjunction or
   particle (its prefixes and suffixes, "非" and "型", stay in their
   compounds, and no keyphrase begins with a suffix).
2. **Candidates.** Every run of one to :data:`MAX_WORDS` words inside a chunk
   is a candidate, seen once or more.  Variants that stem alike ("neural
   networks", "neural network") are one candidate, shown in their most
   frequent form.  No English keyphrase ends with an adjective or a past
   participle, and no Chinese keyphrase is one character, or a verb alone
   that is common in the language (a rarer one keeps half its score).
3. **Word scores.** The words (by stem) that occur within ``window - 1``
   positions of each other, stop words left out, are linked, weighted by how
   often they do; a PageRank whose restarts favour early words (each
   occurrence at position *p* adds 1 / (1 + p) to its word's share) ranks
   them.  A word's score is its rank times a power of its rarity in the
   language: the inverse frequency in a background table, ``wordfreq`` for
   English, jieba's idf table for Chinese.
4. **Phrase scores.** A candidate scores the mean of its words' scores,
   times gains for its length, its count, an early first occurrence, its
   spread over the text, standing as a whole chunk and (for phrases) how
   often its words occur together rather than apart, and, in Chinese,
   occurring in a title (and a loss for each character beyond five); a
   single word keeps only part of its score unless it stands alone.  See
   :class:`Weights`.
   Best first, a keyphrase lowers the score of the candidates that share a
   word with it; the same words in another order as a chosen keyphrase are
   left out, and (in English) a part of one that occurs no more often than
   it comes only after every other candidate.

The English cutter and the graph ranking run in the sparse engine
(:func:`tallowmere.vellumcrest.sparse.tokens`,
:func:`tallowmere.vellumcrest.sparse.personalized_pagerank`).
"""

from __future__ import annotations

import heapq
import html
import importlib.util
import math
import re
import unicodedata
from collections.abc import Iterable, Iterator, Sequence
from operator import itemgetter
from pathlib import Path
from dataclasses import dataclass
from typing import Any

__all__ = ["CHINESE", "ENGLISH", "HEADING_CHARS", "MAX_WORDS", "Weights", "keyphrases"]

#: The most words a keyphrase has.
MAX_WORDS = 4


@dataclass(frozen=True)
class Weights:
    """How the features of a candidate weigh in its score."""

    #: Words closer than this many positions (stop words left out) are linked.
    window: int = 3
    #: PageRank's damping factor and number of updates.
    damping: float = 0.85
    iterations: int = 30
    #: A phrase of n words scores its mean word score times n ** length_gain,
    #: times its count ** frequency_gain.
    length_gain: float = 1.2
    frequency_gain: float = 1.0
    #: A word's rarity (its background inverse frequency, plus rarity_floor so
    #: that common words still count) weighs to this power.
    rarity_power: float = 2.0
    rarity_floor: float = 1.0
    #: An early first occurrence gains 1 + position_gain / (1 + first / position_scale).
    position_gain: float = 1.0
    position_scale: float = 50.0
    #: Found as a whole chunk (nothing but breaks and stop words on either
    #: side): up to 1 + chunk_gain, by the share of occurrences that are.
    chunk_gain: float = 0.5
    #: A single word keeps single_floor of its score, plus the rest by the
    #: share of its occurrences that stand alone as a chunk.
    single_floor: float = 0.25
    #: Spread from first to last occurrence, as a share of the text: up to
    #: 1 + spread_gain.
    spread_gain: float = 0.5
    #: A phrase's count over its most frequent word's count, to this power.
    cohesion_power: float = 0.25
    #: Each chosen keyphrase that shares a word with a candidate multiplies
    #: the candidate's score by this.
    overlap_decay: float = 0.4
    #: Whether a part of a longer candidate stays a candidate of its own even
    #: when it never occurs apart from it: the term a reader names is often a
    #: part of a longer run ("treatment planning" of "radiation therapy
    #: treatment planning").
    keep_parts: bool = True
    #: Whether such a part (one that occurs no more often than a chosen
    #: keyphrase holding it) takes its place by its score; if not, it comes
    #: only after every other candidate.
    parts_follow: bool = False
    #: Chinese: found in a heading (a first line, or what follows the last
    #: sentence end, of at most :data:`HEADING_CHARS` characters and with no
    #: sentence end of its own), times 1 + heading_gain.  (English abstracts
    #: and papers lost with it.)
    heading_gain: float = 0.0
    #: Chinese: a verb alone is a candidate when its rarity is at least
    #: verb_rarity (which leaves out "提出", propose, and "使用", use), and
    #: keeps verb_share of its score.
    verb_rarity: float = 5.5
    verb_share: float = 0.5
    #: A candidate of more than long_chars characters (0: of any length)
    #: scores long_decay times as much for each character beyond them.  A
    #: Chinese term is seldom longer than five characters, and a longer run
    #: of nouns is most often two terms side by side ("动物双歧杆菌").
    long_chars: int = 0
    long_decay: float = 0.75


#: The weights for English (and for text of no language).
ENGLISH = Weights()
#: The weights for Chinese: whole jieba words are already compounds, so single
#: words count in full and length less, and a term that recurs far from its
#: first occurrence (in a title after the abstract, say) is helped by its
#: spread.  Runs of nouns are long, and a part of a chosen one ("内皮功能" of
#: "血管内皮功能障碍") is often a term of its own, so parts follow it.  A
#: term in the title gains, and one of more than five characters loses.
CHINESE = Weights(
    length_gain=0.8,
    single_floor=1.0,
    spread_gain=3.0,
    overlap_decay=0.5,
    cohesion_power=0.0,
    parts_follow=True,
    heading_gain=2.0,
    long_chars=5,
)

#: The most characters a heading (a title, or a headline) has.
HEADING_CHARS = 60
_SENTENCE_ENDS = ".!?。！？"

# Jieba tags (by their first letter, or whole) kept inside Chinese
# keyphrases: nouns and names, verbs and verbal nouns, adjectives,
# distinguishing words, idioms, abbreviations, status words, times, places,
# words in Latin letters, and the prefixes and suffixes of compounds ("非",
# "型": "非线性", "综合征型耳聋"), though no keyphrase begins with a suffix.
# Pronouns, numbers, measure words, adverbs, prepositions, conjunctions,
# particles and punctuation end a keyphrase.
_CHINESE_TAG_LETTERS = frozenset("nvabljizhk")
_CHINESE_TAGS = frozenset({"eng", "t", "s"})
_CHINESE_SUFFIX = "k"

# Penn Treebank tags, by a word's most frequent one in the English lexicon:
# verbs that are not participles, modals and adverbs end a chunk, and
# adjectives and past participles do not end a keyphrase ("neural" alone, or
# "networks trained", is no keyphrase; "neural networks" and "trained
# networks" are).
_BREAKING_TAGS = frozenset({"VB", "VBD", "VBZ", "VBP", "MD", "RB", "RBR", "RBS", "WRB"})
_NOT_FINAL_TAGS = frozenset({"JJ", "JJR", "JJS", "VBN"})

# Tagged as nouns by the lexicon, but no keyphrase's words.
_INDEFINITE_PRONOUNS = frozenset(
    f"{first}{last}" for first in ("any", "every", "no", "some") for last in ("body", "one", "thing")
) | {"none"}

# An HTML character reference ("&amp;", "&#8217;"), as text copied from web
# pages holds them.
_CHARACTER_REFERENCE = re.compile(r"&(?:#[0-9]{1,7}|#[xX][0-9a-fA-F]{1,6}|[A-Za-z][A-Za-z0-9]{1,31});")

_cache: dict[str, Any] = {}


# --- the libraries ----------------------------------------------------------------


def _stemmer() -> Any:
    stemmer = _cache.get("stemmer")
    if stemmer is None:
        import snowballstemmer  # type: ignore[import-not-found, import-untyped, unused-ignore]

        # snowballstemmer runs PyStemmer's compiled stemmers when it is installed.
        stemmer = _cache["stemmer"] = snowballstemmer.stemmer("english")
    return stemmer


#: The most stems kept between calls (documents share most of their words,
#: and without PyStemmer, a required dependency, the stemmer is pure Python).
STEM_CACHE_SIZE = 200_000


def _english_stems(words: Sequence[str]) -> dict[str, str]:
    """The stem of each of *words*, from the stems kept between calls."""
    known: dict[str, str] = _cache.setdefault("stems_en", {})
    distinct = dict.fromkeys(words)
    new = [word for word in distinct if word not in known]
    if new:
        if len(known) + len(new) > STEM_CACHE_SIZE:
            known.clear()  # and this text's words are all stemmed anew
            new = list(distinct)
        known.update(zip(new, _stemmer().stemWords(new)))
    return known


def english_tags() -> dict[str, str]:
    """Each English word's most frequent part of speech (a Penn Treebank tag),
    by its lower-case form: the lexicon that TextBlob ships."""
    tags = _cache.get("tags_en")
    if tags is None:
        tags = _cache["tags_en"] = _read_lexicon()
    return tags


def _read_lexicon() -> dict[str, str]:
    # The lexicon is read from TextBlob's data file directly: importing
    # TextBlob imports nltk, which takes over a second.  Its public
    # textblob.en.lexicon is the fallback when the file is not where
    # textblob.en finds it.
    package = importlib.util.find_spec("textblob")
    folders = package.submodule_search_locations if package is not None else None
    path = Path(next(iter(folders))) / "en" / "en-lexicon.txt" if folders else None
    if path is None or not path.is_file():
        from textblob.en import lexicon  # type: ignore[import-not-found, import-untyped, unused-ignore]

        entries: Any = lexicon.items()
    else:
        entries = (line.split(None, 2)[:2] for line in path.read_text(encoding="utf-8").splitlines())
    lower: dict[str, str] = {}
    capitalised: dict[str, str] = {}
    for entry in entries:
        if len(entry) != 2 or entry[0].startswith(";;;"):
            continue
        word, tag = entry
        folded = word.casefold()
        (lower if word == folded else capitalised).setdefault(folded, tag)
    # A word's lower-case entry is its tag; a name's only for words that have none.
    return capitalised | lower


def english_stop_words() -> frozenset[str]:
    """The English stop words of keyphrases: the package's own function words
    and stopwordsiso's English list, less its nouns.

    stopwordsiso gathers many lists, search engines' among them, and so holds
    nouns such as "information", "system", "problem" and "state", which are
    the heads of many terms ("information retrieval", "quantum state").  A
    word of its list that the lexicon tags as a noun is kept as a word,
    unless it has two letters or fewer ("mr", "uk", "tv"), is an indefinite
    pronoun (the lexicon tags "anyone" and "nothing" as nouns too), or is as
    often a verb: its third-person form is tagged as one ("needs", "uses").
    """
    words = _cache.get("stop_en")
    if words is None:
        import stopwordsiso  # type: ignore[import-not-found, import-untyped, unused-ignore]

        from .data import stop_words_for

        tags = english_tags()
        listed = frozenset(stopwordsiso.stopwords("en"))
        nouns = {
            word
            for word in listed
            if tags.get(word, "").startswith("NN")
            and len(word) > 2
            and word not in _INDEFINITE_PRONOUNS
            and "VBZ" not in (tags.get(word + "s"), tags.get(word + "es"))
        }
        words = _cache["stop_en"] = frozenset(stop_words_for("en")) | (listed - nouns)
    return words


def chinese_stop_words() -> frozenset[str]:
    """stopwordsiso's Chinese stop words (the package's own come with the options)."""
    words = _cache.get("stop_zh")
    if words is None:
        import stopwordsiso  # type: ignore[import-not-found, import-untyped, unused-ignore]

        words = _cache["stop_zh"] = frozenset(stopwordsiso.stopwords("zh"))
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
        result.append(max(top - zipf, 0.0))
    return result


def _chinese_rarity() -> tuple[dict[str, float], float]:
    table = _cache.get("rarity_zh")
    if table is None:
        from .text import load_jieba

        load_jieba()
        import jieba.analyse  # type: ignore[import-not-found, import-untyped, unused-ignore]

        tfidf = jieba.analyse.default_tfidf
        table = _cache["rarity_zh"] = (tfidf.idf_freq, tfidf.median_idf)
    return table


# --- chunks -----------------------------------------------------------------------

# A text's words are kept as its distinct forms and each word's form number
# (see _Words); chunks are runs of kept words: the ranges of their numbers in
# the text's words (a chunk's words are consecutive).


def _index_type(n: int) -> Any:
    """The numpy type that the word arrays of a text with *n* words (or
    forms, or keys) use: 32 bits where they hold every number below *n*,
    which halves a long text's arrays on 64-bit machines."""
    import numpy

    return numpy.int32 if n <= numpy.iinfo(numpy.int32).max else numpy.intp


class _Words:
    """The words of a text: *forms*, each distinct form once in order of first
    occurrence, and *ids*, each word's place in *forms* (a numpy array)."""

    __slots__ = ("forms", "ids")

    def __init__(self, forms: list[str], ids: Any) -> None:
        self.forms = forms
        self.ids = ids

    @classmethod
    def of(cls, words: Sequence[str]) -> _Words:
        import numpy

        number: dict[str, int] = {}
        ids = [number.setdefault(word, len(number)) for word in words]
        return cls(list(number), numpy.array(ids, dtype=numpy.intp))

    def __len__(self) -> int:
        return len(self.ids)

    def run(self, start: int, n: int) -> list[str]:
        """The forms of the *n* words from word *start* on."""
        return [self.forms[i] for i in self.ids[start : start + n].tolist()]


def _english_chunks(
    text: str | Iterable[str], stop_words: frozenset[str], keep_case: bool, tags: dict[str, str]
) -> tuple[_Words, _Chunks, Any]:
    """The words and chunks of *text*, and for each word whether a keyphrase
    may not end with it (a numpy array).  A first line that is a heading
    (see :func:`_heading_end`) ends a chunk."""
    import numpy

    from .sparse import tokens

    # What becomes of a token (its form in a keyphrase, or none when it ends
    # a chunk, whether a chunk ends after it and whether a keyphrase may end
    # with it) is worked out once per distinct token: a long text repeats its
    # words many times.  The compiled cutter gives each block's distinct
    # tokens and each token's number among them; the rest runs on numpy's
    # arrays, a block at a time.
    form_number: dict[str, int] = {}
    # token: 4 * its form's number, + 2 if a chunk ends after it, + 1 if no
    # keyphrase ends with it; or -1
    code_of: dict[str, int] = {}
    # For each word its form and whether it may end no keyphrase; the words
    # that begin a chunk.
    ids = [numpy.zeros(0, dtype=numpy.int32)]
    not_final = [numpy.zeros(0, dtype=bool)]
    starts = [numpy.zeros(0, dtype=numpy.int32)]
    n_words = 0
    after_word = False  # whether the last token of the blocks so far is a word
    for block, heading in _english_blocks(text):
        distinct, packed = tokens(block)
        for token in distinct:
            if token not in code_of:
                form, ends, not_last = _kept_english(token, stop_words, keep_case, tags)
                if form:
                    code_of[token] = 4 * form_number.setdefault(form, len(form_number)) + 2 * ends + not_last
                else:
                    code_of[token] = -1
        codes = numpy.fromiter(
            map(code_of.__getitem__, distinct), dtype=_index_type(4 * len(form_number) + 3), count=len(distinct)
        )[numpy.frombuffer(packed, dtype=numpy.uint32)]
        if not len(codes):
            continue
        is_word = codes >= 0
        ends_chunk = is_word & (codes & 2 != 0)
        begin = is_word.copy()
        begin[1:] &= ~is_word[:-1] | ends_chunk[:-1]
        begin[0] &= not after_word
        after_word = bool(is_word[-1] and not ends_chunk[-1]) and not heading
        word_codes = codes[is_word]
        ids.append(word_codes >> 2)
        not_final.append((word_codes & 1).astype(bool))
        index = _index_type(n_words + len(word_codes))
        starts.append(numpy.flatnonzero(begin[is_word]).astype(index) + index(n_words))
        n_words += len(word_codes)
    first = numpy.concatenate(starts)
    chunks = _Chunks(first, _gaps(first, n_words))
    return _Words(list(form_number), numpy.concatenate(ids)), chunks, numpy.concatenate(not_final)


def _gaps(starts: Any, end: int) -> Any:
    """How far each of the increasing numpy array *starts* is from the next,
    the last from *end*."""
    import numpy

    gaps = numpy.empty_like(starts)
    numpy.subtract(starts[1:], starts[:-1], out=gaps[:-1])
    gaps[-1:] = end - starts[-1:]
    return gaps


class _Chunks:
    """Chunks as runs of consecutive word numbers, in two numpy arrays (of
    :func:`_index_type`): each one's first word and its length."""

    __slots__ = ("starts", "lengths")

    def __init__(self, starts: Any, lengths: Any) -> None:
        self.starts = starts
        self.lengths = lengths

    @classmethod
    def of(cls, runs: Sequence[Sequence[int]]) -> _Chunks:
        """The chunks *runs*, each a sequence of consecutive word numbers."""
        import numpy

        return cls(
            numpy.fromiter(map(itemgetter(0), runs), dtype=numpy.intp, count=len(runs)),
            numpy.fromiter(map(len, runs), dtype=numpy.intp, count=len(runs)),
        )


#: The English cutter finds the tokens of a long text a block of about this
#: many characters at a time, so that it holds one block's tokens at once.
BLOCK = 1 << 20


def _block_ends(text: str, size: int) -> Iterator[int]:
    """Where the blocks of *text* end: each at least *size* characters after
    the last, just after a line break that a non-space character follows
    (no token spans such a place: a word holds no space, and a run of
    spacing with its paragraph break ends there), and the last at the end."""
    start = 0
    while start + size < len(text):
        end = text.find("\n", start + size - 1)
        while end != -1 and end + 1 < len(text) and text[end + 1].isspace():
            end = text.find("\n", end + 1)
        if end == -1 or end + 1 >= len(text):
            break
        start = end + 1
        yield start
    yield len(text)


def _regrouped(pieces: Iterable[str], size: int) -> Iterator[str]:
    """The text of *pieces* (consecutive parts of one text) in blocks that
    end where :func:`_block_ends` ends them."""
    pending: list[str] = []
    held = 0
    # After a look for an end finds none, the next waits until twice as much
    # is held: text with few places to end (every line indented) is then
    # looked through a bounded number of times, not once per piece.
    wait = size
    for piece in pieces:
        pending.append(piece)
        held += len(piece)
        if held < wait:
            continue
        text = "".join(pending)
        start = 0
        for end in _block_ends(text, size):
            if end == len(text):  # the rest, which the next pieces may continue
                break
            yield text[start:end]
            start = end
        pending, held = [text[start:]], len(text) - start
        wait = size if start else 2 * held
    text = "".join(pending)
    if text:
        yield text


def _blocks(text: str | Iterable[str], size: int | None = None) -> Iterator[str]:
    """The blocks of *text* (a string, or the consecutive pieces of one)
    with character references decoded, in NFC.

    Together they are the whole text decoded and then put in NFC: no
    reference spans a line break, no character composes with one, and none
    is reordered across one.  So a block that is not in NFC is put in NFC a
    line at a time: most lines already are, and normalize() then returns
    them as they are, far sooner than it can work through a whole block."""
    for block in _regrouped([text] if isinstance(text, str) else text, size or BLOCK):
        block = _decoded(block)
        if not unicodedata.is_normalized("NFC", block):
            block = "\n".join([unicodedata.normalize("NFC", line) for line in block.split("\n")])
        yield block


def _kept_english(
    word: str, stop_words: frozenset[str], keep_case: bool, tags: dict[str, str]
) -> tuple[str, bool, bool]:
    """*word* as a keyphrase shows it ("" when it ends a chunk), whether a
    chunk ends after it (a possessive: "Snyder" of "Zack Snyder's upcoming
    film"), and whether a keyphrase may not end with it."""
    folded = word.casefold()
    tag = tags.get(folded)
    if (
        len(word) < 2
        or folded in stop_words
        or not any(c.isalpha() for c in word)
        or folded.strip("'\u2019") in stop_words
        or tag in _BREAKING_TAGS
    ):
        return "", False, False
    possessive = folded.endswith(("'s", "\u2019s"))
    if possessive:
        word, folded = word[:-2], folded[:-2]
    return (word if keep_case else folded), possessive, tag in _NOT_FINAL_TAGS


def _english_blocks(text: str | Iterable[str]) -> Iterator[tuple[str, bool]]:
    """The blocks of *text* (see :func:`_blocks`), each with whether a chunk
    ends with it: a first line that is a heading is a block of its own, and
    ends one.  (The first block holds the whole first line, as blocks end
    only at line breaks.)"""
    blocks = _blocks(text)
    first = next(blocks, None)
    if first is None:
        return
    end = _heading_end(first)
    if end:
        yield first[:end], True
        first = first[end:]
    yield first, False
    for block in blocks:
        yield block, False


def _heading_end(text: str) -> int:
    """Where the first line of *text* ends when it is a heading (it has at
    most :data:`HEADING_CHARS` characters, not all of them space, and no
    sentence end), or 0."""
    end = text.find("\n")
    line = text[: max(end, 0)]
    if not 0 < len(line.strip()) <= HEADING_CHARS or any(mark in line for mark in _SENTENCE_ENDS):
        return 0
    return end


def _headings(text: str) -> tuple[int, int]:
    """Where *text*'s headings end and start, as the end of the first and
    the start of the last: the first line when the text has more than one
    and the rest of the text after the last sentence end (a title placed
    after an abstract), each when it has at most :data:`HEADING_CHARS`
    characters and no sentence end of its own.  With neither, (0, the
    length of the text without its closing whitespace)."""
    text = text.rstrip()
    lead = _heading_end(text)
    tail = max(map(text.rfind, _SENTENCE_ENDS)) + 1  # 0: no sentence end
    if not tail or len(text) - tail > HEADING_CHARS or not text[tail:].strip():
        tail = len(text)
    return lead, tail


def _chinese_chunks(
    text: str, stop_words: frozenset[str], keep_case: bool, verbs: list[bool], suffixes: list[bool]
) -> tuple[_Words, _Chunks, tuple[int, int]]:
    """The words and chunks of *text*, and (in words) where its headings
    end and start (see :func:`_headings`); whether each word is a verb, and
    a suffix, is appended to *verbs* and *suffixes*."""
    from .text import load_jieba

    jieba = load_jieba()
    words: list[str] = []
    chunks: list[range] = []
    start = 0  # the first word of the chunk under way
    lead, tail = _headings(text)
    # In words: the first heading ends before lead_words, the last starts at tail_words.
    lead_words, tail_words = 0, None
    end = 0  # where the word under way ends in the text
    for word, flag in _tagged(jieba, text):
        if tail_words is None and end >= tail:
            tail_words = len(words)
        after_lead = end >= lead
        end += len(word)
        if word.isspace():
            continue
        if after_lead and start < lead_words:  # a chunk under way from the first heading ends with it
            chunks.append(range(start, len(words)))
            start = len(words)
        folded = word.casefold()
        if (
            (flag[:1] not in _CHINESE_TAG_LETTERS and flag not in _CHINESE_TAGS)
            or folded in stop_words
            or not any(c.isalpha() for c in word)
            or (flag == "eng" and len(word) < 2)
        ):
            if len(words) > start:
                chunks.append(range(start, len(words)))
                start = len(words)
            continue
        words.append(word if keep_case else folded)
        verbs.append(flag[:1] == "v" and flag != "vn")
        suffixes.append(flag == _CHINESE_SUFFIX)
        if end <= lead:
            lead_words = len(words)
    if len(words) > start:
        chunks.append(range(start, len(words)))
    return _Words.of(words), _Chunks.of(chunks), (lead_words, len(words) if tail_words is None else tail_words)


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
            lettered = any(c.isalpha() for c in word)
            flag = ("eng" if word.isascii() else "n") if lettered else "x"
        result.append((word, flag))
    return result


# --- ranking ------------------------------------------------------------------------


def _word_ranks(keys: Any, n_keys: int, weights: Weights) -> list[float]:
    """Position-biased PageRank of the words *keys* (a numpy array of numbers
    0 .. n_keys - 1, in text order)."""
    import numpy

    from .sparse import personalized_pagerank

    # Each word adds 1 / (1 + its position) to its key's weight, in text
    # order (add.at adds in the order of its input), a block of words at a
    # time: no array of every word's weight.
    restart = numpy.zeros(n_keys)
    for start in range(0, len(keys), BLOCK):
        part = keys[start : start + BLOCK]
        numpy.add.at(restart, part, 1.0 / (1.0 + numpy.arange(start, start + len(part))))
    return personalized_pagerank(keys, restart.tolist(), weights.window, weights.damping, weights.iterations)


def keyphrases(
    text: str | Iterable[str],
    *,
    language: str | None = "en",
    top: int | None = 10,
    stop_words: frozenset[str] = frozenset(),
    keep_case: bool = False,
    weights: Weights | None = None,
) -> list[tuple[str, float]]:
    """The keyphrases of *text*, best first, as ``(phrase, score)`` pairs.

    *text* is a string, or the consecutive pieces of one (such as the lines
    of a file opened as text): English is then read a block at a time, and
    the whole text is never held.

    *stop_words* are added to the language's own; *weights* default to
    :data:`ENGLISH` or :data:`CHINESE`.  See the module's text for the method.
    """
    chinese = language == "zh"
    if weights is None:
        weights = CHINESE if chinese else ENGLISH
    verbs: list[bool] = []  # Chinese: whether each word is a verb
    not_first: list[bool] | None = None  # Chinese: for each word, whether a keyphrase may not begin with it
    not_final = None  # English: for each word, whether a keyphrase may not end with it
    heading = None  # Chinese: the words of the headings, before the first and from the second on
    if chinese:
        text = unicodedata.normalize("NFC", _decoded(text if isinstance(text, str) else "".join(text)))
        not_first = []  # the suffixes
        words, chunks, heading = _chinese_chunks(text, chinese_stop_words() | stop_words, keep_case, verbs, not_first)
    else:
        stops = english_stop_words() | stop_words if language == "en" else stop_words
        tags = english_tags() if language == "en" else {}
        words, chunks, not_final = _english_chunks(text, stops, keep_case, tags)  # decoded and in NFC a block at a time
    if not len(words):
        return []
    # A word's key is the number of its stem, in order of first occurrence:
    # the forms are in order of first occurrence, and so, taken in their
    # order, are the folded forms and their stems.
    import numpy

    folded = [form.casefold() for form in words.forms] if keep_case else words.forms
    distinct = list(dict.fromkeys(folded))
    stem_of = _english_stems(distinct) if language == "en" else dict(zip(distinct, distinct))
    numbers: dict[str, int] = {}
    key_of = {word: numbers.setdefault(stem_of[word], len(numbers)) for word in distinct}
    keys = numpy.fromiter(map(key_of.__getitem__, folded), dtype=_index_type(len(numbers)), count=len(folded))[
        words.ids
    ]
    # A stem weighs as rare as its first word.
    first_word: dict[int, str] = {}
    for word, key in key_of.items():
        first_word.setdefault(key, word)
    word_score = _word_scores(keys, list(first_word.values()), language, weights)
    scored = _candidates(words, keys, chunks, word_score, verbs, not_first, not_final, heading, weights)
    chosen = _choose(scored, len(numbers), top, weights)
    shown = _forms(chosen, words, keys, chunks)
    joiner = "" if chinese else " "
    return [(_show(words.run(shown[candidate], len(candidate)), joiner), score) for candidate, score in chosen]


def _word_scores(keys: Any, ordered: list[str], language: str | None, weights: Weights) -> list[float]:
    """The score of each key, *ordered* giving its first word."""
    n_keys = len(ordered)
    ranks = _word_ranks(keys, n_keys, weights)
    if language == "zh":
        table, median = _chinese_rarity()
        rarity = [table.get(word, median) for word in ordered]
    elif language == "en":
        rarity = _rarity_of_english(ordered)
    else:
        rarity = [0.0] * n_keys
    # Ranks sum to 1: scaled by the number of words, an average word's is 1.
    return [
        rank * n_keys * (weight + weights.rarity_floor) ** weights.rarity_power for rank, weight in zip(ranks, rarity)
    ]


class _Counts:
    """The candidates and where they occur, a length at a time: for each n
    from 1 to :data:`MAX_WORDS`, the distinct runs of n word keys inside
    chunks, in order of their first start, as numpy arrays.

    ``runs[n]`` holds their keys (one row each); ``times``, ``first`` and
    ``last`` their counts and first and last starts; ``whole`` how often
    each is a whole chunk; ``prefix`` and ``suffix`` (for n > 1) the rows,
    among the runs of n - 1, of each one's first and last n - 1 words.
    """

    __slots__ = ("runs", "times", "first", "last", "whole", "prefix", "suffix")

    def __init__(self, keys: Any, chunks: _Chunks) -> None:
        """*keys*: each word's key, a numpy array or a sequence of ints."""
        import numpy

        from .sparse import count_runs

        self.runs: dict[int, Any] = {}
        self.times: dict[int, Any] = {}
        self.first: dict[int, Any] = {}
        self.last: dict[int, Any] = {}
        self.whole: dict[int, Any] = {}
        self.prefix: dict[int, Any] = {}
        self.suffix: dict[int, Any] = {}
        # Counted in the sparse engine, as arrays of numpy's index type.
        counted = count_runs(keys, chunks.starts, chunks.lengths, MAX_WORDS)
        for n, parts in enumerate(counted, 1):
            runs, self.times[n], self.first[n], self.last[n], self.whole[n], prefix, suffix = (
                numpy.frombuffer(part, dtype=numpy.intp) for part in parts
            )
            self.runs[n] = runs.reshape(-1, n)
            if n > 1:
                self.prefix[n], self.suffix[n] = prefix, suffix


def _candidates(
    words: _Words,
    keys: Any,
    chunks: _Chunks,
    word_score: list[float],
    verbs: list[bool],
    not_first: list[bool] | None,
    not_final: Any,
    heading: tuple[int, int] | None,
    weights: Weights,
) -> _Scored:
    """The candidates and their scores; a candidate that starts before
    heading[0] or from heading[1] on is in a heading."""
    import numpy

    found = _Counts(keys, chunks)
    lengths = sorted(found.runs)
    score_of = numpy.asarray(word_score, dtype=numpy.float64)
    single_count = numpy.zeros(len(word_score), dtype=numpy.intp)  # each word's count, as a candidate
    if lengths:
        single_count[found.runs[1][:, 0]] = found.times[1]
    n_words = len(words)
    # A run with a word twice is no keyphrase; one that never occurs apart
    # from a run a word longer is left to it (when that one can be one).
    distinct = {}
    for n in lengths:
        runs = found.runs[n]
        distinct[n] = numpy.ones(len(runs), dtype=bool)
        for i in range(n):
            for j in range(i + 1, n):
                distinct[n] &= runs[:, i] != runs[:, j]
    absorbed = {n: numpy.zeros(len(found.runs[n]), dtype=bool) for n in lengths}
    for n in lengths[1:] if not weights.keep_parts else ():
        for parts in (found.prefix[n], found.suffix[n]):
            absorbed[n - 1][parts[distinct[n] & (found.times[n] == found.times[n - 1][parts])]] = True
    scored: list[tuple[Any, Any, Any, Any]] = []
    lone_verb = None  # Chinese: for each single-word candidate, whether it is a verb
    begins_none = None if not_first is None else numpy.asarray(not_first, dtype=bool)
    key_chars = None  # each key's length in characters (its forms differ in case at most)
    if weights.long_chars:
        key_chars = numpy.zeros(len(word_score), dtype=numpy.intp)
        key_chars[keys] = numpy.fromiter(map(len, words.forms), dtype=numpy.intp, count=len(words.forms))[words.ids]
    for n in lengths:
        runs, times, first, last = found.runs[n], found.times[n], found.first[n], found.last[n]
        keep = distinct[n] & ~absorbed[n]
        if verbs and n == 1:
            # One character, or a common verb alone ("提出", propose), is no keyphrase.
            table, median = _chinese_rarity()
            forms = words.forms
            short = numpy.fromiter(map(len, forms), dtype=numpy.intp, count=len(forms)) < 2
            common = numpy.fromiter(
                (table.get(form, median) < weights.verb_rarity for form in forms), dtype=bool, count=len(forms)
            )
            lone_verb = numpy.asarray(verbs, dtype=bool)[first]
            keep &= ~(short[words.ids[first]] | (lone_verb & common[words.ids[first]]))
            lone_verb = lone_verb[keep]
        if begins_none is not None:
            # A suffix begins no keyphrase.
            keep &= ~begins_none[first]
        if not_final is not None:
            # An adjective or a participle ends no keyphrase.
            keep &= ~not_final[first + (n - 1)]
        runs, times, first, last = runs[keep], times[keep], first[keep], last[keep]
        whole = found.whole[n][keep]
        # The score's factors, in the order (and so with the rounding) of
        # one candidate's: the sum of its word scores in their order, over n,
        # and then each gain.
        total = score_of[runs[:, 0]]
        for k in range(1, n):
            total = total + score_of[runs[:, k]]
        alone = whole / times
        score = (
            total
            / n
            * n**weights.length_gain
            * _power(times, weights.frequency_gain)
            * (1.0 + weights.position_gain / (1.0 + first / weights.position_scale))
            * (1.0 + weights.chunk_gain * alone)
            * (1.0 + weights.spread_gain * (last - first) / n_words)
        )
        if heading is not None and weights.heading_gain:
            score = score * (1.0 + weights.heading_gain * ((first < heading[0]) | (last >= heading[1])))
        if key_chars is not None:
            beyond = numpy.maximum(key_chars[runs].sum(axis=1) - weights.long_chars, 0)
            if beyond.any():
                score = score * numpy.array([weights.long_decay**k for k in range(int(beyond.max()) + 1)])[beyond]
        if n == 1:
            if lone_verb is not None:
                score = score * numpy.where(lone_verb, weights.verb_share, 1.0)
            score = score * (weights.single_floor + (1.0 - weights.single_floor) * alone)
        elif weights.cohesion_power:
            # A phrase's count over its most frequent word's count.
            most = single_count[runs].max(axis=1)
            score = score * _power(times / most, weights.cohesion_power)
        scored.append((runs, score, first, times))
    return _Scored(scored)


class _Scored:
    """The candidates, best first (of equal scores, the first to occur; of
    those, the shortest), in numpy arrays: a long text has some hundred
    thousand, and only the first few are looked at when few keyphrases are
    asked for.  *lengths* holds, for each length in turn, the candidates'
    keys (a row each), scores, first starts and counts; ``keys(i)``,
    ``score(i)``, ``first(i)`` and ``count(i)`` give the *i*-th best's."""

    __slots__ = ("_scores", "_firsts", "_counts", "_lengths", "_rows", "_runs")

    def __init__(self, lengths: list[tuple[Any, Any, Any, Any]]) -> None:
        import numpy

        self._runs = {runs.shape[1]: runs for runs, *_ in lengths}
        if not lengths:
            lengths = [(numpy.zeros((0, 1), dtype=numpy.intp),) + (numpy.zeros(0, dtype=numpy.intp),) * 3]
        scores, firsts, counts = (numpy.concatenate([part[k] for part in lengths]) for k in (1, 2, 3))
        # By score, then first start; lexsort is stable, so candidates equal
        # in both stay shortest first.
        order = numpy.lexsort((firsts, -scores))
        # The scores as floats: the choice compares them again and again.
        self._scores: list[float] = scores[order].tolist()
        self._firsts, self._counts = firsts[order], counts[order]
        runs_of = [runs for runs, *_ in lengths]
        self._lengths = numpy.concatenate([numpy.full(len(runs), runs.shape[1], dtype=numpy.int8) for runs in runs_of])
        self._lengths = self._lengths[order]
        self._rows = numpy.concatenate([numpy.arange(len(runs)) for runs in runs_of])[order]

    def __len__(self) -> int:
        return len(self._scores)

    def score(self, i: int) -> float:
        return self._scores[i]

    def first(self, i: int) -> int:
        """Where the *i*-th candidate first starts."""
        return int(self._firsts[i])

    def count(self, i: int) -> int:
        return int(self._counts[i])

    def keys(self, i: int) -> tuple[int, ...]:
        return tuple(self._runs[int(self._lengths[i])][self._rows[i]].tolist())


def _power(values: Any, exponent: float) -> Any:
    """Each of *values* (a numpy array) to the power *exponent*, exactly as
    Python's ** gives it (numpy's own may round otherwise): x ** 1.0 is x,
    and other powers are taken one by one, once for each distinct value of
    a long array."""
    import numpy

    if exponent == 1.0:
        return values.astype(numpy.float64)
    if len(values) < 1000:
        return numpy.array([value**exponent for value in values.tolist()], dtype=numpy.float64)
    distinct, where = numpy.unique(values, return_inverse=True)
    return numpy.array([value**exponent for value in distinct.tolist()], dtype=numpy.float64)[where.reshape(-1)]


def _choose(scored: _Scored, n_keys: int, top: int | None, weights: Weights) -> list[tuple[tuple[int, ...], float]]:
    """The best candidates, greedily, with their scores.

    Each chosen keyphrase lowers the score of the candidates that share a
    word with it (by ``overlap_decay`` for each such keyphrase), so that one
    term's variants do not fill the list.  Scores only fall, so candidates
    are taken in the order of their own scores, and one whose lowered score
    still beats the next one's own score and every lowered score waiting is
    the best now (a lazy greedy choice).  The same words in another order as
    a chosen keyphrase are left out.  Unless ``parts_follow``, so is a part
    of one that occurs no more often than it, until no other candidate is
    left: such parts then follow, best first.
    """
    waiting: list[tuple[float, int, int, tuple[int, ...], int]] = []  # (-lowered score, first, order, keys, chosen when lowered)
    result: list[tuple[tuple[int, ...], float]] = []
    bags: set[frozenset[int]] = set()
    uses = [0] * n_keys  # chosen keyphrases that hold each word
    holding: dict[int, list[tuple[tuple[int, ...], int]]] = {}  # the chosen keyphrases that hold each word, with their counts
    decay = weights.overlap_decay
    following = 0  # the next candidate in the order of scores
    parts: list[tuple[tuple[int, ...], float]] = []  # left out as parts of chosen keyphrases, in order of their scores
    while top is None or len(result) < top:
        if following < len(scored) and (not waiting or -waiting[0][0] <= scored.score(following)):
            entry = (-scored.score(following), scored.first(following), following, scored.keys(following), -1)
            following += 1
        elif waiting:
            entry = heapq.heappop(waiting)
        else:
            break
        negative, start, order, candidate, lowered_at = entry
        times = scored.count(order)
        bag = frozenset(candidate)
        if bag in bags:
            continue
        if not weights.parts_follow and any(
            len(other) > len(candidate) and count >= times and _inside(candidate, other)
            for other, count in holding.get(candidate[0], ())
        ):
            parts.append((candidate, -negative))
            continue
        if lowered_at < len(result):
            shared = max(uses[key] for key in bag)
            lowered = scored.score(order) * decay**shared
            if shared and not (
                (following >= len(scored) or lowered >= scored.score(following))
                and (not waiting or lowered >= -waiting[0][0])
            ):
                heapq.heappush(waiting, (-lowered, start, order, candidate, len(result)))
                continue
            negative = -lowered
        bags.add(bag)
        for key in bag:
            uses[key] += 1
            holding.setdefault(key, []).append((candidate, times))
        result.append((candidate, -negative))
    # A short text runs out of other candidates: the parts follow, scaled so
    # that the list stays best first.
    scale = min(1.0, result[-1][1] / parts[0][1]) if result and parts and parts[0][1] > 0.0 else 1.0
    for candidate, score in parts:
        if top is not None and len(result) >= top:
            break
        bag = frozenset(candidate)
        if bag not in bags:
            bags.add(bag)
            result.append((candidate, score * scale))
    return result


def _forms(
    chosen: list[tuple[tuple[int, ...], float]], words: _Words, keys: Any, chunks: _Chunks
) -> dict[tuple[int, ...], int]:
    """Where each chosen candidate shows its most frequent form (the earliest of equals)."""
    wanted: dict[int, list[tuple[int, ...]]] = {}
    for candidate, _ in chosen:
        wanted.setdefault(candidate[0], []).append(candidate)
    # Memory views give a word's key or form as an int, with no list of them all.
    key_at, form_at = memoryview(keys), memoryview(words.ids)
    tally: dict[tuple[int, ...], dict[tuple[int, ...], list[int]]] = {}
    for i, end in _starts_of(wanted, keys, chunks):
        for candidate in wanted[key_at[i]]:
            j = i + len(candidate)
            if j <= end and tuple(key_at[i:j]) == candidate:
                form = tally.setdefault(candidate, {}).setdefault(tuple(form_at[i:j]), [0, i])
                form[0] += 1
    return {
        candidate: max(forms.values(), key=lambda seen: (seen[0], -seen[1]))[1] for candidate, forms in tally.items()
    }


def _starts_of(wanted: dict[int, Any], keys: Any, chunks: _Chunks) -> Iterator[tuple[int, int]]:
    """Each word whose key is one of *wanted*, in text order, as its number
    and the end of its chunk."""
    import numpy

    is_wanted = numpy.zeros(int(keys.max()) + 1, dtype=bool)
    is_wanted[numpy.fromiter(wanted, dtype=numpy.intp, count=len(wanted))] = True
    places = numpy.flatnonzero(is_wanted[keys])
    chunk = numpy.searchsorted(chunks.starts, places, side="right") - 1  # every word is in a chunk
    yield from zip(places.tolist(), (chunks.starts[chunk] + chunks.lengths[chunk]).tolist())


def _inside(short: tuple[int, ...], long: tuple[int, ...]) -> bool:
    n = len(short)
    return any(long[i : i + n] == short for i in range(len(long) - n + 1))


def _decoded(text: str) -> str:
    """*text* with its HTML character references decoded."""
    return _CHARACTER_REFERENCE.sub(_character, text) if "&" in text else text


def _character(reference: re.Match[str]) -> str:
    return html.unescape(reference.group())


def _show(parts: list[str], joiner: str) -> str:
    if joiner:
        return joiner.join(parts)
    # Chinese words join directly, Latin words with a space between them.
    text = parts[0]
    for before, part in zip(parts, parts[1:]):
        text += (" " if before[-1:].isascii() and part[:1].isascii() else "") + part
    return text

