"""Measurements and the clock loops that make them.

Every figure is a throughput: units of work (documents, calls or queries)
divided by wall-clock seconds of time.perf_counter.
"""

import time
from dataclasses import dataclass


@dataclass
class Measurement:
    dataset: str
    workload: str
    subject: str  # the store or library measured
    unit: str  # what `rate` counts per second
    units: int
    seconds: float
    stored: int  # documents in the store the workload ran on

    @property
    def rate(self):
        return self.units / self.seconds


def timed(action):
    """Seconds that `action()` takes."""
    start = time.perf_counter()
    action()
    return time.perf_counter() - start


def best_of(repeats, action):
    """The shortest of `repeats` timings of `action()`."""
    return min(timed(action) for _ in range(repeats))


def run_bounded(op, items, budget):
    """Calls `op(item)` for the items in order until all are done or `budget`
    seconds have passed, and returns (items done, seconds).

    The clock is read between chunks of items, not after every call; a chunk
    doubles while it takes under 1% of the budget, so fast stores pay almost
    nothing for the bound and slow ones stop close to it (always after at
    least one call).
    """
    start = time.perf_counter()
    done = 0
    step = 1
    while done < len(items):
        chunk_start = time.perf_counter()
        for item in items[done : done + step]:
            op(item)
        done = min(done + step, len(items))
        now = time.perf_counter()
        if now - start >= budget:
            break
        if now - chunk_start < budget / 100:
            step *= 2
    return done, time.perf_counter() - start
