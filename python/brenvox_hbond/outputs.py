"""Output files written whole or not at all.

Each file is written to a temporary file beside it and renamed over it once complete, so an
interrupted or failed write (Ctrl-C, a full disk, an error in the writer) never leaves a
truncated file, never replaces an earlier one, and leaves no temporary file behind.
"""

from __future__ import annotations

import contextlib
import errno
import os
from collections.abc import Iterator
from pathlib import Path

import numpy as np

from .errors import OutputError


def check_writable(path: str | os.PathLike[str]) -> None:
    """Fail early, before any work, when `path` could not become a file."""
    target = Path(path)
    if target.is_dir():
        raise OutputError(errno.EISDIR, f"cannot write {target}: it is a directory")
    folder = target.absolute().parent
    if not folder.is_dir():
        raise OutputError(errno.ENOENT, f"cannot write {target}: directory {folder} does not exist")


class StagedFiles:
    """Temporary files that replace their targets together, when `commit` is called."""

    def __init__(self) -> None:
        self._pending: list[tuple[Path, Path]] = []

    def path(self, target: str | os.PathLike[str]) -> Path:
        """A new empty file beside `target` to write instead of it; it keeps the target's suffixes,
        which some writers read the format from."""
        target = Path(target)
        check_writable(target)
        folder = target.absolute().parent
        while True:
            temporary = folder / f".{os.urandom(4).hex()}-{target.name}"
            try:
                os.close(os.open(temporary, os.O_CREAT | os.O_EXCL | os.O_WRONLY, 0o666))
            except FileExistsError:
                continue
            except OSError as exc:
                raise _naming(exc, target) from exc
            self._pending.append((temporary, target))
            return temporary

    def commit(self) -> None:
        for temporary, target in self._pending:
            try:
                os.replace(temporary, target)
            except OSError as exc:
                raise _naming(exc, target) from exc
        self._pending.clear()

    def discard(self) -> None:
        for temporary, _ in self._pending:
            with contextlib.suppress(OSError):
                os.unlink(temporary)
        self._pending.clear()


@contextlib.contextmanager
def staged_files() -> Iterator[StagedFiles]:
    """Files staged in the block replace their targets when it ends normally; on any exception,
    KeyboardInterrupt included, they are removed and the targets left as they were."""
    staged = StagedFiles()
    try:
        yield staged
        staged.commit()
    except BaseException:
        staged.discard()
        raise


@contextlib.contextmanager
def writing(target: str | os.PathLike[str]) -> Iterator[None]:
    """An OSError raised in the block (a full disk, say) names `target`."""
    try:
        yield
    except OutputError:
        raise
    except OSError as exc:
        raise _naming(exc, Path(target)) from exc


@contextlib.contextmanager
def atomic_path(target: str | os.PathLike[str]) -> Iterator[Path]:
    """A temporary path to write instead of `target`, renamed to it when the block succeeds."""
    with staged_files() as staged, writing(target):
        yield staged.path(target)


def _naming(exc: OSError, target: Path) -> OutputError:
    reason = exc.strerror or str(exc) or type(exc).__name__
    return OutputError(exc.errno or 0, f"cannot write {target}: {reason}")


def time_text(time: float) -> str:
    """A time with as many digits as it takes to read back as the same value, never in exponent
    notation. Times stored in single precision, as .xtc and most trajectory files store them,
    are read back at that precision: 250000.2, not 250000.203125."""
    value = float(time)
    if not np.isfinite(value):
        return str(value)
    if float(np.float32(value)) == value:
        return np.format_float_positional(np.float32(value), unique=True, trim="-")
    return np.format_float_positional(value, unique=True, trim="-")
