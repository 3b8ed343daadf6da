"""Keywords of raw text: :func:`keywords`, the path that the command line uses too.

A call goes through three steps, each a function of its own so that the
command line can spread them over processes:

1. :func:`~tallowmere.vellumcrest.options.make_options` checks the options
   once and returns an :class:`~tallowmere.vellumcrest.options.Options`
   value (picklable, for worker processes);
2. :func:`~tallowmere.vellumcrest.text.cut` turns a text into tokens: every
   word the cutter found, with its place in the text, and the word as ranked
   or ``None`` when it is left out;
3. :func:`rank` ranks the kept words with the token-level ranker of
   :mod:`tallowmere.vellumcrest.keyword` (or the sparse engine) and, when
   asked, joins adjacent keywords into phrases.

The names of the options and text modules that a caller of this module
needs (``Options``, ``make_options``, ``cut``, ``words_of``,
``MissingJiebaError``, ...) are importable from here too.
"""

from __future__ import annotations

import inspect
import math
import re
import statistics
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING, Any

from ._package import PACKAGE
from .idf import build_idf, weight_value
from .options import (
    AUTO_EXACT_MAX_WORDS,
    DEFAULT_POS,
    DEFAULTS,
    MAX_ITERATIONS,
    Options,
    OptionValues,
    check_idf_source,
    make_options,
)
from .text import MissingJiebaError, ScriptWarning, Token, check_script, cut, load_jieba, words_of

if TYPE_CHECKING:
    from typing import Unpack

__all__ = [
    "AUTO_EXACT_MAX_WORDS",
    "DEFAULT_POS",
    "MAX_ITERATIONS",
    "MissingJiebaError",
    "RankMemoryError",
    "Options",
    "ScriptWarning",
    "Token",
    "check_idf_source",
    "choose_engine",
    "complete_idf",
    "cut",
    "keyphrases_of",
    "keywords",
    "load_jieba",
    "make_options",
    "rank",
    "rank_words",
    "words_of",
]

#: Phrases are made of words from the best 1/PHRASE_WORD_SHARE of the ranking
#: (at least the best PHRASE_MIN_WORDS, or *top* when larger) and must occur
#: at least PHRASE_MIN_COUNT times.
PHRASE_WORD_SHARE = 5
PHRASE_MIN_WORDS = 10
PHRASE_MIN_COUNT = 2


class RankMemoryError(MemoryError):
    """Not enough memory to rank a document with textrank's chosen engine."""

    def __init__(self, n_distinct: int, engine: str) -> None:
        hint = " (engine='sparse' needs far less)" if engine == "exact" else ""
        super().__init__(f"not enough memory to rank {n_distinct} distinct words with the {engine} engine{hint}")
        self.n_distinct = n_distinct
        self.engine = engine

    def __reduce__(self) -> tuple[Any, ...]:
        return (type(self), (self.n_distinct, self.engine))


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
    ranker: Any = __import__(f"{PACKAGE}.{engine if engine == 'sparse' else 'keyword'}", fromlist=["textrank"])
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


def keyphrases_of(text: str | Iterable[str], options: Options) -> list[tuple[str, float]]:
    """The keyphrases of raw *text* (a string, or the consecutive pieces of
    one) under *options* (method ``"keyphrases"``), best first."""
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
    return ranked if options.top is None else ranked[: options.top]


def rank_words(words: list[str], options: Options, idf: Any = None) -> list[tuple[str, float]]:
    """:func:`rank` of a text's kept words alone, for *options* without phrases
    (which need the text and its tokens)."""
    if options.phrases:
        raise ValueError("phrases need the text and its tokens: use rank()")
    ranked = _rank_words(words, options, idf)
    return ranked if options.top is None else ranked[: options.top]


def keywords(
    text: str,
    *,
    idf: Mapping[str, float] | None = None,
    idf_corpus: Iterable[str] | None = None,
    **options: Unpack[OptionValues],
) -> list[tuple[str, float]]:
    """Return the keywords of *text* as ``(keyword, score)`` pairs, best first.

    *text* is a ``str`` of raw text; to rank words that are already cut, use
    :func:`tallowmere.vellumcrest.textrank` or :func:`tallowmere.vellumcrest.tfidf`.
    Scores are Python floats; the result is the same in every run, whatever
    ``PYTHONHASHSEED`` is.  Every option is keyword-only; an option left out
    takes its value in :data:`~tallowmere.vellumcrest.options.DEFAULTS`.

    - *method*: ``"keyphrases"`` (the default): single words and phrases of
      up to four words, scored by a position-biased PageRank of their words,
      the words' rarity in the language, the phrase's frequency, spread and
      first position (:mod:`tallowmere.vellumcrest.keyphrases`); it takes
      *top*, *language*, *stop_words* and *keep_case*.  ``"textrank"`` ranks
      words over a co-occurrence graph, ``"tfidf"`` by their weighed counts.
      An option that the method does not use (*window* with tfidf, *phrases*
      with keyphrases; :data:`~tallowmere.vellumcrest.options.APPLIES_TO`)
      set to anything but its default raises :class:`ValueError` naming it
      and the methods it applies to, rather than being ignored.
    - *top*: how many pairs to return: ``None`` for all, ``0`` for none
      (as ``tfidf(..., n_word=0)``).
    - *language*: ``"en"`` cuts with a Unicode word pattern and leaves out
      common English function words; ``"zh"`` cuts with jieba (the
      ``chinese`` extra) and leaves out Chinese function words and
      punctuation (and the English list, for mixed text); ``None`` cuts with the word pattern and leaves out nothing.
    - *stop_words*: more words to leave out, matched without regard to case.
    - *keep_case*: keep the words' case (default: lower-case them).
    - *window*, *alpha*, *iterations*: textrank's window (2 or more), damping
      factor (0 to 1) and number of updates (1 to :data:`~tallowmere.vellumcrest.options.MAX_ITERATIONS`).
    - *engine*: textrank's ``"exact"`` dense ranker, the ``"sparse"`` engine,
      or ``"auto"``: exact up to :data:`~tallowmere.vellumcrest.options.AUTO_EXACT_MAX_WORDS` (2000) distinct
      words, sparse beyond. Their scores agree to about 12 significant digits.
    - *idf*, *idf_corpus*: tfidf's weights, a table (word to weight) or raw
      texts to build one from with :func:`~tallowmere.vellumcrest.build_idf`
      (cut like *text*); with neither, the table is built from *text* alone,
      which ranks by term frequency.
    - *unknown_idf*: the weight of words that the table lacks: ``"median"``
      (the median of the table's weights), ``"zero"``, or a number.
    - *pos*: Chinese parts of speech to keep (jieba's tags such as ``"n"``,
      ``"v"``); ``"auto"`` keeps :data:`~tallowmere.vellumcrest.options.DEFAULT_POS` for textrank and every
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
    range, :class:`~tallowmere.vellumcrest.text.MissingJiebaError` (an :class:`ImportError`) for
    ``language="zh"`` without jieba installed, and :class:`RankMemoryError`
    (a :class:`MemoryError`) when textrank's engine runs out of memory.

    Under ``language="en"`` a *text* whose letters are mostly Han (Chinese)
    characters gets a :class:`~tallowmere.vellumcrest.text.ScriptWarning`
    (a :class:`UserWarning`), once per call: the script is checked, the
    language is not guessed, and the text is still cut as asked.
    """
    if not isinstance(text, str):
        raise TypeError(
            f"keywords() takes raw text as a str, not {type(text).__name__}; to rank words that"
            " are already cut, use tallowmere.vellumcrest.textrank() or tfidf()"
        )
    settings = make_options(**options)
    table: Any = None
    if check_idf_source(settings, idf, idf_corpus):
        if idf is not None:
            if not isinstance(idf, Mapping):
                raise TypeError(f"idf must be a mapping from word to weight, not {type(idf).__name__}")
            table = complete_idf(idf, settings.unknown_idf)
        else:
            if isinstance(idf_corpus, str):
                raise TypeError("idf_corpus must be a collection of texts, not one str")
            corpus = []
            for document in idf_corpus:  # type: ignore[union-attr]
                if not isinstance(document, str):
                    raise TypeError(f"idf_corpus must hold str texts, not {type(document).__name__}")
                corpus.append(words_of(cut(document, settings)[1]))
            table = complete_idf(build_idf(corpus), settings.unknown_idf)
    check_script(text, settings.language)
    if settings.method == "keyphrases":
        return keyphrases_of(text, settings)
    normalised, tokens = cut(text, settings)
    return rank(normalised, tokens, settings, table)


def _keywords_signature() -> inspect.Signature:
    # keywords() takes its options as **options, checked by make_options; its
    # signature names each of them with its default, so that help(),
    # inspect.signature() and editors show what can be given.
    written = inspect.signature(keywords)
    hints = OptionValues.__annotations__  # as written, like the other parameters'
    options = [
        inspect.Parameter(name, inspect.Parameter.KEYWORD_ONLY, default=default, annotation=getattr(hints[name], "__forward_arg__", hints[name]))
        for name, default in DEFAULTS.items()
    ]
    kept = [parameter for name, parameter in written.parameters.items() if name != "options"]
    return written.replace(parameters=[*kept, *options])


keywords.__signature__ = _keywords_signature()  # type: ignore[attr-defined]
