"""`analyze`: hydrogen bonds of whole trajectories, read and searched chunk by chunk."""

from __future__ import annotations

import contextlib
import importlib.util
import os
import queue
import sys
import threading
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import numpy as np
import numpy.typing as npt

from . import readers
from ._optional import require
from .geometry import bond_geometry
from .hbonds import find_hbonds
from .readers import Chunk, FrameRange
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

BACKENDS = ("mdtraj", "mdanalysis")

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
    chunk_size: int = 100,
    n_threads: int | None = None,
    progress: bool | None = None,
    geometry: bool = False,
    keep_rows: bool = True,
    backend: str | None = None,
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
        Keep every bond; with False only the counts per frame are kept, in memory independent
        of the trajectory's length.
    backend : {"mdtraj", "mdanalysis"}, optional
        The library that reads files; by default MDAnalysis for a Universe topology, else
        MDTraj when installed.

    Returns
    -------
    HbondResult
    """
    frames = FrameRange(0 if start is None else start, stop, 1 if step is None else step)
    if isinstance(chunk_size, bool) or not isinstance(chunk_size, (int, np.integer)) or chunk_size < 1:
        raise ValueError(f"chunk_size must be a positive integer, got {chunk_size!r}")
    threads = (os.cpu_count() or 1) if n_threads is None else n_threads
    # Bad cut-offs or thread counts fail here, before any file is opened.
    find_hbonds(np.zeros((0, 0, 3)), [], [], distance_cutoff=distance_cutoff, angle_cutoff=angle_cutoff,
                n_threads=threads)
    source = _open(trajectory, topology, frames, int(chunk_size), backend,
                   dict(donors=donors, hydrogens=hydrogens, acceptors=acceptors,
                        exclude_water=exclude_water, sidechain_only=sidechain_only))
    if not len(source.sites.donor_h_pairs):
        raise ValueError("no donor-hydrogen pairs found: check the topology's bonds and hydrogens, "
                         "and the donor and hydrogen selections")
    collector = _Collector(source.sites, geometry, keep_rows)
    warned = False
    with _progress_bar(progress, source.total) as bar:
        for chunk in _read_ahead(source.chunks):
            box = chunk.box if periodic else None
            if periodic and box is None and not warned:
                warnings.warn(f"frame {chunk.frames[0]} has no periodic box: bonds are searched without one "
                              "(periodic=False silences this)", RuntimeWarning, stacklevel=2)
                warned = True
            rows = find_hbonds(chunk.xyz, source.sites.donor_h_pairs, source.sites.acceptors, box=box,
                               distance_cutoff=distance_cutoff, angle_cutoff=angle_cutoff, n_threads=threads)
            collector.add(chunk, box, rows)
            if bar is not None:
                bar.update(len(chunk.frames))
    return collector.result(source.labels, distance_cutoff, angle_cutoff, periodic)


class _Source:
    """Sites, labels and chunks of a trajectory; `total` counts its analysed frames, and is only
    called for a progress bar, since a file may have to be scanned to know its length."""

    def __init__(self, sites: Sites, labels: AtomLabels | None, chunks: Iterator[Chunk],
                 total: Callable[[], int | None]):
        self.sites, self.labels, self.chunks, self.total = sites, labels, chunks, total


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
        backend = "mdanalysis" if is_mdanalysis_group(topology) else _default_backend()
    if backend == "mdanalysis":
        universe = readers.mdanalysis_universe(topology, paths)
        return _mdanalysis_source(universe, frames, chunk_size, selection)
    md_topology = readers.mdtraj_topology(topology, paths[0] if topology is None else None)
    sites = mdtraj_sites(md_topology, **selection)

    def total() -> int | None:
        stored = readers.mdtraj_frame_count(paths)
        return None if stored is None else frames.count(stored)

    return _Source(sites, mdtraj_labels(md_topology),
                   readers.mdtraj_chunks(paths, md_topology, frames, chunk_size), total)


def _default_backend() -> str:
    if _installed("mdtraj"):
        return "mdtraj"
    if _installed("MDAnalysis"):
        return "mdanalysis"
    require("mdtraj", "reading trajectory files")
    return "mdtraj"


def _installed(module: str) -> bool:
    return importlib.util.find_spec(module) is not None


def _mdanalysis_source(atoms: Any, frames: FrameRange, chunk_size: int, selection: dict[str, Any]) -> _Source:
    """Frames of the whole universe; donors, hydrogens and acceptors from `atoms` (a Universe or
    an AtomGroup) only."""
    if selection.pop("sidechain_only"):
        raise ValueError("sidechain_only needs an MDTraj topology; with MDAnalysis, select side chains "
                         "with the donors and acceptors selections")
    universe = atoms.universe
    sites = mdanalysis_sites(atoms, **selection)
    return _Source(sites, mdanalysis_labels(universe), readers.mdanalysis_chunks(universe, frames, chunk_size),
                   lambda: frames.count(universe.trajectory.n_frames))


def _mdtraj_trajectory_source(trajectory: Any, frames: FrameRange, chunk_size: int,
                              selection: dict[str, Any]) -> _Source:
    sites = mdtraj_sites(trajectory.topology, **selection)

    def chunks() -> Iterator[Chunk]:
        taken = frames.select(0, trajectory.n_frames)
        vectors = trajectory.unitcell_vectors
        for begin in range(0, len(taken), chunk_size):
            block = taken[begin:begin + chunk_size]
            yield Chunk(xyz=np.ascontiguousarray(trajectory.xyz[block], dtype=np.float32),
                        box=None if vectors is None else readers.box_or_none(vectors[block]),
                        times=np.asarray(trajectory.time[block], dtype=np.float64), frames=block)

    return _Source(sites, mdtraj_labels(trajectory.topology), chunks(), lambda: frames.count(trajectory.n_frames))


class _Collector:
    """Rows, counts and geometry gathered chunk after chunk."""

    def __init__(self, sites: Sites, geometry: bool, keep_rows: bool):
        self.sites, self.geometry, self.keep_rows = sites, geometry, keep_rows
        self.rows: list[npt.NDArray[np.uint32]] = []
        self.counts: list[npt.NDArray[np.int64]] = []
        self.frames: list[npt.NDArray[np.int64]] = []
        self.times: list[npt.NDArray[np.float64]] = []
        self.measures: list[tuple[npt.NDArray[np.float64], ...]] = []
        self.analysed = 0

    def add(self, chunk: Chunk, box: npt.NDArray[np.float64] | None, rows: npt.NDArray[np.uint32]) -> None:
        n = len(chunk.frames)
        self.counts.append(np.bincount(rows[:, 0], minlength=n).astype(np.int64))
        self.frames.append(chunk.frames)
        self.times.append(chunk.times)
        if self.geometry:
            self.measures.append(bond_geometry(chunk.xyz, box, rows))
        if self.keep_rows:
            rows[:, 0] += np.uint32(self.analysed)
            self.rows.append(rows)
        self.analysed += n

    def result(self, labels: AtomLabels | None, distance_cutoff: float, angle_cutoff: float,
               periodic: bool) -> HbondResult:
        def joined(parts: list[Any], dtype: Any, shape: tuple[int, ...] = (0,)) -> Any:
            return np.concatenate(parts) if parts else np.zeros(shape, dtype)

        measures = [joined([m[i] for m in self.measures], np.float64) for i in range(3)] if self.geometry \
            else [None, None, None]
        return HbondResult(
            hbonds=joined(self.rows, np.uint32, (0, 4)) if self.keep_rows else None,
            frames=joined(self.frames, np.int64), times=joined(self.times, np.float64),
            counts=joined(self.counts, np.int64), sites=self.sites, labels=labels,
            distance_cutoff=float(distance_cutoff), angle_cutoff=float(angle_cutoff), periodic=periodic,
            distances_da=measures[0], distances_ha=measures[1], angles=measures[2],
        )


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
    reader.start()
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

