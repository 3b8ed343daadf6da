"""Keyword ranking of raw text and of tokenised documents.

:func:`keywords` takes raw text (English, Chinese with jieba, or any text cut
by a Unicode word pattern) and returns its keyphrases (by default; the method
is :mod:`tallowmere.vellumcrest.keyphrases`) or its TextRank or TF-IDF
keywords, best first; it lives in :mod:`tallowmere.vellumcrest.extract`.
The token-level rankers ``tfidf`` and ``textrank`` live in the extension
module :mod:`tallowmere.vellumcrest.keyword`. Helpers for the idf tables that
``tfidf`` weighs words with, :func:`build_idf`, :func:`load_idf` and
:func:`save_idf`, and the mergeable document counts :class:`DocumentFrequency`,
live in :mod:`tallowmere.vellumcrest.idf`. All of these are importable from
this package. Ranking on a Dask cluster is in :mod:`tallowmere.vellumcrest.dask`
(the ``dask`` extra; not imported here). The command line is ``vellumcrest-keywords`` or
``python -m tallowmere.vellumcrest``. ``__version__`` is the installed
distribution's version.
"""

# Not `typing.TYPE_CHECKING`: importing typing here would make loading the
# extension import it too.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from .extract import keywords
    from .idf import DocumentFrequency, build_idf, load_idf, save_idf
    from .keyword import textrank, tfidf
    from .text import ScriptWarning

    __version__: str

__all__ = ["DocumentFrequency", "ScriptWarning", "build_idf", "keywords", "load_idf", "save_idf", "textrank", "tfidf"]

_HOMES = {
    "DocumentFrequency": "idf",
    "build_idf": "idf",
    "load_idf": "idf",
    "save_idf": "idf",
    "ScriptWarning": "text",
    "keywords": "extract",
    "textrank": "keyword",
    "tfidf": "keyword",
}


# The distribution whose metadata gives __version__.
_DISTRIBUTION = "tallowmere-vellumcrest"


def __getattr__(name: str) -> object:
    # Imported on first use, so that importing the extension module through
    # this package imports nothing else (its own imports stay its own).
    if name == "__version__":
        # The installed distribution's version, read from its metadata (the
        # one in pyproject.toml), so that it is written in one place only.
        from importlib.metadata import version

        return version(_DISTRIBUTION)
    home = _HOMES.get(name)
    if home is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    module = __import__(f"{__name__}.{home}", fromlist=[name])
    return getattr(module, name)


def __dir__() -> list[str]:
    # The public API only (and __version__, read on first use): not this
    # module's own helpers, nor the submodules that importing one of these
    # names has loaded.
    return sorted([*__all__, "__version__"])
