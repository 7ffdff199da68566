#!/usr/bin/env bash
# Regenerates pentamer.{pdb.gz,gro.gz,xtc} and pentamer-peptides.tpr (the peptides alone): five
# copies of an eight-residue peptide (residues 21-28
# of adenylate kinase, from MDAnalysisTests' PDB_small), chains A-E with the same residue numbers,
# solvated in TIP3P with NaCl, minimised and run for 0.5 ps (6 frames). Needs GROMACS (Debian's
# gromacs) and the project's .venv (MDAnalysis, MDAnalysisTests). The files are committed; the
# tests do not run this.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
python=${PYTHON:-$here/../../.venv/bin/python}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
"$python" - <<'PY'
import warnings
import MDAnalysis as mda
from MDAnalysisTests.datafiles import PDB_small
warnings.simplefilter("ignore")
OFFSETS = [(0, 0, 0), (17, 0, 0), (0, 17, 0), (0, 0, 17), (17, 17, 17)]
peptide = mda.Universe(PDB_small).select_atoms("resid 21:28 and not name H*")
copies = []
for number, chain in enumerate("ABCDE"):
    copy = mda.Merge(peptide)
    copy.atoms.translate(OFFSETS[number])
    copy.add_TopologyAttr("chainIDs", [chain] * copy.atoms.n_atoms)
    copies.append(copy.atoms)
mda.Merge(*copies).atoms.write("chains.pdb")
PY
gmx() { command gmx -quiet "$@"; }
gmx pdb2gmx -f chains.pdb -o protein.gro -p topol.top -ff amber99sb-ildn -water tip3p -ignh -ter \
  -chainsep id <<<"$(printf '0\n0\n%.0s' 1 2 3 4 5)" >/dev/null 2>&1
gmx editconf -f protein.gro -o boxed.gro -bt dodecahedron -d 0.5 >/dev/null 2>&1
cp topol.top peptides.top
gmx solvate -cp boxed.gro -cs spc216.gro -o solvated.gro -p topol.top >/dev/null 2>&1
cat > ions.mdp <<'MDP'
integrator = steep
nsteps = 0
MDP
gmx grompp -f ions.mdp -c boxed.gro -p peptides.top -o peptides.tpr -maxwarn 1 >/dev/null 2>&1
gmx grompp -f ions.mdp -c solvated.gro -p topol.top -o ions.tpr -maxwarn 1 >/dev/null 2>&1
echo SOL | gmx genion -s ions.tpr -o ionised.gro -p topol.top -pname NA -nname CL -neutral -conc 0.15 \
  >/dev/null 2>&1
cat > em.mdp <<'MDP'
integrator = steep
nsteps = 300
cutoff-scheme = Verlet
coulombtype = PME
MDP
gmx grompp -f em.mdp -c ionised.gro -p topol.top -o em.tpr >/dev/null 2>&1
gmx mdrun -s em.tpr -deffnm em -nt 2 >/dev/null 2>&1
cat > md.mdp <<'MDP'
integrator = md
dt = 0.001
nsteps = 500
nstxout-compressed = 100
cutoff-scheme = Verlet
coulombtype = PME
constraints = h-bonds
tcoupl = v-rescale
tc-grps = System
tau-t = 0.1
ref-t = 300
gen-vel = yes
gen-temp = 300
gen-seed = 7
MDP
gmx grompp -f md.mdp -c em.gro -p topol.top -o md.tpr >/dev/null 2>&1
gmx mdrun -s md.tpr -deffnm md -nt 2 >/dev/null 2>&1
echo System | gmx trjconv -s md.tpr -f md.xtc -o first.pdb -dump 0 >/dev/null 2>&1

cp md.xtc "$here/pentamer.xtc"
cp peptides.tpr "$here/pentamer-peptides.tpr"
gzip -9 -n -c em.gro > "$here/pentamer.gro.gz"
gzip -9 -n -c first.pdb > "$here/pentamer.pdb.gz"
