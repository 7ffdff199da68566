"""Baker–Hubbard hydrogen bonds in molecular-dynamics trajectories, with or without a periodic box.

``find_hbonds`` searches coordinate arrays; ``analyze`` reads trajectory files chunk by chunk and
returns an ``HbondResult``; ``baker_hubbard`` is a drop-in for ``mdtraj.baker_hubbard``. Only
NumPy is needed to import the package; reading files, tables, plots and progress bars use the
optional extras.
"""

from . import lifetimes, plots
from .analysis import analyze
from .hbonds import find_hbonds
from .mdtraj_api import baker_hubbard
from .results import HbondResult
from .sites import AtomLabels, Sites, element_sites, mdanalysis_sites, mdtraj_sites

__all__ = [
    "AtomLabels",
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
