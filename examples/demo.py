"""Finds the hydrogen bonds of a sample water trajectory with each of the module's searches, then
with brenvox_hbond.find_hbonds on float32 coordinates in the periodic box, and finally runs the
brenvox-hbond command line on the same kind of box written as a GROMACS .xtc with a .gro
topology, writing its counts and plot to demo-output/."""

from __future__ import annotations

import os
import subprocess
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "bench"))
from water_trajectory import write_water_trajectory
from waterbox import box_edge_nm, water_box

import brenvox_hbond
import brenvox_hbond_rs as hbond

N_MOLECULES = 3000
N_FRAMES = 10
N_THREADS = os.cpu_count() or 2
OUTPUT = Path(__file__).resolve().parents[1] / "demo-output"
FILE_MOLECULES = 1000
FILE_FRAMES = 200


def timed(search, *args):
    start = time.perf_counter()
    bonds = search(*args)
    return bonds, time.perf_counter() - start


def main() -> None:
    xyz, pairs, acceptors = water_box(N_MOLECULES, N_FRAMES, seed=2026)
    n_frames, n_atoms, _ = xyz.shape
    flat = xyz.reshape(-1)
    print(
        f"Sample trajectory: {n_frames} frames of {n_atoms} atoms "
        f"({N_MOLECULES} water molecules at liquid density), "
        f"{len(pairs)} donor-hydrogen pairs, {len(acceptors)} acceptors\n"
    )
    args = (flat, n_frames, n_atoms, pairs, acceptors)
    uses_grid = len(pairs) * len(acceptors) >= 100_000
    runs = [
        ("run_baker_hubbard_brute", "exhaustive", *timed(hbond.run_baker_hubbard_brute, *args)),
        ("run_baker_hubbard", "grid" if uses_grid else "exhaustive",
         *timed(hbond.run_baker_hubbard, *args)),
        (f"run_baker_hubbard_with_threads(n_threads={N_THREADS})", "grid" if uses_grid else "exhaustive",
         *timed(hbond.run_baker_hubbard_with_threads, *args, N_THREADS)),
    ]
    reference = runs[0][2]
    reference_sorted = np.sort(reference.view("u4,u4,u4,u4"), axis=0)

    header = f"{'function':<45} {'search':<10} {'bonds':>7} {'per frame':>9} {'ms':>9}  same bonds as brute"
    print(header)
    print("-" * len(header))
    for name, search, bonds, seconds in runs:
        same = np.array_equal(np.sort(bonds.view("u4,u4,u4,u4"), axis=0), reference_sorted)
        print(
            f"{name:<45} {search:<10} {len(bonds):>7} {len(bonds) / n_frames:>9.1f} "
            f"{seconds * 1e3:>9.2f}  {'yes' if same else 'NO'}"
        )
    print(
        "\nEach row of a result is (frame, donor, hydrogen, acceptor); the first bonds found:"
    )
    print(runs[1][2][:5])
    if not all(
        np.array_equal(np.sort(b.view("u4,u4,u4,u4"), axis=0), reference_sorted) for *_, b, _ in runs
    ):
        sys.exit("the searches disagree")
    show_periodic(xyz, pairs, acceptors, reference_sorted)
    show_command_line()


def show_periodic(xyz, pairs, acceptors, reference_sorted) -> None:
    """The same trajectory as an MD reader gives it: float32, arrays, and its periodic box."""
    n_frames = xyz.shape[0]
    edge = box_edge_nm(N_MOLECULES)
    xyz32 = xyz.astype(np.float32)
    pair_array, acceptor_array = np.array(pairs), np.array(acceptors)
    print(f"\nbrenvox_hbond.find_hbonds, cubic box of edge {edge:.3f} nm:")
    runs = [
        ("find_hbonds(xyz)", *timed(brenvox_hbond.find_hbonds, xyz, pair_array, acceptor_array)),
        ("find_hbonds(xyz as float32)", *timed(brenvox_hbond.find_hbonds, xyz32, pair_array, acceptor_array)),
        ("find_hbonds(xyz as float32, box=...)",
         *timed(lambda: brenvox_hbond.find_hbonds(xyz32, pair_array, acceptor_array, box=[edge] * 3))),
    ]
    for name, bonds, seconds in runs:
        print(f"{name:<45} {'':<10} {len(bonds):>7} {len(bonds) / n_frames:>9.1f} {seconds * 1e3:>9.2f}")
    same = np.array_equal(np.sort(runs[0][1].view("u4,u4,u4,u4"), axis=0), reference_sorted)
    across = len(runs[2][1]) - len(runs[1][1])
    print(f"\nfind_hbonds(xyz) finds the same bonds as run_baker_hubbard_brute: {'yes' if same else 'NO'}; "
          f"the periodic box adds {across} bonds across its faces ({across / n_frames:.1f} per frame).")
    if not same:
        sys.exit("find_hbonds disagrees with run_baker_hubbard_brute")


def show_command_line() -> None:
    """From files to answers: the command line on an .xtc trajectory and its .gro topology."""
    xtc, gro = write_water_trajectory(OUTPUT, FILE_MOLECULES, FILE_FRAMES)
    command = [
        "brenvox-hbond", str(xtc.relative_to(OUTPUT.parent)), "--top", str(gro.relative_to(OUTPUT.parent)),
        "--counts", "demo-output/counts.csv", "--out", "demo-output/hbonds.parquet",
        "--plot", "demo-output/hbonds.png", "--list", "5",
    ]
    print(f"\nA {FILE_FRAMES}-frame trajectory of {FILE_MOLECULES} water molecules written as "
          f"{xtc.relative_to(OUTPUT.parent)} (topology {gro.relative_to(OUTPUT.parent)}); the command line:")
    print("$ " + " ".join(command), flush=True)
    executable = Path(sys.executable).with_name("brenvox-hbond")
    subprocess.run([str(executable), *command[1:]], check=True, cwd=OUTPUT.parent)


if __name__ == "__main__":
    main()
