"""Donor–hydrogen pairs and acceptors, and the atom labels that go with them, from a topology.

Three sources: an MDTraj topology (MDTraj's own rules for donors, acceptors, water and side
chains), an MDAnalysis Universe or AtomGroup (selection strings, bonds or distances), and
plain element and bond arrays.
"""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from ._optional import require

IntArray = npt.NDArray[np.int64]

# A hydrogen closer than this to a donor is taken as bonded to it when the topology has no bonds
# (nm; 1.2 Å, as MDAnalysis' hydrogen-bond analysis does).
DONOR_HYDROGEN_DISTANCE = 0.12


@dataclass(frozen=True)
class Sites:
    """The atoms that can take part in a hydrogen bond, as atom indices."""

    donor_h_pairs: IntArray  # (n_pairs, 2): donor, hydrogen
    acceptors: IntArray  # (n_acceptors,)

    def __post_init__(self) -> None:
        object.__setattr__(self, "donor_h_pairs", np.asarray(self.donor_h_pairs, np.int64).reshape(-1, 2))
        object.__setattr__(self, "acceptors", np.asarray(self.acceptors, np.int64).reshape(-1))


@dataclass(frozen=True)
class AtomLabels:
    """Per-atom names for tables: atom name, residue name, residue number and element."""

    names: npt.NDArray[np.str_]
    residue_names: npt.NDArray[np.str_]
    residue_ids: npt.NDArray[np.int64]
    elements: npt.NDArray[np.str_]

    def __len__(self) -> int:
        return len(self.names)

    def atom(self, index: int) -> str:
        """MDTraj's way of naming an atom: residue name and number, dash, atom name (``ALA5-N``)."""
        return f"{self.residue_names[index]}{self.residue_ids[index]}-{self.names[index]}"


def is_mdtraj_topology(topology: object) -> bool:
    module = type(topology).__module__
    return module.startswith("mdtraj")


def is_mdanalysis_group(topology: object) -> bool:
    return type(topology).__module__.startswith("MDAnalysis")


# -- MDTraj ------------------------------------------------------------------------------------

def mdtraj_sites(
    topology: Any,
    *,
    exclude_water: bool = True,
    sidechain_only: bool = False,
    donors: str | None = None,
    hydrogens: str | None = None,
    acceptors: str | None = None,
) -> Sites:
    """MDTraj's candidates for `baker_hubbard`: N–H pairs then O–H pairs, each in the order of
    the topology's bonds, and O and N acceptors in atom order. Water is left out with
    `exclude_water`, backbone atoms with `sidechain_only`. Selection strings (MDTraj's
    selection language) narrow each set further.
    """
    bonds = np.array([(one.index, two.index) for one, two in topology.bonds], dtype=np.int64).reshape(-1, 2)
    if not len(bonds):
        raise ValueError(
            "No bonds found in topology. Try using "
            "traj._topology.create_standard_bonds() to create bonds "
            "using our PDB standard bond definitions.",
        )
    atoms = list(topology.atoms)
    symbols = _mdtraj_symbols(atoms)
    participates = np.ones(len(atoms), dtype=bool)
    if exclude_water:
        water = np.array([residue.is_water for residue in topology.residues], dtype=bool)
        participates &= ~water[_mdtraj_residue_indices(atoms)]
    if sidechain_only:
        participates &= np.array([atom.is_sidechain for atom in atoms], dtype=bool)
    usable = bonds[participates[bonds].all(axis=1)]
    hydrogen = np.flatnonzero(symbols == "H")
    pair_array = np.concatenate(
        [_pairs_from_bonds(usable, np.flatnonzero(symbols == heavy), hydrogen) for heavy in ("N", "O")]
    )
    acceptor_array = np.flatnonzero(np.isin(symbols, ("O", "N")) & participates).astype(np.int64)
    if donors is not None:
        pair_array = pair_array[np.isin(pair_array[:, 0], topology.select(donors))]
    if hydrogens is not None:
        pair_array = pair_array[np.isin(pair_array[:, 1], topology.select(hydrogens))]
    if acceptors is not None:
        acceptor_array = acceptor_array[np.isin(acceptor_array, topology.select(acceptors))]
    return Sites(pair_array, acceptor_array)


def _mdtraj_symbols(atoms: list[Any]) -> npt.NDArray[np.str_]:
    return np.array([atom.element.symbol if atom.element is not None else "" for atom in atoms], dtype=str)


def _mdtraj_residue_indices(atoms: list[Any]) -> IntArray:
    return np.array([atom.residue.index for atom in atoms], dtype=np.int64)


def mdtraj_labels(topology: Any) -> AtomLabels:
    atoms = list(topology.atoms)
    residues = list(topology.residues)
    of_atom = _mdtraj_residue_indices(atoms)
    return AtomLabels(
        names=np.array([atom.name for atom in atoms], dtype=str),
        residue_names=np.array([residue.name for residue in residues], dtype=str)[of_atom],
        residue_ids=np.array([residue.resSeq for residue in residues], dtype=np.int64)[of_atom],
        elements=_mdtraj_symbols(atoms),
    )


# -- MDAnalysis --------------------------------------------------------------------------------

def mdanalysis_sites(
    atoms: Any,
    *,
    donors: str | None = None,
    hydrogens: str | None = None,
    acceptors: str | None = None,
    exclude_water: bool = False,
) -> Sites:
    """Candidates from an MDAnalysis Universe or AtomGroup, as universe atom indices.

    Each selection string (MDAnalysis' selection language) picks donors, hydrogens or
    acceptors within `atoms`; by default hydrogens are H atoms, donors and acceptors N and O
    atoms. A hydrogen pairs with each selected donor it is bonded to; without bonds in the
    topology, with each donor within 0.12 nm (1.2 Å) in the current frame.
    """
    group = atoms.atoms
    if exclude_water:
        group = group.select_atoms("not water")
    elements = _mdanalysis_elements(group)
    pick = {
        "donors": _selected(group, donors, np.isin(elements, ("N", "O"))),
        "hydrogens": _selected(group, hydrogens, elements == "H"),
        "acceptors": _selected(group, acceptors, np.isin(elements, ("N", "O"))),
    }
    donor_atoms, hydrogen_atoms = pick["donors"], pick["hydrogens"]
    if hasattr(group.universe._topology, "bonds"):
        bonds = np.asarray(group.universe.bonds.indices, dtype=np.int64).reshape(-1, 2)
        pairs = _pairs_from_bonds(bonds, donor_atoms, hydrogen_atoms)
    else:
        pairs = _pairs_by_distance(group.universe, donor_atoms, hydrogen_atoms)
    return Sites(pairs, pick["acceptors"])


def _mdanalysis_elements(group: Any) -> npt.NDArray[np.str_]:
    if hasattr(group, "elements") and all(group.elements):
        return np.array([element.capitalize() for element in group.elements], dtype=str)
    # No elements in the topology: the first letter of the name, as for most force fields.
    return np.array([name.lstrip("0123456789")[:1].upper() for name in group.names], dtype=str)


def _selected(group: Any, selection: str | None, default: npt.NDArray[np.bool_]) -> IntArray:
    if selection is None:
        return np.asarray(group.indices[default], dtype=np.int64)
    return np.asarray(group.select_atoms(selection).indices, dtype=np.int64)


def mdanalysis_labels(universe: Any) -> AtomLabels:
    atoms = universe.atoms
    return AtomLabels(
        names=np.asarray(atoms.names, dtype=str),
        residue_names=np.asarray(atoms.resnames, dtype=str),
        residue_ids=np.asarray(atoms.resids, dtype=np.int64),
        elements=_mdanalysis_elements(atoms),
    )


# -- Plain arrays ------------------------------------------------------------------------------

def element_sites(
    elements: Sequence[str] | npt.NDArray[np.str_],
    bonds: npt.ArrayLike,
    *,
    donor_elements: Sequence[str] = ("N", "O"),
    acceptor_elements: Sequence[str] = ("N", "O"),
    hydrogen_elements: Sequence[str] = ("H",),
) -> Sites:
    """Candidates from per-atom element symbols and an (n_bonds, 2) array of bonded atom pairs.

    A donor is an atom of `donor_elements` bonded to a hydrogen; pairs come grouped by donor
    element in the order given, then in bond order, as MDTraj orders them. Acceptors are the
    atoms of `acceptor_elements`, in atom order.
    """
    symbols = np.array([str(symbol).strip().capitalize() for symbol in elements], dtype=str)
    bond_array = np.asarray(bonds, dtype=np.int64).reshape(-1, 2) if len(bonds) else np.zeros((0, 2), np.int64)  # type: ignore[arg-type]
    if bond_array.size and (bond_array.min() < 0 or bond_array.max() >= len(symbols)):
        raise IndexError(f"bonds hold an atom index outside 0..{len(symbols) - 1}")
    hydrogen = np.isin(symbols, list(hydrogen_elements))
    groups = []
    for element in donor_elements:
        donor = symbols == element
        groups.append(_pairs_from_bonds(bond_array, np.flatnonzero(donor), np.flatnonzero(hydrogen)))
    pairs = np.concatenate(groups) if groups else np.zeros((0, 2), np.int64)
    acceptors = np.flatnonzero(np.isin(symbols, list(acceptor_elements)))
    return Sites(pairs, acceptors)


def _pairs_from_bonds(bonds: IntArray, donors: npt.ArrayLike, hydrogens: npt.ArrayLike) -> IntArray:
    """(donor, hydrogen) for each bond joining a donor and a hydrogen, in bond order."""
    if not len(bonds):
        return np.zeros((0, 2), np.int64)
    first_donor = np.isin(bonds[:, 0], donors) & np.isin(bonds[:, 1], hydrogens)
    second_donor = np.isin(bonds[:, 1], donors) & np.isin(bonds[:, 0], hydrogens)
    pairs = np.where(second_donor[:, None], bonds[:, ::-1], bonds)
    return np.ascontiguousarray(pairs[first_donor | second_donor], dtype=np.int64)


def _pairs_by_distance(universe: Any, donors: IntArray, hydrogens: IntArray) -> IntArray:
    """(donor, hydrogen) for each hydrogen within DONOR_HYDROGEN_DISTANCE of a donor in the current
    frame, through the periodic box when there is one; by hydrogen, then donor."""
    distances = require("MDAnalysis.lib.distances", "pairing hydrogens with donors by distance")
    if not len(donors) or not len(hydrogens):
        return np.zeros((0, 2), np.int64)
    positions = universe.atoms.positions
    close = distances.capped_distance(
        positions[hydrogens], positions[donors], max_cutoff=10.0 * DONOR_HYDROGEN_DISTANCE,
        box=universe.dimensions, return_distances=False,
    )
    close = close[np.lexsort((close[:, 1], close[:, 0]))]
    return np.column_stack((donors[close[:, 1]], hydrogens[close[:, 0]])).astype(np.int64).reshape(-1, 2)
