"""Under memory pressure swept in small steps, every call ends in the right rows, MemoryError or
the worker-pool error: never an abort or a signal, and nothing on stderr.

Two kinds of pressure: "heap" leaves malloc a budget of free bytes and no way to map more (the
serial calls, whose start-up needs only a little heap); "address" limits the address space to
what is in use plus some headroom (also the threaded calls, whose workers' stacks need it).

Each sweep runs in a child interpreter, since an abort would end the process. "first" sweeps
fork a fresh process per limit from a parent that has imported everything but never called the
function, so each point sees a true first call (NumPy's table not yet loaded, no thread yet
prepared); "warm" sweeps step the limit in one process after a successful call. The sweeps run
from nothing to well past what the call needs: for threaded calls past every worker's stack, so
that thread start-up, each worker's first exception and the per-frame storage are all crossed.

The sweep shared by the engine's suite (tests/engine/test_memory_pressure.py) and the
package's (tests/package/test_find_hbonds_memory_pressure.py), which name the calls swept."""

import ast
import os
import shutil
import subprocess
import sys
import textwrap

import pytest

SWEEP = """
import ctypes, hashlib, os, resource, warnings
import numpy as np
import brenvox_hbond, brenvox_hbond_rs
import brenvox_hbond.hbonds  # the package loads its parts on first use: before the limits here

warnings.simplefilter("ignore", DeprecationWarning)  # fork with NumPy's threads parked
MODE, KIND, NAME, WORKERS, SYSTEM, STEP_KB, SPAN_KB = (
    {mode!r}, {kind!r}, {name!r}, {workers!r}, {system!r}, {step_kb}, {span_kb})
squeezer = ctypes.CDLL({squeezer!r})
squeezer.reserve.argtypes = [ctypes.c_size_t]

if SYSTEM == "tiny":
    xyz = np.array([[[0, 0, 0], [0.1, 0, 0], [0.3, 0, 0]]] * 2, dtype=float)
    pairs, acceptors = np.array([(0, 1)]), np.array([2])
else:  # the grid search, over several frames per worker
    rng = np.random.default_rng(0)
    n = 3000
    xyz = rng.uniform(0.0, 3.0, (8, n, 3))
    pairs = np.array([(i, i + 1) for i in range(0, n, 3)])
    acceptors = np.arange(0, n, 3)
flat, pair_list, acceptor_list = xyz.ravel(), [tuple(p) for p in pairs.tolist()], acceptors.tolist()
n_frames, n_atoms = xyz.shape[:2]
searches = {{
    "run_baker_hubbard": lambda: brenvox_hbond_rs.run_baker_hubbard(
        flat, n_frames, n_atoms, pair_list, acceptor_list),
    "run_baker_hubbard_brute": lambda: brenvox_hbond_rs.run_baker_hubbard_brute(
        flat, n_frames, n_atoms, pair_list, acceptor_list),
    "run_baker_hubbard_with_threads": lambda: brenvox_hbond_rs.run_baker_hubbard_with_threads(
        flat, n_frames, n_atoms, pair_list, acceptor_list, WORKERS),
    "find_hbonds": lambda: brenvox_hbond.find_hbonds(
        xyz, pairs, acceptors, box=None, n_threads=WORKERS),
}}
search = searches[NAME]
POOL_ERRORS = ("rayon pool build failed: ", "could not start the worker threads: ")
UNLIMITED = (resource.RLIM_INFINITY, resource.RLIM_INFINITY)


def address_space():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))


trim = ctypes.CDLL(None).malloc_trim


def attempt(kb):
    # Everything the failure path needs is made before the pressure starts.
    rows = error = None
    trim(0)
    if KIND == "heap":
        if squeezer.reserve(kb * 1024) != 0:
            return "could not reserve"
        resource.setrlimit(resource.RLIMIT_AS, (address_space(), resource.RLIM_INFINITY))
    else:
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + kb * 1024, resource.RLIM_INFINITY))
    try:
        if KIND == "heap" and squeezer.squeeze() != 0:
            error = "could not squeeze"
        else:
            rows = search()
    except BaseException as raised:
        error = raised
    finally:
        squeezer.release()
        resource.setrlimit(resource.RLIMIT_AS, UNLIMITED)
    if isinstance(error, str):
        return error
    if error is None:
        return "rows " + hashlib.sha1(np.ascontiguousarray(rows).tobytes()).hexdigest()
    if isinstance(error, MemoryError):
        return "MemoryError"
    if isinstance(error, RuntimeError) and str(error).startswith(POOL_ERRORS):
        return "pool error"
    return "unexpected " + type(error).__name__ + ": " + str(error)


outcomes = []
steps = range(0, SPAN_KB + 1, STEP_KB)
if MODE == "warm":
    search()
    for kb in steps:
        outcomes.append(attempt(kb))
else:
    read_end, write_end = os.pipe()
    for kb in steps:
        pid = os.fork()
        if pid == 0:
            os.write(write_end, (attempt(kb) + "\\n").encode())
            os._exit(0)
        _, status = os.waitpid(pid, 0)
        if os.WIFSIGNALED(status):
            outcomes.append("signal %d" % os.WTERMSIG(status))
        elif os.WEXITSTATUS(status) != 0:
            outcomes.append("exit %d" % os.WEXITSTATUS(status))
        else:
            line = b""
            while not line.endswith(b"\\n"):
                line += os.read(read_end, 4096)
            outcomes.append(line.decode().strip())
expected = "rows " + hashlib.sha1(np.ascontiguousarray(search()).tobytes()).hexdigest()
print(repr(sorted({{"rows" if o == expected else o for o in outcomes}})), len(outcomes))
"""



def build_squeezer(tmp_path_factory):
    """The heap squeezer's shared library, compiled into a scratch folder."""
    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler for the heap squeezer")
    library = tmp_path_factory.mktemp("squeezer") / "memory_squeeze.so"
    source = os.path.join(os.path.dirname(__file__), "native_helpers", "memory_squeeze.c")
    subprocess.run([compiler, "-O1", "-shared", "-fPIC", "-o", str(library), source], check=True)
    return str(library)


def case_ids(cases):
    return [f"{c[0]}-{c[1]}-{c[2]}w-{c[3]}-{c[5] // c[4] + 1}pts" for c in cases]


def check_sweep(squeezer, mode, kind, name, workers, system, step_kb, span_kb):
    """Runs one sweep in a child interpreter and checks its outcomes."""
    code = SWEEP.format(
        mode=mode, kind=kind, name=name, workers=workers, system=system, step_kb=step_kb, span_kb=span_kb,
        squeezer=squeezer,
    )
    # One BLAS thread, so forking is safe; no cached thread stacks, so that warm calls start
    # their workers' stacks afresh too.
    environment = dict(
        os.environ, OPENBLAS_NUM_THREADS="1", OMP_NUM_THREADS="1", GLIBC_TUNABLES="glibc.pthread.stack_cache_size=0"
    )
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=600,
        env=environment,
    )
    assert (completed.returncode, completed.stderr) == (0, "")
    outcomes_text, count = completed.stdout.rsplit(" ", 1)
    outcomes = set(ast.literal_eval(outcomes_text))
    allowed = {"rows", "MemoryError", "pool error"}
    assert outcomes <= allowed, f"{outcomes - allowed} among {count.strip()} limits"
    assert "rows" in outcomes and len(outcomes) > 1  # the sweep reached both sides of the limit
