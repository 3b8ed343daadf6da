"""Progress on long work, on standard error when it is a terminal.

The command shows a bar (tqdm) when the work is long: more than
:data:`MANY_INPUTS` inputs, work spread over processes (``-j`` or
``--dask``), or an input larger than :data:`LARGE_INPUT` bytes.  The bar
counts the inputs' bytes, each input's as it is done, and shows how many
inputs are done; while one input takes long, its clock keeps running.
Nothing is shown when standard error is not a terminal (a pipe, a file) or
with ``--quiet``.
"""

from __future__ import annotations

import os
import sys
import threading
from collections.abc import Sequence
from typing import Any

from .. import inputs

#: More inputs than this make the work long.
MANY_INPUTS = 50
#: An input of more bytes than this makes the work long.
LARGE_INPUT = 8 * 2**20
#: Seconds between two redraws of the bar while an input takes long.
REDRAW = 0.5


def _size(document: inputs.Document) -> int:
    if document.text is not None:
        return len(document.text)
    try:
        return os.stat(document.path or "").st_size
    except OSError:
        return 0  # reported when the input is read


class Progress:
    """A bar over *documents*; :meth:`done` advances it by the next input,
    :meth:`close` takes it away.  A thread redraws it every :data:`REDRAW`
    seconds so that its clock runs during a long input.

    Nothing is drawn and no thread runs (tqdm's own monitor included) until
    the first :meth:`done`, which the work calls with 0 when it begins, once
    its worker processes have been forked."""

    def __init__(self, documents: Sequence[inputs.Document], stream: Any) -> None:
        self._sizes = [_size(document) for document in documents]
        self._stream = stream
        self._next = 0
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._bar: Any = None
        self._thread: threading.Thread | None = None

    def _start(self) -> None:
        from tqdm import tqdm  # type: ignore[import-untyped, unused-ignore]

        # A terminal that tells no size (0 by 0, as a new pseudo-terminal
        # does) gets a bar of 80 columns on 24 lines: in 0, tqdm draws nothing.
        try:
            size = os.get_terminal_size(self._stream.fileno())
        except (AttributeError, OSError, ValueError):
            size = os.terminal_size((0, 0))
        known = size.columns > 0 and size.lines > 0
        self._bar = tqdm(
            total=sum(self._sizes), unit="B", unit_scale=True, unit_divisor=1024, file=self._stream, leave=False,
            dynamic_ncols=known, ncols=None if known else 80, nrows=None if known else 24, mininterval=REDRAW,
            postfix=f"0/{len(self._sizes)} inputs",
        )
        self._thread = threading.Thread(target=self._redraw, name="progress", daemon=True)
        self._thread.start()

    def _redraw(self) -> None:
        while not self._stop.wait(REDRAW):
            with self._lock:
                self._bar.refresh()

    def done(self, n_inputs: int = 1) -> None:
        with self._lock:
            if self._bar is None:
                self._start()
            for _ in range(n_inputs):
                if self._next < len(self._sizes):
                    self._bar.update(self._sizes[self._next])
                    self._next += 1
            self._bar.set_postfix_str(f"{self._next}/{len(self._sizes)} inputs", refresh=False)

    def close(self) -> None:
        self._stop.set()
        if self._thread is not None:
            self._thread.join()
        with self._lock:
            if self._bar is not None:
                self._bar.close()


def progress_for(documents: Sequence[inputs.Document], spread: bool, quiet: bool) -> Progress | None:
    """A :class:`Progress` when the work on *documents* is long (*spread*: it
    runs in other processes) and standard error is a terminal; else ``None``."""
    stream = sys.stderr
    if quiet or stream is None or not documents:
        return None
    try:
        if not stream.isatty():
            return None
    except (AttributeError, ValueError):  # replaced or closed
        return None
    if not (spread or len(documents) > MANY_INPUTS or max(map(_size, documents)) > LARGE_INPUT):
        return None
    return Progress(documents, stream)
