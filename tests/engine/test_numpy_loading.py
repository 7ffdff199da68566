"""NumPy's C API table is loaded at the first call. A failure there ends that call only: running
out of memory is a MemoryError, anything else the internal failure, and the next call loads the
table afresh. Each case runs in a fresh interpreter, where the table is not loaded yet."""

import subprocess
import sys
import textwrap

import pytest

CHILD = """
import numpy, numpy.lib, brenvox_hbond_rs as hb

original = numpy.lib.NumpyVersion


def failing(version):
    raise {raised}


numpy.lib.NumpyVersion = failing
xyz = numpy.array([0, 0, 0, 0.1, 0, 0, 0.3, 0, 0], dtype=float)
try:
    hb.{function}(xyz, 1, 3, [(0, 1)], [2], *{extra})
except BaseException as error:
    print(type(error).__module__, type(error).__name__, str(error), sep="|")
numpy.lib.NumpyVersion = original
print(hb.{function}(xyz, 1, 3, [(0, 1)], [2], *{extra}).tolist())
"""


@pytest.mark.parametrize(
    ("function", "extra"),
    [("run_baker_hubbard", ()), ("run_baker_hubbard_brute", ()), ("run_baker_hubbard_with_threads", (2,))],
)
@pytest.mark.parametrize(
    ("raised", "expected"),
    [
        ("MemoryError()", "builtins|MemoryError|"),
        (
            "RuntimeError('no version')",
            "pyo3_runtime|PanicException|Failed to access NumPy array API capsule: RuntimeError: no version",
        ),
    ],
)
def test_failed_table_load_ends_one_call_only(function, extra, raised, expected):
    code = CHILD.format(raised=raised, function=function, extra=extra)
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True, timeout=60
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.splitlines() == [expected, "[[0, 0, 1, 2]]"]
    # Only the internal failure reports itself.
    assert ("internal failure" in completed.stderr) == ("Panic" in expected)


PACKAGE_CHILD = """
import numpy, numpy.lib
from brenvox_hbond import _native

original = numpy.lib.NumpyVersion


def failing(version):
    raise {raised}


xyz = numpy.array([[[0, 0, 0], [0.1, 0, 0], [0.3, 0, 0]]])
pairs, acceptors = numpy.array([[0, 1]], dtype=numpy.int64), numpy.array([2], dtype=numpy.int64)
numpy.lib.NumpyVersion = failing
try:
    _native.find_hbonds(xyz, pairs, acceptors, None, 0.25, 120.0, 1)
except BaseException as error:
    print(type(error).__module__, type(error).__name__, str(error), sep="|")
numpy.lib.NumpyVersion = original
rows = _native.find_hbonds(xyz, pairs, acceptors, None, 0.25, 120.0, 1)
print(rows.tolist(), type(rows.base).__module__, type(rows.base).__name__, sep="|")
"""


@pytest.mark.parametrize(
    ("raised", "expected"),
    [
        ("MemoryError()", "builtins|MemoryError|"),
        (
            "RuntimeError('no version')",
            "brenvox_hbond._native|InternalFailure|Failed to access NumPy array API capsule: RuntimeError: no version",
        ),
    ],
)
def test_package_search_names_its_own_failures_and_result_owner(raised, expected):
    completed = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(PACKAGE_CHILD.format(raised=raised))],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert completed.returncode == 0, completed.stderr
    assert completed.stdout.splitlines() == [expected, "[[0, 0, 1, 2]]|brenvox_hbond._native|ResultArrayOwner"]
    reports = [line for line in completed.stderr.splitlines() if "internal failure" in line]
    assert [line.split(":")[0] for line in reports] == (["brenvox_hbond._native"] if "Internal" in expected else [])
