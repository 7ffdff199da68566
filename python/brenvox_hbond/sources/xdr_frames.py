"""Where each frame of a GROMACS .xtc or .trr file starts, and where the file stops being readable.

Both formats are sequences of self-describing frames in XDR (big-endian) encoding, so walking
the frame headers finds every frame's offset without decoding coordinates. A frame whose header
is not one, whose atom count changes, or that the file ends inside of, ends the readable part:
what a crashed or still-running simulation leaves.
"""

from __future__ import annotations

import os
import struct
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import numpy as np
import numpy.typing as npt

from .base import DamagedFile, FrameRange

XDR_FORMATS = (".xtc", ".trr")

_XTC_MAGIC = 1995
_XTC_LARGE_MAGIC = 2023  # frames whose compressed size needs 64 bits
_TRR_MAGIC = 1993
# An .xtc frame of at most this many atoms stores its coordinates uncompressed.
_XTC_UNCOMPRESSED_ATOMS = 9
_HEADER_BYTES = 128


@dataclass(frozen=True)
class FrameIndex:
    """The byte offsets of a file's readable frames, and why the frame after them cannot be read
    (None when the file ends with its last frame)."""

    offsets: npt.NDArray[np.int64]
    damage: str | None
    n_atoms: int | None = None

    @property
    def n_frames(self) -> int:
        return len(self.offsets)


def is_xdr_file(path: str | os.PathLike[str]) -> bool:
    return Path(path).suffix.lower() in XDR_FORMATS


def index_frames(path: str | os.PathLike[str]) -> FrameIndex:
    """Offsets of the readable frames of an .xtc or .trr file. Raises OSError when the file cannot
    be opened, never for its contents."""
    frame_size = _xtc_frame_size if Path(path).suffix.lower() == ".xtc" else _trr_frame_size
    offsets: list[int] = []
    damage = None
    n_atoms = None
    with open(path, "rb") as handle:
        end = os.fstat(handle.fileno()).st_size
        offset = 0
        while offset < end:
            handle.seek(offset)
            header = handle.read(_HEADER_BYTES)
            size, atoms = frame_size(header)
            if size is None or atoms is None:
                damage = "it has no valid frame header"
                break
            if n_atoms is not None and atoms != n_atoms:
                damage = f"it holds {atoms} atoms where the frames before hold {n_atoms}"
                break
            if offset + size > end:
                damage = "the file ends inside it"
                break
            n_atoms = atoms
            offsets.append(offset)
            offset += size
    return FrameIndex(np.array(offsets, dtype=np.int64), damage, n_atoms)


def _ints(header: bytes, at: int, count: int) -> tuple[int, ...] | None:
    if len(header) < at + 4 * count:
        return None
    return struct.unpack_from(f">{count}i", header, at)


def _padded(n_bytes: int) -> int:
    return (n_bytes + 3) & ~3


def _xtc_frame_size(header: bytes) -> tuple[int | None, int | None]:
    # magic, atoms, step, time, box (9 floats), atoms again; then for more than nine atoms the
    # precision, the integer bounds (6), the small-index and the compressed byte count.
    start = _ints(header, 0, 2)
    if start is None or start[0] not in (_XTC_MAGIC, _XTC_LARGE_MAGIC) or start[1] <= 0:
        return None, None
    magic, n_atoms = start
    repeated = _ints(header, 52, 1)
    if repeated is None or repeated[0] != n_atoms:
        return None, None
    if n_atoms <= _XTC_UNCOMPRESSED_ATOMS:
        return 56 + 12 * n_atoms, n_atoms
    if magic == _XTC_LARGE_MAGIC:
        if len(header) < 96:
            return None, None
        (n_bytes,) = struct.unpack_from(">q", header, 88)
        head = 96
    else:
        counted = _ints(header, 88, 1)
        if counted is None:
            return None, None
        n_bytes, head = counted[0], 92
    if n_bytes < 0:
        return None, None
    return head + _padded(n_bytes), n_atoms


def _trr_frame_size(header: bytes) -> tuple[int | None, int | None]:
    # magic, the version string's length twice (as an int, then as an XDR string), the string,
    # then 13 ints: the sizes of ten blocks, atoms, step, energies; then time and lambda.
    start = _ints(header, 0, 3)
    if start is None or start[0] != _TRR_MAGIC or not 0 <= start[2] <= 64:
        return None, None
    at = 12 + _padded(start[2])
    fields = _ints(header, at, 13)
    if fields is None:
        return None, None
    sizes, n_atoms = fields[:10], fields[10]
    box, x, v, f = sizes[2], sizes[7], sizes[8], sizes[9]
    if n_atoms <= 0 or min(sizes) < 0:
        return None, None
    if box:
        precision = box // 9
    else:
        vectors = next((size for size in (x, v, f) if size), 0)
        precision = vectors // (3 * n_atoms)
    if precision not in (4, 8):
        return None, None
    return at + 13 * 4 + 2 * precision + sum(sizes), n_atoms


def readable_index(path: str | os.PathLike[str]) -> FrameIndex:
    """The frame index of an .xtc or .trr file that has at least one readable frame."""
    index = index_frames(path)
    if not index.n_frames:
        kind = Path(path).suffix.lower()
        raise ValueError(f"{path} is not a readable {kind} file: its first frame cannot be read ({index.damage})")
    return index


Block = tuple[Any, Any, Any, npt.NDArray[np.int64]]  # xyz, times, box vectors, frame numbers in the file
# Reads the frames of a range (numbered in the file): xyz, times, box vectors of those read, and
# why the frame after them cannot be read (None when every one was).
ReadFrames = Callable[[range], tuple[Any, Any, Any, "str | None"]]


def xdr_blocks(path: str | os.PathLike[str], index: FrameIndex, frames: FrameRange | None, chunk_size: int,
               reaches_end: bool, read: ReadFrames) -> Iterator[Block]:
    """The frames of an .xtc or .trr file within `frames` (counted in the file), at most
    `chunk_size` at a time in blocks of nearly one size (101 frames: 51 and 50, not 100 and 1,
    so that the second is read while the first is searched), read by `read` after seeking to
    each from the frame index; raises DamagedFile at the first frame that cannot be read, or at
    the file's damaged end when `reaches_end`."""
    if frames is not None:
        assert frames.stop is not None
        wanted = range(frames.start, min(frames.stop, index.n_frames), frames.step)
        size = -(-len(wanted) // max(1, -(-len(wanted) // chunk_size)))
        for begin in range(0, len(wanted), max(size, 1)):
            block = wanted[begin:begin + size]
            xyz, times, box, failure = read(block)
            if len(xyz):
                yield xyz, times, box, np.asarray(block[:len(xyz)], dtype=np.int64)
            if failure is not None:
                raise DamagedFile(path, block[len(xyz)], failure)
    if reaches_end and index.damage is not None:
        raise DamagedFile(path, index.n_frames, index.damage)
