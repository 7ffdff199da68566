""".xtc and .trr files with a .gro or .pdb topology, read by the package itself: the rows, counts,
occupancies and labels of the MDTraj path, on real files, without importing either library."""

import subprocess
import sys

import numpy as np
import pytest

from brenvox_hbond import analyze
from brenvox_hbond.sites import SiteSelection
from brenvox_hbond.sources.base import FrameRange
from brenvox_hbond.sources.opening import open_source
from pentamer_files import GRO, PDB, XTC

md = pytest.importorskip("mdtraj")


def adenylate_kinase(trajectory):
    files = pytest.importorskip("MDAnalysisTests.datafiles")
    return getattr(files, trajectory), files.GRO


@pytest.fixture(scope="module")
def water(traj, tmp_path_factory):
    folder = tmp_path_factory.mktemp("native-water")
    traj.save(str(folder / "w.xtc"))
    traj.save(str(folder / "w.trr"))
    traj[0].save(str(folder / "w.pdb"))
    return folder


CASES = {
    "pentamer gro": lambda water: (XTC, GRO),
    "pentamer pdb.gz": lambda water: (XTC, PDB),
    "adk xtc": lambda water: adenylate_kinase("XTC"),
    "adk trr": lambda water: adenylate_kinase("TRR"),
    "water xtc pdb": lambda water: (water / "w.xtc", water / "w.pdb"),
    "water trr pdb": lambda water: (water / "w.trr", water / "w.pdb"),
}


@pytest.mark.parametrize("options", [{}, {"exclude_water": True}, {"sidechain_only": True, "start": 1, "step": 2},
                                     {"keep_rows": False, "chunk_size": 2}])
@pytest.mark.parametrize("case", CASES)
def test_native_path_equals_the_mdtraj_path(water, case, options):
    trajectory, topology = CASES[case](water)
    options = {"stop": 8, **options}
    try:
        expected = analyze(trajectory, topology, backend="mdtraj", **options)
    except ValueError as exc:  # no donors left: the native path must say the same
        with pytest.raises(ValueError, match=str(exc)[:40]):
            analyze(trajectory, topology, backend="native", **options)
        return
    found = analyze(trajectory, topology, **options)
    for name in ("hbonds", "counts", "frames", "times"):
        np.testing.assert_array_equal(getattr(found, name), getattr(expected, name), err_msg=name)
    for mine, theirs in zip(found.occupancy(), expected.occupancy()):
        np.testing.assert_array_equal(mine, theirs)
    for field in ("names", "residue_names", "residue_ids", "elements", "chains"):
        np.testing.assert_array_equal(getattr(found.labels, field), getattr(expected.labels, field), err_msg=field)


def test_command_reads_without_the_libraries(tmp_path):
    code = ("import sys\n"
            "sys.modules['mdtraj'] = sys.modules['MDAnalysis'] = None\n"
            "from brenvox_hbond.cli import main\n"
            f"status = main([{str(XTC)!r}, '--top', {str(GRO)!r}, '--counts', 'counts.csv', '-q'])\n"
            "print(status, sorted(m for m, module in sys.modules.items()\n"
            "                     if module is not None and m.split('.')[0] in ('mdtraj', 'MDAnalysis', 'pandas')))\n")
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, check=True)
    assert done.stdout.split() == ["0", "[]"]
    expected = analyze(XTC, GRO, backend="mdtraj")
    assert (tmp_path / "counts.csv").read_text().splitlines()[1:] == [
        f"{frame},{time:g},{count}" for frame, time, count in zip(expected.frames, expected.times, expected.counts)]


def test_selection_strings_take_the_mdtraj_path():
    found = analyze(XTC, GRO, acceptors="resname HOH", stop=2)
    np.testing.assert_array_equal(found.hbonds, analyze(XTC, GRO, acceptors="resname HOH", stop=2,
                                                        backend="mdtraj").hbonds)
    with pytest.raises(ValueError, match="selection strings need MDTraj or MDAnalysis"):
        analyze(XTC, GRO, acceptors="resname HOH", backend="native")


def test_residues_without_a_template_take_the_mdtraj_path(tmp_path):
    ligand = tmp_path / "with-ligand.gro"
    lines = GRO.read_text().splitlines()
    # The first water becomes a residue this reader has no template for.
    first_water = next(i for i, line in enumerate(lines[2:-1], 2) if line[5:10].strip() == "SOL")
    lines[first_water:first_water + 3] = [line[:5] + "LIG  " + line[10:] for line in lines[first_water:first_water + 3]]
    ligand.write_text("\n".join(lines) + "\n")
    assert type(open_source(XTC, ligand, SiteSelection(), FrameRange(), 10, None)).__name__ == "MdtrajFiles"
    assert type(open_source(XTC, GRO, SiteSelection(), FrameRange(), 10, None)).__name__ == "NativeFiles"
