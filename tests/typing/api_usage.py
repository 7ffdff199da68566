"""Checked by mypy, not run: the installed stubs accept correct calls and reject wrong ones."""

from typing import Any, SupportsIndex, assert_type

import numpy as np

import brenvox_hbond_rs as hb

Bonds = np.ndarray[tuple[int, int], np.dtype[np.uint32]]

xyz = np.zeros(2 * 3 * 3)
pairs: list[tuple[SupportsIndex, SupportsIndex]] = [(0, 1), (np.int64(0), np.uint8(2))]

assert_type(hb.run_baker_hubbard(xyz, 2, 3, pairs, [2]), Bonds)
assert_type(hb.run_baker_hubbard_brute(xyz, 2, 3, pairs, range(3)), Bonds)
assert_type(hb.run_baker_hubbard_with_threads(xyz, 2, 3, pairs, np.arange(3), 4), Bonds)
assert_type(hb.run_baker_hubbard(xyz_flat=xyz, n_frames=2, n_atoms=3, donor_h_pairs=(), acceptor_indices=()), Bonds)
assert_type(hb.__all__, list[str])

frames: np.ndarray[Any, np.dtype[np.uint32]] = hb.run_baker_hubbard(xyz, 2, 3, pairs, [2])[:, 0]

hb.run_baker_hubbard(xyz, 2.0, 3, pairs, [2])  # type: ignore[arg-type]
hb.run_baker_hubbard(xyz, 2, 3, [[0, 1]], [2])  # type: ignore[list-item]
hb.run_baker_hubbard_brute(xyz, 2, 3, pairs, "012")  # type: ignore[arg-type]
hb.run_baker_hubbard_with_threads(xyz, 2, 3, pairs, [2])  # type: ignore[call-arg]
hb.run_baker_hubbard(xyz, 2, 3, pairs, [2], n_threads=2)  # type: ignore[call-arg]
