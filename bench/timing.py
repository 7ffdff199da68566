"""Timing helpers shared by the benchmarks: the shared machine is noisy, so runs that are
compared are timed back to back, in an order rotated from one repetition to the next."""

from __future__ import annotations

import importlib.util
import time
from collections.abc import Callable
from pathlib import Path
from types import ModuleType


def seconds(call: Callable[[], object]) -> float:
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def rotated_repetitions(runs: dict[str, Callable[[], object]], reps: int) -> list[dict[str, float]]:
    """Seconds of every run in each repetition; repetition r starts with run r (mod the count)."""
    names = list(runs)
    repetitions = []
    for rep in range(reps):
        order = names[rep % len(names):] + names[: rep % len(names)]
        repetitions.append({name: seconds(runs[name]) for name in order})
    return repetitions


def load_baseline(path: Path) -> ModuleType:
    """Another build of brenvox_hbond_rs, loaded beside the installed one without replacing it."""
    found = importlib.util.spec_from_file_location("brenvox_hbond_rs", path)
    if found is None or found.loader is None:
        raise SystemExit(f"cannot load {path}")
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module
