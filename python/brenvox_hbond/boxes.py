"""Every accepted layout of `box` turned into box vectors: float64 (n_boxes, 3, 3), one vector a row."""

from typing import Any

import numpy as np
import numpy.typing as npt

from ._arrays import real_array

# A component beyond half by less than this share of the vector it is compared with is left as it
# is: files and conversions from lengths and angles leave reduced boxes a hair beyond half (a
# .gro file keeps five decimals; cos(60°) is 0.5000000000000001).
_MARGIN = 5e-4

ACCEPTED_SHAPES = "(3,), (6,), (n_frames, 3), (n_frames, 6), (n_frames, 3, 3) or (1, 3, 3)"


def box_vectors(box: npt.ArrayLike | None, n_frames: int) -> npt.NDArray[np.float64] | None:
    """Box vectors for `n_frames` frames: None for no box, else a C-contiguous float64 array of
    shape (1, 3, 3) (one box for every frame) or (n_frames, 3, 3).

    The number of dimensions decides the layout: 1-D is one box given by edge lengths (and
    angles), 2-D one such box per frame, 3-D box vectors as rows. Raises TypeError for values
    that are not real numbers and ValueError for any other shape or an impossible cell.
    """
    if box is None:
        return None
    array = real_array(box, "box", ACCEPTED_SHAPES, "real numbers")
    shape = array.shape
    if array.ndim == 1 and shape[0] in (3, 6):
        return _from_dimensions(array.reshape(1, -1), per_frame=False)
    if array.ndim == 2 and shape[1] in (3, 6):
        _check_frame_count(shape, n_frames)
        return _from_dimensions(array, per_frame=True)
    if array.ndim == 3 and shape[1:] == (3, 3):
        if shape[0] != 1:
            _check_frame_count(shape, n_frames)
        return np.require(array, dtype=np.float64, requirements=["C", "A"])
    raise ValueError(f"box must have shape {ACCEPTED_SHAPES}, got shape {shape}")


def reduced_box_vectors(vectors: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The same lattices, each box in the reduced form GROMACS keeps, so that the nearest image
    of any vector lies among the 27 around its rounded fractional coordinates.

    In lower-triangular form (a along x, b in the xy plane), c is reduced by b, then by a, then
    b by a, by whole multiples, until |c_y| <= |b_y|/2, |c_x| <= |a_x|/2 and |b_x| <= |a_x|/2. A
    vector is changed only when it lies beyond half by more than _MARGIN, so reduced boxes (all
    that MDTraj, MDAnalysis and GROMACS write) come back untouched, bit for bit. Boxes not in
    that form are rotated into it (QR) to find the multiples, which are applied to the vectors as
    given. A box that is flat, not finite or would overflow is left for the search to refuse."""
    if _reduced(vectors):
        return vectors
    a, b = vectors[:, 0], vectors[:, 1]
    rotate = ~((a[:, 1] == 0.0) & (a[:, 2] == 0.0) & (b[:, 2] == 0.0)) & np.isfinite(vectors).all(axis=(1, 2))
    frame = vectors
    if rotate.any():
        frame = vectors.copy()
        _, r = np.linalg.qr(np.swapaxes(vectors[rotate], 1, 2))  # rows = r^T q^T, r^T lower-triangular
        frame[rotate] = np.swapaxes(r, 1, 2)
    with np.errstate(all="ignore"):
        c_by_b = _multiples(frame[:, 2, 1], frame[:, 1, 1])
        c_by_a = _multiples(frame[:, 2, 0] - c_by_b * frame[:, 1, 0], frame[:, 0, 0])
        b_by_a = _multiples(frame[:, 1, 0], frame[:, 0, 0])
        changed = (c_by_b != 0.0) | (c_by_a != 0.0) | (b_by_a != 0.0)
        if not changed.any():
            return vectors
        reduced = vectors.copy()
        which = np.flatnonzero(changed)
        a, b, c = (vectors[which, i] for i in range(3))
        c = (c - c_by_b[which, None] * b) - c_by_a[which, None] * a
        b = b - b_by_a[which, None] * a
        reduced[which, 1], reduced[which, 2] = b, c
    finite = np.isfinite(reduced[which]).all(axis=(1, 2))
    reduced[which[~finite]] = vectors[which[~finite]]
    return reduced


def _reduced(vectors: npt.NDArray[np.float64]) -> bool:
    """Whether every box is lower-triangular and within half: the common case, told quickly."""
    h = 0.5 + _MARGIN
    if len(vectors) == 1:  # one box for every frame: plain floats are quicker than NumPy here
        (ax, ay, az), (bx, by, bz), (cx, cy, _) = vectors[0].tolist()
        return bool(ay == az == bz == 0.0 and abs(bx) <= h * abs(ax) and abs(cx) <= h * abs(ax)
                    and abs(cy) <= h * abs(by))
    v = np.abs(vectors)
    return not (v[:, 0, 1:].any() or v[:, 1, 2].any() or (v[:, 1:, 0] > h * v[:, :1, 0]).any()
                or (v[:, 2, 1] > h * v[:, 1, 1]).any())


def _multiples(component: npt.NDArray[np.float64], along: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """How many times to take the vector whose own component is `along` off one whose component is
    `component`: the nearest whole number when it lies beyond half of it, else 0."""
    beyond = (np.abs(component) > (0.5 + _MARGIN) * np.abs(along)) & (along != 0.0)
    return np.where(beyond & np.isfinite(component / along), np.rint(component / along), 0.0)


def _check_frame_count(shape: tuple[int, ...], n_frames: int) -> None:
    if shape[0] != n_frames:
        raise ValueError(
            f"box of shape {shape} has {shape[0]} boxes, but xyz has n_frames = {n_frames}; "
            f"box must have shape {ACCEPTED_SHAPES}"
        )


def _from_dimensions(dimensions: npt.NDArray[Any], per_frame: bool) -> npt.NDArray[np.float64]:
    """Rows of (a, b, c) or (a, b, c, alpha, beta, gamma), angles in degrees, as box vectors the
    way MDAnalysis' triclinic_vectors builds them: a along x, b in the xy plane."""
    dimensions = dimensions.astype(np.float64)
    lengths = dimensions[:, :3]
    if dimensions.shape[1] == 3:
        return _rectangular(lengths, per_frame)
    angles = dimensions[:, 3:]

    # Comparisons written so that NaN fails them.
    valid = np.all((lengths > 0.0) & (lengths < np.inf) & (angles > 0.0) & (angles < 180.0), axis=1)
    _raise_for_first_invalid(dimensions, valid, per_frame, "edge lengths must be finite and positive, "
                             "angles finite and strictly between 0 and 180 degrees")

    # Right angles get exact cosines and sines, so a rectangular box has exact zeros off the diagonal.
    right = angles == 90.0
    radians = np.radians(angles)
    cosines = np.where(right, 0.0, np.cos(radians))
    sin_gamma = np.where(right[:, 2], 1.0, np.sin(radians[:, 2]))
    cos_alpha, cos_beta, cos_gamma = cosines.T
    lx, ly, lz = lengths.T
    with np.errstate(over="ignore", invalid="ignore"):
        cy = (cos_alpha - cos_beta * cos_gamma) / sin_gamma
        squared = (1.0 - cos_beta * cos_beta) - cy * cy
        _raise_for_first_invalid(dimensions, squared > 0.0, per_frame,
                                 "these three angles cannot meet at a corner of a cell")
        vectors = np.zeros((len(dimensions), 3, 3))
        vectors[:, 0, 0] = lx
        vectors[:, 1, 0] = ly * cos_gamma
        vectors[:, 1, 1] = ly * sin_gamma
        vectors[:, 2, 0] = lz * cos_beta
        vectors[:, 2, 1] = lz * cy
        vectors[:, 2, 2] = lz * np.sqrt(squared)
    return vectors


def _rectangular(lengths: npt.NDArray[np.float64], per_frame: bool) -> npt.NDArray[np.float64]:
    """Diagonal box vectors from edge lengths; the common case, kept to a few NumPy calls."""
    valid = ((lengths > 0.0) & (lengths < np.inf)).all(axis=1)
    _raise_for_first_invalid(lengths, valid, per_frame, "edge lengths must be finite and positive")
    vectors = np.zeros((len(lengths), 3, 3))
    vectors[:, [0, 1, 2], [0, 1, 2]] = lengths
    return vectors


def _raise_for_first_invalid(
    dimensions: npt.NDArray[np.float64], valid: npt.NDArray[np.bool_], per_frame: bool, reason: str
) -> None:
    bad = np.flatnonzero(~valid)
    if len(bad):
        name = f"box[{bad[0]}]" if per_frame else "box"
        values = ", ".join(repr(float(value)) for value in dimensions[bad[0]])
        raise ValueError(f"{name} = ({values}) is not a periodic cell: {reason}")


def perpendicular_widths(vectors: npt.NDArray[np.float64]) -> npt.NDArray[np.float64]:
    """The smallest distance between opposite faces of each box (n_boxes, 3, 3)."""
    a, b, c = vectors[:, 0], vectors[:, 1], vectors[:, 2]
    with np.errstate(all="ignore"):
        volume = np.abs(np.einsum("ni,ni->n", a, np.cross(b, c)))
        faces = np.sqrt(np.stack([np.einsum("ni,ni->n", face, face)
                                  for face in (np.cross(b, c), np.cross(c, a), np.cross(a, b))], axis=1))
        return np.asarray(volume / faces.max(axis=1), dtype=np.float64)
