"""The command line replaces all its output files or none (outputs.py); HbondResult's own
writers are in test_results.py."""

import pytest

from brenvox_hbond import cli
from test_results import failing_writer, result


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
