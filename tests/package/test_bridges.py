"""Water bridges (bridges.py, bridge_result.py, atom_selections.py): the composition against plain
sets built from analyze's rows, bridges known by construction, the tables, and refused inputs."""

import re

import numpy as np
import pytest

from brenvox_hbond import analyze, water_bridges
from pentamer_files import GRO, XTC

PEPTIDE_ATOMS = 675  # five peptides of 135 atoms, then water and ions
FIRST, SECOND = np.arange(0, 405), np.arange(135, 1000)  # peptides 1-3; peptides 2-5 and some water


def reference(rows, water, first, second, order):
    """Every bridge by a walk over each frame's bonds in plain sets, each read once."""
    first, second = set(first.tolist()) - water, set(second.tolist()) - water
    found = set()
    for frame in sorted(set(rows[:, 0].tolist())):
        links, bonded = {}, {}
        for _, donor, _, acceptor in rows[rows[:, 0] == frame].tolist():
            if donor in water and acceptor in water:
                links.setdefault(donor, set()).add(acceptor)
                links.setdefault(acceptor, set()).add(donor)
            elif (donor in water) != (acceptor in water):
                one, other = (donor, acceptor) if donor in water else (acceptor, donor)
                bonded.setdefault(one, set()).add(other)

        for start in bonded:
            for chain in chains([start], links, order):
                found |= {(frame, a, *chain, b) for a in bonded[start] & first
                          for b in bonded.get(chain[-1], set()) & second if a != b}
    return {row for row in found if row[1] < row[-1] or (row[0], *row[:0:-1]) not in found}


def chains(chain, links, order):
    """The chains of `order` distinct waters that start with `chain`."""
    if len(chain) == order:
        yield chain
        return
    for step in links.get(chain[-1], ()):
        if step not in chain:
            yield from chains(chain + [step], links, order)


@pytest.fixture(scope="module")
def pentamer():
    return analyze(str(XTC), str(GRO), stop=3, backend="native", progress=False)


@pytest.mark.parametrize("order", [1, 2, 3])
def test_bridges_equal_a_walk_over_the_bonds(pentamer, order):
    bridges = water_bridges(str(XTC), str(GRO), FIRST, SECOND, order=order, stop=3, backend="native")
    water = set(np.flatnonzero(pentamer.labels.residue_names == "HOH").tolist())
    expected = reference(pentamer.hbonds.astype(np.int64), water, FIRST, SECOND, order)
    assert len(expected) >= 5
    assert [tuple(row) for row in bridges.bridges.tolist()] == sorted(expected)
    assert bridges.selection2.max() < PEPTIDE_ATOMS  # water left out of the ends
    assert bridges.counts_per_frame().tolist() == [sum(row[0] == f for row in expected) for f in range(3)]


def test_selection_strings_pick_the_atoms_indices_do():
    pytest.importorskip("MDAnalysis")
    by_name = water_bridges(str(XTC), str(GRO), "index 0:404", "index 135:999", order=2, stop=2,
                            backend="mdanalysis")
    by_index = water_bridges(str(XTC), str(GRO), FIRST, SECOND, order=2, stop=2)
    np.testing.assert_array_equal(by_name.bridges, by_index.bridges)


def tiny():
    """At y = 0.5 nm an acceptor O ... H-O water ... H-N donor, the water moved away in frame 1;
    at y = 1.5 nm the same with two waters, the second donating to the first."""
    md = pytest.importorskip("mdtraj")
    topology, xyz = md.Topology(), []
    chain = topology.add_chain()

    def atom(residue, name, where):
        xyz.append(where)
        return topology.add_atom(name, md.element.get_by_symbol(name[0]), residue)

    def water(oxygen_at):
        residue = topology.add_residue("SOL", chain)
        oxygen = atom(residue, "O", oxygen_at)
        for name, offset in (("H1", (-0.0957, 0, 0)), ("H2", (0, 0, 0.0957))):
            topology.add_bond(oxygen, atom(residue, name, np.add(oxygen_at, offset)))

    for y, waters in ((0.5, 1), (1.5, 2)):
        atom(topology.add_residue("ACC", chain), "O", (0.5, y, 0.5))
        for number in range(waters):
            water((0.78 + 0.29 * number, y, 0.5))
        donor = topology.add_residue("DON", chain)
        nitrogen_at = (0.78 + 0.29 * waters, y, 0.5)
        topology.add_bond(atom(donor, "N", nitrogen_at), atom(donor, "H", np.add(nitrogen_at, (-0.1, 0, 0))))
    frames = np.array([xyz, xyz], dtype=np.float32)
    frames[1, 1:4, 2] += 0.6
    return md.Trajectory(frames, topology, time=[0.0, 2.0], unitcell_lengths=np.full((2, 3), 3.0),
                         unitcell_angles=np.full((2, 3), 90.0))


@pytest.mark.parametrize("order, rows, counts, fraction", [
    (1, [[0, 0, 1, 4]], [1, 0], [0.5]),
    (2, [[0, 6, 7, 10, 13], [1, 6, 7, 10, 13]], [1, 1], [1.0]),
    (3, [], [0, 0], []),
])
def test_bridges_built_by_hand(order, rows, counts, fraction):
    bridges = water_bridges(tiny(), None, "resname ACC", "resname DON", order=order)
    assert bridges.bridges.tolist() == rows
    assert bridges.counts_per_frame().tolist() == counts
    distinct, shares = bridges.occupancy()
    assert distinct.tolist() == [row[1:] for row in rows[:1]] and shares.tolist() == fraction
    # Read from either end, a bridge is one bridge.
    both = water_bridges(tiny(), None, "resname ACC DON", "resname ACC DON", order=order)
    assert both.bridges.tolist() == rows


def test_table_names_ends_by_atom_and_waters_by_residue():
    pytest.importorskip("pandas")
    table = water_bridges(tiny(), None, "resname ACC", "resname DON", order=2).to_dataframe()
    assert table.columns.tolist() == ["frame", "time_ps", "a", "water_1", "water_2", "b", "a_atom", "a_residue",
                                      "water_1_residue", "water_2_residue", "b_atom", "b_residue"]
    assert table.iloc[1][["time_ps", "a_atom", "water_1_residue", "water_2_residue", "b_atom"]].tolist() == [
        2.0, "4:ACC3-O", "5:SOL4", "6:SOL5", "7:DON6-N"]


@pytest.mark.parametrize("selection1, options, error, message", [
    ("resname ACC", {"order": 0}, ValueError, "order must be a positive integer, got 0"),
    ("resname ACC", {"order": True}, ValueError, "order must be a positive integer, got True"),
    ("resname ACC", {"exclude_water": True}, ValueError, "exclude_water=True leaves them out"),
    ("resname ACC", {"keep_rows": False}, ValueError, "keep_rows=False keeps none"),
    ("resname SOL", {}, ValueError, "selection1 holds no atom but water"),
    ("resname XYZ", {}, ValueError, "selection1 'resname XYZ' matches no atom"),
    ([0, 99], {}, IndexError, "selection1 holds atom index 99, outside the topology's 15 atoms"),
    ([[0, 1]], {}, TypeError, "selection1 must be a selection string or a one-dimensional array"),
])
def test_refused(selection1, options, error, message):
    with pytest.raises(error, match=re.escape(message)):
        water_bridges(tiny(), None, selection1, "resname DON", **options)


def test_strings_with_the_native_reader_name_the_fix():
    with pytest.raises(ValueError, match=re.escape("give backend='mdanalysis' or 'mdtraj' (--backend")):
        water_bridges(str(XTC), str(GRO), "protein", FIRST, backend="native")
