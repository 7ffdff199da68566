"""Trajectory files read chunk by chunk, in nm and ps, through MDTraj or MDAnalysis."""

from __future__ import annotations

import os
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from ._optional import require
from .boxes import box_vectors

# Formats whose MDTraj file object reads (xyz in nm, time, step, box vectors, ...) directly,
# without building a Trajectory per chunk, and seeks by frame offsets.
DIRECT_FORMATS = (".xtc", ".trr")


@dataclass(frozen=True)
class Chunk:
    """Consecutive analysed frames: coordinates in nm, box vectors in nm (None: no box), times in
    ps and each frame's index in the whole trajectory."""

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


def as_paths(trajectory: str | os.PathLike[str] | Sequence[str | os.PathLike[str]]) -> list[Path]:
    items = [trajectory] if isinstance(trajectory, (str, os.PathLike)) else list(trajectory)
    if not items:
        raise ValueError("no trajectory file given")
    paths = [Path(item) for item in items]
    for path in paths:
        if not path.is_file():
            raise FileNotFoundError(f"trajectory file not found: {path}")
    return paths


def box_or_none(vectors: npt.NDArray[Any] | None) -> npt.NDArray[np.float64] | None:
    """Box vectors, or None where the file stores no box (MDTraj reads an absent box as zeros)."""
    if vectors is None:
        return None
    array = np.asarray(vectors, dtype=np.float64)
    if not np.any(array):
        return None
    return array


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
    except (OSError, ImportError):
        raise
    except Exception as exc:  # the readers raise many types for a malformed file
        raise ValueError(f"cannot read the topology {source}: {type(exc).__name__}: {exc}") from exc


def mdtraj_frame_count(paths: Sequence[Path]) -> int | None:
    """Frames in all files, when every format can tell without reading coordinates."""
    md = require("mdtraj", "reading trajectories with MDTraj")
    total = 0
    for path in paths:
        try:
            with md.open(str(path)) as handle:
                total += len(handle)
        except Exception:
            return None
    return total


def mdtraj_chunks(paths: Sequence[Path], topology: Any, frames: FrameRange, chunk_size: int) -> Iterator[Chunk]:
    md = require("mdtraj", "reading trajectories with MDTraj")
    first = 0  # index in the whole trajectory of the next frame read
    for path in paths:
        if frames.done(first):
            return
        for xyz, times, box in _mdtraj_blocks(md, path, topology, chunk_size):
            if xyz.shape[1] != topology.n_atoms:
                raise ValueError(
                    f"{path} has {xyz.shape[1]} atoms per frame but the topology has {topology.n_atoms}"
                )
            taken = frames.select(first, len(xyz))
            first += len(xyz)
            if len(taken):
                every = len(taken) == len(xyz)
                yield Chunk(
                    xyz=np.ascontiguousarray(xyz if every else xyz[taken], dtype=np.float32),
                    box=None if box is None else (box if every else box[taken]),
                    times=np.asarray(times if every else times[taken], dtype=np.float64),
                    frames=taken + (first - len(xyz)),
                )
            if frames.done(first):
                return


def mdtraj_file_chunks(path: Path, topology: Any, frames: FrameRange, chunk_size: int,
                       offsets: npt.NDArray[np.int64] | None = None) -> Iterator[Chunk]:
    """The frames of one file in a bounded range, found by seeking rather than reading from the
    start; `offsets` are the byte offsets of an .xtc or .trr file's frames, when known. Frame
    numbers are the file's own."""
    md = require("mdtraj", "reading trajectories with MDTraj")
    assert frames.stop is not None
    n_atoms = topology if isinstance(topology, int) else topology.n_atoms
    if path.suffix.lower() in DIRECT_FORMATS:
        blocks = _seeking_blocks(md, path, frames, chunk_size, offsets)
    else:
        blocks = ((t.xyz, t.time, box_or_none(t.unitcell_vectors))
                  for t in md.iterload(str(path), top=topology, chunk=chunk_size, skip=frames.start,
                                       stride=frames.step))
    position = frames.start
    for xyz, times, box in _taken(blocks, len(range(frames.start, frames.stop, frames.step))):
        if xyz.shape[1] != n_atoms:
            raise ValueError(f"{path} has {xyz.shape[1]} atoms per frame but the topology has {n_atoms}")
        yield Chunk(xyz=np.ascontiguousarray(xyz, dtype=np.float32), box=box,
                    times=np.asarray(times, dtype=np.float64),
                    frames=np.arange(position, position + len(xyz) * frames.step, frames.step, dtype=np.int64))
        position += len(xyz) * frames.step
    if position < frames.stop:
        raise EOFError(f"{path} ends before frame {position}: it holds fewer frames than when it was counted")


def _seeking_blocks(md: Any, path: Path, frames: FrameRange, chunk_size: int,
                    offsets: npt.NDArray[np.int64] | None) -> Iterator[tuple[Any, Any, Any]]:
    # Frame by frame when striding: MDTraj's strided read of a file with known offsets crashes.
    assert frames.stop is not None
    with md.open(str(path)) as handle:
        if offsets is not None:
            handle.offsets = offsets
        wanted = range(frames.start, frames.stop, frames.step)
        for begin in range(0, len(wanted), chunk_size):
            block = wanted[begin:begin + chunk_size]
            if frames.step == 1:
                handle.seek(block[0])
                xyz, times, _, box, *_ = handle.read(n_frames=len(block))
            else:
                parts = []
                for frame in block:
                    handle.seek(frame)
                    parts.append(handle.read(n_frames=1))
                    if not len(parts[-1][0]):
                        break
                xyz, times, box = (np.concatenate([part[i] for part in parts]) for i in (0, 1, 3))
            if not len(xyz):
                return
            yield xyz, times, box_or_none(box)


def _taken(blocks: Iterator[tuple[Any, Any, Any]], wanted: int) -> Iterator[tuple[Any, Any, Any]]:
    """The first `wanted` frames of the blocks."""
    for xyz, times, box in blocks:
        if wanted <= 0:
            return
        if len(xyz) > wanted:
            xyz, times, box = xyz[:wanted], times[:wanted], None if box is None else box[:wanted]
        wanted -= len(xyz)
        yield xyz, times, box


def _mdtraj_blocks(md: Any, path: Path, topology: Any, chunk_size: int) -> Iterator[tuple[Any, Any, Any]]:
    if path.suffix.lower() in DIRECT_FORMATS:
        with md.open(str(path)) as handle:
            while True:
                xyz, times, _, box, *_ = handle.read(n_frames=chunk_size)
                if not len(xyz):
                    return
                yield xyz, times, box_or_none(box)
    else:
        for trajectory in md.iterload(str(path), top=topology, chunk=chunk_size):
            yield trajectory.xyz, trajectory.time, box_or_none(trajectory.unitcell_vectors)


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
    except (OSError, ImportError):
        raise
    except Exception as exc:  # the readers raise many types for a malformed file
        files = ", ".join(map(str, [topology, *paths]))
        raise ValueError(f"cannot read {files}: {type(exc).__name__}: {exc}") from exc


def mdanalysis_chunks(trajectory: Any, n_atoms: int, frames: FrameRange, chunk_size: int) -> Iterator[Chunk]:
    """Frames of an MDAnalysis trajectory reader, converted from Å to nm."""
    stop = trajectory.n_frames if frames.stop is None else min(frames.stop, trajectory.n_frames)
    selected = range(frames.start, stop, frames.step)
    for begin in range(0, len(selected), chunk_size):
        block = selected[begin : begin + chunk_size]
        xyz = np.empty((len(block), n_atoms, 3), dtype=np.float32)
        dimensions = np.zeros((len(block), 6))
        times = np.empty(len(block))
        for position, timestep in enumerate(trajectory[block.start : block.stop : block.step]):
            np.multiply(timestep.positions, np.float32(0.1), out=xyz[position])
            if timestep.dimensions is not None:
                dimensions[position] = timestep.dimensions
            times[position] = timestep.time
        yield Chunk(xyz=xyz, box=mdanalysis_box(dimensions), times=times, frames=np.asarray(block, dtype=np.int64))


def mdanalysis_box(dimensions: npt.NDArray[np.float64]) -> npt.NDArray[np.float64] | None:
    """Box vectors in nm from MDAnalysis dimensions (Å and degrees, a row a frame); None when some
    frame stores no box (zero lengths)."""
    if not np.all(dimensions[:, :3] > 0):
        return None
    in_nm = np.array(dimensions, dtype=np.float64)
    in_nm[:, :3] *= 0.1
    return box_vectors(in_nm, len(in_nm))

