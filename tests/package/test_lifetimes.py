"""Continuous and intermittent autocorrelation of bond presence, and the lifetime integral."""

import warnings

import numpy as np
import pytest

from brenvox_hbond import lifetimes
from brenvox_hbond.lifetimes import autocorrelation, intermittent_autocorrelation, lifetime_integral

NAN = float("nan")
TWO_FRAMES, TWO_KEYS = [0, 1, 2, 2, 3, 3, 4, 5], [1, 1, 1, 2, 1, 2, 1, 1]


def random_rows(seed, n_frames=30, n_bonds=12, shuffle=False):
    """Presence matrix with gaps of every short length, and its rows (frames, keys) with
    scattered int64 keys, sorted by frame unless shuffled (then with repeated rows)."""
    rng = np.random.default_rng(seed)
    presence = rng.random((n_bonds, n_frames)) < rng.uniform(0.2, 0.9, (n_bonds, 1))
    bond, frame = np.nonzero(presence)
    keys = (bond * 7_919_000_003 - 5).astype(np.int64)
    order = rng.permutation(frame.size) if shuffle else np.argsort(frame, kind="stable")
    if shuffle:
        order = np.concatenate([order, order[: frame.size // 3]])
    return presence, frame[order], keys[order]


@pytest.mark.parametrize(
    ("frames", "keys", "n_frames", "options", "expected"),
    [
        ([0, 1, 2, 3, 4], [9] * 5, 10, {"tau_max": 5}, [1, 0.8, 0.6, 0.4, 0.2, 0]),
        ([0, 1, 3, 4], [9] * 4, 5, {"tau_max": 4}, [1, 2 / 3, 0, 0, 0]),
        ([0, 1, 3, 4], [9] * 4, 5, {"tau_max": 4, "intermittency": 1}, [1, 1, 1, 1, 1]),
        ([0, 3], [9] * 2, 4, {"tau_max": 3, "intermittency": 1}, [1, 0, 0, 0]),
        # Bond 1 in frames 0-5, bond 2 in 2-3: a mean of per-origin ratios, over origins 0, 2, 4.
        (TWO_FRAMES, TWO_KEYS, 6, {"tau_max": 2, "window_step": 2}, [1, 1, 0.75]),
        (TWO_FRAMES, TWO_KEYS, 6, {"tau_max": 2}, [1, 0.9, 0.75]),
        ([], [], 5, {"tau_max": 3}, [1, NAN, NAN, NAN]),
        ([0], [4], 1, {"tau_max": 1}, [1, NAN]),
        ([0, 1, 2], [4] * 3, 3, {"tau_max": 3}, [1, 1, 1, NAN]),
    ],
)
def test_autocorrelation_by_hand(frames, keys, n_frames, options, expected):
    tau, values = autocorrelation(frames, keys, n_frames, **options)
    np.testing.assert_array_equal(tau, np.arange(len(expected)))
    np.testing.assert_allclose(values, expected, rtol=0, atol=1e-15)


@pytest.mark.parametrize("shuffle", [False, True])
@pytest.mark.parametrize(
    ("tau_max", "window_step", "intermittency"),
    [(1, 1, 0), (10, 1, 0), (10, 3, 0), (29, 1, 1), (30, 2, 2), (12, 7, 3), (5, 40, 1)],
)
def test_autocorrelation_matches_mdanalysis(tau_max, window_step, intermittency, shuffle):
    correlations = pytest.importorskip("MDAnalysis.lib.correlations")
    for seed in range(5):
        presence, frames, keys = random_rows(seed, shuffle=shuffle)
        sets = [set(np.flatnonzero(column).tolist()) for column in presence.T]
        with warnings.catch_warnings():  # its mean over no origin
            warnings.simplefilter("ignore", RuntimeWarning)
            sets = correlations.correct_intermittency(sets, intermittency)
            tau_ref, ref, _ = correlations.autocorrelation(sets, tau_max, window_step)
        tau, values = autocorrelation(
            frames, keys, 30, tau_max=tau_max, window_step=window_step, intermittency=intermittency
        )
        np.testing.assert_array_equal(tau, tau_ref)
        np.testing.assert_allclose(values, ref, rtol=1e-14, atol=0, equal_nan=True)


def brute_intermittent(presence, tau_max):
    """gmx hbond's procedure: each bond followed over n_frames - 1 frames from its first
    presence, each lag averaged over its origins, then divided by the value at lag 0."""
    n_frames = presence.shape[1]
    window = n_frames - 1
    sums = np.zeros(tau_max + 1)
    for row in presence:
        first = int(np.argmax(row))
        seen = np.zeros(window)
        part = row[first : first + window]
        seen[: part.size] = part
        for tau in range(min(tau_max + 1, window)):
            sums[tau] += np.sum(seen[: window - tau] * seen[tau:]) / (window - tau)
    return list(sums / sums[0])


@pytest.mark.parametrize("block", [lifetimes._FFT_BLOCK, 64, 1])
@pytest.mark.parametrize(("seed", "tau_max"), [(0, None), (1, 7), (2, 45), (3, None)])
def test_intermittent_matches_brute_force(seed, tau_max, block, monkeypatch):
    monkeypatch.setattr(lifetimes, "_FFT_BLOCK", block)  # also bonds split over many blocks
    presence, frames, keys = random_rows(seed, shuffle=seed % 2 == 1)
    tau, values = intermittent_autocorrelation(frames, keys, 30, tau_max=tau_max)
    expected = brute_intermittent(presence, 28 if tau_max is None else tau_max)
    np.testing.assert_array_equal(tau, np.arange(len(expected)))
    np.testing.assert_allclose(values, expected, rtol=1e-13, atol=0)


def pattern(*runs):
    """Presence row from (value, length) runs."""
    return np.concatenate([np.full(length, value, dtype=bool) for value, length in runs])


# The Ac(t) column that gmx hbond -ac (GROMACS 2022.5) wrote for these bonds, one per row.
@pytest.mark.parametrize(
    ("presence", "gmx"),
    [
        (
            [pattern((1, 10), (0, 10))],
            [1, 0.95, 0.894117, 0.83125, 0.76, 0.678571, 0.584615, 0.475, 0.345454],
        ),
        (
            [pattern((0, 10), (1, 10)), pattern((1, 20))],
            [1, 0.982759, 0.963489, 0.94181, 0.917241, 0.889163, 0.856764, 0.818965, 0.774295],
        ),
        (
            [pattern((1, 1), (0, 1), (1, 1), (0, 15), (1, 2)), pattern((1, 20))],
            [1, 0.863636, 0.914438] + [0.863636] * 6,
        ),
        (
            [pattern((1, 2), (0, 17), (1, 2)), pattern((1, 21)), pattern((0, 18), (1, 3))],
            [1, 0.890688, 0.811966] + [0.769231] * 7,
        ),
    ],
)
def test_intermittent_matches_recorded_gmx(presence, gmx):
    bond, frame = np.nonzero(np.array(presence))
    _, values = intermittent_autocorrelation(frame, bond, len(presence[0]), tau_max=len(gmx) - 1)
    np.testing.assert_allclose(values, gmx, rtol=0, atol=2e-6)


@pytest.mark.parametrize(
    ("frames", "keys", "n_frames", "tau_max", "expected"),
    [
        # Frame 4 is ignored: the bond is present in frame 0.
        ([0, 1, 3, 4], [9] * 4, 5, None, [1, 4 / 9, 2 / 3, 4 / 3]),
        ([0, 4, 1, 4], [1, 1, 2, 2], 5, 4, [1, 0, 0, 4 / 3, 0]),
        (list(range(6)) * 2, [1] * 6 + [2] * 6, 6, None, [1.0] * 5),
        ([0, 1, 2], [4] * 3, 3, 5, [1, 1, 0, 0, 0, 0]),
        ([], [], 4, None, [0, 0, 0]),
        ([0], [4], 1, 1, [0, 0]),
        ([0], [4], 1, None, []),
        ([], [], 0, None, []),
    ],
)
def test_intermittent_by_hand(frames, keys, n_frames, tau_max, expected):
    tau, values = intermittent_autocorrelation(frames, keys, n_frames, tau_max=tau_max)
    np.testing.assert_array_equal(tau, np.arange(len(expected)))
    np.testing.assert_allclose(values, expected, rtol=1e-15, atol=0)


@pytest.mark.parametrize(
    ("arguments", "options", "error", "match"),
    [
        (([0.0], [1], 2), {}, TypeError, "frames must hold integers"),
        (([0], [True], 2), {}, TypeError, "keys must hold integers"),
        (([[0]], [[1]], 2), {}, ValueError, "frames must be one-dimensional"),
        (([0, 1], [1], 2), {}, ValueError, "same length, got 2 and 1"),
        (([0, 2], [1, 1], 2), {}, ValueError, "from 0 to 2"),
        (([-1], [1], 2), {}, ValueError, "from -1 to -1"),
        (([], [], -1), {}, ValueError, "n_frames must be at least 0"),
        (([], [], 2.0), {}, TypeError, "n_frames must be an integer, got float"),
        (([], [], 2), {"tau_max": 0}, ValueError, "tau_max must be at least 1"),
        (([], [], 2), {"tau_max": True}, TypeError, "tau_max must be an integer"),
        (([], [], 2), {"tau_max": 3}, ValueError, "must not exceed n_frames = 2"),
        (([], [], 2), {"window_step": 0}, ValueError, "window_step must be at least 1"),
        (([], [], 2), {"intermittency": -1}, ValueError, "intermittency must be at least 0"),
    ],
)
def test_autocorrelation_rejects(arguments, options, error, match):
    with pytest.raises(error, match=match):
        autocorrelation(*arguments, **({"tau_max": 1} | options))


@pytest.mark.parametrize(
    ("tau", "values", "dt", "expected"),
    [([0, 1, 2], [1, 0.5, 0], 2.0, 2.0), ([0, 2, 3], [1, 1, 0], 1, 2.5), ([0], [1], 1.0, 0.0)],
)
def test_lifetime_integral(tau, values, dt, expected):
    assert lifetime_integral(tau, values, dt) == pytest.approx(expected, rel=1e-15)


@pytest.mark.parametrize(
    ("tau", "values", "dt", "error"),
    [
        ([0, 1], [1, NAN], 1.0, ValueError),
        ([0, 0], [1, 1], 1.0, ValueError),
        ([0, 1], [1], 1.0, ValueError),
        ([0, 1], [1, 0], 0.0, ValueError),
        ([0, 1], [1, 0], "1", TypeError),
    ],
)
def test_lifetime_integral_rejects(tau, values, dt, error):
    with pytest.raises(error):
        lifetime_integral(tau, values, dt)
