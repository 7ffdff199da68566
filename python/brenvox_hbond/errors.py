"""The package's own exceptions. Each subclasses the built-in type that was raised before it
existed, so that code catching ValueError, RuntimeError or OSError keeps working."""


class NoFramesError(ValueError):
    """The start, stop and step given select no frame of the trajectory."""


class NoSitesError(ValueError):
    """The topology and the selections leave no donor–hydrogen pair, or no acceptor."""


class RowsNotKeptError(ValueError):
    """A result made with ``keep_rows=False`` was asked for its rows."""


class NotRunError(RuntimeError):
    """An analysis was asked for its results before it was run."""


class OutputError(OSError):
    """An output file cannot be written; the message names it."""

    def __str__(self) -> str:
        return str(self.strerror)


class TaskError(RuntimeError):
    """A task of a cluster run failed for good; the message names the file and frames."""


class SchedulerUnreachableError(ConnectionError):
    """No Dask scheduler answered in time at the address given for one."""
