"""The native .gro/.pdb reader against MDTraj: the same sites for every flag, the same labels,
coordinates and box, on the pentamer, MDAnalysis' test proteins and water boxes written by MDTraj
and by GROMACS."""

import gzip
import shutil
import subprocess
import sys
import warnings

import numpy as np
import pytest

from brenvox_hbond.labels import mdtraj_labels
from brenvox_hbond.sites import mdtraj_sites, structure_sites
from brenvox_hbond.sources.structure_files import read_structure, structure_labels
from pentamer_files import DATA

md = pytest.importorskip("mdtraj")

PEER_FILES = ("GRO", "PDB", "PDB_small", "PDB_full", "PDB_multiframe", "PDB_conect", "PDB_icodes", "PDB_sub_sol")


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return tmp_path_factory.mktemp("structures")


def _pentamer(folder, name):
    if name == "pentamer.gro":
        with gzip.open(DATA / "pentamer.gro.gz") as packed, open(folder / name, "wb") as unpacked:
            shutil.copyfileobj(packed, unpacked)
    else:
        shutil.copyfile(DATA / name, folder / name)
    return folder / name


def _mdtraj_water(folder, name):
    topology = md.Topology()
    chain = topology.add_chain()
    for number in range(1, 41):
        residue = topology.add_residue("SOL", chain, resSeq=number)
        oxygen = topology.add_atom("OW", md.element.oxygen, residue)
        for hydrogen in ("HW1", "HW2"):
            topology.add_bond(oxygen, topology.add_atom(hydrogen, md.element.hydrogen, residue))
    rng = np.random.default_rng(7)
    xyz = (rng.random((1, topology.n_atoms, 3)) * 1.5).astype(np.float32)
    md.Trajectory(xyz, topology, unitcell_lengths=[[1.5, 1.5, 1.5]], unitcell_angles=[[90.0, 90.0, 90.0]]).save(
        str(folder / name))
    return folder / name


def _gromacs_water(folder, name):
    if shutil.which("gmx") is None:
        pytest.skip("GROMACS (gmx) is not installed")
    model, suffix = name.split(".")
    gro = folder / f"{model}.gro"
    if not gro.exists():
        source = "spc216.gro" if model == "spc" else "tip4p.gro"
        subprocess.run(["gmx", "-quiet", "solvate", "-cs", source, "-box", "2", "2", "2", "-o", str(gro)],
                       check=True, capture_output=True, cwd=folder)
    if suffix == "pdb":
        subprocess.run(["gmx", "-quiet", "editconf", "-f", str(gro), "-o", str(folder / name)], check=True,
                       capture_output=True, cwd=folder)
    return folder / name


def _peer_file(folder, name):
    return getattr(pytest.importorskip("MDAnalysisTests.datafiles"), name)


CASES = {
    "pentamer.gro": _pentamer, "pentamer.pdb.gz": _pentamer,
    "mdtraj-water.gro": _mdtraj_water, "mdtraj-water.pdb": _mdtraj_water,
    "spc.gro": _gromacs_water, "tip4p.gro": _gromacs_water, "tip4p.pdb": _gromacs_water,
} | dict.fromkeys(PEER_FILES, _peer_file)


@pytest.fixture(scope="module", params=list(CASES))
def both(request, folder):
    """(our structure, MDTraj's topology, MDTraj's first frame) of one file."""
    path = str(CASES[request.param](folder, request.param))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        trajectory = md.load(path)[0]
    return read_structure(path), trajectory.topology, trajectory


def _pairs(sites):
    return {tuple(pair) for pair in sites.donor_h_pairs.tolist()}


@pytest.mark.parametrize("exclude_water", [False, True])
@pytest.mark.parametrize("sidechain_only", [False, True])
def test_sites_match_mdtraj(both, exclude_water, sidechain_only):
    structure, topology, _ = both
    ours = structure_sites(structure, exclude_water=exclude_water, sidechain_only=sidechain_only)
    theirs = mdtraj_sites(topology, exclude_water=exclude_water, sidechain_only=sidechain_only)
    assert _pairs(ours) == _pairs(theirs)
    assert set(ours.acceptors.tolist()) == set(theirs.acceptors.tolist())
    order = np.lexsort((ours.donor_h_pairs[:, 1], ours.donor_h_pairs[:, 0]))
    assert np.array_equal(order, np.arange(len(order))) and len(_pairs(ours)) == len(ours.donor_h_pairs)
    assert np.all(np.diff(ours.acceptors) > 0)


def test_labels_coordinates_and_box_match_mdtraj(both):
    structure, topology, trajectory = both
    box = None if trajectory.unitcell_vectors is None else trajectory.unitcell_vectors[0]
    ours, theirs = structure_labels(structure, trajectory.xyz[0], box), mdtraj_labels(topology, trajectory.xyz[0], box)
    for field in ("names", "residue_names", "residue_ids", "elements", "chains"):
        assert getattr(ours, field).tolist() == getattr(theirs, field).tolist(), field
    np.testing.assert_allclose(structure.xyz, trajectory.xyz[0], atol=1e-6)
    if box is None:
        assert structure.box is None
    else:
        np.testing.assert_allclose(structure.box, box, atol=1e-5)
    assert structure_labels(structure).chains.tolist() == theirs.chains.tolist()


def test_compressed_gro_reads_as_the_plain_file(folder):
    """MDTraj reads no .gro.gz; ours does, as the file unpacked."""
    plain, packed = read_structure(_pentamer(folder, "pentamer.gro")), read_structure(DATA / "pentamer.gro.gz")
    for field in ("names", "residue_ids", "elements", "xyz", "box", "bonds"):
        assert np.array_equal(getattr(plain, field), getattr(packed, field)), field


def test_reads_with_numpy_alone():
    code = ("import sys\n"
            "for blocked in ('mdtraj', 'MDAnalysis'):\n"
            "    sys.modules[blocked] = None\n"
            "from brenvox_hbond.sites import structure_sites\n"
            "from brenvox_hbond.sources.structure_files import read_structure\n"
            f"sites = structure_sites(read_structure({str(DATA / 'pentamer.pdb.gz')!r}))\n"
            "print(len(sites.donor_h_pairs))\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert int(done.stdout) > 0


@pytest.mark.parametrize(("text", "message"), [
    ("title\nx\n", "number of atoms"),
    ("title\n2\n    1SOL     OW    1   0.000   0.000   0.000\n", "atom lines and a box"),
    ("title\n1\n    1SOL     OW    1   0.000   0.000   0.000\n   1.0   1.0\n", "3 or 9 numbers"),
    ("title\n2\n    1SOL     OW    1   0.000   0.000   0.000\n    1SOL    HW1    2   0.000   x.000   0.000\n"
     " 1 1 1\n", "malformed coordinate in atom line 2"),
    ("title\n1\n    ?SOL     OW    1   0.000   0.000   0.000\n 1 1 1\n", "malformed residue number in atom line 1"),
    ("title\n2\n    1SOL     OW    1   0.000   0.000   0.000\n    1SOL\n 1 1 1\n", "malformed coordinate"),
    ("title\n999999999999\n    1SOL     OW    1   0.000   0.000   0.000\n", "expected 999999999999 atom lines"),
])
def test_malformed_gro_is_named(tmp_path, text, message):
    path = tmp_path / "bad.gro"
    path.write_text(text)
    with pytest.raises(ValueError, match=message):
        read_structure(path)
