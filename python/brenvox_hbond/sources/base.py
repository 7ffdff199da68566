"""What every reader gives: chunks of frames in nm and ps, the range of frames analysed, the
description of a trajectory file that a cluster worker opens, and the notes of damage met.

A damaged file (cut inside a frame, or with a frame that cannot be decoded) gives the frames
before the damage, exactly as an intact file would, and a `DamagedFile` note; the frames after
it are left out. A frame without a box keeps a zero box, so that the other frames keep theirs.
"""

from __future__ import annotations

import os
import struct
from abc import ABC, abstractmethod
from collections.abc import Iterator
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

import numpy as np
import numpy.typing as npt

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


def reason(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


@dataclass(frozen=True)
class TrajectoryFile:
    """One trajectory file, as a cluster worker opens it: with the reader of `backend`, which
    opens it with `opener` and `reader_arguments` (for .xtc and .trr files read with MDTraj or
    natively, the atom count, and the frame `offsets` found once by the client; natively, also
    the atoms the search reads)."""

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


class Source(ABC):
    """An opened trajectory, as one reader library gives it: the sites of its topology, and its
    chunks of the frames asked for, with what reading met in `notes`. The rest is only asked
    for when needed, since a file may have to be read to answer it."""

    def __init__(self, sites: Sites):
        self.sites = sites
        self.notes = ReadNotes()

    @abstractmethod
    def chunks(self) -> Iterator[Chunk]:
        """The chunks of the frames asked for, in order."""

    @abstractmethod
    def n_frames(self) -> int | None:
        """The trajectory's readable frames; None when that cannot be told without reading it."""

    @abstractmethod
    def labels(self) -> AtomLabels | None:
        """Labels of the topology's atoms."""

    def files(self) -> list[TrajectoryFile]:
        """The files of the frames asked for, as cluster workers open them."""
        raise ValueError("a Dask cluster reads trajectory files itself: give file names or a Universe "
                         "read from files, not an in-memory trajectory")
