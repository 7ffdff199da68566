"""Fixtures of the brenvox_hbond_rs engine suite; its constants and builders live in
helpers.py."""

import functools
import os

import numpy as np
import pytest
from hypothesis import settings

import brenvox_hbond_rs
from helpers import EXPECTED_ROWS, FRAME, FUNCTION_NAMES, N_ATOMS, N_FRAMES  # noqa: F401


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


# Hypothesis profiles for test_properties.py, chosen with HYPOTHESIS_PROFILE: "ci" (the default) stays
# well under a minute; "fuzz" is for long runs. Neither keeps an example database, so nothing is
# written into the repository; a failure prints a blob for @reproduce_failure instead.

settings.register_profile("ci", max_examples=250, deadline=None, database=None, print_blob=True)
settings.register_profile("fuzz", max_examples=20_000, deadline=None, database=None, print_blob=True)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "ci"))
