"""The brenvox-hbond command, on a four-water periodic box built by hand (its figures are in
test_plots.py)."""

import resource
import subprocess
import sys

import numpy as np
import pytest

from brenvox_hbond import analyze, cli, load_existence, water_bridges
from pentamer_files import GRO, XTC
from sanitizer import SANITIZED

# Water 1 donates to water 2 across the x = 0 face of the 1.2 nm box in every frame; water 3
# donates to water 4 in even frames only (odd frames move water 4 away).
PERIODIC_COUNTS = [2, 1, 2, 1, 2]
DIRECT_COUNTS = [1, 0, 1, 0, 1]
TIMES = [0.0, 2.0, 4.0, 6.0, 8.0]
# Labels carry the chain: with no chain IDs in a .gro, each water is a molecule of its own.
BOND_1, BOND_3 = "1:HOH1-O - 1:HOH1-H1 ... 2:HOH2-O", "3:HOH3-O - 3:HOH3-H1 ... 4:HOH4-O"
ERROR = "brenvox-hbond: error: "


def _waters(frame):
    up, side = (0, 0, 1), (0, 0.97, -0.25)
    waters = [((0.1, 0.6, 0.6), (-1, 0, 0), (0.25, 0, 0.97)), ((1.0, 0.6, 0.6), up, side),
              ((0.6, 0.15, 0.6), (0, 1, 0), (0, -0.25, 0.97)), ((0.6, 0.45 + 0.2 * (frame % 2), 0.6), up, side)]
    return [atom for o, h1, h2 in waters for atom in (o, np.add(o, np.multiply(h1, 0.0957)),
                                                       np.add(o, np.multiply(h2, 0.0957)))]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    md = pytest.importorskip("mdtraj")
    directory = tmp_path_factory.mktemp("water")
    topology = md.Topology()
    chain = topology.add_chain()
    for number in range(1, 5):
        residue = topology.add_residue("HOH", chain, resSeq=number)
        oxygen = topology.add_atom("O", md.element.oxygen, residue)
        for name in ("H1", "H2"):
            topology.add_bond(oxygen, topology.add_atom(name, md.element.hydrogen, residue))
    xyz = np.array([_waters(frame) for frame in range(5)], dtype=np.float32)
    trajectory = md.Trajectory(xyz, topology, time=TIMES, unitcell_lengths=np.full((5, 3), 1.2),
                               unitcell_angles=np.full((5, 3), 90.0))
    trajectory.save_xtc(str(directory / "w.xtc"))
    trajectory[0].save_gro(str(directory / "w.gro"))
    trajectory[0].atom_slice(range(9)).save_gro(str(directory / "short.gro"))
    (directory / "noise.xtc").write_bytes(np.random.default_rng(1).bytes(3000))
    return {path.name: str(path) for path in directory.iterdir()} | {"dir": directory}


def run(capsys, *argv):
    status = cli.main([str(arg) for arg in argv])
    out, err = capsys.readouterr()
    return status, out, err


@pytest.mark.parametrize("options, frames, counts", [
    ([], range(5), PERIODIC_COUNTS),
    (["--no-periodic"], range(5), DIRECT_COUNTS),
    (["--start", "1", "--step", "2", "--chunk-size", "1"], [1, 3], [1, 1]),
    (["--backend", "mdanalysis", "--threads", "2"], range(5), PERIODIC_COUNTS),
])
def test_counts_file_matches_analyze(capsys, files, options, frames, counts):
    if "mdanalysis" in options:
        pytest.importorskip("MDAnalysis")
    path = files["dir"] / "counts.csv"
    assert run(capsys, files["w.xtc"], "--top", files["w.gro"], "--counts", path, "-q", *options) == (0, "", "")
    lines = path.read_text().splitlines()
    assert lines == ["frame,time_ps,n_hbonds"] + [f"{f},{TIMES[f]:g},{n}" for f, n in zip(frames, counts)]
    result = analyze(files["w.xtc"], files["w.gro"], periodic="--no-periodic" not in options,
                     start=1 if "--start" in options else None, step=2 if "--step" in options else None)
    assert [line.split(",")[2] for line in lines[1:]] == [str(n) for n in result.counts]


@pytest.mark.parametrize("options, expected", [
    ([], ["bonds present in more than 10% of frames: 2", f"100.0%  {BOND_1}", f" 60.0%  {BOND_3}"]),
    (["--freq", "0.7"], ["more than 70% of frames: 1", f"100.0%  {BOND_1}"]),
    (["--list", "1"], [f"100.0%  {BOND_1}", "... 1 more"]),
])
def test_summary_lists_occupied_bonds(capsys, files, options, expected):
    status, out, err = run(capsys, files["w.xtc"], "--top", files["w.gro"], *options)
    listed = out[out.index("bonds present"):]
    assert (status, err) == (0, "") and "frames analysed: 5 (time 0 to 8 ps)" in out
    assert all(line in listed for line in expected) and listed.count("%  ") == len(expected) - 1


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_bond_table(capsys, files, suffix):
    pd = pytest.importorskip("pandas")
    if suffix == ".parquet":
        pytest.importorskip("pyarrow")
    path = files["dir"] / f"bonds{suffix}"
    assert run(capsys, files["w.xtc"], "--top", files["w.gro"], "--out", path, "--geometry", "-q")[0] == 0
    table = pd.read_csv(path) if suffix == ".csv" else pd.read_parquet(path)
    assert {"frame", "time_ps", "donor", "hydrogen", "acceptor", "donor_resid", "acceptor_name",
            "distance_ha_nm", "angle_deg"} <= set(table.columns)
    assert table.groupby("frame").size().tolist() == PERIODIC_COUNTS
    assert table["distance_ha_nm"].between(0.2, 0.21).all()


def test_bridges_summary_and_table(capsys, tmp_path):
    pd = pytest.importorskip("pandas")
    pytest.importorskip("mdtraj")  # reads the selections: the frames are read natively
    path = tmp_path / "bridges.csv"
    status, out, err = run(capsys, XTC, "--top", GRO, "--stop", "3", "--bridges", "index 0 to 404",
                           "index 135 to 999", "--bridge-order", "2", "--bridges-out", path, "--list", "3")
    expected = water_bridges(str(XTC), str(GRO), np.arange(405), np.arange(135, 1000), order=2, stop=3)
    summary = out[out.index("water bridges of order 2"):]
    assert (status, err) == (0, "") and summary.count("%  ") == 3 and f"written to {path}" in summary
    assert f"bridges per frame: mean {expected.counts_per_frame().mean():.2f}" in summary
    table = pd.read_csv(path)
    np.testing.assert_array_equal(table[["a", "water_1", "water_2", "b"]], expected.bridges[:, 1:])


@pytest.mark.parametrize("suffix, magic", [(".png", b"\x89PNG"), (".pdf", b"%PDF"), (".svg", b"<?xml")])
def test_plot_file(capsys, files, suffix, magic):
    pytest.importorskip("matplotlib")
    path = files["dir"] / f"plot{suffix}"
    assert run(capsys, files["w.xtc"], "--top", files["w.gro"], "--plot", path, "-q")[0] == 0
    assert path.read_bytes().startswith(magic)


@pytest.mark.parametrize("existence", ["bonds.npz", "bonds.xpm"])
def test_residue_pairs_and_existence_files(capsys, files, existence):
    pytest.importorskip("matplotlib")
    folder = files["dir"]
    status, out, _ = run(capsys, files["w.xtc"], "--top", files["w.gro"], "--residue-pairs", folder / "pairs.csv",
                         "--existence", folder / existence, "--heatmap", folder / "heatmap.png",
                         "--existence-map", folder / "existence.svg")
    assert status == 0 and f"existence matrix written to {folder / existence}" in out
    assert (folder / "pairs.csv").read_text().splitlines() == [
        "donor_residue,donor_chain,donor_resname,donor_resid,acceptor_residue,acceptor_chain,acceptor_resname,"
        "acceptor_resid,frames_bonded,occupancy,mean_bonds", "0,1,HOH,1,1,2,HOH,2,5,1.0,1.0",
        "2,3,HOH,3,3,4,HOH,4,3,0.6,0.6"]
    if existence.endswith(".npz"):
        assert load_existence(folder / existence).to_dense().tolist() == [[True] * 5, [True, False] * 2 + [True]]
    else:
        assert (folder / existence).read_text().endswith('"o o o",\n"ooooo"\n')  # bond 0 at the bottom
    assert (folder / "heatmap.png").read_bytes().startswith(b"\x89PNG")
    assert (folder / "existence.svg").read_bytes().startswith(b"<?xml")


@pytest.mark.parametrize("argv, status, message", [
    (["w.xtc", "--top", "w.gro", "--distance-cutoff", "-0.1"], 2, "--distance-cutoff: must be a positive"),
    (["w.xtc", "--top", "w.gro", "--angle-cutoff", "nan"], 2, "--angle-cutoff: must be an angle"),
    (["w.xtc", "--top", "w.gro", "--connect-timeout", "0"], 2, "--connect-timeout: must be a positive number"),
    (["w.xtc", "--top", "w.gro", "--out", "bonds.txt"], 2, "must end in .csv or .parquet"),
    (["w.xtc", "--top", "w.gro", "--existence", "bonds.csv"], 2, "must end in .npz or .xpm"),
    (["w.xtc"], 2, "holds no topology"),
    (["--top", "w.gro"], 2, "required: TRAJ"),
    (["absent.xtc", "--top", "w.gro"], 1, "trajectory file not found: absent.xtc"),
    (["w.xtc", "--top", "absent.gro"], 1, "topology file not found: absent.gro"),
    (["w.xtc", "--top", "short.gro"], 1, "has 12 atoms per frame but the topology has 9"),
    (["w.xtc", "--top", "short.gro", "--backend", "mdanalysis"], 1, "same number of atoms"),
    (["noise.xtc", "--top", "w.gro"], 1, "noise.xtc is not a readable .xtc file"),
    (["noise.xtc", "--top", "w.gro", "--backend", "mdanalysis"], 1, "cannot read noise.xtc, w.gro: "),
    (["w.xtc", "--top", "w.gro", "--donors", "resname SOL"], 1, "the donors selection 'resname SOL' matches no atom"),
    (["w.xtc", "--top", "w.gro", "--donors", "name O ((("], 1, "invalid selection: "),
    (["w.xtc", "--top", "w.gro", "--counts", "absent/counts.csv"], 1, "directory"),
    (["w.xtc", "--top", "w.gro", "--acceptors", "resname FOO"], 1,
     "the acceptors selection 'resname FOO' matches no atom"),
    (["w.xtc", "--top", "w.gro", "--start", "500"], 1,
     "start=500, stop=None, step=1 selects none of the trajectory's 5 frames"),
    (["w.xtc", "--top", "w.gro", "--distance-cutoff", "0.7"], 1, "distance_cutoff 0.7 must be below 0.6, half "
     "the smallest perpendicular width of the box of frame 0 (1.2): lengths are in nm"),
    (["w.xtc", "--top", "w.gro", "--exclude-water"], 1, "excluding water left no donor-hydrogen pairs"),
    (["w.xtc", "--top", "w.gro", "--bridge-order", "2"], 2, "--bridge-order and --bridges-out need --bridges"),
    (["w.xtc", "--top", "w.gro", "--bridges", "all", "all", "--exclude-water"], 2, "leave out --exclude-water"),
    (["w.xtc", "--top", "w.gro", "--bridges", "resname XYZ", "all"], 1, "--bridges SEL1 'resname XYZ' matches no"),
    (["w.xtc", "--top", "w.gro", "--bridges", "all", "name O (((", ], 1, "invalid selection: "),
    (["w.xtc", "--top", "w.gro", "--bridges", "all", "all"], 1, "selection1 holds no atom but water"),
    (["w.xtc", "--top", "w.gro", "--bridges", "all", "all", "--backend", "native"], 1, "need MDTraj or MDAnalysis"),
])
def test_bad_input_is_one_line(capsys, monkeypatch, files, argv, status, message):
    if "mdanalysis" in argv:
        pytest.importorskip("MDAnalysis")
    monkeypatch.chdir(files["dir"])
    code, out, err = run(capsys, *argv, *(["--counts", "never.csv"] if "--counts" not in argv else []))
    assert (code, out) == (status, "")
    assert err.startswith(ERROR) and err.count("\n") == 1 and message in err, err
    assert not (files["dir"] / "never.csv").exists()


@pytest.mark.parametrize("blocked, option", [("pyarrow", "bonds.parquet"), ("matplotlib", "plot.png")])
def test_missing_optional_dependency(capsys, monkeypatch, files, blocked, option):
    monkeypatch.setitem(sys.modules, blocked, None)
    code, _, err = run(capsys, files["w.xtc"], "--top", files["w.gro"],
                       "--out" if option.endswith("parquet") else "--plot", files["dir"] / option)
    assert code == 1 and err.startswith(ERROR) and "pip install" in err and err.count("\n") == 1


@pytest.mark.parametrize("raised, status, message", [
    (KeyboardInterrupt(), 130, "brenvox-hbond: interrupted\n"),
    (ZeroDivisionError("bug"), 1, f"{ERROR}ZeroDivisionError: bug\n"),
])
def test_interrupts_and_unexpected_errors(capsys, monkeypatch, raised, status, message):
    def fail(*args, **kwargs):
        raise raised

    monkeypatch.setattr("brenvox_hbond.analysis.analyze", fail)
    assert run(capsys, "any.pdb") == (status, "", message)


def test_module_entry_point(files):
    counts = files["dir"] / "entry.csv"
    ok = subprocess.run([sys.executable, "-m", "brenvox_hbond", files["w.xtc"], "--top", files["w.gro"],
                         "--counts", counts], capture_output=True, text=True)
    assert ok.returncode == 0 and BOND_1 in ok.stdout and ok.stderr == ""
    assert counts.read_text().splitlines()[1:] == [f"{f},{t:g},{n}" for f, t, n in
                                                   zip(range(5), TIMES, PERIODIC_COUNTS)]
    failed = subprocess.run([sys.executable, "-m", "brenvox_hbond", "missing.xtc", "--top", files["w.gro"]],
                            capture_output=True, text=True)
    assert failed.returncode == 1 and failed.stdout == "" and failed.stderr.count("\n") == 1


def test_a_run_on_xtc_and_gro_imports_numpy_and_the_package_only(files):
    code = ("import sys\nfrom brenvox_hbond.cli import main\n"
            f"main([{str(files['w.xtc'])!r}, '--top', {str(files['w.gro'])!r}, '--counts', 'counts.csv'])\n"
            "print(*sys.modules, file=sys.stderr)")
    loaded = subprocess.run([sys.executable, "-c", code], cwd=files["dir"], capture_output=True, text=True,
                            check=True).stderr
    assert not {"mdtraj", "MDAnalysis", "pandas", "pyarrow", "matplotlib", "tqdm", "distributed",
                "numpy.ma"} & set(loaded.split())


@pytest.mark.stress
@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves terabytes of address space")
def test_running_out_of_memory_is_one_line(files):
    """Under address-space limits from what the imports take up to what the run needs, the
    command either succeeds or says in one line that memory ran out: no traceback, no "not
    installed" for an import that could not be mapped, no silent exit."""
    command = [sys.executable, "-m", "brenvox_hbond", files["w.xtc"], "--top", files["w.gro"], "-q",
               "--counts", str(files["dir"] / "memory.csv")]
    probe = "import resource, numpy, brenvox_hbond.cli; print(resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)"
    status = subprocess.run([sys.executable, "-c", probe + "; print(open('/proc/self/status').read())"],
                            capture_output=True, text=True, check=True).stdout
    imported = int(next(line.split()[1] for line in status.splitlines() if line.startswith("VmPeak:"))) * 1024
    outcomes = set()
    for extra_mb in range(0, 200, 4):
        def limit(size=imported + extra_mb * 2**20):
            resource.setrlimit(resource.RLIMIT_AS, (size, size))

        run = subprocess.run(command, capture_output=True, text=True, preexec_fn=limit, timeout=120)
        lines = run.stderr.splitlines()
        if run.returncode == 0:
            assert all(line.startswith("brenvox-hbond: warning: ") for line in lines), run.stderr
        else:
            assert (run.returncode, len(lines)) == (1, 1) and "error: out of memory" in lines[0], run.stderr
        outcomes.add(run.returncode)
    assert outcomes == {0, 1}


def test_criterion_and_groups_reach_the_search(capsys, tmp_path):
    pytest.importorskip("mdtraj")
    path = tmp_path / "counts.csv"
    argv = [XTC, "--top", GRO, "--counts", path, "--criterion", "gromacs", "--between", "protein", "water"]
    status, out, _ = run(capsys, *argv)
    assert status == 0 and "criterion: GROMACS: D···A ≤ 0.35 nm, H–D···A ≤ 30°, hydrogens merged" in out
    every = analyze(XTC, GRO, criterion="gromacs")
    water = np.isin(every.labels.residue_names, ["HOH"])
    donor_water, acceptor_water = water[every.hbonds[:, 1]], water[every.hbonds[:, 3]]
    between = np.bincount(every.hbonds[donor_water != acceptor_water, 0], minlength=every.n_frames)
    assert [int(line.split(",")[2]) for line in path.read_text().splitlines()[1:]] == between.tolist()
