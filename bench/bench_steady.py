"""The streaming loop's steady state against its two stages alone: per frame, the loop that reads
a chunk while the previous one is searched, against decoding the frames alone and searching
chunks decoded beforehand, on every core, in this process.

The loop can take no less than the larger stage; on two cores both stages share them, so the
ratio to the larger stage says how well the loop keeps them busy. Times are medians of --reps
runs in rotated order, per frame.

    bench/make-gmx-systems.sh                                       # once: writes bench/systems
    .venv/bin/python bench/bench_steady.py [--xtc bench/systems/water-2020.xtc]
                                           [--top bench/systems/water.gro] [--reps 5]
"""

from __future__ import annotations

import argparse
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import rotated_repetitions

from brenvox_hbond.chunk_search import SearchOptions, search_chunk
from brenvox_hbond.collector import Collector
from brenvox_hbond.frame_loop import search_chunks
from brenvox_hbond.sites import SiteSelection
from brenvox_hbond.sources.base import FrameRange
from brenvox_hbond.sources.opening import open_source

SYSTEMS = Path(__file__).resolve().parent / "systems"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--xtc", type=Path, default=SYSTEMS / "water-2020.xtc")
    parser.add_argument("--top", type=Path, default=SYSTEMS / "water.gro")
    parser.add_argument("--reps", type=int, default=5)
    args = parser.parse_args()
    if not args.xtc.is_file():
        raise SystemExit(f"{args.xtc} is missing: make it with bench/make-gmx-systems.sh")

    source = open_source([args.xtc], str(args.top), SiteSelection(), FrameRange(), 100, "native")
    decoded = list(source.chunks())
    n_frames = sum(len(chunk.frames) for chunk in decoded)

    def loop(options: SearchOptions) -> None:
        search_chunks(source.chunks(), Collector(source.sites, options))

    counts = SearchOptions(keep_rows=False, occupancy=False)
    runs = {
        "decoding alone": lambda: sum(len(chunk.frames) for chunk in source.chunks()),
        "searching alone (chunks decoded before)": lambda: [search_chunk(chunk, source.sites, counts)
                                                            for chunk in decoded],
        "the loop, counts per frame": lambda: loop(counts),
        "the loop, counts and occupancy": lambda: loop(SearchOptions(keep_rows=False)),
    }
    medians = {name: statistics.median(rep[name] for rep in rotated_repetitions(runs, args.reps)) / n_frames
               for name in runs}
    larger = max(medians["decoding alone"], medians["searching alone (chunks decoded before)"])
    print(f"{args.xtc.name}: {source.structure.n_atoms} atoms, {n_frames} frames; medians of {args.reps} runs\n")
    print(f"{'run':42} {'ms/frame':>9} {'x larger stage':>15}")
    for name, seconds in medians.items():
        print(f"{name:42} {1e3 * seconds:9.3f} {seconds / larger:15.2f}")


if __name__ == "__main__":
    main()
