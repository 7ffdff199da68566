"""Whole processes on GROMACS-made trajectories: the brenvox-hbond command against
`gmx hbond -nthreads 1`.

Each run is a fresh process, interpreter or program start-up, topology and every frame
included. Ours writes its counts per frame to a temporary file (`--counts`, `--quiet`); gmx
hbond runs with its defaults and `-num`, its two groups given by index on standard input
(System/System for water, Protein/Protein for the protein, where ours takes `--exclude-water`).
The runs of one repetition follow each other in an order rotated from one repetition to the
next; the table shows medians. The "1 frame" columns are the same commands stopped after the
first frame (`--stop 1`, `-e 0`): the fixed cost of each tool.

The criteria differ: ours H···A < 0.25 nm and D–H···A > 120°, gmx hbond's default D···A ≤ 0.35
nm and H–D···A ≤ 30°. The bonds per frame of both are printed for context only.

    bench/make-gmx-systems.sh                      # once: writes bench/systems
    .venv/bin/python bench/bench_gmx.py [--reps 5] [--systems DIR] [--jobs water-2020 water-101 protein]
                                        [--before OTHER/.venv/bin/python]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
from dataclasses import dataclass
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from gmx_outputs import read_xvg
from timing import rotated_repetitions


@dataclass(frozen=True)
class Job:
    xtc: str
    gro: str
    tpr: str
    gmx_group: int  # index among gmx's default groups: 0 System, 1 Protein
    exclude_water: bool


JOBS = {
    "water-2020": Job("water-2020.xtc", "water.gro", "water.tpr", 0, False),
    "water-101": Job("water-101.xtc", "water.gro", "water.tpr", 0, False),
    "protein": Job("protein.xtc", "protein.gro", "protein.tpr", 1, True),
}


def our_command(job: Job, systems: Path, counts: Path, *, threads: int | None, one_frame: bool,
                python: str = sys.executable) -> list[str]:
    cli = Path(python).with_name("brenvox-hbond")
    command = [str(cli)] if cli.exists() else [python, "-m", "brenvox_hbond"]
    command += [str(systems / job.xtc), "--top", str(systems / job.gro), "--counts", str(counts), "--quiet"]
    if job.exclude_water:
        command.append("--exclude-water")
    if threads is not None:
        command += ["--threads", str(threads)]
    if one_frame:
        command += ["--stop", "1"]
    return command


def gmx_command(gmx: str, job: Job, systems: Path, *, one_frame: bool) -> list[str]:
    command = [gmx, "-quiet", "hbond", "-f", str(systems / job.xtc), "-s", str(systems / job.tpr),
               "-num", "hbnum.xvg", "-nthreads", "1"]
    if one_frame:
        command += ["-e", "0"]
    return command


def run(command: list[str], *, cwd: Path, stdin: str = "") -> None:
    done = subprocess.run(command, cwd=cwd, input=stdin, capture_output=True, text=True)
    if done.returncode != 0:
        raise SystemExit(f"{' '.join(command)} failed ({done.returncode}):\n{done.stderr[-2000:]}")


def our_counts(path: Path) -> np.ndarray:
    return np.loadtxt(path, delimiter=",", skiprows=1, ndmin=2)[:, 2]


def gmx_counts(path: Path) -> np.ndarray:
    return read_xvg(path)[:, 1]


def time_job(
    job: Job, systems: Path, gmx: str, *, reps: int, threads: int | None, before: str | None
) -> tuple[dict[str, float], np.ndarray, np.ndarray]:
    """Median seconds of the four runs (and the earlier build's whole run), and the bonds per
    frame of ours and of gmx hbond."""
    stdin = f"{job.gmx_group}\n{job.gmx_group}\n"
    with tempfile.TemporaryDirectory() as scratch:
        # One folder for the whole runs, one for the 1-frame runs: gmx writes hbnum.xvg where it runs.
        full, first = Path(scratch, "full"), Path(scratch, "first")
        full.mkdir()
        first.mkdir()
        commands = {
            "ours": (our_command(job, systems, full / "counts.csv", threads=threads, one_frame=False), full, ""),
            "gmx": (gmx_command(gmx, job, systems, one_frame=False), full, stdin),
            "ours 1": (our_command(job, systems, first / "counts.csv", threads=threads, one_frame=True), first, ""),
            "gmx 1": (gmx_command(gmx, job, systems, one_frame=True), first, stdin),
        }
        if before is not None:
            earlier = Path(scratch, "before")
            earlier.mkdir()
            commands["before"] = (our_command(job, systems, earlier / "counts.csv", threads=threads, one_frame=False,
                                              python=before), earlier, "")
        runs = {key: (lambda c=command, d=cwd, i=text: run(c, cwd=d, stdin=i))
                for key, (command, cwd, text) in commands.items()}
        repetitions = rotated_repetitions(runs, reps)
        ours, theirs = our_counts(full / "counts.csv"), gmx_counts(full / "hbnum.xvg")
    return {key: statistics.median(rep[key] for rep in repetitions) for key in runs}, ours, theirs


def atoms_in(gro: Path) -> int:
    with gro.open() as lines:
        next(lines)
        return int(next(lines))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--systems", type=Path, default=Path(__file__).resolve().parent / "systems",
                        help="folder written by make-gmx-systems.sh (default bench/systems)")
    parser.add_argument("--jobs", nargs="+", choices=list(JOBS), default=list(JOBS))
    parser.add_argument("--threads", type=int, help="search threads for ours (default: its own, every core)")
    parser.add_argument("--before", metavar="PYTHON",
                        help="the Python of another install (an earlier commit's venv) whose command is timed "
                             "in the same runs, for a before/after table")
    args = parser.parse_args()

    gmx = shutil.which("gmx")
    if gmx is None:
        print("gmx is not on PATH: nothing to compare against. Install GROMACS to run this benchmark.")
        return
    systems = args.systems.resolve()
    missing = [name for job in args.jobs for name in (JOBS[job].xtc, JOBS[job].gro, JOBS[job].tpr)
               if not (systems / name).is_file()]
    if missing:
        raise SystemExit(f"missing in {systems}: {', '.join(sorted(set(missing)))}; "
                         "make them with bench/make-gmx-systems.sh")

    print(f"medians of {args.reps} runs, whole processes; load average at start "
          f"{' '.join(f'{x:.2f}' for x in os.getloadavg())} on {os.cpu_count()} cores\n")
    earlier = f"{'before s':>8} {'gmx/before':>10} " if args.before else ""
    header = (f"{'job':12} {'atoms':>6} {'frames':>6} {earlier}{'ours s':>8} {'gmx hbond s':>11} {'gmx/ours':>8} "
              f"{'ours 1 frame s':>14} {'gmx 1 frame s':>13} {'ours bonds/frame':>16} {'gmx bonds/frame':>15}")
    print(header)
    for name in args.jobs:
        job = JOBS[name]
        med, ours, theirs = time_job(job, systems, gmx, reps=args.reps, threads=args.threads, before=args.before)
        if len(ours) != len(theirs):
            raise SystemExit(f"{name}: ours read {len(ours)} frames, gmx hbond {len(theirs)}")
        earlier = f"{med['before']:8.2f} {med['gmx'] / med['before']:10.2f} " if args.before else ""
        print(f"{name:12} {atoms_in(systems / job.gro):6d} {len(ours):6d} {earlier}"
              f"{med['ours']:8.2f} {med['gmx']:11.2f} {med['gmx'] / med['ours']:8.2f} "
              f"{med['ours 1']:14.2f} {med['gmx 1']:13.2f} "
              f"{ours.mean():16.1f} {theirs.mean():15.1f}", flush=True)
    print(f"\nload average at end {' '.join(f'{x:.2f}' for x in os.getloadavg())}")


if __name__ == "__main__":
    main()
