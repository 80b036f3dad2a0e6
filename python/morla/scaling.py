"""Whether a speedup of N threads over one can be taken as a result.

Such a figure is only as good as the cores the runs had. A pure-Python loop timed on one and on N
threads beside the runs tells what the machine gave an interpreter without a GIL at the time: a
figure is unreliable when that loop's scaling is out of what N cores give one loop (other
processes took a core, or ran during one of the two timings), or when the figure itself is more
than N cores can give. The trainer and the benchmark judge their thread figures by this.
"""

from __future__ import annotations

import os
import statistics
import sys
import threading
import time

MOST_SCALING = 1.05  # no loop on N cores runs more than this times N as fast as on one
QUIET_SCALING = 0.8  # a pure-Python loop on N cores of a machine that is ours scales at least this times N
LOOP_SECONDS = 0.05  # how long one timing of the pure-Python loop on one thread lasts


def cores_for(threads: int) -> int:
    """The cores `threads` threads of this process can run on at once."""
    counter = getattr(os, "process_cpu_count", os.cpu_count)
    return max(1, min(threads, counter() or 1))


def python_loop_seconds(threads: int, steps: int) -> float:
    """Wall time of `threads` threads each running a pure-Python loop of `steps` steps."""
    start = threading.Barrier(threads + 1)

    def loop():
        start.wait()
        total = 0
        for i in range(steps):
            total += i * i % 7

    workers = [threading.Thread(target=loop) for _ in range(threads)]
    for worker in workers:
        worker.start()
    start.wait()
    started = time.perf_counter()
    for worker in workers:
        worker.join()
    return time.perf_counter() - started


def python_loop_scaling(threads: int, repeats: int = 3) -> float | None:
    """A pure-Python loop's throughput on `threads` threads against one thread's, each thread
    doing the same work, from the medians of `repeats` alternating timings; None where the GIL
    keeps such a loop to one core."""
    if getattr(sys, "_is_gil_enabled", lambda: True)():
        return None
    steps = max(10_000, int(LOOP_SECONDS / python_loop_seconds(1, 100_000) * 100_000))
    one, many = [], []
    for _ in range(repeats):
        one.append(python_loop_seconds(1, steps))
        many.append(python_loop_seconds(threads, steps))
    return threads * statistics.median(one) / statistics.median(many)


def unreliable(figure: float | None, python_scalings: list[float | None], cores: int) -> str | None:
    """Why a throughput on `cores` cores against one's is no result, given the scalings a
    pure-Python loop had in checks beside its runs (None for a check not made), or None when it
    may be one."""
    on = f"{cores} core{'s' if cores != 1 else ''}"
    outside = [s for s in python_scalings
               if s is not None and not QUIET_SCALING * cores <= s <= MOST_SCALING * cores]
    if outside:
        worst = max(outside, key=lambda s: abs(s - cores))
        return f"the machine was busy (a pure-Python loop scaled {worst:.2f}x on {on})"
    if figure is not None and figure > MOST_SCALING * cores:
        return f"{figure:.2f}x is more than {on} can give"
    return None
