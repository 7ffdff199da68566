"""Water boxes from `waterbox.py` written as files that other hydrogen-bond tools read.

`write_water_trajectory` writes `water.xtc` and the topology `water.gro` (residue SOL, atoms
OW, HW1, HW2). MDTraj renames SOL to HOH on reading and so adds the two O–H bonds of each
molecule; MDAnalysis selects them as `water` and can guess the O–H bonds from the atom names
and distances, along with a few H–H bonds between molecules (87 on 5 000 molecules), which
this box packs closer than liquid water does. `write_gromacs_inputs` adds what `gmx hbond` needs: a run input file
(`water.tpr`) built by `gmx grompp` with the SPC water model of the OPLS-AA force field
shipped with GROMACS. `gmx hbond` needs no index file: group 0 of the groups it makes from
the run input file, System, is every atom.

    .venv/bin/python bench/water_trajectory.py DIRECTORY [--molecules N] [--frames F] [--gromacs]
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from waterbox import box_edge_nm, water_box

TRAJECTORY_NAME = "water.xtc"
TOPOLOGY_NAME = "water.gro"
TPR_NAME = "water.tpr"
ATOM_NAMES = ("OW", "HW1", "HW2")
RESIDUE_NAME = "SOL"


def _water_topology(n_molecules: int):
    import mdtraj as md

    topology = md.Topology()
    chain = topology.add_chain()
    oxygen, hydrogen = md.element.oxygen, md.element.hydrogen
    for number in range(1, n_molecules + 1):
        residue = topology.add_residue(RESIDUE_NAME, chain, resSeq=number)
        o = topology.add_atom(ATOM_NAMES[0], oxygen, residue)
        for name in ATOM_NAMES[1:]:
            topology.add_bond(o, topology.add_atom(name, hydrogen, residue))
    return topology


def write_water_trajectory(
    directory, n_molecules: int, n_frames: int, seed: int = 2026, *, dt_ps: float = 1.0
) -> tuple[Path, Path]:
    """Writes `water.xtc` and `water.gro` for `water_box(n_molecules, n_frames, seed)` into
    `directory` (created if missing) and returns (xtc path, gro path).

    Coordinates are wrapped into the cubic box atom by atom, so molecules may be split across
    its faces, as in a trajectory written without making molecules whole. Frame k is at time
    k * dt_ps. The .gro holds frame 0. Both files round coordinates to 0.001 nm.
    """
    import mdtraj as md
    from mdtraj.formats import XTCTrajectoryFile

    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    xyz, _, _ = water_box(n_molecules, n_frames, seed)
    edge = box_edge_nm(n_molecules)
    xyz = np.mod(xyz, edge).astype(np.float32)

    xtc = directory / TRAJECTORY_NAME
    box = np.broadcast_to(np.eye(3, dtype=np.float32) * edge, (n_frames, 3, 3))
    time = np.arange(n_frames, dtype=np.float32) * np.float32(dt_ps)
    with XTCTrajectoryFile(str(xtc), "w") as handle:
        handle.write(xyz, time=time, box=box)

    gro = directory / TOPOLOGY_NAME
    first = md.Trajectory(
        xyz[:1], _water_topology(n_molecules),
        unitcell_lengths=np.full((1, 3), edge), unitcell_angles=np.full((1, 3), 90.0),
    )
    first.save_gro(str(gro))
    return xtc, gro


_MDP = """\
integrator      = md
nsteps          = 0
cutoff-scheme   = Verlet
pbc             = xyz
rcoulomb        = {cutoff:.3f}
rvdw            = {cutoff:.3f}
"""

_TOP = """\
#include "oplsaa.ff/forcefield.itp"
#include "oplsaa.ff/spc.itp"

[ system ]
water box

[ molecules ]
SOL {n_molecules}
"""


def write_gromacs_inputs(directory, n_molecules: int) -> Path | None:
    """Writes `water.top`, `water.mdp` and `water.tpr` (by `gmx grompp` on `water.gro`, which
    `write_water_trajectory` must have written to `directory` first). Returns the .tpr path, or
    None when `gmx` is not on PATH.
    """
    gmx = shutil.which("gmx")
    if gmx is None:
        return None
    directory = Path(directory)
    gro = directory / TOPOLOGY_NAME
    if not gro.exists():
        raise FileNotFoundError(f"{gro} is missing: call write_water_trajectory first")
    # grompp refuses cut-offs longer than half the box; hbond never uses them.
    cutoff = min(1.0, 0.45 * box_edge_nm(n_molecules))
    (directory / "water.mdp").write_text(_MDP.format(cutoff=cutoff))
    (directory / "water.top").write_text(_TOP.format(n_molecules=n_molecules))
    tpr = directory / TPR_NAME
    subprocess.run(
        [gmx, "-quiet", "grompp", "-f", "water.mdp", "-c", TOPOLOGY_NAME, "-p", "water.top",
         "-o", TPR_NAME, "-po", "water_out.mdp", "-maxwarn", "10"],
        cwd=directory, check=True, capture_output=True, text=True,
    )
    return tpr


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory", type=Path)
    parser.add_argument("--molecules", type=int, default=5_000)
    parser.add_argument("--frames", type=int, default=100)
    parser.add_argument("--seed", type=int, default=2026)
    parser.add_argument("--dt-ps", type=float, default=1.0)
    parser.add_argument("--gromacs", action="store_true", help="also write the gmx hbond inputs")
    args = parser.parse_args()
    xtc, gro = write_water_trajectory(
        args.directory, args.molecules, args.frames, args.seed, dt_ps=args.dt_ps)
    print(xtc)
    print(gro)
    if args.gromacs:
        tpr = write_gromacs_inputs(args.directory, args.molecules)
        if tpr is None:
            print("gmx is not on PATH: no GROMACS inputs", file=sys.stderr)
            return 1
        print(tpr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
