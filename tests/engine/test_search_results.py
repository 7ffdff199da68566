"""What the three searches return: the bond geometry, the order of the rows, the choice between
the exhaustive and the grid search, and agreement with the NumPy reference."""

import mmap

import numpy as np
import pytest

from helpers import random_system
from reference import GRID_THRESHOLD, chosen_search, reference_rows

NAN, INF = float("nan"), float("inf")


def search(function, frames, pairs, acceptors):
    frames = np.asarray(frames, dtype=np.float64)
    return function(frames.ravel(), frames.shape[0], frames.shape[1], pairs, acceptors).tolist()


def pad_to_grid(frames, pairs, acceptors):
    """The same search with one far-away atom added as an acceptor often enough that the grid
    search is chosen; it bonds with nothing, so the expected rows stay the same."""
    frames = np.asarray(frames, dtype=np.float64)
    far = np.full((frames.shape[0], 1, 3), 1000.0)
    n_extra = max(-(-GRID_THRESHOLD // len(pairs)) - len(acceptors), 0)
    return np.concatenate([frames, far], axis=1), pairs, [*acceptors] + [frames.shape[1]] * n_extra


# --- geometry ----------------------------------------------------------------------------------

# Hydrogen at the origin: (donor, acceptor, bonded).
GEOMETRY = {
    "straight-line": ((1, 0, 0), (-0.2, 0, 0), True),
    "at-cutoff": ((1, 0, 0), (-0.25, 0, 0), False),
    "inside-cutoff": ((1, 0, 0), (-0.2499, 0, 0), True),
    "one-ulp-inside-cutoff": ((1, 0, 0), (np.nextafter(-0.25, 0.0), 0, 0), True),
    "angle-exactly-120": ((1, 1, 0), (-0.125, 0, 0.125), False),
    "angle-129": ((1, 1, 0), (-0.125, 0, 0.0625), True),
    "angle-90": ((1, 0, 0), (0, 0.1, 0), False),
    "acceptor-on-hydrogen": ((1, 0, 0), (0, 0, 0), False),
    "donor-on-hydrogen": ((0, 0, 0), (-0.1, 0, 0), False),
    "nan-acceptor": ((1, 0, 0), (NAN, 0, 0), False),
    "infinite-donor": ((INF, 0, 0), (-0.1, 0, 0), False),
}


@pytest.mark.parametrize("padded", [False, True], ids=["small", "grid-sized"])
@pytest.mark.parametrize(("donor", "acceptor", "bonded"), GEOMETRY.values(), ids=GEOMETRY.keys())
def test_geometry(search_fn, donor, acceptor, bonded, padded):
    system = ([[donor, (0, 0, 0), acceptor]], [(0, 1)], [2])
    if padded:
        system = pad_to_grid(*system)
    expected = [[0, 0, 1, 2]] if bonded else []
    assert search(search_fn, *system) == expected


@pytest.mark.parametrize("order", ["exhaustive", "grid"])
@pytest.mark.parametrize(("donor", "acceptor", "bonded"), GEOMETRY.values(), ids=GEOMETRY.keys())
def test_reference_geometry(donor, acceptor, bonded, order):
    xyz = np.array([donor, (0, 0, 0), acceptor], dtype=np.float64).ravel()
    assert reference_rows(xyz, 1, 3, [(0, 1)], [2], order).tolist() == ([[0, 0, 1, 2]] if bonded else [])


# --- row order and the choice of search --------------------------------------------------------

# (hydrogen, donor, A1, A2): both acceptors bond, and A2's cell comes before A1's among the
# hydrogen's neighbour cells although A1 comes first in the acceptor list.
ORDER_EXAMPLES = {
    # A2 in the hydrogen's own cell (neighbour 13), A1 one cell up in x (neighbour 22).
    "own-cell-first": ((0.125, 0.125, 0.125), (0.025, 0.125, 0.125), (0.3, 0.125, 0.125), (0.2, 0.125, 0.125)),
    # The hydrogen's x cell is floor(-0.2) = -1; truncation would put A1 and A2 in one cell.
    "floor-not-truncation": ((-0.05, 0.125, 0.125), (-0.05, 0.025, 0.125), (0.0, 0.3, 0.125), (-0.1, 0.3, 0.125)),
}
FAR_DONOR, FAR_HYDROGEN, FAR_ACCEPTOR = (10.0, 10.0, 10.0), (10.1, 10.0, 10.0), (-10.0, -10.0, -10.0)
LIST_ORDER = [[0, 0, 1, 2], [0, 0, 1, 3]]
GRID_ORDER = [[0, 0, 1, 3], [0, 0, 1, 2]]


def order_system(example, n_pairs, n_acceptors, bad_pairs=0, bad_acceptors=0):
    """Pair (0, 1) with acceptors 2 (A1) and 3 (A2), padded to the given counts with a pair and an
    acceptor far from everything, after out-of-range entries that filtering must drop."""
    hydrogen, donor, a1, a2 = ORDER_EXAMPLES[example]
    frames = [[donor, hydrogen, a1, a2, FAR_DONOR, FAR_HYDROGEN, FAR_ACCEPTOR]]
    pairs = [(0, 2**64 - 1)] * bad_pairs + [(0, 1)] + [(4, 5)] * (n_pairs - 1)
    acceptors = [7] * bad_acceptors + [2, 3] + [6] * (n_acceptors - 2)
    return frames, pairs, acceptors


@pytest.mark.parametrize("example", ORDER_EXAMPLES)
def test_grid_order_differs_from_list_order_within_a_pair(module, example):
    system = order_system(example, 1, GRID_THRESHOLD)
    assert search(module.run_baker_hubbard_brute, *system) == LIST_ORDER
    assert search(module.run_baker_hubbard, *system) == GRID_ORDER
    assert search(lambda *a: module.run_baker_hubbard_with_threads(*a, 2), *system) == GRID_ORDER


THRESHOLD_CASES = {
    # id: ((pairs, acceptors, out-of-range pairs, out-of-range acceptors), order); all as listed
    "1x99999": ((1, 99999, 0, 0), LIST_ORDER),
    "1x100000": ((1, 100000, 0, 0), GRID_ORDER),
    "9x11111": ((9, 11111, 0, 0), LIST_ORDER),
    "10x10000": ((10, 10000, 0, 0), GRID_ORDER),
    "100x1000": ((100, 1000, 0, 0), GRID_ORDER),
    # Counted after filtering: 100 x 300 = 30000, although 400 x 300 pairs are listed.
    "(100+300)x300": ((100, 300, 300, 0), LIST_ORDER),
    "100x(999+1)": ((100, 999, 0, 1), LIST_ORDER),
    "100x(1000+1)": ((100, 1000, 0, 1), GRID_ORDER),
}


@pytest.mark.parametrize(("counts", "expected"), THRESHOLD_CASES.values(), ids=THRESHOLD_CASES)
def test_grid_search_from_the_threshold_on(module, counts, expected):
    system = order_system("own-cell-first", *counts)
    assert search(module.run_baker_hubbard, *system) == expected
    assert search(lambda *a: module.run_baker_hubbard_with_threads(*a, 3), *system) == expected
    assert search(module.run_baker_hubbard_brute, *system) == LIST_ORDER


# --- agreement with the reference ----------------------------------------------------------------

SYSTEMS = {  # (n_atoms, n_pairs, n_acceptors) before out-of-range entries are added, far
    "exhaustive": ((200, 70, 140), True),
    "grid": ((300, 300, 400), True),
    # Acceptors whose cells form one small block rather than being strewn over the int32 range.
    "grid-compact": ((150, 300, 400), False),
}


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("kind", SYSTEMS)
def test_agreement_with_reference(module, kind, seed):
    sizes, far = SYSTEMS[kind]
    system = random_system(seed, 3, *sizes, far=far)
    lists = (system["n_atoms"], system["donor_h_pairs"], system["acceptor_indices"])
    size = kind.split("-")[0]
    assert chosen_search(*lists) == size
    exhaustive = reference_rows(system["xyz_flat"], system["n_frames"], *lists, "exhaustive").tolist()
    grid = reference_rows(system["xyz_flat"], system["n_frames"], *lists, "grid").tolist()
    assert sorted(exhaustive) == sorted(grid)
    assert len(exhaustive) >= 10
    chosen = grid if size == "grid" else exhaustive

    assert module.run_baker_hubbard_brute(**system).tolist() == exhaustive
    assert module.run_baker_hubbard(**system).tolist() == chosen
    assert module.run_baker_hubbard_with_threads(**system, n_threads=3).tolist() == chosen
    frames = [row[0] for row in chosen]
    assert frames == sorted(frames) and len(set(frames)) > 1


# --- degenerate inputs -------------------------------------------------------------------------

MANY = 400  # 400 x 400 pairs and acceptors, enough for the grid search
EMPTY_RESULTS = {
    "no-pairs": (1, 3, [], [2]),
    "no-pairs-many-acceptors": (1, 3, [], [2] * GRID_THRESHOLD),
    "no-acceptors-many-pairs": (1, 3, [(0, 1)] * GRID_THRESHOLD, []),
    "no-frames-grid-sized": (0, 3, [(0, 1)] * MANY, [2] * MANY),
    "no-atoms-grid-sized": (4, 0, [(0, 1)] * MANY, [2] * MANY),
}


@pytest.mark.parametrize(("n_frames", "n_atoms", "pairs", "acceptors"), EMPTY_RESULTS.values(), ids=EMPTY_RESULTS)
def test_empty_results(search_fn, n_frames, n_atoms, pairs, acceptors):
    xyz = np.tile([0.0, 0.0, 0.0, 0.1, 0.0, 0.0, 0.3, 0.0, 0.0][: 3 * n_atoms], n_frames)
    result = search_fn(xyz, n_frames, n_atoms, pairs, acceptors)
    assert result.dtype == np.uint32 and result.shape == (0, 4)


@pytest.mark.parametrize("padded", [False, True], ids=["small", "grid-sized"])
def test_donor_or_hydrogen_as_acceptor_and_donor_equal_to_hydrogen(search_fn, padded):
    # Atoms on a line: 0 at x = 0, 1 at 0.1 (always the hydrogen), 2 at 0.3. Pair (1, 1) has no
    # donor-hydrogen vector; the hydrogen as its own acceptor is at distance zero.
    system = ([[(0, 0, 0), (0.1, 0, 0), (0.3, 0, 0)]], [(1, 1), (0, 1), (2, 1)], [1, 0, 2])
    if padded:
        system = pad_to_grid(*system)
    assert search(search_fn, *system) == [[0, 0, 1, 2], [0, 2, 1, 0]]


MAP_NORESERVE = getattr(mmap, "MAP_NORESERVE", 0x4000)  # Linux's value; named in the module from 3.13


@pytest.mark.parametrize("donor", [2**32 - 3, 2**32 - 2], ids=["largest-representable", "beyond-uint32"])
def test_rows_beyond_uint32_raise_instead_of_wrapping(search_fn, donor):
    # Result columns are uint32: a row naming atom 2**32 would silently name atom 0. The frame
    # of 2**32 + 1 atoms takes 103 GB of address space; only the pages written here are touched.
    n_atoms = donor + 3
    try:
        memory = mmap.mmap(-1, n_atoms * 24, flags=mmap.MAP_PRIVATE | mmap.MAP_ANONYMOUS | MAP_NORESERVE)
    except OSError as exc:
        pytest.skip(f"no address space for the frame: {exc}")
    xyz = np.frombuffer(memory, dtype=np.float64)
    hydrogen, acceptor = donor + 1, donor + 2
    xyz[3 * donor : 3 * donor + 9] = [0.0, 0.0, 0.0, 0.1, 0.0, 0.0, 0.3, 0.0, 0.0]
    if acceptor < 2**32:
        assert search_fn(xyz, 1, n_atoms, [(donor, hydrogen)], [acceptor]).tolist() == [[0, donor, hydrogen, acceptor]]
    else:
        with pytest.raises(OverflowError, match=r"uint32 indices.*atom index 4294967296"):
            search_fn(xyz, 1, n_atoms, [(donor, hydrogen)], [acceptor])
