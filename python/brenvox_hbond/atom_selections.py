"""Atom selections as atom indices: selection strings resolved with the library that reads the
topology (MDTraj or MDAnalysis, each in its own language), or indices given as they are."""

from __future__ import annotations

from typing import Any

import numpy as np
import numpy.typing as npt

from .defaults import check_backend

IntArray = npt.NDArray[np.int64]


def selected_atoms(selection: str | npt.ArrayLike, name: str, trajectory: Any, topology: Any,
                   backend: str | None) -> IntArray:
    """The distinct atom indices, ascending, that `selection` picks.

    A string is resolved in the selection language of the library that reads the topology: that
    of an MDAnalysis Universe or AtomGroup or of an MDTraj trajectory or topology given, else of
    `backend`, else of the library `analyze` reads files with when given selection strings
    (MDTraj when installed and able to read them, else MDAnalysis). The package's own reader has
    no selection language. Anything else is taken as atom indices. A selection of no atom is a
    ValueError naming it.
    """
    if isinstance(selection, str):
        atoms = _resolved(selection, name, trajectory, topology, backend)
    else:
        atoms = _indices(selection, name)
    if not len(atoms):
        raise ValueError(f"{name} {_shown(selection)} matches no atom")
    return np.unique(atoms)


def check_within(atoms: IntArray, name: str, n_atoms: int) -> None:
    """IndexError naming `name` when some of `atoms` (ascending) is not an index of the topology."""
    if len(atoms) and (atoms[0] < 0 or atoms[-1] >= n_atoms):
        wrong = atoms[0] if atoms[0] < 0 else atoms[-1]
        raise IndexError(f"{name} holds atom index {wrong}, outside the topology's {n_atoms} atoms")


def _indices(selection: npt.ArrayLike, name: str) -> IntArray:
    array = np.asarray(selection)
    if array.ndim != 1 or not (array.dtype.kind in "iu" or (array.dtype.kind == "O" and not array.size)):
        raise TypeError(f"{name} must be a selection string or a one-dimensional array of atom indices, "
                        f"got {_shown(selection)}")
    return array.astype(np.int64)


def _resolved(text: str, name: str, trajectory: Any, topology: Any, backend: str | None) -> IntArray:
    from .sources import opening

    check_backend(backend)
    for given in (trajectory, topology):
        if opening.is_mdanalysis_group(given):
            return np.asarray(given.universe.select_atoms(text).ix, np.int64)
        if opening.is_mdtraj_object(given):
            return np.asarray(getattr(given, "topology", given).select(text), np.int64)
    if backend == "native":
        raise ValueError(f"{name} {text!r}: selection strings need MDTraj or MDAnalysis to read the topology; "
                         "give backend='mdanalysis' or 'mdtraj' (--backend on the command line), or atom indices")
    paths = opening.as_paths(trajectory)
    if backend is None:
        backend = opening._default_backend(topology, paths)
    if backend == "mdtraj":
        from .sources.mdtraj_reader import mdtraj_topology

        return np.asarray(mdtraj_topology(topology, paths[0]).select(text), np.int64)
    from .sources.mdanalysis_reader import mdanalysis_universe

    universe = mdanalysis_universe(paths[0], []) if topology is None else mdanalysis_universe(topology, [])
    return np.asarray(universe.select_atoms(text).ix, np.int64)


def _shown(selection: object) -> str:
    text = repr(selection)
    return text if len(text) <= 60 else text[:57] + "..."
