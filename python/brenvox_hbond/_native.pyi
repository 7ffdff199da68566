import os

import numpy as np
import numpy.typing as npt

def find_hbonds(
    xyz: npt.NDArray[np.float32] | npt.NDArray[np.float64],
    donor_h_pairs: npt.NDArray[np.int64],
    acceptors: npt.NDArray[np.int64],
    box: npt.NDArray[np.float64] | None,
    distance_cutoff: float,
    angle_cutoff: float,
    n_threads: int,
    form: tuple[bool, bool, bool, bool, bool, float, float] = ...,
    /,
) -> np.ndarray[tuple[int, int], np.dtype[np.uint32]]: ...
def index_xdr(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    /,
) -> tuple[np.ndarray[tuple[int], np.dtype[np.int64]], int | None, str | None]: ...
def read_xdr(
    path: str | bytes | os.PathLike[str] | os.PathLike[bytes],
    offsets: npt.NDArray[np.int64],
    frames: npt.NDArray[np.int64],
    n_atoms: int,
    n_threads: int,
    kept_atoms: int = 0,
    /,
) -> tuple[
    np.ndarray[tuple[int, int, int], np.dtype[np.float32]],
    np.ndarray[tuple[int, int, int], np.dtype[np.float32]],
    np.ndarray[tuple[int], np.dtype[np.float32]],
    np.ndarray[tuple[int], np.dtype[np.int64]],
    str | None,
]: ...
def tally_rows(
    rows: npt.NDArray[np.uint32],
    pair_of_hydrogen: npt.NDArray[np.int64],
    acceptor_position: npt.NDArray[np.int64],
    table: npt.NDArray[np.int64],
    used: int,
    /,
) -> tuple[int, int]: ...
def tally_keys(
    new_keys: npt.NDArray[np.int64],
    new_counts: npt.NDArray[np.int64],
    table: npt.NDArray[np.int64],
    used: int,
    /,
) -> tuple[int, int]: ...
def count_frames(rows: npt.NDArray[np.uint32], n_frames: int, /) -> np.ndarray[tuple[int], np.dtype[np.int64]]: ...
def read_gro_atoms(
    text: bytes, start: int, n_atoms: int, width: int, /
) -> tuple[
    np.ndarray[tuple[int], np.dtype[np.int64]],
    np.ndarray[tuple[int], np.dtype[np.int64]],
    list[bytes],
    np.ndarray[tuple[int], np.dtype[np.int64]],
    list[bytes],
    np.ndarray[tuple[int, int], np.dtype[np.float32]],
    int,
]: ...
def format_rows(rows: npt.NDArray[np.uint32], columns: list[tuple[object, ...]], /) -> bytes: ...
