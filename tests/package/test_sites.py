"""Donors, acceptors and labels from real topologies (a solvated peptide pentamer with NaCl,
written by GROMACS), through MDTraj and MDAnalysis alike; element_sites, and mdanalysis_sites on
small universes built by hand."""


import numpy as np
import pytest

from brenvox_hbond import analyze, element_sites
from brenvox_hbond.labels import mdanalysis_labels, mdtraj_labels
from brenvox_hbond.sites import mdanalysis_sites, mdtraj_sites
from pentamer_files import GRO, PDB, PEPTIDES_TPR, XTC

md = pytest.importorskip("mdtraj")
mda = pytest.importorskip("MDAnalysis")


def sites_of(backend, topology=GRO, **selection):
    if backend == "mdtraj":
        return mdtraj_sites(md.load_topology(str(topology)), exclude_water=False, **selection)
    return mdanalysis_sites(mda.Universe(str(topology)), **selection)


def as_sets(sites):
    return {tuple(pair) for pair in sites.donor_h_pairs.tolist()}, set(sites.acceptors.tolist())


@pytest.fixture(scope="module")
def universe():
    return mda.Universe(str(GRO))


@pytest.mark.parametrize("selection", [
    {"donors": "protein", "hydrogens": "protein", "acceptors": "protein"},
    {"acceptors": "resname GLU"},
    {"donors": "resid 23", "acceptors": "name OE1 or name OE2"},
])
def test_selections_narrow_the_same_candidates_on_both_readers(universe, selection):
    pairs, acceptors = as_sets(sites_of("mdanalysis"))
    assert (pairs, acceptors) == as_sets(sites_of("mdtraj"))
    chosen = {role: set(universe.select_atoms(text).ix.tolist()) for role, text in selection.items()}
    expected_pairs = {(d, h) for d, h in pairs if d in chosen.get("donors", {d}) and h in chosen.get("hydrogens", {h})}
    expected_acceptors = acceptors & chosen.get("acceptors", acceptors)
    assert as_sets(sites_of("mdanalysis", **selection)) == (expected_pairs, expected_acceptors)
    mdtraj_selection = {role: text.replace("resid", "resSeq") for role, text in selection.items()}
    assert as_sets(sites_of("mdtraj", **mdtraj_selection)) == (expected_pairs, expected_acceptors)


@pytest.mark.parametrize("backend", ["mdtraj", "mdanalysis"])
@pytest.mark.parametrize("topology", [GRO, PDB])
def test_monatomic_ions_never_take_part(universe, backend, topology):
    ions = set(universe.select_atoms("resname NA CL").ix.tolist())
    polar = universe.select_atoms("(name N* O*) and not resname NA CL").ix
    pairs, acceptors = as_sets(sites_of(backend, topology))
    assert len(ions) == 22 and not ions & (acceptors | {atom for pair in pairs for atom in pair})
    assert acceptors == set(polar.tolist())


@pytest.mark.parametrize("backend", ["mdtraj", "mdanalysis"])
@pytest.mark.parametrize(("topology", "chains"), [(GRO, ["1", "2", "3", "4", "5"]), (PDB, list("ABCDE"))])
def test_labels_tell_the_chains_apart(backend, topology, chains):
    if backend == "mdtraj":  # with a frame, to tell MDTraj's template bonds between peptides from real ones
        frame = md.load(str(topology))
        labels = mdtraj_labels(frame.topology, frame.xyz[0], frame.unitcell_vectors[0])
    else:
        labels = mdanalysis_labels(mda.Universe(str(topology)))
    first_atoms = np.flatnonzero((labels.residue_ids == 21) & (labels.names == "N"))
    assert [labels.atom(atom) for atom in first_atoms] == [f"{chain}:MET21-N" for chain in chains]
    # The file's own residue numbers, and one molecule per water where there is no chain ID.
    assert labels.residue_ids[0] == 21 and labels.residue_ids[-1] == 3830
    water = np.flatnonzero(labels.names == labels.names[-3])[:2]
    assert len({labels.chain_of[atom] for atom in water}) == 2


def test_residue_numbers_are_the_files_whichever_reader():
    # MDAnalysis numbers a .tpr's residues 1, 2, ...; the .tpr stores 21-28 for each peptide.
    peptides = mdanalysis_labels(mda.Universe(str(PEPTIDES_TPR)))
    whole = mdtraj_labels(md.load_topology(str(GRO)))
    np.testing.assert_array_equal(peptides.residue_ids, whole.residue_ids[:len(peptides)])
    assert peptides.atom(0) == "A:MET21-N"


def test_result_tables_keep_chains_apart():
    pytest.importorskip("pandas")
    result = analyze(XTC, PDB)
    table = result.to_dataframe()
    donor, acceptor = table["donor_chain"].astype(str), table["acceptor_chain"].astype(str)
    own = donor.isin(list("ABCDE")) & (donor == acceptor)
    assert set(table.loc[own, "donor_chain"]) == set("ABCDE")
    by_residue = result.counts_by_type(by="residue")
    assert {"A:TYR24", "E:TYR24"} <= set(by_residue["donor"])
    triplets, _ = result.occupancy()
    described = [result.describe(triplet) for triplet in triplets]
    assert len(set(described)) == len(described)


@pytest.mark.parametrize("backend", ["mdtraj", "mdanalysis"])
@pytest.mark.parametrize(("selection", "message"), [
    ({"acceptors": "resname FOO"}, "the acceptors selection 'resname FOO' matches no atom"),
    ({"donors": "resname NA"}, "the donors selection 'resname NA' matches no donor"),
])
def test_a_selection_that_keeps_nothing_is_an_error(backend, selection, message):
    with pytest.raises(ValueError, match=message):
        analyze(XTC, GRO, backend=backend, **selection)


@pytest.mark.parametrize("backend", ["mdtraj", "mdanalysis"])
def test_excluding_all_the_water_of_a_water_box_says_so(tmp_path, backend):
    water = md.load(str(XTC), top=str(GRO))
    water = water.atom_slice(water.topology.select("water"))
    water[0].save_gro(str(tmp_path / "water.gro"))
    water.save_xtc(str(tmp_path / "water.xtc"))
    with pytest.raises(ValueError, match="excluding water left no donor-hydrogen pairs"):
        analyze(tmp_path / "water.xtc", tmp_path / "water.gro", backend=backend, exclude_water=True)


def test_element_sites_order():
    # An O-H bond before the N-H bonds, an N-H bond written hydrogen first, lower-case symbols.
    elements, bonds = ["O", "H", "C", "N", "h", "n", "H", "c"], [(0, 1), (2, 3), (4, 3), (2, 0), (5, 6), (5, 7)]
    sites = element_sites(elements, bonds)
    assert sites.donor_h_pairs.tolist() == [[3, 4], [5, 6], [0, 1]]
    assert sites.acceptors.tolist() == [0, 3, 5]
    assert element_sites(elements, bonds, donor_elements=("O", "N")).donor_h_pairs.tolist() == [[0, 1], [3, 4], [5, 6]]
    with pytest.raises(IndexError):
        element_sites(elements, [(0, 8)])


def test_element_sites_equal_mdtraj_sites_on_protein():
    md = pytest.importorskip("mdtraj")
    from brenvox_hbond import mdtraj_sites

    topology = md.load_topology(pytest.importorskip("MDAnalysisTests.datafiles").PDB_small)
    sites = element_sites([atom.element.symbol for atom in topology.atoms],
                          [(one.index, two.index) for one, two in topology.bonds])
    expected = mdtraj_sites(topology, exclude_water=False)
    np.testing.assert_array_equal(sites.donor_h_pairs, expected.donor_h_pairs)
    np.testing.assert_array_equal(sites.acceptors, expected.acceptors)


def small_universe(bonds, elements):
    """MOL: N, H 1.0 Å from it, O, H 1.3 Å from it; SOL: a water."""
    mda = pytest.importorskip("MDAnalysis")
    universe = mda.Universe.empty(7, n_residues=2, atom_resindex=[0, 0, 0, 0, 1, 1, 1], trajectory=True)
    universe.add_TopologyAttr("names", ["N", "HN", "OH", "HO", "OW", "HW1", "HW2"])
    universe.add_TopologyAttr("resnames", ["MOL", "SOL"])
    if elements:
        universe.add_TopologyAttr("elements", ["N", "H", "O", "H", "O", "H", "H"])
    if bonds:
        universe.add_TopologyAttr("bonds", [(0, 1), (3, 2), (4, 5), (4, 6)])
    universe.atoms.positions = np.array([[2, 2, 2], [3, 2, 2], [7, 2, 2], [7, 3.3, 2], [12, 2, 2], [12.9, 2, 2],
                                         [12, 1.1, 2]])
    return universe


@pytest.mark.parametrize("elements", [True, False])
@pytest.mark.parametrize(("bonds", "selections", "pairs", "acceptors"), [
    (True, {}, [[0, 1], [2, 3], [4, 5], [4, 6]], [0, 2, 4]),
    (False, {}, [[0, 1], [4, 5], [4, 6]], [0, 2, 4]),
    (True, {"exclude_water": True}, [[0, 1], [2, 3]], [0, 2]),
    (False, {"exclude_water": True}, [[0, 1]], [0, 2]),
    (True, {"donors": "name OH", "hydrogens": "name HO", "acceptors": "resname SOL and name OW"}, [[2, 3]], [4]),
    (False, {"donors": "name OW", "acceptors": "name N"}, [[4, 5], [4, 6]], [0]),
])
def test_mdanalysis_sites(elements, bonds, selections, pairs, acceptors):
    sites = mdanalysis_sites(small_universe(bonds, elements), **selections)
    assert sites.donor_h_pairs.tolist() == pairs
    assert sites.acceptors.tolist() == acceptors


def test_mdanalysis_sites_pair_across_the_box():
    universe = small_universe(bonds=False, elements=True)
    universe.dimensions = [20.0, 20.0, 20.0, 90.0, 90.0, 90.0]
    positions = universe.atoms.positions
    positions[1] = positions[0] + [0.0, 0.0, 19.0]  # 1 Å from N through the box face
    universe.atoms.positions = positions
    assert mdanalysis_sites(universe).donor_h_pairs.tolist() == [[0, 1], [4, 5], [4, 6]]
