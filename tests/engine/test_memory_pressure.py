"""The engine's searches under memory pressure swept in small steps (the sweep and its kinds of
pressure are described in tests/shared/memory_sweep.py): every call ends in the right rows,
MemoryError or the worker-pool error, never an abort or a signal, and nothing on stderr."""

import pytest

from memory_sweep import build_squeezer, case_ids, check_sweep
from sanitizer import SANITIZED

pytestmark = [
    pytest.mark.stress,
    pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves terabytes of address space"),
]

# (kind, function, workers, system, step in KiB, span in KiB): threaded address spans cover
# every worker's 2 MiB stack; the grid spans cover a search's own working storage.
CASES = [
    ("heap", "run_baker_hubbard_brute", 1, "tiny", 2, 128),
    ("heap", "run_baker_hubbard", 1, "tiny", 2, 128),
    ("heap", "run_baker_hubbard", 1, "grid", 16, 2048),
    ("address", "run_baker_hubbard", 1, "grid", 16, 2048),
    ("address", "run_baker_hubbard_with_threads", 2, "tiny", 8, 2 * 2048 + 256),
    ("address", "run_baker_hubbard_with_threads", 4, "tiny", 16, 4 * 2048 + 256),
    # Fine steps: a worker's exception state once came short when the next worker's stack was
    # mapped in the few KiB between its room and the runtime's allocation.
    ("address", "run_baker_hubbard_with_threads", 8, "tiny", 4, 8 * 2048 + 512),
    ("address", "run_baker_hubbard_with_threads", 2, "grid", 16, 2 * 2048 + 2048),
]


@pytest.fixture(scope="module")
def squeezer(tmp_path_factory):
    return build_squeezer(tmp_path_factory)


@pytest.mark.parametrize("mode", ["first", "warm"])
@pytest.mark.parametrize(("kind", "name", "workers", "system", "step_kb", "span_kb"), CASES, ids=case_ids(CASES))
def test_calls_under_memory_pressure_never_abort(squeezer, mode, kind, name, workers, system, step_kb, span_kb):
    check_sweep(squeezer, mode, kind, name, workers, system, step_kb, span_kb)
