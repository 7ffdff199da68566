"""Threaded search against the serial one on a synthetic water box.

Times `run_baker_hubbard` and `run_baker_hubbard_with_threads` with 1 and 2 workers on the same
trajectory, interleaved so that a noisy stretch of the shared machine hits all alike, and the
fixed cost of one threaded call on an empty trajectory. Prints medians and the ratios that
matter: speed-up of 2 workers over the serial search, overhead of 1 worker over it.

    .venv/bin/python bench/bench_threads.py [--molecules N] [--frames F] [--reps R]
        [--baseline PATH]

With --baseline, the same calls of another build of the module (the path of its extension
file, for example one installed from an older commit with `pip install --target DIR`) join the
rotation, so that before and after are measured in one run.
"""

from __future__ import annotations

import argparse
import statistics
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import load_baseline, rotated_repetitions, seconds
from waterbox import water_box

import brenvox_hbond_rs as hbond


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--molecules", type=int, default=10_000)
    parser.add_argument("--frames", type=int, default=40)
    parser.add_argument("--reps", type=int, default=9)
    parser.add_argument("--baseline", type=Path, help="extension file of another build to compare")
    args = parser.parse_args()

    xyz, pairs, acceptors = water_box(args.molecules, args.frames, seed=7)
    n_frames, n_atoms, _ = xyz.shape
    flat = xyz.reshape(-1)
    common = (flat, n_frames, n_atoms, pairs, acceptors)
    runs = {
        "run_baker_hubbard": lambda: hbond.run_baker_hubbard(*common),
        "with_threads(n_threads=1)": lambda: hbond.run_baker_hubbard_with_threads(*common, 1),
        "with_threads(n_threads=2)": lambda: hbond.run_baker_hubbard_with_threads(*common, 2),
    }
    if args.baseline:
        base = load_baseline(args.baseline)
        runs |= {
            "baseline run_baker_hubbard": lambda: base.run_baker_hubbard(*common),
            "baseline with_threads(1)": lambda: base.run_baker_hubbard_with_threads(*common, 1),
            "baseline with_threads(2)": lambda: base.run_baker_hubbard_with_threads(*common, 2),
        }
    reference = runs["run_baker_hubbard"]()
    for name, run in runs.items():
        if not np.array_equal(run(), reference):
            print(f"{name} disagrees with run_baker_hubbard", file=sys.stderr)
            return 1

    times: dict[str, list[float]] = {name: [] for name in runs}
    ratios: dict[str, list[float]] = {name: [] for name in runs}
    for this_rep in rotated_repetitions(runs, args.reps):
        for name, t in this_rep.items():
            times[name].append(t)
            ratios[name].append(this_rep["run_baker_hubbard"] / t)

    empty = np.empty(0)
    empty_cost = {}
    for n_threads in (1, 2, 16):
        samples = [seconds(lambda n=n_threads: hbond.run_baker_hubbard_with_threads(empty, 0, 0, [], [], n))
                   for _ in range(500)]
        empty_cost[n_threads] = statistics.median(samples)

    print(f"water box: {n_atoms} atoms, {len(pairs)} pairs, {len(acceptors)} acceptors, "
          f"{n_frames} frames, {len(reference)} bonds; medians of {args.reps} interleaved runs\n")
    print(f"{'call':<28} {'ms':>9} {'ms/frame':>9} {'speed vs run_baker_hubbard':>27}")
    for name in runs:
        ms = statistics.median(times[name]) * 1e3
        print(f"{name:<28} {ms:>9.1f} {ms / n_frames:>9.2f} {statistics.median(ratios[name]):>26.2f}x")
    print(f"\n{'empty trajectory, n_threads':<28} {'ms per call':>12}")
    for n_threads, cost in empty_cost.items():
        print(f"{n_threads:<28} {cost * 1e3:>12.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
