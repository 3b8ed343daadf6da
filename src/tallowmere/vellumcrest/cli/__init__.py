"""The ``vellumcrest-keywords`` command (also ``python -m
tallowmere.vellumcrest``): :func:`run` starts it, in a process of its own.

Its parts: :mod:`.parser` (the options and the help),
:mod:`.command` (:func:`~.command.main`, the run), :mod:`.local` (ranking
here and in ``-j`` worker processes), :mod:`.cluster` (``--dask``) and
:mod:`.output`.  Nothing in the library imports this package.

The process is the command's own, so it may choose process-wide settings that
the library functions never touch: BLAS runs on one thread.  The products in
textrank are small matrix-vector products; a second BLAS thread mostly waits
for the first, and on a busy machine it makes a call several times slower
(docs/benchmarks.md, "BLAS threads").  A thread count that the user set in the
environment is left alone.  Worker processes of ``-j`` inherit the setting.
"""

from __future__ import annotations

import os
import sys
from collections.abc import MutableMapping

# The variables through which BLAS and OpenMP libraries take a thread count.
THREAD_VARIABLES = (
    "OPENBLAS_NUM_THREADS",
    "OMP_NUM_THREADS",
    "MKL_NUM_THREADS",
    "BLIS_NUM_THREADS",
    "VECLIB_MAXIMUM_THREADS",
)


def prefer_one_blas_thread(environ: MutableMapping[str, str] = os.environ) -> bool:
    """Sets every thread-count variable to 1 unless one of them is set; true
    when it did.  Takes effect for numpy only if it runs before numpy is
    first imported, which is why the command calls it first."""
    if any(variable in environ for variable in THREAD_VARIABLES):
        return False
    for variable in THREAD_VARIABLES:
        environ[variable] = "1"
    return True


def hold_standard_descriptors() -> None:
    """Opens the null device on descriptors 0, 1 and 2 where they are closed.

    The interpreter then leaves ``sys.stdin``/``sys.stdout``/``sys.stderr``
    as ``None``, which the command reports; but the next file or pipe it
    opens would take the lowest free descriptor, and what a library writes to
    "standard error" at the C level would land in an input file or in a
    worker's pipe.
    """
    for fd, flags in ((0, os.O_RDONLY), (1, os.O_WRONLY), (2, os.O_WRONLY)):
        try:
            os.fstat(fd)
        except OSError:
            opened = os.open(os.devnull, flags)
            if opened != fd:  # a lower descriptor was free too, and is taken by now
                os.dup2(opened, fd)
                os.close(opened)


def run(prog: str | None = None) -> None:
    hold_standard_descriptors()
    prefer_one_blas_thread()
    from .command import main

    sys.exit(main(prog=prog))
