"""From a trajectory file to bonds per frame: brenvox_hbond against reading the file alone and
against the other tools, on a periodic water box written as .xtc with a .gro topology.

In-process rows are timed back to back in rotated order (medians of --reps runs); "x read" is
each median over that of `mdtraj.load(xtc, top=gro)`, the cost of getting the trajectory into
Python. The command-line rows are whole processes, interpreter start-up and imports included,
against a process that only loads the file with MDTraj. MDTraj's and MDAnalysis' analyses run
on --peer-frames frames and are scaled to the whole trajectory. Peak memory is the resident
peak of a process analysing the trajectory once, twice and four times over (the file given
that many times).

    .venv/bin/python bench/bench_pipeline.py [--molecules 5400] [--frames 100] [--reps 5]
"""

from __future__ import annotations

import argparse
import statistics
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import peers
from timing import rotated_repetitions
from water_trajectory import write_gromacs_inputs, write_water_trajectory

import brenvox_hbond

# VmHWM, not ru_maxrss: the latter keeps the peak of the parent that forked the process.
_PEAK_MEMORY = """
import sys, brenvox_hbond
result = brenvox_hbond.analyze(sys.argv[2:], sys.argv[1], keep_rows=False, progress=False)
peak = next(line for line in open("/proc/self/status") if line.startswith("VmHWM"))
print(result.n_frames, peak.split()[1])
"""


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--molecules", type=int, default=5400)
    parser.add_argument("--frames", type=int, default=100)
    parser.add_argument("--reps", type=int, default=5)
    parser.add_argument("--peer-frames", type=int, default=5, help="frames for MDTraj and MDAnalysis; 0 skips them")
    args = parser.parse_args()

    import mdtraj as md

    with tempfile.TemporaryDirectory() as work:
        xtc, gro = write_water_trajectory(work, args.molecules, args.frames)
        tpr = write_gromacs_inputs(work, args.molecules)
        n_atoms = 3 * args.molecules
        print(f"Water box: {n_atoms} atoms, {args.frames} frames, {xtc.stat().st_size / 1e6:.1f} MB .xtc; "
              f"medians of {args.reps} runs\n")

        results = brenvox_hbond.analyze(xtc, gro, progress=False)
        topology = md.load_topology(str(gro))
        in_process = {
            "read: mdtraj.load(xtc, top=gro)": lambda: md.load(str(xtc), top=str(gro)),
            "read: xtc frames only (no topology)": lambda: md.formats.XTCTrajectoryFile(str(xtc)).read(),
            "analyze(xtc, gro): counts per frame": lambda: brenvox_hbond.analyze(
                xtc, gro, keep_rows=False, progress=False),
            "analyze(xtc, gro): every bond kept": lambda: brenvox_hbond.analyze(xtc, gro, progress=False),
            "analyze(xtc, gro, n_threads=1)": lambda: brenvox_hbond.analyze(
                xtc, gro, keep_rows=False, progress=False, n_threads=1),
            "analyze(xtc, topology already loaded)": lambda: brenvox_hbond.analyze(
                xtc, topology, keep_rows=False, progress=False),
        }
        table = _medians(rotated_repetitions(in_process, args.reps))

        cli = str(Path(sys.executable).with_name("brenvox-hbond"))
        counts = Path(work) / "counts.csv"
        processes = {
            "process: python -c 'mdtraj.load(xtc, top=gro)'": [
                sys.executable, "-c", f"import mdtraj; mdtraj.load({str(xtc)!r}, top={str(gro)!r})"],
            "process: brenvox-hbond xtc --top gro --counts": [
                cli, str(xtc), "--top", str(gro), "--counts", str(counts), "--quiet"],
        }
        table.update(_medians(rotated_repetitions(
            {name: (lambda command=command: subprocess.run(command, check=True))
             for name, command in processes.items()},
            args.reps)))

        peer_rows: dict[str, tuple[float, object]] = {}
        if tpr is not None:
            for threads in (1, None):
                name = f"gmx hbond ({'1 thread' if threads == 1 else 'all cores'})"
                runs = [peers.gmx_hbond(xtc, tpr, n_threads=threads) for _ in range(args.reps)]
                peer_rows[name] = (statistics.median(s for s, _ in runs), runs[0][1]["mean"])  # type: ignore[index]
        if args.peer_frames:
            n = min(args.peer_frames, args.frames)
            took, summary = peers.mdtraj_baker_hubbard(xtc, gro, n_frames=n)
            peer_rows[f"mdtraj.baker_hubbard, chunked ({n} frames, scaled)"] = (took * args.frames / n, summary["mean"])
            took, summary = peers.mdanalysis_hbonds(xtc, gro, n_frames=n)
            peer_rows[f"MDAnalysis HydrogenBondAnalysis ({n} frames, scaled)"] = (
                took * args.frames / n, summary["mean"])

        memory = {copies: _peak_memory(gro, [xtc] * copies) for copies in (1, 2, 4)}

    read = table["read: mdtraj.load(xtc, top=gro)"]
    ours = table["analyze(xtc, gro): counts per frame"]
    print(f"{'run':58} {'seconds':>8} {'x read':>7} {'x analyze':>9} {'bonds/frame':>11}")
    for name, took in table.items():
        mean = f"{results.counts.mean():.1f}" if name.startswith(("analyze", "process: brenvox")) else ""
        print(f"{name:58} {took:8.3f} {took / read:7.2f} {took / ours:9.2f} {mean:>11}")
    for name, (took, mean) in peer_rows.items():
        print(f"{name:58} {took:8.3f} {took / read:7.2f} {took / ours:9.2f} {mean:>11.1f}")
    command_line = table["process: brenvox-hbond xtc --top gro --counts"]
    load_process = table["process: python -c 'mdtraj.load(xtc, top=gro)'"]
    print(f"\nCommand line over a process that only loads the file: {command_line / load_process:.2f}x")
    for frames, kilobytes in memory.values():
        print(f"Peak memory analysing {frames} frames (counts per frame): {kilobytes / 1024:.0f} MB")


def _medians(repetitions: list[dict[str, float]]) -> dict[str, float]:
    return {name: statistics.median(rep[name] for rep in repetitions) for name in repetitions[0]}


def _peak_memory(gro: Path, files: list[Path]) -> tuple[int, int]:
    done = subprocess.run([sys.executable, "-c", _PEAK_MEMORY, str(gro), *map(str, files)],
                          check=True, capture_output=True, text=True)
    frames, kilobytes = done.stdout.split()
    return int(frames), int(kilobytes)


if __name__ == "__main__":
    main()
