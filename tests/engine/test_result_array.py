"""The array the functions return, and the references they leave behind."""

import gc
import sys

import numpy as np
import pytest

from helpers import EXPECTED_ROWS, N_FRAMES, HugeLength


def test_result_shares_the_bond_storage(search_fn, valid_kwargs):
    result = search_fn(**valid_kwargs)
    assert type(result) is np.ndarray
    assert result.dtype == np.uint32 and result.dtype.isnative
    assert result.shape == (N_FRAMES, 4)
    assert result.strides == (16, 4)
    assert result.flags.c_contiguous and result.flags.writeable
    assert not result.flags.owndata
    assert type(result.base).__name__ == "PySliceContainer"
    assert result.tolist() == EXPECTED_ROWS


@pytest.mark.parametrize(
    "changes",
    [
        {"acceptor_indices": []},
        {"donor_h_pairs": [(0, 3), (3, 1)], "acceptor_indices": [2, 3]},
        {"xyz_flat": np.zeros(0), "n_frames": 0},
        {"xyz_flat": np.zeros(0), "n_atoms": 0},
        {"xyz_flat": np.zeros(0), "n_frames": 0, "n_atoms": 2**64 - 1},
    ],
    ids=["no-acceptors", "all-out-of-range", "no-frames", "no-atoms", "no-frames-of-huge-atoms"],
)
def test_empty_result_is_an_owning_0_by_4_array(search_fn, valid_kwargs, changes):
    result = search_fn(**{**valid_kwargs, **changes})
    assert type(result) is np.ndarray
    assert result.dtype == np.uint32
    assert result.shape == (0, 4)
    assert result.flags.c_contiguous and result.flags.writeable and result.flags.owndata
    assert result.base is None


def test_storage_outlives_the_array_through_a_view(search_fn, valid_kwargs):
    result = search_fn(**valid_kwargs)
    view = result[1:]
    del result
    gc.collect()
    np.zeros((1000, 4), dtype=np.uint32)  # would likely reuse freed storage
    assert view.tolist() == EXPECTED_ROWS[1:]
    view[0, 0] = 7
    assert view.tolist() == [[7, *EXPECTED_ROWS[1][1:]]]


def test_every_call_returns_new_storage(search_fn, valid_kwargs):
    first = search_fn(**valid_kwargs)
    second = search_fn(**valid_kwargs)
    first[:] = 99
    assert second.tolist() == EXPECTED_ROWS
    assert first.base is not second.base


@pytest.mark.parametrize(
    "outcome", ["success", "not-contiguous", "wrong-length", "bad-acceptor", "bad-pair", "internal-failure"]
)
def test_calls_leave_reference_counts_unchanged(search_fn, xyz, outcome, capfd):
    # Ints outside the small-int cache have meaningful counts; these are out of range, so they
    # are converted and then dropped.
    big = [2**40 + k for k in range(4)]
    pairs = [(0, 1), (big[0], big[1])]
    acceptors = [2, big[2], big[3]]
    n_frames = np.int64(N_FRAMES + (outcome == "wrong-length"))
    array = np.repeat(xyz, 2)[::2] if outcome == "not-contiguous" else xyz
    if outcome == "bad-acceptor":
        acceptors.append("x")
    elif outcome == "bad-pair":
        pairs.append((big[0], 1.5))
    watched = [array, array.base, n_frames, pairs, acceptors, *pairs, *acceptors, *big]
    acceptor_arg = HugeLength(2**60) if outcome == "internal-failure" else acceptors

    before = [sys.getrefcount(item) for item in watched]
    for _ in range(3):
        try:
            result = search_fn(array, n_frames, 3, pairs, acceptor_arg)
        except BaseException as exc:  # the internal failure derives from BaseException only
            assert outcome != "success", exc
        else:
            assert outcome == "success"
            assert result.tolist() == EXPECTED_ROWS
            del result
    gc.collect()
    capfd.readouterr()
    assert [sys.getrefcount(item) for item in watched] == before
