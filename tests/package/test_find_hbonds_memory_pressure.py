"""find_hbonds under memory pressure swept in small steps (the sweep and its kinds of pressure are
described in tests/shared/memory_sweep.py): every call ends in the right rows, MemoryError or the
worker-pool error, never an abort or a signal, and nothing on stderr."""

import numpy as np
import pytest

from memory_sweep import build_squeezer, case_ids, check_sweep
from sanitizer import SANITIZED

pytestmark = [
    pytest.mark.stress,
    pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves terabytes of address space"),
]

NUMPY_MAJOR = int(np.__version__.split(".")[0])

# (kind, function, workers, system, step in KiB, span in KiB), as in the engine's sweeps.
CASES = [
    ("heap", "find_hbonds", 1, "tiny", 2, 128),
    ("heap", "find_hbonds", 1, "grid", 16, 2048),
    ("address", "find_hbonds", 4, "tiny", 16, 4 * 2048 + 256),
    ("address", "find_hbonds", 2, "grid", 16, 2 * 2048 + 2048),
]


@pytest.fixture(scope="module")
def squeezer(tmp_path_factory):
    return build_squeezer(tmp_path_factory)


@pytest.mark.parametrize("mode", ["first", "warm"])
@pytest.mark.parametrize(("kind", "name", "workers", "system", "step_kb", "span_kb"), CASES, ids=case_ids(CASES))
def test_calls_under_memory_pressure_never_abort(squeezer, mode, kind, name, workers, system, step_kb, span_kb):
    if (mode, kind, name) == ("first", "heap", "find_hbonds") and NUMPY_MAJOR < 2:
        # find_hbonds' first dtype comparisons make NumPy 1.x build its cast table, which frees an
        # invalid pointer when it runs out of memory there (abort in arraymethod_dealloc).
        pytest.skip("NumPy 1.x aborts on its own when its cast table cannot be allocated")
    check_sweep(squeezer, mode, kind, name, workers, system, step_kb, span_kb)
