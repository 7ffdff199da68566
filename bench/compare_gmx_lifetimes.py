"""Intermittent hydrogen-bond autocorrelation against `gmx hbond -ac`.

Water dimers far apart in a large box: in each frame a dimer is either clearly bonded (a
hydrogen pointing straight at the other oxygen, H–A 0.18 nm) or clearly not (H–A 0.7 nm), so
both tools must see the same bonds; the script checks that with the counts per frame. Each
dimer follows its own on/off sequence. Prints the autocorrelation of both and exits with 1 when
they differ by more than the precision of gmx's output.

With --water, a real run instead: SPC water in a triclinic box (edges 3 nm, angles 80°, 75°,
85°) simulated by bench/gmx_water.py, `gmx hbond -ac -hbm -hbn` with its defaults, and ours
computed from gmx's own existence map. They differ in two ways, shown in the last columns:

- gmx follows each bond over n_frames - 1 frames from the first frame in which its donor and
  acceptor lie within the distance cut-off, bonded or not, so it drops the last frame of every
  bond whose atoms are that close in frame 0; ours, which sees only the bonds, drops it for
  the bonds present in frame 0. "gmx's frames" applies gmx's rule (distances from MDTraj).
- gmx sums in single precision: "and float32" also adds each bond's function in float32, in
  gmx's order. It exits with 1 unless that last column is within gmx's output precision.

    .venv/bin/python bench/compare_gmx_lifetimes.py [--water [--frames N]]
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from gmx_outputs import read_bond_index, read_existence_map, read_xvg
from water_trajectory import (
    TOPOLOGY_NAME,
    TPR_NAME,
    TRAJECTORY_NAME,
    _water_topology,
    write_gromacs_inputs,
)

TOLERANCE = 1e-5  # gmx writes 6 significant digits from single precision
WATER_TOLERANCE = 2e-6
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


def gmx_frames_acf(presence: np.ndarray, near_at_start: np.ndarray, n_lags: int) -> tuple[np.ndarray, np.ndarray]:
    """gmx's Ac(t) from its existence map, in float64 and with gmx's float32 sum."""
    n_frames = presence.shape[1]
    window = n_frames - 1
    kept = presence.astype(np.float64)
    kept[near_at_start | presence[:, 0], -1] = 0.0
    size = 1 << (2 * n_frames).bit_length()
    spectrum = np.fft.rfft(kept, size, axis=1)
    products = np.rint(np.fft.irfft(spectrum.real**2 + spectrum.imag**2, size, axis=1)[:, :n_lags])
    per_bond = products.astype(np.float32) / (np.float32(window) - np.arange(n_lags, dtype=np.float32))
    total = products.sum(axis=0) / (window - np.arange(n_lags))
    summed = np.cumsum(per_bond, axis=0, dtype=np.float32)[-1]  # one bond after the other, as gmx
    return total / total[0], (summed * (np.float32(1) / summed[0])).astype(np.float64)


def compare_water(n_frames: int) -> int:
    import mdtraj as md
    from gmx_water import make_water_box

    from brenvox_hbond.lifetimes import intermittent_autocorrelation

    with tempfile.TemporaryDirectory() as name:
        directory = Path(name)
        box = make_water_box(directory, edges=(3.0, 3.0, 3.0), angles=(80.0, 75.0, 85.0), n_frames=n_frames,
                             frame_ps=0.02)
        subprocess.run(
            ["gmx", "-quiet", "hbond", "-f", box.xtc.name, "-s", box.tpr.name, "-num", "num.xvg", "-ac", "ac.xvg",
             "-hbm", "map.xpm", "-hbn", "bonds.ndx"],
            input="0\n0\n", cwd=directory, check=True, capture_output=True, text=True,
        )
        acf = read_xvg(directory / "ac.xvg")
        presence = read_existence_map(directory / "map.xpm")
        pairs = read_bond_index(directory / "bonds.ndx")[:, [0, 2]]
        start = md.load_frame(str(box.xtc), 0, top=str(box.gro))
        near_at_start = md.compute_distances(start, pairs, periodic=True)[0] <= 0.35

    gmx = acf[:, 2]
    bond, frame = np.nonzero(presence)
    ours = intermittent_autocorrelation(frame, bond, n_frames, tau_max=len(gmx) - 1)[1]
    rule, rule32 = gmx_frames_acf(presence, near_at_start, len(gmx))
    columns = {"ours": ours - gmx, "gmx's frames": rule - gmx, "and float32": rule32 - gmx}
    print(f"{len(presence)} bonds in {n_frames} frames, {len(gmx)} lags from gmx hbond -ac; "
          f"{int(near_at_start.sum())} bonds have donor and acceptor within 0.35 nm in frame 0, "
          f"{int(presence[:, 0].sum())} are present there")
    print(f"{'tau (ps)':>8} | {'gmx':>9} | " + " | ".join(f"{name:>12}" for name in columns))
    for tau in sorted({0, 1, 2, 5, 10, 20, 50, 100, len(gmx) // 2, len(gmx) - 1} & set(range(len(gmx)))):
        print(f"{acf[tau, 0]:8g} | {gmx[tau]:9.6f} | "
              + " | ".join(f"{values[tau]:12.1e}" for values in columns.values()))
    print("largest |difference from gmx|: "
          + ", ".join(f"{name} {np.abs(values).max():.1e}" for name, values in columns.items()))
    return 0 if np.abs(columns["and float32"]).max() <= WATER_TOLERANCE else 1


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--water", action="store_true", help="a real triclinic water run instead of the dimers")
    parser.add_argument("--frames", type=int, default=101, help="frames of the water run, 0.02 ps apart")
    args = parser.parse_args()
    if shutil.which("gmx") is None:
        print("gmx is not on PATH: nothing to compare")
        return 0
    if args.water:
        return compare_water(args.frames)
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
        counts, acf = read_xvg(directory / "num.xvg"), read_xvg(directory / "ac.xvg")
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
