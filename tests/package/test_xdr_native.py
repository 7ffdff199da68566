"""The native .xtc and .trr readers of brenvox_hbond._native: index_xdr against the package's
Python index (sources/xdr_frames.py), and read_xdr against MDTraj's and MDAnalysis' readers, to
the bit, on files written by GROMACS, MDTraj and MDAnalysis (every precision, tiny systems whose
.xtc frames are not compressed, a system of 300 000 atoms, double-precision .trr, frames without
box or coordinates); damaged files, argument errors and the interpreter lock."""

import functools
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
        return handle.read()  # xyz, time, step, box


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


def tiny(n_atoms, suffix=".xtc"):
    """Five frames of a few atoms: .xtc frames of up to nine atoms are stored as floats, of ten
    and more compressed."""
    def write(folder):
        rng = np.random.default_rng(n_atoms)
        xyz = rng.uniform(-3, 12, (5, n_atoms, 3)).astype(np.float32)
        box = np.broadcast_to(np.diag(rng.uniform(1, 9, 3)).astype(np.float32), (5, 3, 3))
        return _mdtraj_file(folder, f"tiny-{n_atoms}{suffix}", xyz, np.arange(5, dtype=np.float32), box)
    return write


def large_xtc(folder):
    """300 000 atoms of water in a 14.4 nm box, two frames."""
    _mdtraj()
    sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "bench"))
    from waterbox import box_edge_nm, water_box

    xyz, _, _ = water_box(100_000, 2, 11)
    edge = box_edge_nm(100_000)
    box = np.broadcast_to(np.eye(3, dtype=np.float32) * edge, (2, 3, 3))
    return _mdtraj_file(folder, "large.xtc", np.mod(xyz, edge).astype(np.float32), np.array([0, 2], np.float32), box)


def mdanalysis_xtc_precision(precision):
    """The pentamer at another precision: at 10^6 and 10^7, runs of small atoms use large
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


def mdanalysis_trr(folder):
    """Coordinates, velocities and forces, but odd frames hold no coordinates."""
    libmdaxdr = _libmdaxdr()
    xyz, time, step, box = _pentamer_frames()
    path = folder / "mdanalysis.trr"
    with libmdaxdr.TRRFile(str(path), "w") as handle:
        for k in range(4):
            x = None if k % 2 else xyz[k]
            handle.write(x, xyz[k] * 2, xyz[k] * -3, box[k], int(step[k]), float(time[k]), 0.5, xyz.shape[1])
    return path


FILES = {
    "pentamer.xtc": lambda folder: XTC,
    "adk.xtc": lambda folder: Path(pytest.importorskip("MDAnalysisTests.datafiles").XTC),
    "adk.trr": lambda folder: Path(pytest.importorskip("MDAnalysisTests.datafiles").TRR),
    "gromacs.trr": lambda folder: _gromacs("gmx", folder, "gromacs.trr"),
    "gromacs-double.trr": lambda folder: _gromacs("gmx_d", folder, "gromacs-double.trr"),
    "gromacs-precision-100.xtc": lambda folder: _gromacs("gmx", folder, "gromacs-ndec2.xtc", "-ndec", "2"),
    "mdtraj.xtc": mdtraj_xtc,
    "mdtraj-no-box.trr": lambda folder: _mdtraj_file(folder, "mdtraj-no-box.trr", *_pentamer_frames()[:2], None),
    "mdanalysis-precision-10.xtc": mdanalysis_xtc_precision(10.0),
    "mdanalysis-precision-1e6.xtc": mdanalysis_xtc_precision(1e6),
    "mdanalysis-precision-1e7.xtc": mdanalysis_xtc_precision(1e7),
    "mdanalysis.trr": mdanalysis_trr,
    "tiny-1.xtc": tiny(1),
    "tiny-9.xtc": tiny(9),
    "tiny-10.xtc": tiny(10),
    "tiny-1.trr": tiny(1, ".trr"),
    "large.xtc": large_xtc,
}


@pytest.fixture(scope="module")
def files(tmp_path_factory):
    """The files of FILES by name, each written when first asked for."""
    folder = tmp_path_factory.mktemp("xdr-files")
    return functools.cache(lambda name: FILES[name](folder))


@pytest.fixture(params=list(FILES))
def path(request, files):
    return files(request.param)


def read_all(path, n_threads=1):
    offsets, n_atoms, _ = _native.index_xdr(path)
    return _native.read_xdr(path, offsets, np.arange(len(offsets)), n_atoms, n_threads)


def assert_same_bits(actual, expected):
    actual, expected = np.asarray(actual), np.asarray(expected)
    assert actual.shape == expected.shape
    assert actual.dtype == expected.dtype
    assert actual.tobytes() == expected.tobytes()


# The index


def test_index_equals_the_python_index(path):
    offsets, n_atoms, damage = _native.index_xdr(path)
    expected = index_frames(path)
    assert offsets.dtype == np.int64
    assert_same_bits(offsets, expected.offsets)
    assert (n_atoms, damage) == (expected.n_atoms, expected.damage)
    assert damage is None and len(offsets) > 0


# Bit identity with the other readers


def _mdtraj_frames(path):
    """xyz, box, time and step as MDTraj reads them: no box for a file without boxes, frames
    without coordinates left as they were."""
    md = _mdtraj()
    kind = md.formats.XTCTrajectoryFile if path.suffix == ".xtc" else md.formats.TRRTrajectoryFile
    with kind(str(path)) as handle:
        xyz, time, step, box = handle.read()[:4]
    return xyz, box, time, step.astype(np.int64), None


def _mdanalysis_frames(path):
    """The same as MDAnalysis' XDR files read them, and which frames hold coordinates."""
    libmdaxdr = _libmdaxdr()
    kind = libmdaxdr.XTCFile if path.suffix == ".xtc" else libmdaxdr.TRRFile
    with kind(str(path)) as handle:
        frames = list(handle)
    xyz, box = np.array([f.x for f in frames]), np.array([f.box for f in frames])
    time, step = np.float32([f.time for f in frames]), np.int64([f.step for f in frames])
    return xyz, box, time, step, [getattr(f, "hasx", True) for f in frames]


@pytest.mark.parametrize("peer", [_mdtraj_frames, _mdanalysis_frames], ids=["mdtraj", "mdanalysis"])
def test_every_frame_equals_what_mdtraj_and_mdanalysis_read(path, peer):
    xyz, box, time, step, failure = read_all(path)
    assert failure is None
    expected_xyz, expected_box, expected_time, expected_step, hasx = peer(path)
    present = ~np.isnan(xyz).all(axis=(1, 2))  # frames of a .trr file without coordinates read as NaN
    assert present.any() and (hasx is None or list(present) == hasx)
    assert_same_bits(xyz[present], expected_xyz[present])
    assert_same_bits(box, np.zeros_like(box) if expected_box is None else expected_box)
    assert_same_bits(time, expected_time)
    assert_same_bits(step, expected_step)


def test_any_frames_in_any_order_alike_whatever_the_thread_count(path):
    offsets, n_atoms, _ = _native.index_xdr(path)
    everything = read_all(path)
    frames = np.array([*range(len(offsets) - 1, -1, -1), 0], dtype=np.int64)  # reversed, then 0 again
    for n_threads in THREAD_COUNTS:
        chosen = _native.read_xdr(path, offsets, frames, n_atoms, n_threads)
        for actual, whole in zip(chosen[:4], everything[:4]):
            assert_same_bits(actual, whole[frames])
        assert chosen[4] is None
    empty = _native.read_xdr(path, offsets, np.array([], np.int64), n_atoms, 2)
    assert [a.shape for a in empty[:4]] == [(0, n_atoms, 3), (0, 3, 3), (0,), (0,)]
    assert empty[4] is None


def test_kept_atoms_are_the_first_atoms_of_every_frame(path):
    offsets, n_atoms, _ = _native.index_xdr(path)
    everything = read_all(path)
    for kept in sorted({1, max(1, n_atoms // 3), n_atoms}):
        prefix = _native.read_xdr(path, offsets, np.arange(len(offsets)), n_atoms, 2, kept)
        assert_same_bits(prefix[0], everything[0][:, :kept])
        for actual, whole in zip(prefix[1:4], everything[1:4]):
            assert_same_bits(actual, whole)
        assert prefix[4] is None


# Damaged files: the index and the decoder say what the Python index says


def _pentamer_bytes():
    return XTC.read_bytes(), index_frames(XTC).offsets


def _write(folder, name, data):
    path = folder / name
    path.write_bytes(bytes(data))
    return path


def _damaged_files(files):
    data, offsets = _pentamer_bytes()
    start, end = int(offsets[4]), int(offsets[5])
    cuts = [0, 1, 3, 4, 51, 52, 55, 56, 87, 88, 91, 92, 93, 500, end - start - 1]
    yield from ((f"cut {cut} bytes into frame 4", data[:start + cut]) for cut in cuts)
    yield "garbage in the coordinates of frame 4", data[:start + 300] + b"\xff" * (end - start - 308) + data[end - 8:]
    for field, at in (("magic", 0), ("atom count", 4), ("repeated atom count", 52), ("byte count", 88)):
        for value in (-1, 0, 1, 12038, 2**31 - 1):
            yield (f"{field} of frame 4 set to {value}",
                   data[:start + at] + value.to_bytes(4, "big", signed=True) + data[start + at + 4:])
    yield "four bytes after the last frame", data + b"\x00\x00\x07\xcb"
    yield "frames of 9 atoms after frame 1", data[:offsets[2]] + files("tiny-9.xtc").read_bytes()
    yield "empty", b""


def test_damaged_files_index_as_the_python_index_says_and_read_up_to_the_damage(files, tmp_path):
    """The frames before the damaged one are intact; the damaged one, when its header holds,
    either decodes to something or says it cannot."""
    intact = read_all(XTC)
    for n, (what, data) in enumerate(_damaged_files(files)):
        path = _write(tmp_path, f"damaged-{n}.xtc", data)
        offsets, n_atoms, damage = _native.index_xdr(path)
        expected = index_frames(path)
        assert_same_bits(offsets, expected.offsets)
        assert (n_atoms, damage) == (expected.n_atoms, expected.damage), what
        if not len(offsets):
            continue
        *arrays, failure = _native.read_xdr(path, offsets, np.arange(len(offsets)), n_atoms, 2)
        assert failure in (None, "its coordinates cannot be decoded"), what
        if what.startswith("garbage"):
            assert (len(arrays[0]), failure) == (4, "its coordinates cannot be decoded")
        decoded = min(len(arrays[0]), 4)
        for actual, whole in zip(arrays, intact[:4]):
            assert_same_bits(actual[:decoded], whole[:decoded])
            assert actual.flags.c_contiguous and actual.flags.owndata


def _frame_1(data, offsets, change):
    start, end = int(offsets[1]), int(offsets[2])
    return data[:start] + change(data[start:end]) + data[end:]


ATOMS_12038 = (12038).to_bytes(4, "big")


# Each change takes the pentamer's bytes (d) and offsets (o) to the file, offsets and atom count read.
@pytest.mark.parametrize(("change", "n_read", "failure"), [
    (lambda d, o: (d, o, 12037), 6, None),
    (lambda d, o: (_frame_1(d, o, lambda f: b"\0" * len(f)), o, 12037), 1, "it has no valid frame header"),
    (lambda d, o: (_frame_1(d, o, lambda f: f[:4] + ATOMS_12038 + f[8:52] + ATOMS_12038 + f[56:]), o, 12037), 1,
     "it holds 12038 atoms where the frames before hold 12037"),
    (lambda d, o: (d, o + 4, 12037), 0, "it has no valid frame header"),
    (lambda d, o: (d, np.full(6, 10**12), 12037), 0, "the file ends inside it"),
    (lambda d, o: (d[:o[3] + 1000], o, 12037), 3, "the file ends inside it"),
    (lambda d, o: (b"", o, 12037), 0, "the file ends inside it"),
    (lambda d, o: (d, o, 100), 0, "it holds 12037 atoms where the frames before hold 100"),
    (lambda d, o: (d, o, 2**31 - 1), 0, "the file is too short for its atom count"),  # 24 GiB a frame
], ids=["intact", "zeros", "another atom count", "offsets off the frames", "offsets past the end",
        "the file shrunk after its index", "the file emptied", "another n_atoms", "no room for the atoms"])
def test_what_read_xdr_says_of_a_frame_it_cannot_read(tmp_path, change, n_read, failure):
    data, offsets, n_atoms = change(*_pentamer_bytes())
    path = _write(tmp_path, "changed.xtc", data)
    *arrays, said = _native.read_xdr(path, offsets, np.arange(6), n_atoms, 2)
    assert said == failure
    assert [len(a) for a in arrays] == [n_read] * 4
    if n_read:
        assert_same_bits(arrays[0], read_all(XTC)[0][:n_read])


# Paths and arguments


def test_paths_as_str_bytes_and_path_like_and_the_suffix_in_any_case(tmp_path):
    expected = _native.index_xdr(XTC)
    upper = _write(tmp_path, "UPPER.XTC", XTC.read_bytes())
    unicode = _write(tmp_path, "wässer.xtc", XTC.read_bytes())
    for path in (str(XTC), os.fsencode(XTC), XTC, upper, unicode):
        offsets, n_atoms, damage = _native.index_xdr(path)
        assert_same_bits(offsets, expected[0])
        assert (n_atoms, damage) == expected[1:]
    # Named .trr (or anything else), an .xtc file has no valid .trr frame header.
    renamed = _write(tmp_path, "pentamer.xtc.trr", XTC.read_bytes())
    assert _native.index_xdr(renamed)[1:] == (None, "it has no valid frame header")
    assert index_frames(renamed).damage == "it has no valid frame header"


def test_files_that_cannot_be_opened_raise_oserror(tmp_path):
    missing = tmp_path / "missing.xtc"
    with pytest.raises(FileNotFoundError) as raised:
        _native.index_xdr(missing)
    assert raised.value.filename == str(missing)
    with pytest.raises(FileNotFoundError):
        _native.read_xdr(missing, np.zeros(1, np.int64), np.zeros(1, np.int64), 10, 1)
    with pytest.raises(IsADirectoryError):
        _native.index_xdr(tmp_path)
    with pytest.raises(ValueError, match="null"):
        _native.index_xdr("a\0b.xtc")
    with pytest.raises(TypeError):
        _native.index_xdr(12)


def test_argument_errors():
    offsets, n_atoms, _ = _native.index_xdr(XTC)
    frames = np.arange(6)
    for error, match, arguments in [
        (TypeError, "offsets must be a C-contiguous int64 array", (offsets.astype(np.int32), frames, n_atoms, 1)),
        (TypeError, "offsets must be a C-contiguous int64 array", (list(offsets), frames, n_atoms, 1)),
        (TypeError, "frames must be a C-contiguous int64 array", (offsets, frames[::2], n_atoms, 1)),
        (IndexError, "frame 6 is out of range for 6 offsets", (offsets, np.array([0, 6]), n_atoms, 1)),
        (IndexError, "frame -1 is out of range", (offsets, np.array([-1]), n_atoms, 1)),
        (ValueError, "offsets must not be negative", (-offsets, np.array([1]), n_atoms, 1)),
        *((ValueError, "n_atoms must be between 1 and 2147483647", (offsets, frames, bad, 1))
          for bad in (0, -1, 2**31)),
        (ValueError, "n_threads must be at least 1", (offsets, frames, n_atoms, 0)),
        (TypeError, None, (offsets, frames, None, 1)),
        *((ValueError, "kept_atoms must be between 0 and n_atoms", (offsets, frames, n_atoms, 1, bad))
          for bad in (-1, n_atoms + 1)),
    ]:
        with pytest.raises(error, match=match):
            _native.read_xdr(XTC, *arguments)


def test_decoding_releases_the_interpreter_lock():
    """A thread that wakes every 0.2 ms counts on while frames are decoded; were the lock held,
    it could not count more than once or twice."""
    offsets, n_atoms, _ = _native.index_xdr(XTC)
    counted, done = [0], threading.Event()

    def count():
        while not done.wait(0.0002):
            counted[0] += 1

    thread = threading.Thread(target=count)
    thread.start()
    try:
        while counted[0] < 3:
            pass
        before = counted[0]
        _native.read_xdr(XTC, offsets, np.tile(np.arange(6), 100), n_atoms, 1)
        during = counted[0] - before
    finally:
        done.set()
        thread.join()
    assert during >= 5
