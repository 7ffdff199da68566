"""D–A and H–A distances and D–H–A angles of found bonds, with the minimum image in a box."""

from __future__ import annotations

import itertools

import numpy as np
import numpy.typing as npt

from .boxes import reduced_box_vectors

Float64Array = npt.NDArray[np.float64]

_NEIGHBOUR_SHIFTS = np.array(list(itertools.product((-1, 0, 1), repeat=3)), dtype=np.float64)


def minimum_image(vectors: Float64Array, box: Float64Array | None) -> Float64Array:
    """Each vector (n, 3) replaced by its shortest periodic image in its box (n, 3, 3), rows a, b, c,
    reduced as `boxes.reduced_box_vectors` leaves them."""
    if box is None:
        return vectors
    fractional = np.einsum("nj,nji->ni", vectors, inverse_boxes(box))
    reduced = vectors - np.einsum("nj,nji->ni", np.rint(fractional), box)
    if _all_rectangular(box):
        return np.asarray(reduced, dtype=np.float64)
    # In a skewed box the rounded image can be beaten by one of its 26 neighbours.
    candidates = reduced[:, None, :] - np.einsum("sj,nji->nsi", _NEIGHBOUR_SHIFTS, box)
    best = np.argmin(np.einsum("nsi,nsi->ns", candidates, candidates), axis=1)
    return np.asarray(candidates[np.arange(len(vectors)), best], dtype=np.float64)


def inverse_boxes(box: Float64Array) -> Float64Array:
    """The inverse of each 3×3 matrix, by cofactors: LAPACK (np.linalg.inv) sets up buffers of
    its own, which can end the process when memory is short."""
    a, b, c = box[:, 0], box[:, 1], box[:, 2]
    cofactors = np.stack([np.cross(b, c), np.cross(c, a), np.cross(a, b)], axis=2)
    determinant = np.einsum("ni,ni->n", a, cofactors[:, :, 0])
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.asarray(cofactors / determinant[:, None, None], dtype=np.float64)


def _all_rectangular(box: Float64Array) -> bool:
    off_diagonal = box.copy()
    off_diagonal[:, [0, 1, 2], [0, 1, 2]] = 0.0
    return not np.any(off_diagonal)


def bond_geometry(
    xyz: npt.NDArray[np.floating],
    box: Float64Array | None,
    rows: npt.NDArray[np.integer],
) -> tuple[Float64Array, Float64Array, Float64Array]:
    """(D–A distance, H–A distance, D–H–A angle in degrees) of each (frame, donor, hydrogen,
    acceptor) row, frames counted within `xyz` (n_frames, n_atoms, 3)."""
    if box is not None:
        box = reduced_box_vectors(box)  # as the search took it: images are found near rounding
    frame = rows[:, 0].astype(np.intp)
    donor = xyz[frame, rows[:, 1].astype(np.intp)].astype(np.float64)
    hydrogen = xyz[frame, rows[:, 2].astype(np.intp)].astype(np.float64)
    acceptor = xyz[frame, rows[:, 3].astype(np.intp)].astype(np.float64)
    row_box = None if box is None else box[frame if len(box) > 1 else np.zeros_like(frame)]
    h_to_a = minimum_image(acceptor - hydrogen, row_box)
    h_to_d = minimum_image(donor - hydrogen, row_box)
    d_to_a = minimum_image(acceptor - donor, row_box)
    ha = np.sqrt(np.einsum("ni,ni->n", h_to_a, h_to_a))
    hd = np.sqrt(np.einsum("ni,ni->n", h_to_d, h_to_d))
    with np.errstate(divide="ignore", invalid="ignore"):  # coincident atoms: NaN angle
        cosine = np.einsum("ni,ni->n", h_to_a, h_to_d) / (ha * hd)
    angle = np.degrees(np.arccos(np.clip(cosine, -1.0, 1.0)))
    return np.sqrt(np.einsum("ni,ni->n", d_to_a, d_to_a)), ha, angle
