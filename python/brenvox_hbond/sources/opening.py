"""Which reader opens a trajectory, and opening it: an MDAnalysis Universe or AtomGroup, an
in-memory MDTraj trajectory, or files read with the library that `backend` names (by default
the one that can read them)."""

from __future__ import annotations

import importlib
import importlib.util
import os
from collections.abc import Iterator, Sequence
from pathlib import Path
from types import ModuleType
from typing import Any

from .._optional import require
from ..defaults import check_backend
from ..sites import SiteSelection
from . import native_reader
from .base import Chunk, FrameRange, Source, TrajectoryFile

# The module that reads with each library, imported when first used; each has open_files and
# file_chunks.
READERS = {"native": "native_reader", "mdtraj": "mdtraj_reader", "mdanalysis": "mdanalysis_reader"}

# Topology formats that MDAnalysis reads and MDTraj does not.
_MDANALYSIS_TOPOLOGIES = (".tpr", ".top", ".itp", ".data", ".gsd", ".txyz", ".arc", ".crd", ".pqr", ".pdbqt",
                          ".mmtf", ".xpdb", ".dms", ".config", ".history", ".in", ".minimal")


def open_source(trajectory: Any, topology: Any, selection: SiteSelection, frames: FrameRange, chunk_size: int,
                backend: str | None) -> Source:
    check_backend(backend)
    if is_mdanalysis_group(trajectory):
        group: Source = reader("mdanalysis").MdanalysisGroup(trajectory, selection, frames, chunk_size)
        return group
    if is_mdtraj_object(trajectory):
        loaded: Source = reader("mdtraj").MdtrajTrajectory(trajectory, selection, frames, chunk_size)
        return loaded
    paths = as_paths(trajectory)
    if backend is None:
        native = native_reader.open_by_default(paths, topology, selection, frames, chunk_size)
        if native is not None:
            return native
        backend = _default_backend(topology, paths)
    if backend == "mdtraj":
        _check_mdtraj_paths(topology, paths)
    source: Source = reader(backend).open_files(paths, topology, selection, frames, chunk_size)
    return source


def reader(backend: str) -> ModuleType:
    return importlib.import_module(f"{__package__}.{READERS[backend]}")


def as_paths(trajectory: str | os.PathLike[str] | Sequence[str | os.PathLike[str]]) -> list[Path]:
    items = [trajectory] if isinstance(trajectory, (str, os.PathLike)) else list(trajectory)
    if not items:
        raise ValueError("no trajectory file given")
    paths = [Path(item) for item in items]
    for path in paths:
        if not path.is_file():
            raise FileNotFoundError(f"trajectory file not found: {path}")
    return paths


def file_chunks(file: TrajectoryFile, frames: FrameRange, chunk_size: int) -> Iterator[Chunk]:
    """On a cluster worker: the frames of one file in a bounded range, numbered as in the file;
    raises DamagedFile where a frame cannot be read."""
    chunks: Iterator[Chunk] = reader(file.backend).file_chunks(file, frames, chunk_size)
    return chunks


def is_mdtraj_object(value: object) -> bool:
    return type(value).__module__.startswith("mdtraj")


def is_mdanalysis_group(value: object) -> bool:
    return type(value).__module__.startswith("MDAnalysis")


def _default_backend(topology: Any, paths: Sequence[Path]) -> str:
    if is_mdanalysis_group(topology):
        return "mdanalysis"
    wants_mdanalysis = isinstance(topology, (str, os.PathLike)) and (
        Path(topology).suffix.lower() in _MDANALYSIS_TOPOLOGIES)
    if wants_mdanalysis or not _mdtraj_can_open(topology, paths):
        if _installed("MDAnalysis"):
            return "mdanalysis"
        if wants_mdanalysis:
            require("MDAnalysis", f"reading the topology {topology}")
    if _installed("mdtraj"):
        return "mdtraj"
    if _installed("MDAnalysis"):
        return "mdanalysis"
    require("mdtraj", "reading trajectory files")
    return "mdtraj"


def _mdtraj_can_open(topology: Any, paths: Sequence[Path]) -> bool:
    # MDTraj's file readers encode paths as ASCII.
    names = [*map(str, paths), *([str(topology)] if isinstance(topology, (str, os.PathLike)) else [])]
    return all(name.isascii() for name in names)


def _check_mdtraj_paths(topology: Any, paths: Sequence[Path]) -> None:
    if not _mdtraj_can_open(topology, paths):
        raise ValueError("MDTraj cannot open file names that hold non-ASCII characters: rename the files, "
                         "or read them with MDAnalysis (backend='mdanalysis', pip install "
                         "'brenvox_hbond_rs[mdanalysis]')")


def _installed(module: str) -> bool:
    return importlib.util.find_spec(module) is not None
