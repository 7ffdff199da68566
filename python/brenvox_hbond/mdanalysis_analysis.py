"""`BakerHubbardAnalysis`: the hydrogen-bond search as an MDAnalysis analysis, with its parallel backends."""

from __future__ import annotations

import warnings
from dataclasses import replace
from typing import Any, Self

import numpy as np
import numpy.typing as npt

from ._optional import require
from .chunk_search import SearchOptions, search_chunk
from .collector import Collector, warn_without_box
from .criteria import Criterion
from .defaults import check_positive_integer
from .errors import NotRunError
from .labels import mdanalysis_labels
from .results import HbondResult
from .sites import Sites, SiteSelection
from .sources.base import Chunk, DamagedFile
from .sources.mdanalysis_reader import mdanalysis_box, mdanalysis_parts

AnalysisBase: Any = require("MDAnalysis.analysis.base", "BakerHubbardAnalysis").AnalysisBase
BackendSerial: Any = require("MDAnalysis.analysis.backends", "BakerHubbardAnalysis").BackendSerial
ResultsGroup: Any = require("MDAnalysis.analysis.results", "BakerHubbardAnalysis").ResultsGroup


class BakerHubbardAnalysis(AnalysisBase):  # type: ignore[misc]
    """Baker–Hubbard hydrogen bonds of every frame, as an MDAnalysis analysis.

    Frames are gathered `chunk_size` at a time and searched in one call of `find_hbonds`, so
    the search costs far less per frame than a call per frame would. The rows, counts and
    frames do not depend on `chunk_size` nor on the backend.

    Parameters
    ----------
    atomgroup : Universe or AtomGroup
        Only its atoms donate and accept; coordinates and boxes come from its universe.
    donors, hydrogens, acceptors : str, optional
        MDAnalysis selection strings that pick the candidates within `atomgroup`. By default
        hydrogens are H atoms, donors and acceptors N and O atoms; a hydrogen pairs with the
        donors it is bonded to, or without bonds in the topology, with those within 0.12 nm in
        the current frame (see `brenvox_hbond.mdanalysis_sites`).
    exclude_water : bool, default False
        Leave out water.
    distance_cutoff, angle_cutoff : float, optional
        The criterion's distance in nm and angle in degrees, in place of its own (for
        Baker–Hubbard, the H–A distance, 0.25, and the D–H–A angle, 120).
    periodic : bool, default True
        Use the box stored with each frame; a frame that stores none is searched without one,
        with a RuntimeWarning the first time.
    chunk_size : int, default 100
        Frames searched at once; memory grows with it (``12 * n_atoms`` bytes a frame).
    n_threads : int, optional
        Search threads. By default every core with the serial backend, and one per worker with
        the others, whose workers already fill the cores.
    criterion : str or Criterion, optional
        "baker_hubbard" (the default), "gromacs", "mdanalysis", "wernet_nilsson", or a
        ``criteria.Criterion``.
    **kwargs
        Passed to ``AnalysisBase`` (``verbose``).

    Attributes
    ----------
    sites : Sites
        The donor–hydrogen pairs and acceptors searched, as universe atom indices.
    results.hbonds : numpy.ndarray of uint32, shape (n_bonds, 4)
        One row ``(frame, donor, hydrogen, acceptor)`` per bond, where frame counts the
        analysed frames of the run from 0, ordered by frame.
    results.counts : numpy.ndarray of int64
        Bonds in each analysed frame.
    results.frames : numpy.ndarray of int64
        Index in the trajectory of each analysed frame.
    results.times : numpy.ndarray of float64
        Time of each analysed frame in ps.

    Notes
    -----
    ``run(backend="multiprocessing", n_workers=N)`` (or ``"dask"``) pickles the Universe to N
    processes of this machine, each reading its share of the frames. Prefer
    ``brenvox_hbond.analyze(files, topology, scheduler=client)`` (or ``workers=N``) for long
    trajectories or more than one machine: it streams the files on a Dask distributed cluster,
    split by frame ranges, and its workers open the files themselves.

    Examples
    --------
    >>> analysis = BakerHubbardAnalysis(universe, exclude_water=True).run(step=10)  # doctest: +SKIP
    >>> analysis.results.counts  # doctest: +SKIP
    >>> analysis.to_result().occupancy(freq=0.5)  # doctest: +SKIP
    """

    _analysis_algorithm_is_parallelizable = True

    # Per computation group: the frames gathered for the next search.
    _xyz: npt.NDArray[np.float32]
    _dimensions: npt.NDArray[np.float64]
    _frame_numbers: npt.NDArray[np.int64]
    _run_positions: npt.NDArray[np.int64]
    _collector: Collector | None

    @classmethod
    def get_supported_backends(cls) -> tuple[str, ...]:
        return ("serial", "multiprocessing", "dask")

    def __init__(
        self,
        atomgroup: Any,
        donors: str | None = None,
        hydrogens: str | None = None,
        acceptors: str | None = None,
        exclude_water: bool = False,
        distance_cutoff: float | None = None,
        angle_cutoff: float | None = None,
        periodic: bool = True,
        chunk_size: int = 100,
        n_threads: int | None = None,
        criterion: Criterion | str | None = None,
        **kwargs: Any,
    ):
        universe = atomgroup.universe
        super().__init__(universe.trajectory, **kwargs)
        check_positive_integer("chunk_size", chunk_size)
        # Checked here, not in every worker of a run.
        self._options = SearchOptions(distance_cutoff, angle_cutoff, periodic, n_threads, criterion=criterion)
        self.sites: Sites = SiteSelection(donors, hydrogens, acceptors, exclude_water).mdanalysis_sites(atomgroup)
        self._universe = universe
        self.criterion = self._options.chosen
        self.distance_cutoff = self.criterion.distance_cutoff
        self.angle_cutoff = self.criterion.angle_cutoff
        self.periodic = self._options.periodic
        self.chunk_size = int(chunk_size)
        self.n_threads = n_threads
        self._serial = True
        self._free_buffers()

    def run(
        self,
        start: int | None = None,
        stop: int | None = None,
        step: int | None = None,
        frames: Any = None,
        verbose: bool | None = None,
        n_workers: int | None = None,
        n_parts: int | None = None,
        backend: Any = None,
        *,
        unsupported_backend: bool = False,
        progressbar_kwargs: dict[str, Any] | None = None,
    ) -> Self:
        """Search the frames ``start, start + step, ...`` below `stop` (or `frames`), as
        ``AnalysisBase.run``; `backend` is "serial" (the default), "multiprocessing" or "dask"."""
        self._serial = backend in (None, "serial") or isinstance(backend, BackendSerial)
        readable = self._readable_frames(start, stop, step, frames)
        if readable is not None:
            start, stop, step, frames = None, None, None, readable
        super().run(start, stop, step, frames, verbose, n_workers, n_parts, backend,
                    unsupported_backend=unsupported_backend, progressbar_kwargs=progressbar_kwargs)
        return self

    def _readable_frames(self, start: int | None, stop: int | None, step: int | None,
                         frames: Any) -> npt.NDArray[np.int64] | None:
        """The frames asked for without those past the damage of an .xtc or .trr file (cut
        inside a frame), with a warning for each such file; None when every one is readable."""
        trajectory = self._universe.trajectory
        if frames is None:
            wanted = np.arange(*trajectory.check_slice_indices(start, stop, step))
        else:
            wanted = np.arange(trajectory.n_frames)[np.asarray(frames)]
        readable = np.zeros(trajectory.n_frames, dtype=bool)
        for part in mdanalysis_parts(trajectory):
            readable[part.offset:part.offset + part.n_frames] = True
            lost = (wanted >= part.offset + part.n_frames) & (wanted < part.offset + part.stored)
            if part.damage is not None and np.any(lost):
                warnings.warn(str(DamagedFile(part.filename, part.n_frames, part.damage)), RuntimeWarning,
                              stacklevel=3)
        if np.all(readable[wanted]):
            return None
        return np.asarray(wanted[readable[wanted]], dtype=np.int64)

    def _prepare(self) -> None:
        n = min(self.chunk_size, self.n_frames)
        self._xyz = np.empty((n, self._universe.atoms.n_atoms, 3), dtype=np.float32)
        self._dimensions = np.zeros((n, 6))
        self._frame_numbers = np.empty(n, dtype=np.int64)
        self._pending = 0

    def _compute(self, indexed_frames: npt.NDArray[np.int64], verbose: bool | None = None, *,
                 progressbar_kwargs: dict[str, Any] | None = None) -> Self:
        # Column 0 numbers the frames over the whole run: a worker's rows are numbered by it.
        self._run_positions = np.asarray(indexed_frames[:, 0], dtype=np.int64)
        options = self._options
        if options.n_threads is None and not self._serial:
            options = replace(options, n_threads=1)  # the other backends' workers already fill the cores
        collector = self._collector = Collector(self.sites, options)
        super()._compute(indexed_frames, verbose, progressbar_kwargs=progressbar_kwargs)
        self._flush()
        part = collector.part()
        results = self.results
        assert part.rows is not None
        part.rows[:, 0] = self._run_positions[part.rows[:, 0]]
        results.hbonds, results.counts = part.rows, part.counts
        results.frames = np.asarray(self.frames, dtype=np.int64)
        results.times = np.asarray(self.times, dtype=np.float64)
        self._free_buffers()
        return self

    def _single_frame(self) -> None:
        slot = self._pending
        timestep = self._ts
        np.multiply(timestep.positions, np.float32(0.1), out=self._xyz[slot])
        self._dimensions[slot] = 0.0 if timestep.dimensions is None else timestep.dimensions
        self._frame_numbers[slot] = timestep.frame
        self._pending += 1
        if self._pending == len(self._xyz):
            self._flush()

    def _flush(self) -> None:
        n, self._pending = self._pending, 0
        if not n:
            return
        chunk = Chunk(self._xyz[:n], mdanalysis_box(self._dimensions[:n]), np.zeros(n), self._frame_numbers[:n])
        collector = self._collector
        assert collector is not None
        warned = collector.first_without_box is not None
        collector.add(chunk, search_chunk(chunk, self.sites, collector.options))
        if not warned and collector.first_without_box is not None:
            warn_without_box(collector.first_without_box, 1, stacklevel=2)

    def _free_buffers(self) -> None:
        # The frame buffer can be large: it is not kept, nor sent to the workers of the next run.
        self._xyz = np.empty((0, 0, 3), dtype=np.float32)
        self._dimensions = np.empty((0, 6))
        self._frame_numbers = self._run_positions = np.empty(0, dtype=np.int64)
        self._collector = None

    def _get_aggregator(self) -> Any:
        return ResultsGroup(lookup={"hbonds": ResultsGroup.ndarray_vstack, "counts": ResultsGroup.ndarray_hstack,
                                    "frames": ResultsGroup.ndarray_hstack, "times": ResultsGroup.ndarray_hstack})

    def to_result(self) -> HbondResult:
        """The bonds of the last run as an `HbondResult`, for occupancy, lifetimes and tables."""
        if not isinstance(self.results.get("counts"), np.ndarray):
            raise NotRunError("call run() before to_result()")
        results = self.results
        return HbondResult(
            hbonds=results.hbonds, frames=results.frames, times=results.times, counts=results.counts,
            sites=self.sites, labels=mdanalysis_labels(self._universe), distance_cutoff=self.distance_cutoff,
            angle_cutoff=self.angle_cutoff, periodic=self.periodic, criterion=self.criterion,
        )
