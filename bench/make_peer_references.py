"""Hydrogen bonds per frame as the other tools find them, run here on small systems and stored
in tests/data/peers/SYSTEM.npz, so that tests can hold our criteria presets to them without
running those tools.

Systems (atom indices are 0-based positions in the system's .gro, as ours):

- pentamer: tests/data/pentamer.{xtc,gro.gz} (five peptides in TIP3P with NaCl, dodecahedron
  box, 6 frames). Its committed run input file holds the peptides alone, so a whole-system
  .tpr is made here: pdb2gmx (AMBER99SB-ILDN, TIP3P, charged termini) on the .gro's peptide
  atoms, which keep their hydrogens, plus its water and ion counts; the names are checked
  against the .gro atom for atom.
- water-cubic: SPC water in a 2.5 nm cube; water-triclinic: SPC water in a triclinic box of
  edges 2.5 nm and angles 80°, 75°, 85°. Both minimised and run for 20 frames 0.1 ps apart
  by bench/gmx_water.py; the frames are committed as tests/data/peers/SYSTEM.{gro.gz,xtc}
  and kept unless --remake-water is given (MD differs from machine to machine).

Arrays in each .npz. A tool's bonds are stored as TOOL_bonds, the distinct (donor, hydrogen,
acceptor) triplets it found, sorted, and TOOL_present, their presence in each frame packed
with np.packbits(axis=1); `rows(npz, TOOL)` unpacks them into (frame, donor, hydrogen,
acceptor) rows, sorted. Counts per frame are int64.

- gmx_counts, gmx_pairs: `gmx hbond -num` with every default (D–A <= 0.35 nm, H–D–A <= 30°,
  N acceptors, merged), groups System/System: the "Hydrogen bonds" and "Pairs within
  0.35 nm" columns. gmx takes every atom whose name starts with O or N as an acceptor, the
  Na+ of the pentamer (atom name NA) included.
- gmx: the bonds of `-nomerge -hbn -hbm` (the same counts): a donor–acceptor pair in a frame
  is listed once, under the first of the donor's hydrogens in topology order that meets the
  angle.
- mda, mda_counts: MDAnalysis HydrogenBondAnalysis with its default cut-offs (1.0 Å < D–A
  <= 3.0 Å, D–H–A > 150°, D–H pairs within 1.2 Å re-selected in every frame), donors and
  acceptors `MDA_HEAVY`, hydrogens `MDA_HYDROGENS`; counts from count_by_time().
- wn, wn_nowater: mdtraj.wernet_nilsson(traj, exclude_water=False, periodic=True) and with
  exclude_water=True (its default), topology from the .gro. MDTraj's own code tests
  D–A < 0.33 nm - 0.000044 nm × δ² (δ the H–D–A angle in degrees; its angle test compares
  radians with 45 and so never fails), and reads the ions NA and CL as nitrogen and carbon.
- n_frames, and versions (gmx_version, mdanalysis_version, mdtraj_version) as strings.

Made with GROMACS 2022.5 (Debian's gromacs 2022.5-2), MDAnalysis 2.11.0 and MDTraj 1.11.2:

    .venv/bin/python bench/make_peer_references.py [--systems pentamer ...] [--remake-water]
"""

from __future__ import annotations

import argparse
import gzip
import os
import shutil
import subprocess
import sys
import tempfile
import warnings
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from gmx_outputs import read_bond_index, read_existence_map, read_xvg
from gmx_water import make_water_box

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
PEERS = DATA / "peers"
IONS = ("NA", "CL", "SOD", "CLA", "K", "POT")
MDA_HEAVY = "(name N* or name O*) and not resname " + " ".join(IONS)
MDA_HYDROGENS = "name H*"
WATER_BOXES = {"water-cubic": (90.0, 90.0, 90.0), "water-triclinic": (80.0, 75.0, 85.0)}
WATER_TOP = """\
#include "oplsaa.ff/forcefield.itp"
#include "oplsaa.ff/spc.itp"

[ system ]
SPC water

[ molecules ]
SOL {n}
"""
RUN_MDP = "integrator = md\nnsteps = 0\ncutoff-scheme = Verlet\n"


def gmx(work: Path, *args: str, stdin: str | None = None) -> str:
    done = subprocess.run(["gmx", "-quiet", *args], cwd=work, input=stdin, capture_output=True, text=True,
                          env={**os.environ, "OMP_NUM_THREADS": "1"})
    if done.returncode:
        sys.stderr.write(done.stdout[-3000:] + done.stderr[-3000:])
        raise RuntimeError(f"gmx {args[0]} failed in {work}")
    return done.stdout + done.stderr


def gro_names(path: Path) -> list[tuple[str, str]]:
    lines = path.read_text().splitlines()
    return [(line[5:10].strip(), line[10:15].strip()) for line in lines[2 : 2 + int(lines[1])]]


def unpack(gro_gz: Path, work: Path, name: str) -> Path:
    gro = work / name
    with gzip.open(gro_gz) as packed, open(gro, "wb") as unpacked:
        shutil.copyfileobj(packed, unpacked)
    return gro


# -- inputs -------------------------------------------------------------------------------------

def pentamer_inputs(work: Path) -> tuple[Path, Path, Path]:
    import MDAnalysis as mda

    gro = unpack(DATA / "pentamer.gro.gz", work, "pentamer.gro")
    xtc = work / "pentamer.xtc"
    shutil.copyfile(DATA / "pentamer.xtc", xtc)
    universe = mda.Universe(str(gro))
    peptides = universe.select_atoms("not resname SOL " + " ".join(IONS))
    # Eight residues a chain, as make-pentamer.sh built them.
    universe.add_TopologyAttr("chainIDs")
    peptides.chainIDs = ["ABCDE"[index // 8] for index in peptides.resindices]
    peptides.write(str(work / "peptides.pdb"))
    gmx(work, "pdb2gmx", "-f", "peptides.pdb", "-o", "peptides.gro", "-p", "topol.top", "-ff", "amber99sb-ildn",
        "-water", "tip3p", "-ter", "-chainsep", "id", stdin="0\n0\n" * 5)
    counts = [(name, len(universe.select_atoms(f"resname {name}").residues)) for name in ("SOL", "NA", "CL")]
    with open(work / "topol.top", "a") as top:
        top.writelines(f"{name} {count}\n" for name, count in counts if count)
    (work / "run.mdp").write_text(RUN_MDP + "coulombtype = PME\n")
    gmx(work, "grompp", "-f", "run.mdp", "-c", gro.name, "-p", "topol.top", "-o", "whole.tpr", "-maxwarn", "2")
    gmx(work, "editconf", "-f", "whole.tpr", "-o", "from-tpr.gro")
    if gro_names(work / "from-tpr.gro") != gro_names(gro):
        raise RuntimeError("the whole-system .tpr does not match pentamer.gro atom for atom")
    return gro, xtc, work / "whole.tpr"


def water_inputs(name: str, work: Path, remake: bool) -> tuple[Path, Path, Path]:
    kept_gro, kept_xtc = PEERS / f"{name}.gro.gz", PEERS / f"{name}.xtc"
    if remake or not (kept_gro.exists() and kept_xtc.exists()):
        box = make_water_box(work / "md", edges=(2.5, 2.5, 2.5), angles=WATER_BOXES[name], n_frames=20,
                             frame_ps=0.1)
        with open(box.gro, "rb") as plain, gzip.GzipFile(kept_gro, "wb", mtime=0) as packed:
            shutil.copyfileobj(plain, packed)
        shutil.copyfile(box.xtc, kept_xtc)
    gro = unpack(kept_gro, work, f"{name}.gro")
    xtc = work / f"{name}.xtc"
    shutil.copyfile(kept_xtc, xtc)
    (work / "water.top").write_text(WATER_TOP.format(n=len(gro_names(gro)) // 3))
    # Cut-offs play no part in gmx hbond; short ones let grompp accept the small box.
    (work / "run.mdp").write_text(RUN_MDP + "rcoulomb = 0.9\nrvdw = 0.9\n")
    gmx(work, "grompp", "-f", "run.mdp", "-c", gro.name, "-p", "water.top", "-o", "whole.tpr", "-maxwarn", "2")
    return gro, xtc, work / "whole.tpr"


# -- the tools ----------------------------------------------------------------------------------

def gromacs(gro: Path, xtc: Path, tpr: Path, work: Path) -> dict[str, np.ndarray]:
    gmx(work, "hbond", "-f", xtc.name, "-s", tpr.name, "-num", "num.xvg", stdin="0\n0\n")
    num = read_xvg(work / "num.xvg")
    gmx(work, "hbond", "-f", xtc.name, "-s", tpr.name, "-num", "num-nomerge.xvg", "-hbn", "hbonds.ndx",
        "-hbm", "hbonds.xpm", "-nomerge", stdin="0\n0\n")
    if not np.array_equal(read_xvg(work / "num-nomerge.xvg"), num):
        raise RuntimeError("gmx hbond -nomerge counts other bonds than with its defaults")
    bonds, grid = read_bond_index(work / "hbonds.ndx"), read_existence_map(work / "hbonds.xpm")
    bond, frame = np.nonzero(grid)
    rows = np.column_stack([frame, bonds[bond]])
    counts = num[:, 1].astype(np.int64)
    if not np.array_equal(np.bincount(frame, minlength=len(counts)), counts):
        raise RuntimeError("the -hbm map of gmx hbond does not add up to its counts")
    return {"gmx_counts": counts, "gmx_pairs": num[:, 2].astype(np.int64), "gmx_rows": rows}


def mdanalysis(gro: Path, xtc: Path) -> dict[str, np.ndarray]:
    import MDAnalysis as mda
    from MDAnalysis.analysis.hydrogenbonds import HydrogenBondAnalysis

    universe = mda.Universe(str(gro), str(xtc))
    analysis = HydrogenBondAnalysis(universe, donors_sel=MDA_HEAVY, hydrogens_sel=MDA_HYDROGENS,
                                    acceptors_sel=MDA_HEAVY).run()
    found = analysis.results.hbonds
    rows = found[:, :4].astype(np.int64)
    return {"mda_rows": rows, "mda_counts": analysis.count_by_time().astype(np.int64)}


def mdtraj(gro: Path, xtc: Path) -> dict[str, np.ndarray]:
    import mdtraj as md

    result: dict[str, list[np.ndarray]] = {"wn_rows": [], "wn_nowater_rows": []}
    # A frame at a time: wernet_nilsson measures every donor–hydrogen–acceptor triplet.
    for index, frame in enumerate(md.iterload(str(xtc), top=str(gro), chunk=1)):
        for key, exclude in (("wn_rows", False), ("wn_nowater_rows", True)):
            (triplets,) = md.wernet_nilsson(frame, exclude_water=exclude, periodic=True)
            result[key].append(np.column_stack([np.full(len(triplets), index), triplets]).astype(np.int64))
    return {key: np.concatenate(parts) for key, parts in result.items()}


def versions() -> dict[str, np.ndarray]:
    import MDAnalysis
    import mdtraj

    text = subprocess.run(["gmx", "--version"], capture_output=True, text=True).stdout
    gmx_version = next(line.split(":", 1)[1].strip() for line in text.splitlines()
                       if line.startswith("GROMACS version"))
    return {"gmx_version": np.array(gmx_version), "mdanalysis_version": np.array(MDAnalysis.__version__),
            "mdtraj_version": np.array(mdtraj.__version__)}


def packed(rows: np.ndarray, n_frames: int) -> tuple[np.ndarray, np.ndarray]:
    """(frame, donor, hydrogen, acceptor) rows as distinct triplets and their packed presence."""
    triplets, which = np.unique(rows.reshape(-1, 4)[:, 1:], axis=0, return_inverse=True)
    present = np.zeros((len(triplets), n_frames), dtype=bool)
    present[which.ravel(), rows[:, 0]] = True
    return triplets.astype(np.int32), np.packbits(present, axis=1)


def rows(npz, tool: str) -> np.ndarray:
    """(frame, donor, hydrogen, acceptor) rows of `tool` in a loaded .npz, sorted."""
    present = np.unpackbits(npz[f"{tool}_present"], axis=1, count=int(npz["n_frames"])).astype(bool)
    frame, bond = np.nonzero(present.T)
    return np.column_stack([frame, npz[f"{tool}_bonds"][bond]]).astype(np.int64)


def reference(name: str, work: Path, remake_water: bool) -> dict[str, np.ndarray]:
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the readers' notes on attributes these files lack
        if name == "pentamer":
            gro, xtc, tpr = pentamer_inputs(work)
        else:
            gro, xtc, tpr = water_inputs(name, work, remake_water)
        arrays = {**gromacs(gro, xtc, tpr, work), **mdanalysis(gro, xtc), **mdtraj(gro, xtc)}
    n_frames = len(arrays["gmx_counts"])
    for key in [key for key in arrays if key.endswith("_rows")]:
        tool = key.removesuffix("_rows")
        arrays[f"{tool}_bonds"], arrays[f"{tool}_present"] = packed(arrays.pop(key), n_frames)
    arrays["n_frames"] = np.array(n_frames)
    return arrays | versions()


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--systems", nargs="+", choices=["pentamer", *WATER_BOXES], default=["pentamer", *WATER_BOXES])
    parser.add_argument("--remake-water", action="store_true", help="simulate the water boxes again")
    args = parser.parse_args()
    if shutil.which("gmx") is None:
        print("gmx is not on PATH", file=sys.stderr)
        return 1
    PEERS.mkdir(parents=True, exist_ok=True)
    for name in args.systems:
        with tempfile.TemporaryDirectory() as scratch:
            arrays = reference(name, Path(scratch), args.remake_water)
        np.savez_compressed(PEERS / f"{name}.npz", **arrays)
        n = int(arrays["n_frames"])
        print(f"{name}: {n} frames")
        for key in ("gmx_counts", "gmx_pairs", "mda_counts"):
            print(f"  {key:17} {' '.join(str(v) for v in arrays[key])}")
        for tool in ("gmx", "mda", "wn", "wn_nowater"):
            counts = np.unpackbits(arrays[f"{tool}_present"], axis=1, count=n).sum(axis=0)
            print(f"  {tool + ' rows':17} {' '.join(str(v) for v in counts)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
