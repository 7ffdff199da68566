#!/usr/bin/env bash
# Makes the systems bench_gmx.py times, with GROMACS (Debian's gromacs 2022), into DIR
# (default bench/systems, ignored by git):
#   water.{gro,tpr}, water-101.xtc, water-2020.xtc   SPC water in a 5.5 nm box: minimised, 20 ps
#       NVT at 300 K saved every 0.2 ps (101 frames), and those frames written 20 times over
#       with times running on (2 020 frames)
#   protein.{gro,tpr}, protein.xtc   adenylate kinase (MDAnalysisTests' PDB_small), AMBER99SB-ILDN
#       in TIP3P in a 6.7 nm cubic box, neutralised, minimised, 10 ps NVT saved every 0.2 ps
#       (51 frames)
# Needs the project's .venv (MDAnalysisTests) for the protein. About 8 minutes on 2 busy cores.
# A system whose files are all in DIR already is kept: delete them to make it again.
#
#   bench/make-gmx-systems.sh [DIR]
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
python=${PYTHON:-$here/../.venv/bin/python}
out=${1:-$here/systems}
mkdir -p "$out"
out=$(cd "$out" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Each step's output goes to a log, shown only when the step fails.
gmx() {
  if ! command gmx -quiet "$@" >gmx.log 2>&1; then
    tail -n 30 gmx.log >&2
    echo "gmx $1 failed" >&2
    exit 1
  fi
}
step() { printf '%-44s' "$1"; SECONDS=0; }
done_step() { echo "${SECONDS} s"; }

cat > em.mdp <<'MDP'
integrator = steep
nsteps = 500
emtol = 500
cutoff-scheme = Verlet
coulombtype = PME
MDP
# $1 steps of 2 fs, a frame every 0.2 ps.
md_mdp() {
  cat <<MDP
integrator = md
dt = 0.002
nsteps = $1
nstxout-compressed = 100
nstlog = 1000
nstenergy = 1000
cutoff-scheme = Verlet
coulombtype = PME
constraints = h-bonds
tcoupl = v-rescale
tc-grps = System
tau-t = 0.1
ref-t = 300
gen-vel = yes
gen-temp = 300
gen-seed = 11
MDP
}

have() { for name in "$@"; do [[ -s $out/$name ]] || return 1; done; }

# --- SPC water ---------------------------------------------------------------------------------
if have water.gro water.tpr water-101.xtc water-2020.xtc; then
  echo "water: kept from $out"
else
mkdir water && cd water
cat > topol.top <<'TOP'
#include "oplsaa.ff/forcefield.itp"
#include "oplsaa.ff/spc.itp"

[ system ]
SPC water

[ molecules ]
TOP
step "water: solvate 5.5 nm box"
gmx solvate -cs spc216.gro -box 5.5 5.5 5.5 -o solvated.gro -p topol.top
done_step
step "water: minimise"
gmx grompp -f ../em.mdp -c solvated.gro -p topol.top -o em.tpr
gmx mdrun -s em.tpr -deffnm em -nt 2
done_step
step "water: 20 ps NVT (101 frames)"
md_mdp 10000 > md.mdp
gmx grompp -f md.mdp -c em.gro -p topol.top -o md.tpr
gmx mdrun -s md.tpr -deffnm md -nt 2
done_step
step "water: 20 copies into one file"
copies=()
for k in $(seq 0 19); do
  # Copy k starts 20.2 ps after copy k-1, so times keep a 0.2 ps step throughout.
  gmx trjconv -f md.xtc -o "copy$k.xtc" -t0 "$(awk "BEGIN { print $k * 20.2 }")"
  copies+=("copy$k.xtc")
done
gmx trjcat -f "${copies[@]}" -o long.xtc -cat
done_step
cp md.gro "$out/water.gro"
cp md.tpr "$out/water.tpr"
cp md.xtc "$out/water-101.xtc"
cp long.xtc "$out/water-2020.xtc"
cd ..
fi

# --- Adenylate kinase in TIP3P -----------------------------------------------------------------
if have protein.gro protein.tpr protein.xtc; then
  echo "protein: kept from $out"
else
mkdir protein && cd protein
"$python" - <<'PY'
import warnings
import MDAnalysis as mda
from MDAnalysisTests.datafiles import PDB_small
warnings.simplefilter("ignore")
protein = mda.Universe(PDB_small).select_atoms("protein and not name H*")
# CHARMM names its histidines by protonation; pdb2gmx picks one itself from plain HIS.
for residue in protein.residues:
    if residue.resname in {"HSD", "HSE", "HSP"}:
        residue.resname = "HIS"
protein.write("adk.pdb")
PY
step "protein: pdb2gmx, 6.7 nm box, solvate, ions"
gmx pdb2gmx -f adk.pdb -o protein.gro -p topol.top -ff amber99sb-ildn -water tip3p -ignh
gmx editconf -f protein.gro -o boxed.gro -c -box 6.7 6.7 6.7
gmx solvate -cp boxed.gro -cs spc216.gro -o solvated.gro -p topol.top
gmx grompp -f ../em.mdp -c solvated.gro -p topol.top -o ions.tpr -maxwarn 1
echo SOL > sol.txt
gmx genion -s ions.tpr -o ionised.gro -p topol.top -pname NA -nname CL -neutral < sol.txt
done_step
step "protein: minimise"
gmx grompp -f ../em.mdp -c ionised.gro -p topol.top -o em.tpr
gmx mdrun -s em.tpr -deffnm em -nt 2
done_step
step "protein: 10 ps NVT (51 frames)"
md_mdp 5000 > md.mdp
gmx grompp -f md.mdp -c em.gro -p topol.top -o md.tpr
gmx mdrun -s md.tpr -deffnm md -nt 2
done_step
cp md.gro "$out/protein.gro"
cp md.tpr "$out/protein.tpr"
cp md.xtc "$out/protein.xtc"
cd ..
fi

for name in water protein; do
  printf '%s.gro: %s atoms\n' "$name" "$(sed -n 2p "$out/$name.gro" | tr -d ' ')"
done
ls -l "$out"
