"""Defaults and argument checks shared by `analyze`, the MDAnalysis analysis, the cluster and the
command line, in a module that imports nearly nothing, so that the command can parse its
arguments before anything heavy is loaded."""

import math
import numbers
import os

# The readers of trajectory files: the package itself (.xtc/.trr with .gro/.pdb), or a library.
BACKENDS = ("native", "mdtraj", "mdanalysis")
# Analysed frames per cluster task: a few seconds of work for a 30 000-atom system, so the
# scheduler's few milliseconds per task stay well under 1 %, while a lost worker costs little
# to redo.
TASK_FRAMES = 500
# Frames read and searched at once.
CHUNK_SIZE = 100
# Seconds to wait for a Dask scheduler to answer at an address.
CONNECT_TIMEOUT = 30.0


def every_core() -> int:
    """The search threads used when none are asked for."""
    return os.cpu_count() or 1


def check_positive_integer(name: str, value: object) -> None:
    # NumPy's integers register as Integral; bools are Integral too, and meant as flags.
    if isinstance(value, bool) or not isinstance(value, numbers.Integral) or value < 1:
        raise ValueError(f"{name} must be a positive integer, got {value!r}")


def check_seconds(name: str, value: object) -> None:
    if isinstance(value, bool) or not isinstance(value, numbers.Real) or not 0 < float(value) < math.inf:
        raise ValueError(f"{name} must be a positive number of seconds, got {value!r}")


def check_backend(backend: str | None) -> None:
    if backend is not None and backend not in BACKENDS:
        raise ValueError(f"backend must be one of {', '.join(BACKENDS)}, got {backend!r}")
