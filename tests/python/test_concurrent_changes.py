"""find_hbonds searches with the interpreter lock released, so another Python thread may write or
resize its arrays meanwhile. The call must neither crash nor read freed memory: it searches index
lists it owns, and the coordinates stay where they are. Each case runs in a child process, so
that a crash fails the test instead of ending the run."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from brenvox_hbond import _native

CHILD = """
import tempfile
import threading
import time

import numpy as np
from brenvox_hbond import _native

argument, change = {argument!r}, {change!r}

rng = np.random.default_rng(4)
n_waters, n_frames = 20_000, 60
edge = (n_waters / 33.4) ** (1 / 3)
oxygens = rng.random((n_waters, 3)) * edge
directions = rng.normal(size=(n_waters, 2, 3))
hydrogens = oxygens[:, None] + 0.1 * directions / np.linalg.norm(directions, axis=-1, keepdims=True)
frame = np.concatenate([oxygens[:, None], hydrogens], axis=1).reshape(-1, 3).astype(np.float32)
box = np.array([[[edge, 0.0, 0.0], [0.1, edge, 0.0], [-0.2, 0.3, edge]]])
pair_list = [(3 * i, 3 * i + k) for i in range(n_waters) for k in (1, 2)]


def arguments():
    xyz = np.empty((n_frames + 1, len(frame), 3), dtype=np.float32)
    xyz[:] = frame
    xyz = xyz[:n_frames] if argument == "xyz-view" else xyz[:n_frames].copy()  # owner: itself or xyz.base
    if argument == "xyz-memmap":
        xyz = np.memmap(tempfile.TemporaryFile(), dtype=np.float32, mode="w+", shape=xyz.shape)
        xyz[:] = frame
    return xyz, np.array(pair_list, dtype=np.int64), np.arange(0, 3 * n_waters, 3, dtype=np.int64)


def change_it(xyz, pairs, acceptors, delay, outcome):
    time.sleep(delay)
    target = {{"xyz": xyz, "xyz-view": xyz.base, "xyz-memmap": xyz.base, "pairs": pairs,
              "acceptors": acceptors}}[argument]
    try:
        if change == "close":
            target.close()
        elif change == "resize":
            target.resize(1 if target.ndim == 1 else (1,) + target.shape[1:], refcheck=False)
        elif argument == "pairs":
            pairs[:, 1] = 2**40
        elif argument == "acceptors":
            acceptors[:] = -(2**40)
        else:
            for value in (np.nan, np.inf, -3e38, 1e-30, 7.5):
                xyz[:, rng.integers(0, 4)::3] = value
                outcome.append(time.perf_counter())
                time.sleep(delay / 10)
        outcome.insert(0, "done")
    except (ValueError, BufferError) as error:
        outcome.insert(0, "refused: %s" % error)
    outcome.append(time.perf_counter())


for n_threads in (1, 2):
    xyz, pairs, acceptors = arguments()
    started = time.perf_counter()
    expected = _native.find_hbonds(xyz, pairs, acceptors, box, 0.25, 120.0, n_threads)
    duration = time.perf_counter() - started
    outcome = []
    changer = threading.Thread(target=change_it, args=(xyz, pairs, acceptors, 0.2 * duration, outcome))
    changer.start()
    rows = _native.find_hbonds(xyz, pairs, acceptors, box, 0.25, 120.0, n_threads)
    finished = time.perf_counter()
    changer.join()
    what, changed_at = outcome[0], outcome[1]
    assert changed_at < finished, "the change came after the search: make the search longer"
    if argument.startswith("xyz") and change == "write":
        # Changed coordinates give other rows, but only of the lists' atoms and frames.
        pairs_set, acceptors_set = set(pair_list), set(range(0, 3 * n_waters, 3))
        assert all(f < n_frames and (d, h) in pairs_set and a in acceptors_set for f, d, h, a in rows.tolist())
    else:
        assert np.array_equal(rows, expected), "rows differ from those of the unchanged arrays"
    print(n_threads, what.split(":")[0])
"""

# id: (argument, change, what the other thread's change did)
CASES = {
    "xyz-write": ("xyz", "write", "done"),
    "xyz-resize": ("xyz", "resize", "refused"),
    "xyz-owner-resize": ("xyz-view", "resize", "refused"),
    "xyz-memmap-close": ("xyz-memmap", "close", "refused"),
    "pairs-write": ("pairs", "write", "done"),
    "pairs-resize": ("pairs", "resize", "done"),
    "acceptors-write": ("acceptors", "write", "done"),
    "acceptors-resize": ("acceptors", "resize", "done"),
}


@pytest.mark.parametrize(("argument", "change", "what"), CASES.values(), ids=CASES)
def test_arrays_changed_by_another_thread_during_the_search(argument, change, what):
    code = CHILD.format(argument=argument, change=change)
    # A fixed threshold keeps glibc from raising it: a large freed array is then unmapped, and a
    # read of it faults instead of finding the old values.
    env = {**os.environ, "MALLOC_MMAP_THRESHOLD_": "131072"}
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=600, env=env
    )
    assert (completed.returncode, completed.stderr) == (0, "")
    assert completed.stdout.splitlines() == [f"1 {what}", f"2 {what}"]


class Exporter:
    """Memory behind an array, whose buffer export raises `raised` once armed."""

    def __init__(self):
        self.data, self.raised = bytearray(72), None

    def __buffer__(self, flags):
        if self.raised is not None:
            raise self.raised
        return memoryview(self.data)


@pytest.mark.parametrize("raised", [MemoryError("no memory"), KeyboardInterrupt("stop")], ids=type)
def test_failure_to_pin_the_coordinates_is_raised(raised):
    exporter = Exporter()
    xyz = np.ndarray((1, 3, 3), buffer=exporter)
    exporter.raised = raised
    with pytest.raises(type(raised)) as caught:
        _native.find_hbonds(xyz, np.array([[0, 1]]), np.array([2]), None, 0.25, 120.0, 1)
    assert caught.value is raised
