"""`analyze`: hydrogen bonds of whole trajectories, read and searched chunk by chunk."""

from __future__ import annotations

import os
import warnings
from collections.abc import Callable, Sequence
from typing import Any

from .chunk_search import SearchOptions
from .collector import Collector, warn_without_box
from .criteria import Criterion
from .defaults import CHUNK_SIZE, CONNECT_TIMEOUT, TASK_FRAMES, check_positive_integer, check_seconds
from .errors import NoFramesError
from .frame_loop import progress_bar, search_chunks
from .results import HbondResult
from .sites import SiteSelection
from .sources.base import FrameRange
from .sources.opening import open_source

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
    distance_cutoff: float | None = None,
    angle_cutoff: float | None = None,
    start: int | None = None,
    stop: int | None = None,
    step: int | None = None,
    chunk_size: int = CHUNK_SIZE,
    n_threads: int | None = None,
    progress: bool | None = None,
    geometry: bool = False,
    keep_rows: bool = True,
    occupancy: bool = True,
    backend: str | None = None,
    scheduler: Any = None,
    workers: int | None = None,
    task_frames: int = TASK_FRAMES,
    connect_timeout: float = CONNECT_TIMEOUT,
    criterion: Criterion | str | None = None,
    between: tuple[Any, Any] | None = None,
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
    distance_cutoff, angle_cutoff : float, optional
        The criterion's distance in nm and angle in degrees, in place of its own (for
        Baker–Hubbard, the H–A distance, 0.25, and the D–H–A angle, 120).
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
    occupancy : bool, default True
        With ``keep_rows=False``, also count the frames each triplet is bonded in; False keeps
        the counts per frame alone (`HbondResult.has_occupancy` is then False).
    backend : {"native", "mdtraj", "mdanalysis"}, optional
        What reads files. By default the package itself ("native": .xtc and .trr files with a
        .gro or .pdb topology, when no selection string is given, neither library imported),
        else MDAnalysis for a Universe topology or a format only it reads, else MDTraj when
        installed.
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
    criterion : str or Criterion, optional
        The definition of a bond: "baker_hubbard" (the default), "gromacs", "mdanalysis",
        "wernet_nilsson" (see ``criteria.PRESETS``), or a ``criteria.Criterion``.
    between : (selection1, selection2), optional
        Only bonds from a donor of one group to an acceptor of the other, either way round;
        each group a selection string (of the topology's library) or atom indices. Pairs within
        a group are not searched.

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
    options = SearchOptions(distance_cutoff, angle_cutoff, periodic, n_threads, geometry, keep_rows, occupancy,
                            criterion)
    selection = SiteSelection(donors, hydrogens, acceptors, exclude_water, sidechain_only, between)
    source = open_source(trajectory, topology, selection, frames, int(chunk_size), backend)
    collector = Collector(source.sites, options)
    damaged = source.notes.damaged
    with progress_bar(progress, lambda: _count(frames, source.n_frames)) as bar:
        if scheduler is None and workers is None:
            search_chunks(source.chunks(), collector, bar)
        else:
            from .cluster import run_on_cluster  # Dask only when a cluster is asked for

            damaged = run_on_cluster(source, frames, collector, int(chunk_size), int(task_frames), scheduler,
                                     workers, float(connect_timeout), bar)
    if not collector.analysed:
        raise NoFramesError(_nothing_selected(frames, source.n_frames()))
    for damage in damaged:
        warnings.warn(str(damage), RuntimeWarning, stacklevel=2)
    if collector.first_without_box is not None:
        warn_without_box(collector.first_without_box, collector.n_without_box, stacklevel=2)
    return collector.result(source.labels)


def _count(frames: FrameRange, n_frames: Callable[[], int | None]) -> int | None:
    stored = n_frames()
    return None if stored is None else frames.count(stored)


def _nothing_selected(frames: FrameRange, n_frames: int | None) -> str:
    held = "" if n_frames is None else f" of the trajectory's {n_frames} frames"
    return f"no frame to analyse: start={frames.start}, stop={frames.stop}, step={frames.step} selects none{held}"
