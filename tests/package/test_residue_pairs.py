"""Bonds summed over residue pairs (residue_pairs.py), on the pentamer's five chains, whose residues
bear the same numbers, against counts made row by row."""

from collections import defaultdict

import numpy as np
import pytest

from brenvox_hbond import AtomLabels, HbondResult, RowsNotKeptError, Sites, analyze
from brenvox_hbond.residue_pairs import pair_names, residue_of_atoms
from pentamer_files import PDB, XTC


@pytest.fixture(scope="module")
def pentamer():
    return analyze(str(XTC), str(PDB))


def brute_force(result, directed):
    """(first residue, second residue) names -> (frames with a bond, bonds per frame), row by row."""
    names, position = result.labels.residues(), residue_of_atoms(result.labels)
    frames, per_frame = defaultdict(set), defaultdict(lambda: np.zeros(result.n_frames, int))
    for frame, donor, _, acceptor in result.hbonds.tolist():
        ends = (donor, acceptor) if directed else tuple(sorted((donor, acceptor), key=position.__getitem__))
        key = (names[ends[0]], names[ends[1]])
        frames[key].add(frame)
        per_frame[key][frame] += 1
    return frames, per_frame


@pytest.mark.parametrize("directed", [True, False])
def test_pairs_equal_counts_made_row_by_row(pentamer, directed):
    table = pentamer.residue_pairs(directed=directed)
    frames, per_frame = brute_force(pentamer, directed)
    names = [tuple(name.split(" -> " if directed else " <-> ")) for name in pair_names(table)]
    assert sorted(names) == sorted(frames)
    for row, name in zip(table, names):
        assert row["frames_bonded"] == len(frames[name])
        assert row["occupancy"] == pytest.approx(len(frames[name]) / pentamer.n_frames)
        assert row["mean_bonds"] == pytest.approx(per_frame[name].sum() / pentamer.n_frames)
    assert np.all(np.diff(table["frames_bonded"]) <= 0)
    series, series_names = pentamer.residue_pair_series(top=40, directed=directed)
    assert series.shape == (pentamer.n_frames, 40) and series_names.tolist() == pair_names(table[:40]).tolist()
    for column, name in enumerate(names[:40]):
        np.testing.assert_array_equal(series[:, column], per_frame[name])


def test_equal_residue_numbers_in_other_chains_stay_apart(pentamer):
    table = pentamer.residue_pairs()
    peptide = (table["donor_resname"] == "TYR") & (table["donor_resid"] == 24) & (table["acceptor_resid"] == 21)
    assert sorted(table["donor_chain"][peptide]) == list("ABCDE")
    assert np.all(table["acceptor_chain"][peptide] == table["donor_chain"][peptide])
    assert len(set(table["donor_residue"][peptide])) == 5


@pytest.mark.parametrize("chains, numbers, expected", [
    ("AAABB", [5, 5, 6, 6, 6], [0, 0, 1, 2, 2]),  # a new chain starts a residue, whatever its number
    ("     ", [99998, 99999, 0, 1, 99998], [0, 1, 2, 3, 4]),  # .gro numbers wrapping from 99999
    ("     ", [7, 7, 8, 7, 7], [0, 0, 1, 2, 2]),  # a number met again later is another residue
])
def test_residues_are_runs_of_atoms(chains, numbers, expected):
    labels = AtomLabels(np.full(5, "O"), np.full(5, "SOL"), np.array(numbers), np.full(5, "O"),
                        np.array(list(chains)))
    assert residue_of_atoms(labels).tolist() == expected


def test_results_without_rows_or_labels_say_what_is_missing(pentamer):
    without_rows = HbondResult(None, pentamer.frames, pentamer.times, pentamer.counts, pentamer.sites,
                               pentamer.labels)
    for ask in (without_rows.residue_pairs, without_rows.residue_pair_series, without_rows.existence_matrix):
        with pytest.raises(RowsNotKeptError, match="keep_rows=True"):
            ask()
    unlabelled = HbondResult(np.zeros((1, 4), np.uint32), np.arange(1), np.zeros(1), np.ones(1, np.int64),
                             Sites([[0, 1]], [0]))
    with pytest.raises(ValueError, match="atom labels"):
        unlabelled.residue_pairs()
    with pytest.raises(ValueError, match="top must be"):
        pentamer.residue_pair_series(top=-1)
