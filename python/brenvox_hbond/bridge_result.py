"""The water bridges of an analysed trajectory, and what is derived from them: counts per frame,
occupancy, a summary and tables."""

from __future__ import annotations

import os
from dataclasses import dataclass
from typing import Any

import numpy as np
import numpy.typing as npt

from ._optional import require
from .labels import AtomLabels
from .outputs import atomic_path

IntArray = npt.NDArray[np.int64]
FloatArray = npt.NDArray[np.float64]


@dataclass(frozen=True)
class BridgeResult:
    """Water bridges found frame by frame (see `water_bridges` for what a bridge is).

    Attributes
    ----------
    bridges : ndarray of int64, shape (n_rows, order + 3)
        One row ``(frame, a, water_1, ..., water_order, b)`` per bridge and frame: frame counts
        the analysed frames from 0 (``frames[frame]`` is its index in the trajectory), ``a`` is
        an atom of selection 1, ``b`` one of selection 2, the waters are named by their oxygen's
        atom index, from the one bonded to ``a``. Distinct rows, sorted lexicographically.
    order : int
        Water molecules in each bridge.
    frames : ndarray of int64, shape (n_frames,)
        Index in the trajectory of each analysed frame.
    times : ndarray of float64, shape (n_frames,)
        Time of each analysed frame, in ps.
    selection1, selection2 : ndarray of int64
        The atoms each end may be, ascending: the selections without their water.
    labels : AtomLabels or None
        Atom, residue and chain names, from the topology.
    """

    bridges: IntArray
    order: int
    frames: IntArray
    times: FloatArray
    selection1: IntArray
    selection2: IntArray
    labels: AtomLabels | None = None

    @property
    def n_frames(self) -> int:
        """Number of analysed frames."""
        return len(self.frames)

    def __repr__(self) -> str:
        return (f"<BridgeResult: order {self.order}, {self.n_frames} frames, {len(self.bridges)} rows, "
                f"{len(self.bridges) / max(self.n_frames, 1):.1f} bridges per frame>")

    def counts_per_frame(self) -> IntArray:
        """Bridges in each analysed frame.

        Returns
        -------
        ndarray of int64, shape (n_frames,)
        """
        return np.bincount(self.bridges[:, 0], minlength=self.n_frames).astype(np.int64)

    def occupancy(self, freq: float = 0.0) -> tuple[IntArray, FloatArray]:
        """Distinct bridges ``(a, water_1, ..., water_order, b)`` and the share of the analysed
        frames each is present in, most present first (ties in ascending order); only those
        present in strictly more than `freq` of the frames.

        Returns
        -------
        bridges : ndarray of int64, shape (n_kept, order + 2)
        fraction : ndarray of float64, shape (n_kept,)
        """
        unique, counts = np.unique(self.bridges[:, 1:], axis=0, return_counts=True)
        unique = unique.reshape(-1, self.order + 2)
        fraction = counts / max(self.n_frames, 1)
        ranked = np.lexsort((np.arange(len(unique)), -fraction))
        ranked = ranked[fraction[ranked] > freq]
        return unique[ranked], fraction[ranked]

    def describe(self, bridge: npt.ArrayLike) -> str:
        """A bridge ``(a, water_1, ..., b)`` as ``A:ARG5-NH1 ... 12:HOH301 ... B:ASP9-OD1``: the
        ends as atoms, the waters as residues, each with its chain (atom indices without
        labels)."""
        atoms = [int(atom) for atom in np.asarray(bridge).reshape(-1)]
        if self.labels is None:
            return " ... ".join(map(str, atoms))
        labels = self.labels
        return " ... ".join([labels.atom(atoms[0]), *map(labels.residue, atoms[1:-1]), labels.atom(atoms[-1])])

    def summary(self, top: int = 5) -> str:
        """A few lines for a terminal: the order, the atoms of each end, bridges per frame and
        the `top` most present bridges with the share of frames they are present in."""
        counts = self.counts_per_frame()
        lines = [f"water bridges of order {self.order} between {len(self.selection1)} and "
                 f"{len(self.selection2)} atoms (waters left out)"]
        if self.n_frames:
            lines.append(f"bridges per frame: mean {counts.mean():.2f}, min {counts.min()}, max {counts.max()}")
        bridges, fraction = self.occupancy()
        lines.append(f"distinct bridges: {len(bridges)}")
        if top > 0 and len(bridges):
            lines.append("most present:")
            lines += [f"  {100 * share:5.1f}%  {self.describe(bridge)}"
                      for bridge, share in zip(bridges[:top], fraction[:top])]
        return "\n".join(lines)

    def to_dataframe(self) -> Any:
        """One row per bridge and frame: frame (index in the trajectory), time_ps, a, water_1,
        ..., water_order, b (atom indices); with labels, a_atom and b_atom (``B:ASP9-OD1``),
        a_residue and b_residue (``B:ASP9``) and water_1_residue, ... (categorical, each with
        its chain). Needs pandas.

        Returns
        -------
        pandas.DataFrame
            One row per row of `bridges`, in its order.
        """
        pd = require("pandas", "BridgeResult.to_dataframe")
        rows = self.bridges
        waters = [f"water_{number}" for number in range(1, self.order + 1)]
        names = ["a", *waters, "b"]
        columns: dict[str, Any] = {"frame": self.frames[rows[:, 0]], "time_ps": self.times[rows[:, 0]]}
        columns |= {name: rows[:, field] for field, name in enumerate(names, 1)}
        if self.labels is not None:
            atoms, places = np.unique(rows[:, 1:], return_inverse=True)
            places = places.reshape(rows[:, 1:].shape)
            residues, atom_names = _names(self.labels, atoms)
            for field, name in enumerate(names):
                if name in ("a", "b"):
                    columns[f"{name}_atom"] = pd.Categorical(atom_names[places[:, field]])
                columns[f"{name}_residue"] = pd.Categorical(residues[places[:, field]])
        return pd.DataFrame(columns)

    # The writers write beside `path` and rename once complete: a failure leaves what was there.

    def to_csv(self, path: str | os.PathLike[str]) -> None:
        """Write the columns of `to_dataframe` as CSV, with a header line and no index column;
        needs pandas."""
        table = self.to_dataframe()
        with atomic_path(path) as temporary:
            table.to_csv(temporary, index=False)

    def to_parquet(self, path: str | os.PathLike[str]) -> None:
        """Write the columns of `to_dataframe` as Parquet; needs pandas and pyarrow."""
        require("pyarrow", "BridgeResult.to_parquet")
        table = self.to_dataframe()
        with atomic_path(path) as temporary:
            table.to_parquet(temporary, index=False)


def _names(labels: AtomLabels, atoms: IntArray) -> tuple[npt.NDArray[np.str_], npt.NDArray[np.str_]]:
    """The residue (``B:ASP9``) and the atom (``B:ASP9-OD1``) of each of `atoms`."""
    some = AtomLabels(labels.names[atoms], labels.residue_names[atoms], labels.residue_ids[atoms],
                      labels.elements[atoms], labels.chain_of[atoms])
    residues = some.residues()
    return residues, np.char.add(np.char.add(residues, "-"), some.names)
