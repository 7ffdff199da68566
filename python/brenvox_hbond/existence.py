"""Which bond is present in which frame, as ``gmx hbond -hbm`` maps it: a row per distinct
(donor, hydrogen, acceptor) triplet, a bit per analysed frame, eight frames to a byte in
`numpy.packbits` order (the first frame in the high bit). The water box of the benchmarks, 118 664
triplets over 2 020 frames, takes 30 MB so, against 240 MB as a bool array.
"""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

from .errors import RowsNotKeptError
from .outputs import atomic_path


class RowSource(Protocol):
    """What the matrix is built from (an `HbondResult`)."""

    @property
    def hbonds(self) -> npt.NDArray[np.uint32] | None: ...
    @property
    def n_frames(self) -> int: ...
    @property
    def frames(self) -> npt.NDArray[np.int64]: ...
    @property
    def times(self) -> npt.NDArray[np.float64]: ...
    def _triplet_keys(self) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]: ...

IntArray = npt.NDArray[np.int64]
FloatArray = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]

_SET_BITS = np.array([bin(byte).count("1") for byte in range(256)], dtype=np.uint8)
_FIELDS = ("bits", "triplets", "frames", "times")
# Rows turned into bit positions at once: the positions of all rows would take 8 bytes per row.
_BLOCK_ROWS = 1 << 20


@dataclass(frozen=True, eq=False)
class ExistenceMatrix:
    """Bonds × analysed frames, bit-packed.

    Attributes
    ----------
    triplets : ndarray of int64, shape (n_triplets, 3)
        Donor, hydrogen and acceptor of each row.
    bits : ndarray of uint8, shape (n_triplets, ceil(n_frames / 8))
        Row i, bit j (in `numpy.packbits` order) set when triplet i is bonded in analysed
        frame j; the bits past the last frame are clear.
    frames : ndarray of int64, shape (n_frames,)
        Index in the trajectory of each analysed frame.
    times : ndarray of float64, shape (n_frames,)
        Time of each analysed frame, in ps.
    """

    triplets: IntArray
    bits: npt.NDArray[np.uint8]
    frames: IntArray
    times: FloatArray

    def __post_init__(self) -> None:
        for name, dtype in (("triplets", np.int64), ("bits", np.uint8), ("frames", np.int64), ("times", np.float64)):
            object.__setattr__(self, name, np.asarray(getattr(self, name), dtype=dtype))
        n_rows, n_frames = len(self.triplets), len(self.frames)
        if self.triplets.ndim != 2 or self.triplets.shape[1] != 3:
            raise ValueError(f"triplets must have shape (n, 3), got {self.triplets.shape}")
        if self.frames.shape != (n_frames,) or self.times.shape != (n_frames,):
            raise ValueError(f"frames and times must be of one length, got shapes {self.frames.shape} "
                             f"and {self.times.shape}")
        if self.bits.shape != (n_rows, (n_frames + 7) // 8):
            raise ValueError(f"bits must have shape ({n_rows}, {(n_frames + 7) // 8}) for {n_rows} triplets "
                             f"and {n_frames} frames, got {self.bits.shape}")

    @property
    def n_frames(self) -> int:
        """Number of analysed frames (columns)."""
        return len(self.frames)

    def __len__(self) -> int:
        return len(self.triplets)

    def __repr__(self) -> str:
        return f"<ExistenceMatrix: {len(self)} bonds × {self.n_frames} frames, {self.bits.nbytes} bytes packed>"

    def __getitem__(self, index: Any) -> BoolArray:
        """The rows `index` selects (an int, a slice, an array), unpacked: bool, n_frames long."""
        return np.unpackbits(self.bits[index], axis=-1, count=self.n_frames).view(np.bool_)

    def row(self, index: int) -> BoolArray:
        """Whether triplet `index` is bonded in each analysed frame."""
        return self[int(index)]

    def to_dense(self) -> BoolArray:
        """The whole matrix as a bool array of shape (n_triplets, n_frames): eight times the
        memory of `bits`."""
        return self[:]

    def occupancy(self) -> FloatArray:
        """Share of the analysed frames in which each row's triplet is bonded, in row order
        (zeros without frames)."""
        return set_bits(self.bits) / max(self.n_frames, 1)

    def most_occupied(self, top: int) -> ExistenceMatrix:
        """The `top` most occupied rows, most occupied first, ties in row order (the order of
        `HbondResult.occupancy`)."""
        if isinstance(top, bool) or not isinstance(top, (int, np.integer)) or top < 0:
            raise ValueError(f"top must be a non-negative integer, got {top!r}")
        share = self.occupancy()
        order = np.lexsort((np.arange(len(share)), -share))[:top]
        return ExistenceMatrix(self.triplets[order], self.bits[order], self.frames, self.times)

    def save(self, path: str | os.PathLike[str]) -> None:
        """Write the matrix as a compressed NumPy .npz archive of `bits`, `triplets`, `frames` and
        `times`, read back by `load_existence`; written whole or not at all."""
        with atomic_path(path) as temporary, open(temporary, "wb") as out:
            np.savez_compressed(out, **{name: getattr(self, name) for name in _FIELDS})

    def to_xpm(self, path: str | os.PathLike[str]) -> None:
        """Write the map as ``gmx hbond -hbm`` does, an XPM image of one text character per bond
        and frame (see `brenvox_hbond.xpm`); written whole or not at all."""
        from .xpm import write_existence_xpm

        write_existence_xpm(self, path)


def existence_matrix(result: RowSource) -> ExistenceMatrix:
    """The `ExistenceMatrix` of a result's rows, in the order of its `unique_triplets`."""
    if result.hbonds is None:
        raise RowsNotKeptError("the existence matrix needs the bonds of every frame, which this result does "
                               "not keep (keep_rows=False): analyse with keep_rows=True")
    keys, triplets = result._triplet_keys()
    bits = np.zeros((len(triplets), (result.n_frames + 7) // 8), dtype=np.uint8)
    flat = bits.reshape(-1)
    for begin in range(0, len(keys), _BLOCK_ROWS):
        frame = result.hbonds[begin:begin + _BLOCK_ROWS, 0]
        byte = keys[begin:begin + _BLOCK_ROWS] * bits.shape[1]
        byte += frame >> 3
        np.bitwise_or.at(flat, byte, np.right_shift(np.uint8(0x80), (frame & 7).astype(np.uint8)))
    return ExistenceMatrix(triplets, bits, result.frames, result.times)


def set_bits(bits: npt.NDArray[np.uint8]) -> IntArray:
    """The set bits of each row of a packed array: the frames each bond is bonded in."""
    return _SET_BITS[bits].sum(axis=1, dtype=np.int64)


def load_existence(path: str | os.PathLike[str]) -> ExistenceMatrix:
    """The `ExistenceMatrix` that `ExistenceMatrix.save` wrote to `path`.

    Raises
    ------
    ValueError
        The file is not such an archive: a field is missing, or the shapes disagree.
    """
    with np.load(path, allow_pickle=False) as archive:
        missing = [name for name in _FIELDS if name not in archive.files]
        if missing:
            raise ValueError(f"{os.fspath(path)} holds no existence matrix: {', '.join(missing)} missing")
        return ExistenceMatrix(**{name: archive[name] for name in _FIELDS})
