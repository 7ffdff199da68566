"""The options every chunk search runs with, checked when they are made, before any frame is
read; and the serial analysis, which runs without the cluster module."""

import dataclasses
import os
import subprocess
import sys

import pytest

from brenvox_hbond.chunk_search import SearchOptions


@pytest.mark.parametrize(("options", "error", "match"), [
    ({"distance_cutoff": -1.0}, ValueError, "distance_cutoff must be finite and positive"),
    ({"angle_cutoff": float("nan")}, ValueError, "angle_cutoff must be between 0 and 180"),
    ({"n_threads": 0}, ValueError, "n_threads must be at least 1"),
    ({"distance_cutoff": "0.3"}, TypeError, "distance_cutoff must be a real number"),
])
def test_bad_options_fail_when_made(options, error, match):
    with pytest.raises(error, match=match):
        SearchOptions(**options)


def test_options_are_frozen_plain_values():
    options = SearchOptions(distance_cutoff=1, periodic=0, keep_rows=None)
    assert (options.distance_cutoff, options.periodic, options.keep_rows) == (1.0, False, False)
    assert type(options.distance_cutoff) is float and options.threads == (os.cpu_count() or 1)
    with pytest.raises(dataclasses.FrozenInstanceError):
        options.n_threads = 2


def test_serial_analysis_leaves_dask_alone(traj, tmp_path):
    pytest.importorskip("mdtraj")
    traj.save(str(tmp_path / "w.xtc"))
    traj[0].save(str(tmp_path / "w.pdb"))
    code = ("import sys, brenvox_hbond; brenvox_hbond.analyze('w.xtc', 'w.pdb', progress=False); "
            "print(*sorted(m for m in sys.modules if m.split('.')[0] in ('distributed', 'dask') "
            "or m == 'brenvox_hbond.cluster'))")
    loaded = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, check=True)
    assert loaded.stdout.split() == []
