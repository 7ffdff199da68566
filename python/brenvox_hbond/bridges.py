"""`water_bridges`: atoms of two selections joined through chains of hydrogen-bonded water
molecules, composed from the bonds `analyze` finds.

The composition works on every analysed frame at once: a water in a frame is the key
``frame * n_atoms + oxygen``, bonds become sorted key tables, and chains grow one water at a time
by joins on those keys, never by a loop over bonds.
"""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from .atom_selections import check_within, selected_atoms
from .bridge_result import BridgeResult
from .defaults import check_positive_integer
from .results import HbondResult

IntArray = npt.NDArray[np.int64]

# Residue names of water in the common force fields and in the names MDTraj, MDAnalysis and
# GROMACS give it (compared without case).
WATER_RESIDUES = frozenset({"HOH", "H2O", "HHO", "OHH", "OH2", "SOL", "WAT", "WATER", "TIP", "TIP2", "TIP3",
                            "TIP4", "TIP5", "TIP3P", "TIP4P", "TIP5P", "TP3", "T3P", "T4P", "T5P", "T3H", "SPC",
                            "SPCE", "SPE", "OPC", "OPC3", "DOD", "D2O"})


def water_bridges(trajectory: Any, topology: Any, selection1: str | npt.ArrayLike, selection2: str | npt.ArrayLike,
                  order: int = 1, **options: Any) -> BridgeResult:
    """Water bridges of order `order` between two selections, in every analysed frame.

    A bridge of order 1 in a frame is an atom ``a`` of `selection1` and an atom ``b`` of
    `selection2`, each hydrogen-bonded (as donor, through any of its hydrogens, or as acceptor)
    with the same water molecule in that frame. A bridge of order k is a chain of k distinct
    water molecules, each hydrogen-bonded (either way) to the next, with ``a`` bonded to the
    first and ``b`` to the last: exactly k waters, so orders 1 to k are k calls. The bonds are
    those `analyze` finds with the same `options`; ``a`` and ``b`` are the donor or acceptor
    atoms, never hydrogens, and never water: water atoms in a selection are left out of it, so
    that a selection may be ``"all"``. ``a`` and ``b`` differ.

    Water is any residue named as in `WATER_RESIDUES` (HOH, SOL, WAT, TIP3, SPC, T3P, ...,
    without case), and a water molecule is named by the atom index of its oxygen, which is the
    atom its bonds are made with.

    When ``a`` is also in `selection2` and ``b`` in `selection1`, the bridge read from either end
    is one bridge: it is given once, read from the end with the lower atom index.

    Parameters
    ----------
    trajectory, topology
        As for `analyze`.
    selection1, selection2 : str or array_like of int
        A selection string in the language of the library reading the topology (MDTraj's or
        MDAnalysis', as `backend` decides, see `atom_selections.selected_atoms`), or atom
        indices. The package's own reader (backend "native", .xtc/.trr files with a .gro or
        .pdb) has no selection language: with it, give atom indices, or a string with
        ``backend="mdanalysis"`` or ``"mdtraj"``. Strings are resolved with MDTraj or MDAnalysis
        while the frames are still read natively when `backend` is left to choose.
    order : int, default 1
        Water molecules in each bridge, at least 1.
    **options
        Passed on to `analyze` (criterion, cut-offs, periodic, start/stop/step, n_threads,
        backend, chunk_size, progress, ...). Water must take part: ``exclude_water=True`` and
        ``keep_rows=False`` are refused.

    Returns
    -------
    BridgeResult
        Rows ``(frame, a, water_1, ..., water_k, b)``, with the analysed frames, their times and
        the atom labels.

    Raises
    ------
    ValueError
        `order` is not a positive integer, `options` leave water out or keep no rows, a
        selection matches no atom or no atom but water, or a string cannot be resolved.
    IndexError
        An atom index is outside the topology.
    """
    check_positive_integer("order", order)
    if options.get("exclude_water"):
        raise ValueError("water bridges need the bonds of water: exclude_water=True leaves them out")
    if options.get("keep_rows", True) is False:
        raise ValueError("water bridges are composed from the bonds' rows: keep_rows=False keeps none")
    backend = options.get("backend")
    first = selected_atoms(selection1, "selection1", trajectory, topology, backend)
    second = selected_atoms(selection2, "selection2", trajectory, topology, backend)
    from .analysis import analyze

    result = analyze(trajectory, topology, **(options | {"keep_rows": True}))
    return bridges_from_hbonds(result, first, second, int(order))


def bridges_from_hbonds(result: HbondResult, selection1: IntArray, selection2: IntArray, order: int) -> BridgeResult:
    """The water bridges of order `order` between two sets of atom indices, composed from the
    rows of `result` (as `water_bridges` defines them)."""
    check_positive_integer("order", order)
    labels = result.labels
    if labels is None:
        raise ValueError("water bridges need residue names to tell water from the rest: the result has no labels")
    n_atoms = len(labels)
    water = np.isin(np.char.upper(np.char.strip(labels.residue_names)), list(WATER_RESIDUES))
    ends = []
    for name, atoms in (("selection1", selection1), ("selection2", selection2)):
        atoms = np.unique(np.asarray(atoms, np.int64))
        check_within(atoms, name, n_atoms)
        atoms = atoms[~water[atoms]]
        if not len(atoms):
            raise ValueError(f"{name} holds no atom but water: bridges join atoms other than water")
        ends.append(atoms)
    rows = np.zeros((0, 4), np.uint32) if result.hbonds is None else result.hbonds
    bridges = compose(rows, water, ends[0], ends[1], order)
    return BridgeResult(bridges=bridges, order=order, frames=result.frames, times=result.times,
                        selection1=ends[0], selection2=ends[1], labels=labels)


def compose(rows: npt.NDArray[np.uint32], water: npt.NDArray[np.bool_], selection1: IntArray, selection2: IntArray,
            order: int) -> IntArray:
    """Rows ``(frame, a, water_1, ..., water_order, b)`` of (frame, donor, hydrogen, acceptor)
    bonds, distinct and sorted; `water` flags the atoms of water, the selections hold none."""
    n_atoms = len(water)
    frame = rows[:, 0].astype(np.int64)
    donor, acceptor = rows[:, 1].astype(np.int64), rows[:, 3].astype(np.int64)
    in1, in2 = (np.zeros(n_atoms, bool) for _ in range(2))
    in1[selection1], in2[selection2] = True, True
    # Edges between waters, each way: (key of the water left, key of the water reached).
    both = water[donor] & water[acceptor] & (donor != acceptor)
    donor_key, acceptor_key = frame[both] * n_atoms + donor[both], frame[both] * n_atoms + acceptor[both]
    links = _distinct(np.concatenate((donor_key, acceptor_key)), np.concatenate((acceptor_key, donor_key)))
    # Atoms of the selections bonded to a water: (key of the water, atom).
    solute_donor = water[acceptor] & ~water[donor]
    solute_acceptor = water[donor] & ~water[acceptor]
    water_key = np.concatenate((frame[solute_donor] * n_atoms + acceptor[solute_donor],
                                frame[solute_acceptor] * n_atoms + donor[solute_acceptor]))
    solute = np.concatenate((donor[solute_donor], acceptor[solute_acceptor]))
    first_end = _distinct(water_key[in1[solute]], solute[in1[solute]])
    last_end = _distinct(water_key[in2[solute]], solute[in2[solute]])

    # reach[d]: keys of the waters within d steps of a water bonded to selection 2, so that
    # chains that cannot end there in time are dropped before they grow.
    reach = [np.unique(last_end[0])]
    for _ in range(order - 1):
        _, right = _join(reach[-1], links[0])
        reach.append(np.union1d(reach[-1], links[1][right]))

    # Chains as the key of their last water and the columns a, water_1, ..., as far as grown.
    key = first_end[0]
    columns = [first_end[1], key % n_atoms]
    for grown in range(1, order):
        kept = np.isin(key, reach[order - grown])
        key, columns = key[kept], [column[kept] for column in columns]
        left, right = _join(key, links[0])
        step = links[1][right]
        fresh = np.ones(len(left), bool)
        for water_column in columns[1:]:
            fresh &= water_column[left] != step % n_atoms
        left, key = left[fresh], step[fresh]
        columns = [column[left] for column in columns] + [key % n_atoms]
    left, right = _join(key, last_end[0])
    a, b = columns[0][left], last_end[1][right]
    # One reading of a bridge whose ends are each in both selections: from the lower index.
    kept = (a != b) & ~(in1[b] & in2[a] & (a > b))
    table: IntArray = np.column_stack([key[left] // n_atoms] + [column[left] for column in columns] + [b])[kept]
    return table[np.lexsort(table.T[::-1])]


def _distinct(keys: IntArray, values: IntArray) -> tuple[IntArray, IntArray]:
    """The distinct (key, value) pairs, sorted by key then value."""
    order = np.lexsort((values, keys))
    keys, values = keys[order], values[order]
    new = np.ones(len(keys), bool)
    new[1:] = (keys[1:] != keys[:-1]) | (values[1:] != values[:-1])
    return keys[new], values[new]


def _join(keys: IntArray, table_keys: IntArray) -> tuple[IntArray, IntArray]:
    """Every (i, j) with keys[i] == table_keys[j], for `table_keys` sorted: i ascending, then j."""
    low = np.searchsorted(table_keys, keys, "left")
    counts = np.searchsorted(table_keys, keys, "right") - low
    left = np.repeat(np.arange(len(keys), dtype=np.int64), counts)
    starts = np.cumsum(counts) - counts
    right = np.arange(len(left), dtype=np.int64) - np.repeat(starts - low, counts)
    return left, right
