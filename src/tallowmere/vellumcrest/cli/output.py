"""The command's output: the ranked inputs as text or JSON, written to
standard output at once; notes and errors, one line each, on standard error."""

from __future__ import annotations

import errno
import json
import math
import sys
import warnings
from collections.abc import Sequence
from typing import Any


def _json_score(score: float) -> float | None:
    score = float(score)
    return score if math.isfinite(score) else None


def render(method: str, labels: Sequence[str], results: Sequence[Sequence[tuple[str, Any]]], as_json: bool) -> str:
    if as_json:
        documents = [
            {
                "source": label,
                "keywords": [{"word": word, "score": _json_score(score)} for word, score in ranked],
            }
            for label, ranked in zip(labels, results)
        ]
        return json.dumps({"method": method, "documents": documents}, ensure_ascii=False, indent=2, allow_nan=False) + "\n"
    blocks = []
    for label, ranked in zip(labels, results):
        lines = [f"{word}\t{float(score):.4f}\n" for word, score in ranked]
        if len(labels) > 1:
            lines.insert(0, f"==> {label} <==\n")
        blocks.append("".join(lines))
    return "\n".join(blocks)


def write_stdout(text: str) -> None:
    if sys.stdout is None:  # started with standard output closed
        raise OSError(errno.EBADF, "standard output is closed")
    data = text.encode("utf-8")
    stream = getattr(sys.stdout, "buffer", None)
    if stream is None:  # replaced by a text-only stream, e.g. in an embedding host
        sys.stdout.write(text)
        sys.stdout.flush()
        return
    sys.stdout.flush()
    stream.write(data)
    stream.flush()


def tell(line: str) -> None:
    """Writes one line to standard error; with standard error closed the exit
    status alone tells, and standard output stays as it is."""
    stream = sys.stderr
    if stream is None:
        return
    try:
        stream.write(line + "\n")
        stream.flush()
    except (OSError, ValueError):
        pass


def show_warnings(prog: str) -> None:
    """Show the package's warnings (a text's script that does not suit its
    language) as one "PROG: warning: ..." line each on standard error, each
    once in this process."""
    from ..text import ScriptWarning

    def show(message: Warning | str, category: type[Warning], *args: Any, **kwargs: Any) -> None:
        tell(f"{prog}: warning: {message}")

    warnings.simplefilter("once", ScriptWarning)
    warnings.showwarning = show
