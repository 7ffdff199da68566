"""The periodic water box that the tests of analyze and of HbondResult share (the fixture traj of
conftest.py)."""

N_MOLECULES, N_FRAMES = 120, 12
