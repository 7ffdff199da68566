"""Fixtures shared by the Python tests of brenvox_hbond_rs."""

import functools

import numpy as np
import pytest

import brenvox_hbond_rs

FUNCTION_NAMES = ("run_baker_hubbard", "run_baker_hubbard_brute", "run_baker_hubbard_with_threads")
SEARCH_PARAMETERS = ("xyz_flat", "n_frames", "n_atoms", "donor_h_pairs", "acceptor_indices")

# Two identical frames of three atoms: donor 0 at the origin, hydrogen 1 at x = 0.1 and
# acceptor 2 at x = 0.3, a straight D-H...A line with H...A = 0.2, so one bond per frame.
N_FRAMES = 2
N_ATOMS = 3
FRAME = [0.0, 0.0, 0.0, 0.1, 0.0, 0.0, 0.3, 0.0, 0.0]
EXPECTED_ROWS = [[0, 0, 1, 2], [1, 0, 1, 2]]


@pytest.fixture(scope="session")
def module():
    return brenvox_hbond_rs


@pytest.fixture(params=FUNCTION_NAMES)
def search_fn(request):
    """Each function with the shared five-parameter signature; the threaded one gets n_threads=2."""
    function = getattr(brenvox_hbond_rs, request.param)
    if request.param == "run_baker_hubbard_with_threads":
        return functools.partial(function, n_threads=2)
    return function


@pytest.fixture
def xyz():
    return np.array(FRAME * N_FRAMES, dtype=np.float64)


@pytest.fixture
def pairs():
    return [(0, 1)]


@pytest.fixture
def acceptors():
    return [2]


@pytest.fixture
def valid_kwargs(xyz, pairs, acceptors):
    """Keyword arguments of a call that finds EXPECTED_ROWS."""
    return dict(
        xyz_flat=xyz, n_frames=N_FRAMES, n_atoms=N_ATOMS, donor_h_pairs=pairs, acceptor_indices=acceptors
    )


class HugeLength:
    """An empty sequence whose length hint is `length`, to probe the size limit of the lists."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        raise IndexError(index)
