"""Hydrogen-bond lifetimes from per-frame observations: continuous and intermittent
autocorrelation functions, and their integral.

Observations are rows ``(frames[i], keys[i])``: bond ``keys[i]`` is present in frame
``frames[i]``. Row order does not matter and a row listed twice counts once.

The continuous function works on runs of consecutive presence, so its memory grows with the
number of rows, never with (distinct bonds × frames). The intermittent one transforms dense
presence rows, a block of bonds at a time, so the dense part stays bounded too.

References
----------
A. Luzar and D. Chandler, "Hydrogen-bond kinetics in liquid water", Nature 379, 55–57 (1996):
the intermittent autocorrelation of hydrogen-bond presence and the lifetimes drawn from it.
"""

import itertools
import operator
from typing import Any, SupportsIndex

import numpy as np
import numpy.typing as npt

__all__ = ["Autocorrelation", "autocorrelation", "intermittent_autocorrelation", "lifetime_integral"]

IntArray = npt.NDArray[np.int64]
FloatArray = npt.NDArray[np.float64]

class Autocorrelation(tuple[IntArray, FloatArray]):
    """``(tau, timeseries)``: lags in frames and C(tau); unpacks as that pair. `tau_ps` holds the
    lags in ps, from the analysed frames' times, and `dt_ps` the time between them; both are
    None when the frames are not evenly spaced in time."""

    tau: IntArray
    timeseries: FloatArray
    dt_ps: float | None
    tau_ps: FloatArray | None

    def __new__(cls, tau: IntArray, timeseries: FloatArray, dt_ps: float | None) -> "Autocorrelation":
        curve = super().__new__(cls, (tau, timeseries))
        curve.tau, curve.timeseries, curve.dt_ps = tau, timeseries, dt_ps
        curve.tau_ps = None if dt_ps is None else np.asarray(tau * dt_ps, dtype=np.float64)
        return curve


# Float64 elements in one block of dense presence rows given to the FFT (32 MiB).
_FFT_BLOCK = 1 << 22
_INT64_MAX = int(np.iinfo(np.int64).max)


def autocorrelation(
    frames: npt.ArrayLike,
    keys: npt.ArrayLike,
    n_frames: SupportsIndex,
    *,
    tau_max: SupportsIndex = 20,
    window_step: SupportsIndex = 1,
    intermittency: SupportsIndex = 0,
) -> tuple[IntArray, FloatArray]:
    """Continuous survival probability of bonds, as MDAnalysis'
    ``HydrogenBondAnalysis.lifetime(tau_max, window_step, intermittency)`` computes it.

    First, an absence of at most `intermittency` consecutive frames between two presences of a
    bond is filled in (MDAnalysis' ``correct_intermittency``); absences before the first or
    after the last presence stay. Then, with N(t0) the bonds present at t0 and N(t0, τ) those
    present at every frame from t0 to t0 + τ::

        C(0) = 1,    C(τ) = mean over t0 of N(t0, τ) / N(t0)

    over the origins t0 = 0, window_step, 2·window_step, ... with N(t0) > 0 and
    t0 + τ < n_frames. A lag with no such origin gives NaN, as MDAnalysis does (without its
    warning).

    Parameters
    ----------
    frames, keys : array_like of int, shape (n_rows,)
        Frame position (0 <= frame < n_frames) and bond id of each observation.
    n_frames : int
        Frames in the trajectory, with or without bonds.
    tau_max : int, default 20
        Last lag, from 1 to n_frames.
    window_step : int, default 1
        Frames between consecutive origins.
    intermittency : int, default 0
        Longest absence to fill; 0 is the strictly continuous function.

    Returns
    -------
    tau : ndarray of int64, shape (tau_max + 1,)
        0, 1, ..., tau_max, in frames.
    timeseries : ndarray of float64, shape (tau_max + 1,)
    """
    n = _integer(n_frames, "n_frames", 0)
    lag_max = _integer(tau_max, "tau_max", 1)
    step = _integer(window_step, "window_step", 1)
    gap = _integer(intermittency, "intermittency", 0)
    if lag_max > n:
        raise ValueError(f"tau_max = {lag_max} must not exceed n_frames = {n}")
    frame, bond = _observations(frames, keys, n)

    # A run ends where the bond changes or an absence is longer than `gap` frames.
    first = np.ones(frame.size, dtype=bool)
    first[1:] = (bond[1:] != bond[:-1]) | (frame[1:] - frame[:-1] > gap + 1)
    last = np.ones(frame.size, dtype=bool)
    last[:-1] = first[1:]
    start, end = frame[first], frame[last]
    length = end - start + 1

    present = _covered(start, end, 0, n)
    origins = np.arange(0, n, step)
    origins = origins[present[origins] > 0]
    timeseries = np.full(lag_max + 1, np.nan)
    timeseries[0] = 1.0
    for tau in range(1, lag_max + 1):
        t0 = origins[: np.searchsorted(origins, n - tau)]
        if t0.size:
            lasting = length > tau
            survived = _covered(start[lasting], end[lasting], tau, n)
            timeseries[tau] = np.mean(survived[t0] / present[t0])
    return np.arange(lag_max + 1, dtype=np.int64), timeseries


def intermittent_autocorrelation(
    frames: npt.ArrayLike,
    keys: npt.ArrayLike,
    n_frames: SupportsIndex,
    *,
    tau_max: SupportsIndex | None = None,
) -> tuple[IntArray, FloatArray]:
    """Intermittent (Luzar–Chandler) autocorrelation of bond presence, computed as
    ``gmx hbond -ac`` (GROMACS 2022) computes its ``Ac(t)`` column.

    GROMACS follows each bond over N = n_frames - 1 frames from the first frame in which its
    donor and acceptor lie within its distance cut-off, bonded or not. The rows tell only when
    a bond is present, so here those frames start at the bond's first presence: a bond present
    in frame 0 has its last frame, n_frames - 1, ignored; every other observation counts. The
    two agree when each bond forms in the frame its atoms first come that close; otherwise gmx
    also ignores the last frame of the bonds whose atoms are that close, unbonded, in frame 0
    (and it sums in single precision). With h_b(t) = 1 when bond b is present in frame t (and
    not ignored), else 0, each lag is averaged over its own N - τ origins::

        C(τ) = [Σ_b Σ_t h_b(t) h_b(t + τ) / (N - τ)]  /  [Σ_b Σ_t h_b(t) / N]

    for 0 <= τ < N, t over every frame. C(τ) estimates the probability that a bond present at
    some time is present again τ later, whatever happened in between; C(0) = 1 whenever a bond
    is observed, and lags with few origins can exceed 1. A lag without origin (τ >= N) and
    every lag without bonds give 0.

    GROMACS writes lags 0 to N // 2 - 1 only. Its first column, ``Ac_fin sys(t)``, is
    (C(τ) - c) / (1 - c), with c the mean of C over lags (N // 2) // 2 to N // 2 - 1.

    Parameters
    ----------
    frames, keys : array_like of int, shape (n_rows,)
        Frame position (0 <= frame < n_frames) and bond id of each observation.
    n_frames : int
        Frames in the trajectory, with or without bonds.
    tau_max : int, optional
        Last lag, at least 1; by default n_frames - 2, every lag with an origin.

    Returns
    -------
    tau : ndarray of int64, shape (tau_max + 1,)
        0, 1, ..., tau_max, in frames; empty for n_frames < 2 and the default tau_max.
    timeseries : ndarray of float64, shape (tau_max + 1,)

    References
    ----------
    A. Luzar and D. Chandler, "Hydrogen-bond kinetics in liquid water", Nature 379, 55–57
    (1996).
    """
    n = _integer(n_frames, "n_frames", 0)
    window = max(n - 1, 0)
    lag_max = window - 1 if tau_max is None else _integer(tau_max, "tau_max", 1)
    frame, bond = _observations(frames, keys, n)
    lags = np.arange(lag_max + 1, dtype=np.int64)

    if frame.size:
        starts_at_zero = frame[_starts(bond)] == 0  # bonds are numbered 0, 1, ...
        kept = ~(starts_at_zero[bond] & (frame == n - 1))
        frame, bond = frame[kept], bond[kept]

    numerator = np.zeros(lag_max + 1, dtype=np.int64)
    lag_top = min(lag_max, window - 1)
    if frame.size and lag_top >= 0:
        # Zero padding to n + lag_top keeps the circular correlation from wrapping onto those lags.
        size = 1 << (n + lag_top - 1).bit_length()
        rows = max(1, _FFT_BLOCK // size)
        edges = np.append(np.searchsorted(bond, np.arange(0, int(bond[-1]) + 1, rows)), bond.size)
        power = np.zeros(size // 2 + 1)
        for lo, hi in itertools.pairwise(edges):
            local = bond[lo:hi] - bond[lo]
            dense = np.zeros((int(local[-1]) + 1, size))
            dense[local, frame[lo:hi]] = 1.0
            spectrum = np.fft.rfft(dense, axis=1)
            power += np.sum(spectrum.real**2 + spectrum.imag**2, axis=0)
        # The correlations are integer counts; the FFT's rounding error is far below 1/2.
        numerator[: lag_top + 1] = np.rint(np.fft.irfft(power, size)[: lag_top + 1]).astype(np.int64)

    timeseries = np.zeros(lag_max + 1)
    origins = window - lags[: lag_top + 1]
    timeseries[: lag_top + 1] = numerator[: lag_top + 1] * window / (origins * max(frame.size, 1))
    return lags, timeseries


def lifetime_integral(tau: npt.ArrayLike, timeseries: npt.ArrayLike | None = None, dt: float = 1.0) -> float:
    """Lifetime as the area under an autocorrelation function, by the trapezoid rule.

    `tau` holds lags in frames, strictly increasing; `dt` is the time between frames, so the
    result is in the unit of `dt`. Given an `Autocorrelation` alone (what
    ``HbondResult.lifetime`` returns), the result is in ps, from its frames' times. The area
    only approaches the lifetime when the function has decayed to about zero by the last lag.
    Fewer than two points give 0.0.
    """
    if timeseries is None:
        if not isinstance(tau, Autocorrelation):
            raise TypeError("give tau and timeseries, or an Autocorrelation alone")
        if tau.tau_ps is None:
            raise ValueError("the analysed frames are not evenly spaced in time, so the lifetime has no time "
                             "axis: integrate over frames with lifetime_integral(curve.tau, curve.timeseries)")
        return lifetime_integral(tau.tau_ps, tau.timeseries)
    x = _real_vector(tau, "tau")
    y = _real_vector(timeseries, "timeseries")
    if x.shape != y.shape:
        raise ValueError(f"tau and timeseries must have the same length, got {x.size} and {y.size}")
    if isinstance(dt, (bool, np.bool_)) or not isinstance(dt, (int, float, np.integer, np.floating)):
        raise TypeError(f"dt must be a real number, got {type(dt).__name__}")
    step = float(dt)
    if not (np.isfinite(step) and step > 0.0):
        raise ValueError(f"dt must be finite and positive, got {step!r}")
    if not (np.all(np.isfinite(x)) and np.all(np.isfinite(y))):
        raise ValueError("tau and timeseries must be finite; drop the lags that have no origin (NaN)")
    if np.any(np.diff(x) <= 0):
        raise ValueError("tau must be strictly increasing")
    if x.size < 2:
        return 0.0
    return float(np.sum((y[1:] + y[:-1]) * np.diff(x)) * 0.5 * step)


def _covered(start: IntArray, end: IntArray, tau: int, n: int) -> IntArray:
    """For each t in 0..n-1, the runs [start, end] that contain t and t + tau; the runs must all
    be longer than tau."""
    change = np.bincount(start, minlength=n + 1) - np.bincount(end - tau + 1, minlength=n + 1)
    return np.cumsum(change[:n])


def _observations(frames: npt.ArrayLike, keys: npt.ArrayLike, n: int) -> tuple[IntArray, IntArray]:
    """Distinct (frame, bond) pairs sorted by bond then frame, bonds renumbered 0, 1, ..."""
    frame = _integer_vector(frames, "frames")
    key = _integer_vector(keys, "keys")
    if frame.shape != key.shape:
        raise ValueError(f"frames and keys must have the same length, got {frame.size} and {key.size}")
    if frame.size == 0:
        return np.zeros(0, dtype=np.int64), np.zeros(0, dtype=np.int64)
    low, high = int(frame.min()), int(frame.max())
    if low < 0 or high >= n:
        raise ValueError(f"frames must lie in 0..n_frames-1 = {n - 1}, got values from {low} to {high}")
    # Explicit sorts: np.unique is several times slower on arrays of this kind.
    order = np.argsort(key, kind="stable")
    bond = np.cumsum(_starts(key[order]), dtype=np.int64) - 1
    if int(bond[-1]) > _INT64_MAX // n:
        raise ValueError(f"n_frames = {n} is too large to number every (bond, frame) pair in int64")
    code = bond * n + frame[order].astype(np.int64)
    if np.any(code[1:] < code[:-1]):  # already sorted when the rows come sorted by frame
        code.sort()
    code = code[_starts(code)]
    return code % n, code // n


def _starts(values: npt.NDArray[Any]) -> npt.NDArray[np.bool_]:
    """True where a sorted array takes a new value."""
    new = np.ones(values.size, dtype=bool)
    new[1:] = values[1:] != values[:-1]
    return new


def _integer(value: SupportsIndex, name: str, minimum: int) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, got bool")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None
    if number < minimum:
        raise ValueError(f"{name} must be at least {minimum}, got {number}")
    return number


def _integer_vector(value: npt.ArrayLike, name: str) -> npt.NDArray[Any]:
    array = _vector(value, name)
    if array.size and array.dtype.kind not in "iu":
        raise TypeError(f"{name} must hold integers, got an array of dtype {array.dtype}")
    return array


def _real_vector(value: npt.ArrayLike, name: str) -> FloatArray:
    array = _vector(value, name)
    if array.size and array.dtype.kind not in "iuf":
        raise TypeError(f"{name} must hold real numbers, got an array of dtype {array.dtype}")
    return array.astype(np.float64)


def _vector(value: npt.ArrayLike, name: str) -> npt.NDArray[Any]:
    try:
        array = np.asarray(value)
    except ValueError as exc:  # ragged nesting
        raise ValueError(f"{name} must be one-dimensional: {exc}") from None
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional, got shape {array.shape}")
    return array
