"""Hydrogen bonds summed over residues: per pair of residues, the share of analysed frames with at
least one bond between them, the mean number of bonds per frame, and the bonds of each frame.

A residue is a run of consecutive atoms with the same chain, residue name and residue number, as
topology files lay residues out: equal numbers in different chains stay apart, and so do the
waters of a .gro whose residue numbers wrap from 99999 back to 0. Residues are numbered 0, 1, ...
in atom order.

Pairs are directed by default, donor residue then acceptor residue, so A:TYR24 donating to
A:MET21 and A:MET21 donating to A:TYR24 are two pairs; with ``directed=False`` the two are one
pair, its residues in topology order. A bond within a residue pairs the residue with itself.
"""

from __future__ import annotations

import csv
import os
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Protocol

import numpy as np
import numpy.typing as npt

from .errors import RowsNotKeptError
from .existence import ExistenceMatrix, set_bits
from .outputs import atomic_path

if TYPE_CHECKING:
    from .labels import AtomLabels


class PairSource(Protocol):
    """What residue pairs are summed from (an `HbondResult`)."""

    @property
    def hbonds(self) -> npt.NDArray[np.uint32] | None: ...
    @property
    def labels(self) -> AtomLabels | None: ...
    @property
    def n_frames(self) -> int: ...
    def existence_matrix(self) -> ExistenceMatrix: ...

IntArray = npt.NDArray[np.int64]

# Field prefixes of the two residues of a pair.
DIRECTED_ROLES = ("donor", "acceptor")
UNDIRECTED_ROLES = ("residue1", "residue2")


def residue_of_atoms(labels: AtomLabels) -> IntArray:
    """The residue of each atom, 0, 1, ... in atom order: a new residue starts wherever the chain,
    residue name or residue number changes from the atom before."""
    starts = np.zeros(len(labels), dtype=bool)
    starts[:1] = True
    for values in (labels.chain_of, labels.residue_names, labels.residue_ids):
        starts[1:] |= values[1:] != values[:-1]
    return np.cumsum(starts, dtype=np.int64) - 1


@dataclass(frozen=True, eq=False)
class PairPresence:
    """The residue pairs bonded in some frame and, packed as in `ExistenceMatrix`, the frames in
    which each has a bond; the triplets of the existence matrix grouped by pair."""

    pairs: IntArray  # (n_pairs, 2) residues, ascending
    bits: npt.NDArray[np.uint8]  # (n_pairs, ceil(n_frames / 8))
    bonds: IntArray  # per pair: bonds summed over the analysed frames
    matrix: ExistenceMatrix
    members: IntArray  # rows of `matrix`, pair by pair
    starts: IntArray  # per pair: its first entry in `members`

    def most_occupied_first(self) -> IntArray:
        """Pairs by frames bonded, then bonds, descending, then in residue order."""
        frames_bonded = set_bits(self.bits)
        return np.lexsort((np.arange(len(self.pairs)), -self.bonds, -frames_bonded)).astype(np.int64)


def pair_presence(result: PairSource, directed: bool = True) -> PairPresence:
    """The existence matrix's rows OR-ed over the triplets of each residue pair: a pair is bonded
    in a frame when one of its triplets is."""
    _require_rows(result)
    residue = residue_of_atoms(_labels(result))
    matrix = result.existence_matrix()
    first, second = residue[matrix.triplets[:, 0]], residue[matrix.triplets[:, 2]]
    if not directed:
        first, second = np.minimum(first, second), np.maximum(first, second)
    n_residues = int(residue[-1]) + 1 if len(residue) else 1
    keys = first * n_residues + second
    members = np.argsort(keys, kind="stable").astype(np.int64)
    keys = keys[members]
    starts = np.flatnonzero(np.diff(keys, prepend=-1))
    pair_keys = keys[starts]
    if len(starts):
        bits = np.bitwise_or.reduceat(matrix.bits[members], starts, axis=0)
        bonds = np.add.reduceat(set_bits(matrix.bits)[members], starts)
    else:
        bits, bonds = np.zeros((0, matrix.bits.shape[1]), np.uint8), np.zeros(0, np.int64)
    return PairPresence(pairs=np.column_stack((pair_keys // n_residues, pair_keys % n_residues)).reshape(-1, 2),
                        bits=bits, bonds=bonds, matrix=matrix, members=members, starts=starts)


def residue_pairs(result: PairSource, directed: bool = True) -> npt.NDArray[Any]:
    """The table of `HbondResult.residue_pairs`: one row per residue pair bonded in some frame,
    most occupied first."""
    presence = pair_presence(result, directed)
    return _table(result, presence, presence.most_occupied_first(), directed)


def residue_pair_series(result: PairSource, top: int | None = None,
                        directed: bool = True) -> tuple[npt.NDArray[np.int32], npt.NDArray[np.str_]]:
    """Bonds in each analysed frame between each of the `top` most occupied residue pairs (every
    pair by default), a column per pair in the order of `residue_pairs`, and the pairs' names."""
    if top is not None and (isinstance(top, bool) or not isinstance(top, (int, np.integer)) or top < 0):
        raise ValueError(f"top must be a non-negative integer or None, got {top!r}")
    presence = pair_presence(result, directed)
    shown = presence.most_occupied_first()[:top]
    # Each triplet of a shown pair adds its row of the existence matrix to the pair's column.
    column = np.full(len(presence.pairs), -1, dtype=np.int64)
    column[shown] = np.arange(len(shown))
    member_column = np.repeat(column, np.diff(presence.starts, append=len(presence.members)))
    kept = member_column >= 0
    sums = np.zeros((len(shown), result.n_frames), dtype=np.int32)
    np.add.at(sums, member_column[kept], presence.matrix[presence.members[kept]])
    return np.ascontiguousarray(sums.T), pair_names(_table(result, presence, shown, directed))


def _table(result: PairSource, presence: PairPresence, order: IntArray, directed: bool) -> npt.NDArray[Any]:
    n_frames = max(result.n_frames, 1)
    frames_bonded = set_bits(presence.bits[order])
    labels = _labels(result)
    first_atoms = _first_atoms(labels)
    roles = DIRECTED_ROLES if directed else UNDIRECTED_ROLES
    table = np.zeros(len(order), dtype=_table_dtype(roles, labels))
    for side, role in enumerate(roles):
        residue = presence.pairs[order, side]
        atom = first_atoms[residue]
        table[f"{role}_residue"] = residue
        table[f"{role}_chain"] = labels.chain_of[atom]
        table[f"{role}_resname"] = labels.residue_names[atom]
        table[f"{role}_resid"] = labels.residue_ids[atom]
    table["frames_bonded"] = frames_bonded
    table["occupancy"] = frames_bonded / n_frames
    table["mean_bonds"] = presence.bonds[order] / n_frames
    return table


def pair_names(table: npt.NDArray[Any]) -> npt.NDArray[np.str_]:
    """``A:TYR24 -> A:MET21`` for each row of a residue-pair table (``A:MET21 <-> A:TYR24``
    when the pairs are not directed)."""
    directed = "donor_residue" in (table.dtype.names or ())
    roles = DIRECTED_ROLES if directed else UNDIRECTED_ROLES
    first, second = (residue_names(table, role) for role in roles)
    arrow = " -> " if directed else " <-> "
    return np.asarray([f"{one}{arrow}{two}" for one, two in zip(first.tolist(), second.tolist())], dtype=str)


def residue_names(table: npt.NDArray[Any], role: str) -> npt.NDArray[np.str_]:
    """``B:ALA5`` (``ALA5`` without a chain) for the `role` residue of each row of a table."""
    named: npt.NDArray[np.str_] = np.char.add(table[f"{role}_resname"].astype(str),
                                               table[f"{role}_resid"].astype(str))
    chains: npt.NDArray[np.str_] = table[f"{role}_chain"].astype(str)
    return np.where(chains != "", np.char.add(np.char.add(chains, ":"), named), named)


def write_csv(table: npt.NDArray[Any], path: str | os.PathLike[str]) -> None:
    """A residue-pair table as CSV, a header line of its field names, then a line per row; the
    file is written whole or not at all."""
    names = list(table.dtype.names or ())
    with atomic_path(path) as temporary, open(temporary, "w", newline="") as out:
        writer = csv.writer(out, lineterminator="\n")
        writer.writerow(names)
        writer.writerows(zip(*(table[name].tolist() for name in names)))


def _table_dtype(roles: tuple[str, str], labels: AtomLabels) -> list[tuple[str, Any]]:
    fields: list[tuple[str, Any]] = []
    for role in roles:
        fields += [(f"{role}_residue", np.int64), (f"{role}_chain", labels.chain_of.dtype),
                   (f"{role}_resname", labels.residue_names.dtype), (f"{role}_resid", np.int64)]
    return fields + [("frames_bonded", np.int64), ("occupancy", np.float64), ("mean_bonds", np.float64)]


def _first_atoms(labels: AtomLabels) -> IntArray:
    residue = residue_of_atoms(labels)
    return np.flatnonzero(np.diff(residue, prepend=-1)).astype(np.int64)


def _labels(result: PairSource) -> AtomLabels:
    if result.labels is None:
        raise ValueError("residue pairs need atom labels, which come from a topology")
    return result.labels


def _require_rows(result: PairSource) -> None:
    if result.hbonds is None:
        raise RowsNotKeptError("residue pairs need the bonds of every frame, which this result does not keep "
                               "(keep_rows=False): analyse with keep_rows=True")
