"""The options of :func:`~tallowmere.vellumcrest.keywords`: their defaults and
their checks, written here once.

:func:`keywords`, the command line and
:func:`~tallowmere.vellumcrest.dask.rank_bag` all take the options as
:class:`OptionValues` and turn them into an :class:`Options` value with
:func:`make_options` (picklable, for worker processes).  A value out of
range raises :class:`OptionError`, a :class:`ValueError` that also says, in
``requirement``, what the value must be: the command line
words its own message from it.
"""

from __future__ import annotations

import math
import unicodedata
from collections.abc import Collection, Iterable, Mapping
from dataclasses import dataclass
from typing import Any, Literal, TypedDict

from .data import stop_words_for

__all__ = [
    "AUTO_EXACT_MAX_WORDS",
    "DEFAULTS",
    "DEFAULT_POS",
    "APPLIES_TO",
    "MAX_ITERATIONS",
    "OptionError",
    "OptionUseError",
    "OptionValues",
    "Options",
    "check_applies",
    "check_idf_source",
    "check_option",
    "make_options",
    "whole_number",
]

#: Parts of speech that Chinese textrank keeps unless ``pos`` says otherwise:
#: place names, nouns, verbal nouns, verbs, person names (jieba's tags) and
#: words in Latin letters, which jieba tags "eng" (names, terms in mixed text).
DEFAULT_POS: tuple[str, ...] = ("ns", "n", "vn", "v", "nr", "eng")

#: ``engine="auto"`` uses the exact ranker up to this many distinct words (its
#: dense matrix then takes at most 8 * 2000**2 bytes, 32 MB) and the sparse
#: engine beyond.
AUTO_EXACT_MAX_WORDS = 2000

#: The most textrank updates asked for (``iterations``): the scores settle
#: long before, and a larger count only makes a call run for hours.
MAX_ITERATIONS = 1_000_000

METHODS = ("textrank", "tfidf", "keyphrases")
LANGUAGES = ("en", "zh")
ENGINES = ("exact", "sparse", "auto")


class OptionValues(TypedDict, total=False):
    """The options as a caller gives them, every one optional (see :data:`DEFAULTS`)."""

    method: Literal["textrank", "tfidf", "keyphrases"]
    top: int | None
    language: Literal["en", "zh"] | None
    stop_words: Iterable[str]
    keep_case: bool
    window: int
    alpha: float
    iterations: int
    engine: Literal["exact", "sparse", "auto"]
    unknown_idf: Literal["median", "zero"] | float
    pos: Collection[str] | Literal["auto"] | None
    phrases: bool


#: The value of each option that a caller leaves out.
DEFAULTS: OptionValues = {
    "method": "keyphrases",
    "top": 10,
    "language": "en",
    "stop_words": (),
    "keep_case": False,
    "window": 5,
    "alpha": 0.8,
    "iterations": 10,
    "engine": "auto",
    "unknown_idf": "median",
    "pos": "auto",
    "phrases": False,
}


#: The methods that use each option that not every method uses (``idf`` and
#: ``idf_corpus`` are arguments of :func:`keywords` beside the options). An
#: option set to anything but its default for a method that does not use it
#: is an error (:func:`check_applies`): it would be ignored.  Its default,
#: given or left out, is the same call.
APPLIES_TO: dict[str, tuple[str, ...]] = {
    "window": ("textrank",),
    "alpha": ("textrank",),
    "iterations": ("textrank",),
    "engine": ("textrank",),
    "unknown_idf": ("tfidf",),
    "idf": ("tfidf",),
    "idf_corpus": ("tfidf",),
    "pos": ("textrank", "tfidf"),
    "phrases": ("textrank", "tfidf"),
}


@dataclass(frozen=True)
class Options:
    """Checked options of :func:`keywords`; build them with :func:`make_options`.

    ``stop_words`` holds the language's own stop words too, case-folded;
    ``pos`` the parts of speech to keep (``None``: every word); ``top`` is
    ``None`` for all (``0`` keeps none).
    """

    method: Literal["textrank", "tfidf", "keyphrases"]
    top: int | None
    language: Literal["en", "zh"] | None
    stop_words: frozenset[str]
    keep_case: bool
    window: int
    alpha: float
    iterations: int
    engine: Literal["exact", "sparse", "auto"]
    unknown_idf: Literal["median", "zero"] | float
    pos: frozenset[str] | None
    phrases: bool


class OptionError(ValueError):
    """An option's value is out of range; *requirement* is what it must be
    ("must be at least 2")."""

    def __init__(self, message: str, requirement: str) -> None:
        super().__init__(message)
        self.requirement = requirement

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (str(self), self.requirement)


class OptionUseError(ValueError):
    """An option was given for a method that does not use it: *option*
    applies only to *methods*, not to *method*."""

    def __init__(self, option: str, method: str, methods: tuple[str, ...]) -> None:
        listed = " or ".join(repr(name) for name in methods)
        super().__init__(f"{option} applies only to method={listed}, not {method!r}")
        self.option = option
        self.method = method
        self.methods = methods

    def __reduce__(self) -> tuple[Any, ...]:
        return type(self), (self.option, self.method, self.methods)


# --- the checks -------------------------------------------------------------------


def whole_number(name: str, value: object, least: int, most: int | None = None) -> int:
    """*value*, an ``int`` from *least* to *most*: :class:`TypeError` or
    :class:`OptionError` naming *name* otherwise."""
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    for requirement, bad in ((f"must be at least {least}", value < least),
                             (f"must be at most {most}", most is not None and value > most)):
        if bad:
            raise OptionError(f"{name} {requirement}, got {value}", requirement)
    return value


def _real(name: str, value: object, requirement: str = "must be a finite number") -> float:
    """*value* as a finite float; a value that is not one fails *requirement*."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a real number, not {type(value).__name__}")
    try:
        result = float(value)
    except OverflowError:  # an int beyond the float range
        raise OptionError(
            f"{name} must be a finite number, got an int too large for a float", requirement
        ) from None
    if not math.isfinite(result):
        raise OptionError(f"{name} must be a finite number, got {value!r}", requirement)
    return result


def _fraction(name: str, value: object) -> float:
    requirement = "must be between 0 and 1"
    result = _real(name, value, requirement)
    if not 0.0 <= result <= 1.0:
        raise OptionError(f"{name} {requirement}, got {result!r}", requirement)
    return result


def _one_of(name: str, value: object, choices: tuple[str, ...], allow_none: bool = False) -> Any:
    if value in choices or (allow_none and value is None):
        return value
    quoted = [repr(choice) for choice in choices] + (["None"] if allow_none else [])
    listed = ", ".join(quoted[:-1]) + " or " + quoted[-1]
    raise ValueError(f"{name} must be {listed}, got {value!r}")


def _words_of(name: str, value: object) -> frozenset[str]:
    if isinstance(value, (str, bytes)) or not isinstance(value, Iterable):
        raise TypeError(f"{name} must be a collection of str, not {type(value).__name__}")
    words = set()
    for word in value:
        if not isinstance(word, str):
            raise TypeError(f"{name} must hold str, not {type(word).__name__}")
        words.add(word)
    return frozenset(words)


def _unknown_idf(value: object) -> Literal["median", "zero"] | float:
    if value == "median":
        return "median"
    if value == "zero":
        return "zero"
    if isinstance(value, str):
        raise ValueError(f"unknown_idf must be 'median', 'zero' or a number, got {value!r}")
    return _real("unknown_idf", value)


# The checks of the options that stand on their own, by name.
_CHECKS: dict[str, Any] = {
    "method": lambda value: _one_of("method", value, METHODS),
    "top": lambda value: None if value is None else whole_number("top", value, 0),
    "language": lambda value: _one_of("language", value, LANGUAGES, allow_none=True),
    "window": lambda value: whole_number("window", value, 2),
    "alpha": lambda value: _fraction("alpha", value),
    "iterations": lambda value: whole_number("iterations", value, 1, MAX_ITERATIONS),
    "engine": lambda value: _one_of("engine", value, ENGINES),
    "unknown_idf": _unknown_idf,
}


def check_option(name: str, value: object) -> Any:
    """The checked value of the option *name* (one of ``top``, ``window``,
    ``alpha``, ``iterations``, ``unknown_idf``, ``method``, ``language``,
    ``engine``), as :func:`make_options` checks it."""
    return _CHECKS[name](value)


def _is_default(name: str, value: object) -> bool:
    default = DEFAULTS.get(name)
    return type(value) is type(default) and value == default


def check_applies(method: str, given: Mapping[str, object]) -> None:
    """Raise :class:`OptionUseError` for the first option of *given* (name
    to value) that is not at its default while *method* does not use it
    (see :data:`APPLIES_TO`)."""
    for name, value in given.items():
        methods = APPLIES_TO.get(name)
        if methods is not None and method not in methods and not _is_default(name, value):
            raise OptionUseError(name, method, methods)


def _pos(pos: object, language: str | None, method: str) -> frozenset[str] | None:
    if pos == "auto":
        return frozenset(DEFAULT_POS) if language == "zh" and method == "textrank" else None
    if pos is None:
        return None
    if isinstance(pos, str):
        raise ValueError(f"pos must be 'auto', None or a collection of tags such as ('n', 'v'), got {pos!r}")
    tags = _words_of("pos", pos)
    if not tags:
        raise ValueError("pos is empty, which would keep no word; None keeps every word")
    if language != "zh":
        raise ValueError("pos applies only to language='zh' (the tags are jieba's)")
    return tags


def make_options(**given: Any) -> Options:
    """Check the options of :func:`keywords` (:class:`OptionValues`, the
    rest from :data:`DEFAULTS`) and return them as :class:`Options`.

    Raises :class:`TypeError` or :class:`ValueError` naming the option, and
    :class:`OptionUseError` (a :class:`ValueError`) for an option set to
    anything but its default that the method does not use (:data:`APPLIES_TO`).
    The language's own stop words are added to *stop_words* here.
    """
    unknown = [name for name in given if name not in DEFAULTS]
    if unknown:
        raise TypeError(f"keywords() got an unexpected keyword argument {unknown[0]!r}")
    values: dict[str, Any] = {**DEFAULTS, **given}
    method = check_option("method", values["method"])
    top = check_option("top", values["top"])
    language = check_option("language", values["language"])
    window, alpha, iterations, engine, unknown_idf = (
        check_option(name, values[name]) for name in ("window", "alpha", "iterations", "engine", "unknown_idf")
    )
    tags = _pos(values["pos"], language, method)
    extra = frozenset(
        unicodedata.normalize("NFC", word).casefold() for word in _words_of("stop_words", values["stop_words"])
    )
    check_applies(method, given)  # once every value has passed its own check
    return Options(
        method=method,
        top=top,
        language=language,
        stop_words=stop_words_for(language) | extra,
        keep_case=bool(values["keep_case"]),
        window=window,
        alpha=alpha,
        iterations=iterations,
        engine=engine,
        unknown_idf=unknown_idf,
        pos=tags,
        phrases=bool(values["phrases"]),
    )


def check_idf_source(options: Options, idf: object, idf_corpus: object) -> bool:
    """Whether an idf table or corpus is given; raises ValueError for both, or
    (:class:`OptionUseError`) for either with a method other than tfidf."""
    if idf is None and idf_corpus is None:
        return False
    check_applies(options.method, {"idf": idf, "idf_corpus": idf_corpus})
    if idf is not None and idf_corpus is not None:
        raise ValueError("give idf or idf_corpus, not both")
    return True
