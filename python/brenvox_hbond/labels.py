"""Names of atoms for tables and summaries: chain, residue name and number, atom name, element.

The chain is the topology's chain ID where it has one (a PDB chain, MDAnalysis' chainID or
segment); elsewhere the molecule, the connected component of the bond graph numbered from 1 in
atom order, so that a .gro of five peptides gives five chains. Residue numbers are the file's own.
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from ._optional import require
from .geometry import minimum_image
from .tpr_residues import tpr_residue_numbers

IntArray = npt.NDArray[np.int64]

# Segment names that readers give every atom of a file without segments.
_PLACEHOLDER_SEGMENTS = ("", "SYSTEM")
# Covalent radii (nm) for finding the molecules of a topology without bonds; an atom is bonded
# to another closer than 1.2 times the sum of their radii.
_COVALENT_RADII = {"H": 0.031, "C": 0.076, "N": 0.071, "O": 0.066, "S": 0.105, "P": 0.107, "F": 0.057,
                   "CL": 0.102, "BR": 0.120, "I": 0.139, "SE": 0.120}
_DEFAULT_RADIUS = 0.076
_BOND_TOLERANCE = 1.2
# Longer than any covalent bond (S-S is 0.205 nm), shorter than any contact between molecules.
_LONGEST_BOND = 0.25


@dataclass(frozen=True)
class AtomLabels:
    """Per-atom names for tables: atom name, residue name, residue number, element and chain
    (empty where unknown)."""

    names: npt.NDArray[np.str_]
    residue_names: npt.NDArray[np.str_]
    residue_ids: npt.NDArray[np.int64]
    elements: npt.NDArray[np.str_]
    chains: npt.NDArray[np.str_] | None = None

    def __post_init__(self) -> None:
        if self.chains is None:
            object.__setattr__(self, "chains", np.full(len(self.names), "", dtype=str))

    def __len__(self) -> int:
        return len(self.names)

    @property
    def chain_of(self) -> npt.NDArray[np.str_]:
        assert self.chains is not None
        return self.chains

    def atom(self, index: int) -> str:
        """Chain, colon, MDTraj's way of naming an atom: residue name and number, dash, atom name
        (``B:ALA5-N``; without a chain, ``ALA5-N``)."""
        return f"{self.residue(index)}-{self.names[index]}"

    def residue(self, index: int) -> str:
        """The residue of atom `index`: ``B:ALA5``."""
        chain = self.chain_of[index]
        name = f"{self.residue_names[index]}{self.residue_ids[index]}"
        return f"{chain}:{name}" if chain else name

    def residues(self) -> npt.NDArray[np.str_]:
        """`residue` of every atom."""
        named: npt.NDArray[np.str_] = np.char.add(self.residue_names, self.residue_ids.astype(str))
        chains = self.chain_of
        with_chain = np.char.add(np.char.add(chains, ":"), named)
        return np.where(chains != "", with_chain, named)


def molecules(n_atoms: int, bonds: npt.ArrayLike) -> IntArray:
    """The connected component of each atom in the bond graph, numbered 0, 1, ... in the order
    of their first atoms."""
    pairs = np.asarray(bonds, dtype=np.int64).reshape(-1, 2)
    root = np.arange(n_atoms, dtype=np.int64)
    while len(pairs):
        # Each bond pulls both ends to the smaller root, then roots are followed to their roots.
        low = np.minimum(root[pairs[:, 0]], root[pairs[:, 1]])
        pulled = root.copy()
        np.minimum.at(pulled, root[pairs[:, 0]], low)
        np.minimum.at(pulled, root[pairs[:, 1]], low)
        pulled = pulled[pulled]
        while True:
            jumped = pulled[pulled]
            if np.array_equal(jumped, pulled):
                break
            pulled = jumped
        pulled = pulled[root]
        if np.array_equal(pulled, root):
            break
        root = pulled
    _, numbered = np.unique(root, return_inverse=True)
    return np.asarray(numbered, dtype=np.int64).reshape(-1)


def covalent_lengths(xyz: npt.NDArray[Any], box: npt.NDArray[Any] | None, bonds: IntArray) -> npt.NDArray[np.bool_]:
    """Whether each bond is short enough to be covalent in this frame (minimum image)."""
    offsets = np.asarray(xyz[bonds[:, 1]], dtype=np.float64) - np.asarray(xyz[bonds[:, 0]], dtype=np.float64)
    if box is not None and np.any(box):
        offsets = minimum_image(offsets, np.broadcast_to(np.asarray(box, dtype=np.float64), (len(bonds), 3, 3)))
    with np.errstate(invalid="ignore"):
        return np.asarray(np.einsum("ni,ni->n", offsets, offsets) < _LONGEST_BOND**2, dtype=bool)


def chain_labels(chain_ids: npt.NDArray[np.str_], molecule: IntArray | None) -> npt.NDArray[np.str_]:
    """The chain ID where an atom has one, else its molecule's number from 1 (else empty)."""
    ids = np.char.strip(np.asarray(chain_ids, dtype=str))
    if molecule is None:
        return ids
    numbers = (molecule + 1).astype(str)
    return np.where(ids != "", ids, numbers)


# -- MDTraj ------------------------------------------------------------------------------------

def mdtraj_labels(topology: Any, xyz: npt.NDArray[Any] | None = None,
                  box: npt.NDArray[Any] | None = None) -> AtomLabels:
    """Labels of an MDTraj topology. With the coordinates (nm) and box vectors of a frame, bonds
    longer than any covalent bond are not followed into molecules: MDTraj bonds consecutive
    residues of a chain by template, and a .gro has one chain for all its peptides."""
    atoms = list(topology.atoms)
    residues = list(topology.residues)
    of_atom = np.array([atom.residue.index for atom in atoms], dtype=np.int64)
    chain_ids = np.array([residue.chain.chain_id or "" for residue in residues], dtype=str)[of_atom]
    bonds = np.array([(one.index, two.index) for one, two in topology.bonds], dtype=np.int64).reshape(-1, 2)
    if xyz is not None and len(bonds):
        bonds = bonds[covalent_lengths(xyz, box, bonds)]
    return AtomLabels(
        names=np.array([atom.name for atom in atoms], dtype=str),
        residue_names=np.array([residue.name for residue in residues], dtype=str)[of_atom],
        residue_ids=np.array([residue.resSeq for residue in residues], dtype=np.int64)[of_atom],
        elements=np.array([atom.element.symbol if atom.element is not None else "" for atom in atoms], dtype=str),
        chains=chain_labels(chain_ids, molecules(len(atoms), bonds) if len(bonds) else None),
    )


# -- MDAnalysis --------------------------------------------------------------------------------

def mdanalysis_elements(group: Any) -> npt.NDArray[np.str_]:
    if hasattr(group, "elements") and all(group.elements):
        return np.array([element.capitalize() for element in group.elements], dtype=str)
    # No elements in the topology: the first letter of the name, as for most force fields.
    return np.array([name.lstrip("0123456789")[:1].upper() for name in group.names], dtype=str)


def mdanalysis_labels(universe: Any) -> AtomLabels:
    atoms = universe.atoms
    elements = mdanalysis_elements(atoms)
    return AtomLabels(
        names=np.asarray(atoms.names, dtype=str),
        residue_names=np.asarray(atoms.resnames, dtype=str),
        residue_ids=_mdanalysis_residue_numbers(universe),
        elements=elements,
        chains=chain_labels(_mdanalysis_chain_ids(atoms), _mdanalysis_molecules(universe, elements)),
    )


def _mdanalysis_residue_numbers(universe: Any) -> IntArray:
    """The file's own residue numbers: MDAnalysis renumbers those of a .tpr from 1."""
    atoms, residues = universe.atoms, universe.residues
    filename = getattr(universe, "filename", None)
    if isinstance(filename, str) and filename.lower().endswith(".tpr") and hasattr(residues, "molnums"):
        numbers = tpr_residue_numbers(filename, residues.molnums, residues.moltypes)
        if numbers is not None:
            return np.asarray(numbers[atoms.resindices], dtype=np.int64)
    return np.asarray(atoms.resids, dtype=np.int64)


def _mdanalysis_chain_ids(atoms: Any) -> npt.NDArray[np.str_]:
    if hasattr(atoms, "chainIDs"):
        return np.asarray(atoms.chainIDs, dtype=str)
    if hasattr(atoms, "segids"):
        segments = np.asarray(atoms.segids, dtype=str)
        return np.where(np.isin(np.char.strip(segments), _PLACEHOLDER_SEGMENTS), "", segments)
    return np.full(atoms.n_atoms, "", dtype=str)


def _mdanalysis_molecules(universe: Any, elements: npt.NDArray[np.str_]) -> IntArray | None:
    atoms = universe.atoms
    if hasattr(atoms, "molnums"):
        return np.unique(np.asarray(atoms.molnums), return_inverse=True)[1].reshape(-1).astype(np.int64)
    if hasattr(universe._topology, "bonds"):
        return molecules(atoms.n_atoms, np.asarray(universe.bonds.indices, dtype=np.int64))
    try:
        positions = atoms.positions
    except Exception:  # no coordinates to guess bonds from
        return None
    return molecules(atoms.n_atoms, guessed_bonds(positions * 0.1, elements, universe.dimensions))


def guessed_bonds(positions_nm: npt.NDArray[Any], elements: npt.NDArray[np.str_],
                  dimensions: npt.NDArray[Any] | None) -> IntArray:
    """Atom pairs closer than 1.2 times the sum of their covalent radii, through the box when
    there is one (MDAnalysis dimensions, Å)."""
    distances = require("MDAnalysis.lib.distances", "finding molecules by distance")
    radii = np.array([_COVALENT_RADII.get(element.upper(), _DEFAULT_RADIUS) for element in elements])
    reach = 2.0 * _BOND_TOLERANCE * float(radii.max(initial=_DEFAULT_RADIUS))
    pairs, lengths = distances.self_capped_distance(10.0 * positions_nm, max_cutoff=10.0 * reach, box=dimensions)
    pairs = np.asarray(pairs, dtype=np.int64).reshape(-1, 2)
    bonded = 0.1 * np.asarray(lengths) < _BOND_TOLERANCE * (radii[pairs[:, 0]] + radii[pairs[:, 1]])
    return np.asarray(pairs[bonded], dtype=np.int64)
