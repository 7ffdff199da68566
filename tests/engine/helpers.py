"""Constants and builders shared by the Python tests of brenvox_hbond_rs."""

import numpy as np

FUNCTION_NAMES = ("run_baker_hubbard", "run_baker_hubbard_brute", "run_baker_hubbard_with_threads")
SEARCH_PARAMETERS = ("xyz_flat", "n_frames", "n_atoms", "donor_h_pairs", "acceptor_indices")

# Two identical frames of three atoms: donor 0 at the origin, hydrogen 1 at x = 0.1 and
# acceptor 2 at x = 0.3, a straight D-H...A line with H...A = 0.2, so one bond per frame.
N_FRAMES = 2
N_ATOMS = 3
FRAME = [0.0, 0.0, 0.0, 0.1, 0.0, 0.0, 0.3, 0.0, 0.0]
EXPECTED_ROWS = [[0, 0, 1, 2], [1, 0, 1, 2]]


class HugeLength:
    """An empty sequence whose length hint is `length`, to probe the size limit of the lists."""

    def __init__(self, length):
        self.length = length

    def __len__(self):
        return self.length

    def __getitem__(self, index):
        raise IndexError(index)


# Groups of atoms moved far out: 4.0 * c leaves the int32 range at 6e8 and 1e300, while
# 536870911.75 and -536870912.0 are the last coordinates whose cells are not saturated, so
# neighbour keys of these groups wrap around to the opposite edge.
FAR_OFFSETS = [
    (6e8, 0.0, 0.0),
    (0.0, -6e8, 0.0),
    (0.0, 0.0, 536870911.75),
    (-536870912.0, 0.0, 0.0),
    (1e300, 0.0, 0.0),
    (0.0, 0.0, -1e300),
    (-1e300, 1e300, 6e8),
]


def random_system(seed, n_frames, n_atoms, n_pairs, n_acceptors, far=True):
    """Keyword arguments of a search over random frames that hold every awkward case at once:
    groups of atoms near the origin and far out, coordinates on cell boundaries, NaN and
    infinities, duplicate pairs and acceptors, donor == hydrogen, and out-of-range indices.
    With far=False all finite coordinates stay within a few cells of the origin and the only
    special value is NaN, so that the acceptors' cells form one compact block."""
    rng = np.random.default_rng(seed)
    xyz = rng.uniform(-0.5, 0.5, (n_frames, n_atoms, 3))
    on_boundary = rng.random(xyz.shape) < 0.2
    xyz[on_boundary] = np.round(xyz[on_boundary] * 4.0) / 4.0
    if far:
        xyz += np.array([(0.0, 0.0, 0.0), *FAR_OFFSETS])[rng.integers(0, len(FAR_OFFSETS) + 1, n_atoms)]
    special = rng.random(xyz.shape) < 0.01
    xyz[special] = rng.choice([np.nan, np.inf, -np.inf] if far else [np.nan], special.sum())

    pairs = [tuple(p) for p in rng.integers(0, n_atoms, (n_pairs, 2)).tolist()]
    pairs[::17] = [(d, d) for d, _ in pairs[::17]]
    acceptors = rng.integers(0, n_atoms, n_acceptors).tolist()
    for index in (n_atoms, n_atoms + 1, 2**32, 2**64 - 1):
        pairs.insert(rng.integers(len(pairs) + 1), (index, 0))
        pairs.insert(rng.integers(len(pairs) + 1), (0, index))
        acceptors.insert(rng.integers(len(acceptors) + 1), index)
    return dict(
        xyz_flat=xyz.ravel(), n_frames=n_frames, n_atoms=n_atoms, donor_h_pairs=pairs, acceptor_indices=acceptors
    )
