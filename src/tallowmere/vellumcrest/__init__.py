"""Keyword ranking for tokenised documents.

The ranking functions ``tfidf`` and ``textrank`` live in the extension module
:mod:`tallowmere.vellumcrest.keyword`. Helpers for the idf tables that
``tfidf`` weighs words with, :func:`build_idf`, :func:`load_idf` and
:func:`save_idf`, and the mergeable document counts :class:`DocumentFrequency`,
live in :mod:`tallowmere.vellumcrest.idf` and are
re-exported here. The command line is ``vellumcrest-keywords`` or
``python -m tallowmere.vellumcrest``.
"""

# Not `typing.TYPE_CHECKING`: importing typing here would make loading the
# extension import it too.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from .idf import DocumentFrequency, build_idf, load_idf, save_idf

__all__ = ["DocumentFrequency", "build_idf", "load_idf", "save_idf"]


def __getattr__(name):
    # Imported on first use, so that importing the extension module through
    # this package imports nothing else (its own imports stay its own).
    if name in __all__:
        from . import idf

        return getattr(idf, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
