"""What every task of a cluster run shares, as a Dask worker plugin: the scheduler hands it to
each worker, those that join or restart during the run included, and it dies with none of them.
Imported only when a cluster is used, since it subclasses a class of distributed."""

from __future__ import annotations

from typing import TYPE_CHECKING

from distributed import WorkerPlugin

if TYPE_CHECKING:
    from .frame_loop import Search
    from .sources.base import TrajectoryFile


class WorkerInputs(WorkerPlugin):
    def __init__(self, search: Search, files: list[TrajectoryFile]):
        self.search, self.files = search, files
