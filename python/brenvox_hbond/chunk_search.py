"""The search of one chunk of frames, as every driver runs it: the serial analysis, a cluster task
and the MDAnalysis analysis, each with one frozen `SearchOptions`."""

from __future__ import annotations

import warnings
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

from .boxes import perpendicular_widths, reduced_box_vectors
from .criteria import Criterion, resolve_criterion
from .defaults import every_core
from .geometry import bond_geometry
from .hbonds import find_hbonds
from .sites import Sites
from .sources.base import Chunk

IntArray = npt.NDArray[np.int64]
FloatArray = npt.NDArray[np.float64]


@dataclass(frozen=True)
class SearchOptions:
    """What is searched for in every chunk: the criterion (a preset's name or a Criterion, whose
    cut-offs the explicit ones replace), the box, the threads (None: every core), the measures,
    and whether each bond is kept or only counted (then with or without the frames each triplet
    is bonded in). Made with bad cut-offs or threads it fails as a search would, before any
    frame is read. The cut-offs read back are those of the criterion it runs."""

    distance_cutoff: float | None = None
    angle_cutoff: float | None = None
    periodic: bool = True
    n_threads: int | None = None
    geometry: bool = False
    keep_rows: bool = True
    occupancy: bool = True
    criterion: Criterion | str | None = None

    def __post_init__(self) -> None:
        find_hbonds(np.zeros((0, 0, 3)), [], [], distance_cutoff=self.distance_cutoff,
                    angle_cutoff=self.angle_cutoff, n_threads=self.threads, criterion=self.criterion)
        chosen = resolve_criterion(self.criterion, self.distance_cutoff, self.angle_cutoff)
        object.__setattr__(self, "criterion", chosen)
        object.__setattr__(self, "distance_cutoff", chosen.distance_cutoff)
        object.__setattr__(self, "angle_cutoff", chosen.angle_cutoff)
        for name in ("periodic", "geometry", "keep_rows", "occupancy"):
            object.__setattr__(self, name, bool(getattr(self, name)))

    @property
    def chosen(self) -> Criterion:
        """The criterion searched with, as resolved when made."""
        assert isinstance(self.criterion, Criterion)
        return self.criterion

    @property
    def threads(self) -> int:
        return every_core() if self.n_threads is None else self.n_threads


@dataclass(frozen=True)
class ChunkBonds:
    """The rows of a chunk (frames counted within it), their measures when asked for, and the
    frames searched without a box although a periodic search was asked for."""

    rows: npt.NDArray[np.uint32]
    measures: tuple[FloatArray, FloatArray, FloatArray] | None
    without_box: IntArray


def search_chunk(chunk: Chunk, sites: Sites, options: SearchOptions) -> ChunkBonds:
    """Each frame with its own box (when periodic): runs of frames that have a box are searched
    with it, runs that have none without one."""
    n = len(chunk.frames)
    has_box = np.zeros(n, dtype=bool) if chunk.box is None else np.any(chunk.box != 0.0, axis=(1, 2))
    if options.periodic and chunk.box is not None:
        check_cutoff(options.chosen.distance_cutoff, chunk.box[has_box], chunk.frames[has_box])
    edges = np.flatnonzero(np.diff(has_box)) + 1
    rows, measures = [], []
    for begin, end in zip(np.concatenate(([0], edges)), np.concatenate((edges, [n]))):
        box = chunk.box[begin:end] if options.periodic and chunk.box is not None and has_box[begin] else None
        xyz = chunk.xyz[begin:end]
        found = _search_groups(xyz, sites, box, options)
        if options.geometry:
            measures.append(bond_geometry(xyz, box, found))
        if begin:
            found[:, 0] += np.uint32(begin)
        rows.append(found)
    joined = rows[0] if len(rows) == 1 else np.concatenate(rows) if rows else np.zeros((0, 4), np.uint32)
    joined_measures = None
    if options.geometry:
        joined_measures = tuple(np.concatenate([m[i] for m in measures]) if measures else np.zeros(0)
                                for i in range(3))
    without = np.flatnonzero(~has_box) if options.periodic else np.zeros(0, np.int64)
    return ChunkBonds(joined, joined_measures, without.astype(np.int64))  # type: ignore[arg-type]


def _search_groups(xyz: npt.NDArray[np.float32], sites: Sites, box: FloatArray | None,
                   options: SearchOptions) -> npt.NDArray[np.uint32]:
    """Between two groups, each direction (donors of one, acceptors of the other) is searched on
    its own, so that no pair within a group is tested; the rows are then put in the order one
    search of every site would give, those found both ways once."""
    directions = sites.directions()
    if len(directions) == 1:
        return _search(xyz, directions[0], box, options)
    rows = np.concatenate([_search(xyz, part, box, options) for part in directions])
    order = np.lexsort(rows.T[::-1])
    rows = rows[order]
    repeated = np.zeros(len(rows), dtype=bool)
    repeated[1:] = (rows[1:] == rows[:-1]).all(axis=1)
    return rows[~repeated]


def _search(xyz: npt.NDArray[np.float32], sites: Sites, box: FloatArray | None,
            options: SearchOptions) -> npt.NDArray[np.uint32]:
    def search(n_threads: int) -> npt.NDArray[np.uint32]:
        return find_hbonds(xyz, sites.donor_h_pairs, sites.acceptors, box=box, criterion=options.criterion,
                           n_threads=n_threads)

    try:
        return search(options.threads)
    except RuntimeError as exc:
        # Threads need memory for their stacks: short of it, one thread still finds the rows.
        if options.threads == 1 or "could not start the worker threads" not in str(exc):
            raise
        warnings.warn(f"{exc}: searching on one thread", RuntimeWarning, stacklevel=4)
        return search(1)


def check_cutoff(distance_cutoff: float, boxes: FloatArray, frames: IntArray) -> None:
    """The cut-off must stay below half of every box's smallest perpendicular width, so that at
    most one image of an acceptor can be within it; the error names the trajectory's frame."""
    if not len(boxes):
        return
    widths = perpendicular_widths(reduced_box_vectors(boxes))  # as the search takes them
    # Flat or non-finite boxes are left to the search, which names what is wrong with them.
    narrow = np.flatnonzero((widths > 0.0) & np.isfinite(widths) & ~(distance_cutoff < 0.5 * widths))
    if len(narrow):
        width = float(widths[narrow[0]])
        raise ValueError(
            f"distance_cutoff {distance_cutoff:g} must be below {0.5 * width:g}, half the smallest "
            f"perpendicular width of the box of frame {int(frames[narrow[0]])} ({width:g}): lengths are in nm"
        )
