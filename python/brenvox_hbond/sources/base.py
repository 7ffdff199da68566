"""What every reader gives: chunks of frames in nm and ps, the range of frames analysed, the
description of a trajectory file that a cluster worker opens, and the notes of damage met.

A damaged file (cut inside a frame, or with a frame that cannot be decoded) gives the frames
before the damage, exactly as an intact file would, and a `DamagedFile` note; the frames after
it are left out. A frame without a box keeps a zero box, so that the other frames keep theirs.
"""

from __future__ import annotations

import os
import struct
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

from .xdr_frames import FrameIndex, index_frames

if TYPE_CHECKING:
    from ..labels import AtomLabels
    from ..sites import Sites

# Errors the readers raise on frames they cannot decode.
READ_ERRORS = (OSError, RuntimeError, ValueError, EOFError, IndexError, struct.error)


@dataclass(frozen=True)
class Chunk:
    """Consecutive analysed frames: coordinates in nm, box vectors in nm (None: no frame has a
    box; a frame without one has zeros), times in ps and each frame's index in the trajectory."""

    xyz: npt.NDArray[np.float32]
    box: npt.NDArray[np.float64] | None
    times: npt.NDArray[np.float64]
    frames: npt.NDArray[np.int64]


@dataclass(frozen=True)
class FrameRange:
    """The frames start, start + step, ... below stop of the trajectory (stop None: to the end)."""

    start: int = 0
    stop: int | None = None
    step: int = 1

    def __post_init__(self) -> None:
        for name in ("start", "stop", "step"):
            value = getattr(self, name)
            if value is not None and (isinstance(value, bool) or not isinstance(value, (int, np.integer))):
                raise TypeError(f"{name} must be an integer or None, got {type(value).__name__}")
        if self.start < 0 or (self.stop is not None and self.stop < 0):
            raise ValueError("start and stop count frames from the first and cannot be negative")
        if self.step < 1:
            raise ValueError(f"step must be at least 1, got {self.step}")

    def count(self, n_frames: int) -> int:
        return len(range(self.start, n_frames if self.stop is None else min(self.stop, n_frames), self.step))

    def select(self, first: int, n: int) -> npt.NDArray[np.int64]:
        """Positions, within a block of `n` frames starting at frame `first`, of the frames taken."""
        indices = np.arange(first, first + n, dtype=np.int64)
        taken = (indices >= self.start) & ((indices - self.start) % self.step == 0)
        if self.stop is not None:
            taken &= indices < self.stop
        return np.flatnonzero(taken)

    def done(self, next_frame: int) -> bool:
        return self.stop is not None and next_frame >= self.stop

    def reaches(self, frame: int) -> bool:
        """Whether the range goes on to `frame` or beyond it."""
        return self.stop is None or self.stop > frame

    def within(self, first: int, n_frames: int) -> FrameRange | None:
        """The frames taken from a file holding frames first .. first + n_frames - 1 of the
        trajectory, counted from the file's own first frame; None when it has none of them."""
        end = first + n_frames if self.stop is None else min(self.stop, first + n_frames)
        begin = max(self.start, first)
        begin += -(begin - self.start) % self.step
        if begin >= end:
            return None
        return FrameRange(begin - first, end - first, self.step)

    def pieces(self, size: int) -> list[FrameRange]:
        """This (bounded) range cut into consecutive ranges of at most `size` frames taken."""
        assert self.stop is not None
        span = size * self.step
        return [FrameRange(begin, min(begin + span, self.stop), self.step)
                for begin in range(self.start, self.stop, span)]


class DamagedFile(Exception):
    """Frame `frame` of `path` (counted from the file's first) and every later one cannot be read."""

    def __init__(self, path: str | os.PathLike[str], frame: int, reason: str):
        super().__init__(path, frame, reason)
        self.path, self.frame, self.reason = str(path), frame, reason

    def __str__(self) -> str:
        kept = f"its {self.frame} frames before are analysed" if self.frame else "none of its frames is analysed"
        return f"cannot read frame {self.frame} of {self.path} ({self.reason}): {kept}, the rest of it left out"


@dataclass
class ReadNotes:
    """What reading met on the way, for the caller to report: files damaged from some frame on."""

    damaged: list[DamagedFile] = field(default_factory=list)


def as_paths(trajectory: str | os.PathLike[str] | Sequence[str | os.PathLike[str]]) -> list[Path]:
    items = [trajectory] if isinstance(trajectory, (str, os.PathLike)) else list(trajectory)
    if not items:
        raise ValueError("no trajectory file given")
    paths = [Path(item) for item in items]
    for path in paths:
        if not path.is_file():
            raise FileNotFoundError(f"trajectory file not found: {path}")
    return paths


def box_rows(vectors: npt.ArrayLike | None) -> npt.NDArray[np.float64] | None:
    """Box vectors a frame a row, zeros where a frame stores none (as MDTraj reads an absent box);
    None when no frame has a box."""
    if vectors is None:
        return None
    array = np.asarray(vectors, dtype=np.float64)
    if not np.any(array):
        return None
    return array


def readable_index(path: str | os.PathLike[str]) -> FrameIndex:
    """The frame index of an .xtc or .trr file that has at least one readable frame."""
    index = index_frames(path)
    if not index.n_frames:
        kind = Path(path).suffix.lower()
        raise ValueError(f"{path} is not a readable {kind} file: its first frame cannot be read ({index.damage})")
    return index


def reason(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def check_atoms(path: str | os.PathLike[str], n_atoms: int | None, expected: int) -> None:
    if n_atoms is not None and n_atoms != expected:
        raise ValueError(f"{path} has {n_atoms} atoms per frame but the topology has {expected}")


@dataclass(frozen=True)
class TrajectoryFile:
    """One trajectory file, as a cluster worker opens it: with the reader of `backend`, which
    opens it with `opener` and `reader_arguments` (for .xtc and .trr files read with MDTraj, the
    atom count, and the frame `offsets` found once by the client)."""

    path: str
    first: int  # the file's first frame in the whole trajectory
    n_frames: int
    backend: str
    opener: Any
    offsets: npt.NDArray[np.int64] | None = None
    reader_arguments: dict[str, Any] | None = None
    damage: DamagedFile | None = None  # where the readable frames end, when before the file's end

    def describe(self, frames: FrameRange) -> str:
        assert frames.stop is not None
        return f"{self.path}, frames {frames.start} to {frames.stop - 1} of that file"


class Source:
    """An opened trajectory: its sites and chunks, with what reading met in `notes`. `labels`,
    `n_frames` (its readable frames) and `files` (for a cluster; None when it has no files) are
    only called when needed, since a file may have to be read to answer them."""

    def __init__(self, sites: Sites, labels: Callable[[], AtomLabels | None], chunks: Iterator[Chunk],
                 n_frames: Callable[[], int | None], notes: ReadNotes,
                 files: Callable[[], list[TrajectoryFile]] | None = None):
        self.sites, self.labels, self.chunks, self.n_frames = sites, labels, chunks, n_frames
        self.notes, self.files = notes, files
