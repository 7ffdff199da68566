"""Each criterion's search against Baker–Hubbard's on the same frames: chunks decoded beforehand,
searched on every core, bonds per frame and time per frame, medians of --reps runs in rotated
order, with the ratio to Baker–Hubbard's time; and the whole analysis of the file (`analyze`
with its defaults: reading, search, counts and occupancy). Also `between` (protein against
water) on the solvated protein, against the search of every site.

    bench/make-gmx-systems.sh                                  # once: writes bench/systems
    .venv/bin/python bench/bench_criteria.py [--reps 5]
"""

from __future__ import annotations

import argparse
import statistics
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import rotated_repetitions

from brenvox_hbond import analyze
from brenvox_hbond.chunk_search import SearchOptions, search_chunk
from brenvox_hbond.criteria import PRESETS
from brenvox_hbond.sites import Sites, SiteSelection
from brenvox_hbond.sources.base import FrameRange
from brenvox_hbond.sources.opening import open_source

SYSTEMS = Path(__file__).resolve().parent / "systems"
CASES = {"SPC water, 15 966 atoms, 101 frames": ("water-101.xtc", "water.gro"),
         "adenylate kinase in TIP3P, 29 892 atoms, 51 frames": ("protein.xtc", "protein.gro")}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    print("| system | criterion | bonds per frame | search, ms per frame | × Baker–Hubbard | analyze, ms per frame "
          "| × Baker–Hubbard |")
    print("|---|---|---|---|---|---|---|")
    for system, (xtc, gro) in CASES.items():
        if not (SYSTEMS / xtc).is_file():
            raise SystemExit(f"{SYSTEMS / xtc} is missing: make it with bench/make-gmx-systems.sh")
        source = open_source([SYSTEMS / xtc], str(SYSTEMS / gro), SiteSelection(), FrameRange(), 100, "native")
        chunks = list(source.chunks())
        n_frames = sum(len(chunk.frames) for chunk in chunks)
        runs, bonds = {}, {}
        searches = {name: (source.sites, SearchOptions(criterion=name, keep_rows=False, occupancy=False))
                    for name in PRESETS}
        labels = source.labels()
        if labels is not None and "protein" in xtc:
            water = np.flatnonzero(np.isin(labels.residue_names, ["HOH", "SOL"]))
            protein = np.setdiff1d(np.arange(len(labels.residue_names)), water)
            between = Sites(source.sites.donor_h_pairs, source.sites.acceptors, (protein, water))
            searches["baker_hubbard, protein–water only"] = (between, searches["baker_hubbard"][1])
        for name, (sites, options) in searches.items():
            runs[name] = lambda sites=sites, options=options, chunks=chunks: [search_chunk(chunk, sites, options)
                                                                              for chunk in chunks]
            bonds[name] = sum(len(part.rows) for part in runs[name]()) / n_frames
            if name in PRESETS:
                runs[f"analyze {name}"] = lambda name=name, xtc=xtc, gro=gro: analyze(
                    SYSTEMS / xtc, SYSTEMS / gro, criterion=name, keep_rows=False, progress=False)
        reps = rotated_repetitions(runs, args.reps)
        medians = {name: statistics.median(rep[name] for rep in reps) / n_frames for name in runs}
        base, whole = medians["baker_hubbard"], medians["analyze baker_hubbard"]
        for name, seconds in medians.items():
            if name.startswith("analyze "):
                continue
            analysed = medians.get(f"analyze {name}")
            end = "| | |" if analysed is None else f"| {1e3 * analysed:.3f} | {analysed / whole:.2f} |"
            print(f"| {system} | {name} | {bonds[name]:.0f} | {1e3 * seconds:.3f} | {seconds / base:.2f} {end}")


if __name__ == "__main__":
    main()
