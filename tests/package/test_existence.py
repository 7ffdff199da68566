"""The bit-packed existence matrix (existence.py) against a dense one built row by row, its .npz
archive, and its XPM map (xpm.py) as gmx hbond -hbm lays it out."""

import numpy as np
import pytest

from brenvox_hbond import ExistenceMatrix, HbondResult, Sites, analyze, load_existence
from pentamer_files import GRO, XTC


def random_result(n_frames, seed):
    """Bonds drawn at random among 40 triplets of 12 atoms, over `n_frames` frames."""
    rng = np.random.default_rng(seed)
    triplets = np.unique(rng.integers(0, 12, (40, 3)), axis=0)
    present = rng.random((n_frames, len(triplets))) < 0.3
    frame, which = np.nonzero(present)
    rows = np.column_stack((frame, triplets[which])).astype(np.uint32)
    return HbondResult(rows, np.arange(n_frames) * 3, np.arange(n_frames) * 0.5, present.sum(axis=1),
                       Sites([[0, 1]], [2]))


def dense_reference(result):
    triplets = [tuple(row) for row in result.unique_triplets().tolist()]
    dense = np.zeros((len(triplets), result.n_frames), dtype=bool)
    where = {triplet: i for i, triplet in enumerate(triplets)}
    for frame, *triplet in result.hbonds.tolist():
        dense[where[tuple(triplet)], frame] = True
    return dense


@pytest.mark.parametrize("make", [lambda: random_result(1, 1), lambda: random_result(8, 2),
                                  lambda: random_result(21, 3), lambda: analyze(str(XTC), str(GRO))],
                         ids=["1 frame", "8 frames", "21 frames", "pentamer"])
def test_bits_equal_a_dense_matrix(monkeypatch, make):
    monkeypatch.setattr("brenvox_hbond.existence._BLOCK_ROWS", 1000)  # the pentamer's rows in 42 blocks
    result = make()
    matrix, dense = result.existence_matrix(), dense_reference(result)
    np.testing.assert_array_equal(matrix.triplets, result.unique_triplets())
    np.testing.assert_array_equal(matrix.to_dense(), dense)
    np.testing.assert_array_equal(matrix.bits, np.packbits(dense, axis=1))  # the bits past the last frame clear
    assert [matrix.row(i).tolist() for i in (0, -1)] == [dense[0].tolist(), dense[-1].tolist()]
    top = matrix.most_occupied(5)
    triplets, share = result.occupancy()
    np.testing.assert_array_equal(top.triplets, triplets[:5])
    np.testing.assert_allclose(top.occupancy(), share[:5])


def test_npz_round_trip_and_damaged_archives(tmp_path):
    matrix = random_result(13, 4).existence_matrix()
    matrix.save(tmp_path / "bonds.npz")
    loaded = load_existence(tmp_path / "bonds.npz")
    for name in ("bits", "triplets", "frames", "times"):
        np.testing.assert_array_equal(getattr(loaded, name), getattr(matrix, name))
    np.savez(tmp_path / "partial.npz", bits=matrix.bits, triplets=matrix.triplets)
    with pytest.raises(ValueError, match="frames, times missing"):
        load_existence(tmp_path / "partial.npz")
    with pytest.raises(ValueError, match=r"bits must have shape \(\d+, 2\)"):
        ExistenceMatrix(matrix.triplets, matrix.bits[:, :1], matrix.frames, matrix.times)


def pixel_rows(text):
    return [line.rstrip(",").strip('"') for line in text.splitlines()[11:] if line.startswith('"')]


@pytest.mark.parametrize("n_frames, block_bytes", [(1, 1 << 22), (21, 64)])  # 64: rows written 3 at a time
def test_xpm_is_laid_out_as_gmx_hbond_writes_it(tmp_path, monkeypatch, n_frames, block_bytes):
    monkeypatch.setattr("brenvox_hbond.xpm._BLOCK_BYTES", block_bytes)
    matrix = random_result(n_frames, 5).existence_matrix()
    matrix.to_xpm(tmp_path / "map.xpm")
    text = (tmp_path / "map.xpm").read_text()
    lines = text.splitlines()
    assert lines[0] == "/* XPM */" and lines[7] == "static char *gromacs_xpm[] = {"
    assert lines[8] == f'"{n_frames} {len(matrix)}   2 1",'
    assert lines[9:11] == ['"   c #FFFFFF " /* "None" */,', '"o  c #FF0000 " /* "Present" */,']
    axis_values = {axis: " ".join(line[12:-3] for line in lines if line.startswith(f"/* {axis}-axis:")).split()
                   for axis in "xy"}
    assert axis_values["x"] == [f"{0.5 * frame:g}" for frame in range(n_frames)]
    assert axis_values["y"] == [str(row) for row in range(len(matrix))]
    # Bond 0 at the bottom; every string but the last followed by a comma.
    expected = ["".join("o" if bit else " " for bit in row) for row in matrix.to_dense()[::-1]]
    assert pixel_rows(text) == expected
    assert lines[-1] == f'"{expected[-1]}"' and all(line.endswith(",") for line in lines[11:-1] if line[0] == '"')
