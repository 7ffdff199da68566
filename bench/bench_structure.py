"""Reading a topology from .gro and .pdb: the native reader against MDTraj.

For the pentamer of tests/data and water boxes of about 16 000 and 300 000 atoms (written by
MDTraj), times `read_structure` alone and with `structure_sites`, and MDTraj's topology as the
MDTraj path reads it (`GroTrajectoryFile(...).topology` for .gro, `load_topology` for .pdb), with
`mdtraj_sites`. Medians over repetitions run back to back in rotated order; MDTraj's import
(done once, before timing) is not counted.

    .venv/bin/python bench/bench_structure.py [--quick] [--reps N]
"""

from __future__ import annotations

import argparse
import gzip
import shutil
import statistics
import sys
import tempfile
import warnings
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from timing import rotated_repetitions
from water_trajectory import write_water_trajectory

from brenvox_hbond.sites import mdtraj_sites, structure_sites
from brenvox_hbond.sources.structure_files import read_structure

DATA = Path(__file__).resolve().parent.parent / "tests" / "data"


def inputs(folder: Path, quick: bool) -> dict[str, Path]:
    import mdtraj as md

    files = {}
    with gzip.open(DATA / "pentamer.gro.gz") as packed, open(folder / "pentamer.gro", "wb") as unpacked:
        shutil.copyfileobj(packed, unpacked)
    files["pentamer.gro"] = folder / "pentamer.gro"
    shutil.copyfile(DATA / "pentamer.pdb.gz", folder / "pentamer.pdb.gz")
    files["pentamer.pdb.gz"] = folder / "pentamer.pdb.gz"
    for molecules in (5_400,) if quick else (5_400, 99_999):  # residue numbers fill 5 columns of a .gro
        box = folder / f"water-{molecules}"
        _, gro = write_water_trajectory(box, molecules, 1)
        pdb = box / "water.pdb"
        md.load(str(gro)).save_pdb(str(pdb))
        files[f"water {3 * molecules} .gro"], files[f"water {3 * molecules} .pdb"] = gro, pdb
    return files


def mdtraj_topology(path: Path):
    import mdtraj as md

    if path.suffix == ".gro":
        with md.formats.GroTrajectoryFile(str(path)) as handle:
            return handle.topology
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return md.load_topology(str(path))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="leave out the 300 000-atom box")
    parser.add_argument("--reps", type=int, default=5)
    options = parser.parse_args()
    import mdtraj  # noqa: F401  (imported once, outside the timings)

    with tempfile.TemporaryDirectory() as scratch:
        files = inputs(Path(scratch), options.quick)
        print(f"{'file':<22}{'atoms':>8}{'ours (ms)':>11}{'+ sites':>10}{'MDTraj (ms)':>13}{'+ sites':>10}"
              f"{'ratio':>8}")
        for name, path in files.items():
            runs = {
                "ours": lambda p=path: read_structure(p),
                "ours+sites": lambda p=path: structure_sites(read_structure(p)),
                "mdtraj": lambda p=path: mdtraj_topology(p),
                "mdtraj+sites": lambda p=path: mdtraj_sites(mdtraj_topology(p)),
            }
            reps = options.reps if "29999" not in name else max(3, options.reps // 2)
            times = rotated_repetitions(runs, reps)
            median = {run: 1e3 * statistics.median(rep[run] for rep in times) for run in runs}
            atoms = read_structure(path).n_atoms
            print(f"{name:<22}{atoms:>8}{median['ours']:>11.1f}{median['ours+sites']:>10.1f}"
                  f"{median['mdtraj']:>13.1f}{median['mdtraj+sites']:>10.1f}"
                  f"{median['mdtraj'] / median['ours']:>7.1f}x")


if __name__ == "__main__":
    main()
