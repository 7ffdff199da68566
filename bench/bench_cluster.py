"""The streaming analysis on a Dask LocalCluster of 2 worker processes against the serial run,
on a periodic water box written as .xtc and read by the package's own reader: one long file,
and the same frames as replica files.

Rows are timed back to back in rotated order (medians of --reps runs), counts only
(keep_rows=False), with the cluster started once beforehand (its start-up is reported apart).
"serial" searches on every core while a second thread reads ahead; "serial, 1 search thread"
and "tasks in turn" (every task run in this process one after the other: the same reads and
searches the workers do) are the one-core references; "reading alone" reads the tasks' frames
without searching them ("tasks in turn" shares this process with the clusters' schedulers, so
"1 worker" is the cleaner one-core reference). Dask's cost per task is timed on empty tasks.

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
from brenvox_hbond.chunk_search import SearchOptions
from brenvox_hbond.defaults import TASK_FRAMES
from brenvox_hbond.sites import SiteSelection
from brenvox_hbond.sources.base import FrameRange
from brenvox_hbond.sources.opening import file_chunks, open_source


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--molecules", type=int, default=10_000)
    parser.add_argument("--frames", type=int, default=2000)
    parser.add_argument("--replicas", type=int, default=8)
    parser.add_argument("--task-frames", type=int, default=TASK_FRAMES)
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
              f"{1e3 * megabytes / args.frames:.2f} kB a frame); medians of {args.reps} runs\n")
        started = time.perf_counter()
        with (cluster.local_cluster(2) as pair, distributed.Client(pair, set_as_default=False) as two,
              cluster.local_cluster(1) as single, distributed.Client(single, set_as_default=False) as one):
            startup = (time.perf_counter() - started) / 2
            for label, paths, task_frames in (
                (f"one file, {args.task_frames} frames a task", [xtc], args.task_frames),
                (f"{args.replicas} replica files, {per_replica} frames a task", replicas, per_replica),
            ):
                _table(label, paths, gro, task_frames, {"1 worker": one, "2 workers": two}, args.reps)
        print(f"LocalCluster: about {startup:.2f} s to start (and about as long to stop), "
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


def _table(label: str, paths: list[Path], gro: Path, task_frames: int, clients: dict, reps: int) -> None:
    common = dict(keep_rows=False, progress=False)
    source = open_source(paths, str(gro), SiteSelection(), FrameRange(), 100, "native")  # as analyze opens it
    files = source.files()
    tasks = cluster.plan_tasks(files, FrameRange(), task_frames)
    search = cluster.Search(source.sites, SearchOptions(n_threads=1, keep_rows=False), 100, {})

    def on(client):
        return lambda: brenvox_hbond.analyze(paths, gro, scheduler=client, task_frames=task_frames, **common)

    runs = {
        "serial": lambda: brenvox_hbond.analyze(paths, gro, **common),
        "serial, 1 search thread": lambda: brenvox_hbond.analyze(paths, gro, n_threads=1, **common),
        "tasks in turn": lambda: [cluster.run_task(search, files[t.file], t.frames) for t in tasks],
        "reading alone": lambda: [chunk for t in tasks for chunk in file_chunks(files[t.file], t.frames, 100)],
        **{name: on(client) for name, client in clients.items()},
    }
    for client in clients.values():
        on(client)()  # warm the workers' imports
    medians = {name: statistics.median(rep[name] for rep in rotated_repetitions(runs, reps)) for name in runs}
    print(f"{label} ({len(tasks)} tasks)")
    print(f"  {'run':<26}{'wall s':>8}{'2 workers faster by':>22}")
    for name, wall in medians.items():
        print(f"  {name:<26}{wall:8.2f}{wall / medians['2 workers']:21.2f}x")
    per_task, cost = medians["1 worker"] / len(tasks), _empty_task_seconds(clients["1 worker"])
    print(f"  Dask's cost per task (empty tasks on one worker): {1e3 * cost:.1f} ms, "
          f"{100 * cost / per_task:.2f}% of a task's {per_task:.2f} s on one worker\n")


def _empty_task_seconds(client, count: int = 200) -> float:
    started = time.perf_counter()
    for future in [client.submit(int, number, pure=False) for number in range(count)]:
        future.result()
    return (time.perf_counter() - started) / count


if __name__ == "__main__":
    main()
