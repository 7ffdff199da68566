"""A plain NumPy reference for the hydrogen-bond searches, written from the definition of the test
and of the grid, without looking at how the module computes them.

Rows of one frame are (donor, hydrogen, acceptor) tuples; `reference_rows` adds the frame column.
"""

import numpy as np

CUTOFF_SQUARED = 0.0625  # 0.25 squared
COS_SQUARED = 0.25  # cos(120 degrees) squared
CELLS_PER_UNIT = 4.0  # cells of edge 0.25
GRID_THRESHOLD = 100000
INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1
# dx outermost, dz innermost, each -1, 0, +1: neighbour number 9(dx+1) + 3(dy+1) + (dz+1).
NEIGHBOUR_OFFSETS = [(dx, dy, dz) for dx in (-1, 0, 1) for dy in (-1, 0, 1) for dz in (-1, 0, 1)]


def bonded_mask(frame_xyz, donor, hydrogen, candidates):
    """For each acceptor index in `candidates`, whether (donor, hydrogen, acceptor) is a bond.

    Every step is one float64 operation per element, in the order that fixes the decisions
    bit for bit; NaN comparisons are written so that NaN falls through exactly where it must.
    """
    candidates = np.asarray(candidates, dtype=np.int64)
    h, d, a = frame_xyz[hydrogen], frame_xyz[donor], frame_xyz[candidates]
    with np.errstate(all="ignore"):  # inf - inf, inf * 0 and overflow are part of the inputs
        vx, vy, vz = a[:, 0] - h[0], a[:, 1] - h[1], a[:, 2] - h[2]
        r2 = (vx * vx + vy * vy) + vz * vz
        wx, wy, wz = d[0] - h[0], d[1] - h[1], d[2] - h[2]
        s2 = (wx * wx + wy * wy) + wz * wz
        dot = (vx * wx + vy * wy) + vz * wz
        limit = r2 * (s2 * COS_SQUARED)
        accepted = ~(r2 >= CUTOFF_SQUARED) & ~(r2 <= 0.0) & ~(s2 <= 0.0) & (dot < 0.0) & (dot * dot > limit)
    return accepted & (candidates != donor)


def reference_exhaustive(frame_xyz, pairs, acceptors):
    """Rows in pair-list order, then acceptor-list order."""
    frame_xyz = np.asarray(frame_xyz, dtype=np.float64)
    acceptors = np.asarray(acceptors, dtype=np.int64)
    rows = []
    if len(acceptors) == 0:
        return rows
    for d, h in pairs:
        rows += [(d, h, int(a)) for a in acceptors[bonded_mask(frame_xyz, d, h, acceptors)]]
    return rows


def cell_keys(points):
    """Cell of each point: floor(4.0 * c) per axis, saturated to the int32 range, NaN in cell 0."""
    with np.errstate(over="ignore", invalid="ignore"):
        scaled = np.floor(CELLS_PER_UNIT * np.asarray(points, dtype=np.float64).reshape(-1, 3))
    keys = np.where(np.isnan(scaled), 0.0, np.clip(scaled, INT32_MIN, INT32_MAX)).astype(np.int64)
    return [tuple(key) for key in keys.tolist()]


def wrap_int32(value):
    return (value - INT32_MIN) % 2**32 + INT32_MIN


def reference_grid(frame_xyz, pairs, acceptors):
    """Rows in pair-list order, then by neighbour cell, then by acceptor-list position."""
    frame_xyz = np.asarray(frame_xyz, dtype=np.float64)
    grid = {}
    for a, key in zip(acceptors, cell_keys(frame_xyz[list(acceptors)])):
        grid.setdefault(key, []).append(a)
    rows = []
    if not grid:
        return rows
    for d, h in pairs:
        [(hx, hy, hz)] = cell_keys(frame_xyz[h])
        candidates = []
        for dx, dy, dz in NEIGHBOUR_OFFSETS:
            candidates += grid.get((wrap_int32(hx + dx), wrap_int32(hy + dy), wrap_int32(hz + dz)), [])
        if candidates:
            mask = bonded_mask(frame_xyz, d, h, candidates)
            rows += [(d, h, a) for a, keep in zip(candidates, mask) if keep]
    return rows


def filter_indices(n_atoms, pairs, acceptors):
    """Drop every pair or acceptor that names an atom index not below n_atoms, keeping order."""
    kept_pairs = [(int(d), int(h)) for d, h in pairs if d < n_atoms and h < n_atoms]
    kept_acceptors = [int(a) for a in acceptors if a < n_atoms]
    return kept_pairs, kept_acceptors


def chosen_search(n_atoms, pairs, acceptors):
    """'grid' or 'exhaustive', by the pair and acceptor counts left after filtering."""
    kept_pairs, kept_acceptors = filter_indices(n_atoms, pairs, acceptors)
    return "grid" if len(kept_pairs) * len(kept_acceptors) >= GRID_THRESHOLD else "exhaustive"


def reference_rows(xyz_flat, n_frames, n_atoms, pairs, acceptors, search):
    """All frames as a (k, 4) uint32 array; `search` is 'exhaustive', 'grid' or 'auto'."""
    if search == "auto":
        search = chosen_search(n_atoms, pairs, acceptors)
    frame_search = {"exhaustive": reference_exhaustive, "grid": reference_grid}[search]
    kept_pairs, kept_acceptors = filter_indices(n_atoms, pairs, acceptors)
    frames = np.asarray(xyz_flat, dtype=np.float64).reshape(n_frames, n_atoms, 3)
    rows = [(f, *row) for f in range(n_frames) for row in frame_search(frames[f], kept_pairs, kept_acceptors)]
    return np.array(rows, dtype=np.uint32).reshape(-1, 4)
