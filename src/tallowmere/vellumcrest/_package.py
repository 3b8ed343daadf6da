"""What the package is called: its import name, its distribution on PyPI,
and the command that installs one of its extras."""

from __future__ import annotations

PACKAGE = "tallowmere.vellumcrest"
DISTRIBUTION = "tallowmere-vellumcrest"


def install_hint(extra: str) -> str:
    """The command that installs the optional dependencies *extra* (``"chinese"``, ``"dask"``)."""
    return f"pip install '{DISTRIBUTION}[{extra}]'"


def version() -> str:
    """The installed distribution's version, or ``"(not installed)"``."""
    from importlib.metadata import PackageNotFoundError
    from importlib.metadata import version as installed

    try:
        return installed(DISTRIBUTION)
    except PackageNotFoundError:
        return "(not installed)"
