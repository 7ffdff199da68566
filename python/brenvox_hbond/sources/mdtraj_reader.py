"""Trajectories read through MDTraj: files of any format it reads (.xtc and .trr by seeking
each frame from their frame index) and in-memory `mdtraj.Trajectory` objects."""

from __future__ import annotations

import os
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .._optional import require
from ..labels import AtomLabels, mdtraj_labels
from ..sites import SiteSelection
from .base import READ_ERRORS, Chunk, DamagedFile, FrameRange, ReadNotes, Source, TrajectoryFile, reason
from .native_stderr import quiet_native_stderr
from .xdr_frames import Block, FrameIndex, index_frames, is_xdr_file, readable_index, xdr_blocks


class MdtrajFiles(Source):
    """Files read one after the other as one trajectory, with an MDTraj topology."""

    def __init__(self, paths: Sequence[Path], topology: Any, selection: SiteSelection, frames: FrameRange,
                 chunk_size: int):
        self.topology = mdtraj_topology(topology, paths[0] if topology is None else None)
        super().__init__(selection.mdtraj_sites(self.topology))
        self.paths, self.frames, self.chunk_size = paths, frames, chunk_size

    def chunks(self) -> Iterator[Chunk]:
        return mdtraj_chunks(self.paths, self.topology, self.frames, self.chunk_size, self.notes)

    def n_frames(self) -> int | None:
        return mdtraj_frame_count(self.paths)

    def labels(self) -> AtomLabels:
        first = next(mdtraj_chunks(self.paths, self.topology, FrameRange(0, 1), 1, ReadNotes()), None)
        if first is None:
            return mdtraj_labels(self.topology)
        return mdtraj_labels(self.topology, first.xyz[0], None if first.box is None else first.box[0])

    def files(self) -> list[TrajectoryFile]:
        return trajectory_files(self.paths, self.topology, self.frames)


class MdtrajTrajectory(Source):
    """An `mdtraj.Trajectory` held in memory."""

    def __init__(self, trajectory: Any, selection: SiteSelection, frames: FrameRange, chunk_size: int):
        super().__init__(selection.mdtraj_sites(trajectory.topology))
        self.trajectory, self.frames, self.chunk_size = trajectory, frames, chunk_size

    def chunks(self) -> Iterator[Chunk]:
        trajectory = self.trajectory
        taken = self.frames.select(0, trajectory.n_frames)
        vectors = trajectory.unitcell_vectors
        for begin in range(0, len(taken), self.chunk_size):
            block = taken[begin:begin + self.chunk_size]
            yield Chunk(xyz=np.ascontiguousarray(trajectory.xyz[block], dtype=np.float32),
                        box=None if vectors is None else box_rows(vectors[block]),
                        times=np.asarray(trajectory.time[block], dtype=np.float64), frames=block)

    def n_frames(self) -> int:
        return int(self.trajectory.n_frames)

    def labels(self) -> AtomLabels:
        trajectory = self.trajectory
        box = None if trajectory.unitcell_vectors is None else trajectory.unitcell_vectors[0]
        return mdtraj_labels(trajectory.topology, trajectory.xyz[0] if trajectory.n_frames else None, box)


def open_files(paths: Sequence[Path], topology: Any, selection: SiteSelection, frames: FrameRange,
               chunk_size: int) -> Source:
    return MdtrajFiles(paths, topology, selection, frames, chunk_size)


def file_chunks(file: TrajectoryFile, frames: FrameRange, chunk_size: int) -> Iterator[Chunk]:
    """On a cluster worker: the frames of one file in a bounded range, numbered as in the file."""
    return mdtraj_file_chunks(Path(file.path), file.opener, frames, chunk_size, file.offsets)


def trajectory_files(paths: Sequence[Path], topology: Any, frames: FrameRange) -> list[TrajectoryFile]:
    """The files up to the last analysed frame, counted (and for .xtc/.trr, their frame offsets
    found) here, for cluster workers to open."""
    md = require("mdtraj", "reading trajectories with MDTraj")
    files: list[TrajectoryFile] = []
    first = 0
    for path in paths:
        if frames.done(first):
            break
        offsets, damage = None, None
        try:
            if is_xdr_file(path):
                index = readable_index(path)
                offsets, n_frames, opener = index.offsets, index.n_frames, topology.n_atoms
                if index.damage is not None:
                    damage = DamagedFile(path, n_frames, index.damage)
            else:
                n_frames, opener = _frame_count(md, path, topology), topology
        except OSError:
            raise
        except Exception as exc:  # the readers raise many types for a malformed file
            raise ValueError(f"cannot count the frames of {path}: {type(exc).__name__}: {exc}") from exc
        files.append(TrajectoryFile(str(path), first, n_frames, "mdtraj", opener, offsets, damage=damage))
        first += n_frames
    return files


def _frame_count(md: Any, path: Path, topology: Any) -> int:
    try:
        with md.open(str(path)) as handle:
            return len(handle)
    except Exception:  # formats that cannot tell: count by reading
        return sum(len(block) for block in md.iterload(str(path), top=topology, chunk=1000))


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
        raise ValueError(f"cannot read the topology {source}: {reason(exc)}") from exc


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
            check_atoms(path, index.n_atoms, topology.n_atoms)
            local = frames.within(first, index.n_frames)
            blocks = _xdr_blocks(md, path, index, local, chunk_size, frames.reaches(first + index.n_frames))
            n_frames = index.n_frames
        else:
            blocks = _mdtraj_blocks(md, path, topology, frames, first, chunk_size)
            n_frames = None
        try:
            for xyz, times, box, numbers in blocks:
                check_atoms(path, xyz.shape[1], topology.n_atoms)
                yield Chunk(np.ascontiguousarray(xyz, dtype=np.float32), box_rows(box),
                            np.asarray(times, dtype=np.float64), numbers + first)
        except DamagedFile as damage:
            notes.damaged.append(damage)
            if n_frames is None:
                n_frames = damage.frame
        if n_frames is None:
            n_frames = _counted_frames(md, path)
        first += n_frames


def box_rows(vectors: npt.ArrayLike | None) -> npt.NDArray[np.float64] | None:
    """Box vectors a frame a row, zeros where a frame stores none (as MDTraj reads an absent box);
    None when no frame has a box."""
    if vectors is None:
        return None
    array = np.asarray(vectors, dtype=np.float64)
    if not np.any(array):
        return None
    return array


def check_atoms(path: str | os.PathLike[str], n_atoms: int | None, expected: int) -> None:
    if n_atoms is not None and n_atoms != expected:
        raise ValueError(f"{path} has {n_atoms} atoms per frame but the topology has {expected}")


def _counted_frames(md: Any, path: Path) -> int:
    with md.open(str(path)) as handle:
        return len(handle)


def _xdr_blocks(md: Any, path: Path, index: FrameIndex, frames: FrameRange | None, chunk_size: int,
                reaches_end: bool) -> Iterator[Block]:
    with md.open(str(path)) as handle:
        handle.offsets = index.offsets
        yield from xdr_blocks(path, index, frames, chunk_size, reaches_end, lambda block: _read_xdr(handle, block))


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
        except READ_ERRORS as exc:
            failure = reason(exc)
        if failure is not None and frames.step == 1:
            # Which frame of the block failed: the ones before it are read again singly.
            failure = None
            for frame in frames:
                try:
                    handle.seek(frame)
                    xyz, times, _, box, *_ = handle.read(n_frames=1)
                except READ_ERRORS as exc:
                    failure = reason(exc)
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
        except READ_ERRORS as exc:
            if not frames.reaches(first + position):
                return
            raise DamagedFile(path, position, reason(exc)) from None
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
        check_atoms(path, xyz.shape[1], n_atoms)
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
        except READ_ERRORS as exc:
            raise DamagedFile(path, position, reason(exc)) from None
        numbers = np.arange(position, position + trajectory.n_frames * frames.step, frames.step, dtype=np.int64)
        assert frames.stop is not None
        kept = numbers < frames.stop
        yield trajectory.xyz[kept], trajectory.time[kept], \
            None if trajectory.unitcell_vectors is None else trajectory.unitcell_vectors[kept], numbers[kept]
        position += trajectory.n_frames * frames.step
        if position >= frames.stop:
            return
