"""Readers of what `gmx hbond` writes, for the scripts that compare with it: its .xvg columns,
its existence map (-hbm, XPM) and its index of bonds (-hbn)."""

from __future__ import annotations

from pathlib import Path

import numpy as np


def read_xvg(path: Path) -> np.ndarray:
    """The numbers of an .xvg file, a row per line, without its # and @ lines."""
    return np.loadtxt([line for line in path.read_text().splitlines() if line[:1] not in "#@"], ndmin=2)


def read_existence_map(path: Path) -> np.ndarray:
    """The -hbm map as bool (bond, frame); gmx writes its last bond first."""
    rows = [line for line in path.read_text().splitlines() if line.startswith('"')]
    n_x, n_y, n_colours, _ = (int(value) for value in rows[0].strip('",').split())
    present = next(line[1] for line in rows[1 : 1 + n_colours] if '"Present"' in line)
    grid = np.array([[char == present for char in line[1 : 1 + n_x]] for line in rows[1 + n_colours :]],
                    dtype=bool)
    if grid.shape != (n_y, n_x):
        raise RuntimeError(f"{path}: expected {n_y} rows of {n_x} frames, got {grid.shape}")
    return grid[::-1]


def read_bond_index(path: Path) -> np.ndarray:
    """(donor, hydrogen, acceptor) rows of the -hbn index's [ hbonds_* ] group, 0-based."""
    rows, inside = [], False
    for line in path.read_text().splitlines():
        if line.startswith("["):
            inside = line.startswith("[ hbonds")
        elif inside and line.strip():
            rows.append([int(value) - 1 for value in line.split()])
    return np.array(rows, dtype=np.int64).reshape(-1, 3)
