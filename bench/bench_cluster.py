"""The streaming analysis on a Dask LocalCluster of 2 worker processes against the serial run,
on a periodic water box written as .xtc: one long file, and the same frames as replica files.

Rows are timed back to back in rotated order (medians of --reps runs), counts only
(keep_rows=False), with the cluster started once beforehand (its start-up is reported apart).
"serial" searches on every core while a second thread reads ahead; "serial, 1 search thread"
and "tasks in turn" (every task run in this process one after the other: the same reads and
searches the workers do) are the one-core references. Overhead per task is the wall time both
workers spend on anything but their tasks, per task, from Dask's task stream.

    .venv/bin/python bench/bench_cluster.py [--molecules 10000] [--frames 2000] [--replicas 8] [--reps 3]
"""

from __future__ import annotations

import argparse
import statistics
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import rotated_repetitions
from water_trajectory import write_water_trajectory

import brenvox_hbond
from brenvox_hbond import cluster
from brenvox_hbond.readers import FrameRange, mdtraj_topology


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--molecules", type=int, default=10_000)
    parser.add_argument("--frames", type=int, default=2000)
    parser.add_argument("--replicas", type=int, default=8)
    parser.add_argument("--task-frames", type=int, default=cluster.TASK_FRAMES)
    parser.add_argument("--reps", type=int, default=3)
    args = parser.parse_args()

    import distributed
    import mdtraj as md

    with tempfile.TemporaryDirectory() as work:
        xtc, gro = write_water_trajectory(work, args.molecules, args.frames)
        replicas = _split(md, xtc, gro, Path(work), args.replicas)
        per_replica = args.frames // args.replicas
        megabytes = xtc.stat().st_size / 1e6
        print(f"{3 * args.molecules} atoms, {args.frames} frames ({megabytes:.0f} MB of .xtc, "
              f"{1e3 * megabytes / args.frames:.2f} MB a frame); medians of {args.reps} runs\n")
        started = time.perf_counter()
        with (cluster.local_cluster(2) as local, distributed.Client(local, set_as_default=False) as client):
            startup = time.perf_counter() - started
            for label, paths, task_frames in (
                (f"one file, {args.task_frames} frames a task", [xtc], args.task_frames),
                (f"{args.replicas} replica files, {per_replica} frames a task", replicas, per_replica),
            ):
                _table(label, paths, gro, task_frames, client, args.reps)
        print(f"\nLocalCluster of 2 workers: {startup:.2f} s to start (and about as long to stop), "
              "paid once per run by --workers, not by --scheduler")


def _split(md, xtc: Path, gro: Path, folder: Path, count: int) -> list[Path]:
    trajectory = md.load(str(xtc), top=str(gro))
    size = trajectory.n_frames // count
    paths = []
    for number in range(count):
        path = folder / f"replica{number}.xtc"
        trajectory[number * size:(number + 1) * size].save(str(path))
        paths.append(path)
    return paths


def _table(label: str, paths: list[Path], gro: Path, task_frames: int, client, reps: int) -> None:
    common = dict(keep_rows=False, progress=False)
    topology = mdtraj_topology(str(gro), None)
    files = cluster.mdtraj_files(paths, topology, FrameRange())
    tasks = cluster.plan_tasks(files, FrameRange(), task_frames)
    search = cluster.Search(brenvox_hbond.mdtraj_sites(topology), 0.25, 120.0, True, False, False, 100, 1, {})
    streams: list[list[dict]] = []

    client.get_task_stream()  # the first call makes the scheduler record tasks

    def on_cluster():
        begin = time.time()
        result = brenvox_hbond.analyze(paths, gro, scheduler=client, task_frames=task_frames, **common)
        streams.append([t for t in client.get_task_stream(start=begin) if t["key"].startswith("hbonds-")])
        return result

    runs = {
        "serial": lambda: brenvox_hbond.analyze(paths, gro, **common),
        "serial, 1 search thread": lambda: brenvox_hbond.analyze(paths, gro, n_threads=1, **common),
        "tasks in turn": lambda: [cluster.run_task(search, files[t.file], t.frames) for t in tasks],
        "2 workers": on_cluster,
    }
    runs["2 workers"]()  # warm the workers' imports
    streams.clear()
    medians = {name: statistics.median(rep[name] for rep in rotated_repetitions(runs, reps)) for name in runs}
    overheads = []
    for stream, wall in zip(streams, [seconds_of(stream) for stream in streams]):
        busy = sum(span["stop"] - span["start"] for task in stream for span in task["startstops"]
                   if span["action"] == "compute")
        overheads.append(((2 * wall - busy) / len(tasks), busy / len(tasks)))
    overhead, per_task = (statistics.median(values) for values in zip(*overheads))
    print(f"{label} ({len(tasks)} tasks)")
    print(f"  {'run':<26}{'wall s':>8}{'2 workers faster by':>22}")
    for name, wall in medians.items():
        print(f"  {name:<26}{wall:8.2f}{wall / medians['2 workers']:21.2f}x")
    print(f"  overhead per task: {1e3 * overhead:.0f} ms, {100 * overhead / per_task:.1f}% of a task's "
          f"{per_task:.2f} s (idle tails included)")


def seconds_of(stream: list[dict]) -> float:
    """Wall time from the first task's start to the last one's end."""
    spans = [span for task in stream for span in task["startstops"]]
    return max(span["stop"] for span in spans) - min(span["start"] for span in spans)


if __name__ == "__main__":
    main()
