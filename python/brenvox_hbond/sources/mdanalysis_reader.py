"""Trajectories read through MDAnalysis: a Universe or AtomGroup, or files opened as a Universe,
converted from Å to nm."""

from __future__ import annotations

import os
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .._optional import require
from ..boxes import box_vectors
from ..labels import AtomLabels, mdanalysis_labels
from ..sites import SiteSelection
from .base import READ_ERRORS, Chunk, DamagedFile, FrameRange, ReadNotes, Source, TrajectoryFile, reason
from .xdr_frames import is_xdr_file, readable_index


class MdanalysisGroup(Source):
    """The frames of a Universe; donors, hydrogens and acceptors from `atoms` (the Universe or
    one of its AtomGroups) only."""

    def __init__(self, atoms: Any, selection: SiteSelection, frames: FrameRange, chunk_size: int):
        super().__init__(selection.mdanalysis_sites(atoms))
        self.universe, self.frames, self.chunk_size = atoms.universe, frames, chunk_size

    def chunks(self) -> Iterator[Chunk]:
        return mdanalysis_chunks(self.universe.trajectory, self.universe.atoms.n_atoms, self.frames, self.chunk_size,
                                 self.notes)

    def n_frames(self) -> int:
        return sum(part.n_frames for part in mdanalysis_parts(self.universe.trajectory))

    def labels(self) -> AtomLabels:
        return mdanalysis_labels(self.universe)

    def files(self) -> list[TrajectoryFile]:
        return trajectory_files(self.universe)


def open_files(paths: Sequence[Path], topology: Any, selection: SiteSelection, frames: FrameRange,
               chunk_size: int) -> Source:
    return MdanalysisGroup(mdanalysis_universe(topology, paths), selection, frames, chunk_size)


def file_chunks(file: TrajectoryFile, frames: FrameRange, chunk_size: int) -> Iterator[Chunk]:
    """On a cluster worker: the frames of one file in a bounded range, numbered as in the file."""
    reader = file.opener(**(file.reader_arguments or {}))
    if reader.n_frames < (frames.stop or 0):
        reader.close()
        raise EOFError(f"{file.path} holds {reader.n_frames} frames, fewer than when it was counted")
    return _closing(reader, mdanalysis_frames(reader, reader.n_atoms, frames, chunk_size))


def _closing(reader: Any, chunks: Iterator[Chunk]) -> Iterator[Chunk]:
    try:
        yield from chunks
    finally:
        reader.close()


def trajectory_files(universe: Any) -> list[TrajectoryFile]:
    """The files of a Universe's trajectory, with the reader class and arguments each was
    opened with, for cluster workers to open."""
    memory = require("MDAnalysis.coordinates.memory", "reading trajectories with MDAnalysis")
    trajectory = universe.trajectory
    readers = getattr(trajectory, "readers", None) or [trajectory]
    files = []
    first = 0
    for reader, part in zip(readers, mdanalysis_parts(trajectory)):
        if isinstance(reader, memory.MemoryReader) or getattr(reader, "transformations", None) \
                or not isinstance(getattr(reader, "filename", None), str) or not Path(reader.filename).is_file():
            raise ValueError("a Dask cluster reads trajectory files itself: this Universe's trajectory is not "
                             "a set of files read as stored (in memory, a stream, or with transformations)")
        damage = None if part.damage is None else DamagedFile(reader.filename, part.n_frames, part.damage)
        files.append(TrajectoryFile(reader.filename, first, part.n_frames, "mdanalysis", type(reader),
                                    reader_arguments=dict(reader._kwargs), damage=damage))
        first += part.n_frames
    if getattr(trajectory, "transformations", None):
        raise ValueError("a Dask cluster reads trajectory files itself: this Universe's trajectory has "
                         "transformations, which workers would not apply")
    return files


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
        raise ValueError(f"cannot read {files}: {reason(exc)}") from exc


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
                    except READ_ERRORS as exc:
                        raise DamagedFile(part.filename, frame, reason(exc)) from None
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
        except READ_ERRORS as exc:
            if gathered.count:
                yield gathered.take()
            raise DamagedFile(getattr(trajectory, "filename", "the trajectory"), frame, reason(exc)) from None
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
