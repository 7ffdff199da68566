"""Output files are written whole or not at all, and times keep their digits."""

import numpy as np
import pytest

from brenvox_hbond import AtomLabels, HbondResult, Sites, cli
from brenvox_hbond.results import time_text

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
    if writer != "counts_to_csv":
        pd = pytest.importorskip("pandas")
        if writer == "to_parquet":
            pytest.importorskip("pyarrow")
        monkeypatch.setattr(*failing_writer(pd.DataFrame, writer, exception))
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


@pytest.mark.parametrize("failing", ["counts", "plot"])
def test_command_line_replaces_all_its_outputs_or_none(tmp_path, monkeypatch, capsys, failing):
    figure = pytest.importorskip("matplotlib.figure")

    monkeypatch.setattr("brenvox_hbond.analysis.analyze", lambda *args, **kwargs: result())
    counts, plot = tmp_path / "counts.csv", tmp_path / "plot.png"
    for path in (counts, plot):
        path.write_text("earlier")
    if failing == "counts":
        monkeypatch.setattr("brenvox_hbond.results.time_text", lambda time: (_ for _ in ()).throw(KeyboardInterrupt))
    else:
        monkeypatch.setattr(*failing_writer(figure.Figure, "savefig", OSError(28, "No space left")))
    status = cli.main(["any.xtc", "--top", "any.gro", "--counts", str(counts), "--plot", str(plot), "-q"])
    _, err = capsys.readouterr()
    if failing == "counts":
        assert (status, err) == (130, "brenvox-hbond: interrupted\n")
    else:
        assert (status, err) == (1, f"brenvox-hbond: error: cannot write {plot}: No space left\n")
    assert counts.read_text() == plot.read_text() == "earlier"
    assert sorted(path.name for path in tmp_path.iterdir()) == ["counts.csv", "plot.png"]


def test_an_output_that_is_a_folder_is_refused_before_the_analysis(tmp_path, monkeypatch, capsys):
    monkeypatch.setattr("brenvox_hbond.analysis.analyze", lambda *args, **kwargs: pytest.fail("analysed"))
    status = cli.main(["any.xtc", "--top", "any.gro", "--counts", str(tmp_path)])
    error = capsys.readouterr().err
    assert (status, error) == (1, f"brenvox-hbond: error: cannot write {tmp_path}: it is a directory\n")


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
