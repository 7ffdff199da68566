"""The streaming analysis on a Dask cluster: tasks are frame ranges of one file, which each worker
opens and seeks itself, so coordinates never pass through the client; parts come back in frame
order and are merged as the serial run merges its chunks."""

from __future__ import annotations

import contextlib
import logging
import os
import pickle
import socket
import struct
import sys
import time
import uuid
from collections import Counter
from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from . import readers
from ._optional import require
from .chunk_search import SearchOptions, search_chunk
from .collector import Collector, Part
from .readers import FrameRange
from .sites import Sites
from .xdr_frames import is_xdr_file

# Runs after the first of a task that raises (a worker that dies is governed by Dask's own
# distributed.scheduler.allowed-failures instead).
RETRIES = 2


class TaskError(RuntimeError):
    """A task of a cluster run failed for good; the message names the file and frames."""


class SchedulerUnreachableError(ConnectionError):
    """No Dask scheduler answered in time at the address given for one."""


@dataclass(frozen=True)
class Search:
    """What every task searches for, sent once to each worker."""

    sites: Sites
    distance_cutoff: float
    angle_cutoff: float
    periodic: bool
    geometry: bool
    keep_rows: bool
    chunk_size: int
    n_threads: int | None
    threads_per_host: dict[str, int]


@dataclass(frozen=True)
class TrajectoryFile:
    """One trajectory file, as a worker opens it: with MDTraj (`opener` the topology, or the
    atom count for .xtc/.trr, whose frame `offsets` are found once by the client) or with an
    MDAnalysis reader (`opener` its class, `reader_arguments` what it was opened with)."""

    path: str
    first: int
    n_frames: int
    backend: str
    opener: Any
    offsets: npt.NDArray[np.int64] | None = None
    reader_arguments: dict[str, Any] | None = None
    damage: readers.DamagedFile | None = None  # where the readable frames end, when before the file's end


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


def describe(file: TrajectoryFile, frames: FrameRange) -> str:
    assert frames.stop is not None
    return f"{file.path}, frames {frames.start} to {frames.stop - 1} of that file"


def run_task(search: Search, file: TrajectoryFile, frames: FrameRange) -> Part:
    """On a worker: read the frames of `file` and search them."""
    try:
        return _search_file(search, file, frames)
    except Exception as exc:
        raise TaskError(f"cannot analyse {describe(file, frames)}: {type(exc).__name__}: {exc}") from None


def _search_file(search: Search, file: TrajectoryFile, frames: FrameRange) -> Part:
    options = SearchOptions(search.distance_cutoff, search.angle_cutoff, search.periodic,
                            search.n_threads or _default_threads(search.threads_per_host), search.geometry)
    collector = Collector(search.sites, search.geometry, search.keep_rows)
    damage = None
    try:
        for chunk in _chunks(file, frames, search.chunk_size):
            global_chunk = readers.Chunk(chunk.xyz, chunk.box, chunk.times, chunk.frames + file.first)
            collector.add(global_chunk, search_chunk(global_chunk, search.sites, options))
    except readers.DamagedFile as exc:
        damage = exc
    part = collector.part()
    part.damage = damage
    return part


def _chunks(file: TrajectoryFile, frames: FrameRange, chunk_size: int) -> Iterator[readers.Chunk]:
    if file.backend == "mdtraj":
        return readers.mdtraj_file_chunks(Path(file.path), file.opener, frames, chunk_size, file.offsets)
    reader = file.opener(**(file.reader_arguments or {}))
    if reader.n_frames < (frames.stop or 0):
        reader.close()
        raise EOFError(f"{file.path} holds {reader.n_frames} frames, fewer than when it was counted")
    return _closing(reader, readers.mdanalysis_frames(reader, reader.n_atoms, frames, chunk_size))


def _closing(reader: Any, chunks: Iterator[readers.Chunk]) -> Iterator[readers.Chunk]:
    try:
        yield from chunks
    finally:
        reader.close()


def _default_threads(threads_per_host: dict[str, int]) -> int:
    """Every core of the host shared among the worker threads it runs."""
    distributed = require("distributed", "running on a Dask cluster")
    try:
        host = _host(distributed.get_worker().address)
    except ValueError:  # not on a worker
        return os.cpu_count() or 1
    return max(1, (os.cpu_count() or 1) // threads_per_host.get(host, 1))


def _host(address: str) -> str:
    return address.split("://")[-1].rsplit(":", 1)[0]


def search_on_cluster(client: Any, sites: Sites, files: Sequence[TrajectoryFile], tasks: Sequence[Task],
                      **search: Any) -> Iterator[Part]:
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
    settings = Search(sites=sites, threads_per_host=dict(slots), **search)
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
                raise TaskError(f"cannot analyse {describe(files[task.file], task.frames)}: {reason}") from None
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


def mdtraj_files(paths: Sequence[Path], topology: Any, frames: FrameRange) -> list[TrajectoryFile]:
    """The files up to the last analysed frame, counted (and for .xtc/.trr, their frame offsets
    found) by the client."""
    md = require("mdtraj", "reading trajectories with MDTraj")
    files: list[TrajectoryFile] = []
    first = 0
    for path in paths:
        if frames.done(first):
            break
        offsets, damage = None, None
        try:
            if is_xdr_file(path):
                index = readers.readable_index(path)
                offsets, n_frames, opener = index.offsets, index.n_frames, topology.n_atoms
                if index.damage is not None:
                    damage = readers.DamagedFile(path, n_frames, index.damage)
            else:
                n_frames, opener = _frame_count(md, path, topology), topology
        except OSError:
            raise
        except Exception as exc:  # the readers raise many types for a malformed file
            raise ValueError(f"cannot count the frames of {path}: {type(exc).__name__}: {exc}") from exc
        files.append(TrajectoryFile(str(path), first, n_frames, "mdtraj", opener, offsets, damage=damage))
        first += n_frames
    return files


def _frame_count(md: Any, path: Path, topology: Any) -> int:
    try:
        with md.open(str(path)) as handle:
            return len(handle)
    except Exception:  # formats that cannot tell: count by reading
        return sum(len(block) for block in md.iterload(str(path), top=topology, chunk=1000))


def mdanalysis_files(universe: Any) -> list[TrajectoryFile]:
    """The files of a Universe's trajectory, with the reader class and arguments each was
    opened with."""
    memory = require("MDAnalysis.coordinates.memory", "reading trajectories with MDAnalysis")
    trajectory = universe.trajectory
    parts = getattr(trajectory, "readers", None) or [trajectory]
    files = []
    first = 0
    for reader, part in zip(parts, readers.mdanalysis_parts(trajectory)):
        if isinstance(reader, memory.MemoryReader) or getattr(reader, "transformations", None) \
                or not isinstance(getattr(reader, "filename", None), str) or not Path(reader.filename).is_file():
            raise ValueError("a Dask cluster reads trajectory files itself: this Universe's trajectory is not "
                             "a set of files read as stored (in memory, a stream, or with transformations)")
        damage = None if part.damage is None else readers.DamagedFile(reader.filename, part.n_frames, part.damage)
        files.append(TrajectoryFile(reader.filename, first, part.n_frames, "mdanalysis", type(reader),
                                    reader_arguments=dict(reader._kwargs), damage=damage))
        first += part.n_frames
    if getattr(trajectory, "transformations", None):
        raise ValueError("a Dask cluster reads trajectory files itself: this Universe's trajectory has "
                         "transformations, which workers would not apply")
    return files
