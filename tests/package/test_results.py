"""HbondResult (results.py): its writers, which replace a file whole or not at all, the times they
write, occupancy, counts, tables, and lifetimes in ps or frames."""

import dataclasses
import pickle
from types import SimpleNamespace

import numpy as np
import pytest

from brenvox_hbond import AtomLabels, HbondResult, RowsNotKeptError, Sites, _native, analyze, bond_tables, lifetimes
from brenvox_hbond.results import time_text, triplet_keys
from water_box import N_FRAMES

ROWS = np.array([[0, 0, 1, 2], [1, 0, 1, 2]], dtype=np.uint32)


def result(times=(0.0, 0.2)):
    labels = AtomLabels(np.array(["O", "H", "O"]), np.full(3, "SOL"), np.array([1, 1, 2]), np.array(["O", "H", "O"]))
    return HbondResult(ROWS, np.arange(len(times)), np.asarray(times, dtype=np.float64), np.ones(len(times), np.int64),
                       Sites([[0, 1]], [2]), labels)


def failing_writer(target_module, name, exception):
    """A writer that writes a little of its file, then fails."""
    def write(self_or_path, *args, **kwargs):
        path = args[0] if not isinstance(self_or_path, (str, bytes)) and args else self_or_path
        with open(path, "w") as out:
            out.write("frame,time_ps\n0,")
        raise exception

    return target_module, name, write


WRITERS = {
    "counts_to_csv": lambda r, p: r.counts_to_csv(p),
    "to_csv": lambda r, p: r.to_csv(p),
    "to_parquet": lambda r, p: r.to_parquet(p),
}


@pytest.mark.parametrize("exception", [KeyboardInterrupt(), OSError(28, "No space left on device")])
@pytest.mark.parametrize("writer", WRITERS)
def test_a_failed_write_leaves_the_earlier_file_and_no_other(tmp_path, monkeypatch, writer, exception):
    if writer == "to_parquet":
        monkeypatch.setattr(*failing_writer(pytest.importorskip("pyarrow.parquet"), "write_table", exception))
    elif writer == "to_csv":  # after the header line
        monkeypatch.setattr("brenvox_hbond.bond_tables._native",
                            SimpleNamespace(format_rows=lambda *_: (_ for _ in ()).throw(exception)))
    else:
        monkeypatch.setattr("brenvox_hbond.results.time_text", lambda time: (_ for _ in ()).throw(exception))
    target = tmp_path / f"out.{'parquet' if writer == 'to_parquet' else 'csv'}"
    target.write_text("earlier")
    with pytest.raises(type(exception)) as raised:
        WRITERS[writer](result(), target)
    assert target.read_text() == "earlier" and [path.name for path in tmp_path.iterdir()] == [target.name]
    if isinstance(exception, OSError):
        assert str(raised.value) == f"cannot write {target}: No space left on device"
    monkeypatch.undo()
    WRITERS[writer](result(), target)
    assert target.read_bytes() != b"earlier" and [path.name for path in tmp_path.iterdir()] == [target.name]


@pytest.mark.parametrize(("stored", "text"), [
    (np.float32(250000.2), "250000.2"), (np.float32(0.2), "0.2"), (np.float32(2e6 + 0.4), "2000000.4"),
    (250000.123456789, "250000.123456789"), (1.5e-5, "0.000015"), (0.0, "0"), (1e7, "10000000"),
])
def test_times_read_back_as_stored(tmp_path, stored, text):
    assert time_text(float(stored)) == text
    path = tmp_path / "counts.csv"
    result((0.0, float(stored))).counts_to_csv(path)
    written = path.read_text().splitlines()[2].split(",")[1]
    assert written == text and type(stored)(float(written)) == stored
    assert f"to {text} ps" in result((0.0, float(stored))).summary()

@pytest.mark.parametrize("largest_atom", [30, 3_000_000])  # the second too large to pack in one integer
def test_triplet_keys_agree_with_unique_over_rows(largest_atom):
    rows = np.random.default_rng(2).integers(0, 30, (500, 4)).astype(np.uint32)
    rows[::7, 3] = largest_atom
    keys, unique = triplet_keys(rows)
    expected, inverse = np.unique(rows[:, 1:].astype(np.int64), axis=0, return_inverse=True)
    np.testing.assert_array_equal(unique, expected)
    np.testing.assert_array_equal(keys, inverse.reshape(-1))


@pytest.fixture(scope="module")
def in_memory(traj):
    return analyze(traj, geometry=True)


@pytest.mark.parametrize("freq", [0.0, 0.1, 0.5])
def test_occupancy_agrees_with_baker_hubbard(traj, in_memory, freq):
    triplets, fraction = in_memory.occupancy(freq)
    expected = pytest.importorskip("mdtraj").baker_hubbard(traj, freq=freq, exclude_water=False)
    assert set(map(tuple, triplets.tolist())) == set(map(tuple, expected.tolist()))
    assert np.all(fraction > freq) and np.all(np.diff(fraction) <= 0)


def test_counts_csv_and_lifetime(in_memory, tmp_path):
    for by in ("resname", "name", "element", "residue"):
        table = in_memory.counts_by_type(by)
        assert table["count"].sum() == len(in_memory.hbonds)
        np.testing.assert_allclose(table["per_frame"], table["count"] / N_FRAMES)
    assert len(in_memory.counts_by_type("residue")) > 1
    in_memory.counts_to_csv(tmp_path / "counts.csv")
    assert (tmp_path / "counts.csv").read_text().splitlines() == ["frame,time_ps,n_hbonds"] + [
        f"{f},{2.5 * f:g},{c}" for f, c in enumerate(in_memory.counts)]
    tau, correlation = in_memory.lifetime(tau_max=5)
    np.testing.assert_array_equal(tau, np.arange(6))
    assert correlation[0] == 1.0 and np.all((correlation >= 0.0) & (correlation <= 1.0))


def test_dataframe(in_memory):
    pytest.importorskip("pandas")
    frame, rows = in_memory.to_dataframe(), in_memory.hbonds
    assert list(frame.columns) == [
        "frame", "time_ps", "donor", "hydrogen", "acceptor", "donor_chain", "donor_resname", "donor_resid",
        "donor_name", "hydrogen_name", "acceptor_chain", "acceptor_resname", "acceptor_resid", "acceptor_name",
        "distance_da_nm", "distance_ha_nm", "angle_deg"]
    np.testing.assert_array_equal(frame[["frame", "donor", "hydrogen", "acceptor"]].to_numpy(), rows)
    np.testing.assert_array_equal(frame["time_ps"], 2.5 * rows[:, 0])
    np.testing.assert_array_equal(frame["acceptor_resid"], rows[:, 3] // 3)
    assert set(frame["donor_name"]) == {"O"} and set(frame["hydrogen_name"]) == {"H1", "H2"}

def test_csv_holds_the_dataframe_and_parquet_reads_back_as_it(in_memory, tmp_path):
    """The native CSV lines are pandas' lines of the same table, but for times, written as the
    counts file writes them; labels that need it are quoted."""
    pd = pytest.importorskip("pandas")
    labels = in_memory.labels
    quoted = dataclasses.replace(in_memory, labels=AtomLabels(np.char.add(labels.names, ',"x'), labels.residue_names,
                                                              labels.residue_ids, labels.elements))
    for result in (in_memory, quoted):
        written = []
        bond_tables.write_csv(result, tmp_path / "ours.csv", written.append)
        result.to_dataframe().assign(time_ps=[time_text(t) for t in result.times[result.hbonds[:, 0]]]).to_csv(
            tmp_path / "pandas.csv", index=False)
        assert (tmp_path / "ours.csv").read_text() == (tmp_path / "pandas.csv").read_text()
        assert sum(written) == len(result.hbonds)
    pytest.importorskip("pyarrow.parquet")
    in_memory.to_parquet(tmp_path / "bonds.parquet")
    pd.testing.assert_frame_equal(pd.read_parquet(tmp_path / "bonds.parquet"), in_memory.to_dataframe(),
                                  check_categorical=False)


@pytest.mark.parametrize("value", [0.0, -0.0, 1e-5, 1e-4, 123.0, 1e15, 1e16, 0.1 + 0.2, 5e-324, np.inf, np.nan])
def test_reals_are_written_as_repr_writes_them(value):
    rows = np.zeros((1, 4), np.uint32)
    assert _native.format_rows(rows, [("real", np.array([value]))]) == f"{value!r}\n".encode()


def test_labels_are_found_when_first_read_and_kept_in_a_pickle():
    asked = []
    labelled = HbondResult(ROWS, np.arange(2), np.zeros(2), np.ones(2, np.int64), Sites([[0, 1]], [2]),
                           lambda: asked.append(1) or result().labels)
    assert not asked
    copy = pickle.loads(pickle.dumps(labelled))
    assert asked == [1] and list(copy.labels.names) == ["O", "H", "O"]


def result_with_times(times):
    from brenvox_hbond import HbondResult, Sites

    rows = np.array([(f, 0, 1, 2) for f in range(len(times)) if f % 3 != 2], dtype=np.uint32)
    return HbondResult(rows, np.arange(len(times)), np.asarray(times, dtype=np.float64),
                       np.bincount(rows[:, 0], minlength=len(times)), Sites([[0, 1]], [2]))


@pytest.mark.parametrize("kind", ["lifetime", "intermittent_lifetime"])
def test_lifetimes_come_in_ps_from_the_frames_times(kind):
    even = result_with_times(np.float32(250000.0) + np.float32(0.2) * np.arange(9, dtype=np.float32))
    curve = getattr(even, kind)(tau_max=4)
    tau, timeseries = curve
    assert curve.dt_ps == pytest.approx(0.2, abs=0.02)
    np.testing.assert_array_equal(curve.tau_ps, tau * curve.dt_ps)
    assert lifetimes.lifetime_integral(curve) == lifetimes.lifetime_integral(tau, timeseries, dt=curve.dt_ps)


def test_lifetimes_over_times_that_restart_are_in_frames_only():
    restarted = result_with_times([0.0, 1.0, 2.0, 0.0, 1.0, 2.0])  # two files, each from 0 ps
    with pytest.warns(RuntimeWarning, match="frame 3 comes -2 ps after the one before"):
        curve = restarted.lifetime(tau_max=2)
    assert curve.tau_ps is None
    with pytest.raises(ValueError, match="not evenly spaced in time"):
        lifetimes.lifetime_integral(curve)
    pytest.importorskip("matplotlib")
    from brenvox_hbond import plots

    with pytest.warns(RuntimeWarning, match="not evenly spaced"):
        figure = plots.summary_figure(restarted)
    lifetime_axes = figure.axes[1]
    assert lifetime_axes.get_xlabel() == "τ (frames)"
    assert "frames not evenly spaced in time" in [text.get_text() for text in lifetime_axes.texts]
    assert figure._suptitle.get_text() == "Baker–Hubbard: H···A < 0.25 nm, D–H···A > 120°, periodic box"


@pytest.mark.parametrize("ask", [
    lambda r: r.lifetime(), lambda r: r.intermittent_lifetime(), lambda r: r.counts_by_type("name"),
])
def test_a_result_without_rows_says_so(traj, ask):
    with pytest.raises(RowsNotKeptError, match="keep_rows=False"):
        ask(analyze(traj, keep_rows=False))
