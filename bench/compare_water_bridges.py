"""Water bridges against MDAnalysis' WaterBridgeAnalysis, on the solvated protein.

Both sides use one criterion: H–A at most 0.3 nm (WBA's 3.0 Å on the hydrogen), D–H–A above
120°, through the periodic box. The sites are WBA's CHARMM27 donor and acceptor names, without
the sulphur ones (SG, SD), which our N/O sites never hold; our analyze is narrowed to the same
names. WBA is asked for every order up to K and its selections are updated every frame, so
that its distance pre-filter cannot depend on frame 0; ours is run once per order 1..K. Prints
bridges per frame of both, the distinct bridges in common and on one side only, and the times;
first, ours alone at orders 1 to 4 between the whole protein and itself.

    .venv/bin/python bench/compare_water_bridges.py                 # order 1, every frame
    .venv/bin/python bench/compare_water_bridges.py --order 2 --stop 10
"""

from __future__ import annotations

import argparse
import sys
import time
import warnings
from collections import Counter
from pathlib import Path
from typing import Any

import numpy as np

from brenvox_hbond import water_bridges

SYSTEMS = Path(__file__).resolve().parent / "systems"
DONORS = ("N", "OH2", "OW", "NE", "NH1", "NH2", "ND2", "NE2", "ND1", "NZ", "OG", "OG1", "NE1", "OH")
ACCEPTORS = ("O", "OC1", "OC2", "OH2", "OW", "OD1", "OD2", "OE1", "OE2", "ND1", "NE2", "OG", "OG1", "OH")

Bridge = tuple[int, ...]  # (frame, a, water oxygens..., b)


def ours(args: argparse.Namespace) -> tuple[set[Bridge], float]:
    start = time.perf_counter()
    found: set[Bridge] = set()
    for order in range(1, args.order + 1):
        result = water_bridges(str(args.trajectory), str(args.topology), args.sel1, args.sel2, order=order,
                               backend="mdanalysis", distance_cutoff=0.3, angle_cutoff=120.0, stop=args.stop,
                               donors="name " + " ".join(DONORS), acceptors="name " + " ".join(ACCEPTORS),
                               progress=False)
        found |= set(map(tuple, result.bridges.tolist()))
    return found, time.perf_counter() - start


def timing(args: argparse.Namespace) -> None:
    """Ours alone, order by order, between two large selections, with the default criterion."""
    print(f"ours, {args.timing_selection!r} to itself, default criterion, every frame:")
    print(f"{'order':>5} {'bridges/frame':>13} {'distinct':>9} {'seconds':>8}")
    for order in range(1, args.timing_orders + 1):
        start = time.perf_counter()
        result = water_bridges(str(args.trajectory), str(args.topology), args.timing_selection,
                               args.timing_selection, order=order, progress=False)
        seconds = time.perf_counter() - start
        print(f"{order:>5} {result.counts_per_frame().mean():>13.1f} {len(result.occupancy()[0]):>9} "
              f"{seconds:>8.2f}")


def theirs(args: argparse.Namespace) -> tuple[set[Bridge], int, float]:
    """WBA's bridges as heavy atoms, read from its network; and the paths it gives that visit a
    water twice (left out)."""
    import MDAnalysis as mda
    from MDAnalysis.analysis.hydrogenbonds import WaterBridgeAnalysis

    universe = mda.Universe(str(args.topology), str(args.trajectory))
    water = set(universe.select_atoms(args.water).residues.resindices.tolist())
    start = time.perf_counter()
    analysis = WaterBridgeAnalysis(universe, args.sel1, args.sel2, water_selection=args.water, order=args.order,
                                   distance=3.0, angle=120.0, pbc=True, update_selection=True, forcefield="other",
                                   donors=DONORS, acceptors=ACCEPTORS)
    analysis.run(stop=args.stop)
    seconds = time.perf_counter() - start
    found: set[Bridge] = set()
    revisits = 0
    for frame, network in enumerate(analysis.results.network):
        for path in _paths(network, [], args.order + 1):
            if len(path) < 2:
                continue  # a direct bond, no water
            heavy = [_far_heavy(bond) for bond in path]
            waters = heavy[:-1]
            if len(set(waters)) < len(waters):
                revisits += 1
                continue
            assert all(universe.atoms[atom].resindex in water for atom in waters)
            first = path[0][1] if path[0][1] is not None else path[0][0]
            found.add((frame, int(first), *map(int, waters), int(heavy[-1])))
    return found, revisits, seconds


def _paths(network: Any, path: list[Any], most: int) -> Any:
    """The paths of at most `most` bonds to selection 2, as WBA's own traversal reads its network
    (which shares the bonds of different paths, so longer ones can be read from it)."""
    if network is None:
        yield path
        return
    if len(path) < most:
        for bond, rest in network.items():
            yield from _paths(rest, path + [bond], most)


def _far_heavy(bond: tuple[Any, ...]) -> int:
    """The heavy atom at the selection-2 end of a bond (atom1, heavy1, atom2, heavy2, ...)."""
    return int(bond[3] if bond[3] is not None else bond[2])


def per_frame(bridges: set[Bridge], n_frames: int) -> np.ndarray:
    counts = Counter(bridge[0] for bridge in bridges)
    return np.array([counts.get(frame, 0) for frame in range(n_frames)])


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--topology", type=Path, default=SYSTEMS / "protein.gro")
    parser.add_argument("--trajectory", type=Path, default=SYSTEMS / "protein.xtc")
    parser.add_argument("--sel1", default="protein and resid 1:110")
    parser.add_argument("--sel2", default="protein and resid 111:214")
    parser.add_argument("--water", default="resname SOL")
    parser.add_argument("--order", type=int, default=1)
    parser.add_argument("--stop", type=int, default=None)
    parser.add_argument("--timing-orders", type=int, default=4, help="time ours alone up to this order (0: not)")
    parser.add_argument("--timing-selection", default="protein")
    args = parser.parse_args()
    warnings.simplefilter("ignore")
    if args.timing_orders:
        timing(args)
    mine, my_seconds = ours(args)
    other, revisits, other_seconds = theirs(args)
    n_frames = 1 + max(bridge[0] for bridge in mine | other) if mine | other else 0
    print(f"{args.sel1!r} and {args.sel2!r}, orders 1 to {args.order}, {n_frames} frames")
    print(f"{'':>10} {'mean/frame':>10} {'min':>5} {'max':>5} {'seconds':>8}")
    for name, bridges, seconds in (("ours", mine, my_seconds), ("WBA", other, other_seconds)):
        counts = per_frame(bridges, n_frames)
        print(f"{name:>10} {counts.mean():>10.2f} {counts.min():>5} {counts.max():>5} {seconds:>8.2f}")
    frames_equal = int(np.sum(per_frame(mine, n_frames) == per_frame(other, n_frames)))
    print(f"frames with equal counts: {frames_equal} of {n_frames}")
    print(f"bridge rows (frame, a, waters, b): in common {len(mine & other)}, ours only {len(mine - other)}, "
          f"WBA only {len(other - mine)}")
    distinct_mine, distinct_other = {row[1:] for row in mine}, {row[1:] for row in other}
    print(f"distinct bridges: in common {len(distinct_mine & distinct_other)}, ours only "
          f"{len(distinct_mine - distinct_other)}, WBA only {len(distinct_other - distinct_mine)}")
    if revisits:
        print(f"WBA paths visiting a water twice, left out: {revisits}")
    for name, rows in (("ours only", sorted(mine - other)[:5]), ("WBA only", sorted(other - mine)[:5])):
        for row in rows:
            print(f"  {name}: {row}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
