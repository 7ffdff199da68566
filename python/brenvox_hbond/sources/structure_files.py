"""Topologies read from GROMACS .gro and PDB files with NumPy alone, named, bonded and flagged as
MDTraj does, so that the sites and labels found from them are those of the MDTraj path.

A .gro holds a title, the atom count, one fixed-column line per atom (residue number, residue
name, atom name, atom number, coordinates in nm) and the box: 3 numbers for a rectangular box or
9 (v1x v2y v3z v1y v1z v2x v2z v3x v3y). A PDB file holds ATOM/HETATM lines (name in columns
13-16, alternate location 17, residue name 18-20 or 18-21, chain 22, residue number 23-26,
insertion code 27, coordinates in Å 31-54, element 77-78), CRYST1 (cell lengths in Å and angles),
TER ending a chain, MODEL/ENDMDL around models (the first is read) and CONECT bonds. Either may
be gzip-compressed.

Residues with a template (residue_templates) are renamed to PDB names and bonded by it;
other residues have no bonds but a PDB file's CONECT records. Elements follow MDTraj: in a .gro
from the atom name (first letter and the lower-case letters after it), in a PDB file from
columns 77-78, else guessed from the name; where no element is found, a virtual site ("VS").
"""

from __future__ import annotations

import gzip
import re
from dataclasses import dataclass
from pathlib import Path

import numpy as np
import numpy.typing as npt

from .. import _native
from .._arrays import among, distinct
from ..labels import AtomLabels, chain_labels, covalent_lengths, molecules
from .residue_templates import (
    ATOM_ALIASES,
    BACKBONE_NAMES,
    PROTEIN_RESIDUES,
    RESIDUE_ALIASES,
    TEMPLATES,
    WATER_RESIDUES,
    template_bonds,
)

__all__ = ["Structure", "read_gro", "read_pdb", "read_structure", "structure_labels"]

IntArray = npt.NDArray[np.int64]
StrArray = npt.NDArray[np.str_]

_SYMBOLS = str.split(
    "H He Li Be B C N O F Ne Na Mg Al Si P S Cl Ar K Ca Sc Ti V Cr Mn Fe Co Ni Cu Zn Ga Ge As Se Br Kr "
    "Rb Sr Y Zr Nb Mo Tc Ru Rh Pd Ag Cd In Sn Sb Te I Xe Cs Ba La Ce Pr Nd Pm Sm Eu Gd Tb Dy Ho Er Tm "
    "Yb Lu Hf Ta W Re Os Ir Pt Au Hg Tl Pb Bi Po At Rn Fr Ra Ac Th Pa U Np Pu Am Cm Bk Cf Es Fm Md No "
    "Lr Rf Db Sg Bh Hs Mt Ds Rg D VS"
)
ELEMENTS = {symbol.upper(): symbol for symbol in _SYMBOLS}
VIRTUAL_SITE = "VS"
# MDTraj drops a CRYST1 cell holding more atoms than this per nm³: a placeholder (often 1 Å³).
_DENSEST_CELL = 1000.0
_GRO_ELEMENT_DROP = re.compile(r"[A-Z0-9]")


@dataclass(frozen=True)
class Structure:
    """One structure file: per-atom arrays in file order, names as MDTraj gives them."""

    names: StrArray  # atom names, renamed to PDB names in residues with a template
    residue_names: StrArray  # per atom, renamed likewise (SOL -> HOH)
    residue_ids: IntArray  # per atom: the file's residue numbers
    residue_index: IntArray  # per atom: residue 0, 1, ... in file order
    chain_ids: StrArray  # per atom: the PDB chain column, stripped; "" in a .gro
    chain_index: IntArray  # per atom: chain 0, 1, ...
    elements: StrArray  # symbols ("Cl"); "VS" (virtual site) where the name tells no element
    xyz: npt.NDArray[np.float32]  # (n_atoms, 3), nm, the first frame
    box: npt.NDArray[np.float64] | None  # (3, 3) box vectors as rows, nm
    bonds: IntArray  # (n_bonds, 2), each row ascending, rows sorted and unique

    @property
    def n_atoms(self) -> int:
        return len(self.names)

    @property
    def untemplated(self) -> bool:
        """Whether a residue of more than one atom has no template here (a ligand, a nucleic
        acid): MDTraj may know it and bond it where this reader cannot."""
        known = among(self.residue_names, list(TEMPLATES)) | self.water
        sizes = np.bincount(self.residue_index)[self.residue_index]
        return bool(np.any(~known & (sizes > 1)))

    @property
    def water(self) -> npt.NDArray[np.bool_]:
        """Atoms in water residues (MDTraj's `is_water`)."""
        return among(self.residue_names, list(WATER_RESIDUES))

    @property
    def sidechain(self) -> npt.NDArray[np.bool_]:
        """Atoms of amino acids other than N, CA, C, O, H and HA (MDTraj's `is_sidechain`)."""
        return among(self.residue_names, list(PROTEIN_RESIDUES)) & ~among(self.names, list(BACKBONE_NAMES))


def read_structure(path: str | Path) -> Structure:
    """A .gro or .pdb (.ent) file, either optionally gzip-compressed, chosen by suffix."""
    name = str(path).lower().removesuffix(".gz")
    if name.endswith(".gro"):
        return read_gro(path)
    if name.endswith((".pdb", ".ent")):
        return read_pdb(path)
    raise ValueError(f"not a .gro or .pdb file: {path}")


def _read_bytes(path: str | Path) -> bytes:
    with open(path, "rb") as handle:
        data = handle.read()
    if data[:2] == b"\x1f\x8b":
        data = gzip.decompress(data)
    return data.replace(b"\r\n", b"\n") if b"\r" in data else data


def _columns(lines: list[bytes], least: int = 1) -> npt.NDArray[np.bytes_]:
    """The lines as a (n_lines, width) array of single characters, padded with spaces."""
    width = max(max(map(len, lines), default=1), least)
    padded = np.array(lines, dtype=f"S{width}")
    chars = padded.view("S1").reshape(len(lines), width)
    chars[chars == b""] = b" "
    return chars


def _field(chars: npt.NDArray[np.bytes_], begin: int, end: int) -> npt.NDArray[np.bytes_]:
    return np.ascontiguousarray(chars[:, begin:end]).view(f"S{end - begin}").reshape(-1)


def _stripped(field: npt.NDArray[np.bytes_]) -> tuple[StrArray, IntArray]:
    """Each value without surrounding blanks, as (unique values, index of each), decoding few."""
    unique, inverse = np.unique(field, return_inverse=True)
    values = np.array([value.decode("latin-1").strip() for value in unique.tolist()], dtype=str)
    return values, np.asarray(inverse, dtype=np.int64).reshape(-1)


def _numbers(field: npt.NDArray[np.bytes_], kind: type) -> npt.NDArray[np.generic]:
    try:
        return field.astype(kind)
    except ValueError as exc:
        raise ValueError(f"malformed number in {field[:3]!r}...: {exc}") from None


# -- .gro --------------------------------------------------------------------------------------

def read_gro(path: str | Path) -> Structure:
    """The first frame of a .gro file."""
    data = _read_bytes(path)
    second = data.find(b"\n") + 1
    start = _line_end(data, second) + 1
    try:
        n_atoms = int(data[second:start]) if second else -1
    except ValueError:
        n_atoms = -1
    if n_atoms < 0:
        raise ValueError(f"{path}: the second line must hold the number of atoms")
    first = data[start:_line_end(data, start)]
    point = first.find(b".", 20)
    step = first.find(b".", point + 1) - point if point >= 0 else -1
    if point < 0 or step <= 0:
        raise ValueError(f"{path}: no coordinates in the first atom line")
    try:
        residue_ids, residue_codes, residue_fields, name_codes, name_fields, xyz, end = _native.read_gro_atoms(
            data, start, n_atoms, step)
    except ValueError as exc:
        raise ValueError(f"{path}: {exc}") from None
    box_line = data[end:_line_end(data, end)]
    if not box_line.split():
        raise ValueError(f"{path}: expected {n_atoms} atom lines and a box line")
    raw_residues, raw_names = (np.array([field.decode("latin-1").strip() for field in fields], dtype=str)
                               for fields in (residue_fields, name_fields))

    starts = np.ones(n_atoms, dtype=bool)
    starts[1:] = (residue_ids[1:] != residue_ids[:-1]) | (residue_codes[1:] != residue_codes[:-1])
    residue_index = np.cumsum(starts) - 1
    symbols = np.array([_gro_element(name) for name in raw_names.tolist()], dtype=str)
    names, residue_names = _renamed(raw_names, name_codes, raw_residues, residue_codes)
    chain_index = np.zeros(n_atoms, dtype=np.int64)
    bonds = _template_bonds(names, residue_names, residue_index, chain_index)
    return Structure(
        names=names.per_atom(), residue_names=residue_names.per_atom(), residue_ids=residue_ids,
        residue_index=residue_index,
        chain_ids=np.full(n_atoms, "", dtype=str), chain_index=chain_index, elements=symbols[name_codes],
        xyz=xyz, box=_gro_box(box_line), bonds=bonds,
    )


def _line_end(data: bytes, start: int) -> int:
    end = data.find(b"\n", start)
    return len(data) if end < 0 else end


def _gro_element(name: str) -> str:
    if not name:
        return VIRTUAL_SITE
    symbol = name[0] + _GRO_ELEMENT_DROP.sub("", name[1:])
    return ELEMENTS.get(symbol.upper(), VIRTUAL_SITE)


def _gro_box(line: bytes) -> npt.NDArray[np.float64]:
    try:
        values = [float(value) for value in line.split()]
    except ValueError:
        raise ValueError(f"malformed .gro box line: {line!r}") from None
    if len(values) not in (3, 9):
        raise ValueError(f"a .gro box line holds 3 or 9 numbers, not {len(values)}")
    v = values + [0.0] * (9 - len(values))
    return np.array([[v[0], v[3], v[4]], [v[5], v[1], v[6]], [v[7], v[8], v[2]]], dtype=np.float64)


# -- PDB ---------------------------------------------------------------------------------------

def read_pdb(path: str | Path) -> Structure:
    """The first model of a PDB file, with its CRYST1 cell and CONECT bonds."""
    lines = _read_bytes(path).split(b"\n")
    records = np.array(lines, dtype="S6")
    atom_lines = np.flatnonzero(_is(records, b"ATOM") | _is(records, b"HETATM"))
    ends = np.flatnonzero(_is(records, b"ENDMDL") | _is(records, b"END"))
    model_starts = np.flatnonzero(_is(records, b"MODEL"))
    if len(atom_lines):
        first_end = ends[ends > atom_lines[0]]
        later_model = model_starts[model_starts > atom_lines[0]]
        stop = min(first_end[0] if len(first_end) else len(lines), later_model[0] if len(later_model) else len(lines))
        atom_lines = atom_lines[atom_lines < stop]
    if not len(atom_lines):
        raise ValueError(f"{path}: no ATOM or HETATM records")
    chars = _columns([lines[i] for i in atom_lines], 80)
    name_field = _field(chars, 12, 16)
    altlocs = _field(chars, 16, 17)
    residue_field = _field(chars, 17, 21)  # column 21 holds the fourth letter of some force fields' names
    chain_field = _field(chars, 21, 22)
    residue_ids = _residue_numbers(_field(chars, 22, 26))
    insertions = _field(chars, 26, 27)
    xyz = 0.1 * np.column_stack([_numbers(_field(chars, begin, begin + 8), np.float64) for begin in (30, 38, 46)])

    # Chains: a new one where the chain column changes or after a TER record.
    ter_lines = np.flatnonzero(_is(records, b"TER"))
    ters_before = np.searchsorted(ter_lines, atom_lines)
    chain_starts = np.ones(len(atom_lines), dtype=bool)
    chain_starts[1:] = (chain_field[1:] != chain_field[:-1]) | (ters_before[1:] != ters_before[:-1])
    # Residues: a new one where the number, insertion code or name changes (a name change with
    # an alternate location is a point mutation within the residue).
    residue_starts = chain_starts.copy()
    residue_starts[1:] |= (residue_ids[1:] != residue_ids[:-1]) | (insertions[1:] != insertions[:-1]) \
        | ((residue_field[1:] != residue_field[:-1]) & (altlocs[1:] == b" "))
    kept = _without_alternates(name_field, altlocs, np.cumsum(residue_starts) - 1)
    if not kept.all():
        chain_starts, residue_starts = _restarted(chain_starts, kept), _restarted(residue_starts, kept)
        atom_lines, name_field, residue_field, chain_field = (atom_lines[kept], name_field[kept],
                                                              residue_field[kept], chain_field[kept])
        chars, residue_ids, xyz = chars[kept], residue_ids[kept], xyz[kept]
    residue_index = np.cumsum(residue_starts) - 1
    chain_index = np.cumsum(chain_starts) - 1
    # A residue is named by its first atom.
    residue_field = residue_field[np.flatnonzero(residue_starts)][residue_index]

    raw_names, name_codes = _stripped(name_field)
    raw_residues, residue_codes = _stripped(residue_field)
    coded_names, coded_residues = _renamed(raw_names, name_codes, raw_residues, residue_codes)
    names, residue_names = coded_names.per_atom(), coded_residues.per_atom()
    residue_sizes = np.bincount(residue_index)[residue_index]
    element_keys = np.ascontiguousarray(np.concatenate([chars[:, 76:78], chars[:, 12:16]], axis=1)).view("S6")
    elements = _pdb_elements(element_keys.reshape(-1), names, raw_residues[residue_codes], residue_sizes)
    chains, chain_codes = _stripped(chain_field)

    bonds = _template_bonds(coded_names, coded_residues, residue_index, chain_index)
    connected = _conect_bonds(lines, records, atom_lines, chars)
    if len(connected):
        bonds = _unique_pairs(np.concatenate([bonds, connected]), len(names))
    return Structure(
        names=names, residue_names=residue_names, residue_ids=residue_ids, residue_index=residue_index,
        chain_ids=chains[chain_codes], chain_index=chain_index, elements=elements,
        xyz=xyz.astype(np.float32), box=_cryst1_box(lines, records, len(names)), bonds=bonds,
    )


def _is(records: npt.NDArray[np.bytes_], word: bytes) -> npt.NDArray[np.bool_]:
    """Lines whose first six columns hold `word` (a PDB record name)."""
    return np.asarray((records == word) | (records == word.ljust(6)), dtype=bool)


def _residue_numbers(field: npt.NDArray[np.bytes_]) -> IntArray:
    """Decimal residue numbers; past 9999, writers that overflow the column use hexadecimal."""
    try:
        return field.astype(np.int64)
    except ValueError:
        numbers = []
        for value in field.tolist():
            text = value.decode("latin-1").strip()
            try:
                numbers.append(int(text))
            except ValueError:
                numbers.append(int(text, 16) if re.fullmatch(r"[0-9a-fA-F]+", text) else
                               (numbers[-1] if numbers else 0))
        return np.array(numbers, dtype=np.int64)


def _without_alternates(names: npt.NDArray[np.bytes_], altlocs: npt.NDArray[np.bytes_],
                        residues: IntArray) -> npt.NDArray[np.bool_]:
    """False for an atom at another alternate location of an atom already in its residue."""
    kept = np.ones(len(names), dtype=bool)
    if not (altlocs != b" ").any():
        return kept
    seen: dict[tuple[int, bytes], set[bytes]] = {}
    for atom, (name, altloc, residue) in enumerate(zip(names.tolist(), altlocs.tolist(), residues.tolist())):
        locations = seen.get((residue, name))
        if locations is None:
            seen[(residue, name)] = {altloc}
        elif altloc not in locations:
            locations.add(altloc)
            kept[atom] = False
    return kept


def _restarted(starts: npt.NDArray[np.bool_], kept: npt.NDArray[np.bool_]) -> npt.NDArray[np.bool_]:
    """Start flags of the kept atoms: a dropped start passes to the next kept atom."""
    group = np.cumsum(starts)
    kept_group = group[kept]
    moved = np.ones(len(kept_group), dtype=bool)
    moved[1:] = kept_group[1:] != kept_group[:-1]
    return moved


def _pdb_elements(keys: npt.NDArray[np.bytes_], names: StrArray, residue_names: StrArray,
                  residue_sizes: IntArray) -> StrArray:
    """Columns 77-78 when they hold an element; else the first two characters of the name (a
    four-character name starting with H is a hydrogen); else guessed from the atom name. `keys`
    are columns 77-78 then 13-16 of each atom line."""
    unique, inverse = np.unique(keys, return_inverse=True)
    found: list[str | None] = []
    for key in unique.tolist():
        text = key.decode("latin-1").ljust(6)
        column, spaced = text[:2], text[2:]
        symbol = ELEMENTS.get(column.strip().upper())
        if symbol is None:
            name = spaced.strip()
            if len(name) == 4 and name[0] == "H":
                symbol = "H"
            else:
                symbol = ELEMENTS.get(spaced[0:2].strip().lstrip("0123456789").upper())
        found.append(symbol)
    elements = np.array([symbol or "" for symbol in found], dtype="U2")[np.asarray(inverse).reshape(-1)]
    for atom in np.flatnonzero(elements == ""):  # few: names whose first letters tell no element
        elements[atom] = _guessed_element(str(names[atom]), str(residue_names[atom]), int(residue_sizes[atom]))
    return elements


def _guessed_element(name: str, residue: str, residue_size: int) -> str:
    """MDTraj's guess from a name that tells no element: ions by their first letters, CE and CD
    as carbon, NE and ND in the residues that have them as nitrogen, then the first letter."""
    upper = name.upper()
    for prefix, symbol in (("CL", "Cl"), ("NA", "Na"), ("MG", "Mg"), ("BE", "Be"), ("LI", "Li"), ("K", "K"),
                           ("ZN", "Zn")):
        if upper.startswith(prefix):
            return symbol
    if residue_size == 1 and upper.startswith("CA"):
        return "Ca"
    if residue_size > 1 and upper.startswith(("CE", "CD")):
        return "C"
    if (residue in ("TRP", "ARG", "GLN", "HIS") and upper.startswith("NE")) \
            or (residue == "ASN" and upper.startswith("ND")):
        return "N"
    if residue == "CYS" and upper.startswith("SG"):
        return "S"
    found = ELEMENTS.get(name[:1].upper()) or ELEMENTS.get(name[0:2].strip().rstrip("AB0123456789")
                                                            .lstrip("0123456789").upper())
    return found or VIRTUAL_SITE


def _cryst1_box(lines: list[bytes], records: npt.NDArray[np.bytes_], n_atoms: int) -> npt.NDArray[np.float64] | None:
    """Box vectors (nm) of the last CRYST1 record: a along x, b in the xy plane."""
    box = None
    for index in np.flatnonzero(_is(records, b"CRYST1")).tolist():
        line = lines[index]
        try:
            a, b, c = (0.1 * float(line[begin:begin + 9]) for begin in (6, 15, 24))
            alpha, beta, gamma = (np.radians(float(line[begin:begin + 7])) for begin in (33, 40, 47))
        except ValueError:
            continue
        cx = c * np.cos(beta)
        cy = c * (np.cos(alpha) - np.cos(beta) * np.cos(gamma)) / np.sin(gamma)
        box = np.array([[a, 0.0, 0.0], [b * np.cos(gamma), b * np.sin(gamma), 0.0],
                        [cx, cy, np.sqrt(c * c - cx * cx - cy * cy)]], dtype=np.float64)
    if box is not None:
        volume = abs(float(np.linalg.det(box)))
        if not volume > 0 or n_atoms / volume > _DENSEST_CELL:
            return None
    return box


def _conect_bonds(lines: list[bytes], records: npt.NDArray[np.bytes_], atom_lines: IntArray,
                  chars: npt.NDArray[np.bytes_]) -> IntArray:
    """CONECT bonds between atoms read, by their serial numbers (the last atom of a number)."""
    conect = np.flatnonzero(_is(records, b"CONECT"))
    model_starts = np.flatnonzero(_is(records, b"MODEL"))
    if len(model_starts) > 1:  # the records that follow the last model's start
        conect = conect[conect > model_starts[-1]]
    if not len(conect):
        return np.zeros((0, 2), np.int64)
    try:
        serials = _field(chars, 6, 11).astype(np.int64)
    except ValueError:
        return np.zeros((0, 2), np.int64)
    atom_of = {serial: atom for atom, serial in enumerate(serials.tolist())}
    pairs: list[tuple[int, int]] = []
    for index in conect.tolist():
        line = lines[index].rstrip()
        numbers = []
        for begin in range(6, min(len(line) - 4, 31), 5):
            try:
                numbers.append(int(line[begin:begin + 5]))
            except ValueError:
                break
        if numbers and numbers[0] in atom_of:
            first = atom_of[numbers[0]]
            pairs.extend((first, atom_of[other]) for other in numbers[1:] if other in atom_of)
    found = np.array(pairs, dtype=np.int64).reshape(-1, 2)
    return np.sort(found, axis=1)


# -- names and bonds ---------------------------------------------------------------------------

@dataclass(frozen=True)
class _Coded:
    """Per-atom names as codes into an array of distinct names."""

    values: StrArray
    codes: IntArray

    def per_atom(self) -> StrArray:
        return self.values[self.codes]


def _renamed(name_unique: StrArray, name_codes: IntArray, residue_unique: StrArray,
             residue_codes: IntArray) -> tuple[_Coded, _Coded]:
    """PDB names for the residues with a template and for their atoms, from each atom's name
    and residue name given as codes."""
    residues, renamed_codes = np.unique([RESIDUE_ALIASES.get(name, name) for name in residue_unique.tolist()],
                                        return_inverse=True)
    residue_codes = np.asarray(renamed_codes).reshape(-1)[residue_codes]
    pairs, pair_codes = np.unique(residue_codes * len(name_unique) + name_codes, return_inverse=True)
    renamed = []
    for pair in pairs.tolist():
        residue, name = str(residues[pair // len(name_unique)]), str(name_unique[pair % len(name_unique)])
        renamed.append(ATOM_ALIASES.get(residue, {}).get(name, name))
    names, name_of_pair = np.unique(np.array(renamed, dtype=str), return_inverse=True)
    return (_Coded(names, np.asarray(name_of_pair).reshape(-1)[np.asarray(pair_codes).reshape(-1)]),
            _Coded(residues, residue_codes))


def _template_bonds(names: _Coded, residue_names: _Coded, residue_index: IntArray,
                    chain_index: IntArray) -> IntArray:
    """The bonds of every residue with a template, and to the previous residue of its chain: each
    template bond becomes a pair of (residue, atom name) keys, looked up all at once among the
    atoms' keys (the last atom of a name in a residue, as MDTraj takes it)."""
    starts = np.flatnonzero(np.r_[True, residue_index[1:] != residue_index[:-1]])
    template_of_residue = residue_names.codes[starts]
    code_of = {str(name): code for code, name in enumerate(names.values.tolist())}
    n_names = len(names.values) + 1  # code len(names.values): a name no atom has
    atom_keys = residue_index * n_names + names.codes
    order = np.argsort(atom_keys, kind="stable")
    sorted_keys = atom_keys[order]

    def atoms_of(residues: IntArray, codes: IntArray) -> IntArray:
        keys = residues * n_names + codes
        at = np.searchsorted(sorted_keys, keys, side="right") - 1
        found = sorted_keys[np.maximum(at, 0)] == keys
        return np.where(found & (at >= 0), order[np.maximum(at, 0)], -1)

    found = [np.zeros((0, 2), np.int64)]
    chain_of_residue = chain_index[starts]
    for code, template in enumerate(residue_names.values.tolist()):
        if template not in TEMPLATES:
            continue
        residues = np.flatnonzero(template_of_residue == code)
        bonds = template_bonds(template)
        firsts = np.array([code_of.get(first, n_names - 1) for first, _, _ in bonds], np.int64)
        seconds = np.array([code_of.get(second, n_names - 1) for _, second, _ in bonds], np.int64)
        previous = np.array([before for _, _, before in bonds], bool)
        # Every bond of every residue of the template: residues vary slowest.
        residue = np.repeat(residues, len(bonds))
        first_residue = residue - np.tile(previous, len(residues))
        valid = first_residue >= 0
        valid[valid] = chain_of_residue[first_residue[valid]] == chain_of_residue[residue[valid]]
        ones = atoms_of(first_residue[valid], np.tile(firsts, len(residues))[valid])
        twos = atoms_of(residue[valid], np.tile(seconds, len(residues))[valid])
        both = (ones >= 0) & (twos >= 0)
        found.append(np.column_stack((ones[both], twos[both])))
    return _unique_pairs(np.sort(np.concatenate(found), axis=1), len(names.codes))


def _unique_pairs(pairs: IntArray, n_atoms: int) -> IntArray:
    """The distinct rows of an (n, 2) array of atom indices, sorted."""
    keys = distinct(pairs[:, 0] * max(n_atoms, 1) + pairs[:, 1])
    return np.column_stack((keys // max(n_atoms, 1), keys % max(n_atoms, 1))).astype(np.int64).reshape(-1, 2)


# -- sites and labels --------------------------------------------------------------------------

def structure_labels(structure: Structure, xyz: npt.NDArray[np.generic] | None = None,
                     box: npt.NDArray[np.generic] | None = None) -> AtomLabels:
    """The labels `mdtraj_labels` gives MDTraj's topology of the same file with the frame `xyz`
    (nm) and `box`: without `xyz`, the structure's own coordinates and box. Where there is no
    chain ID, the chain is the molecule: bonds longer than a covalent bond in that frame (the
    template's bond between consecutive peptides of a .gro) are not followed."""
    if xyz is None:
        xyz, box = structure.xyz, structure.box
    bonds = structure.bonds
    if len(bonds):
        bonds = bonds[covalent_lengths(np.asarray(xyz), None if box is None else np.asarray(box), bonds)]
    return AtomLabels(
        names=structure.names, residue_names=structure.residue_names, residue_ids=structure.residue_ids,
        elements=structure.elements,
        chains=chain_labels(structure.chain_ids, molecules(structure.n_atoms, bonds) if len(bonds) else None),
    )
