"""Figures of an `HbondResult`: bonds per frame, the most occupied bonds, lifetimes, residue
pairs and the existence of each bond over time.

Each function draws on `ax` when given, else on a new figure, and returns the figure. Figures
are made without pyplot, so nothing is shown, no GUI backend is needed and none is left open:
save them with ``fig.savefig(...)``, or pass an axes of a pyplot figure to see them.
"""

from __future__ import annotations

import warnings
from collections.abc import Callable
from typing import Any

import numpy as np

from ._optional import require
from .defaults import check_positive_integer
from .results import HbondResult

__all__ = ["plot_counts", "plot_existence", "plot_lifetime", "plot_occupancy", "plot_residue_pairs",
           "summary_figure"]


def plot_counts(result: HbondResult, ax: Any = None) -> Any:
    """Hydrogen bonds in each analysed frame against its time in ps (against the frame index
    when the trajectory stores no increasing times)."""
    ax = _axes(ax)
    times = result.times
    if result.n_frames > 1 and np.all(np.diff(times) > 0):
        ax.plot(times, result.counts, lw=1)
        ax.set_xlabel("time (ps)")
    else:
        ax.plot(result.frames, result.counts, lw=1, marker="." if result.n_frames < 2 else None)
        ax.set_xlabel("frame")
    ax.set_ylabel("hydrogen bonds")
    ax.set_title("Hydrogen bonds per frame")
    return ax.figure


def plot_occupancy(result: HbondResult, top: int = 20, ax: Any = None) -> Any:
    """Horizontal bars of the `top` most occupied bonds: the share of analysed frames in which
    each is present, in percent."""
    check_positive_integer("top", top)
    ax = _axes(ax)
    triplets, fraction = result.occupancy()
    shown = min(int(top), len(triplets))
    ax.set_title(f"Most occupied bonds ({shown} of {len(triplets)})")
    ax.set_xlabel("occupancy (% of frames)")
    ax.set_xlim(0, 100)
    if not shown:
        _empty(ax, "no hydrogen bonds")
        return ax.figure
    positions = np.arange(shown)
    ax.barh(positions, 100 * fraction[:shown], height=0.7)
    ax.set_yticks(positions, [result.describe(triplet) for triplet in triplets[:shown]],
                  fontsize="small")
    ax.set_ylim(shown - 0.5, -0.5)  # most occupied on top
    return ax.figure


def plot_lifetime(result: HbondResult, tau_max: int = 20, intermittency: int = 0, ax: Any = None) -> Any:
    """Continuous autocorrelation of the bonds (absences of up to `intermittency` frames
    forgiven) and the intermittent one, against the lag in ps, up to `tau_max` frames."""
    check_positive_integer("tau_max", tau_max)
    ax = _axes(ax)
    ax.set_title("Hydrogen-bond autocorrelation")
    ax.set_ylabel("C(τ)")
    lag = min(int(tau_max), result.n_frames - 1)
    ax.set_xlabel("τ (frames)")
    if lag < 1 or not np.any(result.counts):
        _empty(ax, "no hydrogen bonds" if lag >= 1 else "fewer than two frames")
        return ax.figure
    continuous = result.lifetime(tau_max=lag, intermittency=intermittency)
    # Lags in ps only when the frames are evenly spaced in time; otherwise in frames, said so.
    in_ps = continuous.tau_ps is not None
    if in_ps:
        ax.set_xlabel("τ (ps)")
    else:
        _note(ax, "frames not evenly spaced in time")
    name = "continuous" if not intermittency else f"continuous, gaps ≤ {intermittency} frames"
    ax.plot(continuous.tau_ps if in_ps else continuous.tau, continuous.timeseries, marker=".", label=name)
    with warnings.catch_warnings():  # said once, for the continuous curve
        warnings.simplefilter("ignore", RuntimeWarning)
        intermittent = result.intermittent_lifetime(tau_max=lag)
    ax.plot(intermittent.tau_ps if in_ps else intermittent.tau, intermittent.timeseries, marker=".",
            label="intermittent")
    ax.set_ylim(0, 1.05)
    ax.legend()
    return ax.figure


def plot_residue_pairs(result: HbondResult, top: int = 20, ax: Any = None) -> Any:
    """Heat map of the occupancy of residue pairs, in percent: donor residues down, acceptor
    residues across, the residues of the `top` most occupied pairs (every pair between them
    shown, blank where they never bond)."""
    from .residue_pairs import residue_names

    check_positive_integer("top", top)
    table = result.residue_pairs()
    shown = table[:top]
    ax = _axes(ax, figsize=(8, 6.5))
    ax.set_title(f"Residue pairs: occupancy ({len(shown)} most occupied of {len(table)})")
    if not len(shown):
        _empty(ax, "no hydrogen bonds")
        return ax.figure
    donors, donor_at = np.unique(shown["donor_residue"], return_index=True)
    acceptors, acceptor_at = np.unique(shown["acceptor_residue"], return_index=True)
    among = np.isin(table["donor_residue"], donors) & np.isin(table["acceptor_residue"], acceptors)
    grid = np.full((len(donors), len(acceptors)), np.nan)
    grid[np.searchsorted(donors, table["donor_residue"][among]),
         np.searchsorted(acceptors, table["acceptor_residue"][among])] = 100 * table["occupancy"][among]
    image = ax.imshow(grid, cmap="viridis", vmin=0, vmax=100, aspect="auto", interpolation="nearest")
    ax.figure.colorbar(image, ax=ax, label="occupancy (% of frames)")
    ax.set_yticks(np.arange(len(donors)), residue_names(shown[donor_at], "donor"), fontsize="small")
    ax.set_xticks(np.arange(len(acceptors)), residue_names(shown[acceptor_at], "acceptor"), fontsize="small",
                  rotation=90)
    ax.set_ylabel("donor residue")
    ax.set_xlabel("acceptor residue")
    return ax.figure


def plot_existence(result: HbondResult, top: int = 50, ax: Any = None) -> Any:
    """The `top` most occupied bonds (rows, most occupied on top) against time: dark where a
    bond is present, as ``gmx hbond -hbm`` maps them; bonds named when there are at most 60."""
    check_positive_integer("top", top)
    matrix = result.existence_matrix()
    shown = matrix.most_occupied(int(top))
    ax = _axes(ax, figsize=(9, min(max(4.5, 1.5 + 0.16 * len(shown)), 14)))
    ax.set_title(f"Bond existence ({len(shown)} most occupied of {len(matrix)})")
    ax.set_ylabel("bond")
    if not len(shown):
        ax.set_xlabel("frame")
        _empty(ax, "no hydrogen bonds")
        return ax.figure
    times = result.times
    if result.n_frames > 1 and np.all(np.diff(times) > 0):
        half = result.dt / 2
        left, right = times[0] - half, times[-1] + half
        ax.set_xlabel("time (ps)")
    else:
        left, right = result.frames[0] - 0.5, result.frames[-1] + 0.5
        ax.set_xlabel("frame")
    ax.imshow(shown.to_dense(), cmap="Greys", vmin=0, vmax=1, aspect="auto", interpolation="nearest",
              extent=(left, right, len(shown) - 0.5, -0.5))
    if len(shown) <= 60:
        ax.set_yticks(np.arange(len(shown)), [result.describe(triplet) for triplet in shown.triplets],
                      fontsize="x-small")
    return ax.figure


def summary_figure(result: HbondResult, top: int = 20, tau_max: int = 20,
                   progress: Callable[[int], object] | None = None) -> Any:
    """One figure with bonds per frame and the autocorrelations on the left, the most
    occupied bonds on the right, titled with the criterion; `progress` is told of each of the
    four steps (matplotlib loaded, and each panel) as it is done."""
    step = progress or (lambda _: None)
    figure = _figure(figsize=(13, 7))
    step(1)
    figure.suptitle(criterion(result))
    grid = figure.add_gridspec(2, 2, width_ratios=(1, 1))
    plot_counts(result, ax=figure.add_subplot(grid[0, 0]))
    step(1)
    plot_lifetime(result, tau_max=tau_max, ax=figure.add_subplot(grid[1, 0]))
    step(1)
    plot_occupancy(result, top=top, ax=figure.add_subplot(grid[:, 1]))
    step(1)
    return figure


def criterion(result: HbondResult) -> str:
    """The search's criterion, for a title: cut-offs and whether the box was used."""
    box = "periodic box" if result.periodic else "no periodic box"
    return f"{result.criterion.describe()}, {box}"


def _figure(**options: Any) -> Any:
    return require("matplotlib.figure", "plotting").Figure(layout="constrained", **options)


def _axes(ax: Any, figsize: tuple[float, float] = (7, 4.5)) -> Any:
    if ax is not None:
        return ax
    return _figure(figsize=figsize).add_subplot()


def _note(ax: Any, message: str) -> None:
    ax.text(0.98, 0.98, message, transform=ax.transAxes, ha="right", va="top", color="0.4", fontsize="small")


def _empty(ax: Any, message: str) -> None:
    ax.text(0.5, 0.5, message, transform=ax.transAxes, ha="center", va="center", color="0.4")
