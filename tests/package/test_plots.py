"""The figures (plots.py), on the bonds of the four waters of test_cli.py."""

import numpy as np
import pytest

from brenvox_hbond import AtomLabels, HbondResult, Sites, plots
from test_cli import BOND_1, BOND_3, TIMES


def _result(rows):
    rows = np.array(rows, dtype=np.uint32).reshape(-1, 4)
    labels = AtomLabels(np.array(["O", "H1", "H2"] * 4), np.full(12, "HOH"), np.repeat(np.arange(1, 5), 3),
                        np.array(["O", "H", "H"] * 4), np.repeat(["1", "2", "3", "4"], 3))
    return HbondResult(rows, np.arange(5), np.array(TIMES), np.bincount(rows[:, 0], minlength=5),
                       Sites([[0, 1], [6, 7]], [3, 9]), labels)


BONDED = _result([(f, 0, 1, 3) for f in range(5)] + [(f, 6, 7, 9) for f in (0, 2, 4)])


@pytest.fixture
def agg():
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")


@pytest.mark.parametrize("top, widths, labels", [(1, [100], [BOND_1]), (5, [100, 60], [BOND_1, BOND_3])])
def test_occupancy_bars(agg, top, widths, labels):
    ax = plots.plot_occupancy(BONDED, top=top).axes[0]
    assert [bar.get_width() for bar in ax.patches] == pytest.approx(widths)
    assert [tick.get_text() for tick in ax.get_yticklabels()] == labels


def test_curves_and_summary_figure(agg):
    counts = plots.plot_counts(BONDED).axes[0].lines[0]
    assert counts.get_xdata().tolist() == TIMES and counts.get_ydata().tolist() == [2, 1, 2, 1, 2]
    continuous, intermittent = plots.plot_lifetime(BONDED, tau_max=3, intermittency=1).axes[0].lines
    assert continuous.get_xdata().tolist() == [0, 2, 4, 6]  # tau in ps, dt = 2 ps
    assert continuous.get_ydata()[1] > BONDED.lifetime(3)[1][1]  # the forgiven gaps raise C(1)
    assert intermittent.get_ydata().tolist() == pytest.approx(BONDED.intermittent_lifetime(3)[1])
    figure = plots.summary_figure(BONDED)
    assert len(figure.axes) == 3 and plots.plot_counts(BONDED, ax=figure.axes[0]) is figure


def test_residue_pair_heatmap_and_existence_map(agg, tmp_path):
    heatmap = plots.plot_residue_pairs(BONDED).axes[0]
    np.testing.assert_array_equal(heatmap.images[0].get_array().filled(np.nan), [[100, np.nan], [np.nan, 60]])
    assert [tick.get_text() for tick in heatmap.get_yticklabels()] == ["1:HOH1", "3:HOH3"]
    assert [tick.get_text() for tick in heatmap.get_xticklabels()] == ["2:HOH2", "4:HOH4"]
    existence = plots.plot_existence(BONDED, top=2).axes[0]
    assert existence.images[0].get_array().tolist() == [[True] * 5, [True, False, True, False, True]]
    assert existence.images[0].get_extent() == [-1, 9, 1.5, -0.5]  # frames 2 ps apart, centred on their times
    assert [tick.get_text() for tick in existence.get_yticklabels()] == [BOND_1, BOND_3]
    existence.figure.savefig(tmp_path / "existence.png")
    assert (tmp_path / "existence.png").read_bytes().startswith(b"\x89PNG")


def test_figures_without_bonds(agg):
    empty = _result([])
    for draw in (plots.plot_occupancy, plots.plot_lifetime, plots.plot_residue_pairs, plots.plot_existence):
        ax = draw(empty).axes[0]
        assert not ax.patches and not ax.lines and ax.texts[0].get_text() == "no hydrogen bonds"
