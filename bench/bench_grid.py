"""Grid search against its floor on synthetic water boxes.

Builds the native `grid_floor` benchmark, writes water boxes of several sizes to a temporary
directory, runs the benchmark on them and prints its figures as tables, followed by the
end-to-end time of `brenvox_hbond_rs.run_baker_hubbard` on the same boxes.

    .venv/bin/python bench/bench_grid.py [--quick] [--spatial-order]
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import load_baseline
from waterbox import water_box

ROOT = Path(__file__).resolve().parent.parent
BUILD_DIR = ROOT / "build" / "bench"
BINARY = BUILD_DIR / "bench" / "grid_floor"
MAGIC = b"HBSYS1\0\0"

FULL = {"molecules": (1_000, 10_000, 100_000), "frames": 4, "reps": 7}
QUICK = {"molecules": (1_000, 10_000), "frames": 2, "reps": 3}


def build_binary() -> None:
    tools = Path(sys.executable).parent
    env = dict(os.environ, PATH=f"{tools}{os.pathsep}{os.environ.get('PATH', '')}")
    configure = [
        str(tools / "cmake"), "-S", str(ROOT), "-B", str(BUILD_DIR),
        "-DBRENVOX_BUILD_MODULE=OFF", "-DBRENVOX_BUILD_BENCH=ON",
        "-DCMAKE_BUILD_TYPE=Release", "-G", "Ninja",
        f"-DCMAKE_MAKE_PROGRAM={tools / 'ninja'}",
    ]
    for command in (configure, [str(tools / "cmake"), "--build", str(BUILD_DIR)]):
        done = subprocess.run(command, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            sys.stderr.write(done.stdout + done.stderr)
            raise SystemExit(f"build step failed: {' '.join(command)}")


def write_system(path: Path, xyz: np.ndarray, pairs, acceptors) -> None:
    """The layout grid_floor.cpp reads: magic, four u64 counts, f64 coordinates, u64 indices."""
    n_frames, n_atoms = xyz.shape[:2]
    header = np.array([n_frames, n_atoms, len(pairs), len(acceptors)], dtype=np.uint64)
    with open(path, "wb") as out:
        out.write(MAGIC)
        out.write(header.tobytes())
        out.write(np.ascontiguousarray(xyz, dtype=np.float64).tobytes())
        out.write(np.asarray(pairs, dtype=np.uint64).reshape(-1, 2).tobytes())
        out.write(np.asarray(acceptors, dtype=np.uint64).tobytes())


def renumber_spatially(xyz: np.ndarray) -> np.ndarray:
    """The same box with molecules numbered in grid-cell order of their oxygens in frame 0,
    as in a freshly built system; the index lists stay valid since the layout is unchanged."""
    cells = np.floor(xyz[0, ::3] * 4.0).astype(np.int64)
    order = np.lexsort((cells[:, 2], cells[:, 1], cells[:, 0]))
    atoms = (3 * order[:, None] + np.arange(3)).reshape(-1)
    return np.ascontiguousarray(xyz[:, atoms])


def parse_line(line: str) -> dict:
    fields = dict(item.split("=", 1) for item in line.split()[1:])
    return {k: (v if k == "check" else float(v)) for k, v in fields.items()}


def time_modules(modules: list, xyz: np.ndarray, pairs, acceptors,
                 reps: int) -> tuple[list[float], float, np.ndarray]:
    """Median per-frame milliseconds of each module's run_baker_hubbard, argument conversion
    included, timed back to back; the median ratio of the later ones' times to the first's; and
    the first module's rows, which every other module must reproduce exactly."""
    n_frames, n_atoms = xyz.shape[:2]
    flat = xyz.reshape(-1)
    rows = [m.run_baker_hubbard(flat, n_frames, n_atoms, pairs, acceptors) for m in modules]
    if any(not np.array_equal(other, rows[0]) for other in rows[1:]):
        raise SystemExit("*** MISMATCH: the baseline's rows differ from this build's ***")
    times: list[list[float]] = [[] for _ in modules]
    for _ in range(reps):
        for m, spent in zip(modules, times):
            start = time.perf_counter()
            m.run_baker_hubbard(flat, n_frames, n_atoms, pairs, acceptors)
            spent.append(time.perf_counter() - start)
    ratio = statistics.median(b / a for a, b in zip(times[0], times[-1]))
    return [statistics.median(t) * 1e3 / n_frames for t in times], ratio, rows[0]


def print_table(title: str, header: list[str], rows: list[list[str]]) -> None:
    widths = [max(len(h), *(len(r[i]) for r in rows)) for i, h in enumerate(header)]
    print(f"\n{title}")
    print("  ".join(h.rjust(w) for h, w in zip(header, widths)))
    print("  ".join("-" * w for w in widths))
    for row in rows:
        print("  ".join(c.rjust(w) for c, w in zip(row, widths)))


def exhaustive_cell(r: dict) -> str:
    if r["brute_ms"] < 0:
        return f"skip (~{r['brute_est_ms'] / 1e3:.0f} s)"
    return f"{r['brute_ms']:.2f}"


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="smaller boxes, fewer repetitions")
    parser.add_argument("--reps", type=int, help="repetitions per measurement")
    parser.add_argument("--frames", type=int, help="frames per box")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--brute-limit-s", type=float, default=20.0,
                        help="skip the exhaustive search when one frame would take longer")
    parser.add_argument("--spatial-order", action="store_true",
                        help="number molecules by position instead of at random")
    parser.add_argument("--baseline", type=Path,
                        help="extension file of another build of the module, timed beside this one")
    args = parser.parse_args()
    plan = QUICK if args.quick else FULL
    reps = args.reps or plan["reps"]
    n_frames = args.frames or plan["frames"]

    build_binary()
    boxes = {n: water_box(n, n_frames, seed=args.seed) for n in plan["molecules"]}
    if args.spatial_order:
        boxes = {n: (renumber_spatially(xyz), *rest) for n, (xyz, *rest) in boxes.items()}
    with tempfile.TemporaryDirectory(prefix="hbond-bench-") as tmp:
        paths = []
        for n, box in boxes.items():
            paths.append(Path(tmp) / f"water_{n}.bin")
            write_system(paths[-1], *box)
        command = [str(BINARY), "--reps", str(reps),
                   "--brute-limit-s", str(args.brute_limit_s), *map(str, paths)]
        done = subprocess.run(command, stdout=subprocess.PIPE, text=True)
    results = [parse_line(line) for line in done.stdout.splitlines()
               if line.startswith("grid_floor ")]
    if len(results) != len(boxes):
        sys.stderr.write(done.stdout)
        raise SystemExit(f"grid_floor exited with status {done.returncode}")

    order = "by position" if args.spatial_order else "at random, as after equilibration"
    print(f"water boxes, {n_frames} frames each, molecules numbered {order}; per-frame medians "
          f"of {reps} repetitions, median over frames; grid/floor is the median of "
          "back-to-back ratios")
    print_table("Grid search against its floor", [
        "atoms", "pairs", "acceptors", "bonds/frame", "exhaustive ms", "grid ms",
        "candidates/frame", "grid ns/cand", "floor ms", "grid/floor", "in sphere/frame",
        "sphere floor ms", "grid/sphere", "check"], [
        [f"{r['atoms']:.0f}", f"{r['pairs']:.0f}", f"{r['acceptors']:.0f}",
         f"{r['bonds_per_frame']:.0f}", exhaustive_cell(r), f"{r['grid_ms']:.3f}",
         f"{r['candidates_per_frame']:.0f}", f"{r['grid_ns_per_candidate']:.2f}",
         f"{r['floor_ms']:.3f}", f"{r['grid_over_floor']:.2f}",
         f"{r['sphere_candidates_per_frame']:.0f}", f"{r['sphere_ms']:.3f}",
         f"{r['grid_over_sphere']:.1f}", r["check"]]
        for r in results])

    print_table("Where the grid time goes (build = a one-pair call, which builds the whole grid)", [
        "atoms", "grid ms", "build ms", "pair loop ms", "loop ns/cand", "floor ns/cand",
        "floor in runs ms", "loop/floor", "exhaustive/grid"], [
        [f"{r['atoms']:.0f}", f"{r['grid_ms']:.3f}", f"{r['grid_build_ms']:.3f}",
         f"{r['grid_ms'] - r['grid_build_ms']:.3f}",
         f"{(r['grid_ms'] - r['grid_build_ms']) * 1e6 / r['candidates_per_frame']:.2f}",
         f"{r['floor_ns_per_candidate']:.2f}", f"{r['floor_runs_ms']:.3f}",
         f"{(r['grid_ms'] - r['grid_build_ms']) / r['floor_ms']:.2f}",
         f"{r['brute_ms'] / r['grid_ms']:.0f}" if r["brute_ms"] >= 0
         else f"~{r['brute_est_ms'] / r['grid_ms']:.0f} (est.)"]
        for r in results])

    import brenvox_hbond_rs

    modules = [brenvox_hbond_rs] + ([load_baseline(args.baseline)] if args.baseline else [])
    module_rows = []
    module_ok = True
    for r, (n, (xyz, pairs, acceptors)) in zip(results, boxes.items()):
        ms, baseline_ratio, rows = time_modules(modules, xyz, pairs, acceptors, reps)
        n_rows = len(rows)
        if n_rows != r["bonds_total"]:
            print(f"*** MISMATCH *** run_baker_hubbard found {n_rows} bonds in the "
                  f"{3 * n}-atom box, grid_floor {r['bonds_total']:.0f}", file=sys.stderr)
            module_ok = False
        module_rows.append([f"{3 * n}", f"{ms[0]:.3f}", f"{ms[0] / r['grid_ms']:.2f}",
                            f"{n_rows / n_frames / n:.3f}"]
                           + ([f"{ms[1]:.3f}", f"{baseline_ratio:.2f}"] if args.baseline else []))
    print_table("run_baker_hubbard end to end (per frame, argument conversion included)", [
        "atoms", "ms/frame", "vs grid", "bonds/molecule"]
        + (["baseline ms/frame", "baseline/this"] if args.baseline else []), module_rows)

    if done.returncode != 0 or not module_ok or any(r["check"] != "ok" for r in results):
        print("\n*** MISMATCH: searches disagree; see standard error above ***")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
