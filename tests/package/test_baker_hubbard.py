"""baker_hubbard against mdtraj.baker_hubbard: the same rows in the same order, on a solvated
protein, periodic water boxes and awkward topologies."""

import functools
import importlib.util
import itertools
from pathlib import Path

import numpy as np
import pytest

import brenvox_hbond
from periodic_reference import minimum_image

md = pytest.importorskip("mdtraj")

_spec = importlib.util.spec_from_file_location("waterbox", Path(__file__).parents[2] / "bench" / "waterbox.py")
waterbox = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(waterbox)

CUTOFFS = {False: {}, True: {"distance_cutoff": 0.3, "angle_cutoff": 100.0}}


def arguments(freq, periodic, sidechain_only, cutoffs):
    return dict(freq=freq, periodic=periodic, sidechain_only=sidechain_only, **CUTOFFS[cutoffs])


ALL_ARGUMENTS = [arguments(*values) for values in itertools.product((0.0, 0.1, 0.5), *[(True, False)] * 3)]
# MDTraj is slow on the protein: every pair of argument values once, in six calls.
PAIRWISE_ARGUMENTS = [arguments(freq, *flags) for freq, same in zip((0.0, 0.1, 0.5), (
    (True, True, True), (True, False, False), (True, True, False))) for flags in (same, [not f for f in same])]


def water_trajectory(cell="cubic", n_molecules=300, n_frames=10, seed=0, whole=False):
    """A water box (residues HOH, O-H bonds), frames 2.5 ps apart. Atoms, or with `whole` whole
    molecules, are moved by whole box vectors; in the triclinic box each oxygen keeps its
    fractional position while its molecule stays rigid."""
    xyz, _, _ = waterbox.water_box(n_molecules, n_frames, seed)
    topology = md.Topology()
    chain = topology.add_chain()
    for _ in range(n_molecules):
        residue = topology.add_residue("HOH", chain)
        oxygen = topology.add_atom("O", md.element.oxygen, residue)
        for name in ("H1", "H2"):
            topology.add_bond(oxygen, topology.add_atom(name, md.element.hydrogen, residue))
    if cell is None:
        return md.Trajectory(xyz.astype(np.float32), topology, time=2.5 * np.arange(n_frames))
    edge = waterbox.box_edge_nm(n_molecules)
    vectors = edge * (np.eye(3) if cell == "cubic" else np.array([[1, 0, 0], [0.3, 1, 0], [-0.25, 0.2, 1]]))
    molecules = xyz.reshape(n_frames, n_molecules, 3, 3)
    oxygens = molecules[:, :, :1]
    shifts = np.random.default_rng(seed).integers(-1, 2, oxygens.shape if whole else molecules.shape)
    molecules = molecules - oxygens + (oxygens / edge) @ vectors + shifts @ vectors
    traj = md.Trajectory(molecules.reshape(n_frames, -1, 3).astype(np.float32), topology,
                         time=2.5 * np.arange(n_frames))
    traj.unitcell_vectors = np.repeat(vectors[None], n_frames, axis=0).astype(np.float32)
    return traj


def molecule(elements, bonds):
    topology = md.Topology()
    residue = topology.add_residue("MOL", topology.add_chain())
    atoms = [topology.add_atom(f"{symbol}{i}", md.element.get_by_symbol(symbol), residue)
             for i, symbol in enumerate(elements)]
    for one, two in bonds:
        topology.add_bond(atoms[one], atoms[two])
    return md.Trajectory(np.random.default_rng(1).uniform(0.0, 0.3, (3, len(elements), 3)), topology)


@functools.cache
def system(name):
    if name == "adk":
        datafiles = pytest.importorskip("MDAnalysisTests.datafiles")
        return md.load(datafiles.XTC, top=datafiles.GRO)
    if name == "adk_with_water":
        # The protein and the first 150 waters within 0.3 nm of it in frame 0.
        traj = system("adk")
        protein = traj.topology.select("protein")
        oxygens = traj.topology.select("water and element O")
        near = md.compute_neighbors(traj[0], 0.3, protein, haystack_indices=oxygens)[0][:150]
        waters = [atom.index for i in near for atom in traj.topology.atom(i).residue.atoms]
        return traj.atom_slice(np.sort(np.concatenate([protein, waters])))
    if name == "duplicated_bonds":
        # Two O-H bonds listed again, one with its atoms swapped.
        traj = water_trajectory()
        topology = traj.topology.copy()
        bonds = list(topology.bonds)
        topology.add_bond(bonds[0][0], bonds[0][1])
        topology.add_bond(bonds[5][1], bonds[5][0])
        return md.Trajectory(traj.xyz, topology, unitcell_lengths=traj.unitcell_lengths,
                             unitcell_angles=traj.unitcell_angles)
    return water_trajectory(cell={"cubic": "cubic", "triclinic": "triclinic", "no_cell": None}[name])


def at_cutoff(traj, triplet, periodic=True, distance_cutoff=0.25, angle_cutoff=120.0, **_):
    """Whether in some frame the exact H-A distance or D-H-A angle of `triplet` is so close to its
    cut-off that MDTraj's float32 arithmetic may decide either way."""
    xyz = traj.xyz.astype(np.float64)
    donor, hydrogen, acceptor = (xyz[:, atom] for atom in triplet)
    v, w = acceptor - hydrogen, donor - hydrogen
    if periodic and traj.unitcell_vectors is not None:
        cells = traj.unitcell_vectors.astype(np.float64)
        v, w = (np.array([np.stack(minimum_image(x, cell)) for x, cell in zip(u, cells)]) for u in (v, w))
    ha, hd = np.linalg.norm(v, axis=1), np.linalg.norm(w, axis=1)
    angle = np.degrees(np.arccos(np.clip(np.sum(v * w, axis=1) / (ha * hd), -1.0, 1.0)))
    return bool(np.any((np.abs(ha - distance_cutoff) < 1e-6) | (np.abs(angle - angle_cutoff) < 1e-4)))


def assert_matches_mdtraj(traj, **kwargs):
    expected = md.baker_hubbard(traj, **kwargs)
    actual = brenvox_hbond.baker_hubbard(traj, **kwargs)
    assert actual.shape[1:] == (3,) and actual.dtype.kind == expected.dtype.kind == "i"
    if not np.array_equal(actual, expected):
        differing = set(map(tuple, actual.tolist())) ^ set(map(tuple, expected.tolist()))
        edge_cases = {triplet for triplet in differing if at_cutoff(traj, triplet, **kwargs)}
        assert differing == edge_cases, f"differences away from the cut-offs: {differing - edge_cases}"
        assert [row for row in actual.tolist() if tuple(row) not in edge_cases] == [
            row for row in expected.tolist() if tuple(row) not in edge_cases]
    return expected


CASES = [(name, exclude_water, kwargs) for name, exclude_water, argument_sets in (
    ("adk", True, PAIRWISE_ARGUMENTS), ("adk_with_water", False, PAIRWISE_ARGUMENTS),
    ("cubic", False, ALL_ARGUMENTS), ("cubic", True, PAIRWISE_ARGUMENTS), ("triclinic", False, ALL_ARGUMENTS),
    ("no_cell", False, ALL_ARGUMENTS), ("duplicated_bonds", False, ALL_ARGUMENTS),
) for kwargs in argument_sets]


@pytest.mark.parametrize(("name", "exclude_water", "kwargs"), CASES, ids=[
    "-".join([name, f"exclude_water={ex}", *(f"{k}={v}" for k, v in kw.items())]) for name, ex, kw in CASES])
def test_same_rows_as_mdtraj(name, exclude_water, kwargs):
    expected = assert_matches_mdtraj(system(name), exclude_water=exclude_water, **kwargs)
    if name == "duplicated_bonds" and kwargs["periodic"] and not kwargs["sidechain_only"]:
        assert len(np.unique(expected, axis=0)) < len(expected)


def test_topology_without_bonds_raises_mdtraj_error():
    traj = molecule(["O", "H", "N"], [])
    with pytest.raises(ValueError) as expected:
        md.baker_hubbard(traj)
    with pytest.raises(ValueError) as actual:
        brenvox_hbond.baker_hubbard(traj)
    assert str(actual.value) == str(expected.value)


@pytest.mark.parametrize(("elements", "bonds"), [
    (["O", "C", "N"], [(0, 1), (1, 2)]),  # no hydrogen on N or O: no donors
    (["N", "H", "C"], [(0, 1), (0, 2)]),  # the donor is the only acceptor
    (["C", "H", "H"], [(0, 1), (0, 2)]),  # neither
])
@pytest.mark.parametrize("freq", [0.0, 0.1])
def test_no_donors_or_no_acceptors(elements, bonds, freq):
    assert assert_matches_mdtraj(molecule(elements, bonds), freq=freq).shape == (0, 3)
