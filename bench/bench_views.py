"""Residue-pair tables and existence matrices of a long run: time to build and write each, and the
memory of the bit-packed existence matrix against a bool one.

The trajectory is analysed once, keeping its rows; each view is then built from them --reps
times, in rotated order, and the median printed. "peak MB" is the most memory NumPy held at once
while building (tracemalloc), beyond the rows and the result.

    bench/make-gmx-systems.sh                                       # once: writes bench/systems
    .venv/bin/python bench/bench_views.py [--xtc bench/systems/water-2020.xtc]
                                          [--top bench/systems/water.gro] [--reps 3] [--unique-rows]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
import tracemalloc
from collections.abc import Callable
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import rotated_repetitions

from brenvox_hbond import HbondResult, analyze, load_existence
from brenvox_hbond.existence import existence_matrix
from brenvox_hbond.residue_pairs import residue_pair_series, residue_pairs
from brenvox_hbond.results import triplet_keys

SYSTEMS = Path(__file__).resolve().parent / "systems"


def peak_mb(call: Callable[[], object]) -> float:
    tracemalloc.start()
    try:
        call()
        return tracemalloc.get_traced_memory()[1] / 1e6
    finally:
        tracemalloc.stop()


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--xtc", type=Path, default=SYSTEMS / "water-2020.xtc")
    parser.add_argument("--top", type=Path, default=SYSTEMS / "water.gro")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--unique-rows", action="store_true",
                        help="also time np.unique over the rows' triplets, the way distinct triplets were found "
                             "before (some 30 s on the water box)")
    args = parser.parse_args()
    if not args.xtc.is_file():
        raise SystemExit(f"{args.xtc} is missing: make it with bench/make-gmx-systems.sh")

    result = analyze(str(args.xtc), str(args.top), progress=False)
    rows = result.hbonds
    assert rows is not None and result.labels is not None
    result._triplet_keys()  # cached, as after occupancy(): the matrix is timed on its own
    matrix = existence_matrix(result)

    def without_matrix() -> HbondResult:
        result._existence = None  # the residue views build it, as from a fresh result
        return result

    folder = Path(tempfile.mkdtemp(prefix="bench-views-"))
    runs: dict[str, Callable[[], object]] = {
        "distinct triplets (one packed integer per row)": lambda: triplet_keys(rows),
        "existence matrix, bit-packed (triplets known)": lambda: existence_matrix(result),
        "existence matrix unpacked to bool (to_dense)": matrix.to_dense,
        "residue-pair table (matrix built too)": lambda: residue_pairs(without_matrix()),
        "residue-pair series, top 100 pairs (the same)": lambda: residue_pair_series(without_matrix(), top=100),
        "existence matrix saved (.npz, compressed)": lambda: matrix.save(folder / "bonds.npz"),
        "existence matrix loaded (.npz)": lambda: load_existence(folder / "bonds.npz"),
        "existence map written (.xpm)": lambda: matrix.to_xpm(folder / "bonds.xpm"),
    }
    if args.unique_rows:
        runs["distinct triplets (np.unique over rows, before)"] = lambda: np.unique(
            rows[:, 1:].astype(np.int64), axis=0, return_inverse=True)
    repetitions = rotated_repetitions(runs, args.reps)
    medians = {name: statistics.median(rep[name] for rep in repetitions) for name in runs}
    peaks = {name: peak_mb(runs[name]) for name in runs if "saved" not in name and "written" not in name}

    table = residue_pairs(result)
    print(f"{args.xtc.name}: {len(result.labels)} atoms, {result.n_frames} frames, {len(rows)} rows, "
          f"{len(matrix)} distinct bonds, {len(table)} residue pairs; medians of {args.reps} runs\n")
    print(f"{'view':50} {'s':>7} {'peak MB':>8}")
    for name, seconds in medians.items():
        peak = f"{peaks[name]:8.1f}" if name in peaks else f"{'':8}"
        print(f"{name:50} {seconds:7.3f} {peak}")
    dense = len(matrix) * matrix.n_frames
    print(f"\n{'existence matrix':50} {'MB':>7}")
    print(f"{'bit-packed (bits)':50} {matrix.bits.nbytes / 1e6:7.1f}")
    print(f"{'bool (to_dense)':50} {dense / 1e6:7.1f}")
    print(f"{'.npz file':50} {(folder / 'bonds.npz').stat().st_size / 1e6:7.1f}")
    print(f"{'.xpm file':50} {(folder / 'bonds.xpm').stat().st_size / 1e6:7.1f}")
    for path in folder.iterdir():
        path.unlink()
    folder.rmdir()


if __name__ == "__main__":
    main()
