"""find_hbonds on a periodic water box: non-periodic and periodic, float64 and float32, against
run_baker_hubbard on the same frames.

All runs of one repetition are timed back to back, in an order rotated from one repetition to
the next, and every ratio is taken within a repetition, so a noisy stretch of the shared
machine hits both sides of a ratio alike. Prints medians. Also times the fixed cost of one
call with array inputs (no frames, so no search).

    .venv/bin/python bench/bench_find_hbonds.py [--molecules N] [--frames F] [--reps R]
"""

from __future__ import annotations

import argparse
import statistics
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import rotated_repetitions, seconds
from waterbox import box_edge_nm, water_box

import brenvox_hbond
import brenvox_hbond_rs


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--molecules", type=int, default=10_000)
    parser.add_argument("--frames", type=int, default=20)
    parser.add_argument("--reps", type=int, default=9)
    args = parser.parse_args()

    xyz, pair_list, acceptor_list = water_box(args.molecules, args.frames, seed=7)
    n_frames, n_atoms, _ = xyz.shape
    xyz32 = xyz.astype(np.float32)
    pairs = np.array(pair_list, dtype=np.int64)
    acceptors = np.array(acceptor_list, dtype=np.int64)
    edge = box_edge_nm(args.molecules)
    box = np.array([edge, edge, edge])
    flat = xyz.reshape(-1)

    find = brenvox_hbond.find_hbonds
    runs = {
        "run_baker_hubbard": lambda: brenvox_hbond_rs.run_baker_hubbard(
            flat, n_frames, n_atoms, pair_list, acceptor_list),
        "find_hbonds float64": lambda: find(xyz, pairs, acceptors),
        "find_hbonds float32": lambda: find(xyz32, pairs, acceptors),
        "find_hbonds float64 periodic": lambda: find(xyz, pairs, acceptors, box=box),
        "find_hbonds float32 periodic": lambda: find(xyz32, pairs, acceptors, box=box),
        "find_hbonds periodic, 2 threads": lambda: find(xyz32, pairs, acceptors, box=box, n_threads=2),
    }
    results = {name: run() for name, run in runs.items()}
    base = "find_hbonds float64"
    if not np.array_equal(results[base], results["run_baker_hubbard"]):
        # Same bonds, rows possibly in another order within a pair.
        as_set = lambda rows: sorted(map(tuple, rows.tolist()))
        if as_set(results[base]) != as_set(results["run_baker_hubbard"]):
            print("find_hbonds disagrees with run_baker_hubbard", file=sys.stderr)
            return 1
    if not np.array_equal(results["find_hbonds float32 periodic"], results["find_hbonds periodic, 2 threads"]):
        print("threaded periodic search disagrees with the serial one", file=sys.stderr)
        return 1

    times: dict[str, list[float]] = {name: [] for name in runs}
    ratios: dict[str, list[float]] = {name: [] for name in runs}
    for this_rep in rotated_repetitions(runs, args.reps):
        for name, t in this_rep.items():
            times[name].append(t)
            ratios[name].append(t / this_rep[base])

    no_frames = np.empty((0, n_atoms, 3))
    fixed = statistics.median(seconds(lambda: find(no_frames, pairs, acceptors)) for _ in range(2000))
    fixed_box = statistics.median(
        seconds(lambda: find(no_frames, pairs, acceptors, box=box)) for _ in range(2000))

    bonds = {name: len(rows) / n_frames for name, rows in results.items()}
    print(f"water box: {n_atoms} atoms, {len(pairs)} pairs, {len(acceptors)} acceptors, edge {edge:.3f} nm, "
          f"{n_frames} frames; medians of {args.reps} rotated runs\n")
    print(f"{'call':<32} {'bonds/frame':>11} {'ms/frame':>9} {'time / find_hbonds float64':>27}")
    for name in runs:
        ms = statistics.median(times[name]) * 1e3 / n_frames
        print(f"{name:<32} {bonds[name]:>11.1f} {ms:>9.3f} {statistics.median(ratios[name]):>26.2f}x")
    print(f"\nfixed cost of one call ({len(pairs)} pairs, {len(acceptors)} acceptors, no frames): "
          f"{fixed * 1e3:.4f} ms; with a box: {fixed_box * 1e3:.4f} ms")
    return 0


if __name__ == "__main__":
    sys.exit(main())
