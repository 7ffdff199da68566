"""Periodic boxes (boxes.py): the layouts find_hbonds takes a box in, the cell that lengths and
angles describe, and boxes in a non-reduced form, through find_hbonds and bond_geometry."""

import numpy as np
import pytest

from brenvox_hbond.boxes import box_vectors, reduced_box_vectors
from brenvox_hbond.geometry import bond_geometry
from periodic_reference import cell_from_dimensions, reference_rows
from test_find_hbonds import awkward, place, random_cells, rows, water

# --- box layouts -------------------------------------------------------------------------------

LENGTHS = np.array([[1.9, 2.1, 2.0], [1.8, 2.2, 1.95], [2.05, 1.85, 2.15]])
ANGLES = np.array([[80.0, 95.0, 105.0], [90.0, 90.0, 90.0], [60.0, 60.0, 90.0]])
DIMENSIONS = np.hstack([LENGTHS, ANGLES])
VECTORS = random_cells(np.random.default_rng(5), "rotated", 3)

# id: (box argument for 3 frames, the expected box vectors of each frame)
LAYOUTS = {
    "lengths": (LENGTHS[0], [np.diag(LENGTHS[0])] * 3),
    "lengths-and-angles": (DIMENSIONS[0].tolist(), [cell_from_dimensions(DIMENSIONS[0])] * 3),
    "float32-lengths-and-angles": (DIMENSIONS[0].astype(np.float32),
                                   [cell_from_dimensions(DIMENSIONS[0].astype(np.float32))] * 3),
    "right-angles": ([*LENGTHS[1], 90, 90, 90], [np.diag(LENGTHS[1])] * 3),
    # (3, 3) with three frames: lengths per frame, never box vectors.
    "lengths-per-frame": (LENGTHS, [np.diag(lengths) for lengths in LENGTHS]),
    "lengths-and-angles-per-frame": (DIMENSIONS, [cell_from_dimensions(d) for d in DIMENSIONS]),
    "vectors-per-frame": (VECTORS, VECTORS),
    "vectors-for-all-frames": (VECTORS[:1].tolist(), [VECTORS[0]] * 3),
}


@pytest.mark.parametrize(("box", "cells"), LAYOUTS.values(), ids=LAYOUTS)
def test_box_layouts(box, cells):
    rng = np.random.default_rng(3)
    cells = np.array(cells)
    xyz, pairs, acceptors = water(rng, cells)
    xyz = place(rng, xyz, cells, "wrapped")
    expected = reference_rows(xyz, pairs, acceptors, cells).tolist()
    assert len(expected) > len(rows(xyz, pairs, acceptors))
    assert rows(xyz, pairs, acceptors, box=box) == expected


@pytest.mark.parametrize("dimensions", [(2, 2, 2, 90, 90, 90), (1.5, 2, 2.5, 90, 110, 90), (2, 2, 2, 60, 60, 90),
                                        (2, 2, 2, 70.53, 109.47, 70.53), (3, 2.5, 2, 75, 85, 100),
                                        (2, 2, 2, 120, 120, 90)])
def test_lengths_and_angles_give_the_cell_they_describe(dimensions):
    [cell] = box_vectors(dimensions, 7)
    (_, ay, az), (_, _, bz), (_, _, cz) = cell
    assert ay == az == bz == 0.0 and cz > 0.0
    lengths = np.linalg.norm(cell, axis=1)
    np.testing.assert_allclose(lengths, dimensions[:3], rtol=1e-14)
    cosines = [cell[i] @ cell[j] / (lengths[i] * lengths[j]) for i, j in ((1, 2), (0, 2), (0, 1))]
    np.testing.assert_allclose(np.degrees(np.arccos(cosines)), dimensions[3:], atol=1e-10)
    np.testing.assert_allclose(cell, cell_from_dimensions(dimensions), rtol=1e-14, atol=1e-15)
    if dimensions[3:] == (90, 90, 90):
        assert (cell == np.diag(dimensions[:3])).all()


@pytest.mark.parametrize("box", [[8.0, 8.0, 8.0], [8.0, 8.5, 9.0, 75.0, 80.0, 100.0], VECTORS[:1] * 4.0])
def test_box_far_larger_than_the_system_changes_nothing(box):
    rng = np.random.default_rng(9)
    xyz, pairs, acceptors = water(rng, np.array([np.eye(3) * 2.0] * 3))
    xyz, pairs, acceptors = awkward(rng, xyz + 1.0, pairs, acceptors)
    expected = rows(xyz, pairs, acceptors)
    assert len(expected) >= 10
    assert rows(xyz, pairs, acceptors, box=box) == expected


# --- boxes in a non-reduced form ----------------------------------------------------------------

# A reduced cell, and the same lattice with b' = b + 2a, c' = c - 3b + a; every value is exact in
# binary, so reducing the skewed form gives the reduced one back exactly.
REDUCED = np.array([[9.0, 0.0, 0.0], [1.25, 8.5, 0.0], [-1.5, 1.75, 8.75]])
SKEWED = np.array([REDUCED[0], REDUCED[1] + 2 * REDUCED[0], REDUCED[2] - 3 * REDUCED[1] + REDUCED[0]])


@pytest.mark.parametrize("rotated", [False, True], ids=["lower-triangular", "rotated"])
def test_skewed_form_of_a_box_gives_the_rows_of_its_reduced_form(rotated):
    """Pairs of a hydrogen with another molecule's oxygen, so that D-H offsets are long: their
    nearest image in the skewed form lies beyond the 27 around the rounded one."""
    rng = np.random.default_rng(2)
    xyz, pairs, acceptors = water(rng, np.array([REDUCED] * 2), n_waters=500)
    xyz = place(rng, xyz, np.array([REDUCED] * 2), "wrapped")
    pairs = [(int(rng.choice(acceptors)), hydrogen) for _, hydrogen in pairs]
    reduced, skewed = REDUCED, SKEWED
    if rotated:
        rotation, _ = np.linalg.qr(rng.normal(size=(3, 3)))
        xyz, reduced, skewed = xyz @ rotation, reduced @ rotation, skewed @ rotation
    expected = rows(xyz, pairs, acceptors, box=[reduced], angle_cutoff=30.0)
    assert len(expected) > 500
    if not rotated:
        assert expected == reference_rows(xyz, pairs, acceptors, [reduced], angle_cutoff=30.0).tolist()
    assert rows(xyz, pairs, acceptors, box=[skewed], angle_cutoff=30.0) == expected
    assert rows(xyz, pairs, acceptors, box=[skewed, reduced], angle_cutoff=30.0) == expected
    found = np.array(expected, dtype=np.uint32)
    np.testing.assert_allclose(bond_geometry(xyz, np.array([reduced, skewed]), found),
                               bond_geometry(xyz, np.array([reduced] * 2), found), rtol=1e-9)


R2, R3 = np.sqrt(2), np.sqrt(3)
DODECAHEDRON, OCTAHEDRON = [[4, 0, 0], [0, 4, 0], [2, 2, 2 * R2]], [[3, 0, 0], [1, 2 * R2, 0], [-1, R2, R2 * R3]]
REDUCED_FORMS = {  # id: boxes, one per frame; GROMACS' shapes have components at exactly half
    "dodecahedron": [DODECAHEDRON],
    "octahedron": [OCTAHEDRON],
    "left-handed-hexagonal": [[[4, 0, 0], [2, 2 * R3, 0], [-2, -R3, -4]]],
    "rotated": VECTORS,
    "from-angles": box_vectors([2, 2, 2, 60, 60, 90], 1),
    "negative-zeros": [[[3, -0.0, 0], [-0.0, 3, 0], [0, 0, 3]]],
    "octahedron-from-gro": [[[3.7, 0, 0], [1.23334, 3.48831, 0], [-1.23334, 1.74416, 3.02098]]],
    "per-frame": [DODECAHEDRON, OCTAHEDRON],
}


@pytest.mark.parametrize("cells", REDUCED_FORMS.values(), ids=REDUCED_FORMS)
def test_reduced_boxes_are_used_bit_for_bit(cells):
    """Also those that rounding left a hair beyond half: 60° angles, five decimals in .gro."""
    cells = np.array(cells, dtype=np.float64)
    assert reduced_box_vectors(cells.copy()).tobytes() == cells.tobytes()
