"""BakerHubbardAnalysis with each MDAnalysis backend against analyze over the same files."""

import concurrent.futures
import multiprocessing
import subprocess
import sys
import textwrap

import numpy as np
import pytest

mda = pytest.importorskip("MDAnalysis")

from brenvox_hbond import analyze  # noqa: E402
from brenvox_hbond.errors import NotRunError  # noqa: E402
from brenvox_hbond.mdanalysis_analysis import BakerHubbardAnalysis  # noqa: E402

N_MOLECULES, N_FRAMES = 120, 12
# All frames, three frames (split 2 + 1 between two workers), five frames.
SELECTIONS = [(None, None, None), (1, 10, 3), (2, None, 2)]
OTHER_SELECTION = (4, 9, None)


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    pytest.importorskip("mdtraj")
    from test_baker_hubbard import water_trajectory

    # Whole molecules: without bonds in the .pdb, MDAnalysis pairs hydrogens by distance in frame 0.
    traj = water_trajectory("triclinic", N_MOLECULES, N_FRAMES, seed=4, whole=True)
    folder = tmp_path_factory.mktemp("water")
    traj.save(str(folder / "water.xtc"))
    traj[0].save(str(folder / "water.pdb"))
    traj.unitcell_vectors = None
    traj[:5].save(str(folder / "boxless.xtc"))
    return folder


def universe(files, trajectory="water.xtc"):
    return mda.Universe(str(files / "water.pdb"), str(files / trajectory))


@pytest.fixture(scope="module")
def dask_pool():
    dask = pytest.importorskip("dask")
    # One pool of spawned processes for the module: dask would otherwise start and import
    # everything anew for every run.
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool, dask.config.set(pool=pool):
        yield


@pytest.mark.parametrize("periodic", [True, False])
@pytest.mark.parametrize("selection", SELECTIONS)
@pytest.mark.parametrize("backend", ["serial", "multiprocessing", "dask"])
def test_runs_agree_with_analyze(request, files, backend, selection, periodic):
    options = {} if backend == "serial" else {"backend": backend, "n_workers": 2}
    if backend == "dask":
        request.getfixturevalue("dask_pool")
    # chunk_size 5 leaves part-filled chunks at the end of some computation groups, not others.
    analysis = BakerHubbardAnalysis(universe(files), periodic=periodic, chunk_size=5)
    # Nothing of an earlier run may remain in a later one.
    for start, stop, step in (selection, OTHER_SELECTION, selection):
        analysis.run(start=start, stop=stop, step=step, **options)
        reference = analyze(files / "water.xtc", files / "water.pdb", backend="mdanalysis", start=start, stop=stop,
                            step=step, periodic=periodic)
        for name in ("hbonds", "counts", "frames", "times"):
            found, wanted = analysis.results[name], getattr(reference, name)
            assert found.dtype == wanted.dtype
            np.testing.assert_array_equal(found, wanted)
    result = analysis.to_result()
    assert result.summary() == reference.summary()
    assert (result.distance_cutoff, result.angle_cutoff, result.periodic) == (0.25, 120.0, periodic)


def test_frames_without_a_box_are_searched_without_one(files):
    analysis = BakerHubbardAnalysis(universe(files, "boxless.xtc"), chunk_size=2)
    with pytest.warns(RuntimeWarning, match="frame 0 has no periodic box"):
        analysis.run()
    plain = BakerHubbardAnalysis(universe(files, "boxless.xtc"), periodic=False).run()
    assert analysis.results.counts.sum() > 0
    np.testing.assert_array_equal(analysis.results.hbonds, plain.results.hbonds)


def test_an_atom_group_limits_the_sites_not_the_frames(files):
    group = universe(files).select_atoms("index 0:149")
    analysis = BakerHubbardAnalysis(group, chunk_size=5).run(step=2, backend="multiprocessing", n_workers=2)
    reference = analyze(group, step=2)
    assert analysis.sites.donor_h_pairs.max() < 150
    np.testing.assert_array_equal(analysis.results.hbonds, reference.hbonds)
    np.testing.assert_array_equal(analysis.results.counts, reference.counts)


@pytest.mark.parametrize(("options", "error", "match"), [
    ({"hydrogens": "name NONE"}, ValueError, "selection .name NONE. matches no atom"),
    ({"distance_cutoff": 0.0}, ValueError, "distance_cutoff"),
    ({"angle_cutoff": 181.0}, ValueError, "angle_cutoff"),
    ({"distance_cutoff": "0.3"}, TypeError, "distance_cutoff"),
    ({"n_threads": 0}, ValueError, "n_threads"),
    ({"chunk_size": 0}, ValueError, "chunk_size"),
])
def test_bad_arguments_fail_before_a_run(files, options, error, match):
    with pytest.raises(error, match=match):
        BakerHubbardAnalysis(universe(files), **options)


def test_an_unsupported_backend_runs_nothing(files):
    analysis = BakerHubbardAnalysis(universe(files))
    with pytest.raises(ValueError, match="unsupported_backend"):
        analysis.run(backend="threads", n_workers=2)
    with pytest.raises(NotRunError, match="run"):
        analysis.to_result()


OPTIONAL = textwrap.dedent("""
    import sys
    import brenvox_hbond
    assert "MDAnalysis" not in sys.modules
    sys.modules["MDAnalysis"] = None
    try:
        import brenvox_hbond.mdanalysis_analysis
    except ImportError as exc:
        print(exc)
""")


def test_mdanalysis_stays_optional():
    done = subprocess.run([sys.executable, "-c", OPTIONAL], capture_output=True, text=True, timeout=60, check=False)
    assert done.returncode == 0, done.stderr
    assert "pip install 'brenvox_hbond_rs[mdanalysis]'" in done.stdout


@pytest.mark.parametrize("criterion", ["gromacs", "mdanalysis", "wernet_nilsson"])
def test_criteria_reach_the_analysis(files, criterion):
    analysis = BakerHubbardAnalysis(universe(files), criterion=criterion).run()
    reference = analyze(files / "water.xtc", files / "water.pdb", backend="mdanalysis", criterion=criterion)
    np.testing.assert_array_equal(analysis.results.hbonds, reference.hbonds)
    assert analysis.to_result().criterion == reference.criterion
