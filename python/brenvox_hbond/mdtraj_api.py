"""`baker_hubbard` and `wernet_nilsson`, drop-ins for MDTraj's functions that run the native
search."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from .defaults import every_core
from .hbonds import find_hbonds
from .sites import mdtraj_sites


def baker_hubbard(
    traj: Any,
    freq: float = 0.1,
    exclude_water: bool = True,
    periodic: bool = True,
    sidechain_only: bool = False,
    distance_cutoff: float = 0.25,
    angle_cutoff: float = 120,
) -> npt.NDArray[np.int64]:
    """Identify hydrogen bonds by the Baker–Hubbard criterion, as `mdtraj.baker_hubbard` does.

    Takes the same arguments and returns the same ``(n_hbonds, 3)`` array of
    ``(donor, hydrogen, acceptor)`` atom indices in the same order: the bonds present in more
    than `freq` of the frames. Donors are N and O atoms bonded to a hydrogen, acceptors N and O
    atoms, all from the trajectory's topology; `exclude_water` leaves out water and
    `sidechain_only` backbone atoms. With `periodic` and a unit cell in the trajectory,
    distances and angles use the minimum image. The search runs on every core.

    Parameters
    ----------
    traj : mdtraj.Trajectory
        With topology and bonds.
    freq : float, default 0.1
        Fraction of frames a bond must exceed to be returned; 0.0 returns every bond seen.
    exclude_water, periodic, sidechain_only : bool
        As in MDTraj.
    distance_cutoff : float, default 0.25
        H–A distance in nm.
    angle_cutoff : float, default 120
        D–H–A angle in degrees.
    """
    if traj.topology is None:
        raise ValueError("baker_hubbard requires that traj contain topology information")
    sites = mdtraj_sites(traj.topology, exclude_water=exclude_water, sidechain_only=sidechain_only)
    n_frames = traj.n_frames
    if not len(sites.donor_h_pairs) or not len(sites.acceptors) or n_frames == 0:
        return np.zeros((0, 3), dtype=np.int64)
    box = traj.unitcell_vectors if periodic else None
    return frequent_triplets(
        traj.xyz, sites.donor_h_pairs, sites.acceptors, box, freq, distance_cutoff, angle_cutoff
    )


def wernet_nilsson(
    traj: Any,
    exclude_water: bool = True,
    periodic: bool = True,
    sidechain_only: bool = False,
) -> list[npt.NDArray[np.int64]]:
    """Identify hydrogen bonds by the Wernet–Nilsson criterion, as `mdtraj.wernet_nilsson` does.

    Takes the same arguments and returns the same list: for each frame, an ``(n, 3)`` array of
    the ``(donor, hydrogen, acceptor)`` triplets bonded in it, in MDTraj's order. A bond has
    D···A below ``0.33 nm − 0.000044 nm/deg² · θ²``, θ the H–D···A angle in degrees. The
    candidates are those of `baker_hubbard`; the search runs on every core.
    """
    if traj.topology is None:
        raise ValueError("wernet_nilsson requires that traj contain topology information")
    sites = mdtraj_sites(traj.topology, exclude_water=exclude_water, sidechain_only=sidechain_only)
    n_frames = traj.n_frames
    if not len(sites.donor_h_pairs) or not len(sites.acceptors) or n_frames == 0:
        return [np.zeros((0, 3), dtype=np.int64) for _ in range(n_frames)]
    box = traj.unitcell_vectors if periodic else None
    rows = find_hbonds(traj.xyz, sites.donor_h_pairs, sites.acceptors, box=box, criterion="wernet_nilsson",
                       n_threads=every_core())
    triplets = rows[:, 1:].astype(np.int64)
    return np.split(triplets, np.searchsorted(rows[:, 0], np.arange(1, n_frames)))


def frequent_triplets(
    xyz: npt.NDArray[Any],
    pairs: npt.NDArray[np.int64],
    acceptors: npt.NDArray[np.int64],
    box: npt.NDArray[Any] | None,
    freq: float,
    distance_cutoff: float,
    angle_cutoff: float,
) -> npt.NDArray[np.int64]:
    """Every (pair, acceptor) combination bonded in more than `freq` of the frames, in the order of
    `pairs`, then of `acceptors`, each listed once per time it appears in those lists."""
    unique_pairs, pair_of_position = np.unique(pairs, axis=0, return_inverse=True)
    unique_acceptors, acceptor_of_position = np.unique(acceptors, return_inverse=True)
    rows = find_hbonds(
        xyz, unique_pairs, unique_acceptors, box=box, distance_cutoff=distance_cutoff,
        angle_cutoff=angle_cutoff, n_threads=every_core(),
    )
    n_frames = xyz.shape[0]
    # Rows name atoms; unique_pairs and unique_acceptors are sorted, so their positions are found
    # by binary search, and a (pair, acceptor) combination gets the key pair * n + acceptor.
    n_atoms = xyz.shape[1]
    pair_keys = unique_pairs[:, 0] * n_atoms + unique_pairs[:, 1]
    row_pairs = np.searchsorted(pair_keys, rows[:, 1].astype(np.int64) * n_atoms + rows[:, 2])
    row_acceptors = np.searchsorted(unique_acceptors, rows[:, 3].astype(np.int64))
    keys, counts = np.unique(row_pairs * len(unique_acceptors) + row_acceptors, return_counts=True)
    frequent = keys[counts / n_frames > freq]
    # Back to positions in the caller's lists: every position holding that pair and acceptor.
    n_acceptors = len(unique_acceptors)
    pair_which, pair_positions = _positions_of(frequent // n_acceptors, pair_of_position.reshape(-1), len(unique_pairs))
    acceptor_which, acceptor_positions = _positions_of(
        frequent[pair_which] % n_acceptors, acceptor_of_position.reshape(-1), n_acceptors
    )
    pair_positions = pair_positions[acceptor_which]
    order = np.lexsort((acceptor_positions, pair_positions))
    return np.column_stack((pairs[pair_positions[order]], acceptors[acceptor_positions[order]])).astype(np.int64)


def _positions_of(
    values: npt.NDArray[np.int64], of_position: npt.NDArray[np.int64], n_values: int
) -> tuple[npt.NDArray[np.int64], npt.NDArray[np.int64]]:
    """Each position p whose of_position[p] is one of `values`, paired with that value's index in
    `values`: (indices into values, positions)."""
    order = np.argsort(of_position, kind="stable")
    counts = np.bincount(of_position, minlength=n_values)
    starts = np.cumsum(counts) - counts
    repeats = counts[values]
    which = np.repeat(np.arange(len(values)), repeats)
    offsets = np.arange(len(which)) - np.repeat(np.cumsum(repeats) - repeats, repeats)
    return which, order[starts[values][which] + offsets]
