"""Standard residues: their PDB atom names, the other names force fields give those atoms, and
their bonds, so that a .gro or .pdb is bonded and named as MDTraj bonds and names it.

Each template is written as tokens: ``A-B`` bonds atoms A and B, ``<A-B`` bonds atom A of the
previous residue of the chain to B, and ``A=H1,H2`` bonds A to each listed hydrogen.
"""

from __future__ import annotations

import re

# Amino-acid backbone; GLY and the caps write their own.
_BACKBONE = "<C-N N-CA CA-C C-O C-OXT N=H,H2,H3 CA=HA OXT=HXT"
_AROMATIC_RING = "CG-CD1 CG-CD2 CD1-CE1 CD2-CE2 CE1-CZ CE2-CZ CD1=HD1 CD2=HD2 CE1=HE1 CE2=HE2"

_SIDE_CHAINS = {
    "ALA": "CA-CB CB=HB1,HB2,HB3",
    "ARG": "CA-CB CB-CG CG-CD CD-NE NE-CZ CZ-NH1 CZ-NH2 CB=HB2,HB3 CG=HG2,HG3 CD=HD2,HD3 NE=HE "
           "NH1=HH11,HH12 NH2=HH21,HH22",
    "ASN": "CA-CB CB-CG CG-OD1 CG-ND2 CB=HB2,HB3 ND2=HD21,HD22",
    "ASP": "CA-CB CB-CG CG-OD1 CG-OD2 CB=HB2,HB3 OD2=HD2",
    "CYS": "CA-CB CB-SG CB=HB2,HB3 SG=HG",
    "GLN": "CA-CB CB-CG CG-CD CD-OE1 CD-NE2 CB=HB2,HB3 CG=HG2,HG3 NE2=HE21,HE22",
    "GLU": "CA-CB CB-CG CG-CD CD-OE1 CD-OE2 CB=HB2,HB3 CG=HG2,HG3 OE2=HE2",
    "HIS": "CA-CB CB-CG CG-ND1 CG-CD2 ND1-CE1 CD2-NE2 CE1-NE2 CB=HB2,HB3 ND1=HD1 CD2=HD2 CE1=HE1 NE2=HE2",
    "ILE": "CA-CB CB-CG1 CB-CG2 CG1-CD1 CB=HB CG1=HG12,HG13 CG2=HG21,HG22,HG23 CD1=HD11,HD12,HD13",
    "LEU": "CA-CB CB-CG CG-CD1 CG-CD2 CB=HB2,HB3 CG=HG CD1=HD11,HD12,HD13 CD2=HD21,HD22,HD23",
    "LYS": "CA-CB CB-CG CG-CD CD-CE CE-NZ CB=HB2,HB3 CG=HG2,HG3 CD=HD2,HD3 CE=HE2,HE3 NZ=HZ1,HZ2,HZ3",
    "MET": "CA-CB CB-CG CG-SD SD-CE CB=HB2,HB3 CG=HG2,HG3 CE=HE1,HE2,HE3",
    "PHE": f"CA-CB CB-CG {_AROMATIC_RING} CB=HB2,HB3 CZ=HZ",
    "SER": "CA-CB CB-OG CB=HB2,HB3 OG=HG",
    "THR": "CA-CB CB-OG1 CB-CG2 CB=HB OG1=HG1 CG2=HG21,HG22,HG23",
    "TRP": "CA-CB CB-CG CG-CD1 CG-CD2 CD1-NE1 NE1-CE2 CD2-CE2 CD2-CE3 CE2-CZ2 CE3-CZ3 CZ2-CH2 CZ3-CH2 "
           "CB=HB2,HB3 CD1=HD1 NE1=HE1 CE3=HE3 CZ2=HZ2 CZ3=HZ3 CH2=HH2",
    "TYR": f"CA-CB CB-CG {_AROMATIC_RING} CZ-OH CB=HB2,HB3 OH=HH",
    "VAL": "CA-CB CB-CG1 CB-CG2 CB=HB CG1=HG11,HG12,HG13 CG2=HG21,HG22,HG23",
    "ORN": "CA-CB CB-CG CG-CD CD-NE CB=HB2,HB3 CG=HG2,HG3 CD=HD2,HD3 NE=HE1,HE2",
    "UNK": "CA-CB CB-CG CB=HB1,HB2 CG=HG1,HG2,HG3",
}

TEMPLATES = {name: f"{_BACKBONE} {side}".strip() for name, side in _SIDE_CHAINS.items()} | {
    "GLY": _BACKBONE.replace("CA=HA", "CA=HA2,HA3"),
    "PRO": _BACKBONE.replace("N=H,H2,H3", "N=H,H3") + " CA-CB CB-CG CG-CD CD-N CB=HB2,HB3 CG=HG2,HG3 CD=HD2,HD3",
    "AIB": _BACKBONE.replace(" CA=HA", "").replace("HXT", "HO2")
           + " CA-CB1 CA-CB2 CB1=HB11,HB12,HB13 CB2=HB21,HB22,HB23",
    "PCA": _BACKBONE.replace("N=H,H2,H3", "N=H,H3") + " CA-CB CB-CG CG-CD CD-N CD-OE CB=HB2,HB3 CG=HG2,HG3",
    "ACE": "C-O C-CH3 C=H CH3=H1,H2,H3",
    "NME": "<C-N N-C N=H,HN2 C=H1,H2,H3",
    "NH2": "<C-N N=HN1,HN2",
    "HOH": "O=H1,H2",
}

# Other names of residues with a template.
RESIDUE_ALIASES = {"CYX": "CYS", "NMA": "NME", "H20": "HOH", "WAT": "HOH", "SOL": "HOH", "TIP3": "HOH"} | {
    name: "HIS" for name in ("HSP", "HSH", "HIP", "HIH", "HID", "HIE", "HSD", "HSE")}

PROTEIN_RESIDUES = frozenset(set(TEMPLATES) - {"HOH", "NH2"}) | {
    # Common modified amino acids, without templates of their own.
    "MSE", "SME", "SEP", "TPO", "PTR", "HYP", "CSO", "CME", "KCX", "LLP", "MLY", "CSD", "CGU", "HIP", "CYM",
    "GLH", "LYN", "HSD", "HSE"}
WATER_RESIDUES = frozenset({"HOH", "H2O", "HHO", "OHH", "OH2", "SOL", "WAT", "TIP", "TIP2", "TIP3", "TIP4"})
BACKBONE_NAMES = frozenset({"N", "CA", "C", "O", "HA", "H"})

_PROTEIN_ALIASES = {"H": ("HN", "H1", "1H", "HN1", "HT1"), "H2": ("2H", "HN2", "HT2"), "H3": ("3H", "HN3", "HT3"),
                    "O": ("O1", "OT1", "OCT1", "OC1"), "OXT": ("O2", "OT2", "OCT2", "OC2", "OT")}
# Names that do not follow from the general rules (see `_atom_aliases`).
_EXTRA_ALIASES: dict[str, dict[str, tuple[str, ...]]] = {
    "HOH": {"O": ("OW", "OH2", "O1"), "H1": ("HW1",), "H2": ("HW2",)},
    "ILE": {"CD1": ("CD",), "HD11": ("HD1",), "HD12": ("HD2",), "HD13": ("HD3",)},
    "SER": {"OG": ("OG1",), "HG": ("HG1", "HOG")},
    "THR": {"OG1": ("OG",), "CG2": ("CG",), "HG1": ("HOG", "HOG1", "1HG")},
    "CYS": {"SG": ("SG1",), "HG": ("HG1", "HSG")},
    "PRO": {"H2": ("HT1",), "H3": ("HT2",)},
    "TYR": {"HH": ("HOH",)},
    "TRP": {"HE1": ("HNE",)},
    "HIS": {"HD1": ("HND", "HND1"), "HD2": ("HD",), "HE1": ("HE",), "HE2": ("HNE", "HNE2")},
    "ASN": {"OD1": ("OD",), "ND2": ("ND",), "HD21": ("HND1",), "HD22": ("HND2",)},
    "GLN": {"OE1": ("OE",), "NE2": ("NE",), "HE21": ("HNE1",), "HE22": ("HNE2",)},
    "LYS": {"HZ1": ("HNZ1",), "HZ2": ("HNZ2",), "HZ3": ("HNZ3",)},
    "ARG": {"HH11": ("HN11",), "HH12": ("HN12",), "HH21": ("HN21",), "HH22": ("HN22",)},
    "ORN": {"HE1": ("HNE1",), "HE2": ("HNE2",), "HE3": ("HNE3", "3HE")},
    "ACE": {"C": ("CY",), "CH3": ("CAY", "CA"), "O": ("OY",), "H1": ("1H", "HY1", "HH31", "1HH3"),
            "H2": ("2H", "HY2", "HH32", "2HH3"), "H3": ("3H", "HY3", "HH33", "3HH3")},
    "NME": {"N": ("NT",), "C": ("CH3", "CT", "CAT", "CA"), "H": ("HNT", "HN"),
            "H1": ("1H", "1HA", "HT1", "HH31", "1HH3"), "H2": ("2H", "2HA", "HT2", "HH32", "2HH3"),
            "H3": ("3H", "3HA", "HT3", "HH33", "3HH3")},
    "NH2": {"N": ("NT",), "HN1": ("1H", "HT1", "H1"), "HN2": ("2H", "HT2", "H2")},
}
_BOND_TOKEN = re.compile(r"(<?)([^-=\s]+)-(\S+)")


def template_bonds(name: str) -> list[tuple[str, str, bool]]:
    """The bonds of a template: (atom, atom, whether the first is in the previous residue)."""
    bonds: list[tuple[str, str, bool]] = []
    for token in TEMPLATES[name].split():
        if "=" in token:
            heavy, hydrogens = token.split("=")
            bonds.extend((heavy, hydrogen, False) for hydrogen in hydrogens.split(","))
        else:
            found = _BOND_TOKEN.fullmatch(token)
            assert found is not None, token
            bonds.append((found[2], found[3], bool(found[1])))
    return bonds


def _atom_aliases(name: str) -> dict[str, str]:
    """Other name -> template name for the atoms of one residue: the names of the protein
    backbone's atoms in other force fields; for the hydrogens numbered on one atom, the old PDB
    form (``1HB`` for HB1) and, for methylene pairs numbered 2 and 3, the numbering 1 and 2
    (HB1, HB2 for HB3, HB2); and the residue's own other names. A name that others are renamed
    to stays itself; other template names may be renamed (NME's HN2 becomes H2, as in MDTraj)."""
    aliases: dict[str, str] = {}
    if name != "HOH":
        aliases |= {other: atom for atom, others in _PROTEIN_ALIASES.items() for other in others}
    held: dict[str, list[str]] = {}
    for token in TEMPLATES[name].split():
        if "=" in token:
            heavy, listed = token.split("=")
            held.setdefault(heavy, []).extend(listed.split(","))
    for heavy, hydrogens in held.items():
        numbered = [atom for atom in hydrogens if atom[-1].isdigit() and len(atom) > 2]
        if heavy == "N" or len(numbered) < 2 or name == "UNK":
            continue
        for atom in numbered:
            aliases[atom[-1] + atom[:-1]] = atom
        stem = numbered[0][:-1]
        if sorted(numbered) == [stem + "2", stem + "3"]:
            aliases[stem + "1"] = aliases["1" + stem] = stem + "3"
    aliases |= {atom: atom for atom in aliases.values()}
    for atom, others in _EXTRA_ALIASES.get(name, {}).items():
        aliases |= dict.fromkeys(others, atom) | {atom: atom}
    return aliases


ATOM_ALIASES = {name: _atom_aliases(name) for name in TEMPLATES}
