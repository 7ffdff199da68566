"""The criteria beyond Baker–Hubbard against a reference written from their definitions: distances
and angles measured with arccos between minimum images, then each compared with its cut-off."""

import gzip
from dataclasses import replace
from pathlib import Path

import numpy as np
import pytest

from brenvox_hbond import NoSitesError, analyze, find_hbonds, wernet_nilsson
from brenvox_hbond.criteria import PRESETS, Criterion, resolve_criterion
from periodic_reference import minimum_image

BOXES = {
    "open": None,
    "rectangular": np.diag([1.6, 1.5, 1.55])[None],
    "triclinic": np.array([[[1.6, 0.0, 0.0], [0.5, 1.5, 0.0], [-0.4, 0.45, 1.45]]]),
}
CUSTOM = Criterion("H-A", 0.3, "H-D-A", 40.0, distance_inclusive=True, merge_hydrogens=True)
CUSTOM_CONE = Criterion("H-A", 0.3, "D-H-A", 110.0, cone_slope=2e-6)
WIDE = Criterion("D-A", 0.32, "H-D-A", 100.0)  # no cone or angle keeps A near the hydrogen


def reference_rows(xyz, pairs, acceptors, box, criterion):
    rows = []
    d_index, h_index = pairs[:, 0][:, None], pairs[:, 1][:, None]
    a_index = acceptors[None]
    for f, frame in enumerate(xyz):
        def offset(to, origin, frame=frame):
            v = frame[to] - frame[origin] + np.zeros((1, len(acceptors), 1))
            return v if box is None else np.stack(minimum_image(v, box[0]), axis=-1)

        def length(v):
            return np.sqrt((v * v).sum(-1))

        center = d_index if criterion.distance == "D-A" else h_index
        r = length(offset(a_index, center))
        vertex, other = (h_index, d_index) if criterion.angle == "D-H-A" else (d_index, h_index)
        arm_a, arm_o = offset(a_index, vertex), offset(other, vertex)
        with np.errstate(invalid="ignore"):  # the donor as acceptor: a zero arm, left out below
            cosine = (arm_a * arm_o).sum(-1) / (length(arm_a) * length(arm_o))
        angle = np.degrees(np.arccos(np.clip(cosine, -1.0, 1.0)))
        cutoff = criterion.distance_cutoff - criterion.cone_slope * angle**2
        near = r <= cutoff if criterion.distance_inclusive else r < cutoff
        if criterion.angle == "D-H-A":
            wide = angle >= criterion.angle_cutoff if criterion.angle_inclusive else angle > criterion.angle_cutoff
        else:
            wide = angle <= criterion.angle_cutoff if criterion.angle_inclusive else angle < criterion.angle_cutoff
        keep = near & wide & (r > 0) & (d_index != a_index)
        if criterion.donor_hydrogen_cutoff is not None:
            keep &= length(offset(h_index, d_index)) <= criterion.donor_hydrogen_cutoff
        p, a = np.nonzero(keep)
        rows += [(f, *pairs[i], acceptors[j]) for i, j in zip(p, a)]
    rows = np.array(rows, dtype=np.uint32).reshape(-1, 4)
    if criterion.merge_hydrogens:
        _, first = np.unique(rows[:, [0, 1, 3]], axis=0, return_index=True)
        rows = rows[np.sort(first)]
    return rows


def random_system(seed, n_molecules=150, box=1.6):
    """Water-like triples (O, H, H) at random places and orientations, bond 0.1 nm."""
    rng = np.random.default_rng(seed)
    xyz = np.empty((2, 3 * n_molecules, 3))
    for f in range(2):
        oxygen = rng.uniform(0, box, (n_molecules, 3))
        arms = rng.normal(size=(n_molecules, 2, 3))
        arms *= 0.1 / np.linalg.norm(arms, axis=-1, keepdims=True)
        xyz[f, 0::3], xyz[f, 1::3], xyz[f, 2::3] = oxygen, oxygen + arms[:, 0], oxygen + arms[:, 1]
    pairs = np.array([(3 * m, 3 * m + k) for m in range(n_molecules) for k in (1, 2)])
    return xyz, pairs, np.arange(0, 3 * n_molecules, 3)


@pytest.mark.parametrize("box", BOXES)
@pytest.mark.parametrize("criterion", [*PRESETS.values(), CUSTOM, CUSTOM_CONE, WIDE],
                         ids=[*PRESETS, "custom", "custom-cone", "wide"])
def test_each_criterion_finds_what_its_definition_says(criterion, box):
    xyz, pairs, acceptors = random_system(seed=len(box) + int(criterion.distance_cutoff * 100))
    cell = BOXES[box]
    found = find_hbonds(xyz, pairs, acceptors, box=cell, criterion=criterion, n_threads=2)
    expected = reference_rows(xyz, pairs, acceptors, cell, criterion)
    assert len(expected) > 5
    np.testing.assert_array_equal(found, expected)


ON_THE_CUTOFFS = Criterion("D-A", 0.25, "H-D-A", 45.0, distance_inclusive=True, angle_inclusive=True)


@pytest.mark.parametrize(("criterion", "bonded"), [
    (ON_THE_CUTOFFS, True),
    (replace(ON_THE_CUTOFFS, angle_inclusive=False), False),
    (replace(ON_THE_CUTOFFS, distance_inclusive=False), False),
    (replace(ON_THE_CUTOFFS, angle_cutoff=44.9), False),
])
def test_inclusive_cutoffs_take_values_on_the_cutoff(criterion, bonded):
    # D···A exactly 0.25 and H–D–A exactly 45°: powers of two make every step exact.
    xyz = np.array([[[0.0, 0.0, 0.0], [0.125, 0.125, 0.0], [0.25, 0.0, 0.0]]])
    assert len(find_hbonds(xyz, [(0, 1)], [2], criterion=criterion)) == int(bonded)


def test_merging_keeps_the_first_hydrogen_of_each_donor_acceptor_pair():
    # Both hydrogens of the donor point near the acceptor: two rows, or one when merged.
    xyz = np.array([[[0.0, 0.0, 0.0], [0.1, 0.01, 0.0], [0.1, -0.01, 0.0], [0.28, 0.0, 0.0]]])
    pairs = [(0, 1), (0, 2)]
    assert find_hbonds(xyz, pairs, [3], criterion=Criterion("D-A", 0.35, "H-D-A", 30.0)).tolist() == [
        [0, 0, 1, 3], [0, 0, 2, 3]]
    assert find_hbonds(xyz, pairs[::-1], [3], criterion="gromacs").tolist() == [[0, 0, 2, 3]]


def test_the_donor_hydrogen_bound_leaves_stretched_pairs_out():
    xyz = np.array([[[0.0, 0.0, 0.0], [0.13, 0.0, 0.0], [0.29, 0.0, 0.0]]])
    assert len(find_hbonds(xyz, [(0, 1)], [2], criterion="mdanalysis")) == 0
    assert len(find_hbonds(xyz, [(0, 1)], [2], criterion=Criterion("D-A", 0.30, "D-H-A", 150.0))) == 1


def test_explicit_cutoffs_replace_the_presets_own():
    chosen = resolve_criterion("gromacs", 0.3, None)
    assert (chosen.distance_cutoff, chosen.angle_cutoff, chosen.merge_hydrogens) == (0.3, 30.0, True)
    assert resolve_criterion(None) == PRESETS["baker_hubbard"] == Criterion(name="baker_hubbard")


@pytest.mark.parametrize(("arguments", "error", "message"), [
    (dict(distance="D-H"), ValueError, "distance must be one of H-A, D-A"),
    (dict(angle="A-D-H"), ValueError, "angle must be one of"),
    (dict(angle_cutoff=181), ValueError, "angle_cutoff must be between 0 and 180"),
    (dict(distance_cutoff=float("nan")), ValueError, "distance_cutoff must be finite"),
    (dict(cone_slope=-1.0), ValueError, "cone_slope must be finite and not negative"),
    (dict(donor_hydrogen_cutoff=0.0), ValueError, "donor_hydrogen_cutoff must be positive"),
    (dict(distance_cutoff="0.3"), TypeError, "distance_cutoff must be a real number"),
])
def test_criteria_are_checked(arguments, error, message):
    with pytest.raises(error, match=message):
        Criterion(**arguments)


def test_unknown_presets_are_named():
    with pytest.raises(ValueError, match="criterion must be one of baker_hubbard, gromacs"):
        find_hbonds(np.zeros((1, 3, 3)), [(0, 1)], [2], criterion="cpptraj")


@pytest.fixture(scope="module")
def pentamer():
    from pentamer_files import GRO, XTC
    return str(XTC), str(GRO)


@pytest.mark.parametrize("criterion", ["gromacs", "mdanalysis"])
def test_between_keeps_the_bonds_from_one_group_to_the_other(pentamer, criterion):
    every = analyze(*pentamer, criterion=criterion)
    water = np.flatnonzero(every.labels.residue_names == "HOH")
    peptides = np.flatnonzero(~np.isin(every.labels.residue_names, ["HOH", "NA", "CL"]))
    chain_a = peptides[:len(peptides) // 5]
    overlapping = np.concatenate([chain_a, water[:300]])  # an atom in both groups counts once
    result = analyze(*pentamer, criterion=criterion, between=(overlapping, water))
    rows = every.hbonds
    donor_in = np.isin(rows[:, 1], overlapping), np.isin(rows[:, 1], water)
    acceptor_in = np.isin(rows[:, 3], overlapping), np.isin(rows[:, 3], water)
    expected = rows[(donor_in[0] & acceptor_in[1]) | (donor_in[1] & acceptor_in[0])]
    assert len(expected) > 100
    np.testing.assert_array_equal(result.hbonds, expected)
    assert result.counts.sum() == len(expected) and result.criterion == PRESETS[criterion]


def test_between_needs_two_groups_that_can_bond(pentamer):
    with pytest.raises(ValueError, match="between must be two selections"):
        analyze(*pentamer, between="protein")
    with pytest.raises(NoSitesError, match="no donor of either group"):
        analyze(*pentamer, between=([0], [1]))


def test_wernet_nilsson_is_a_drop_in_for_mdtrajs(pentamer):
    md = pytest.importorskip("mdtraj")
    trajectory = md.load(pentamer[0], top=pentamer[1])
    expected = md.wernet_nilsson(trajectory)  # with water, MDTraj takes half a minute
    found = wernet_nilsson(trajectory)
    assert len(found) == len(expected)
    for ours, theirs in zip(found, expected):
        np.testing.assert_array_equal(ours, theirs)


PEERS = Path(__file__).parent.parent / "data" / "peers"


def peer_rows(npz, tool):
    """(frame, donor, hydrogen, acceptor) rows a peer found, as bench/make_peer_references.py stores them."""
    present = np.unpackbits(npz[f"{tool}_present"], axis=1, count=int(npz["n_frames"])).astype(bool)
    frame, bond = np.nonzero(present.T)
    return np.column_stack([frame, npz[f"{tool}_bonds"][bond]]).astype(np.int64)


def peer_system(name, scratch):
    if name == "pentamer":
        from pentamer_files import GRO, XTC
        return str(XTC), str(GRO)
    gro = scratch / f"{name}.gro"
    gro.write_bytes(gzip.decompress((PEERS / f"{name}.gro.gz").read_bytes()))
    return str(PEERS / f"{name}.xtc"), str(gro)


@pytest.mark.parametrize("system", ["pentamer", "water-cubic", "water-triclinic"])
def test_presets_find_the_peers_own_bonds(system, tmp_path):
    """gmx hbond (its -nomerge rows: merged, ours name the same first hydrogen), MDAnalysis'
    HydrogenBondAnalysis and MDTraj's wernet_nilsson, bond for bond in every frame."""
    npz = np.load(PEERS / f"{system}.npz")
    files = peer_system(system, tmp_path)
    for criterion, tool, options in (("gromacs", "gmx", {}), ("mdanalysis", "mda", {}),
                                     ("wernet_nilsson", "wn", {}),
                                     ("wernet_nilsson", "wn_nowater", {"exclude_water": True})):
        if system != "pentamer" and options:
            continue  # water alone: nothing is left without water
        result = analyze(*files, criterion=criterion, **options)
        ours = result.hbonds.astype(np.int64)
        theirs = peer_rows(npz, tool)
        if criterion == "mdanalysis":  # MDAnalysis lists a frame's bonds in its own order
            ours = ours[np.lexsort(ours.T[::-1])]
        np.testing.assert_array_equal(ours, theirs, err_msg=f"{criterion} against {tool}")
    np.testing.assert_array_equal(analyze(*files, criterion="gromacs", keep_rows=False).counts, npz["gmx_counts"])


@pytest.mark.parametrize("criterion", ["gromacs", "mdanalysis", "wernet_nilsson"])
@pytest.mark.parametrize(("xyz", "bonded"), [
    ([[0, 0, 0], [1e308, 0, 0], [0.3, 0, 0]], {"gromacs": 1}),  # an endless D–H, pointing at A
    ([[0, 0, 0], [-1e308, 0, 0], [1e308, 0, 0]], {}),
    ([[1e300, 0, 0], [1e300, 0.1, 0], [1e300, 0.3, 0]], {"gromacs": 1, "mdanalysis": 1, "wernet_nilsson": 1}),
])
def test_extreme_coordinates_end_in_rows(criterion, xyz, bonded):
    found = find_hbonds(np.array([xyz], dtype=float), [(0, 1)], [2], criterion=criterion)
    assert len(found) == bonded.get(criterion, 0)


@pytest.mark.parametrize("threads", [1, 2])
def test_a_reach_wider_than_half_the_box_is_refused(threads):
    xyz = np.random.default_rng(0).uniform(0, 0.7, (4, 30, 3))
    pairs = [(i, i + 1) for i in range(0, 30, 3)]
    with pytest.raises(ValueError, match=r"frame 0 has donor-hydrogen pairs up to .* must be below 0\.35, half"):
        find_hbonds(xyz, pairs, range(0, 30, 3), box=[0.7, 0.7, 0.7], criterion=WIDE, n_threads=threads)
