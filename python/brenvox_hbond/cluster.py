"""The streaming analysis on a Dask cluster: tasks are frame ranges of one file, which each worker
opens and seeks itself, so coordinates never pass through the client; parts come back in frame
order and are merged as the serial run merges its chunks."""

from __future__ import annotations

import contextlib
import logging
import pickle
import socket
import struct
import sys
import time
import uuid
from collections import Counter
from collections.abc import Generator, Iterator, Sequence
from dataclasses import dataclass, replace
from typing import Any

from ._optional import require
from .chunk_search import SearchOptions
from .collector import Collector, Part
from .defaults import every_core
from .errors import SchedulerUnreachableError, TaskError
from .frame_loop import Search, search_file
from .sites import Sites
from .sources.base import DamagedFile, FrameRange, Source, TrajectoryFile

__all__ = ["RETRIES", "SchedulerUnreachableError", "Search", "Task", "TaskError", "TrajectoryFile", "check_scheduler",
           "connected", "local_cluster", "plan_tasks", "run_on_cluster", "run_task", "search_on_cluster"]

# Runs after the first of a task that raises (a worker that dies is governed by Dask's own
# distributed.scheduler.allowed-failures instead).
RETRIES = 2


def run_on_cluster(source: Source, frames: FrameRange, collector: Collector, chunk_size: int, task_frames: int,
                   scheduler: Any, workers: int | None, connect_timeout: float,
                   progress: Any = None) -> list[DamagedFile]:
    """Search the frames of `source` on a cluster (`scheduler`, or a local one of `workers`
    processes) into `collector`, in frame order; returns the damaged files met. A file whose
    frame a worker could not read is left out from that frame on, as a serial run leaves it."""
    files = source.files()
    damaged = [file.damage for file in files
               if file.damage is not None and frames.reaches(file.first + file.n_frames)]
    tasks = plan_tasks(files, frames, task_frames)
    cut: set[int] = set()
    with connected(scheduler, workers, connect_timeout) as client, contextlib.closing(
            search_on_cluster(client, collector.sites, files, tasks, collector.options, chunk_size)) as parts:
        for task, part in zip(tasks, parts):
            if task.file in cut:
                continue
            collector.add_part(part)
            if part.damage is not None:
                cut.add(task.file)
                damaged.append(part.damage)
            if progress is not None:
                progress.update(len(part.frames))
    return damaged


@dataclass(frozen=True)
class Task:
    file: int
    frames: FrameRange


def plan_tasks(files: Sequence[TrajectoryFile], frames: FrameRange, task_frames: int) -> list[Task]:
    """Frame ranges of at most `task_frames` analysed frames, never across files, in order."""
    tasks: list[Task] = []
    for index, file in enumerate(files):
        local = frames.within(file.first, file.n_frames)
        if local is not None:
            tasks.extend(Task(index, piece) for piece in local.pieces(task_frames))
    return tasks


def run_task(search: Search, file: TrajectoryFile, frames: FrameRange) -> Part:
    """On a worker: read the frames of `file` and search them."""
    options = search.options
    if options.n_threads is None:
        options = replace(options, n_threads=_default_threads(search.threads_per_host))
    try:
        return search_file(search.sites, options, search.chunk_size, file, frames)
    except Exception as exc:
        raise TaskError(f"cannot analyse {file.describe(frames)}: {type(exc).__name__}: {exc}") from None


def _default_threads(threads_per_host: dict[str, int]) -> int:
    """Every core of the host shared among the worker threads it runs."""
    distributed = require("distributed", "running on a Dask cluster")
    try:
        host = _host(distributed.get_worker().address)
    except ValueError:  # not on a worker
        return every_core()
    return max(1, every_core() // threads_per_host.get(host, 1))


def _host(address: str) -> str:
    return address.split("://")[-1].rsplit(":", 1)[0]


def search_on_cluster(client: Any, sites: Sites, files: Sequence[TrajectoryFile], tasks: Sequence[Task],
                      options: SearchOptions, chunk_size: int) -> Generator[Part, None, None]:
    """Run the tasks on the client's cluster; yields their parts in task order. A task that
    fails for good cancels the rest and raises TaskError."""
    distributed = require("distributed", "running on a Dask cluster")
    try:
        workers = client.scheduler_info(n_workers=-1)["workers"]
    except TypeError:  # releases before 2025 list every worker by default
        workers = client.scheduler_info()["workers"]
    slots: Counter[str] = Counter()
    for address, info in workers.items():
        slots[_host(address)] += int(info.get("nthreads", 1))
    settings = Search(sites, options, chunk_size, dict(slots))
    run = uuid.uuid4().hex
    inputs = _share(client, f"brenvox-hbond-{run}", settings, files)
    futures: list[Any] = []
    try:
        # Tasks without dependencies: Dask runs them on any worker, and again on another when
        # theirs dies; scattered inputs drew them to the workers holding those, and died with them.
        futures = [client.submit(_run_shared, inputs, task.file, task.frames, key=f"hbonds-{run}-{number}",
                                 retries=RETRIES, pure=False)
                   for number, task in enumerate(tasks)]
        position = {future.key: number for number, future in enumerate(futures)}
        finished: dict[int, Part] = {}
        following = 0
        for future in distributed.as_completed(futures, loop=client.loop):
            number = position[future.key]
            try:
                finished[number] = future.result()
            except TaskError:
                raise
            except Exception as exc:  # a worker that kept dying, or a task that could not run
                task = tasks[number]
                reason = f"{type(exc).__name__}: {exc}"
                if isinstance(exc, distributed.client.FutureCancelledError):
                    reason = "it was cancelled on the cluster (was the cluster restarted?)"
                raise TaskError(f"cannot analyse {files[task.file].describe(task.frames)}: {reason}") from None
            futures[number] = None  # frees the part on the worker
            while following in finished:
                yield finished.pop(following)
                following += 1
    finally:
        client.cancel(futures)
        with contextlib.suppress(OSError):  # gone with the cluster
            client.unregister_worker_plugin(inputs)


def _share(client: Any, name: str, search: Search, files: Sequence[TrajectoryFile]) -> str:
    """The run's settings and files on every worker, those that join or restart during the run
    included, as a worker plugin called `name`."""
    comm = require("distributed.comm", "running on a Dask cluster")
    from ._worker_inputs import WorkerInputs

    with contextlib.suppress(comm.CommClosedError):  # a worker died meanwhile: the scheduler has it all the same
        client.register_plugin(WorkerInputs(search, list(files)), name=name)
    return name


def _run_shared(inputs: str, file: int, frames: FrameRange) -> Part:
    """On a worker: run_task with the settings and file of the worker plugin `inputs`."""
    distributed = require("distributed", "running on a Dask cluster")
    worker = distributed.get_worker()
    shared = worker.plugins.get(inputs)
    if shared is None:
        raise RuntimeError(f"the run's settings have not reached worker {worker.address}")
    return run_task(shared.search, shared.files[file], frames)


@contextlib.contextmanager
def connected(scheduler: Any, workers: int | None, connect_timeout: float = 30.0) -> Iterator[Any]:
    """A client of `scheduler` (a distributed.Client, kept open, or an address, where a scheduler
    must answer within `connect_timeout` seconds), or of a LocalCluster of `workers` processes
    started and stopped here."""
    distributed = require("distributed", "running on a Dask cluster")
    if isinstance(scheduler, distributed.Client):
        yield scheduler
    elif scheduler is not None:
        check_scheduler(str(scheduler), connect_timeout)
        with distributed.Client(str(scheduler), timeout=connect_timeout, set_as_default=False) as client:
            yield client
    else:
        with local_cluster(workers or 1) as cluster, distributed.Client(cluster, set_as_default=False) as client:
            yield client


# A scheduler greets each connection with a message of about 60 bytes.
_GREETING_LIMIT = 1 << 16


class _NotAScheduler(Exception):
    pass


def check_scheduler(address: str, timeout: float) -> None:
    """Raise SchedulerUnreachableError unless a Dask scheduler greets a connection to a tcp://
    `address` within `timeout` seconds. Dask's own connection waits for that greeting without
    limit, and sizes its buffer by whatever bytes come first."""
    comm = require("distributed.comm", "running on a Dask cluster")
    scheme, location = comm.parse_address(address)
    if scheme != "tcp":  # other transports have Dask's own timeout only
        return
    host, port = comm.parse_host_port(location)
    deadline = time.monotonic() + timeout
    try:
        with _connect(host, port, deadline) as peer:
            head = _receive(peer, 8, deadline)
            (length,) = struct.unpack("Q", head)
            if not 16 <= length <= _GREETING_LIMIT:
                raise _NotAScheduler(f"what answered is not a Dask scheduler (it began {head!r})")
            greeting = _receive(peer, length, deadline)
            if not _is_greeting(greeting):
                raise _NotAScheduler(f"what answered is not a Dask scheduler (it began {head + greeting[:8]!r})")
            peer.sendall(_greeting())  # spares the scheduler's log a broken handshake
    except _NotAScheduler as exc:
        reason = str(exc)
    except TimeoutError:
        reason = "nothing answered as a scheduler there"
    except ConnectionRefusedError:
        reason = "nothing listens there (connection refused)"
    except OSError as exc:
        reason = f"{type(exc).__name__}: {exc}"
    else:
        return
    raise SchedulerUnreachableError(f"cannot reach a Dask scheduler at {address} within {timeout:g} s: {reason}")


def _connect(host: str, port: int, deadline: float) -> socket.socket:
    pause = 0.05
    while True:
        try:
            return socket.create_connection((host, port), timeout=_left(deadline))
        except ConnectionRefusedError:  # as Dask does: the scheduler may be starting
            if deadline - time.monotonic() < pause:
                raise
            time.sleep(pause)
            pause = min(2 * pause, 1.0)


def _receive(peer: socket.socket, size: int, deadline: float) -> bytes:
    data = b""
    while len(data) < size:
        peer.settimeout(_left(deadline))
        chunk = peer.recv(size - len(data))
        if not chunk:
            raise _NotAScheduler("the connection was closed before a scheduler greeted it")
        data += chunk
    return data


def _left(deadline: float) -> float:
    left = deadline - time.monotonic()
    if left <= 0:
        raise TimeoutError
    return left


def _is_greeting(message: bytes) -> bool:
    """Whether `message` is framed as Dask frames it, its first frame a msgpack map."""
    msgpack = require("msgpack", "running on a Dask cluster")
    (count,) = struct.unpack_from("Q", message)
    if not 1 <= count <= 64 or len(message) < 8 * (1 + count):
        return False
    lengths = struct.unpack_from(f"{count}Q", message, 8)
    start = 8 * (1 + count)
    if start + sum(lengths) != len(message):
        return False
    try:
        return isinstance(msgpack.unpackb(message[start:start + lengths[0]]), dict)
    except Exception:  # anything that does not decode
        return False


def _greeting() -> bytes:
    msgpack = require("msgpack", "running on a Dask cluster")
    info: bytes = msgpack.packb({"compression": None, "python": tuple(sys.version_info)[:3],
                                 "pickle-protocol": pickle.HIGHEST_PROTOCOL})
    frames = struct.pack("QQ", 1, len(info)) + info
    return struct.pack("Q", len(frames)) + frames


def local_cluster(workers: int) -> Any:
    """A LocalCluster of single-threaded worker processes (each search thread then has its own
    interpreter), quiet, without a dashboard, and with its status server on a free loopback port
    so that several can run at once."""
    distributed = require("distributed", "running on a Dask cluster")
    return distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                    dashboard_address=None, scheduler_kwargs={"dashboard_address": "127.0.0.1:0"},
                                    silence_logs=logging.CRITICAL)
