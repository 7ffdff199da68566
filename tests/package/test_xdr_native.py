"""The native .xtc and .trr readers of brenvox_hbond._native: index_xdr against the package's
Python index (sources/xdr_frames.py), and read_xdr against MDTraj's and MDAnalysis' readers, to
the bit, on files written by GROMACS, MDTraj and MDAnalysis (every precision, tiny systems whose
.xtc frames are not compressed, a system of 300 000 atoms, double-precision .trr, frames without
box or coordinates); damaged files, argument errors and the interpreter lock."""

import os
import shutil
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

from brenvox_hbond import _native
from brenvox_hbond.sources.xdr_frames import index_frames
from pentamer_files import XTC

THREAD_COUNTS = (1, 2, 3)


# Writers of the files, each into `folder`; a writer that needs a missing tool skips.


def _mdtraj():
    return pytest.importorskip("mdtraj")


def _libmdaxdr():
    pytest.importorskip("MDAnalysis")
    from MDAnalysis.lib.formats import libmdaxdr

    return libmdaxdr


def _pentamer_frames():
    with _mdtraj().formats.XTCTrajectoryFile(str(XTC)) as handle:
        xyz, time, step, box = handle.read()
    return xyz, time, step, box


def _gromacs(program, folder, name, *options):
    if shutil.which(program) is None:
        pytest.skip(f"{program} is not installed")
    path = folder / name
    subprocess.run([program, "-quiet", "trjconv", "-f", str(XTC), "-o", str(path), *options], input="0\n",
                   capture_output=True, text=True, check=True, cwd=folder)
    return path


def _mdtraj_file(folder, name, xyz, time, box, step=None):
    md = _mdtraj()
    kind = md.formats.XTCTrajectoryFile if name.endswith(".xtc") else md.formats.TRRTrajectoryFile
    path = folder / name
    with kind(str(path), "w") as handle:
        handle.write(xyz, time=time, step=step, box=box)
    return path


def mdtraj_xtc(folder):
    """The pentamer with boxes of its own per frame, frame 2 without a box (all zero)."""
    xyz, time, step, box = _pentamer_frames()
    box = box * np.linspace(0.9, 1.1, len(box), dtype=np.float32)[:, None, None]
    box[2] = 0
    return _mdtraj_file(folder, "mdtraj.xtc", xyz, time + np.float32(0.25), box, step * 7 + 3)


def mdtraj_trr(folder):
    xyz, time, step, box = _pentamer_frames()
    return _mdtraj_file(folder, "mdtraj.trr", xyz, time, box, step)


def mdtraj_trr_without_box(folder):
    xyz, time, _, _ = _pentamer_frames()
    return _mdtraj_file(folder, "mdtraj-no-box.trr", xyz[:3], time[:3], None)


def tiny_xtc(n_atoms):
    """Frames of up to nine atoms are stored as floats, ten and more compressed."""
    def write(folder):
        rng = np.random.default_rng(n_atoms)
        xyz = rng.uniform(-3, 12, (5, n_atoms, 3)).astype(np.float32)
        box = np.broadcast_to(np.diag(rng.uniform(1, 9, 3)).astype(np.float32), (5, 3, 3))
        return _mdtraj_file(folder, f"tiny-{n_atoms}.xtc", xyz, np.arange(5, dtype=np.float32), box)
    return write


def tiny_trr(folder):
    xyz = np.random.default_rng(1).uniform(-3, 12, (4, 1, 3)).astype(np.float32)
    box = np.broadcast_to(np.eye(3, dtype=np.float32) * 2, (4, 3, 3))
    return _mdtraj_file(folder, "tiny-1.trr", xyz, np.arange(4, dtype=np.float32), box)


def large_xtc(folder):
    """300 000 atoms of water in a 14.4 nm box, two frames."""
    _mdtraj()
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
    from waterbox import box_edge_nm, water_box

    xyz, _, _ = water_box(100_000, 2, 11)
    edge = box_edge_nm(100_000)
    box = np.broadcast_to(np.eye(3, dtype=np.float32) * edge, (2, 3, 3))
    return _mdtraj_file(folder, "large.xtc", np.mod(xyz, edge).astype(np.float32), np.array([0, 2], np.float32), box)


def mdanalysis_xtc(folder):
    """Written through MDAnalysis' Writer from a Universe of the pentamer (Å in, nm stored)."""
    mda = pytest.importorskip("MDAnalysis")
    from pentamer_files import GRO

    universe = mda.Universe(str(GRO), str(XTC))
    path = folder / "mdanalysis.xtc"
    with mda.Writer(str(path), universe.atoms.n_atoms) as writer:
        for _ in universe.trajectory:
            writer.write(universe.atoms)
    return path


def mdanalysis_xtc_precision(precision):
    """The pentamer at another precision: at 10^5 to 10^7, runs of small atoms use large
    small-indices, and at 10^7 the integer ranges exceed 2^24, so that each integer is stored
    on its own; at 10, few bits."""
    def write(folder):
        libmdaxdr = _libmdaxdr()
        xyz, time, step, box = _pentamer_frames()
        path = folder / f"mdanalysis-precision-{precision:.0f}.xtc"
        with libmdaxdr.XTCFile(str(path), "w") as handle:
            for k in range(3):
                handle.write(xyz[k], box[k], int(step[k]), float(time[k]), precision=precision)
        return path
    return write


def mdanalysis_trr(folder, name="mdanalysis.trr", without_x=False):
    """Coordinates, velocities and forces; with `without_x`, odd frames hold no coordinates."""
    libmdaxdr = _libmdaxdr()
    xyz, time, step, box = _pentamer_frames()
    path = folder / name
    with libmdaxdr.TRRFile(str(path), "w") as handle:
        for k in range(4):
            x = None if without_x and k % 2 else xyz[k]
            handle.write(x, xyz[k] * 2, xyz[k] * -3, box[k], int(step[k]), float(time[k]), 0.5, xyz.shape[1])
    return path


def mdanalysis_trr_without_x(folder):
    return mdanalysis_trr(folder, "mdanalysis-some-without-x.trr", without_x=True)


def mdanalysis_test_file(name):
    def existing(folder):
        files = pytest.importorskip("MDAnalysisTests.datafiles")
        return Path(getattr(files, name))
    return existing


FILES = {
    "pentamer.xtc": lambda folder: XTC,
    "adk.xtc": mdanalysis_test_file("XTC"),
    "adk.trr": mdanalysis_test_file("TRR"),
    "gromacs.trr": lambda folder: _gromacs("gmx", folder, "gromacs.trr"),
    "gromacs-double.trr": lambda folder: _gromacs("gmx_d", folder, "gromacs-double.trr"),
    "gromacs-precision-100.xtc": lambda folder: _gromacs("gmx", folder, "gromacs-ndec2.xtc", "-ndec", "2"),
    "mdtraj.xtc": mdtraj_xtc,
    "mdtraj.trr": mdtraj_trr,
    "mdtraj-no-box.trr": mdtraj_trr_without_box,
    "mdanalysis.xtc": mdanalysis_xtc,
    "mdanalysis-precision-10.xtc": mdanalysis_xtc_precision(10.0),
    "mdanalysis-precision-1e5.xtc": mdanalysis_xtc_precision(1e5),
    "mdanalysis-precision-1e6.xtc": mdanalysis_xtc_precision(1e6),
    "mdanalysis-precision-1e7.xtc": mdanalysis_xtc_precision(1e7),
    "mdanalysis.trr": mdanalysis_trr,
    "mdanalysis-some-without-x.trr": mdanalysis_trr_without_x,
    "tiny-1.xtc": tiny_xtc(1),
    "tiny-3.xtc": tiny_xtc(3),
    "tiny-9.xtc": tiny_xtc(9),
    "tiny-10.xtc": tiny_xtc(10),
    "tiny-1.trr": tiny_trr,
    "large.xtc": large_xtc,
}


class WrittenFiles:
    """The files of FILES, each written into `folder` when first asked for."""

    def __init__(self, folder):
        self.folder = folder
        self._paths = {}

    def __getitem__(self, name):
        if name not in self._paths:
            self._paths[name] = FILES[name](self.folder)
        return self._paths[name]


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    return WrittenFiles(tmp_path_factory.mktemp("xdr-files"))


@pytest.fixture
def folder(files):
    return files.folder


@pytest.fixture(params=list(FILES))
def path(request, files):
    return files[request.param]


def read_all(path, n_threads=1):
    offsets, n_atoms, _ = _native.index_xdr(path)
    return _native.read_xdr(path, offsets, np.arange(len(offsets)), n_atoms, n_threads)


def assert_same_bits(actual, expected):
    actual, expected = np.asarray(actual), np.asarray(expected)
    assert actual.shape == expected.shape
    assert actual.dtype == expected.dtype
    assert actual.tobytes() == expected.tobytes()


def has_coordinates(xyz):
    """Frames of a .trr file without coordinates read as NaN."""
    return ~np.isnan(xyz).all(axis=(1, 2))


# The index


def test_index_equals_the_python_index(path):
    offsets, n_atoms, damage = _native.index_xdr(path)
    expected = index_frames(path)
    assert offsets.dtype == np.int64
    assert_same_bits(offsets, expected.offsets)
    assert (n_atoms, damage) == (expected.n_atoms, expected.damage)
    assert damage is None and len(offsets) > 0


# Bit identity with the other readers


def test_every_frame_equals_mdtraj(path):
    md = _mdtraj()
    xyz, box, time, step, failure = read_all(path)
    assert failure is None
    kind = md.formats.XTCTrajectoryFile if path.suffix == ".xtc" else md.formats.TRRTrajectoryFile
    with kind(str(path)) as handle:
        expected_xyz, expected_time, expected_step, expected_box = handle.read()[:4]
    # MDTraj gives no box for a file without boxes; frames without coordinates it leaves as
    # they were.
    if expected_box is None:
        expected_box = np.zeros_like(box)
    present = has_coordinates(xyz)
    assert present.any()
    assert_same_bits(xyz[present], expected_xyz[present])
    assert_same_bits(box, expected_box)
    assert_same_bits(time, expected_time)
    assert_same_bits(step, expected_step.astype(np.int64))


def test_every_frame_equals_mdanalysis_xdr_files(path):
    libmdaxdr = _libmdaxdr()
    xyz, box, time, step, failure = read_all(path)
    assert failure is None
    kind = libmdaxdr.XTCFile if path.suffix == ".xtc" else libmdaxdr.TRRFile
    with kind(str(path)) as handle:
        frames = list(handle)
    assert len(frames) == len(xyz)
    for k, frame in enumerate(frames):
        if path.suffix == ".trr":
            assert frame.hasx == has_coordinates(xyz)[k]
            if not frame.hasx:
                continue
        assert_same_bits(xyz[k], frame.x)
        assert_same_bits(box[k], frame.box)
        assert_same_bits(time[k], np.float32(frame.time))
        assert step[k] == frame.step


def test_every_frame_equals_an_mdanalysis_universe_in_its_units(path):
    mda = pytest.importorskip("MDAnalysis")
    from MDAnalysis.lib.mdamath import triclinic_box

    xyz, box, time, step, failure = read_all(path)
    assert failure is None
    universe = mda.Universe.empty(xyz.shape[1], trajectory=False)
    universe.load_new(str(path))
    present = has_coordinates(xyz)
    for k, ts in enumerate(universe.trajectory):
        if present[k]:
            assert_same_bits(ts.positions, xyz[k] * np.float32(10))  # nm to Å
        dimensions = triclinic_box(*box[k])
        if ts.dimensions is None:
            assert not box[k].any()
        else:
            dimensions[:3] *= 10
            assert_same_bits(ts.dimensions, dimensions)
        assert ts.time == time[k]
        assert ts.data["step"] == step[k]


def test_the_same_whatever_the_thread_count(path):
    results = [read_all(path, n_threads) for n_threads in THREAD_COUNTS]
    for result in results[1:]:
        for actual, expected in zip(result[:4], results[0][:4]):
            assert_same_bits(actual, expected)
        assert result[4] is None


def test_kept_atoms_are_the_first_atoms_of_every_frame(path):
    offsets, n_atoms, _ = _native.index_xdr(path)
    everything = read_all(path)
    for kept in sorted({1, max(1, n_atoms // 3), n_atoms}):
        prefix = _native.read_xdr(path, offsets, np.arange(len(offsets)), n_atoms, 2, kept)
        assert_same_bits(prefix[0], everything[0][:, :kept])
        for actual, whole in zip(prefix[1:4], everything[1:4]):
            assert_same_bits(actual, whole)
        assert prefix[4] is None


def test_frames_in_any_order_and_repeated():
    offsets, n_atoms, _ = _native.index_xdr(XTC)
    everything = read_all(XTC)
    frames = np.array([5, 1, 1, 0, 3], dtype=np.int64)
    for n_threads in THREAD_COUNTS:
        chosen = _native.read_xdr(XTC, offsets, frames, n_atoms, n_threads)
        for actual, whole in zip(chosen[:4], everything[:4]):
            assert_same_bits(actual, whole[frames])
        assert chosen[4] is None
    empty = _native.read_xdr(XTC, offsets, np.array([], np.int64), n_atoms, 2)
    assert [a.shape for a in empty[:4]] == [(0, n_atoms, 3), (0, 3, 3), (0,), (0,)]
    assert empty[4] is None


def test_a_large_xtc_frame_decodes_as_its_1995_form(folder):
    """Magic 2023 (GROMACS 2023 and later, for frames whose compressed size needs 64 bits)
    differs only in the width of the byte count: the same frame in both forms decodes alike."""
    data = XTC.read_bytes()
    offsets = index_frames(XTC).offsets
    large = bytearray()
    for start, end in zip(offsets, [*offsets[1:], len(data)]):
        frame = data[start:end]
        large += (2023).to_bytes(4, "big") + frame[4:88] + int.from_bytes(frame[88:92], "big").to_bytes(8, "big")
        large += frame[92:]
    path = folder / "magic-2023.xtc"
    path.write_bytes(bytes(large))
    offsets, _, damage = _native.index_xdr(path)
    assert_same_bits(offsets, index_frames(path).offsets)
    assert damage is None and len(offsets) == 6
    for actual, expected in zip(read_all(path, 2)[:4], read_all(XTC)[:4]):
        assert_same_bits(actual, expected)


# Damaged files: the index and the decoder say what the Python index says


def _pentamer_bytes():
    return XTC.read_bytes(), index_frames(XTC).offsets


def _write(folder, name, data):
    path = folder / name
    path.write_bytes(bytes(data))
    return path


def _damaged_files():
    data, offsets = _pentamer_bytes()
    start = int(offsets[4])
    cuts = [0, 1, 3, 4, 51, 52, 55, 56, 87, 88, 91, 92, 93, 500, int(offsets[5]) - start - 1]
    yield from ((f"cut {cut} bytes into frame 4", data[:start + cut]) for cut in cuts)
    garbage = bytearray(data)
    garbage[start + 300:int(offsets[5]) - 8] = b"\xff" * (int(offsets[5]) - 8 - start - 300)
    yield "garbage in the coordinates of frame 4", garbage
    for field, at in (("magic", 0), ("atom count", 4), ("repeated atom count", 52), ("byte count", 88)):
        for value in (-1, 0, 1, 12038, 2**31 - 1):
            changed = bytearray(data)
            changed[start + at:start + at + 4] = value.to_bytes(4, "big", signed=True)
            yield f"{field} of frame 4 set to {value}", changed
    trailing = bytearray(data) + b"\x00\x00\x07\xcb"
    yield "four bytes after the last frame", trailing
    yield "empty", b""


def test_damaged_files_index_as_the_python_index_says_and_read_up_to_the_damage(folder):
    intact = read_all(XTC)
    for n, (what, data) in enumerate(_damaged_files()):
        path = _write(folder, f"damaged-{n}.xtc", data)
        offsets, n_atoms, damage = _native.index_xdr(path)
        expected = index_frames(path)
        assert_same_bits(offsets, expected.offsets)
        assert (n_atoms, damage) == (expected.n_atoms, expected.damage), what
        if not len(offsets):
            continue
        xyz, box, time, step, failure = _native.read_xdr(path, offsets, np.arange(len(offsets)), n_atoms, 2)
        assert failure is None or failure == "its coordinates cannot be decoded", what
        decoded = len(xyz)
        # Frames before the damaged one are intact; the damaged one, when its header holds,
        # either decodes to something or says it cannot.
        for actual, whole in zip((xyz, box, time, step), intact[:4]):
            assert_same_bits(actual[:min(decoded, 4)], whole[:min(decoded, 4)])


def test_garbage_coordinates_give_the_frames_before(folder):
    data, offsets = _pentamer_bytes()
    changed = bytearray(data)
    changed[offsets[4] + 300:offsets[5] - 8] = b"\xff" * (offsets[5] - 8 - offsets[4] - 300)
    path = _write(folder, "garbage.xtc", changed)
    offsets, n_atoms, damage = _native.index_xdr(path)
    assert damage is None and len(offsets) == 6
    intact = read_all(XTC)
    for n_threads in THREAD_COUNTS:
        *arrays, failure = _native.read_xdr(path, offsets, np.arange(6), n_atoms, n_threads)
        assert failure == "its coordinates cannot be decoded"
        for actual, whole in zip(arrays, intact[:4]):
            assert_same_bits(actual, whole[:4])
            assert actual.flags.c_contiguous and actual.flags.owndata


@pytest.mark.parametrize(("frame_bytes", "failure"), [
    (lambda frame: frame, None),
    (lambda frame: b"\x00" * len(frame), "it has no valid frame header"),
    (lambda frame: frame[:4] + (12038).to_bytes(4, "big") + frame[8:52] + (12038).to_bytes(4, "big") + frame[56:],
     "it holds 12038 atoms where the frames before hold 12037"),
], ids=["intact", "zeros", "another atom count"])
def test_what_read_xdr_says_of_a_frame_it_cannot_read(folder, frame_bytes, failure):
    data, offsets = _pentamer_bytes()
    start, end = int(offsets[1]), int(offsets[2])
    changed = data[:start] + frame_bytes(data[start:end]) + data[end:]
    path = _write(folder, "changed-frame-1.xtc", changed)
    xyz, *_, said = _native.read_xdr(path, offsets, np.arange(6), 12037, 2)
    assert said == failure
    assert len(xyz) == (6 if failure is None else 1)


def test_a_file_that_shrinks_after_its_index_gives_the_frames_before(folder):
    data, offsets = _pentamer_bytes()
    path = _write(folder, "shrinking.xtc", data)
    offsets, n_atoms, _ = _native.index_xdr(path)
    os.truncate(path, int(offsets[3]) + 1000)
    xyz, *_, failure = _native.read_xdr(path, offsets, np.arange(6), n_atoms, 2)
    assert failure == "the file ends inside it"
    assert_same_bits(xyz, read_all(XTC)[0][:3])
    os.truncate(path, 0)
    assert _native.read_xdr(path, offsets, np.arange(6), n_atoms, 1)[4] == "the file ends inside it"


def test_files_of_other_atom_counts_joined(files):
    data, offsets = _pentamer_bytes()
    path = _write(files.folder, "joined.xtc", data[:offsets[2]] + files["tiny-9.xtc"].read_bytes())
    offsets, n_atoms, damage = _native.index_xdr(path)
    assert (len(offsets), n_atoms, damage) == (2, 12037, "it holds 9 atoms where the frames before hold 12037")
    assert damage == index_frames(path).damage


def test_trr_frames_whose_blocks_do_not_fit_their_atoms(files):
    trr = files["mdtraj.trr"]
    data = bytearray(trr.read_bytes())
    offsets = index_frames(trr).offsets
    # The coordinates' block size of frame 1 (the eighth size after magic, the version string
    # "GMX_trn_file" and its lengths) one real short.
    at = int(offsets[1]) + 12 + 12 + 7 * 4
    size = int.from_bytes(data[at:at + 4], "big")
    data[at:at + 4] = (size - 4).to_bytes(4, "big")
    path = _write(files.folder, "short-x.trr", data)
    offsets, n_atoms, damage = _native.index_xdr(path)
    assert (len(offsets), damage) == (len(index_frames(path).offsets), index_frames(path).damage)
    xyz, *_, failure = _native.read_xdr(path, offsets, np.arange(len(offsets)), n_atoms, 1)
    assert failure == "its block sizes do not fit its atom count"
    assert len(xyz) == 1


# Paths and arguments


def test_paths_as_str_bytes_and_path_like_and_the_suffix_in_any_case(folder):
    expected = _native.index_xdr(XTC)
    upper = _write(folder, "UPPER.XTC", XTC.read_bytes())
    unicode = _write(folder, "wässer.xtc", XTC.read_bytes())
    for path in (str(XTC), os.fsencode(XTC), XTC, upper, unicode):
        offsets, n_atoms, damage = _native.index_xdr(path)
        assert_same_bits(offsets, expected[0])
        assert (n_atoms, damage) == expected[1:]
    # Named .trr (or anything else), an .xtc file has no valid .trr frame header.
    renamed = _write(folder, "pentamer.xtc.trr", XTC.read_bytes())
    assert _native.index_xdr(renamed)[1:] == (None, "it has no valid frame header")
    assert index_frames(renamed).damage == "it has no valid frame header"


def test_files_that_cannot_be_opened_raise_oserror(folder):
    missing = folder / "missing.xtc"
    with pytest.raises(FileNotFoundError) as raised:
        _native.index_xdr(missing)
    assert raised.value.filename == str(missing)
    with pytest.raises(FileNotFoundError):
        _native.read_xdr(missing, np.zeros(1, np.int64), np.zeros(1, np.int64), 10, 1)
    with pytest.raises(IsADirectoryError):
        _native.index_xdr(folder)
    with pytest.raises(ValueError, match="null"):
        _native.index_xdr("a\0b.xtc")
    with pytest.raises(TypeError):
        _native.index_xdr(12)


def test_argument_errors():
    offsets, n_atoms, _ = _native.index_xdr(XTC)
    frames = np.arange(6)
    with pytest.raises(TypeError, match="offsets must be a C-contiguous int64 array"):
        _native.read_xdr(XTC, offsets.astype(np.int32), frames, n_atoms, 1)
    with pytest.raises(TypeError, match="offsets must be a C-contiguous int64 array"):
        _native.read_xdr(XTC, list(offsets), frames, n_atoms, 1)
    with pytest.raises(TypeError, match="frames must be a C-contiguous int64 array"):
        _native.read_xdr(XTC, offsets, frames[::2], n_atoms, 1)
    with pytest.raises(IndexError, match="frame 6 is out of range for 6 offsets"):
        _native.read_xdr(XTC, offsets, np.array([0, 6]), n_atoms, 1)
    with pytest.raises(IndexError, match="frame -1 is out of range"):
        _native.read_xdr(XTC, offsets, np.array([-1]), n_atoms, 1)
    with pytest.raises(ValueError, match="offsets must not be negative"):
        _native.read_xdr(XTC, -offsets, np.array([1]), n_atoms, 1)
    for bad in (0, -1, 2**31):
        with pytest.raises(ValueError, match="n_atoms must be between 1 and 2147483647"):
            _native.read_xdr(XTC, offsets, frames, bad, 1)
    with pytest.raises(ValueError, match="n_threads must be at least 1"):
        _native.read_xdr(XTC, offsets, frames, n_atoms, 0)
    with pytest.raises(TypeError):
        _native.read_xdr(XTC, offsets, frames, None, 1)
    for bad in (-1, n_atoms + 1):
        with pytest.raises(ValueError, match="kept_atoms must be between 0 and n_atoms"):
            _native.read_xdr(XTC, offsets, frames, n_atoms, 1, bad)


def test_offsets_that_are_no_frame_starts():
    offsets, n_atoms, _ = _native.index_xdr(XTC)
    for wrong, failure in ((offsets + 4, "it has no valid frame header"),
                           (np.array([10**12]), "the file ends inside it")):
        assert _native.read_xdr(XTC, wrong, np.array([0]), n_atoms, 1)[4] == failure
    assert _native.read_xdr(XTC, offsets, np.array([2]), 100, 1)[4] == \
        "it holds 12037 atoms where the frames before hold 100"


def test_no_arrays_for_more_atoms_than_the_file_has_room_for():
    """A corrupt atom count (here 2^31 - 1: 24 GiB a frame) makes no arrays."""
    offsets, _, _ = _native.index_xdr(XTC)
    xyz, box, time, step, failure = _native.read_xdr(XTC, offsets, np.arange(6), 2**31 - 1, 2)
    assert failure == "the file is too short for its atom count"
    assert xyz.shape == (0, 2**31 - 1, 3) and len(box) == len(time) == len(step) == 0


def test_decoding_releases_the_interpreter_lock():
    """A thread that wakes every 0.2 ms counts on while frames are decoded; were the lock held,
    it could not count more than once or twice."""
    offsets, n_atoms, _ = _native.index_xdr(XTC)
    frames = np.tile(np.arange(6), 100)
    counted = [0]
    done = threading.Event()

    def count():
        while not done.wait(0.0002):
            counted[0] += 1

    thread = threading.Thread(target=count)
    thread.start()
    try:
        while counted[0] < 3:
            pass
        before = counted[0]
        _native.read_xdr(XTC, offsets, frames, n_atoms, 1)
        during = counted[0] - before
    finally:
        done.set()
        thread.join()
    assert during >= 5
