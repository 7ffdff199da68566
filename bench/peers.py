"""Other tools finding hydrogen bonds in a trajectory file, timed as a user would run them.

Every function takes the paths written by `water_trajectory.py`, imports its tool only when
called and returns (wall seconds, summary). The summary's `counts` holds bonds per frame and
`frames` the frames read; `total` and `mean` follow from them.

The criteria differ. Ours (Baker–Hubbard, as MDTraj's `baker_hubbard`): H···A < 0.25 nm and
D–H···A angle > 120°.

- MDTraj: the same criterion, on every donor–hydrogen–acceptor triplet of the topology (its
  geometry is computed for all of them, so memory grows as pairs × acceptors × frames).
- MDAnalysis `HydrogenBondAnalysis`: D···A < `d_a_cutoff` and D–H···A > 120°. No H···A
  cut-off exists, so D···A < 3.5 Å (H···A 2.5 Å plus a D–H bond up to 1.0 Å) keeps every
  Baker–Hubbard bond and also some with H···A up to about 2.9 Å: its counts are an upper
  bound. With `exact=True`, a second pass over the trajectory drops rows with H···A ≥ 2.5 Å.
- `gmx hbond` (GROMACS 2022): `-noda -r 0.25` tests H···A < 0.25 nm, but its angle is
  H–D···A < `-a`, not D–H···A. For a D–H bond of length d, D–H···A > 120° means
  H–D···A < asin(r sin 120° / sqrt(d² + r² + r d)) at H···A = r, which grows with r: 44.45°
  at r = 0.25 nm, d = 0.0957 nm. `-a 45` (margin for coordinates rounded to 0.001 nm)
  therefore keeps every bond and more (about 6 % more on the water box, 3 % with -a 44.45): an
  upper bound too, with nothing to filter it afterwards.

All read the same float32 coordinates, rounded to 0.001 nm by the .xtc, so a bond can sit
exactly on a cut-off; float rounding then decides it, differently from tool to tool (about one
bond in 100 000 on the water box, at 120°).

`bench_pipeline.py` times them against brenvox_hbond.
"""

from __future__ import annotations

import math
import os
import shutil
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np

HA_CUTOFF_NM = 0.25
DHA_CUTOFF_DEG = 120.0
# D···A bound for MDAnalysis: H···A cut-off plus the longest D–H bond of common water models.
MDA_DA_CUTOFF_A = 10.0 * HA_CUTOFF_NM + 1.0
GMX_HDA_CUTOFF_DEG = 45.0


def _summary(counts, **extra) -> dict:
    counts = np.asarray(counts, dtype=np.int64)
    return {"frames": int(counts.size), "counts": counts, "total": int(counts.sum()),
            "mean": float(counts.mean()) if counts.size else math.nan, **extra}


def read_only_mdtraj(xtc, top, *, chunk: int | None = None) -> tuple[float, dict]:
    """Reads the whole trajectory with `md.load`, or with `md.iterload(chunk=chunk)` when
    `chunk` is given, and does nothing else: the cost of reading the file. The summary has
    `frames` and `atoms`."""
    import mdtraj as md

    start = time.perf_counter()
    if chunk is None:
        traj = md.load(str(xtc), top=str(top))
        frames, atoms = traj.n_frames, traj.n_atoms
    else:
        frames = atoms = 0
        for piece in md.iterload(str(xtc), top=str(top), chunk=chunk):
            frames += piece.n_frames
            atoms = piece.n_atoms
    return time.perf_counter() - start, {"frames": frames, "atoms": atoms}


def mdtraj_baker_hubbard(
    xtc, top, *, chunk: int = 10, n_frames: int | None = None, per_frame_calls: bool = False
) -> tuple[float, dict]:
    """Bonds per frame with `mdtraj.baker_hubbard(periodic=True, exclude_water=False)` over
    chunks from `md.iterload`, stopping after `n_frames` frames when given.

    `baker_hubbard` returns only the triplets present in more than a share `freq` of the
    frames it is given. With `per_frame_calls`, it is called on each frame alone with freq=0,
    and the count is the number of triplets it returns. Otherwise it is called once per chunk
    with freq=0, which returns every triplet bonded in some frame of the chunk, and
    `md.compute_distances` and `md.compute_angles` on those triplets tell in which frames each
    is bonded: the same bonds, at a fraction of the cost, since each call computes the
    distances of all pairs × acceptors triplets (on 5 000 waters, chunk 10 peaks at about
    4.4 GB, chunk 20 at 6.5 GB). The summary's `per_frame_s` is seconds per frame.
    """
    import mdtraj as md

    counts: list[int] = []
    start = time.perf_counter()
    for piece in md.iterload(str(xtc), top=str(top), chunk=chunk):
        if n_frames is not None:
            piece = piece[: n_frames - len(counts)]
        if per_frame_calls:
            for frame in range(piece.n_frames):
                counts.append(len(md.baker_hubbard(
                    piece[frame], freq=0.0, periodic=True, exclude_water=False)))
        else:
            triplets = md.baker_hubbard(piece, freq=0.0, periodic=True, exclude_water=False)
            if len(triplets) == 0:
                counts.extend([0] * piece.n_frames)
            else:
                near = md.compute_distances(piece, triplets[:, 1:], periodic=True) < HA_CUTOFF_NM
                angles = md.compute_angles(piece, triplets, periodic=True)
                bonded = near & (angles > math.radians(DHA_CUTOFF_DEG))
                counts.extend(bonded.sum(axis=1).tolist())
        if n_frames is not None and len(counts) >= n_frames:
            break
    seconds = time.perf_counter() - start
    return seconds, _summary(counts, per_frame_s=seconds / max(len(counts), 1))


def mdanalysis_hbonds(
    xtc, top, *, n_frames: int | None = None, exact: bool = False
) -> tuple[float, dict]:
    """Bonds per frame from MDAnalysis' `HydrogenBondAnalysis` (`count_by_time()`) with
    D···A < 3.5 Å and D–H···A > 120°, donors OW, hydrogens HW1/HW2 within 1.2 Å of them,
    acceptors OW.

    `counts` follow MDAnalysis' criterion (see the module's notes). With `exact`, the summary
    also has `exact_counts`, the rows whose H···A is below 2.5 Å, found in a second pass over
    the trajectory timed apart as `exact_s`: not included in the seconds returned.
    """
    import MDAnalysis as mda
    from MDAnalysis.analysis.hydrogenbonds import HydrogenBondAnalysis

    start = time.perf_counter()
    universe = mda.Universe(str(top), str(xtc))
    # The donors are found by distance: the box is too crowded for guessed bonds (MDAnalysis
    # guesses some H–H bonds between molecules).
    analysis = HydrogenBondAnalysis(
        universe, donors_sel="name OW", hydrogens_sel="name HW1 HW2", acceptors_sel="name OW",
        d_h_cutoff=1.2, d_a_cutoff=MDA_DA_CUTOFF_A, d_h_a_angle_cutoff=DHA_CUTOFF_DEG,
    )
    analysis.run(stop=n_frames)
    counts = analysis.count_by_time()
    seconds = time.perf_counter() - start
    extra: dict[str, object] = {"pairs": len(analysis._hydrogens)}
    if exact:
        extra_start = time.perf_counter()
        extra["exact_counts"] = _mdanalysis_exact_counts(universe, analysis.results.hbonds,
                                                         len(counts))
        extra["exact_s"] = time.perf_counter() - extra_start
    return seconds, _summary(counts, **extra)


def _mdanalysis_exact_counts(universe, rows: np.ndarray, n_frames: int) -> np.ndarray:
    from MDAnalysis.lib.distances import calc_bonds

    frame_of = rows[:, 0].astype(np.int64)
    hydrogens = rows[:, 2].astype(np.int64)
    acceptors = rows[:, 3].astype(np.int64)
    counts = np.zeros(n_frames, dtype=np.int64)
    for ts in universe.trajectory[:n_frames]:
        mine = frame_of == ts.frame
        if not mine.any():
            continue
        positions = ts.positions
        ha = calc_bonds(positions[hydrogens[mine]], positions[acceptors[mine]], box=ts.dimensions)
        counts[ts.frame] = int(np.count_nonzero(ha < 10.0 * HA_CUTOFF_NM))
    return counts


def gmx_hbond(
    xtc, tpr, *, angle_deg: float = GMX_HDA_CUTOFF_DEG, n_threads: int | None = None
) -> tuple[float, dict] | None:
    """Bonds per frame from `gmx hbond` (GROMACS 2022) on every frame, between group 0
    (System) and itself, read from its `-num` output. Returns None when `gmx` is not on PATH.

    Command: `gmx -quiet hbond -f XTC -s TPR -num hbnum.xvg -noda -r 0.25 -a ANGLE -nomerge`,
    with "0\\n0\\n" on standard input to pick the two groups. `-noda` makes `-r` an H···A
    cut-off, and needs `-nomerge`. `-a` bounds the H–D···A angle (see the module's notes).
    `n_threads` sets OMP_NUM_THREADS for its OpenMP frame loop (default: all cores, whose
    time jumps several-fold when another process takes a core; one thread is steadier). The
    seconds are the wall time of the whole process, reading the run input file included.
    """
    gmx = shutil.which("gmx")
    if gmx is None:
        return None
    env = dict(os.environ)
    if n_threads is not None:
        env["OMP_NUM_THREADS"] = str(n_threads)
    with tempfile.TemporaryDirectory() as work:
        command = [gmx, "-quiet", "hbond", "-f", str(Path(xtc).resolve()),
                   "-s", str(Path(tpr).resolve()), "-num", "hbnum.xvg",
                   "-noda", "-r", str(HA_CUTOFF_NM), "-a", str(angle_deg), "-nomerge"]
        start = time.perf_counter()
        done = subprocess.run(command, input="0\n0\n", cwd=work, env=env,
                              capture_output=True, text=True)
        seconds = time.perf_counter() - start
        if done.returncode != 0:
            raise RuntimeError(f"gmx hbond failed ({done.returncode}):\n{done.stderr[-2000:]}")
        table = np.loadtxt(Path(work) / "hbnum.xvg", comments=("#", "@"), ndmin=2)
    return seconds, _summary(table[:, 1].round().astype(np.int64), command=" ".join(command[1:]))

