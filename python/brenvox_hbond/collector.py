"""Rows, counts and occupancy gathered chunk after chunk, or part after part from a cluster."""

from __future__ import annotations

import warnings
from collections.abc import Callable
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from . import _native
from ._arrays import distinct
from .chunk_search import ChunkBonds, SearchOptions
from .labels import AtomLabels
from .results import HbondResult, TripletCounts
from .sites import Sites
from .sources.base import Chunk, DamagedFile

IntArray = npt.NDArray[np.int64]
FloatArray = npt.NDArray[np.float64]


@dataclass
class Part:
    """What a run of consecutive analysed frames found: rows numbered from the part's first
    frame, or (without rows) the frames each triplet is bonded in, as keys of `_TripletTally`."""

    frames: IntArray
    times: FloatArray
    counts: IntArray
    rows: npt.NDArray[np.uint32] | None
    tally: tuple[IntArray, IntArray] | None
    measures: tuple[FloatArray, FloatArray, FloatArray] | None
    first_without_box: int | None
    n_without_box: int = 0
    damage: DamagedFile | None = None


class _TripletTally:
    """Frames bonded per (donor, hydrogen, acceptor), counted without keeping rows: each row
    becomes one int64 key, its pair's position << 32 | its acceptor's position among the sites,
    counted in a hash table (native, without the interpreter lock) that grows with the distinct
    triplets seen, not with the frames."""

    def __init__(self, sites: Sites):
        pairs = sites.donor_h_pairs
        self.pair_keys = distinct(_pair_key(pairs[:, 0], pairs[:, 1]))
        self.acceptors = distinct(sites.acceptors)
        n_atoms = int(max(pairs.max(initial=-1), self.acceptors.max(initial=-1))) + 1
        # Positions looked up by atom index: by hydrogen when each hydrogen is in one pair (as
        # in every topology with bonds), else found per row by a binary search.
        hydrogens = self.pair_keys & 0xFFFFFFFF
        self.pair_of_hydrogen = None
        if len(distinct(hydrogens)) == len(hydrogens):
            self.pair_of_hydrogen = np.full(n_atoms, -1, np.int64)
            self.pair_of_hydrogen[hydrogens] = np.arange(len(hydrogens))
        self.acceptor_position = np.full(n_atoms, -1, np.int64)
        self.acceptor_position[self.acceptors] = np.arange(len(self.acceptors))
        self.table = _empty_table(1 << 12)
        self.used = 0

    def add_rows(self, rows: npt.NDArray[np.uint32]) -> None:
        if self.pair_of_hydrogen is None:
            pair = np.searchsorted(self.pair_keys, _pair_key(rows[:, 1], rows[:, 2]))
            self.add(*_tally((pair << 32) | self.acceptor_position[rows[:, 3]]))
            return
        rows = np.ascontiguousarray(rows, np.uint32)
        while len(rows):
            done, self.used = _native.tally_rows(rows, self.pair_of_hydrogen, self.acceptor_position,
                                                 self.table, self.used)
            rows = rows[done:]
            if len(rows):
                self._grow()

    def add(self, keys: IntArray, counts: IntArray) -> None:
        keys, counts = np.ascontiguousarray(keys, np.int64), np.ascontiguousarray(counts, np.int64)
        while len(keys):
            done, self.used = _native.tally_keys(keys, counts, self.table, self.used)
            keys, counts = keys[done:], counts[done:]
            if len(keys):
                self._grow()

    def _grow(self) -> None:
        held = self.table[self.table[:, 0] >= 0]  # in any order: the new table hashes them anew
        self.table, self.used = _empty_table(2 * len(self.table)), 0
        self.add(held[:, 0], held[:, 1])

    def merged(self) -> tuple[IntArray, IntArray]:
        """The keys tallied, in ascending order, and their counts."""
        held = self.table[self.table[:, 0] >= 0]
        held = held[np.argsort(held[:, 0])]
        return np.ascontiguousarray(held[:, 0]), np.ascontiguousarray(held[:, 1])

    def triplet_counts(self) -> TripletCounts:
        keys, counts = self.merged()
        pair_keys = self.pair_keys[keys >> 32]
        triplets = np.stack((pair_keys >> 32, pair_keys & 0xFFFFFFFF, self.acceptors[keys & 0xFFFFFFFF]), axis=1)
        return TripletCounts(triplets.reshape(-1, 3), counts)


def _empty_table(capacity: int) -> IntArray:
    table = np.zeros((capacity, 2), np.int64)
    table[:, 0] = -1
    return table


def _pair_key(donors: npt.NDArray[Any], hydrogens: npt.NDArray[Any]) -> IntArray:
    return (donors.astype(np.int64) << 32) | hydrogens.astype(np.int64)


def _tally(keys: IntArray) -> tuple[IntArray, IntArray]:
    keys = np.sort(keys)
    if not len(keys):
        return keys, keys
    starts = np.flatnonzero(np.concatenate(([True], keys[1:] != keys[:-1])))
    return keys[starts], np.diff(np.append(starts, len(keys))).astype(np.int64)


class Collector:
    """Rows (or a triplet tally), counts, times and geometry of consecutive analysed frames."""

    def __init__(self, sites: Sites, options: SearchOptions):
        self.sites, self.options = sites, options
        self.rows: list[npt.NDArray[np.uint32]] = []
        self.tally = _TripletTally(sites) if not options.keep_rows and options.occupancy else None
        self.counts: list[IntArray] = []
        self.frames: list[IntArray] = []
        self.times: list[FloatArray] = []
        self.measures: list[tuple[FloatArray, FloatArray, FloatArray]] = []
        self.first_without_box: int | None = None
        self.n_without_box = 0
        self.analysed = 0

    def add(self, chunk: Chunk, found: ChunkBonds) -> None:
        n = len(chunk.frames)
        rows = found.rows
        self._note_without_box(int(chunk.frames[found.without_box[0]]) if len(found.without_box) else None,
                               len(found.without_box))
        self.counts.append(_native.count_frames(rows, n))
        self.frames.append(chunk.frames)
        self.times.append(chunk.times)
        if found.measures is not None:
            self.measures.append(found.measures)
        if self.tally is not None:
            self.tally.add_rows(rows)
        elif self.options.keep_rows:
            rows[:, 0] += np.uint32(self.analysed)
            self.rows.append(rows)
        self.analysed += n

    def _note_without_box(self, first: int | None, count: int) -> None:
        if self.first_without_box is None:
            self.first_without_box = first
        self.n_without_box += count

    def add_part(self, part: Part) -> None:
        self._note_without_box(part.first_without_box, part.n_without_box)
        self.counts.append(part.counts)
        self.frames.append(part.frames)
        self.times.append(part.times)
        if part.measures is not None:
            self.measures.append(part.measures)
        if self.tally is not None and part.tally is not None:
            self.tally.add(*part.tally)
        elif part.rows is not None:
            part.rows[:, 0] += np.uint32(self.analysed)
            self.rows.append(part.rows)
        self.analysed += len(part.frames)

    def part(self) -> Part:
        """What was gathered, compact enough to send back from a worker."""
        return Part(
            frames=_joined(self.frames, np.int64), times=_joined(self.times, np.float64),
            counts=_joined(self.counts, np.int64),
            rows=_joined(self.rows, np.uint32, (0, 4)) if self.options.keep_rows else None,
            tally=None if self.tally is None else self.tally.merged(),
            measures=self._measures(), first_without_box=self.first_without_box,
            n_without_box=self.n_without_box,
        )

    def _measures(self) -> tuple[FloatArray, FloatArray, FloatArray] | None:
        if not self.options.geometry:
            return None
        da, ha, angle = (_joined([m[i] for m in self.measures], np.float64) for i in range(3))
        return da, ha, angle

    def result(self, labels: AtomLabels | Callable[[], AtomLabels | None] | None) -> HbondResult:
        measures = self._measures() or (None, None, None)
        options = self.options
        return HbondResult(
            hbonds=_joined(self.rows, np.uint32, (0, 4)) if self.options.keep_rows else None,
            frames=_joined(self.frames, np.int64), times=_joined(self.times, np.float64),
            counts=_joined(self.counts, np.int64), sites=self.sites, labels=labels,
            distance_cutoff=options.chosen.distance_cutoff, angle_cutoff=options.chosen.angle_cutoff,
            periodic=options.periodic, criterion=options.chosen,
            distances_da=measures[0], distances_ha=measures[1], angles=measures[2],
            triplet_counts=None if self.tally is None else self.tally.triplet_counts(),
        )


def warn_without_box(frame: int, count: int, stacklevel: int) -> None:
    others = f" (and {count - 1} more frames)" if count > 1 else ""
    warnings.warn(f"frame {frame} has no periodic box: it is searched without one{others}; "
                  "periodic=False silences this", RuntimeWarning, stacklevel=stacklevel + 1)


def _joined(parts: list[Any], dtype: Any, shape: tuple[int, ...] = (0,)) -> Any:
    return np.concatenate(parts) if parts else np.zeros(shape, dtype)
