"""Keywords of raw text: :func:`keywords`, the path that the command line uses too.

A call goes through three steps, each a function of its own so that the
command line can spread them over processes:

1. :func:`make_options` checks the options once and returns an
   :class:`Options` value (picklable, for worker processes);
2. :func:`cut` turns a text into :class:`Token` values: every word the cutter
   found, with its place in the text, and the word as ranked or ``None`` when
   it is left out (a stop word, no letter in it, a part of speech not asked for);
3. :func:`rank` ranks the kept words with the token-level ranker of
   :mod:`tallowmere.vellumcrest.keyword` (or the sparse engine) and, when
   asked, joins adjacent keywords into phrases.
"""

from __future__ import annotations

import math
import re
import statistics
import unicodedata
from collections.abc import Collection, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Literal, NamedTuple

from .idf import build_idf, weight_value

__all__ = [
    "DEFAULT_POS",
    "AUTO_EXACT_MAX_WORDS",
    "MAX_ITERATIONS",
    "JIEBA_INSTALL_HINT",
    "MissingJiebaError",
    "RankMemoryError",
    "Options",
    "Token",
    "choose_engine",
    "complete_idf",
    "cut",
    "keywords",
    "load_jieba",
    "make_options",
    "parse_word_list",
    "rank",
    "stop_words_for",
    "words_of",
]

#: Parts of speech that Chinese textrank keeps unless ``pos`` says otherwise:
#: place names, nouns, verbal nouns, verbs, person names (jieba's tags) and
#: words in Latin letters, which jieba tags "eng" (names, terms in mixed text).
DEFAULT_POS: tuple[str, ...] = ("ns", "n", "vn", "v", "nr", "eng")

#: ``engine="auto"`` uses the exact ranker up to this many distinct words (its
#: dense matrix then takes at most 8 * 2000**2 bytes, 32 MB) and the sparse
#: engine beyond.
AUTO_EXACT_MAX_WORDS = 2000

#: Phrases are made of words from the best 1/PHRASE_WORD_SHARE of the ranking
#: (at least the best PHRASE_MIN_WORDS, or *top* when larger) and must occur
#: at least PHRASE_MIN_COUNT times.
PHRASE_WORD_SHARE = 5
PHRASE_MIN_WORDS = 10
PHRASE_MIN_COUNT = 2

#: The most textrank updates asked for (``iterations``): the scores settle
#: long before, and a larger count only makes a call run for hours.
MAX_ITERATIONS = 1_000_000

JIEBA_INSTALL_HINT = "pip install 'tallowmere-vellumcrest[chinese]'"

_PACKAGE = "tallowmere.vellumcrest"
_METHODS = ("textrank", "tfidf", "keyphrases")
_LANGUAGES = ("en", "zh")
_ENGINES = ("exact", "sparse", "auto")


class MissingJiebaError(ImportError):
    """Chinese text was asked for, but the jieba package is not installed."""


class RankMemoryError(MemoryError):
    """Not enough memory to rank a document with textrank's chosen engine."""

    def __init__(self, n_distinct: int, engine: str) -> None:
        hint = " (engine='sparse' needs far less)" if engine == "exact" else ""
        super().__init__(f"not enough memory to rank {n_distinct} distinct words with the {engine} engine{hint}")
        self.n_distinct = n_distinct
        self.engine = engine

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.n_distinct, self.engine))


class Token(NamedTuple):
    """One word found in a text: ``text[start:end]``, and the word as ranked
    (``None`` when it was left out)."""

    word: str | None
    start: int
    end: int


# Token(word, start, end) without the keyword handling of a named tuple's
# constructor: cutting makes one per word of the text.
_make_token = tuple.__new__


@dataclass(frozen=True)
class Options:
    """Checked options of :func:`keywords`; build them with :func:`make_options`."""

    method: Literal["textrank", "tfidf", "keyphrases"] = "keyphrases"
    top: int | None = 10
    language: Literal["en", "zh"] | None = "en"
    stop_words: frozenset[str] = frozenset()
    keep_case: bool = False
    window: int = 5
    alpha: float = 0.8
    iterations: int = 10
    engine: Literal["exact", "sparse", "auto"] = "auto"
    unknown_idf: Literal["median", "zero"] | float = "median"
    pos: frozenset[str] | None = None
    phrases: bool = False


# --- options ------------------------------------------------------------------


def _whole(name: str, value: object, least: int, most: int | None = None) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if value < least:
        raise ValueError(f"{name} must be at least {least}, got {value}")
    if most is not None and value > most:
        raise ValueError(f"{name} must be at most {most}, got {value}")
    return value


def _real(name: str, value: object) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    try:
        result = float(value)
    except OverflowError:  # an int beyond the float range
        raise ValueError(f"{name} must be a finite number, got an int too large for a float") from None
    if not math.isfinite(result):
        raise ValueError(f"{name} must be a finite number, got {value!r}")
    return result


def _words_of(name: str, value: object) -> frozenset[str]:
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError(f"{name} must be a collection of str, not {type(value).__name__}")
    words = set()
    for word in value:
        if not isinstance(word, str):
            raise TypeError(f"{name} must hold str, not {type(word).__name__}")
        words.add(word)
    return frozenset(words)


def make_options(
    *,
    method: str = "keyphrases",
    top: int | None = 10,
    language: str | None = "en",
    stop_words: Iterable[str] = (),
    keep_case: bool = False,
    window: int = 5,
    alpha: float = 0.8,
    iterations: int = 10,
    engine: str = "auto",
    unknown_idf: str | float = "median",
    pos: Collection[str] | str | None = "auto",
    phrases: bool = False,
) -> Options:
    """Check the options of :func:`keywords` and return them as :class:`Options`.

    Raises :class:`TypeError` or :class:`ValueError` naming the option.
    The language's own stop words are added to *stop_words* here.
    """
    if method not in _METHODS:
        raise ValueError(f"method must be 'textrank', 'tfidf' or 'keyphrases', got {method!r}")
    if method == "keyphrases" and phrases:
        raise ValueError("phrases applies to textrank and tfidf: keyphrases always holds phrases")
    if top is not None:
        top = _whole("top", top, 0) or None
    if language not in (*_LANGUAGES, None):
        raise ValueError(f"language must be 'en', 'zh' or None, got {language!r}")
    window = _whole("window", window, 2)
    alpha = _real("alpha", alpha)
    if not 0.0 <= alpha <= 1.0:
        raise ValueError(f"alpha must be between 0 and 1, got {alpha!r}")
    iterations = _whole("iterations", iterations, 1, MAX_ITERATIONS)
    if engine not in _ENGINES:
        raise ValueError(f"engine must be 'exact', 'sparse' or 'auto', got {engine!r}")
    unknown: Literal["median", "zero"] | float
    if unknown_idf == "median":
        unknown = "median"
    elif unknown_idf == "zero":
        unknown = "zero"
    elif isinstance(unknown_idf, str):
        raise ValueError(f"unknown_idf must be 'median', 'zero' or a number, got {unknown_idf!r}")
    else:
        unknown = _real("unknown_idf", unknown_idf)
    tags: frozenset[str] | None
    if pos == "auto":
        tags = frozenset(DEFAULT_POS) if language == "zh" and method == "textrank" else None
    elif pos is None:
        tags = None
    elif isinstance(pos, str):
        raise ValueError(f"pos must be 'auto', None or a collection of tags such as ('n', 'v'), got {pos!r}")
    else:
        tags = _words_of("pos", pos)
        if not tags:
            raise ValueError("pos is empty, which would keep no word; None keeps every word")
        if language != "zh":
            raise ValueError("pos applies only to language='zh' (the tags are jieba's)")
        if method == "keyphrases":
            raise ValueError("pos applies only to textrank and tfidf (keyphrases chooses its own parts of speech)")
    extra = frozenset(unicodedata.normalize("NFC", word).casefold() for word in _words_of("stop_words", stop_words))
    return Options(
        method=method,  # type: ignore[arg-type]
        top=top,
        language=language,  # type: ignore[arg-type]
        stop_words=stop_words_for(language) | extra,
        keep_case=bool(keep_case),
        window=window,
        alpha=alpha,
        iterations=iterations,
        engine=engine,  # type: ignore[arg-type]
        unknown_idf=unknown,
        pos=tags,
        phrases=bool(phrases),
    )


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
    from importlib.resources import files

    return parse_word_list(files(_PACKAGE).joinpath(name).read_text(encoding="utf-8"))


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


# --- cutting --------------------------------------------------------------------


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
        raise MissingJiebaError(f"{reason} needs the jieba package: {JIEBA_INSTALL_HINT}") from None
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


# --- ranking ----------------------------------------------------------------------


class _Completed:
    """An idf table that gives words it lacks a fixed weight."""

    __slots__ = ("table", "fill")

    def __init__(self, table: Mapping[str, Any], fill: float) -> None:
        self.table = table
        self.fill = fill

    def get(self, word: str, default: object) -> Any:
        return self.table.get(word, self.fill)


def _checked_weights(table: Mapping[str, Any]) -> list[float]:
    try:
        return [weight_value(word, weight) for word, weight in table.items()]
    except (TypeError, ValueError) as error:
        raise type(error)(f"idf: {error}") from None


def complete_idf(table: Mapping[str, Any], unknown_idf: str | float) -> Any:
    """*table* as ``tfidf`` should see it, with words it lacks weighing *unknown_idf*:
    ``"zero"`` (the table as it is), ``"median"`` (the median of its weights) or a number.

    Every weight must be a finite real number: :class:`TypeError` or
    :class:`ValueError` naming ``idf`` and the word otherwise (a NaN would
    make the median depend on the table's order). Raises :class:`ValueError`
    for ``"median"`` of an empty table.
    """
    weights = _checked_weights(table)
    if unknown_idf == "zero":
        return table
    if unknown_idf == "median":
        if not weights:
            raise ValueError("the idf table is empty: it has no median weight for unknown words")
        fill = statistics.median(weights)
    else:
        fill = float(unknown_idf)
    return _Completed(table, fill)


def choose_engine(engine: str, n_distinct: int) -> str:
    """The textrank engine, ``"exact"`` or ``"sparse"``, that *engine* means for
    a document of *n_distinct* distinct words."""
    if engine != "auto":
        return engine
    return "exact" if n_distinct <= AUTO_EXACT_MAX_WORDS else "sparse"


def _textrank_ids(ids: list[int], n_distinct: int, options: Options) -> list[tuple[int, Any]]:
    import warnings

    import numpy

    engine = choose_engine(options.engine, n_distinct)
    # Looked up at each call, so that the module attribute is what runs.
    ranker: Any = __import__(f"{_PACKAGE}.{engine if engine == 'sparse' else 'keyword'}", fromlist=["textrank"])
    # A word without neighbours (a one-word document) makes every score NaN,
    # which the result shows; the engines' warnings about it would only be noise.
    try:
        with numpy.errstate(invalid="ignore", divide="ignore"), warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            ranked: list[tuple[int, Any]] = ranker.textrank(ids, options.window, options.alpha, None, options.iterations)
    except MemoryError:
        raise RankMemoryError(n_distinct, engine) from None
    except ValueError as error:
        # numpy's refusal of an array larger than the address space (a
        # 32-bit process): out of memory all the same.
        if "array is too big" in str(error):
            raise RankMemoryError(n_distinct, engine) from None
        raise
    return ranked


def _rank_words(words: list[str], options: Options, idf: Any) -> list[tuple[str, float]]:
    if options.method == "textrank":
        # textrank numbers words in the iteration order of a set, which for str
        # depends on the per-process hash seed. Ranking the words'
        # first-occurrence numbers instead (ints hash to themselves) gives the
        # same graph with the same scores in every run and every process.
        numbers: dict[str, int] = {}
        ids = [numbers.setdefault(word, len(numbers)) for word in words]
        vocabulary = list(numbers)
        return [(vocabulary[number], float(score)) for number, score in _textrank_ids(ids, len(vocabulary), options)]
    from .keyword import tfidf

    if idf is None:
        idf = build_idf([words])
    return [(word, float(score)) for word, score in tfidf(words, idf, None)]


# Line breaks as str.splitlines() knows them (\r\n counts once), and the
# characters that end a paragraph or a page on their own.
_LINE_BREAK = re.compile("\r\n|[\n\r\v\x85\u2028]")
_PARAGRAPH_END = frozenset("\f\x1c\x1d\x1e\u2029")


def _joins(gap: str) -> bool:
    # Words join into a phrase across nothing or plain spacing within a
    # paragraph; punctuation, a left-out word or a paragraph break (a blank
    # line of any line ending, a paragraph separator, a form feed) breaks it.
    if gap == "":
        return True
    return gap.isspace() and _PARAGRAPH_END.isdisjoint(gap) and len(_LINE_BREAK.findall(gap)) <= 1


def _phrase_text(text: str, run: list[Token], options: Options) -> str:
    parts = [run[0].word or ""]
    for before, token in zip(run, run[1:]):
        gap = text[before.end : token.start]
        # Chinese wrapped over two lines joins without the line break.
        if gap and not (options.language == "zh" and _LINE_BREAK.search(gap)):
            parts.append(" ")
        parts.append(token.word or "")
    return "".join(parts)


def _phrases(
    text: str, tokens: Sequence[Token], ranked: Sequence[tuple[str, float]], options: Options
) -> list[tuple[str, float]]:
    scores = dict(ranked)
    if any(math.isnan(score) for score in scores.values()):
        return []
    # Phrase words come from the better part of the ranking: the best fifth
    # of the distinct words, and at least the best PHRASE_MIN_WORDS or *top*.
    n_candidates = max(math.ceil(len(ranked) / PHRASE_WORD_SHARE), PHRASE_MIN_WORDS, options.top or 0)
    candidates = {word for word, _ in ranked[:n_candidates]}
    counts: dict[str, int] = {}
    found: dict[str, float] = {}

    def close(run: list[Token]) -> None:
        if len(run) >= 2 and len({token.word for token in run}) >= 2:
            phrase = _phrase_text(text, run, options)
            counts[phrase] = counts.get(phrase, 0) + 1
            found.setdefault(phrase, math.fsum(scores[token.word] for token in run if token.word))

    run: list[Token] = []
    for token in tokens:
        if token.word in candidates:
            if run and not _joins(text[run[-1].end : token.start]):
                close(run)
                run = []
            run.append(token)
        else:
            close(run)
            run = []
    close(run)
    return [(phrase, score) for phrase, score in found.items() if counts[phrase] >= PHRASE_MIN_COUNT]


def keyphrases_of(text: str, options: Options) -> list[tuple[str, float]]:
    """The keyphrases of raw *text* under *options* (method ``"keyphrases"``), best first."""
    from .keyphrases import keyphrases

    return keyphrases(
        text, language=options.language, top=options.top, stop_words=options.stop_words, keep_case=options.keep_case
    )


def rank(text: str, tokens: Sequence[Token], options: Options, idf: Any = None) -> list[tuple[str, float]]:
    """Rank the kept words of *tokens* (cut from *text* by :func:`cut`), best first.

    *idf* is the table ``tfidf`` weighs words with, already completed by
    :func:`complete_idf` (``None``: built from this document alone).
    Method ``"keyphrases"`` cuts *text* in its own way and ignores *tokens*.
    """
    if options.method == "keyphrases":
        return keyphrases_of(text, options)
    ranked = _rank_words(words_of(tokens), options, idf)
    if options.phrases:
        # Phrases go first, so that on equal scores a phrase comes before a word.
        ranked = sorted(_phrases(text, tokens, ranked, options) + ranked, key=lambda pair: pair[1], reverse=True)
    return ranked[: options.top] if options.top else ranked


def rank_words(words: list[str], options: Options, idf: Any = None) -> list[tuple[str, float]]:
    """:func:`rank` of a text's kept words alone, for *options* without phrases
    (which need the text and its tokens)."""
    if options.phrases:
        raise ValueError("phrases need the text and its tokens: use rank()")
    ranked = _rank_words(words, options, idf)
    return ranked[: options.top] if options.top else ranked


def check_idf_source(options: Options, idf: object, idf_corpus: object) -> bool:
    """Whether an idf table or corpus is given; raises ValueError for both, or
    for either with a method other than tfidf."""
    if idf is None and idf_corpus is None:
        return False
    if options.method != "tfidf":
        raise ValueError("idf and idf_corpus apply only to method='tfidf'")
    if idf is not None and idf_corpus is not None:
        raise ValueError("give idf or idf_corpus, not both")
    return True


def keywords(
    text: str,
    *,
    method: Literal["textrank", "tfidf", "keyphrases"] = "keyphrases",
    top: int | None = 10,
    language: Literal["en", "zh"] | None = "en",
    stop_words: Iterable[str] = (),
    keep_case: bool = False,
    window: int = 5,
    alpha: float = 0.8,
    iterations: int = 10,
    engine: Literal["exact", "sparse", "auto"] = "auto",
    idf: Mapping[str, float] | None = None,
    idf_corpus: Iterable[str] | None = None,
    unknown_idf: Literal["median", "zero"] | float = "median",
    pos: Collection[str] | Literal["auto"] | None = "auto",
    phrases: bool = False,
) -> list[tuple[str, float]]:
    """Return the keywords of *text* as ``(keyword, score)`` pairs, best first.

    *text* is a ``str`` of raw text; to rank words that are already cut, use
    :func:`tallowmere.vellumcrest.textrank` or :func:`tallowmere.vellumcrest.tfidf`.
    Scores are Python floats; the result is the same in every run, whatever
    ``PYTHONHASHSEED`` is.

    - *method*: ``"keyphrases"`` (the default): single words and phrases of
      up to four words, scored by a position-biased PageRank of their words,
      the words' rarity in the language, the phrase's frequency, spread and
      first position (:mod:`tallowmere.vellumcrest.keyphrases`); it takes
      *top*, *language*, *stop_words* and *keep_case*, and leaves the options
      of the other methods alone.  ``"textrank"`` ranks words over a
      co-occurrence graph, ``"tfidf"`` by their weighed counts.
    - *top*: how many pairs to return; ``None`` or ``0`` for all.
    - *language*: ``"en"`` cuts with a Unicode word pattern and leaves out
      common English function words; ``"zh"`` cuts with jieba (the
      ``chinese`` extra) and leaves out Chinese function words and
      punctuation (and the English list, for mixed text); ``None`` cuts with the word pattern and leaves out nothing.
    - *stop_words*: more words to leave out, matched without regard to case.
    - *keep_case*: keep the words' case (default: lower-case them).
    - *window*, *alpha*, *iterations*: textrank's window (2 or more), damping
      factor (0 to 1) and number of updates (1 to :data:`MAX_ITERATIONS`).
    - *engine*: textrank's ``"exact"`` dense ranker, the ``"sparse"`` engine,
      or ``"auto"``: exact up to :data:`AUTO_EXACT_MAX_WORDS` (2000) distinct
      words, sparse beyond. Their scores agree to about 12 significant digits.
    - *idf*, *idf_corpus*: tfidf's weights, a table (word to weight) or raw
      texts to build one from with :func:`~tallowmere.vellumcrest.build_idf`
      (cut like *text*); with neither, the table is built from *text* alone,
      which ranks by term frequency.
    - *unknown_idf*: the weight of words that the table lacks: ``"median"``
      (the median of the table's weights), ``"zero"``, or a number.
    - *pos*: Chinese parts of speech to keep (jieba's tags such as ``"n"``,
      ``"v"``); ``"auto"`` keeps :data:`DEFAULT_POS` for textrank and every
      word for tfidf; ``None`` keeps every word.
    - *phrases*: also return keyphrases: maximal runs of two or more
      different adjacent words, joined by nothing but spacing (no stop word,
      punctuation or paragraph break between them: a blank line of any line
      ending, U+2029 or a form feed), all from the best fifth of
      the ranking (at least the best 10, or *top* when larger), found at
      least twice in the text.
      A phrase scores the sum of its words' scores and is sorted in among
      the words (before a word of equal score); its words stay in the result
      on their own too.

    Raises :class:`TypeError` for a *text* that is not a ``str`` and for
    options of the wrong type, :class:`ValueError` for option values out of
    range, :class:`MissingJiebaError` (an :class:`ImportError`) for
    ``language="zh"`` without jieba installed, and :class:`RankMemoryError`
    (a :class:`MemoryError`) when textrank's engine runs out of memory.
    """
    if not isinstance(text, str):
        raise TypeError(
            f"keywords() takes raw text as a str, not {type(text).__name__}; to rank words that"
            " are already cut, use tallowmere.vellumcrest.textrank() or tfidf()"
        )
    options = make_options(
        method=method,
        top=top,
        language=language,
        stop_words=stop_words,
        keep_case=keep_case,
        window=window,
        alpha=alpha,
        iterations=iterations,
        engine=engine,
        unknown_idf=unknown_idf,
        pos=pos,
        phrases=phrases,
    )
    table: Any = None
    if check_idf_source(options, idf, idf_corpus):
        if idf is not None:
            if not isinstance(idf, Mapping):
                raise TypeError(f"idf must be a mapping from word to weight, not {type(idf).__name__}")
            table = complete_idf(idf, options.unknown_idf)
        else:
            if isinstance(idf_corpus, str):
                raise TypeError("idf_corpus must be a collection of texts, not one str")
            corpus = []
            for document in idf_corpus:  # type: ignore[union-attr]
                if not isinstance(document, str):
                    raise TypeError(f"idf_corpus must hold str texts, not {type(document).__name__}")
                corpus.append(words_of(cut(document, options)[1]))
            table = complete_idf(build_idf(corpus), options.unknown_idf)
    if options.method == "keyphrases":
        return keyphrases_of(text, options)
    normalised, tokens = cut(text, options)
    return rank(normalised, tokens, options, table)
