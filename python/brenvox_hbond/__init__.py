"""Hydrogen bonds in molecular-dynamics trajectories, with or without a periodic box, by
Baker–Hubbard or the criterion of GROMACS, MDAnalysis or Wernet–Nilsson (`Criterion`).

``find_hbonds`` searches coordinate arrays; ``analyze`` reads trajectory files chunk by chunk,
on this machine or on a Dask cluster, and returns an ``HbondResult``; ``baker_hubbard`` and
``wernet_nilsson`` are drop-ins for MDTraj's; ``BakerHubbardAnalysis`` is an MDAnalysis analysis;
``water_bridges`` finds two selections joined through hydrogen-bonded water. Only NumPy is
needed to import the package; reading files, tables, plots, progress bars and clusters use the
optional extras.
"""

import importlib
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from . import lifetimes, plots
    from .analysis import analyze
    from .bridge_result import BridgeResult
    from .bridges import water_bridges
    from .criteria import Criterion
    from .errors import NoFramesError, NoSitesError, NotRunError, OutputError, RowsNotKeptError
    from .existence import ExistenceMatrix, load_existence
    from .hbonds import find_hbonds
    from .labels import AtomLabels
    from .mdanalysis_analysis import BakerHubbardAnalysis
    from .mdtraj_api import baker_hubbard, wernet_nilsson
    from .results import HbondResult
    from .sites import Sites, SiteSelection, element_sites, mdanalysis_sites, mdtraj_sites

__all__ = [
    "AtomLabels",
    "BakerHubbardAnalysis",
    "BridgeResult",
    "Criterion",
    "ExistenceMatrix",
    "HbondResult",
    "NoFramesError",
    "NoSitesError",
    "NotRunError",
    "OutputError",
    "RowsNotKeptError",
    "SiteSelection",
    "Sites",
    "analyze",
    "baker_hubbard",
    "element_sites",
    "find_hbonds",
    "lifetimes",
    "load_existence",
    "mdanalysis_sites",
    "mdtraj_sites",
    "plots",
    "water_bridges",
    "wernet_nilsson",
]

# Where each name lives. Nothing is imported with the package: the command line parses its
# arguments first, and BakerHubbardAnalysis subclasses a class of MDAnalysis, which is optional.
_HOMES = {
    "AtomLabels": "labels", "BakerHubbardAnalysis": "mdanalysis_analysis", "HbondResult": "results",
    "NoFramesError": "errors", "NoSitesError": "errors", "NotRunError": "errors", "OutputError": "errors",
    "RowsNotKeptError": "errors", "SiteSelection": "sites", "Sites": "sites", "analyze": "analysis",
    "baker_hubbard": "mdtraj_api", "element_sites": "sites", "find_hbonds": "hbonds", "mdanalysis_sites": "sites",
    "mdtraj_sites": "sites", "Criterion": "criteria", "wernet_nilsson": "mdtraj_api",
    "BridgeResult": "bridge_result", "water_bridges": "bridges", "ExistenceMatrix": "existence",
    "load_existence": "existence",
}


def __getattr__(name: str) -> Any:
    if name in ("lifetimes", "plots"):
        return importlib.import_module(f"{__name__}.{name}")
    if name in _HOMES:
        value = getattr(importlib.import_module(f"{__name__}.{_HOMES[name]}"), name)
        globals()[name] = value
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted([*globals(), *__all__])
