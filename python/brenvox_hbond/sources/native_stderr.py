"""Keeping what a reader's C code prints on the process's standard error out of our own output.

MDTraj's .xtc/.trr decoder writes messages such as "(xdrfile error) Undocumented error 3" straight
to file descriptor 2, without a newline, before it raises; the error that follows says the same
in our words. While a guarded read runs, descriptor 2 points at a scratch file; afterwards
everything else written there meanwhile (a progress bar, another thread's message) is passed on.
"""

from __future__ import annotations

import contextlib
import os
import re
import sys
import threading
from collections.abc import Iterator
from typing import IO

# The decoder's messages; some end without a newline, so the known ones are matched whole.
_READER_NOISE = re.compile(rb"\(xdrfile error\)(?: Undocumented error \d+|[^\n]*\n?)")

_lock = threading.Lock()
_depth = 0
_saved: int | None = None
_scratch: IO[bytes] | None = None


@contextlib.contextmanager
def quiet_native_stderr() -> Iterator[None]:
    """Descriptor 2 redirected while the block runs, in every thread at once (it is one per
    process); nested and concurrent uses share one redirection."""
    entered = _enter()
    try:
        yield
    finally:
        if entered:
            _leave()


def _enter() -> bool:
    global _depth, _saved, _scratch
    with _lock:
        if _depth == 0:
            try:
                _flush_python_stderr()
                import tempfile  # here: its import alone maps a shared library

                scratch = tempfile.TemporaryFile()  # noqa: SIM115 (closed when the redirection ends)
                saved = os.dup(2)
                os.dup2(scratch.fileno(), 2)
            except (OSError, ValueError):  # no descriptor 2, or none to spare: print as it comes
                return False
            _saved, _scratch = saved, scratch
        _depth += 1
        return True


def _leave() -> None:
    global _depth, _saved, _scratch
    with _lock:
        _depth -= 1
        if _depth or _saved is None or _scratch is None:
            return
        _flush_python_stderr()
        os.dup2(_saved, 2)
        os.close(_saved)
        scratch, _saved, _scratch = _scratch, None, None
    with scratch:
        scratch.seek(0)
        passed_on = _READER_NOISE.sub(b"", scratch.read())
    if passed_on:
        _write_stderr(passed_on)


def _flush_python_stderr() -> None:
    with contextlib.suppress(Exception):
        if sys.stderr is not None:
            sys.stderr.flush()


def _write_stderr(data: bytes) -> None:
    with contextlib.suppress(Exception):
        if sys.stderr is not None:
            sys.stderr.write(data.decode(errors="replace"))
            sys.stderr.flush()
