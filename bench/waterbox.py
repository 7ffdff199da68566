"""Deterministic synthetic water boxes for benchmarks and demos.

Rigid water molecules at liquid density sit on a jittered simple cubic lattice with random
orientations. The lattice spacing (about 0.31 nm) with bounded jitter keeps every pair of
oxygens at least about 0.25 nm apart, while a hydrogen that happens to point at a neighbouring
oxygen lies within the 0.25 nm hydrogen-bond cut-off of it, so the Baker–Hubbard criterion
finds about 1.5 bonds per molecule (fewer in small boxes, where many molecules sit on the
surface).

Molecules are assigned to lattice sites in random order, as in an equilibrated trajectory, so
atom indices carry no spatial locality. Frames are independent small perturbations (shift and
rotation) of one base configuration; frame k does not depend on how many frames are requested.
"""

from __future__ import annotations

import math

import numpy as np

MOLECULES_PER_NM3 = 33.4
OH_BOND_NM = 0.09572
HOH_ANGLE_DEG = 104.52
MIN_OO_NM = 0.25

# Jitter used, as a share of the bound that keeps oxygens MIN_OO_NM apart. Using all of it
# stretches many O–O distances past about 0.32 nm, where the 120° angle rejects nearly every
# hydrogen, and bonds fall to about 1.2 per molecule; at 0.3 the box has about 1.5.
_JITTER_SHARE = 0.3
# Part of that jitter fixed in the base configuration; the rest moves from frame to frame.
_BASE_JITTER_SHARE = 0.6
_FRAME_ROTATION_SIGMA_RAD = math.radians(8.0)


def _random_rotations(rng: np.random.Generator, n: int) -> np.ndarray:
    """Uniformly distributed rotation matrices, shape (n, 3, 3), from random unit quaternions."""
    u1, u2, u3 = rng.random((3, n))
    a = np.sqrt(1.0 - u1)
    b = np.sqrt(u1)
    w = a * np.sin(2.0 * np.pi * u2)
    x = a * np.cos(2.0 * np.pi * u2)
    y = b * np.sin(2.0 * np.pi * u3)
    z = b * np.cos(2.0 * np.pi * u3)
    return _quaternion_matrices(w, x, y, z)


def _small_rotations(rng: np.random.Generator, n: int, sigma: float) -> np.ndarray:
    """Rotations about random axes by normally distributed angles of spread `sigma` (radians)."""
    axis = rng.normal(size=(n, 3))
    axis /= np.linalg.norm(axis, axis=1, keepdims=True)
    half = 0.5 * rng.normal(scale=sigma, size=n)
    s = np.sin(half)
    return _quaternion_matrices(np.cos(half), axis[:, 0] * s, axis[:, 1] * s, axis[:, 2] * s)


def _quaternion_matrices(w, x, y, z) -> np.ndarray:
    m = np.empty((w.shape[0], 3, 3))
    m[:, 0, 0] = 1.0 - 2.0 * (y * y + z * z)
    m[:, 0, 1] = 2.0 * (x * y - w * z)
    m[:, 0, 2] = 2.0 * (x * z + w * y)
    m[:, 1, 0] = 2.0 * (x * y + w * z)
    m[:, 1, 1] = 1.0 - 2.0 * (x * x + z * z)
    m[:, 1, 2] = 2.0 * (y * z - w * x)
    m[:, 2, 0] = 2.0 * (x * z - w * y)
    m[:, 2, 1] = 2.0 * (y * z + w * x)
    m[:, 2, 2] = 1.0 - 2.0 * (x * x + y * y)
    return m


def _molecule_template() -> np.ndarray:
    """O, H1, H2 in the molecule's own frame, oxygen at the origin, shape (3, 3)."""
    half = math.radians(HOH_ANGLE_DEG) / 2.0
    s, c = OH_BOND_NM * math.sin(half), OH_BOND_NM * math.cos(half)
    return np.array([[0.0, 0.0, 0.0], [s, 0.0, c], [-s, 0.0, c]])


def box_edge_nm(n_molecules: int) -> float:
    """Edge of the cubic box that holds `n_molecules` at liquid density."""
    return (n_molecules / MOLECULES_PER_NM3) ** (1.0 / 3.0)


def water_box(n_molecules: int, n_frames: int = 1, seed: int = 0):
    """Returns (xyz, pairs, acceptors) for a box of rigid water molecules.

    xyz: float64, shape (n_frames, 3 * n_molecules, 3), in nm, atoms O, H1, H2 per molecule,
    all coordinates inside [0, edge) of a cubic box at liquid density.
    pairs: list of (O, H) index tuples, two per molecule. acceptors: list of the O indices.
    """
    if n_molecules < 1:
        raise ValueError("n_molecules must be at least 1")
    if n_frames < 1:
        raise ValueError("n_frames must be at least 1")
    rng = np.random.default_rng(seed)
    edge = box_edge_nm(n_molecules)
    per_side = math.ceil(round(n_molecules ** (1.0 / 3.0), 9))
    spacing = edge / per_side
    # Neighbouring sites are `spacing` apart along an axis; an oxygen may move up to
    # (spacing - MIN_OO_NM) / 2 from its site on every axis without two oxygens coming closer
    # than MIN_OO_NM.
    jitter = _JITTER_SHARE * max(spacing - MIN_OO_NM, 0.0) / 2.0
    base_jitter = _BASE_JITTER_SHARE * jitter
    frame_jitter = jitter - base_jitter

    # Without a perfect cube of molecules, the vacancies are spread at random.
    sites = rng.permutation(per_side**3)[:n_molecules]
    ijk = np.stack(np.unravel_index(sites, (per_side,) * 3), axis=1)
    centres = (ijk + 0.5) * spacing + rng.uniform(-base_jitter, base_jitter, (n_molecules, 3))
    orientations = _random_rotations(rng, n_molecules)
    template = _molecule_template()

    xyz = np.empty((n_frames, 3 * n_molecules, 3))
    for frame in range(n_frames):
        shift = rng.uniform(-frame_jitter, frame_jitter, (n_molecules, 3))
        turn = _small_rotations(rng, n_molecules, _FRAME_ROTATION_SIGMA_RAD)
        rotation = turn @ orientations
        atoms = centres[:, None, :] + np.einsum("mij,aj->mai", rotation, template)
        xyz[frame] = (atoms + shift[:, None, :]).reshape(-1, 3)

    oxygens = range(0, 3 * n_molecules, 3)
    pairs = [(o, o + h) for o in oxygens for h in (1, 2)]
    acceptors = list(oxygens)
    return xyz, pairs, acceptors
