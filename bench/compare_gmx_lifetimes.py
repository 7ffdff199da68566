"""Intermittent hydrogen-bond autocorrelation against `gmx hbond -ac`.

Water dimers far apart in a large box: in each frame a dimer is either clearly bonded (a
hydrogen pointing straight at the other oxygen, H–A 0.18 nm) or clearly not (H–A 0.7 nm), so
both tools must see the same bonds; the script checks that with the counts per frame. Each
dimer follows its own on/off sequence. Prints the autocorrelation of both and exits with 1 when
they differ by more than the precision of gmx's output.

    .venv/bin/python bench/compare_gmx_lifetimes.py
"""

from __future__ import annotations

import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from water_trajectory import (
    TOPOLOGY_NAME,
    TPR_NAME,
    TRAJECTORY_NAME,
    _water_topology,
    write_gromacs_inputs,
)

TOLERANCE = 1e-5  # gmx writes 6 significant digits from single precision
OH_NM = 0.1
HOH_RAD = np.radians(109.47)
SPACING_NM = 1.5


def presence(n_dimers: int, n_frames: int, seed: int) -> np.ndarray:
    """Always on, never on, or two-state Markov chains of random persistence."""
    rng = np.random.default_rng(seed)
    on = np.zeros((n_dimers, n_frames), dtype=bool)
    for i in range(n_dimers):
        if i % 6 < 2:
            on[i] = i % 6 == 0
            continue
        keep_on, keep_off = rng.uniform(0.3, 0.97, 2)
        state = rng.random() < 0.5
        for t in range(n_frames):
            on[i, t] = state
            state = rng.random() < (keep_on if state else 1.0 - keep_off)
    return on


def dimers(on: np.ndarray) -> tuple[np.ndarray, float]:
    """Coordinates (frames, atoms, 3) of SPC-shaped dimers: molecule 1's HW1 points along x at
    molecule 2's oxygen, whose hydrogens point away; and the box edge."""
    n_dimers, n_frames = on.shape
    per_side = int(np.ceil(n_dimers ** (1 / 3)))
    h2 = OH_NM * np.array([np.cos(HOH_RAD), np.sin(HOH_RAD), 0.0])
    half = OH_NM * np.array([np.cos(HOH_RAD / 2), np.sin(HOH_RAD / 2), 0.0])
    xyz = np.zeros((n_frames, 6 * n_dimers, 3))
    for i in range(n_dimers):
        corner = (np.array(np.unravel_index(i, (per_side,) * 3)) + 0.25) * SPACING_NM
        donor = [corner, corner + [OH_NM, 0, 0], corner + h2]
        for t in range(n_frames):
            oxygen = corner + [0.28 if on[i, t] else 0.8, 0, 0]
            xyz[t, 6 * i : 6 * i + 6] = donor + [oxygen, oxygen + half, oxygen + half * [1, -1, 1]]
    return xyz.astype(np.float32), per_side * SPACING_NM


def write_inputs(directory: Path, xyz: np.ndarray, edge: float) -> None:
    import mdtraj as md
    from mdtraj.formats import XTCTrajectoryFile

    n_frames, n_atoms, _ = xyz.shape
    box = np.broadcast_to(np.eye(3, dtype=np.float32) * edge, (n_frames, 3, 3))
    with XTCTrajectoryFile(str(directory / TRAJECTORY_NAME), "w") as handle:
        handle.write(xyz, time=np.arange(n_frames, dtype=np.float32), box=box)
    md.Trajectory(
        xyz[:1], _water_topology(n_atoms // 3),
        unitcell_lengths=np.full((1, 3), edge), unitcell_angles=np.full((1, 3), 90.0),
    ).save_gro(str(directory / TOPOLOGY_NAME))
    write_gromacs_inputs(directory, n_atoms // 3)


def xvg(path: Path) -> np.ndarray:
    return np.loadtxt([line for line in path.read_text().splitlines() if line[:1] not in "#@"], ndmin=2)


def main() -> int:
    if shutil.which("gmx") is None:
        print("gmx is not on PATH: nothing to compare")
        return 0
    from brenvox_hbond import analyze

    with tempfile.TemporaryDirectory() as name:
        directory = Path(name)
        on = presence(48, 200, seed=1)
        write_inputs(directory, *dimers(on))
        subprocess.run(
            ["gmx", "-quiet", "hbond", "-f", TRAJECTORY_NAME, "-s", TPR_NAME, "-num", "num.xvg",
             "-ac", "ac.xvg", "-noda", "-r", "0.25", "-a", "30", "-nomerge"],
            input="0\n0\n", cwd=directory, check=True, capture_output=True, text=True,
        )
        counts, acf = xvg(directory / "num.xvg"), xvg(directory / "ac.xvg")
        result = analyze(str(directory / TRAJECTORY_NAME), str(directory / TOPOLOGY_NAME))

    if not (np.array_equal(result.counts, counts[:, 1]) and np.array_equal(result.counts, on.sum(axis=0))):
        print("the bonds differ: gmx counts", counts[:, 1].sum(), "ours", result.counts.sum())
        return 1
    gmx = acf[:, 2]  # Ac(t); column 1 subtracts its tail, column 3 is the contact function
    ours = result.intermittent_lifetime(tau_max=len(gmx) - 1)[1]
    difference = ours - gmx
    print(f"{result.counts.sum()} bonds in {result.n_frames} frames, {len(gmx)} lags from gmx hbond -ac")
    print(f"{'tau (ps)':>8} | {'gmx':>9} | {'ours':>9} | {'difference':>10}")
    for tau in sorted({0, 1, 2, 3, 5, 10, 20, 50, len(gmx) - 1}):
        print(f"{acf[tau, 0]:8g} | {gmx[tau]:9.6f} | {ours[tau]:9.6f} | {difference[tau]:10.1e}")
    worst = float(np.abs(difference).max())
    print(f"largest difference over all lags: {worst:.1e} (tolerance {TOLERANCE:.0e})")
    return 0 if worst <= TOLERANCE else 1


if __name__ == "__main__":
    sys.exit(main())
