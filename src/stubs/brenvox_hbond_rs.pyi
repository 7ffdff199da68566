"""Baker–Hubbard hydrogen-bond search over molecular-dynamics trajectories."""

from collections.abc import Sequence
from typing import Any, Final, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__: Final[list[str]]

# A contiguous, one-dimensional float64 array: frame, then atom, then x, y, z.
_Coordinates = npt.NDArray[np.float64]
# (frame, donor, hydrogen, acceptor) per row.
_Bonds = np.ndarray[tuple[int, int], np.dtype[np.uint32]]
_Pairs = Sequence[tuple[SupportsIndex, SupportsIndex]]
_Indices = Sequence[SupportsIndex] | npt.NDArray[np.integer[Any]]

def run_baker_hubbard(
    xyz_flat: _Coordinates,
    n_frames: SupportsIndex,
    n_atoms: SupportsIndex,
    donor_h_pairs: _Pairs,
    acceptor_indices: _Indices,
) -> _Bonds:
    """Run Baker-Hubbard over all frames. Uses spatial pruning for large search spaces
    and brute force for smaller ones (same geometry either way)."""

def run_baker_hubbard_brute(
    xyz_flat: _Coordinates,
    n_frames: SupportsIndex,
    n_atoms: SupportsIndex,
    donor_h_pairs: _Pairs,
    acceptor_indices: _Indices,
) -> _Bonds:
    """Brute-force Baker–Hubbard (reference implementation for regression tests)."""

def run_baker_hubbard_with_threads(
    xyz_flat: _Coordinates,
    n_frames: SupportsIndex,
    n_atoms: SupportsIndex,
    donor_h_pairs: _Pairs,
    acceptor_indices: _Indices,
    n_threads: SupportsIndex,
) -> _Bonds:
    """Threaded Baker–Hubbard (adaptive spatial vs brute per frame batch)."""
