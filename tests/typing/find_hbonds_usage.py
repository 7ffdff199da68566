"""Checked by mypy, not run: find_hbonds accepts the documented inputs and returns uint32 rows."""

from typing import assert_type

import numpy as np

import brenvox_hbond
from brenvox_hbond import find_hbonds

Bonds = np.ndarray[tuple[int, int], np.dtype[np.uint32]]

xyz = np.zeros((2, 3, 3), dtype=np.float32)
dimensions = np.array([3.0, 3.0, 3.0, 90.0, 90.0, 90.0], dtype=np.float32)

assert_type(find_hbonds(xyz, [(0, 1)], [2]), Bonds)
assert_type(find_hbonds(xyz.tolist(), np.array([[0, 1]]), range(3), box=[3.0, 3.0, 3.0]), Bonds)
assert_type(find_hbonds(xyz, [], [], box=dimensions, angle_cutoff=150, n_threads=np.int64(2)), Bonds)
assert_type(find_hbonds(xyz, [(0, 1)], [2], box=None), Bonds)
assert_type(brenvox_hbond.__all__, list[str])

find_hbonds(xyz, [(0, 1)], [2], [3.0, 3.0, 3.0])  # type: ignore[call-arg]
find_hbonds(xyz, [(0, 1)], [2], n_threads=2.0)  # type: ignore[arg-type]
find_hbonds(xyz, [(0, 1)], [2], distance_cutoff="0.3")  # type: ignore[arg-type]
find_hbonds(xyz, [(0, 1)], [2], periodic=True)  # type: ignore[call-arg]
