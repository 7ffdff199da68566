"""The collector's triplet tally (a native hash table that grows) and its counts per frame."""

import numpy as np
import pytest

from brenvox_hbond import Sites, _native, analyze
from brenvox_hbond.collector import _TripletTally


def random_rows(rng, n_pairs, n_acceptors, n_rows):
    """Rows of pair k = (2k, 2k + 1) and acceptor atoms from 2 * n_pairs on."""
    pair = rng.integers(0, n_pairs, n_rows)
    acceptor = 2 * n_pairs + rng.integers(0, n_acceptors, n_rows)
    rows = np.column_stack((rng.integers(0, 50, n_rows), 2 * pair, 2 * pair + 1, acceptor))
    return rows.astype(np.uint32)


def expected_counts(rows):
    triplets, counts = np.unique(rows[:, 1:].astype(np.int64), axis=0, return_counts=True)
    return triplets, counts


def test_the_tally_grows_and_merges_to_what_unique_counts():
    rng = np.random.default_rng(7)
    n_pairs, n_acceptors = 300, 200
    sites = Sites(np.arange(2 * n_pairs).reshape(-1, 2), np.arange(2 * n_pairs, 2 * n_pairs + n_acceptors))
    blocks = [random_rows(rng, n_pairs, n_acceptors, 20_000) for _ in range(3)]
    whole, part = _TripletTally(sites), _TripletTally(sites)
    for block in blocks[:2]:
        whole.add_rows(block)
    part.add_rows(blocks[2])
    whole.add(*part.merged())  # a worker's part
    assert len(whole.table) > 1 << 12  # it grew past its first size
    counted = whole.triplet_counts()
    triplets, counts = expected_counts(np.concatenate(blocks))
    np.testing.assert_array_equal(counted.triplets, triplets)
    np.testing.assert_array_equal(counted.frames_bonded, counts)


def test_a_row_whose_atoms_are_not_sites_is_refused():
    tally = _TripletTally(Sites([[0, 1]], [2]))
    with pytest.raises(ValueError, match="entry 1 of rows has a hydrogen or acceptor that is not a site"):
        tally.add_rows(np.array([[0, 0, 1, 2], [0, 0, 1, 0]], np.uint32))


@pytest.mark.parametrize(("call", "error", "message"), [
    (lambda: _native.count_frames(np.array([[3, 0, 1, 2]], np.uint32), 3), ValueError, "beyond n_frames"),
    (lambda: _native.count_frames(np.zeros((2, 4), np.int64), 3), TypeError, "uint32 array of shape"),
    (lambda: _native.tally_rows(np.zeros((1, 4), np.uint32), np.zeros(3, np.int64), np.zeros(3, np.int64),
                                np.zeros((6, 2), np.int64), 0), TypeError, "capacity a power of two"),
    (lambda: _native.tally_keys(np.zeros(1, np.int64), np.ones(1, np.int64), np.full((8, 2), -1, np.int64), 9),
     ValueError, "used must be between"),
    (lambda: _native.tally_keys(np.array([-3]), np.ones(1, np.int64), np.full((8, 2), -1, np.int64), 0),
     ValueError, "entry 0 of new_keys is negative"),
])
def test_native_tally_arguments_are_checked(call, error, message):
    with pytest.raises(error, match=message):
        call()


def test_counts_without_occupancy(traj):
    full = analyze(traj, keep_rows=False)
    bare = analyze(traj, keep_rows=False, occupancy=False)
    np.testing.assert_array_equal(bare.counts, full.counts)
    assert full.has_occupancy and not bare.has_occupancy
