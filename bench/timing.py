"""Timing helpers shared by the benchmarks: the shared machine is noisy, so runs that are
compared are timed back to back, in an order rotated from one repetition to the next."""

from __future__ import annotations

import time
from collections.abc import Callable


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
