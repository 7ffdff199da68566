"""Boxes of SPC water simulated with GROMACS (Debian's gromacs 2022), for comparisons with the
other tools: `make_water_box` fills a box of any shape (edge lengths and angles, as `gmx
editconf -bt triclinic -angles` takes them) from `spc216.gro`, minimises it and runs NVT at
300 K, and leaves `water.gro` (the minimised frame), `water.tpr` and `water.xtc` in a directory.

    .venv/bin/python bench/gmx_water.py DIRECTORY [--edges 2.5 2.5 2.5] [--angles 90 90 90]
        [--frames 20] [--frame-ps 0.1]
"""

from __future__ import annotations

import argparse
import math
import subprocess
import sys
from dataclasses import dataclass
from pathlib import Path

_TOP = """\
#include "oplsaa.ff/forcefield.itp"
#include "oplsaa.ff/spc.itp"

[ system ]
SPC water

[ molecules ]
"""

_EM = """\
integrator = steep
nsteps = 500
emtol = 500
cutoff-scheme = Verlet
coulombtype = PME
rcoulomb = {cutoff}
rvdw = {cutoff}
rlist = {cutoff}
"""

_MD = """\
integrator = md
dt = {dt}
nsteps = {steps}
nstxout-compressed = {stride}
nstlog = 0
nstenergy = 0
nstcalcenergy = 100
cutoff-scheme = Verlet
coulombtype = PME
rcoulomb = {cutoff}
rvdw = {cutoff}
rlist = {cutoff}
tcoupl = v-rescale
tc-grps = System
tau-t = 0.1
ref-t = 300
gen-vel = yes
gen-temp = 300
gen-seed = {seed}
"""

DT_PS = 0.002


@dataclass(frozen=True)
class WaterBox:
    gro: Path
    tpr: Path
    xtc: Path


def box_vectors(edges: tuple[float, float, float], angles: tuple[float, float, float]) -> list[list[float]]:
    """Rows a, b, c of the box in GROMACS' convention (a along x, b in the xy plane); `angles`
    are alpha (b, c), beta (a, c), gamma (a, b) in degrees."""
    la, lb, lc = edges
    alpha, beta, gamma = (math.radians(angle) for angle in angles)
    cx = lc * math.cos(beta)
    cy = lc * (math.cos(alpha) - math.cos(beta) * math.cos(gamma)) / math.sin(gamma)
    return [[la, 0.0, 0.0], [lb * math.cos(gamma), lb * math.sin(gamma), 0.0],
            [cx, cy, math.sqrt(lc * lc - cx * cx - cy * cy)]]


def _cross(u: list[float], v: list[float]) -> tuple[float, float, float]:
    return (u[1] * v[2] - u[2] * v[1], u[2] * v[0] - u[0] * v[2], u[0] * v[1] - u[1] * v[0])


def _gmx(directory: Path, *args: str, stdin: str | None = None) -> None:
    done = subprocess.run(["gmx", "-quiet", *args], cwd=directory, input=stdin, capture_output=True, text=True)
    if done.returncode:
        sys.stderr.write(done.stdout[-3000:] + done.stderr[-3000:])
        raise RuntimeError(f"gmx {args[0]} failed in {directory}")


def make_water_box(
    directory: Path,
    *,
    edges: tuple[float, float, float] = (2.5, 2.5, 2.5),
    angles: tuple[float, float, float] = (90.0, 90.0, 90.0),
    n_frames: int = 20,
    frame_ps: float = 0.1,
    seed: int = 7,
) -> WaterBox:
    """Builds the box in `directory` (created if missing) with one thread: n_frames frames,
    frame_ps apart, the first at the start of the run."""
    directory = Path(directory)
    directory.mkdir(parents=True, exist_ok=True)
    a, b, c = box_vectors(edges, angles)
    # An empty configuration carries the box to gmx solvate, which takes no angles itself.
    (directory / "empty.gro").write_text(
        "box\n0\n" + " ".join(f"{value:.5f}" for value in (a[0], b[1], c[2], a[1], a[2], b[0], b[2], c[0], c[1]))
        + "\n")
    _gmx(directory, "solvate", "-cp", "empty.gro", "-cs", "spc216.gro", "-o", "solvated.gro")
    n_molecules = (int((directory / "solvated.gro").read_text().splitlines()[1]) // 3)
    (directory / "topol.top").write_text(_TOP + f"SOL {n_molecules}\n")
    # The cut-offs must fit in the box: half its shortest height, less the Verlet buffer.
    volume = a[0] * b[1] * c[2]
    heights = [volume / math.dist((0, 0, 0), _cross(u, v)) for u, v in ((b, c), (c, a), (a, b))]
    cutoff = f"{min(1.0, 0.4 * min(heights)):.3f}"
    (directory / "em.mdp").write_text(_EM.format(cutoff=cutoff))
    _gmx(directory, "grompp", "-f", "em.mdp", "-c", "solvated.gro", "-p", "topol.top", "-o", "em.tpr",
         "-po", "em_out.mdp")
    _gmx(directory, "mdrun", "-s", "em.tpr", "-deffnm", "em", "-nt", "1")
    stride = max(1, round(frame_ps / DT_PS))
    (directory / "md.mdp").write_text(
        _MD.format(dt=DT_PS, steps=stride * (n_frames - 1), stride=stride, cutoff=cutoff, seed=seed))
    _gmx(directory, "grompp", "-f", "md.mdp", "-c", "em.gro", "-p", "topol.top", "-o", "water.tpr",
         "-po", "md_out.mdp")
    _gmx(directory, "mdrun", "-s", "water.tpr", "-deffnm", "md", "-nt", "1")
    (directory / "em.gro").rename(directory / "water.gro")
    (directory / "md.xtc").rename(directory / "water.xtc")
    return WaterBox(directory / "water.gro", directory / "water.tpr", directory / "water.xtc")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory", type=Path)
    parser.add_argument("--edges", type=float, nargs=3, default=(2.5, 2.5, 2.5))
    parser.add_argument("--angles", type=float, nargs=3, default=(90.0, 90.0, 90.0))
    parser.add_argument("--frames", type=int, default=20)
    parser.add_argument("--frame-ps", type=float, default=0.1)
    args = parser.parse_args()
    box = make_water_box(args.directory, edges=tuple(args.edges), angles=tuple(args.angles),
                         n_frames=args.frames, frame_ps=args.frame_ps)
    print(box.gro, box.tpr, box.xtc, sep="\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
