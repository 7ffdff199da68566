"""Fixtures of the brenvox_hbond package suite; its reference modules (periodic_reference.py,
pentamer_files.py, water_box.py) sit beside the tests, and tests/shared is on the path."""

import pytest

from water_box import N_FRAMES, N_MOLECULES


@pytest.fixture(scope="module")
def traj():
    pytest.importorskip("mdtraj")
    from test_baker_hubbard import water_trajectory

    # Whole molecules: MDAnalysis pairs hydrogens with donors by distance in frame 0.
    return water_trajectory("triclinic", N_MOLECULES, N_FRAMES, seed=4, whole=True)
