"""find_hbonds: agreement with the exhaustive search and with the periodic NumPy reference, what
reaches the native search, and the errors for bad input (the box layouts are in test_boxes.py)."""

import doctest
import re

import numpy as np
import pytest

import brenvox_hbond_rs
from brenvox_hbond import _native, find_hbonds, hbonds
from periodic_reference import reference_rows

NAN, INF = float("nan"), float("inf")


def random_cells(rng, kind, n_frames):
    """One box per frame, each different, edges 1.6 to 2.2 and perpendicular widths above 1.3."""
    cells = []
    for _ in range(n_frames):
        lx, ly, lz = rng.uniform(1.6, 2.2, 3)
        t = rng.uniform(-0.3, 0.3, 3) if kind != "rectangular" else np.zeros(3)
        cell = np.array([[lx, 0.0, 0.0], [t[0] * lx, ly, 0.0], [t[1] * lx, t[2] * ly, lz]])
        if kind == "rotated":
            q, r = np.linalg.qr(rng.normal(size=(3, 3)))
            q *= np.sign(np.diag(r))
            cell = cell @ (q if np.linalg.det(q) > 0 else -q)
        cells.append(cell)
    return np.array(cells)


def water(rng, cells, n_waters=60):
    """Molecules O, H, H with the oxygen anywhere in the frame's cell and the hydrogens 0.1 from
    it in random directions; pairs are the O-H bonds, acceptors the oxygens."""
    oxygens = rng.random((len(cells), n_waters, 3)) @ cells
    bonds = rng.normal(size=(len(cells), n_waters, 2, 3))
    hydrogens = oxygens[:, :, None] + 0.1 * bonds / np.linalg.norm(bonds, axis=-1, keepdims=True)
    xyz = np.concatenate([oxygens[:, :, None], hydrogens], axis=2).reshape(len(cells), -1, 3)
    return xyz, [(3 * i, 3 * i + k) for i in range(n_waters) for k in (1, 2)], list(range(0, 3 * n_waters, 3))


def place(rng, xyz, cells, placement):
    """Every atom wrapped into its cell (molecules broken at the faces), or moved by several
    whole box vectors (molecules far outside the cell)."""
    if placement == "wrapped":
        fractional = xyz @ np.linalg.inv(cells)
        return (fractional - np.floor(fractional)) @ cells
    return xyz + rng.integers(-5, 6, xyz.shape) @ cells


def awkward(rng, xyz, pairs, acceptors):
    """Duplicates in both lists, a pair whose donor is its hydrogen, a hydrogen among the
    acceptors, and NaN or infinite coordinates of a few atoms (donors among them)."""
    xyz = xyz.copy()
    for f in range(len(xyz)):
        for atom, value in zip(rng.choice(xyz.shape[1], 6, replace=False), [NAN, INF, -INF, INF, NAN, -INF]):
            xyz[f, atom, rng.integers(3)] = value
    return xyz, pairs + pairs[::5] + [(3, 3)], acceptors + acceptors[::4] + [4]


def rows(*args, **kwargs):
    return find_hbonds(*args, **kwargs).tolist()


# --- agreement with the exhaustive search and the reference ---------------------------------------

@pytest.mark.parametrize("seed", range(4))
def test_without_box_equals_the_exhaustive_search(seed):
    rng = np.random.default_rng(seed)
    xyz, pairs, acceptors = awkward(rng, *water(rng, random_cells(rng, "rectangular", 3)))
    expected = brenvox_hbond_rs.run_baker_hubbard_brute(xyz.ravel(), *xyz.shape[:2], pairs, acceptors).tolist()
    assert len(expected) >= 10
    assert rows(xyz, pairs, acceptors) == expected
    assert reference_rows(xyz, pairs, acceptors).tolist() == expected
    single = xyz.astype(np.float32)
    assert rows(single, pairs, acceptors) == rows(single.astype(np.float64), pairs, acceptors)


@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize("placement", ["wrapped", "far-outside"])
@pytest.mark.parametrize("kind", ["rectangular", "triclinic", "rotated"])
def test_periodic_search_equals_the_reference(kind, placement, seed):
    rng = np.random.default_rng(seed)
    cells = random_cells(rng, kind, 3)
    xyz, pairs, acceptors = water(rng, cells)
    xyz, pairs, acceptors = awkward(rng, place(rng, xyz, cells, placement), pairs, acceptors)
    expected = reference_rows(xyz, pairs, acceptors, cells).tolist()
    assert len(expected) >= 20
    assert rows(xyz, pairs, acceptors, box=cells) == expected
    assert rows(xyz, pairs, acceptors, box=cells, n_threads=2) == expected
    assert rows(xyz.astype(np.float32), pairs, acceptors, box=cells) == reference_rows(
        xyz.astype(np.float32), pairs, acceptors, cells).tolist()
    if placement == "wrapped":
        assert len(expected) > len(rows(xyz, pairs, acceptors))


CUTOFFS = [(0.25, 120.0), (0.3, 150.0), (0.2, 90.0), (0.33, 100.5), (0.35, 60.0), (0.3, 89.9),
           (0.3, 45.0), (0.3, 0.0), (0.3, 180.0)]


@pytest.mark.parametrize("periodic", [False, True], ids=["no-box", "box"])
@pytest.mark.parametrize(("distance_cutoff", "angle_cutoff"), CUTOFFS)
def test_cutoffs_equal_the_reference(distance_cutoff, angle_cutoff, periodic):
    rng = np.random.default_rng(11)
    cells = random_cells(rng, "triclinic", 2)
    xyz, pairs, acceptors = water(rng, cells)
    xyz, pairs, acceptors = awkward(rng, place(rng, xyz, cells, "wrapped"), pairs, acceptors)
    box = cells if periodic else None
    cutoffs = dict(distance_cutoff=distance_cutoff, angle_cutoff=angle_cutoff)
    expected = reference_rows(xyz, pairs, acceptors, box, **cutoffs).tolist()
    assert len(expected) >= (0 if angle_cutoff == 180.0 else 10)
    for n_threads in (1, 2):
        assert rows(xyz, pairs, acceptors, box=box, n_threads=n_threads, **cutoffs) == expected


# --- what reaches the native search --------------------------------------------------------------

XYZ = water(np.random.default_rng(1), random_cells(np.random.default_rng(1), "rectangular", 2), 20)[0]

# id: (coordinates, dtype handed on, handed on as the very same array)
COORDINATES = {
    "float64": (XYZ, np.float64, True),
    "float32": (XYZ.astype(np.float32), np.float32, True),
    "strided-float32": (np.repeat(XYZ.astype(np.float32), 2, axis=1)[:, ::2], np.float32, False),
    "big-endian-float32": (XYZ.astype(">f4"), np.float32, False),
    "fortran-order": (np.asfortranarray(XYZ), np.float64, False),
    "unaligned": (np.frombuffer(b"\0" + XYZ.tobytes(), np.float64, offset=1).reshape(XYZ.shape), np.float64, False),
    "int32": ((XYZ * 100).astype(np.int32), np.float64, False),
    "float16": (XYZ.astype(np.float16), np.float64, False),
    "nested-lists": (XYZ.tolist(), np.float64, False),
}
# id: (pairs, acceptors, the int64 values handed on)
INDICES = {
    "lists": ([(0, 1), (3, 4)], [6, 0], ([[0, 1], [3, 4]], [6, 0])),
    "fortran-int32-and-int16": (np.asfortranarray([[0, 1], [3, 4]], np.int32), np.array([6, 0], np.int16),
                                ([[0, 1], [3, 4]], [6, 0])),
    "big-endian-and-strided": (np.array([[0, 1, 3, 4]], ">i8").reshape(2, 2), np.arange(12, dtype=">u4")[::6],
                               ([[0, 1], [3, 4]], [0, 6])),
    "uint64-and-range": (np.array([[3, 5]], np.uint64), range(6, 0, -3), ([[3, 5]], [6, 3])),
    "object-and-numpy-scalars": (np.array([[0, 2]], dtype=object), [np.uint64(3), np.int8(6)], ([[0, 2]], [3, 6])),
    "empty-lists": ([], [], (np.zeros((0, 2)), [])),
    "empty-arrays": (np.zeros((0, 2), np.int32), np.zeros(0, np.uint8), (np.zeros((0, 2)), [])),
}


@pytest.mark.parametrize(("pairs", "acceptors", "expected"), INDICES.values(), ids=INDICES)
@pytest.mark.parametrize(("xyz", "dtype", "same"), COORDINATES.values(), ids=COORDINATES)
def test_inputs_reach_the_native_search_normalised(monkeypatch, xyz, dtype, same, pairs, acceptors, expected):
    calls, search = [], _native.find_hbonds
    monkeypatch.setattr(_native, "find_hbonds", lambda *args: calls.append(args) or search(*args))
    result = find_hbonds(xyz, pairs, acceptors, box=[3.0, 3.0, 3.0], n_threads=np.int8(2))
    [(coordinates, pairs_arg, acceptors_arg, box, distance, angle, n_threads, form)] = calls
    assert coordinates.dtype == dtype and coordinates.dtype.isnative and coordinates.flags.c_contiguous
    assert coordinates.flags.aligned and (coordinates is xyz) == same
    np.testing.assert_array_equal(coordinates, np.asarray(xyz, dtype=np.float64))
    for array, values in ((pairs_arg, expected[0]), (acceptors_arg, expected[1])):
        assert array.dtype == np.int64 and array.dtype.isnative and array.flags.c_contiguous
        assert array.tolist() == np.asarray(values, dtype=np.int64).tolist()
    assert pairs_arg.shape[1:] == (2,) and acceptors_arg.ndim == 1
    assert box.dtype == np.float64 and box.flags.c_contiguous and box.tolist() == [np.diag([3.0] * 3).tolist()]
    assert (type(distance), type(angle), type(n_threads)) == (float, float, int) and n_threads == 2
    assert form == (False, False, False, False, False, float("inf"), 0.0)
    assert result.dtype == np.uint32 and result.shape[1:] == (4,)
    expected_rows = reference_rows(coordinates, pairs_arg, acceptors_arg, box)
    assert result.tolist() == expected_rows.tolist()


LINE = [[0.0, 0.0, 0.0], [0.1, 0.0, 0.0], [0.3, 0.0, 0.0]]
EMPTY = {  # id: (xyz, pairs, acceptors)
    "no-frames": (np.zeros((0, 3, 3)), [(0, 1)], [2]),
    "no-atoms": (np.zeros((2, 0, 3)), [], []),
    "no-pairs": (np.array([LINE] * 2), [], [2]),
    "no-acceptors": (np.array([LINE] * 2), [(0, 1)], []),
}


@pytest.mark.parametrize("layout", ["none", "lengths", "per-frame-lengths", "per-frame-vectors"])
@pytest.mark.parametrize(("xyz", "pairs", "acceptors"), EMPTY.values(), ids=EMPTY)
def test_empty_results(xyz, pairs, acceptors, layout):
    box = {"none": None, "lengths": [1.0, 1.0, 1.0], "per-frame-lengths": np.ones((len(xyz), 3)),
           "per-frame-vectors": np.tile(np.eye(3), (len(xyz), 1, 1))}[layout]
    result = find_hbonds(xyz, pairs, acceptors, box=box)
    assert result.dtype == np.uint32 and result.shape == (0, 4)


def test_docstring_examples():
    outcome = doctest.testmod(hbonds)
    assert outcome.attempted >= 3 and outcome.failed == 0


# --- errors ----------------------------------------------------------------------------------

GOOD = dict(xyz=np.array([LINE]), donor_h_pairs=[(0, 1)], acceptors=[2])
TWO_FRAMES = np.repeat(GOOD["xyz"], 2, axis=0)
SHAPES = r"\(3,\), \(6,\), \(n_frames, 3\), \(n_frames, 6\), \(n_frames, 3, 3\) or \(1, 3, 3\)"
NOT_A_CELL = "is not a periodic cell"
BOOL_PAIRS, BOOL_ACCEPTORS = (f"{name} must hold integer atom indices, got dtype bool" for name in ("donor_h_pairs",
                                                                                                  "acceptors"))
FLAT = "box of frame 0 is degenerate: its vectors span no volume"
OUT_OF_RANGE = (r"box of frame %d cannot be used: computing with its volume %sflows double precision \(longest edge "
                r"%s\); check that the box is in the coordinates' unit \(nm for the default cut-off\)")


def outside(entry, value, n_atoms=3):
    """The whole message of the IndexError for an index outside the atoms."""
    return f"^{re.escape(entry)} = {value} is outside the 0\\.\\.{n_atoms - 1} range of atom indices$"


# id: (arguments replaced, exception, pattern of its message)
BAD_INPUTS = {
    "xyz-bool": (dict(xyz=GOOD["xyz"] > 0), TypeError, "xyz must hold real coordinates.*bool"),
    "xyz-complex": (dict(xyz=GOOD["xyz"] + 0j), TypeError, "xyz.*complex128"),
    "xyz-object": (dict(xyz=GOOD["xyz"].astype(object)), TypeError, "xyz.*object"),
    "xyz-strings": (dict(xyz=[[["0", "0", "0"]] * 3]), TypeError, "xyz"),
    "xyz-one-frame-2d": (dict(xyz=GOOD["xyz"][0]), ValueError,
                         r"xyz must have shape \(n_frames, n_atoms, 3\), got shape \(3, 3\)"),
    "xyz-last-axis-2": (dict(xyz=GOOD["xyz"][..., :2]), ValueError, r"xyz.*\(n_frames, n_atoms, 3\).*\(1, 3, 2\)"),
    "xyz-4d": (dict(xyz=GOOD["xyz"][None]), ValueError, r"xyz.*\(1, 1, 3, 3\)"),
    "xyz-ragged": (dict(xyz=[[[0, 0, 0]], [[0, 0]]]), ValueError, "xyz"),
    "pairs-float": (dict(donor_h_pairs=[(0.0, 1.0)]), TypeError, "donor_h_pairs.*integer.*float64"),
    "pairs-bool": (dict(donor_h_pairs=np.array([[False, True]])), TypeError, f"^{BOOL_PAIRS}$"),
    "pairs-python-bool": (dict(donor_h_pairs=((0, 1), [True, 1])), TypeError, f"^{BOOL_PAIRS}$"),
    "pairs-bool-array-row": (dict(donor_h_pairs=[(0, 2), np.array([False, True])]), TypeError, f"^{BOOL_PAIRS}$"),
    "pairs-none": (dict(donor_h_pairs=[(0, None)]), TypeError, "donor_h_pairs"),
    "pairs-strings": (dict(donor_h_pairs=[("0", "1")]), TypeError, "donor_h_pairs"),
    "pairs-flat": (dict(donor_h_pairs=[0, 1]), ValueError,
                   r"donor_h_pairs must have shape \(n_pairs, 2\), got shape \(2,\)"),
    "pairs-triples": (dict(donor_h_pairs=[(0, 1, 2)]), ValueError, r"donor_h_pairs.*\(1, 3\)"),
    "pairs-ragged": (dict(donor_h_pairs=[(0, 1), (2,)]), ValueError, "donor_h_pairs"),
    "pairs-outside": (dict(donor_h_pairs=[(0, 1), (0, 3)]), IndexError, outside("donor_h_pairs[1][1]", 3)),
    "pairs-negative": (dict(donor_h_pairs=[(-1, 1)]), IndexError, outside("donor_h_pairs[0][0]", -1)),
    "pairs-2**63": (dict(donor_h_pairs=[(0, 1), (2**63, 1)]), IndexError, outside("donor_h_pairs[1][0]", 2**63)),
    "pairs-2**70": (dict(donor_h_pairs=[(0, 2**70)]), IndexError, outside("donor_h_pairs[0][1]", 2**70)),
    "pairs-below-int64": (dict(donor_h_pairs=[(0, -(2**63) - 1)]), IndexError,
                          outside("donor_h_pairs[0][1]", -(2**63) - 1)),
    "pairs-uint64": (dict(donor_h_pairs=np.array([[0, 2**64 - 1]], np.uint64)), IndexError,
                     outside("donor_h_pairs[0][1]", 2**64 - 1)),
    "pairs-first-outside-wins": (dict(donor_h_pairs=[(5, 1), (0, 2**63)]), IndexError,
                                 outside("donor_h_pairs[0][0]", 5)),
    "pairs-before-acceptors": (dict(donor_h_pairs=[(0, 7)], acceptors=[2**64]), IndexError,
                               outside("donor_h_pairs[0][1]", 7)),
    "pairs-no-atoms": (dict(xyz=np.zeros((1, 0, 3)), acceptors=[]), IndexError, outside("donor_h_pairs[0][0]", 0, 0)),
    "acceptors-float": (dict(acceptors=[2.0]), TypeError, "acceptors.*integer"),
    "acceptors-numpy-bool": (dict(acceptors=[np.True_, 2]), TypeError, f"^{BOOL_ACCEPTORS}$"),
    "acceptors-0d-bool-array": (dict(acceptors=[2, np.array(True)]), TypeError, f"^{BOOL_ACCEPTORS}$"),
    "acceptors-string": (dict(acceptors="2"), TypeError, "acceptors"),
    "acceptors-set": (dict(acceptors={2}), TypeError, "acceptors.*set"),
    "acceptors-2d": (dict(acceptors=[[2]]), ValueError,
                     r"acceptors must have shape \(n_acceptors,\), got shape \(1, 1\)"),
    "acceptors-scalar": (dict(acceptors=2), ValueError, r"acceptors.*\(\)"),
    "acceptors-outside": (dict(acceptors=[2, 3]), IndexError, outside("acceptors[1]", 3)),
    "acceptors-2**64": (dict(acceptors=[0, 2**64]), IndexError, outside("acceptors[1]", 2**64)),
    "acceptors-uint64": (dict(acceptors=np.array([2**63], np.uint64)), IndexError, outside("acceptors[0]", 2**63)),
    "box-complex": (dict(box=[3.0, 3.0, 3.0j]), TypeError, "box.*complex"),
    "box-strings": (dict(box=["3", "3", "3"]), TypeError, "box"),
    "box-(4,)": (dict(box=[3.0] * 4), ValueError, f"box must have shape {SHAPES}, got shape \\(4,\\)"),
    "box-scalar": (dict(box=3.0), ValueError, r"box must have shape.*got shape \(\)"),
    "box-(2, 3, 3, 3)": (dict(box=np.ones((2, 3, 3, 3))), ValueError, "box must have shape"),
    "box-(3, 2)": (dict(box=np.ones((3, 2))), ValueError, "box must have shape"),
    "box-2d-frame-count": (dict(box=[[3.0] * 3] * 3), ValueError, r"box of shape \(3, 3\).* 3 .*xyz.* 1"),
    "box-3d-frame-count": (dict(xyz=TWO_FRAMES, box=np.ones((3, 3, 3))), ValueError, r"box of shape \(3, 3, 3\).*2"),
    "box-zero-length": (dict(box=[3.0, 0.0, 3.0]), ValueError, r"^box = \(3\.0, 0\.0, 3\.0\) " + NOT_A_CELL),
    "box-negative-length": (dict(box=[-3.0, 3.0, 3.0, 90, 90, 90]), ValueError, "^box = .*" + NOT_A_CELL),
    "box-nan-length": (dict(box=[3.0, NAN, 3.0]), ValueError, NOT_A_CELL),
    "box-infinite-angle": (dict(box=[3.0, 3.0, 3.0, 90, INF, 90]), ValueError, NOT_A_CELL),
    "box-zero-angle": (dict(box=[3.0, 3.0, 3.0, 90, 90, 0]), ValueError, NOT_A_CELL),
    "box-straight-angle": (dict(box=[3.0, 3.0, 3.0, 180, 90, 90]), ValueError, NOT_A_CELL),
    "box-angles-no-cell": (dict(box=[3.0, 3.0, 3.0, 30, 30, 90]), ValueError, "^box = .*angles cannot meet"),
    "box-angles-past-flat": (dict(box=[3.0, 3.0, 3.0, 130, 130, 120]), ValueError, "angles cannot meet"),
    "box-second-frame": (dict(xyz=TWO_FRAMES, box=[[3.0] * 6, [3.0, 3.0, 3.0, 90, 90, -90]]), ValueError,
                         r"^box\[1\] = \(3\.0, 3\.0, 3\.0, 90\.0, 90\.0, -90\.0\) " + NOT_A_CELL),
    "box-vectors-nan": (dict(box=[[[3, 0, 0], [0, 3, 0], [0, 0, NAN]]]), ValueError, "box"),
    "box-vectors-flat": (dict(box=[[[3, 0, 0], [0, 3, 0], [3, 3, 0]]]), ValueError, f"^{FLAT}$"),
    "box-vectors-flat-huge": (dict(box=[[[1e300, 0, 0], [0, 1e300, 0], [1e300, 1e300, 0]]]), ValueError, f"^{FLAT}$"),
    "box-volume-overflows": (dict(box=[1e300] * 3), ValueError, f"^{OUT_OF_RANGE % (0, 'over', r'1e\+300')}$"),
    "box-volume-overflows-in-products": (dict(box=[[[1e100, 0, 0], [0, 1e100, 0], [0, 0, 1.0]]]), ValueError,
                                         OUT_OF_RANGE % (0, "over", r"1e\+100")),
    "box-volume-underflows": (dict(xyz=TWO_FRAMES, box=[[3.0] * 3, [1e-200] * 3]), ValueError,
                              OUT_OF_RANGE % (1, "under", "1e-200")),
    "box-vectors-second-frame": (dict(xyz=TWO_FRAMES, box=[np.eye(3) * 3, np.zeros((3, 3))]), ValueError, "box"),
    "box-too-small": (dict(box=[3.0, 0.5, 3.0]), ValueError, "distance_cutoff"),
    "box-too-thin": (dict(box=[[[3, 0, 0], [2.9, 0.49, 0], [0, 0, 3]]]), ValueError, "distance_cutoff"),
    "box-too-small-for-cutoff": (dict(box=[1.0] * 3, distance_cutoff=0.5), ValueError,
                                 r"^distance_cutoff 0\.5 must be below 0\.5, half the smallest perpendicular "
                                 r"width of the box \(1\.0 in frame 0\)$"),
    "box-too-small-in-frame-3": (dict(xyz=np.repeat(GOOD["xyz"], 4, axis=0), box=[[3.0] * 3] * 3 + [[3.0, 1.1, 3.0]],
                                      distance_cutoff=0.6), ValueError,
                                 r"^distance_cutoff 0\.6 must be below 0\.55, half the smallest perpendicular "
                                 r"width of the box \(1\.1 in frame 3\)$"),
    "distance-zero": (dict(distance_cutoff=0), ValueError, "distance_cutoff"),
    "distance-negative": (dict(distance_cutoff=-0.25), ValueError, "distance_cutoff"),
    "distance-nan": (dict(distance_cutoff=NAN), ValueError, "distance_cutoff"),
    "distance-infinite": (dict(distance_cutoff=INF), ValueError, "distance_cutoff"),
    "distance-string": (dict(distance_cutoff="0.25"), TypeError, "distance_cutoff"),
    "distance-complex": (dict(distance_cutoff=0.25j), TypeError, "distance_cutoff"),
    "distance-bool": (dict(distance_cutoff=True), TypeError, "distance_cutoff"),
    "angle-negative": (dict(angle_cutoff=-1), ValueError, "angle_cutoff"),
    "angle-above-180": (dict(angle_cutoff=180.5), ValueError, "angle_cutoff"),
    "angle-nan": (dict(angle_cutoff=NAN), ValueError, "angle_cutoff"),
    "threads-zero": (dict(n_threads=0), ValueError, "n_threads"),
    "threads-negative": (dict(n_threads=-2), ValueError, "n_threads"),
    "threads-float": (dict(n_threads=2.0), TypeError, "n_threads"),
    "threads-string": (dict(n_threads="2"), TypeError, "n_threads"),
    "threads-bool": (dict(n_threads=True), TypeError, "n_threads"),
}


@pytest.mark.parametrize(("replaced", "error", "pattern"), BAD_INPUTS.values(), ids=BAD_INPUTS)
def test_bad_input_raises(replaced, error, pattern):
    arguments = {**GOOD, **replaced}
    with pytest.raises(error, match=pattern) as caught:
        find_hbonds(**arguments)
    assert type(caught.value) is error


# --- threads -----------------------------------------------------------------------------------

def liquid(n_frames, n_waters=4000, seed=0):
    rng = np.random.default_rng(seed)
    edge = (n_waters / 33.4) ** (1 / 3)
    cells = np.array([np.eye(3) * edge] * n_frames)
    return (*water(rng, cells, n_waters), cells)


@pytest.mark.parametrize("n_threads", [3, 100_000, 2**63])
def test_thread_counts_beyond_the_frames_or_the_pool_limit_change_nothing(n_threads):
    xyz, pairs, acceptors, cells = liquid(2, n_waters=300)
    assert rows(xyz, pairs, acceptors, box=cells, n_threads=n_threads) == rows(xyz, pairs, acceptors, box=cells)


def test_left_handed_box_gives_the_rows_of_the_right_handed_one():
    xyz, pairs, acceptors, cells = liquid(2, n_waters=300)
    mirrored = cells.copy()
    mirrored[:, 2] *= -1.0
    expected = rows(xyz, pairs, acceptors, box=cells)
    assert len(expected) > len(rows(xyz, pairs, acceptors))
    assert rows(xyz, pairs, acceptors, box=mirrored) == expected


def test_search_runs_without_the_interpreter_lock():
    """A Python thread keeps running while a search is under way, and concurrent searches from
    several Python threads give the rows of a lone search."""
    import threading
    import time

    xyz, pairs, acceptors, cells = liquid(60)
    pairs, acceptors = np.array(pairs, dtype=np.int64), np.array(acceptors, dtype=np.int64)
    expected = find_hbonds(xyz, pairs, acceptors, box=cells)
    beats, stop = [], threading.Event()

    def heartbeat():
        while not stop.is_set():
            beats.append(time.perf_counter())

    beating = threading.Thread(target=heartbeat)
    beating.start()
    try:
        start = time.perf_counter()
        result = _native.find_hbonds(xyz, pairs, acceptors, cells, 0.25, 120.0, 1)
        end = time.perf_counter()
    finally:
        stop.set()
        beating.join()
    middle = (start + 0.25 * (end - start), end - 0.25 * (end - start))
    assert any(middle[0] < beat < middle[1] for beat in beats)
    assert np.array_equal(result, expected)

    results = [None] * 4

    def search(slot):
        results[slot] = find_hbonds(xyz, pairs, acceptors, box=cells, n_threads=slot % 2 + 1)

    threads = [threading.Thread(target=search, args=(slot,)) for slot in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert all(np.array_equal(result, expected) for result in results)
