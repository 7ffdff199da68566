"""`analyze`: hydrogen bonds of whole trajectories, read and searched chunk by chunk."""

from __future__ import annotations

import contextlib
import importlib.util
import math
import os
import queue
import sys
import threading
import warnings
from collections.abc import Callable, Iterator, Sequence
from pathlib import Path
from typing import Any

import numpy as np

from . import cluster, readers
from ._optional import require
from .chunk_search import SearchOptions, search_chunk
from .collector import Collector
from .defaults import BACKENDS, CHUNK_SIZE, CONNECT_TIMEOUT, TASK_FRAMES
from .hbonds import find_hbonds
from .readers import Chunk, DamagedFile, FrameRange
from .results import HbondResult
from .sites import (
    AtomLabels,
    Sites,
    is_mdanalysis_group,
    is_mdtraj_topology,
    mdanalysis_labels,
    mdanalysis_sites,
    mdtraj_labels,
    mdtraj_sites,
)

TrajectoryInput = str | os.PathLike[str] | Sequence[str | os.PathLike[str]] | Any


def analyze(
    trajectory: TrajectoryInput,
    topology: Any = None,
    *,
    donors: str | None = None,
    hydrogens: str | None = None,
    acceptors: str | None = None,
    exclude_water: bool = False,
    sidechain_only: bool = False,
    periodic: bool = True,
    distance_cutoff: float = 0.25,
    angle_cutoff: float = 120.0,
    start: int | None = None,
    stop: int | None = None,
    step: int | None = None,
    chunk_size: int = CHUNK_SIZE,
    n_threads: int | None = None,
    progress: bool | None = None,
    geometry: bool = False,
    keep_rows: bool = True,
    backend: str | None = None,
    scheduler: Any = None,
    workers: int | None = None,
    task_frames: int = TASK_FRAMES,
    connect_timeout: float = CONNECT_TIMEOUT,
) -> HbondResult:
    """Find the hydrogen bonds of every frame of a trajectory, reading it chunk by chunk.

    Parameters
    ----------
    trajectory
        A trajectory file name or a list of them (read one after the other as one trajectory;
        any format MDTraj or MDAnalysis reads), an ``mdtraj.Trajectory``, or an MDAnalysis
        ``Universe`` or ``AtomGroup`` (whose atoms alone then donate and accept).
    topology
        For files: a topology file, an ``mdtraj.Topology``/``Trajectory`` or an MDAnalysis
        ``Universe``; None when the first file carries one (.pdb, .gro, .h5).
    donors, hydrogens, acceptors : str, optional
        Selection strings, in the selection language of the topology's library, that narrow
        the candidates. By default donors are N and O bonded to a hydrogen (through the
        topology's bonds), acceptors N and O atoms.
    exclude_water, sidechain_only : bool
        Leave out water, or backbone atoms (MDTraj topologies only).
    periodic : bool, default True
        Use the box stored with each frame. A chunk in which some frame stores none is searched
        without a box, with a RuntimeWarning the first time.
    distance_cutoff, angle_cutoff : float
        H–A distance in nm, D–H–A angle in degrees.
    start, stop, step : int, optional
        Analyse frames ``start, start + step, ...`` below `stop` of the whole trajectory.
    chunk_size : int, default 100
        Frames read and searched at once; memory is bounded by it, the result does not depend
        on it.
    n_threads : int, optional
        Search threads; by default every core.
    progress : bool, optional
        A progress bar (tqdm) on stderr; by default when stderr is a terminal and tqdm is
        installed.
    geometry : bool, default False
        Also compute the D–A and H–A distances and D–H–A angle of every bond.
    keep_rows : bool, default True
        Keep every bond; with False only the counts per frame and the number of frames each
        (donor, hydrogen, acceptor) triplet is bonded in (for `HbondResult.occupancy`) are kept,
        in memory independent of the trajectory's length.
    backend : {"mdtraj", "mdanalysis"}, optional
        The library that reads files; by default MDAnalysis for a Universe topology, else
        MDTraj when installed.
    scheduler : distributed.Client or str, optional
        Run on a Dask cluster: a client, or its scheduler's address (``"tcp://host:8786"``).
        Tasks of `task_frames` analysed frames, never across files, are read and searched by
        the workers, which open the files themselves (the paths must be valid on the
        workers); the result is the serial one, whatever the split. Needs trajectory files.
    workers : int, optional
        Run on a LocalCluster of this many worker processes, started and stopped for the run.
    task_frames : int, default 500
        Analysed frames per cluster task.
    connect_timeout : float, default 30
        Seconds within which a Dask scheduler must answer at a `scheduler` address; else
        ``cluster.SchedulerUnreachableError`` (a ConnectionError) is raised.

    Returns
    -------
    HbondResult
    """
    frames = FrameRange(0 if start is None else start, stop, 1 if step is None else step)
    for name, value in (("chunk_size", chunk_size), ("task_frames", task_frames), ("workers", workers)):
        if value is not None or name != "workers":
            check_positive_integer(name, value)
    if scheduler is not None and workers is not None:
        raise ValueError("give either scheduler (an existing cluster) or workers (a local one), not both")
    check_seconds("connect_timeout", connect_timeout)
    threads = (os.cpu_count() or 1) if n_threads is None else n_threads
    check_search(distance_cutoff, angle_cutoff, threads)  # before any file is opened
    options = SearchOptions(float(distance_cutoff), float(angle_cutoff), bool(periodic), threads, bool(geometry))
    source = _open(trajectory, topology, frames, int(chunk_size), backend,
                   dict(donors=donors, hydrogens=hydrogens, acceptors=acceptors,
                        exclude_water=exclude_water, sidechain_only=sidechain_only))
    collector = Collector(source.sites, geometry, keep_rows)
    damaged: list[DamagedFile] = source.notes.damaged
    with _progress_bar(progress, lambda: _count(frames, source.n_frames)) as bar:
        if scheduler is None and workers is None:
            for chunk in _read_ahead(source.chunks):
                collector.add(chunk, search_chunk(chunk, source.sites, options))
                if bar is not None:
                    bar.update(len(chunk.frames))
        else:
            if source.cluster_files is None:
                raise ValueError("a Dask cluster reads trajectory files itself: give file names or a Universe "
                                 "read from files, not an in-memory trajectory")
            files = source.cluster_files()
            damaged = [file.damage for file in files if file.damage is not None
                       and frames.reaches(file.first + file.n_frames)]
            tasks = cluster.plan_tasks(files, frames, int(task_frames))
            with cluster.connected(scheduler, workers, float(connect_timeout)) as client:
                cut: set[int] = set()  # files with a frame that a worker could not read
                for task, part in zip(tasks, cluster.search_on_cluster(
                        client, source.sites, files, tasks,
                        distance_cutoff=distance_cutoff, angle_cutoff=angle_cutoff, periodic=periodic,
                        geometry=geometry, keep_rows=keep_rows, chunk_size=int(chunk_size), n_threads=n_threads)):
                    if task.file in cut:
                        continue
                    collector.add_part(part)
                    if part.damage is not None:
                        cut.add(task.file)
                        damaged.append(part.damage)
                    if bar is not None:
                        bar.update(len(part.frames))
    if not collector.analysed:
        raise ValueError(_nothing_selected(frames, source.n_frames()))
    for damage in damaged:
        warnings.warn(str(damage), RuntimeWarning, stacklevel=2)
    if collector.first_without_box is not None:
        warn_without_box(collector.first_without_box, collector.n_without_box, stacklevel=2)
    return collector.result(source.labels(), distance_cutoff, angle_cutoff, periodic)


def _count(frames: FrameRange, n_frames: Callable[[], int | None]) -> int | None:
    stored = n_frames()
    return None if stored is None else frames.count(stored)


def _nothing_selected(frames: FrameRange, n_frames: int | None) -> str:
    held = "" if n_frames is None else f" of the trajectory's {n_frames} frames"
    return f"no frame to analyse: start={frames.start}, stop={frames.stop}, step={frames.step} selects none{held}"


def check_positive_integer(name: str, value: object) -> None:
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)) or value < 1:
        raise ValueError(f"{name} must be a positive integer, got {value!r}")


def check_seconds(name: str, value: object) -> None:
    if isinstance(value, bool) or not isinstance(value, (int, float, np.integer, np.floating)) \
            or not 0 < value < math.inf:
        raise ValueError(f"{name} must be a positive number of seconds, got {value!r}")


def check_search(distance_cutoff: float, angle_cutoff: float, n_threads: int) -> None:
    """Bad cut-offs or thread counts fail as a search would, before any frame is read."""
    find_hbonds(np.zeros((0, 0, 3)), [], [], distance_cutoff=distance_cutoff, angle_cutoff=angle_cutoff,
                n_threads=n_threads)


def found_sites(find: Callable[..., Sites], selection: dict[str, Any]) -> Sites:
    """The sites `find` gives for the selection, checked by `check_sites`; when leaving water out
    left no donor, the error says so rather than blaming the topology."""
    sites = find(**selection)
    if not len(sites.donor_h_pairs) and selection.get("exclude_water") and len(
            find(**{**selection, "exclude_water": False}).donor_h_pairs):
        raise ValueError("excluding water left no donor-hydrogen pairs: every donor of this system is in water")
    check_sites(sites)
    return sites


def check_sites(sites: Sites) -> None:
    if not len(sites.donor_h_pairs):
        raise ValueError("no donor-hydrogen pairs found: check the topology's bonds and hydrogens, "
                         "and the donor and hydrogen selections")
    if not len(sites.acceptors):
        raise ValueError("no acceptors found: check the topology's elements and the acceptor selection")


def warn_without_box(frame: int, count: int, stacklevel: int) -> None:
    others = f" (and {count - 1} more frames)" if count > 1 else ""
    warnings.warn(f"frame {frame} has no periodic box: it is searched without one{others}; "
                  "periodic=False silences this", RuntimeWarning, stacklevel=stacklevel + 1)


class _Source:
    """Sites, labels and chunks of a trajectory, with what reading met in `notes`; `n_frames`
    counts its readable frames, and is only called when needed, since a file may have to be
    read to know its length."""

    def __init__(self, sites: Sites, labels: Callable[[], AtomLabels | None], chunks: Iterator[Chunk],
                 n_frames: Callable[[], int | None], notes: readers.ReadNotes,
                 cluster_files: Callable[[], list[cluster.TrajectoryFile]] | None = None):
        self.sites, self.labels, self.chunks, self.n_frames = sites, labels, chunks, n_frames
        self.notes, self.cluster_files = notes, cluster_files


def _open(trajectory: Any, topology: Any, frames: FrameRange, chunk_size: int, backend: str | None,
          selection: dict[str, Any]) -> _Source:
    if backend is not None and backend not in BACKENDS:
        raise ValueError(f"backend must be one of {', '.join(BACKENDS)}, got {backend!r}")
    if is_mdanalysis_group(trajectory):
        return _mdanalysis_source(trajectory, frames, chunk_size, selection)
    if is_mdtraj_topology(trajectory):
        return _mdtraj_trajectory_source(trajectory, frames, chunk_size, selection)
    paths = readers.as_paths(trajectory)
    if backend is None:
        backend = _default_backend(topology, paths)
    if backend == "mdanalysis":
        universe = readers.mdanalysis_universe(topology, paths)
        return _mdanalysis_source(universe, frames, chunk_size, selection)
    _check_mdtraj_paths(topology, paths)
    md_topology = readers.mdtraj_topology(topology, paths[0] if topology is None else None)
    sites = found_sites(lambda **chosen: mdtraj_sites(md_topology, **chosen), selection)
    notes = readers.ReadNotes()

    def labels() -> AtomLabels:
        first = next(readers.mdtraj_chunks(paths, md_topology, FrameRange(0, 1), 1, readers.ReadNotes()), None)
        if first is None:
            return mdtraj_labels(md_topology)
        return mdtraj_labels(md_topology, first.xyz[0], None if first.box is None else first.box[0])

    return _Source(sites, labels,
                   readers.mdtraj_chunks(paths, md_topology, frames, chunk_size, notes),
                   lambda: readers.mdtraj_frame_count(paths), notes,
                   lambda: cluster.mdtraj_files(paths, md_topology, frames))


# Topology formats that MDAnalysis reads and MDTraj does not.
_MDANALYSIS_TOPOLOGIES = (".tpr", ".top", ".itp", ".data", ".gsd", ".txyz", ".arc", ".crd", ".pqr", ".pdbqt",
                          ".mmtf", ".xpdb", ".dms", ".config", ".history", ".in", ".minimal")


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


def _mdanalysis_source(atoms: Any, frames: FrameRange, chunk_size: int, selection: dict[str, Any]) -> _Source:
    """Frames of the whole universe; donors, hydrogens and acceptors from `atoms` (a Universe or
    an AtomGroup) only."""
    if selection.pop("sidechain_only"):
        raise ValueError("sidechain_only needs an MDTraj topology; with MDAnalysis, select side chains "
                         "with the donors and acceptors selections")
    universe = atoms.universe
    sites = found_sites(lambda **chosen: mdanalysis_sites(atoms, **chosen), selection)
    notes = readers.ReadNotes()
    return _Source(sites, lambda: mdanalysis_labels(universe),
                   readers.mdanalysis_chunks(universe.trajectory, universe.atoms.n_atoms, frames, chunk_size, notes),
                   lambda: sum(part.n_frames for part in readers.mdanalysis_parts(universe.trajectory)), notes,
                   lambda: cluster.mdanalysis_files(universe))


def _mdtraj_trajectory_source(trajectory: Any, frames: FrameRange, chunk_size: int,
                              selection: dict[str, Any]) -> _Source:
    sites = found_sites(lambda **chosen: mdtraj_sites(trajectory.topology, **chosen), selection)

    def chunks() -> Iterator[Chunk]:
        taken = frames.select(0, trajectory.n_frames)
        vectors = trajectory.unitcell_vectors
        for begin in range(0, len(taken), chunk_size):
            block = taken[begin:begin + chunk_size]
            yield Chunk(xyz=np.ascontiguousarray(trajectory.xyz[block], dtype=np.float32),
                        box=None if vectors is None else readers.box_rows(vectors[block]),
                        times=np.asarray(trajectory.time[block], dtype=np.float64), frames=block)

    def labels() -> AtomLabels:
        box = None if trajectory.unitcell_vectors is None else trajectory.unitcell_vectors[0]
        return mdtraj_labels(trajectory.topology, trajectory.xyz[0] if trajectory.n_frames else None, box)

    return _Source(sites, labels, chunks(), lambda: trajectory.n_frames,
                   readers.ReadNotes())


_DONE = object()


def _read_ahead(chunks: Iterator[Chunk], depth: int = 1) -> Iterator[Chunk]:
    """The chunks, read by a second thread while this one searches: the search releases the
    interpreter lock, so reading the next chunk overlaps it."""
    handoff: queue.Queue[Any] = queue.Queue(maxsize=depth)
    stop = threading.Event()

    def read() -> None:
        try:
            for chunk in chunks:
                while not stop.is_set():
                    try:
                        handoff.put(chunk, timeout=0.1)
                        break
                    except queue.Full:
                        continue
                if stop.is_set():
                    return
            handoff.put(_DONE)
        except BaseException as exc:
            handoff.put(exc)

    reader = threading.Thread(target=read, name="brenvox-hbond-reader", daemon=True)
    try:
        reader.start()
    except RuntimeError:  # no memory for another thread's stack: read between the searches
        yield from chunks
        return
    try:
        while True:
            item = handoff.get()
            if item is _DONE:
                return
            if isinstance(item, BaseException):
                raise item
            yield item
    finally:
        stop.set()
        while reader.is_alive():
            try:
                handoff.get_nowait()
            except queue.Empty:
                reader.join(timeout=0.05)


def _progress_bar(progress: bool | None, total: Callable[[], int | None]) -> Any:
    if progress is None:
        progress = sys.stderr is not None and sys.stderr.isatty() and _installed("tqdm")
    if not progress:
        return contextlib.nullcontext()
    tqdm = require("tqdm", "the progress bar")
    return tqdm.tqdm(total=total(), unit="frame", desc="hydrogen bonds", file=sys.stderr, leave=False)

