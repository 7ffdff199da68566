"""analyze on trajectory files and in-memory trajectories, the errors, and the package without its
optional dependencies. HbondResult's tables are in test_results.py, the site finders in test_sites.py."""

import json
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from brenvox_hbond import NoFramesError, NoSitesError, analyze, find_hbonds
from water_box import N_FRAMES, N_MOLECULES

WATER_PAIRS = [(o, o + h) for o in range(0, 3 * N_MOLECULES, 3) for h in (1, 2)]

@pytest.fixture(scope="module")
def files(traj, tmp_path_factory):
    folder = tmp_path_factory.mktemp("water")
    for name, part in (("water.xtc", traj), ("first.xtc", traj[:7]), ("second.xtc", traj[7:]), ("water.pdb", traj[0]),
                       ("water.gro", traj[0]), ("smaller.pdb", traj[0].atom_slice(np.arange(300)))):
        part.save(str(folder / name))
    return folder


@pytest.fixture(scope="module")
def stored(files):
    """The trajectory as the .xtc file holds it (coordinates rounded to 0.001 nm)."""
    return pytest.importorskip("mdtraj").load(str(files / "water.xtc"), top=str(files / "water.pdb"))


@pytest.mark.parametrize("chunk_size", [1, 3, N_FRAMES, 50])
@pytest.mark.parametrize(("start", "stop", "step"), [
    (None, None, None), (2, None, None), (1, 10, 3), (0, 5, 2), (11, None, None), (3, 100, 4),
])
@pytest.mark.parametrize("source", ["one file", "two files", "in memory"])
def test_rows_equal_one_search(files, stored, source, start, stop, step, chunk_size):
    trajectory, topology = {"one file": (files / "water.xtc", str(files / "water.pdb")),
                            "two files": ([files / "first.xtc", str(files / "second.xtc")], files / "water.gro"),
                            "in memory": (stored, None)}[source]
    frames = {"start": start, "stop": stop, "step": step, "chunk_size": chunk_size}
    result = analyze(trajectory, topology, **frames)
    taken = np.arange(N_FRAMES)[start:stop:step]
    expected = find_hbonds(stored.xyz[taken], result.sites.donor_h_pairs, result.sites.acceptors,
                           box=stored.unitcell_vectors[taken])
    assert result.hbonds.dtype == np.uint32
    np.testing.assert_array_equal(result.hbonds, expected)
    np.testing.assert_array_equal(result.frames, taken)
    np.testing.assert_array_equal(result.times, stored.time[taken])
    np.testing.assert_array_equal(result.counts, np.bincount(expected[:, 0], minlength=len(taken)))
    counts_only = analyze(trajectory, topology, keep_rows=False, **frames)
    assert counts_only.hbonds is None
    np.testing.assert_array_equal(counts_only.counts, result.counts)
    for kept, tallied in zip(result.occupancy(), counts_only.occupancy()):
        np.testing.assert_array_equal(tallied, kept)


@pytest.mark.parametrize("topology", ["water.pdb", "water.gro", "universe"])
@pytest.mark.parametrize(
    ("start", "stop", "step", "chunk_size"), [(None, None, None, 100), (1, 10, 3, 2), (3, None, 2, 1)]
)
def test_backends_agree(files, topology, start, stop, step, chunk_size):
    mda = pytest.importorskip("MDAnalysis")
    parts = [files / "first.xtc", files / "second.xtc"]
    frames = {"start": start, "stop": stop, "step": step, "chunk_size": chunk_size}
    if topology == "universe":  # read with MDAnalysis without being asked
        results = [analyze(parts, files / "water.pdb", backend="mdtraj", **frames),
                   analyze(mda.Universe(str(files / "water.pdb"), *map(str, parts)), **frames)]
    else:
        results = [analyze(parts, files / topology, backend=backend, **frames) for backend in ("mdtraj", "mdanalysis")]
    for result in results:
        assert sorted(map(tuple, result.sites.donor_h_pairs.tolist())) == WATER_PAIRS
        assert result.sites.acceptors.tolist() == list(range(0, 3 * N_MOLECULES, 3))
    assert results[0].counts.sum() > 0
    np.testing.assert_array_equal(results[1].counts, results[0].counts)
    np.testing.assert_array_equal(results[1].frames, results[0].frames)
    np.testing.assert_allclose(results[1].times, results[0].times)
    np.testing.assert_array_equal(np.unique(results[1].hbonds, axis=0), np.unique(results[0].hbonds, axis=0))


def test_an_atom_group_limits_the_sites_not_the_frames(files):
    mda = pytest.importorskip("MDAnalysis")
    universe = mda.Universe(str(files / "water.pdb"), str(files / "water.xtc"))
    group = universe.select_atoms("index 0:149")
    whole, part = analyze(universe), analyze(group)
    assert part.n_frames == whole.n_frames == N_FRAMES
    assert part.sites.donor_h_pairs.max() < 150 and part.sites.acceptors.max() < 150
    inside = np.all(whole.hbonds[:, 1:] < 150, axis=1)
    np.testing.assert_array_equal(np.unique(part.hbonds, axis=0), np.unique(whole.hbonds[inside], axis=0))


def test_geometry_agrees_with_mdtraj(files, stored):
    md = pytest.importorskip("mdtraj")
    result = analyze(files / "water.xtc", files / "water.pdb", geometry=True, start=1, chunk_size=5)
    rows = result.hbonds.astype(np.int64)
    triplets, key = np.unique(rows[:, 1:], axis=0, return_inverse=True)
    at = (result.frames[rows[:, 0]], key.reshape(-1))
    np.testing.assert_allclose(result.distances_da, md.compute_distances(stored, triplets[:, [0, 2]])[at], atol=1e-5)
    np.testing.assert_allclose(result.distances_ha, md.compute_distances(stored, triplets[:, 1:])[at], atol=1e-5)
    # Cosines: MDTraj's float32 arccos is coarse near 180 degrees.
    np.testing.assert_allclose(np.cos(np.radians(result.angles)), np.cos(md.compute_angles(stored, triplets)[at]),
                               atol=1e-5)
    assert np.all(result.distances_ha < 0.25) and np.all(result.angles > 120.0)


@pytest.mark.parametrize("backend", ["mdtraj", "mdanalysis"])
def test_topology_of_another_size(files, backend):
    pytest.importorskip({"mdtraj": "mdtraj", "mdanalysis": "MDAnalysis"}[backend])
    with pytest.raises(ValueError) as error:
        analyze(files / "water.xtc", files / "smaller.pdb", backend=backend)
    assert "300" in str(error.value) and "360" in str(error.value)


@pytest.mark.parametrize(("trajectory", "topology", "kwargs", "error", "match"), [
    ("missing.xtc", "water.pdb", {}, FileNotFoundError, "missing.xtc"),
    (["water.xtc", "missing.xtc"], "water.pdb", {}, FileNotFoundError, "missing.xtc"),
    ("water.xtc", "missing.pdb", {}, FileNotFoundError, "missing.pdb"),
    ("water.xtc", "water.pdb", {"exclude_water": True}, NoSitesError, "no donor-hydrogen pairs"),
    ("water.xtc", "water.pdb", {"start": 500}, NoFramesError, "selects none of the trajectory's 12 frames"),
])
def test_file_errors(files, trajectory, topology, kwargs, error, match):
    paths = [files / name for name in trajectory] if isinstance(trajectory, list) else files / trajectory
    with pytest.raises(error, match=match):
        analyze(paths, files / topology, **kwargs)


@pytest.mark.parametrize(("kwargs", "error"), [
    ({"step": 0}, ValueError), ({"start": -1}, ValueError), ({"stop": -3}, ValueError),
    ({"start": 1.5}, TypeError), ({"step": True}, TypeError), ({"chunk_size": 0}, ValueError),
    ({"chunk_size": 2.0}, ValueError), ({"backend": "gromacs"}, ValueError),
])
def test_bad_arguments(tmp_path, kwargs, error):
    for name in ("x.xtc", "x.pdb"):
        (tmp_path / name).touch()
    with pytest.raises(error):
        analyze(tmp_path / "x.xtc", tmp_path / "x.pdb", **kwargs)


WITHOUT_EXTRAS = textwrap.dedent("""
    import json, sys
    for name in ("mdtraj", "MDAnalysis", "pandas", "pyarrow", "matplotlib", "tqdm"):
        sys.modules[name] = None
    import numpy as np
    import brenvox_hbond

    rows = brenvox_hbond.find_hbonds([[[0, 0, 0], [0.1, 0, 0], [0.3, 0, 0]]], [(0, 1)], [2], box=[3, 3, 3])
    result = brenvox_hbond.HbondResult(rows, np.arange(1), np.zeros(1), np.ones(1, np.int64),
                                       brenvox_hbond.Sites([(0, 1)], [2]))
    result.counts_to_csv("counts.csv")
    messages = {"rows": rows.tolist()}
    for extra, call in {"mdtraj": lambda: brenvox_hbond.analyze("x.xtc", "x.pdb", backend="mdtraj"),
                       "mdanalysis": lambda: brenvox_hbond.analyze("x.xtc", "x.pdb", backend="mdanalysis"),
                       "pandas": result.to_dataframe, "parquet": lambda: result.to_parquet("x.parquet")}.items():
        try:
            call()
        except ImportError as exc:
            messages[extra] = str(exc)
    print(json.dumps(messages))
""")


@pytest.fixture(scope="module")
def without_extras(tmp_path_factory):
    folder = tmp_path_factory.mktemp("without_extras")
    for name in ("x.xtc", "x.pdb"):
        (folder / name).touch()
    done = subprocess.run([sys.executable, "-c", WITHOUT_EXTRAS], cwd=folder, capture_output=True, text=True,
                          timeout=120, check=False)
    assert done.returncode == 0, done.stderr
    assert (folder / "counts.csv").read_text().splitlines() == ["frame,time_ps,n_hbonds", "0,0,1"]
    return json.loads(done.stdout)


@pytest.mark.parametrize("extra", ["mdtraj", "mdanalysis", "pandas", "parquet"])
def test_missing_extra_is_named(without_extras, extra):
    assert without_extras["rows"] == [[0, 0, 1, 2]]
    assert f"pip install 'brenvox_hbond_rs[{extra}]'" in without_extras.get(extra, "no ImportError")


def test_a_trajectory_without_box_warns_unless_periodic_is_off(stored):
    boxless = stored[:3]
    boxless.unitcell_vectors = None
    with pytest.warns(RuntimeWarning, match="frame 0 has no periodic box"):
        periodic = analyze(boxless, chunk_size=1)
    plain = analyze(boxless, periodic=False)
    np.testing.assert_array_equal(periodic.hbonds, plain.hbonds)
    np.testing.assert_array_equal(
        plain.hbonds, find_hbonds(boxless.xyz, plain.sites.donor_h_pairs, plain.sites.acceptors)
    )
