"""The loop over a trajectory's chunks, as `analyze` runs it on this machine and a cluster task
runs it on a worker: read a chunk (the next one while this one is searched), search it, collect."""

from __future__ import annotations

import contextlib
import importlib.util
import queue
import sys
import threading
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

from ._optional import require
from .chunk_search import SearchOptions, search_chunk
from .collector import Collector, Part
from .sites import Sites
from .sources.base import Chunk, DamagedFile, FrameRange, TrajectoryFile
from .sources.opening import file_chunks


def search_chunks(chunks: Iterator[Chunk], collector: Collector, progress: Any = None) -> None:
    """Search every chunk into `collector`, advancing `progress` (a tqdm bar) by its frames."""
    for chunk in read_ahead(chunks):
        collector.add(chunk, search_chunk(chunk, collector.sites, collector.options))
        if progress is not None:
            progress.update(len(chunk.frames))


@dataclass(frozen=True)
class Search:
    """What every task searches for, sent once to each worker; threads left to choose (None)
    share each host's cores among the worker threads it runs."""

    sites: Sites
    options: SearchOptions
    chunk_size: int
    threads_per_host: dict[str, int]


def search_file(sites: Sites, options: SearchOptions, chunk_size: int, file: TrajectoryFile,
                frames: FrameRange) -> Part:
    """The part of one file's frames `frames` (counted in the file), numbered in the whole
    trajectory; a frame that cannot be read ends the part, with its `damage`."""
    collector = Collector(sites, options)
    damage = None
    try:
        for chunk in file_chunks(file, frames, chunk_size):
            numbered = Chunk(chunk.xyz, chunk.box, chunk.times, chunk.frames + file.first)
            collector.add(numbered, search_chunk(numbered, sites, options))
    except DamagedFile as exc:
        damage = exc
    part = collector.part()
    part.damage = damage
    return part


_DONE = object()


def read_ahead(chunks: Iterator[Chunk], depth: int = 1) -> Iterator[Chunk]:
    """The chunks, read by a second thread while this one searches: the search releases the
    interpreter lock, so reading the next chunk overlaps it."""
    handoff: queue.Queue[Any] = queue.Queue(maxsize=depth)
    stop = threading.Event()

    def read() -> None:
        try:
            for chunk in chunks:
                while not stop.is_set():
                    try:
                        handoff.put(chunk, timeout=0.1)
                        break
                    except queue.Full:
                        continue
                if stop.is_set():
                    return
            handoff.put(_DONE)
        except BaseException as exc:
            handoff.put(exc)

    reader = threading.Thread(target=read, name="brenvox-hbond-reader", daemon=True)
    try:
        reader.start()
    except RuntimeError:  # no memory for another thread's stack: read between the searches
        yield from chunks
        return
    try:
        while True:
            item = handoff.get()
            if item is _DONE:
                return
            if isinstance(item, BaseException):
                raise item
            yield item
    finally:
        stop.set()
        while reader.is_alive():
            try:
                handoff.get_nowait()
            except queue.Empty:
                reader.join(timeout=0.05)


def progress_bar(progress: bool | None, total: Callable[[], int | None], what: str = "hydrogen bonds",
                 unit: str = "frame") -> Any:
    """A tqdm bar on stderr, or (none asked for) a context that gives None; by default a bar when
    stderr is a terminal and tqdm is installed."""
    if progress is None:
        progress = sys.stderr is not None and sys.stderr.isatty() and importlib.util.find_spec("tqdm") is not None
    if not progress:
        return contextlib.nullcontext()
    tqdm = require("tqdm", "the progress bar")
    return tqdm.tqdm(total=total(), unit=unit, desc=what, file=sys.stderr, leave=False)
