"""Reading real GROMACS files (a solvated peptide pentamer, in tests/data) through both readers:
damaged files keep their intact frames, each frame keeps its own box, and the readers' C code
prints nothing of its own."""

import subprocess
import sys

import numpy as np
import pytest

from brenvox_hbond import analyze, find_hbonds
from brenvox_hbond.sources.xdr_frames import index_frames
from pentamer_files import GRO, XTC

md = pytest.importorskip("mdtraj")
N_FRAMES = 6
BACKENDS = ["native", "mdtraj", "mdanalysis"]
LIBRARIES = {"native": "numpy", "mdtraj": "mdtraj", "mdanalysis": "MDAnalysis"}


def backend_installed(backend):
    pytest.importorskip(LIBRARIES[backend])


def damaged_copy(folder, kind, frame=4):
    """pentamer.xtc cut inside frame `frame` (in its header or its coordinates), or with garbage
    in its coordinates."""
    data = bytearray(XTC.read_bytes())
    start, end = index_frames(XTC).offsets[frame:frame + 2]
    if kind == "cut in coordinates":
        del data[start + 500:]
    elif kind == "cut in header":
        del data[start + 30:]
    else:
        data[start + 300:end - 8] = b"\xff" * (end - 8 - start - 300)
    path = folder / f"{kind.replace(' ', '-')}.xtc"
    path.write_bytes(bytes(data))
    return path


@pytest.fixture(scope="module")
def intact():
    return {backend: analyze(XTC, GRO, backend=backend) for backend in BACKENDS
            if __import__("importlib").util.find_spec(LIBRARIES[backend])}


def assert_rows(result, expected):
    np.testing.assert_array_equal(result.hbonds, expected.hbonds)
    np.testing.assert_array_equal(result.frames, expected.frames)
    np.testing.assert_array_equal(result.times, expected.times)


@pytest.mark.parametrize("backend", BACKENDS)
@pytest.mark.parametrize("kind", ["cut in coordinates", "cut in header"])
@pytest.mark.parametrize("files", ["one", "damaged then intact"])
def test_damaged_file_gives_the_intact_frames_and_one_warning(tmp_path, intact, backend, kind, files):
    backend_installed(backend)
    damaged = damaged_copy(tmp_path, kind)
    trajectory = [damaged] if files == "one" else [damaged, XTC]
    with pytest.warns(RuntimeWarning, match=rf"cannot read frame 4 of {damaged} .*its 4 frames before") as caught:
        result = analyze(trajectory, GRO, backend=backend, chunk_size=3)
    assert len(caught) == 1
    whole = intact[backend]
    expected_counts = np.concatenate([whole.counts[:4], whole.counts if files != "one" else []])
    np.testing.assert_array_equal(result.counts, expected_counts)
    np.testing.assert_array_equal(result.hbonds[result.hbonds[:, 0] < 4], whole.hbonds[whole.hbonds[:, 0] < 4])
    np.testing.assert_array_equal(result.frames, np.arange(len(expected_counts)))
    # A range that ends before the damage reads as the intact file does, without a warning.
    assert_rows(analyze(damaged, GRO, backend=backend, stop=4), analyze(XTC, GRO, backend=backend, stop=4))


@pytest.mark.parametrize("backend", BACKENDS)
def test_each_frame_keeps_its_own_box(tmp_path, backend):
    backend_installed(backend)
    stored = md.load(str(XTC), top=str(GRO))
    boxes = stored.unitcell_vectors.copy()
    boxes[2] = 0.0  # how an .xtc says "no box"
    path = tmp_path / "one-frame-without-box.xtc"
    with md.formats.XTCTrajectoryFile(str(path), "w") as out:
        out.write(stored.xyz, time=stored.time, box=boxes)
    with pytest.warns(RuntimeWarning, match="frame 2 has no periodic box: it is searched without one"):
        result = analyze(path, GRO, backend=backend, chunk_size=4)
    sites = result.sites
    for frame in range(N_FRAMES):
        box = None if frame == 2 else boxes[frame:frame + 1]
        expected = find_hbonds(stored.xyz[frame:frame + 1], sites.donor_h_pairs, sites.acceptors, box=box)
        np.testing.assert_array_equal(result.hbonds[result.hbonds[:, 0] == frame][:, 1:], expected[:, 1:])


def test_reader_c_code_prints_nothing_of_its_own(tmp_path):
    damaged = damaged_copy(tmp_path, "garbage")
    run = subprocess.run([sys.executable, "-m", "brenvox_hbond", str(damaged), "--top", str(GRO), "-q",
                          "--backend", "mdtraj"], capture_output=True, text=True)
    assert run.returncode == 0
    assert run.stderr.startswith("brenvox-hbond: warning: cannot read frame 4 of") and run.stderr.count("\n") == 1


def test_mdanalysis_analysis_leaves_out_a_damaged_tail(tmp_path):
    mda = pytest.importorskip("MDAnalysis")
    from brenvox_hbond import BakerHubbardAnalysis

    damaged = damaged_copy(tmp_path, "cut in coordinates")
    with pytest.warns(RuntimeWarning, match=rf"cannot read frame 4 of {damaged}"):
        analysis = BakerHubbardAnalysis(mda.Universe(str(GRO), str(damaged))).run()
    expected = analyze(XTC, GRO, backend="mdanalysis", stop=4)
    np.testing.assert_array_equal(analysis.results.hbonds, expected.hbonds)
    np.testing.assert_array_equal(analysis.results.frames, expected.frames)
    BakerHubbardAnalysis(mda.Universe(str(GRO), str(damaged))).run(stop=4)  # no warning


@pytest.mark.parametrize("name", ["adk_oplsaa.xtc", "adk_oplsaa.trr", "xyz_random_walk.xtc", "cobrotoxin.trr"])
def test_frame_index_equals_mdtraj_offsets(name):
    files = pytest.importorskip("MDAnalysisTests.datafiles")
    path = next(getattr(files, attribute) for attribute in dir(files)
                if str(getattr(files, attribute)).endswith("/" + name))
    with md.open(path) as handle:
        np.testing.assert_array_equal(index_frames(path).offsets, handle.offsets)
    assert index_frames(path).damage is None


def test_a_tpr_is_read_with_mdanalysis_by_default():
    pytest.importorskip("MDAnalysis")
    files = pytest.importorskip("MDAnalysisTests.datafiles")
    result = analyze(files.XTC, files.TPR, stop=2)
    np.testing.assert_array_equal(result.counts, analyze(files.XTC, files.TPR, stop=2, backend="mdanalysis").counts)


def test_a_non_ascii_path_is_read_or_named_as_the_cause(tmp_path):
    folder = tmp_path / "wässer"
    folder.mkdir()
    (folder / "p.xtc").write_bytes(XTC.read_bytes())
    (folder / "p.gro").write_bytes(GRO.read_bytes())
    with pytest.raises(ValueError, match="MDTraj cannot open file names that hold non-ASCII characters"):
        analyze(folder / "p.xtc", folder / "p.gro", backend="mdtraj")
    pytest.importorskip("MDAnalysis")
    np.testing.assert_array_equal(analyze(folder / "p.xtc", folder / "p.gro").counts,
                                  analyze(XTC, GRO, backend="mdanalysis").counts)
