"""A plain NumPy reference for find_hbonds, written from the definition of the criterion and of the
minimum image: every step is one float64 operation per element, in the order that fixes the
decisions bit for bit. Vectorised over the (pair, acceptor) combinations of a frame."""

import math

import numpy as np

# Exact squared cosines of the usual angle cut-offs.
EXACT_COS_SQUARED = {0.0: 1.0, 30.0: 0.75, 45.0: 0.5, 60.0: 0.25, 90.0: 0.0,
                     120.0: 0.25, 135.0: 0.5, 150.0: 0.75, 180.0: 1.0}
# Lattice shifts around the rounded image: a outermost, c innermost.
SHIFTS = [(da, db, dc) for da in (-1, 0, 1) for db in (-1, 0, 1) for dc in (-1, 0, 1)]


def criterion(distance_cutoff, angle_cutoff):
    """(squared distance limit, squared cosine, whether the angle cut-off is obtuse)."""
    if angle_cutoff in EXACT_COS_SQUARED:
        cos2 = EXACT_COS_SQUARED[angle_cutoff]
    else:
        c = math.cos(math.radians(angle_cutoff))
        cos2 = c * c
    return distance_cutoff * distance_cutoff, cos2, angle_cutoff >= 90.0


def minimum_image(d, cell):
    """Components (x, y, z) of the image of each vector d[..., :] with the smallest squared
    length among the 27 around the rounded fractional image; the first one on ties."""
    inverse = np.linalg.inv(cell)
    dx, dy, dz = d[..., 0], d[..., 1], d[..., 2]
    n0 = [np.rint((dx * inverse[0, j] + dy * inverse[1, j]) + dz * inverse[2, j]) for j in range(3)]
    a, b, c = cell.tolist()
    best = best_r2 = None
    for da, db, dc in SHIFTS:
        na, nb, nc = n0[0] + da, n0[1] + db, n0[2] + dc
        v = tuple(((dk - nc * c[k]) - nb * b[k]) - na * a[k] for k, dk in enumerate((dx, dy, dz)))
        r2 = (v[0] * v[0] + v[1] * v[1]) + v[2] * v[2]
        if best is None:
            best, best_r2 = v, r2
        else:
            closer = r2 < best_r2
            best = tuple(np.where(closer, new, old) for new, old in zip(v, best))
            best_r2 = np.where(closer, r2, best_r2)
    return best


def bonded(v, w, r2_limit, cos2, obtuse):
    """The criterion for H->A vectors v and H->D vectors w, each given as (x, y, z) components."""
    (vx, vy, vz), (wx, wy, wz) = v, w
    r2 = (vx * vx + vy * vy) + vz * vz
    s2 = (wx * wx + wy * wy) + wz * wz
    dot = (vx * wx + vy * wy) + vz * wz
    limit = r2 * (s2 * cos2)
    if obtuse:
        angle_ok = (dot < 0.0) & (dot * dot > limit)
    else:
        angle_ok = (dot < 0.0) | (dot * dot < limit)
    return (r2 < r2_limit) & (r2 > 0.0) & (s2 > 0.0) & angle_ok


def reference_rows(xyz, pairs, acceptors, box=None, distance_cutoff=0.25, angle_cutoff=120.0):
    """(n, 4) uint32 rows (frame, donor, hydrogen, acceptor); `box` None or (1 or n_frames, 3, 3)."""
    xyz = np.asarray(xyz, dtype=np.float64)
    pairs = np.asarray(pairs, dtype=np.int64).reshape(-1, 2)
    acceptors = np.asarray(acceptors, dtype=np.int64).reshape(-1)
    limits = criterion(distance_cutoff, angle_cutoff)
    rows = []
    for f, frame in enumerate(xyz):
        d = frame[pairs[:, 0]][:, None]  # (pairs, 1, 3)
        h = frame[pairs[:, 1]][:, None]
        a = frame[acceptors][None]  # (1, acceptors, 3)
        with np.errstate(all="ignore"):  # NaN and infinities are part of the inputs
            v, w = a - h, d - h
            if box is None:
                v, w = (v[..., 0], v[..., 1], v[..., 2]), (w[..., 0], w[..., 1], w[..., 2])
            else:
                cell = np.asarray(box, dtype=np.float64)[f if len(box) > 1 else 0]
                v, w = minimum_image(v, cell), minimum_image(w, cell)
            keep = bonded(v, w, *limits)
        finite = np.isfinite(d).all(-1) & np.isfinite(h).all(-1) & np.isfinite(a).all(-1)
        keep &= finite & (acceptors[None, :] != pairs[:, :1])
        p, k = np.nonzero(keep)
        rows.append(np.column_stack([np.full(len(p), f), pairs[p], acceptors[k]]))
    return np.concatenate(rows or [np.zeros((0, 4))]).astype(np.uint32).reshape(-1, 4)


def cell_from_dimensions(lengths_and_angles):
    """Box vectors as rows from (a, b, c, alpha, beta, gamma), angles in degrees: a along x,
    b in the xy plane."""
    lx, ly, lz, alpha, beta, gamma = map(float, lengths_and_angles)
    cos_a, cos_b, cos_g = (0.0 if t == 90.0 else math.cos(math.radians(t)) for t in (alpha, beta, gamma))
    sin_g = 1.0 if gamma == 90.0 else math.sin(math.radians(gamma))
    cy = (cos_a - cos_b * cos_g) / sin_g
    return np.array([[lx, 0.0, 0.0], [ly * cos_g, ly * sin_g, 0.0],
                     [lz * cos_b, lz * cy, lz * math.sqrt(1.0 - cos_b * cos_b - cy * cy)]])
