"""Under an address-space limit swept in small steps across a search's allocations, every serial
call ends in the right rows or MemoryError: never an abort. Each sweep runs in a child process,
since an abort would end the process. (Worker threads are not swept here: a worker's first
exception still allocates the C++ runtime's thread-local state lazily, which the C library
cannot survive failing.)"""

import ast
import subprocess
import sys
import textwrap

import pytest

SWEEP = """
import resource, sys
import numpy as np
import brenvox_hbond, brenvox_hbond_rs

rng = np.random.default_rng(0)
n = 3000
xyz = rng.uniform(0.0, 3.0, (4, n, 3))
pairs = np.array([(i, i + 1) for i in range(0, n, 3)])
acceptors = np.arange(0, n, 3)
searches = {{
    "find_hbonds": lambda: brenvox_hbond.find_hbonds(
        xyz.astype(np.float32), pairs, acceptors, box=[3.0, 3.0, 3.0]),
    "run_baker_hubbard": lambda: brenvox_hbond_rs.run_baker_hubbard(
        xyz.ravel(), 4, n, [tuple(p) for p in pairs.tolist()], acceptors.tolist()),
}}
search = searches[{name!r}]
expected = search()


def address_space():
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))


outcomes = set()
for step in range(600):
    resource.setrlimit(resource.RLIMIT_AS, (address_space() + step * 4096, resource.RLIM_INFINITY))
    try:
        rows = search()
        outcome = "rows" if np.array_equal(rows, expected) else "wrong rows"
    except MemoryError:
        outcome = "MemoryError"
    except RuntimeError as error:
        outcome = "RuntimeError: " + str(error).split(":")[0]
    finally:
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
    outcomes.add(outcome)
print(sorted(outcomes))
"""


@pytest.mark.parametrize("name", ["find_hbonds", "run_baker_hubbard"])
def test_search_under_memory_pressure_never_aborts(name):
    code = SWEEP.format(name=name)
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=300
    )
    assert (completed.returncode, completed.stderr) == (0, "")
    outcomes = ast.literal_eval(completed.stdout)
    assert set(outcomes) <= {"rows", "MemoryError"}
    assert "rows" in outcomes and len(outcomes) > 1  # the sweep reached both sides of the limit
