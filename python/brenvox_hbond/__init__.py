"""Baker–Hubbard hydrogen bonds in molecular-dynamics trajectories, with or without a periodic box."""

from .hbonds import find_hbonds

__all__ = ["find_hbonds"]
