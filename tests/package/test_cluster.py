"""analyze and the command line on a real Dask LocalCluster (2 worker processes): the same result
as the serial run whatever the split, workers killed mid-run, and damaged files."""

import contextlib
import os
import signal
import socket
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

from brenvox_hbond import analyze, cli
from brenvox_hbond.cluster import SchedulerUnreachableError, TaskError, TrajectoryFile, local_cluster, plan_tasks
from brenvox_hbond.collector import Collector
from brenvox_hbond.sources.base import FrameRange

distributed = pytest.importorskip("distributed")
md = pytest.importorskip("mdtraj")

N_FRAMES = 40


@pytest.fixture(scope="module")
def client():
    with local_cluster(2) as local, distributed.Client(local, set_as_default=False) as connected:
        yield connected


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    from test_baker_hubbard import water_trajectory

    folder = tmp_path_factory.mktemp("cluster")
    traj = water_trajectory("triclinic", 120, N_FRAMES, seed=7, whole=True)
    for name, part in (("water.xtc", traj), ("first.xtc", traj[:15]), ("second.xtc", traj[15:]),
                       ("water.dcd", traj), ("water.pdb", traj[0])):
        part.save(str(folder / name))
    return folder


def assert_same(serial, clustered):
    for name in ("hbonds", "frames", "times", "counts", "distances_da", "angles"):
        expected, got = getattr(serial, name), getattr(clustered, name)
        assert (expected is None) == (got is None), name
        if expected is not None:
            np.testing.assert_array_equal(got, expected, err_msg=name)
    for expected, got in zip(serial.occupancy(), clustered.occupancy()):
        np.testing.assert_array_equal(got, expected)


SOURCES = {"one xtc": ["water.xtc"], "two xtc": ["first.xtc", "second.xtc"], "dcd": ["water.dcd"]}
RUNS = [  # task_frames, start, stop, step, keep_rows, geometry
    (500, None, None, None, True, False),
    (1, None, None, None, True, True),
    (7, 3, 33, 4, True, False),
    (4, 14, 100, 1, False, False),
    (3, 39, None, None, False, True),
]


@pytest.mark.filterwarnings("ignore:DCDReader currently makes independent timesteps:DeprecationWarning")
@pytest.mark.parametrize(("task_frames", "start", "stop", "step", "keep_rows", "geometry"), RUNS)
@pytest.mark.parametrize("backend", ["mdtraj", "mdanalysis"])
@pytest.mark.parametrize("source", SOURCES)
def test_cluster_result_equals_serial(client, files, source, backend, task_frames, start, stop, step, keep_rows,
                                      geometry):
    if backend == "mdanalysis":
        pytest.importorskip("MDAnalysis")
    paths = [str(files / name) for name in SOURCES[source]]
    options = dict(start=start, stop=stop, step=step, keep_rows=keep_rows, geometry=geometry, backend=backend,
                   chunk_size=2)
    serial = analyze(paths, files / "water.pdb", **options)
    assert serial.n_frames > 0
    assert_same(serial, analyze(paths, files / "water.pdb", scheduler=client, task_frames=task_frames, **options))


@pytest.mark.parametrize("lengths", [[40], [15, 25], [1, 1, 7, 30], [10, 0, 10]])
@pytest.mark.parametrize(("start", "stop", "step"), [(0, None, 1), (3, 33, 4), (9, 11, 1), (5, None, 7), (60, None, 1)])
@pytest.mark.parametrize("task_frames", [1, 3, 500])
def test_tasks_cover_each_analysed_frame_once_in_order(lengths, start, stop, step, task_frames):
    firsts = np.cumsum([0, *lengths])
    files = [TrajectoryFile(f"{i}.xtc", int(first), n, "mdtraj", 1)
             for i, (first, n) in enumerate(zip(firsts, lengths))]
    tasks = plan_tasks(files, FrameRange(start, stop, step), task_frames)
    ranges = [range(t.frames.start, t.frames.stop, t.frames.step) for t in tasks]
    taken = [files[t.file].first + frame for t, frames in zip(tasks, ranges) for frame in frames]
    assert taken == list(range(start, firsts[-1] if stop is None else min(stop, firsts[-1]), step))
    assert all(0 < len(frames) <= task_frames for frames in ranges)
    assert all(t.frames.stop <= files[t.file].n_frames for t in tasks)


def test_scheduler_address_and_local_cluster(client, files):
    paths, top = files / "water.xtc", files / "water.pdb"
    serial = analyze(paths, top)
    assert_same(serial, analyze(paths, top, scheduler=client.scheduler.address, task_frames=9))
    before = {child.pid for child in __import__("multiprocessing").active_children()}
    assert_same(serial, analyze(paths, top, workers=2, task_frames=11))
    assert {child.pid for child in __import__("multiprocessing").active_children()} <= before


def test_threads_of_one_worker_search_side_by_side(files):
    # The search releases the interpreter lock: two tasks of one worker process run at once.
    with (distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False, dashboard_address=None,
                                   scheduler_kwargs={"dashboard_address": "127.0.0.1:0"}) as local,
          distributed.Client(local, set_as_default=False) as threaded):
        options = dict(keep_rows=False, geometry=True)
        assert_same(analyze(files / "water.xtc", files / "water.pdb", **options),
                    analyze(files / "water.xtc", files / "water.pdb", scheduler=threaded, task_frames=3, **options))


def nothing_left_to_run(scheduler):
    # Every task computed, and the memory manager has since dropped extra copies of data.
    return not (scheduler.queued or any(ws.processing for ws in scheduler.workers.values())
                or scheduler.replicated_tasks)


@pytest.mark.slow
@pytest.mark.parametrize("killed", ["one worker", "every worker"])
@pytest.mark.parametrize("moment", ["tasks running", "parts waiting on the workers"])
def test_killed_workers_do_not_change_the_result(client, files, monkeypatch, moment, killed):
    """Workers are killed once the first part is merged: while tasks still run, or once every
    task has run and the parts wait on the workers to be gathered."""
    paths, top = [files / "first.xtc", files / "second.xtc"], files / "water.pdb"
    serial = analyze(paths, top)
    client.wait_for_workers(2, timeout=60)
    victims = [pid for _, pid in sorted(client.run(os.getpid).items())][:1 if killed == "one worker" else None]
    add_part = Collector.add_part

    def add_part_then_kill(collector, part):
        add_part(collector, part)
        if victims and moment != "tasks running":
            deadline = time.monotonic() + 30
            while not nothing_left_to_run(client.cluster.scheduler) and time.monotonic() < deadline:
                time.sleep(0.01)
        while victims:
            os.kill(victims.pop(), signal.SIGKILL)

    monkeypatch.setattr(Collector, "add_part", add_part_then_kill)
    assert_same(serial, analyze(paths, top, scheduler=client, task_frames=1))
    assert not victims


class DieWhenRunning(distributed.WorkerPlugin):
    def transition(self, key, start, finish, **kwargs):
        if finish == "executing":
            os._exit(1)


@pytest.mark.slow
def test_workers_that_keep_dying_end_the_run_with_one_error(client, files):
    client.register_plugin(DieWhenRunning(), name="die-when-running")
    try:
        with pytest.raises(TaskError, match=r"cannot analyse .*water\.xtc, frames \d+ to \d+ of that file: Killed"):
            analyze(files / "water.xtc", files / "water.pdb", scheduler=client, task_frames=10)
    finally:
        client.unregister_worker_plugin("die-when-running")
        client.wait_for_workers(2, timeout=60)


@pytest.fixture(params=["cut", "flipped"])
def damaged(request, files, tmp_path):
    """water.xtc cut inside frame 23, or with garbage in frame 23's coordinates."""
    from brenvox_hbond.sources.xdr_frames import index_frames

    path = tmp_path / "damaged.xtc"
    data = bytearray((files / "water.xtc").read_bytes())
    start, end = index_frames(files / "water.xtc").offsets[23:25]
    if request.param == "cut":
        del data[start + 100:]
    else:
        data[start + 120:end] = b"\xff" * (end - start - 120)
    path.write_bytes(bytes(data))
    return path


@pytest.mark.parametrize("backend", ["mdtraj", "mdanalysis"])
def test_a_damaged_file_gives_its_intact_frames(request, client, files, damaged, backend):
    if backend == "mdanalysis" and request.node.callspec.params["damaged"] == "flipped":
        pytest.skip("MDAnalysis' decoder takes a floating-point trap on garbage coordinates")
    pytest.importorskip({"mdtraj": "mdtraj", "mdanalysis": "MDAnalysis"}[backend])
    intact = analyze(files / "water.xtc", files / "water.pdb", stop=23)
    message = r"cannot read frame 23 of .*damaged\.xtc .*its 23 frames before are analysed"
    for options in ({}, {"scheduler": client, "task_frames": 4}):
        with pytest.warns(RuntimeWarning, match=message):
            result = analyze(damaged, files / "water.pdb", backend=backend, **options)
        assert_same(intact, result)


def test_command_line_on_a_cluster(client, files, damaged, tmp_path, capsys):
    counts = tmp_path / "counts.csv"
    base = ["--top", str(files / "water.pdb"), "--scheduler", client.scheduler.address, "--task-frames", "6",
            "--counts", str(counts), "--no-progress", "-q"]
    assert cli.main([str(files / "water.xtc"), *base]) == 0
    serial = analyze(files / "water.xtc", files / "water.pdb")
    np.testing.assert_array_equal(np.loadtxt(counts, delimiter=",", skiprows=1)[:, 2], serial.counts)
    assert cli.main([str(damaged), *base, "--out", str(tmp_path / "bonds.csv")]) == 0
    error = capsys.readouterr().err
    assert error.startswith(f"{cli.PROG}: warning: cannot read frame 23 of {damaged}") and error.count("\n") == 1
    np.testing.assert_array_equal(np.loadtxt(counts, delimiter=",", skiprows=1)[:, 2], serial.counts[:23])


@pytest.mark.slow
def test_command_line_starts_and_stops_a_local_cluster(files, tmp_path):
    counts = tmp_path / "counts.csv"
    done = subprocess.run([sys.executable, "-m", "brenvox_hbond", str(files / "second.xtc"), "--top",
                           str(files / "water.pdb"), "--workers", "2", "--task-frames", "10", "--quiet",
                           "--counts", str(counts)], capture_output=True, text=True, timeout=120, check=False)
    assert (done.returncode, done.stderr) == (0, "")
    serial = analyze(files / "second.xtc", files / "water.pdb")
    np.testing.assert_array_equal(np.loadtxt(counts, delimiter=",", skiprows=1)[:, 2], serial.counts)


@pytest.fixture(params=["silent", "banner", "http"])
def not_a_scheduler(request):
    """The address of something that accepts connections but is no Dask scheduler: it never
    answers, greets with a banner as an SSH server does, or answers what it is sent as an HTTP
    server does."""
    listener = socket.create_server(("127.0.0.1", 0))
    peers = []

    def serve():
        with contextlib.suppress(OSError):  # till shut down
            while True:
                peers.append(listener.accept()[0])
                if request.param == "banner":
                    peers[-1].sendall(b"SSH-2.0-OpenSSH_9.6\r\n")
                if request.param == "http" and peers[-1].recv(4096):
                    peers[-1].sendall(b"HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\n\r\n")

    server = threading.Thread(target=serve)
    server.start()
    yield f"tcp://127.0.0.1:{listener.getsockname()[1]}"
    for end in [listener, *peers]:
        with contextlib.suppress(OSError):  # the client hung up first
            end.shutdown(socket.SHUT_RDWR)
    server.join()
    for end in [listener, *peers]:
        end.close()


@pytest.mark.slow
def test_an_address_without_a_scheduler_fails_in_bounded_time(files, not_a_scheduler):
    done = subprocess.run([sys.executable, "-m", "brenvox_hbond", str(files / "second.xtc"), "--top",
                           str(files / "water.pdb"), "--scheduler", not_a_scheduler, "--connect-timeout", "2"],
                          capture_output=True, text=True, timeout=120, check=False)
    assert done.returncode == 1 and done.stderr.count("\n") == 1
    assert done.stderr.startswith(f"{cli.PROG}: error: cannot reach a Dask scheduler at {not_a_scheduler} "
                                  "within 2 s: "), done.stderr


@pytest.mark.parametrize("not_a_scheduler", ["banner", "http"], indirect=True)
def test_analyze_raises_for_an_address_without_a_scheduler_and_leaves_no_thread(files, not_a_scheduler):
    before = {thread.ident for thread in threading.enumerate()}
    with pytest.raises(SchedulerUnreachableError, match="cannot reach a Dask scheduler at "):
        analyze(files / "second.xtc", files / "water.pdb", scheduler=not_a_scheduler, connect_timeout=2)
    assert {thread.ident for thread in threading.enumerate()} <= before


@pytest.mark.parametrize(("arguments", "message"), [
    ({"scheduler": "tcp://127.0.0.1:1", "workers": 2}, "either scheduler"),
    ({"workers": 0}, "workers must be a positive integer"),
    ({"workers": 2, "task_frames": 0}, "task_frames must be a positive integer"),
    ({"scheduler": "tcp://127.0.0.1:1", "connect_timeout": 0}, "connect_timeout must be a positive number"),
    ({"scheduler": "tcp://127.0.0.1:1", "connect_timeout": float("inf")}, "connect_timeout must be a positive"),
])
def test_invalid_cluster_arguments(files, arguments, message):
    with pytest.raises(ValueError, match=message):
        analyze(files / "water.xtc", files / "water.pdb", **arguments)


def test_in_memory_trajectories_are_refused(client, files):
    traj = md.load(str(files / "water.xtc"), top=str(files / "water.pdb"))
    with pytest.raises(ValueError, match="reads trajectory files itself"):
        analyze(traj, scheduler=client)
    mda = pytest.importorskip("MDAnalysis")
    universe = mda.Universe(str(files / "water.pdb"), str(files / "water.xtc"), in_memory=True)
    with pytest.raises(ValueError, match="reads trajectory files itself"):
        analyze(universe, scheduler=client)
