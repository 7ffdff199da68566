"""The threaded search: same rows as the serial one for any worker count, and a pool that lives
exactly as long as one call."""

import subprocess
import sys
import textwrap
import time

import numpy as np
import pytest

from helpers import EXPECTED_ROWS, FRAME, N_ATOMS, N_FRAMES, random_system
from reference import chosen_search

MOST_FRAMES = 70  # more than the largest worker count below


def proc_status(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise LookupError(field)


def settled_thread_count(limit):
    """The thread count once it is at most `limit`, or whatever it is after a generous wait:
    workers are told to stop but not waited for, so they may take a moment to end."""
    deadline = time.monotonic() + 10.0
    while proc_status("Threads") > limit and time.monotonic() < deadline:
        time.sleep(0.01)
    return proc_status("Threads")


@pytest.fixture(scope="module", params=["exhaustive", "grid"])
def trajectory(module, request):
    sizes = {"exhaustive": (60, 40, 80), "grid": (300, 300, 400)}[request.param]
    system = random_system(6, MOST_FRAMES, *sizes)
    assert chosen_search(system["n_atoms"], system["donor_h_pairs"], system["acceptor_indices"]) == request.param
    # Only if the two orders differ does row-for-row equality show which search was chosen.
    in_list_order = module.run_baker_hubbard(**system).tolist() == module.run_baker_hubbard_brute(**system).tolist()
    assert in_list_order == (request.param == "exhaustive")
    return system


def first_frames(system, n_frames):
    n_values = n_frames * system["n_atoms"] * 3
    return {**system, "xyz_flat": system["xyz_flat"][:n_values], "n_frames": n_frames}


@pytest.mark.parametrize("n_frames", [0, 1, 5, MOST_FRAMES])
@pytest.mark.parametrize("n_threads", [0, 1, 2, 3, 7, 64])
def test_same_rows_as_the_serial_search(module, trajectory, n_threads, n_frames):
    system = first_frames(trajectory, n_frames)
    expected = module.run_baker_hubbard(**system).tolist()
    assert expected or n_frames == 0
    assert module.run_baker_hubbard_with_threads(**system, n_threads=n_threads).tolist() == expected


# --- threads of the process --------------------------------------------------------------------

FAILING_CALLS = {
    "not-contiguous": ({"xyz_flat": np.repeat(FRAME * N_FRAMES, 2)[::2]}, TypeError),
    "wrong-length": ({"n_frames": N_FRAMES + 1}, ValueError),
    "bad-acceptor": ({"acceptor_indices": [2, None]}, TypeError),
}


@pytest.mark.parametrize(("changes", "exc_type"), FAILING_CALLS.values(), ids=FAILING_CALLS)
def test_failed_call_starts_no_thread(module, valid_kwargs, changes, exc_type):
    before = proc_status("Threads")
    with pytest.raises(exc_type):
        module.run_baker_hubbard_with_threads(**{**valid_kwargs, **changes}, n_threads=64)
    # Teardown need not wait for the workers, so any that had been started would likely still be here.
    assert proc_status("Threads") <= before


def test_repeated_calls_leave_no_threads_or_stacks_behind(module, valid_kwargs):
    baseline_threads = proc_status("Threads")
    # The first call may leave stacks mapped in glibc's cache for reuse.
    module.run_baker_hubbard_with_threads(**valid_kwargs, n_threads=8)
    baseline_size = proc_status("VmSize")
    for _ in range(50):
        assert module.run_baker_hubbard_with_threads(**valid_kwargs, n_threads=8).tolist() == EXPECTED_ROWS
    assert settled_thread_count(baseline_threads) <= baseline_threads
    # Stacks of threads that end neither joined nor detached would stay mapped: 50 x 8 x 2 MiB.
    assert proc_status("VmSize") - baseline_size < 64 * 1024


# --- subprocesses --------------------------------------------------------------------------------

PRELUDE = f"""
import resource
import numpy as np
import brenvox_hbond_rs as m

ARGS = (np.array({FRAME * N_FRAMES}), {N_FRAMES}, {N_ATOMS}, [(0, 1)], [2])

def vm_size_bytes():
    with open("/proc/self/status") as status:
        return 1024 * next(int(line.split()[1]) for line in status if line.startswith("VmSize:"))

def report(call):
    try:
        print(call().tolist())
    except Exception as exc:
        print(type(exc).__name__, exc)
"""

POOL_FAILURE = """
report(lambda: m.run_baker_hubbard_with_threads(*ARGS, 1))
# Room for less than one more 2 MiB thread stack; the one of the warm-up may be reused.
resource.setrlimit(resource.RLIMIT_AS, (vm_size_bytes() + 2**20, resource.RLIM_INFINITY))
report(lambda: m.run_baker_hubbard_with_threads(*ARGS, 8))
report(lambda: m.run_baker_hubbard_with_threads(np.zeros(0), 0, 3, [(0, 1)], [2], 8))
report(lambda: m.run_baker_hubbard_with_threads(ARGS[0][:-1], *ARGS[1:], 8))
report(lambda: m.run_baker_hubbard_with_threads(np.repeat(ARGS[0], 2)[::2], *ARGS[1:], 8))
report(lambda: m.run_baker_hubbard(*ARGS))
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
report(lambda: m.run_baker_hubbard_with_threads(*ARGS, 8))
"""

POOL_FAILURE_OUTPUT = [
    str(EXPECTED_ROWS),
    "RuntimeError rayon pool build failed: Resource temporarily unavailable (os error 11)",
    # The pool is built, and can fail, even when there is no frame to search.
    "RuntimeError rayon pool build failed: Resource temporarily unavailable (os error 11)",
    # Input errors come before the pool is built.
    "ValueError xyz_flat length must equal n_frames * n_atoms * 3",
    "TypeError The given array is not contiguous",
    str(EXPECTED_ROWS),
    str(EXPECTED_ROWS),
]


def run_python(code):
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(PRELUDE) + code], capture_output=True, text=True, timeout=120
    )


def test_pool_creation_failure(module):
    completed = run_python(POOL_FAILURE)
    assert (completed.returncode, completed.stderr) == (0, "")
    assert completed.stdout.splitlines() == POOL_FAILURE_OUTPUT


@pytest.mark.parametrize("n_threads", [1, 64])
def test_interpreter_exits_cleanly_right_after_a_threaded_call(module, n_threads):
    completed = run_python(f"report(lambda: m.run_baker_hubbard_with_threads(*ARGS, {n_threads}))\n")
    assert (completed.returncode, completed.stderr, completed.stdout) == (0, "", f"{EXPECTED_ROWS}\n")
