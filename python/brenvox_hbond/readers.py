"""Trajectory files read chunk by chunk, in nm and ps, through MDTraj or MDAnalysis.

A damaged file (cut inside a frame, or with a frame that cannot be decoded) gives the frames
before the damage, exactly as an intact file would, and a `DamagedFile` note; the frames after
it are left out. A frame without a box keeps a zero box, so that the other frames keep theirs.
"""

from __future__ import annotations

import os
import struct
from collections.abc import Iterator, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ._optional import require
from .boxes import box_vectors
from .native_stderr import quiet_native_stderr
from .xdr_frames import FrameIndex, index_frames, is_xdr_file

# Errors the readers raise on frames they cannot decode.
_READ_ERRORS = (OSError, RuntimeError, ValueError, EOFError, IndexError, struct.error)


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


def _reason(exc: BaseException) -> str:
    text = " ".join(str(exc).split())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


# -- MDTraj ------------------------------------------------------------------------------------

def mdtraj_topology(topology: Any, first_file: Path | None) -> Any:
    """An mdtraj.Topology from a Topology, a Trajectory, a file name, or (None) the first file."""
    md = require("mdtraj", "reading trajectories with MDTraj")
    if isinstance(topology, md.Topology):
        return topology
    if isinstance(topology, md.Trajectory):
        return topology.topology
    source = first_file if topology is None else Path(topology)
    if source is None:
        raise ValueError("a topology is needed: give a topology file (.pdb, .gro, .prmtop, ...)")
    if not source.is_file():
        raise FileNotFoundError(f"topology file not found: {source}")
    try:
        if source.suffix.lower() == ".gro":
            # The topology alone: md.load_topology would parse every frame's coordinates too.
            with md.formats.GroTrajectoryFile(str(source)) as handle:
                return handle.topology
        return md.load_topology(str(source))
    except (OSError, ImportError, MemoryError):
        raise
    except Exception as exc:  # the readers raise many types for a malformed file
        raise ValueError(f"cannot read the topology {source}: {_reason(exc)}") from exc


def mdtraj_frame_count(paths: Sequence[Path]) -> int | None:
    """Readable frames in all files, when every format can tell without reading coordinates."""
    md = require("mdtraj", "reading trajectories with MDTraj")
    total = 0
    for path in paths:
        try:
            if is_xdr_file(path):
                total += readable_index(path).n_frames
                continue
            with md.open(str(path)) as handle:
                total += len(handle)
        except Exception:
            return None
    return total


def mdtraj_chunks(paths: Sequence[Path], topology: Any, frames: FrameRange, chunk_size: int,
                  notes: ReadNotes) -> Iterator[Chunk]:
    md = require("mdtraj", "reading trajectories with MDTraj")
    first = 0  # index in the whole trajectory of the file's first frame
    for path in paths:
        if frames.done(first):
            return
        if is_xdr_file(path):
            index = readable_index(path)
            _check_atoms(path, index.n_atoms, topology.n_atoms)
            local = frames.within(first, index.n_frames)
            blocks = _xdr_blocks(md, path, index, local, chunk_size, frames.reaches(first + index.n_frames))
            n_frames = index.n_frames
        else:
            blocks = _mdtraj_blocks(md, path, topology, frames, first, chunk_size)
            n_frames = None
        try:
            for xyz, times, box, numbers in blocks:
                _check_atoms(path, xyz.shape[1], topology.n_atoms)
                yield Chunk(np.ascontiguousarray(xyz, dtype=np.float32), box_rows(box),
                            np.asarray(times, dtype=np.float64), numbers + first)
        except DamagedFile as damage:
            notes.damaged.append(damage)
            if n_frames is None:
                n_frames = damage.frame
        if n_frames is None:
            n_frames = _counted_frames(md, path)
        first += n_frames


def _check_atoms(path: Path, n_atoms: int | None, expected: int) -> None:
    if n_atoms is not None and n_atoms != expected:
        raise ValueError(f"{path} has {n_atoms} atoms per frame but the topology has {expected}")


def _counted_frames(md: Any, path: Path) -> int:
    with md.open(str(path)) as handle:
        return len(handle)


Block = tuple[Any, Any, Any, npt.NDArray[np.int64]]  # xyz, times, box vectors, frame numbers in the file


def _xdr_blocks(md: Any, path: Path, index: FrameIndex, frames: FrameRange | None, chunk_size: int,
                reaches_end: bool) -> Iterator[Block]:
    """The frames of an .xtc or .trr file within `frames` (counted in the file), by seeking to
    each from the frame index; raises DamagedFile at the first frame that cannot be read, or
    at the file's damaged end when `reaches_end`."""
    if frames is not None:
        assert frames.stop is not None
        wanted = range(frames.start, min(frames.stop, index.n_frames), frames.step)
        with md.open(str(path)) as handle:
            handle.offsets = index.offsets
            for begin in range(0, len(wanted), chunk_size):
                block = wanted[begin:begin + chunk_size]
                xyz, times, box, failure = _read_xdr(handle, block)
                if len(xyz):
                    yield xyz, times, box, np.asarray(block[:len(xyz)], dtype=np.int64)
                if failure is not None:
                    raise DamagedFile(path, block[len(xyz)], failure)
    if reaches_end and index.damage is not None:
        raise DamagedFile(path, index.n_frames, index.damage)


def _read_xdr(handle: Any, frames: range) -> tuple[Any, Any, Any, str | None]:
    """The frames read in one call when the step is 1, else one by one; when a frame cannot be
    decoded, those before it and the reason."""
    parts: list[tuple[Any, Any, Any]] = []
    failure = None
    with quiet_native_stderr():
        try:
            if frames.step == 1:
                handle.seek(frames[0])
                xyz, times, _, box, *_ = handle.read(n_frames=len(frames))
                if len(xyz) == len(frames):
                    return xyz, times, box, None
                raise EOFError("the file ends before the frame")
            for frame in frames:
                handle.seek(frame)
                xyz, times, _, box, *_ = handle.read(n_frames=1)
                if not len(xyz):
                    raise EOFError("the file ends before the frame")
                parts.append((xyz, times, box))
        except _READ_ERRORS as exc:
            failure = _reason(exc)
        if failure is not None and frames.step == 1:
            # Which frame of the block failed: the ones before it are read again singly.
            failure = None
            for frame in frames:
                try:
                    handle.seek(frame)
                    xyz, times, _, box, *_ = handle.read(n_frames=1)
                except _READ_ERRORS as exc:
                    failure = _reason(exc)
                    break
                if not len(xyz):
                    failure = "the file ends before the frame"
                    break
                parts.append((xyz, times, box))
    if not parts:
        return np.zeros((0, 0, 3), np.float32), np.zeros(0), None, failure
    xyz, times, box = (np.concatenate([part[i] for part in parts]) for i in range(3))
    return xyz, times, box, failure


def _mdtraj_blocks(md: Any, path: Path, topology: Any, frames: FrameRange, first: int,
                   chunk_size: int) -> Iterator[Block]:
    """Frames of formats without a frame index, read in order from the file's start; a chunk that
    cannot be read ends the file there."""
    position = 0
    iterator = iter(md.iterload(str(path), top=topology, chunk=chunk_size))
    while not frames.done(first + position):
        try:
            trajectory = next(iterator)
        except StopIteration:
            return
        except _READ_ERRORS as exc:
            if not frames.reaches(first + position):
                return
            raise DamagedFile(path, position, _reason(exc)) from None
        taken = frames.select(first + position, trajectory.n_frames)
        if len(taken):
            yield (trajectory.xyz[taken], trajectory.time[taken],
                   None if trajectory.unitcell_vectors is None else trajectory.unitcell_vectors[taken],
                   taken + position)
        position += trajectory.n_frames


def mdtraj_file_chunks(path: Path, topology: Any, frames: FrameRange, chunk_size: int,
                       offsets: npt.NDArray[np.int64] | None = None) -> Iterator[Chunk]:
    """The frames of one file in a bounded range, found by seeking rather than reading from the
    start; `offsets` are the byte offsets of an .xtc or .trr file's readable frames, when known.
    Frame numbers are the file's own. Raises DamagedFile where a frame cannot be read."""
    md = require("mdtraj", "reading trajectories with MDTraj")
    assert frames.stop is not None
    n_atoms = topology if isinstance(topology, int) else topology.n_atoms
    if is_xdr_file(path):
        index = index_frames(path) if offsets is None else FrameIndex(np.asarray(offsets, np.int64), None)
        if index.n_frames < frames.stop:
            raise EOFError(f"{path} holds {index.n_frames} readable frames, fewer than when it was counted")
        blocks: Iterator[Block] = _xdr_blocks(md, path, index, frames, chunk_size, False)
    else:
        blocks = _skipping_blocks(md, path, topology, frames, chunk_size)
    position = frames.start
    for xyz, times, box, numbers in blocks:
        _check_atoms(path, xyz.shape[1], n_atoms)
        yield Chunk(np.ascontiguousarray(xyz, dtype=np.float32), box_rows(box),
                    np.asarray(times, dtype=np.float64), numbers)
        position = int(numbers[-1]) + frames.step
    if position < frames.stop:
        raise EOFError(f"{path} ends before frame {position}: it holds fewer frames than when it was counted")


def _skipping_blocks(md: Any, path: Path, topology: Any, frames: FrameRange, chunk_size: int) -> Iterator[Block]:
    position = frames.start
    iterator = iter(md.iterload(str(path), top=topology, chunk=chunk_size, skip=frames.start, stride=frames.step))
    while True:
        try:
            trajectory = next(iterator)
        except StopIteration:
            return
        except _READ_ERRORS as exc:
            raise DamagedFile(path, position, _reason(exc)) from None
        numbers = np.arange(position, position + trajectory.n_frames * frames.step, frames.step, dtype=np.int64)
        assert frames.stop is not None
        kept = numbers < frames.stop
        yield trajectory.xyz[kept], trajectory.time[kept], \
            None if trajectory.unitcell_vectors is None else trajectory.unitcell_vectors[kept], numbers[kept]
        position += trajectory.n_frames * frames.step
        if position >= frames.stop:
            return


# -- MDAnalysis --------------------------------------------------------------------------------

def mdanalysis_universe(topology: Any, paths: Sequence[Path]) -> Any:
    mda = require("MDAnalysis", "reading trajectories with MDAnalysis")
    if isinstance(topology, mda.Universe):
        topology = topology.filename
    if topology is None:
        raise ValueError("a topology is needed: give a topology file (.pdb, .gro, .psf, .tpr, ...)")
    if isinstance(topology, (str, os.PathLike)) and not Path(topology).is_file():
        raise FileNotFoundError(f"topology file not found: {topology}")
    try:
        return mda.Universe(str(topology), *[str(path) for path in paths])
    except (OSError, ImportError, MemoryError):
        raise
    except Exception as exc:  # the readers raise many types for a malformed file
        files = ", ".join(map(str, [topology, *paths]))
        raise ValueError(f"cannot read {files}: {_reason(exc)}") from exc


@dataclass(frozen=True)
class ReaderPart:
    """One file of an MDAnalysis trajectory: its first frame in the reader's numbering, its
    readable frames, the frames the reader counts, and why the frame after the readable ones
    cannot be read."""

    filename: str
    offset: int
    n_frames: int
    stored: int
    damage: str | None


def mdanalysis_parts(trajectory: Any) -> list[ReaderPart]:
    """The files of a reader (one, or each of a ChainReader's), with .xtc/.trr files cut at their
    damage: MDAnalysis counts a frame the file ends inside of, and reading it fails."""
    parts = getattr(trajectory, "readers", None) or [trajectory]
    found = []
    offset = 0
    for reader in parts:
        filename = getattr(reader, "filename", None)
        n_frames, damage = reader.n_frames, None
        if isinstance(filename, str) and is_xdr_file(filename) and Path(filename).is_file():
            index = readable_index(filename)
            if index.n_frames < n_frames or index.damage is not None:
                n_frames, damage = min(n_frames, index.n_frames), index.damage
        found.append(ReaderPart(str(filename), offset, n_frames, reader.n_frames, damage))
        offset += reader.n_frames
    return found


def mdanalysis_chunks(trajectory: Any, n_atoms: int, frames: FrameRange, chunk_size: int,
                      notes: ReadNotes) -> Iterator[Chunk]:
    """Frames of an MDAnalysis trajectory reader, converted from Å to nm. The trajectory's frames
    are numbered over its files' readable frames."""
    gathered = _Gathered(n_atoms, chunk_size)
    first = 0
    for part in mdanalysis_parts(trajectory):
        if frames.done(first):
            break
        local = frames.within(first, part.n_frames)
        try:
            if local is not None:
                assert local.stop is not None
                for frame in range(local.start, local.stop, local.step):
                    try:
                        timestep = trajectory[part.offset + frame]
                    except _READ_ERRORS as exc:
                        raise DamagedFile(part.filename, frame, _reason(exc)) from None
                    gathered.add(timestep, first + frame)
                    if gathered.full:
                        yield gathered.take()
            if part.damage is not None and frames.reaches(first + part.n_frames):
                raise DamagedFile(part.filename, part.n_frames, part.damage)
        except DamagedFile as damage:
            notes.damaged.append(damage)
        first += part.n_frames
    if gathered.count:
        yield gathered.take()


def mdanalysis_frames(trajectory: Any, n_atoms: int, frames: FrameRange, chunk_size: int) -> Iterator[Chunk]:
    """The frames of one file's reader in a bounded range, numbered as in the file; raises
    DamagedFile where a frame cannot be read."""
    assert frames.stop is not None
    gathered = _Gathered(n_atoms, chunk_size)
    for frame in range(frames.start, frames.stop, frames.step):
        try:
            timestep = trajectory[frame]
        except _READ_ERRORS as exc:
            if gathered.count:
                yield gathered.take()
            raise DamagedFile(getattr(trajectory, "filename", "the trajectory"), frame, _reason(exc)) from None
        gathered.add(timestep, frame)
        if gathered.full:
            yield gathered.take()
    if gathered.count:
        yield gathered.take()


class _Gathered:
    """Timesteps copied into the next chunk's arrays as they are read."""

    def __init__(self, n_atoms: int, chunk_size: int):
        self.n_atoms, self.size = n_atoms, chunk_size
        self._new()

    def _new(self) -> None:
        self.xyz = np.empty((self.size, self.n_atoms, 3), dtype=np.float32)
        self.dimensions = np.zeros((self.size, 6))
        self.times = np.empty(self.size)
        self.frames = np.empty(self.size, dtype=np.int64)
        self.count = 0

    @property
    def full(self) -> bool:
        return self.count == self.size

    def add(self, timestep: Any, frame: int) -> None:
        slot = self.count
        np.multiply(timestep.positions, np.float32(0.1), out=self.xyz[slot])
        if timestep.dimensions is not None:
            self.dimensions[slot] = timestep.dimensions
        self.times[slot] = timestep.time
        self.frames[slot] = frame
        self.count += 1

    def take(self) -> Chunk:
        n = self.count
        chunk = Chunk(self.xyz[:n], mdanalysis_box(self.dimensions[:n]), self.times[:n], self.frames[:n])
        self._new()
        return chunk


def mdanalysis_box(dimensions: npt.NDArray[np.float64]) -> npt.NDArray[np.float64] | None:
    """Box vectors in nm from MDAnalysis dimensions (Å and degrees, a row a frame), zeros for a
    frame that stores no box (zero lengths); None when no frame has one."""
    present = np.all(dimensions[:, :3] > 0, axis=1)
    if not np.any(present):
        return None
    in_nm = np.array(dimensions[present], dtype=np.float64)
    in_nm[:, :3] *= 0.1
    vectors = np.zeros((len(dimensions), 3, 3))
    vectors[present] = box_vectors(in_nm, len(in_nm))
    return vectors
