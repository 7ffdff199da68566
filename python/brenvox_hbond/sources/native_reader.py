""".xtc and .trr trajectories with a .gro or .pdb topology, read by the package itself: frames
decoded by its extension on every core without the interpreter lock, the topology parsed with
NumPy. Neither MDTraj nor MDAnalysis is imported."""

from __future__ import annotations

import importlib.util
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from .. import _native
from ..defaults import every_core
from ..labels import AtomLabels
from ..sites import SiteSelection
from .base import Chunk, DamagedFile, FrameRange, ReadNotes, Source, TrajectoryFile, reason
from .structure_files import Structure, read_structure, structure_labels
from .xdr_frames import FrameIndex, ReadFrames, is_xdr_file, readable_index, xdr_blocks

TOPOLOGIES = (".gro", ".pdb", ".ent", ".gro.gz", ".pdb.gz", ".ent.gz")


def can_read(paths: Sequence[Path], topology: Any) -> bool:
    """Whether these files are what this reader reads: .xtc or .trr files and a topology file
    (not an object of another library) of one of `TOPOLOGIES`."""
    return (all(is_xdr_file(path) for path in paths) and isinstance(topology, (str, Path))
            and str(topology).lower().endswith(TOPOLOGIES))


class NativeFiles(Source):
    def __init__(self, paths: Sequence[Path], structure: Structure, selection: SiteSelection, frames: FrameRange,
                 chunk_size: int):
        self.structure = structure
        super().__init__(selection.structure_sites(structure))
        self.paths, self.frames, self.chunk_size = paths, frames, chunk_size
        # The search reads no atom past the last site: an .xtc frame is decoded up to it only.
        self.kept_atoms = 1 + int(max(self.sites.donor_h_pairs.max(initial=-1), self.sites.acceptors.max(initial=-1)))

    def chunks(self) -> Iterator[Chunk]:
        return native_chunks(self.paths, self.structure.n_atoms, self.frames, self.chunk_size, self.notes,
                             self.kept_atoms)

    def n_frames(self) -> int:
        return sum(readable_index(path).n_frames for path in self.paths)

    def labels(self) -> AtomLabels:
        # As the MDTraj path: molecules from the trajectory's first frame, where the file has one.
        first = next(native_chunks(self.paths, self.structure.n_atoms, FrameRange(0, 1), 1, ReadNotes()), None)
        if first is None:
            return structure_labels(self.structure)
        return structure_labels(self.structure, first.xyz[0], None if first.box is None else first.box[0])

    def files(self) -> list[TrajectoryFile]:
        files: list[TrajectoryFile] = []
        first = 0
        for path in self.paths:
            if self.frames.done(first):
                break
            index = readable_index(path)
            damage = None if index.damage is None else DamagedFile(path, index.n_frames, index.damage)
            files.append(TrajectoryFile(str(path), first, index.n_frames, "native", self.structure.n_atoms,
                                        index.offsets, {"kept_atoms": self.kept_atoms}, damage=damage))
            first += index.n_frames
        return files


def open_files(paths: Sequence[Path], topology: Any, selection: SiteSelection, frames: FrameRange,
               chunk_size: int) -> Source:
    if not can_read(paths, topology):
        raise ValueError("the native reader reads .xtc and .trr files with a .gro or .pdb topology file: "
                         "read others with backend='mdtraj' or 'mdanalysis'")
    return NativeFiles(paths, _structure(Path(topology)), selection, frames, chunk_size)


def open_by_default(paths: Sequence[Path], topology: Any, selection: SiteSelection, frames: FrameRange,
                    chunk_size: int) -> Source | None:
    """The files read natively when this reader can give what MDTraj would; None when MDTraj
    should read them: selection strings, or residues without a template here while MDTraj is
    installed (it may know them)."""
    if not can_read(paths, topology) or selection.narrows:
        return None
    structure = _structure(Path(topology))
    if structure.untemplated and importlib.util.find_spec("mdtraj") is not None:
        return None
    return NativeFiles(paths, structure, selection, frames, chunk_size)


def native_chunks(paths: Sequence[Path], n_atoms: int, frames: FrameRange, chunk_size: int,
                  notes: ReadNotes, kept_atoms: int = 0) -> Iterator[Chunk]:
    """The frames in chunks, with the first `kept_atoms` atoms (0: all)."""
    first = 0  # index in the whole trajectory of the file's first frame
    for path in paths:
        if frames.done(first):
            return
        index = readable_index(path)
        _check_atoms(path, index, n_atoms)
        blocks = xdr_blocks(path, index, frames.within(first, index.n_frames), chunk_size,
                            frames.reaches(first + index.n_frames), _reading(path, index, n_atoms, kept_atoms))
        try:
            for xyz, times, box, numbers in blocks:
                yield _chunk(xyz, times, box, numbers + first)
        except DamagedFile as damage:
            notes.damaged.append(damage)
        first += index.n_frames


def file_chunks(file: TrajectoryFile, frames: FrameRange, chunk_size: int) -> Iterator[Chunk]:
    """On a cluster worker: the frames of one file in a bounded range, numbered as in the file."""
    assert frames.stop is not None and file.offsets is not None
    index = FrameIndex(np.asarray(file.offsets, np.int64), None, file.opener)
    if index.n_frames < frames.stop:
        raise EOFError(f"{file.path} holds {index.n_frames} readable frames, fewer than when it was counted")
    for xyz, times, box, numbers in xdr_blocks(file.path, index, frames, chunk_size, False,
                                               _reading(Path(file.path), index, file.opener,
                                                        (file.reader_arguments or {}).get("kept_atoms", 0))):
        yield _chunk(xyz, times, box, numbers)


def _structure(path: Path) -> Structure:
    if not path.is_file():
        raise FileNotFoundError(f"topology file not found: {path}")
    try:
        return read_structure(path)
    except (OSError, MemoryError):
        raise
    except Exception as exc:  # a malformed file fails in many ways
        raise ValueError(f"cannot read the topology {path}: {reason(exc)}") from exc


def _check_atoms(path: Path, index: FrameIndex, n_atoms: int) -> None:
    if index.n_atoms is not None and index.n_atoms != n_atoms:
        raise ValueError(f"{path} has {index.n_atoms} atoms per frame but the topology has {n_atoms}")


def _reading(path: Path, index: FrameIndex, n_atoms: int, kept_atoms: int) -> ReadFrames:
    def read(block: range) -> tuple[Any, Any, Any, str | None]:
        frames = np.asarray(block, np.int64)
        try:
            decoded = _native.read_xdr(str(path), index.offsets, frames, n_atoms, every_core(), kept_atoms)
        except RuntimeError as exc:
            # Threads need memory for their stacks: short of it, one thread still decodes.
            if "could not start the worker threads" not in str(exc):
                raise
            decoded = _native.read_xdr(str(path), index.offsets, frames, n_atoms, 1, kept_atoms)
        xyz, box, times, _, failure = decoded
        return xyz, times, box, failure

    return read


def _chunk(xyz: Any, times: Any, box: Any, frames: Any) -> Chunk:
    box = np.asarray(box, dtype=np.float64)
    return Chunk(xyz, box if np.any(box) else None, np.asarray(times, dtype=np.float64), frames)


__all__ = ["NativeFiles", "Structure", "can_read", "file_chunks", "native_chunks", "open_files"]
