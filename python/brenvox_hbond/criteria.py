"""Hydrogen-bond criteria: Baker–Hubbard and the definitions of GROMACS, MDAnalysis and MDTraj's
Wernet–Nilsson, as presets, or any combination of their parts.

A criterion measures one distance (H···A or D···A) and one angle (D–H–A, which must be large,
or H–D–A, which must be small) and compares each with its cut-off, strictly or not. It may
also bound the D–H length, shrink the distance cut-off with the square of the angle (a cone),
and merge a donor's hydrogens so that a donor–acceptor pair is one bond.
"""

from __future__ import annotations

import math
import numbers
from dataclasses import dataclass, replace

__all__ = ["PRESETS", "Criterion", "criterion_named", "resolve_criterion"]

DISTANCES = ("H-A", "D-A")
ANGLES = ("D-H-A", "H-D-A")


@dataclass(frozen=True)
class Criterion:
    """One hydrogen-bond definition; lengths in nm, angles in degrees.

    Parameters
    ----------
    distance : {"H-A", "D-A"}
        The distance compared with `distance_cutoff`: hydrogen–acceptor or donor–acceptor.
    distance_cutoff : float
        Finite and positive.
    angle : {"D-H-A", "H-D-A"}
        D–H–A (180° when linear) must be above `angle_cutoff`; H–D–A (0° when linear) must be
        below it.
    angle_cutoff : float
        From 0 to 180.
    distance_inclusive, angle_inclusive : bool
        Whether a value equal to the cut-off qualifies (≤, ≥) or not (<, >).
    merge_hydrogens : bool
        A donor–acceptor pair is one bond however many of the donor's hydrogens qualify; its
        row names the first of them (in the order of the donor–hydrogen pairs).
    donor_hydrogen_cutoff : float, optional
        Pairs whose D–H length is above this, in the frame searched, are left out.
    cone_slope : float
        Above zero, the distance must also be below ``distance_cutoff − cone_slope · θ²``, θ
        the criterion's angle in degrees (nm per degree squared); compared as `distance_inclusive`
        says.
    name : str
        The preset's name, or "custom".
    """

    distance: str = "H-A"
    distance_cutoff: float = 0.25
    angle: str = "D-H-A"
    angle_cutoff: float = 120.0
    distance_inclusive: bool = False
    angle_inclusive: bool = False
    merge_hydrogens: bool = False
    donor_hydrogen_cutoff: float | None = None
    cone_slope: float = 0.0
    name: str = "custom"

    def __post_init__(self) -> None:
        if self.distance not in DISTANCES:
            raise ValueError(f"distance must be one of {', '.join(DISTANCES)}, got {self.distance!r}")
        if self.angle not in ANGLES:
            raise ValueError(f"angle must be one of {', '.join(ANGLES)}, got {self.angle!r}")
        for field, value in (("distance_cutoff", self.distance_cutoff), ("angle_cutoff", self.angle_cutoff),
                             ("cone_slope", self.cone_slope)):
            if isinstance(value, bool) or not isinstance(value, numbers.Real):
                raise TypeError(f"{field} must be a real number, got {type(value).__name__}")
            object.__setattr__(self, field, float(value))
        if not (math.isfinite(self.distance_cutoff) and self.distance_cutoff > 0.0):
            raise ValueError(f"distance_cutoff must be finite and positive, got {self.distance_cutoff!r}")
        if not 0.0 <= self.angle_cutoff <= 180.0:
            raise ValueError(f"angle_cutoff must be between 0 and 180 degrees, got {self.angle_cutoff!r}")
        if not (math.isfinite(self.cone_slope) and self.cone_slope >= 0.0):
            raise ValueError(f"cone_slope must be finite and not negative, got {self.cone_slope!r}")
        if self.donor_hydrogen_cutoff is not None:
            cutoff = float(self.donor_hydrogen_cutoff)
            if not cutoff > 0.0:
                raise ValueError(f"donor_hydrogen_cutoff must be positive, got {cutoff!r}")
            object.__setattr__(self, "donor_hydrogen_cutoff", cutoff)
        for field in ("distance_inclusive", "angle_inclusive", "merge_hydrogens"):
            object.__setattr__(self, field, bool(getattr(self, field)))

    @property
    def native_form(self) -> tuple[bool, bool, bool, bool, bool, float, float]:
        """How the search departs from Baker–Hubbard, as the native search takes it."""
        return (self.distance == "D-A", self.angle == "H-D-A", self.distance_inclusive, self.angle_inclusive,
                self.merge_hydrogens,
                math.inf if self.donor_hydrogen_cutoff is None else self.donor_hydrogen_cutoff, self.cone_slope)

    def describe(self) -> str:
        """One line: ``GROMACS: D···A ≤ 0.35 nm, H–D···A ≤ 30°, hydrogens merged``."""
        distance = "H···A" if self.distance == "H-A" else "D···A"
        angle = "D–H···A" if self.angle == "D-H-A" else "H–D···A"
        large = self.angle == "D-H-A"
        angle_sign = ("≥" if large else "≤") if self.angle_inclusive else (">" if large else "<")
        distance_sign = "≤" if self.distance_inclusive else "<"
        parts = [f"{distance} {distance_sign} {self.distance_cutoff:g} nm"]
        if self.cone_slope:
            parts[0] += f" − {self.cone_slope:g}·θ²"
        parts.append(f"{angle} {angle_sign} {self.angle_cutoff:g}°")
        if self.donor_hydrogen_cutoff is not None:
            parts.append(f"D–H ≤ {self.donor_hydrogen_cutoff:g} nm")
        if self.merge_hydrogens:
            parts.append("hydrogens merged")
        label = f"{TITLES[self.name]}: " if self.name in TITLES else ""
        return label + ", ".join(parts)


PRESETS = {
    # MDTraj's baker_hubbard: H···A < 0.25 nm and D–H···A > 120°.
    "baker_hubbard": Criterion(name="baker_hubbard"),
    # gmx hbond's defaults: D···A <= 0.35 nm and H–D···A <= 30°, a donor's hydrogens merged.
    "gromacs": Criterion("D-A", 0.35, "H-D-A", 30.0, distance_inclusive=True, angle_inclusive=True,
                         merge_hydrogens=True, name="gromacs"),
    # MDAnalysis' HydrogenBondAnalysis defaults: D···A <= 3.0 Å and D–H···A > 150°, with hydrogens
    # within 1.2 Å of their donor.
    "mdanalysis": Criterion("D-A", 0.30, "D-H-A", 150.0, distance_inclusive=True, donor_hydrogen_cutoff=0.12,
                            name="mdanalysis"),
    # MDTraj's wernet_nilsson: D···A < 0.33 nm − 0.000044 nm/deg² · (H–D···A)². MDTraj's own angle
    # test compares radians with 45 and never rejects; the cone alone bounds the angle below
    # 86.6°, so the 90° here rejects nothing the cone accepts.
    "wernet_nilsson": Criterion("D-A", 0.33, "H-D-A", 90.0, cone_slope=0.000044, name="wernet_nilsson"),
}


TITLES = {"baker_hubbard": "Baker–Hubbard", "gromacs": "GROMACS", "mdanalysis": "MDAnalysis",
          "wernet_nilsson": "Wernet–Nilsson"}


def criterion_named(name: str) -> Criterion:
    try:
        return PRESETS[name]
    except KeyError:
        raise ValueError(f"criterion must be one of {', '.join(PRESETS)} or a Criterion, got {name!r}") from None


def resolve_criterion(criterion: Criterion | str | None, distance_cutoff: float | None = None,
                      angle_cutoff: float | None = None) -> Criterion:
    """The criterion a search runs: a preset by name (Baker–Hubbard when None), with the cut-offs
    given explicitly in place of its own."""
    if criterion is None:
        chosen = PRESETS["baker_hubbard"]
    elif isinstance(criterion, str):
        chosen = criterion_named(criterion)
    elif isinstance(criterion, Criterion):
        chosen = criterion
    else:
        raise TypeError(f"criterion must be a preset's name or a Criterion, got {type(criterion).__name__}")
    if distance_cutoff is not None:
        chosen = replace(chosen, distance_cutoff=distance_cutoff)
    if angle_cutoff is not None:
        chosen = replace(chosen, angle_cutoff=angle_cutoff)
    return chosen
