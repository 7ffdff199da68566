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
# without building a Trajectory per chunk.
_DIRECT_FORMATS = (".xtc", ".trr")


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


def _mdtraj_blocks(md: Any, path: Path, topology: Any, chunk_size: int) -> Iterator[tuple[Any, Any, Any]]:
    if path.suffix.lower() in _DIRECT_FORMATS:
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


def mdanalysis_chunks(universe: Any, frames: FrameRange, chunk_size: int) -> Iterator[Chunk]:
    """Frames of a Universe's trajectory, converted from Å to nm."""
    trajectory = universe.trajectory
    n_atoms = universe.atoms.n_atoms
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
        dimensions[:, :3] *= 0.1
        box = box_vectors(dimensions, len(block)) if np.all(dimensions[:, :3] > 0) else None
        yield Chunk(xyz=xyz, box=box, times=times, frames=np.asarray(block, dtype=np.int64))
