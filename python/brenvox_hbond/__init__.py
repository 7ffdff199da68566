"""Baker–Hubbard hydrogen bonds in molecular-dynamics trajectories, with or without a periodic box.

``find_hbonds`` searches coordinate arrays; ``analyze`` reads trajectory files chunk by chunk,
on this machine or on a Dask cluster, and returns an ``HbondResult``; ``baker_hubbard`` is a
drop-in for ``mdtraj.baker_hubbard``; ``BakerHubbardAnalysis`` is an MDAnalysis analysis. Only
NumPy is needed to import the package; reading files, tables, plots, progress bars and clusters
use the optional extras.
"""

from typing import Any

from . import lifetimes, plots
from .analysis import analyze
from .hbonds import find_hbonds
from .mdtraj_api import baker_hubbard
from .results import HbondResult
from .sites import AtomLabels, Sites, element_sites, mdanalysis_sites, mdtraj_sites

__all__ = [
    "AtomLabels",
    "BakerHubbardAnalysis",
    "HbondResult",
    "Sites",
    "analyze",
    "baker_hubbard",
    "element_sites",
    "find_hbonds",
    "lifetimes",
    "mdanalysis_sites",
    "mdtraj_sites",
    "plots",
]


def __getattr__(name: str) -> Any:
    # Imported on first use: it subclasses an MDAnalysis class, and MDAnalysis is optional.
    if name == "BakerHubbardAnalysis":
        from .mdanalysis_analysis import BakerHubbardAnalysis

        return BakerHubbardAnalysis
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
