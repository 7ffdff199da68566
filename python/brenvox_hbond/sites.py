"""Donor–hydrogen pairs and acceptors from a topology.

Three sources: an MDTraj topology (MDTraj's own rules for donors, acceptors, water and side
chains), an MDAnalysis Universe or AtomGroup (bonds or distances), and plain element and bond
arrays. Selection strings narrow the default candidates in both libraries' languages, and
monatomic ions never take part, whatever element a reader guessed for them.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Sequence
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from ._arrays import among, distinct
from ._optional import require
from .errors import NoSitesError
from .labels import AtomLabels, mdanalysis_elements, mdanalysis_labels, mdtraj_labels

__all__ = ["AtomLabels", "SiteSelection", "Sites", "element_sites", "mdanalysis_labels", "mdanalysis_sites",
           "mdtraj_labels", "mdtraj_sites"]

IntArray = npt.NDArray[np.int64]

# A hydrogen closer than this to a donor is taken as bonded to it when the topology has no bonds
# (nm; 1.2 Å, as MDAnalysis' hydrogen-bond analysis does).
DONOR_HYDROGEN_DISTANCE = 0.12

# Monatomic ions of the common force fields (names without charge and digits, as atom or
# residue name): "NA" would otherwise read as nitrogen, "CAL" as carbon.
ION_NAMES = frozenset({"NA", "SOD", "K", "POT", "CL", "CLA", "MG", "CA", "CAL", "ZN", "LI", "LIT", "RB", "CS",
                       "CES", "BR", "IOD", "I", "F", "CD", "CU", "FE", "MN", "NI", "CO", "BA", "SR", "AL",
                       "HG", "AG"})
_CHARGE_SUFFIX = re.compile(r"[0-9+\-]+$")


@dataclass(frozen=True)
class Sites:
    """The atoms that can take part in a hydrogen bond, as atom indices."""

    donor_h_pairs: IntArray  # (n_pairs, 2): donor, hydrogen
    acceptors: IntArray  # (n_acceptors,)
    # Two groups of atoms: only bonds from a donor of one to an acceptor of the other count.
    between: tuple[IntArray, IntArray] | None = None

    def __post_init__(self) -> None:
        object.__setattr__(self, "donor_h_pairs", np.asarray(self.donor_h_pairs, np.int64).reshape(-1, 2))
        object.__setattr__(self, "acceptors", np.asarray(self.acceptors, np.int64).reshape(-1))
        if self.between is not None:
            groups = tuple(np.unique(np.asarray(group, np.int64).reshape(-1)) for group in self.between)
            object.__setattr__(self, "between", groups)

    def sorted(self) -> Sites:
        """Pairs by donor then hydrogen and acceptors ascending: the order every reader gives, so
        that rows, which follow it, do not depend on the reader."""
        pairs = self.donor_h_pairs
        return Sites(pairs[np.lexsort((pairs[:, 1], pairs[:, 0]))], np.sort(self.acceptors), self.between)

    def directions(self) -> list[Sites]:
        """The searches that find these sites' bonds: one, or between two groups, the donors of
        each against the acceptors of the other (those that have candidates)."""
        if self.between is None:
            return [self]
        first, second = self.between
        parts = []
        for donors, acceptors in ((first, second), (second, first)):
            part = Sites(self.donor_h_pairs[among(self.donor_h_pairs[:, 0], donors)],
                         self.acceptors[among(self.acceptors, acceptors)])
            if len(part.donor_h_pairs) and len(part.acceptors):
                parts.append(part)
        return parts


@dataclass(frozen=True)
class SiteSelection:
    """Which candidates take part: selection strings that narrow the default donors, hydrogens
    and acceptors, and whether water, or backbone atoms (MDTraj topologies only), are left out.
    It finds the sites of a topology and fails when none are left."""

    donors: str | None = None
    hydrogens: str | None = None
    acceptors: str | None = None
    exclude_water: bool = False
    sidechain_only: bool = False
    # Two groups, each a selection string or atom indices: only bonds between them count.
    between: tuple[Any, Any] | None = None

    def __post_init__(self) -> None:
        if self.between is not None and (isinstance(self.between, str) or len(self.between) != 2):
            raise ValueError("between must be two selections: (selection1, selection2)")

    def mdtraj_sites(self, topology: Any) -> Sites:
        return self._found(lambda **chosen: mdtraj_sites(topology, sidechain_only=self.sidechain_only, **chosen),
                           lambda text: topology.select(text))

    @property
    def narrows(self) -> bool:
        """Whether selection strings narrow the candidates (they need MDTraj or MDAnalysis)."""
        groups = () if self.between is None else self.between
        return any(text is not None for text in (self.donors, self.hydrogens, self.acceptors)) \
            or any(isinstance(group, str) for group in groups)

    def structure_sites(self, structure: Any) -> Sites:
        """The sites of a topology read by the package itself, as `mdtraj_sites` finds them in
        MDTraj's topology of the same file."""
        if self.narrows:
            raise ValueError("selection strings need MDTraj or MDAnalysis: give backend='mdtraj' or "
                             "'mdanalysis', or leave backend to choose")
        return self._found(lambda **chosen: structure_sites(structure, sidechain_only=self.sidechain_only,
                                                            exclude_water=chosen["exclude_water"]))

    def mdanalysis_sites(self, atoms: Any) -> Sites:
        if self.sidechain_only:
            raise ValueError("sidechain_only needs an MDTraj topology; with MDAnalysis, select side chains "
                             "with the donors and acceptors selections")
        return self._found(lambda **chosen: mdanalysis_sites(atoms, **chosen),
                           lambda text: atoms.select_atoms(text).ix)

    def _found(self, find: Callable[..., Sites], select: Callable[[str], Any] | None = None) -> Sites:
        """The sites `find` gives, checked; when leaving water out left no donor, the error says
        so rather than blaming the topology. Between two groups, the sites keep them."""
        chosen = dict(donors=self.donors, hydrogens=self.hydrogens, acceptors=self.acceptors)
        sites = find(exclude_water=self.exclude_water, **chosen)
        if not len(sites.donor_h_pairs) and self.exclude_water \
                and len(find(exclude_water=False, **chosen).donor_h_pairs):
            raise NoSitesError("excluding water left no donor-hydrogen pairs: every donor of this system is in water")
        check_sites(sites)
        if self.between is not None:
            groups = tuple(_group(f"between[{k}]", group, select) for k, group in enumerate(self.between))
            sites = Sites(sites.donor_h_pairs, sites.acceptors, (groups[0], groups[1]))
            if not sites.directions():
                raise NoSitesError("no donor of either group has a candidate acceptor in the other: "
                                   "check the between selections")
        return sites.sorted()


def _group(name: str, group: Any, select: Callable[[str], Any] | None) -> IntArray:
    """A between group's atom indices: a selection string's atoms, or the indices given."""
    if isinstance(group, str):
        if select is None:
            raise ValueError("selection strings need MDTraj or MDAnalysis: give backend='mdtraj' or "
                             "'mdanalysis', or atom indices")
        return _selection(name, group, select)
    indices = np.asarray(group)
    if indices.dtype.kind not in "iu" and indices.size:
        raise TypeError(f"{name} must be a selection string or atom indices, got dtype {indices.dtype}")
    return indices.astype(np.int64).reshape(-1)


def check_sites(sites: Sites) -> None:
    if not len(sites.donor_h_pairs):
        raise NoSitesError("no donor-hydrogen pairs found: check the topology's bonds and hydrogens, "
                           "and the donor and hydrogen selections")
    if not len(sites.acceptors):
        raise NoSitesError("no acceptors found: check the topology's elements and the acceptor selection")


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
    `exclude_water`, backbone atoms with `sidechain_only`, monatomic ions always. Selection
    strings (MDTraj's selection language) narrow each set further; one that selects no atom,
    or none of the candidates, is an error.
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
    residue_of = _mdtraj_residue_indices(atoms)
    residues = list(topology.residues)
    residue_sizes = np.array([residue.n_atoms for residue in residues], dtype=np.int64)
    participates = ~_ions(np.array([atom.name for atom in atoms], dtype=str),
                          np.array([residue.name for residue in residues], dtype=str)[residue_of],
                          residue_sizes[residue_of], _bonded(len(atoms), bonds))
    if sidechain_only:
        participates &= np.array([atom.is_sidechain for atom in atoms], dtype=bool)
    water = np.array([residue.is_water for residue in residues], dtype=bool)[residue_of]

    def candidates(kept: npt.NDArray[np.bool_]) -> tuple[IntArray, IntArray]:
        usable = bonds[kept[bonds].all(axis=1)]
        hydrogen = np.flatnonzero(symbols == "H")
        pairs = np.concatenate(
            [_pairs_from_bonds(usable, np.flatnonzero(symbols == heavy), hydrogen) for heavy in ("N", "O")]
        )
        return pairs, np.flatnonzero(np.isin(symbols, ("O", "N")) & kept).astype(np.int64)

    pair_array, acceptor_array = candidates(participates & ~water if exclude_water else participates)
    selected = {role: None if text is None else _selection(role, text, lambda t: topology.select(t))
                for role, text in (("donors", donors), ("hydrogens", hydrogens), ("acceptors", acceptors))}
    return _narrowed(Sites(pair_array, acceptor_array), selected, {"donors": donors, "hydrogens": hydrogens,
                                                                      "acceptors": acceptors})


def _mdtraj_symbols(atoms: list[Any]) -> npt.NDArray[np.str_]:
    return np.array([atom.element.symbol if atom.element is not None else "" for atom in atoms], dtype=str)


def _mdtraj_residue_indices(atoms: list[Any]) -> IntArray:
    return np.array([atom.residue.index for atom in atoms], dtype=np.int64)


def _bonded(n_atoms: int, bonds: IntArray) -> npt.NDArray[np.bool_]:
    bonded = np.zeros(n_atoms, dtype=bool)
    bonded[bonds.reshape(-1)] = True
    return bonded


def _ions(names: npt.NDArray[np.str_], residue_names: npt.NDArray[np.str_], residue_sizes: IntArray,
          bonded: npt.NDArray[np.bool_] | None) -> npt.NDArray[np.bool_]:
    """Atoms alone in their residue, bonded to nothing, named as an ion (by atom or residue)."""
    def named(value: str) -> bool:
        return _CHARGE_SUFFIX.sub("", value.strip().upper()) in ION_NAMES

    alone = residue_sizes == 1
    if bonded is not None:
        alone &= ~bonded
    ions = np.zeros(len(names), dtype=bool)
    for atom in np.flatnonzero(alone):  # few: only the names of lone atoms are looked at
        ions[atom] = named(str(names[atom])) or named(str(residue_names[atom]))
    return ions


def _selection(role: str, text: str, select: Any) -> IntArray:
    """The atoms a selection string picks; an error naming it when it picks none."""
    chosen = np.asarray(select(text), dtype=np.int64).reshape(-1)
    if not len(chosen):
        raise ValueError(f"the {role} selection {text!r} matches no atom")
    return chosen


def _narrowed(sites: Sites, selected: dict[str, IntArray | None], texts: dict[str, str | None]) -> Sites:
    """The candidates kept by each selection; an error naming a selection that keeps none."""
    pairs, acceptor_array = sites.donor_h_pairs, sites.acceptors
    for role, column in (("donors", 0), ("hydrogens", 1)):
        chosen = selected[role]
        if chosen is not None:
            kept = pairs[np.isin(pairs[:, column], chosen)]
            if len(pairs) and not len(kept):
                what = "donor (N or O bonded to a hydrogen)" if role == "donors" else "hydrogen bonded to a donor"
                raise ValueError(f"the {role} selection {texts[role]!r} matches no {what}")
            pairs = kept
    chosen = selected["acceptors"]
    if chosen is not None:
        kept = acceptor_array[np.isin(acceptor_array, chosen)]
        if len(acceptor_array) and not len(kept):
            raise ValueError(f"the acceptors selection {texts['acceptors']!r} matches no acceptor (N or O)")
        acceptor_array = kept
    return Sites(pairs, acceptor_array)


# -- MDAnalysis --------------------------------------------------------------------------------

def structure_sites(structure: Any, *, exclude_water: bool = False, sidechain_only: bool = False) -> Sites:
    """The candidates that `mdtraj_sites` finds in MDTraj's topology of the same file: N–H and
    O–H pairs of bonded atoms and O and N acceptors, without monatomic ions, water with
    `exclude_water` and backbone atoms with `sidechain_only`. Pairs are sorted by donor then
    hydrogen, acceptors ascending."""
    bonds = structure.bonds
    if not len(bonds):
        raise ValueError("no bonds in this structure: no residue has a template and there are no CONECT records")
    residue_sizes = np.bincount(structure.residue_index)[structure.residue_index]
    kept = ~_ions(structure.names, structure.residue_names, residue_sizes, _bonded(structure.n_atoms, bonds))
    if sidechain_only:
        kept &= structure.sidechain
    if exclude_water:
        kept &= ~structure.water
    symbols = structure.elements
    usable = bonds[kept[bonds].all(axis=1)]
    polar = among(symbols, ("N", "O"))
    pairs = _pairs_from_bonds(usable, np.flatnonzero(polar), np.flatnonzero(symbols == "H"))
    keys = distinct((pairs[:, 0].astype(np.int64) << 32) | pairs[:, 1])  # the distinct rows, in order
    pairs = np.column_stack((keys >> 32, keys & 0xFFFFFFFF)).reshape(-1, 2)
    return Sites(pairs, np.flatnonzero(polar & kept).astype(np.int64))


def mdanalysis_sites(
    atoms: Any,
    *,
    donors: str | None = None,
    hydrogens: str | None = None,
    acceptors: str | None = None,
    exclude_water: bool = False,
) -> Sites:
    """Candidates from an MDAnalysis Universe or AtomGroup, as universe atom indices.

    By default hydrogens are H atoms, donors and acceptors N and O atoms of `atoms`, monatomic
    ions left out. A hydrogen pairs with each donor it is bonded to; without bonds in the
    topology, with each donor within 0.12 nm (1.2 Å) in the current frame. Each selection string
    (MDAnalysis' selection language) narrows the donors, hydrogens or acceptors, as MDTraj's do;
    one that selects no atom, or none of the candidates, is an error.
    """
    universe = atoms.universe
    everything = atoms.atoms
    group = everything.select_atoms("not water") if exclude_water else everything
    has_bonds = hasattr(universe._topology, "bonds")
    bonds = np.asarray(universe.bonds.indices, dtype=np.int64).reshape(-1, 2) if has_bonds else None

    def candidates(chosen: Any) -> tuple[IntArray, IntArray, IntArray]:  # donors, hydrogens, acceptors
        elements = mdanalysis_elements(chosen)
        residue_sizes = np.bincount(universe.atoms.resindices)[chosen.resindices]
        ions = _ions(np.asarray(chosen.names, dtype=str), np.asarray(chosen.resnames, dtype=str), residue_sizes,
                     None if bonds is None else _bonded(universe.atoms.n_atoms, bonds)[chosen.ix])
        polar = np.isin(elements, ("N", "O")) & ~ions
        indices = np.asarray(chosen.ix, dtype=np.int64)
        return indices[polar], indices[(elements == "H") & ~ions], indices[polar]

    def pairs_of(donor_atoms: IntArray, hydrogen_atoms: IntArray) -> IntArray:
        if bonds is not None:
            return _pairs_from_bonds(bonds, donor_atoms, hydrogen_atoms)
        return _pairs_by_distance(universe, donor_atoms, hydrogen_atoms)

    donor_atoms, hydrogen_atoms, acceptor_atoms = candidates(group)
    pairs = pairs_of(donor_atoms, hydrogen_atoms)
    selected = {role: None if text is None else _selection(role, text, lambda t: everything.select_atoms(t).ix)
                for role, text in (("donors", donors), ("hydrogens", hydrogens), ("acceptors", acceptors))}
    return _narrowed(Sites(pairs, acceptor_atoms), selected,
                     {"donors": donors, "hydrogens": hydrogens, "acceptors": acceptors})


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
    donor, hydrogen = (np.asarray(atoms, np.int64).reshape(-1) for atoms in (donors, hydrogens))
    is_donor = np.zeros(int(max(bonds.max(), donor.max(initial=-1), hydrogen.max(initial=-1))) + 1, bool)
    is_hydrogen = is_donor.copy()
    is_donor[donor], is_hydrogen[hydrogen] = True, True
    first_donor = is_donor[bonds[:, 0]] & is_hydrogen[bonds[:, 1]]
    second_donor = is_donor[bonds[:, 1]] & is_hydrogen[bonds[:, 0]]
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
