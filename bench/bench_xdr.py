"""Decoding .xtc (and .trr) frames: brenvox_hbond._native's reader on 1 and 2 threads against
MDTraj's, on a periodic water box of about 16 000 atoms written by MDTraj.

Runs are timed back to back in rotated order; the table gives medians of --reps runs, in ms per
frame, and each median's speed against MDTraj's read of the same file. The native reader's rows
include finding the frames (index_xdr); "index_xdr alone" and the package's Python index
(sources/xdr_frames.py) are the cost of that part. Before timing, every reader's frames are
checked to be the same, bit for bit.

    .venv/bin/python bench/bench_xdr.py [--molecules 5400] [--frames 200] [--reps 9] [--no-trr]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import rotated_repetitions
from water_trajectory import write_water_trajectory

from brenvox_hbond import _native
from brenvox_hbond.sources.xdr_frames import index_frames


def native_read(path: Path, n_threads: int):
    offsets, n_atoms, _ = _native.index_xdr(path)
    return _native.read_xdr(path, offsets, np.arange(len(offsets)), n_atoms, n_threads)


def check_same(path: Path, mdtraj_read) -> None:
    expected = mdtraj_read()
    for n_threads in (1, 2):
        xyz, box, time, step, failure = native_read(path, n_threads)
        assert failure is None
        assert xyz.tobytes() == expected[0].tobytes() and time.tobytes() == expected[1].tobytes()
        assert np.array_equal(step, expected[2]) and box.tobytes() == expected[3].tobytes()


def table_rows(path: Path, mdtraj_read, n_frames: int, reps: int) -> list[tuple[str, float, float]]:
    runs = {
        "MDTraj": mdtraj_read,
        "native, 1 thread": lambda: native_read(path, 1),
        "native, 2 threads": lambda: native_read(path, 2),
        "index_xdr alone": lambda: _native.index_xdr(path),
        "Python index alone": lambda: index_frames(path),
    }
    repetitions = rotated_repetitions(runs, reps)
    medians = {name: statistics.median(rep[name] for rep in repetitions) for name in runs}
    return [(name, 1e3 * seconds / n_frames, medians["MDTraj"] / seconds) for name, seconds in medians.items()]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--molecules", type=int, default=5400)
    parser.add_argument("--frames", type=int, default=200)
    parser.add_argument("--reps", type=int, default=9)
    parser.add_argument("--no-trr", action="store_true", help="time the .xtc file only")
    args = parser.parse_args()

    import mdtraj as md

    with tempfile.TemporaryDirectory() as work:
        xtc, _ = write_water_trajectory(work, args.molecules, args.frames)
        files = {"xtc": (xtc, lambda: md.formats.XTCTrajectoryFile(str(xtc)).read())}
        if not args.no_trr:
            trr = Path(work) / "water.trr"
            xyz, time, step, box = md.formats.XTCTrajectoryFile(str(xtc)).read()
            with md.formats.TRRTrajectoryFile(str(trr), "w") as handle:
                handle.write(xyz, time=time, step=step, box=box)
            files["trr"] = (trr, lambda: md.formats.TRRTrajectoryFile(str(trr)).read()[:4])

        n_atoms = 3 * args.molecules
        print(f"Water box: {n_atoms} atoms, {args.frames} frames; medians of {args.reps} runs\n")
        print(f"{'file':<5} {'reader':<20} {'ms/frame':>9} {'speed vs MDTraj':>16}")
        for kind, (path, mdtraj_read) in files.items():
            check_same(path, mdtraj_read)
            for name, per_frame, speed in table_rows(path, mdtraj_read, args.frames, args.reps):
                print(f"{kind:<5} {name:<20} {per_frame:>9.3f} {speed:>15.2f}x")
            print(f"      ({path.stat().st_size / args.frames / 1e3:.1f} kB a frame)")


if __name__ == "__main__":
    main()
