"""This core's limits, measured in the same run as the workloads: the peak float32 rate of one core
(a loop of multiply-adds on registers alone), its memory bandwidth (a copy with streaming stores
through buffers far larger than the caches) and the cost of the least a Python call into C that
makes one object can take (NumPy's float32 scalar add). The products' rates are given as shares
of the peak, the element-wise rates as shares of the bandwidth, and the one-call rows as
multiples of that floor.

The loops are bench/limits.c, built here with the system compiler ($CC, else cc) into the cache
directory and loaded with ctypes. A sample of the peak or the bandwidth is short (about a
millisecond), and the fastest of many is the limit: on a busy machine one of them still runs
undisturbed. The copy goes through buffers far larger than the caches; a workload whose operands
partly stay in a cache between calls can pass it.
"""

from __future__ import annotations

import ctypes
import hashlib
import itertools
import os
import subprocess
import tempfile
import time
from pathlib import Path

import numpy as np

import common

SOURCE = Path(__file__).resolve().parent / "limits.c"
CACHE = Path(os.environ.get("MORLA_CACHE", Path.home() / ".cache/morla")) / "bench"
SAMPLE_S = 1e-3  # the length of one sample of the peak or the bandwidth
COPY_CHUNK = 16 * common.MIB  # copied by one sample of the bandwidth
COPY_BUFFER = 128 * common.MIB  # the chunks go round two buffers of this size: far past the caches


def build() -> Path:
    """The shared object of bench/limits.c, compiled once for its source and compiler."""
    compiler = os.environ.get("CC", "cc")
    flags = ["-O2", "-shared", "-fPIC"]
    key = hashlib.sha256(SOURCE.read_bytes() + " ".join([compiler, *flags]).encode()).hexdigest()[:16]
    lib = CACHE / f"limits-{key}.so"
    if not lib.exists():
        CACHE.mkdir(parents=True, exist_ok=True)
        with tempfile.TemporaryDirectory(dir=CACHE) as tmp:  # built aside, then moved in whole
            built = Path(tmp) / lib.name
            subprocess.run([compiler, *flags, str(SOURCE), "-o", str(built)], check=True,
                           capture_output=True, text=True)
            os.replace(built, lib)
    return lib


def load(path: Path) -> ctypes.CDLL:
    lib = ctypes.CDLL(str(path))
    lib.fma_run.argtypes, lib.fma_run.restype = [ctypes.c_long], ctypes.c_double
    lib.fma_path.argtypes, lib.fma_path.restype = [], ctypes.c_char_p
    lib.copy_run.argtypes, lib.copy_run.restype = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t], None
    return lib


def fastest(run, budget_s: float) -> float:
    """The shortest time of run() over budget_s seconds of tries (at least 10)."""
    times, spent = [], 0.0
    while len(times) < 10 or spent < budget_s:
        t0 = time.perf_counter()
        run()
        times.append(time.perf_counter() - t0)
        spent += times[-1]
    return min(times)


def peak(lib, budget_s: float) -> float:
    """GFLOP/s of the multiply-add loop, in its fastest sample."""
    rounds = 1000
    while True:  # rounds for a sample of about SAMPLE_S
        t0 = time.perf_counter()
        lib.fma_run(rounds)
        if time.perf_counter() - t0 >= SAMPLE_S / 4:
            break
        rounds *= 2
    rounds *= 4
    flops = lib.fma_run(rounds)
    return flops / fastest(lambda: lib.fma_run(rounds), budget_s) / 1e9


def aligned(nbytes: int) -> np.ndarray:
    raw = np.empty(nbytes + 64, np.uint8)
    start = -raw.ctypes.data % 64
    return raw[start:start + nbytes]


def bandwidth(lib, budget_s: float) -> float:
    """GB/s of the streaming copy (bytes read and written over time, as the element-wise rows
    count), in its fastest sample. Each sample copies the next chunk, so every chunk has left
    the caches by the time it comes round again."""
    src, dst = aligned(COPY_BUFFER), aligned(COPY_BUFFER)
    src.fill(1)
    dst.fill(2)  # both touched: no page faults in the samples
    chunks = [(dst.ctypes.data + i, src.ctypes.data + i) for i in range(0, COPY_BUFFER, COPY_CHUNK)]
    turns = itertools.cycle(chunks)

    def run():
        lib.copy_run(*next(turns), COPY_CHUNK)

    return 2 * COPY_CHUNK / fastest(run, budget_s) / 1e9


def floor_sides() -> dict:
    """The call floor's two sides for common.measure_sides: NumPy's float32 scalar add in a loop,
    and the empty loop."""
    a, b = np.float32(1), np.float32(2)

    def add(n):
        for _ in itertools.repeat(None, n):
            a + b

    def empty(n):
        for _ in itertools.repeat(None, n):
            pass

    return {"floor_add": common.timed(add), "floor_empty": common.timed(empty)}


def keep_floor(figures: dict) -> None:
    """Replaces the floor's sides among measured figures with the floor itself ("call_floor")."""
    if "floor_add" in figures:
        add_s = figures.pop("floor_add")["median_s"]
        empty_s = figures.pop("floor_empty")["median_s"]
        figures["call_floor"] = {"numpy_scalar_add_s": add_s, "empty_loop_s": empty_s,
                                 "call_floor_s": add_s - empty_s}


def call_floor(timing: dict) -> dict:
    """NumPy's float32 scalar add in a loop, less the empty loop: the least one call into C that
    makes one object costs."""
    figures = common.measure_sides(floor_sides(), timing)
    keep_floor(figures)
    return figures["call_floor"]


def measure(mode: str) -> dict:
    """This core's limits; {"error": ...} in place of the peak and bandwidth when the loops
    cannot be built."""
    timing = common.TIMING[mode]
    out = call_floor(timing)
    try:
        lib = load(build())
    except (OSError, subprocess.CalledProcessError) as error:
        detail = getattr(error, "stderr", None) or str(error)
        return {**out, "error": f"bench/limits.c: {detail.strip()[-500:]}"}
    budget = timing["budget_s"] / 3
    out.update({"fma_path": lib.fma_path().decode(), "peak_gflops": peak(lib, budget),
                "bandwidth_gbs": bandwidth(lib, budget)})
    return out


def against_limit(row: dict, work: dict, limits: dict, result: dict) -> dict | None:
    """A row's figures against this core's limit, {"limit", "morla", "peer"}: a product's rate as
    a share of the peak, an element-wise one's of the bandwidth, each from the side's fastest
    sample, as the limits are the fastest of theirs (on a busy machine a median falls further below
    its best than a limit's short samples do); and the time of a workload of one-object calls (its
    "calls"), less the empty loop's, as a multiple of that many call floors (medians, the floor
    timed in turn with the workload, in its result, else the run's); None for the others."""
    rate = row.get("rate")
    if rate:
        limit = {"GFLOP/s": "peak", "GB/s": "bandwidth"}[rate["unit"]]
        reached = limits.get({"peak": "peak_gflops", "bandwidth": "bandwidth_gbs"}[limit])
        if not reached:
            return None
        morla, peer = rate.get("morla_fastest") or rate["morla"], rate.get("peer_fastest") or rate["peer"]
        return {"limit": limit, "morla": morla / reached, "peer": peer / reached if peer else None}
    floors = result.get("call_floor") or limits
    floor = floors.get("call_floor_s")
    if work.get("calls") and floor and floor > 0:
        least, loop = work["calls"] * floor, floors["empty_loop_s"]
        return {"limit": "floor", "morla": (row["morla_s"] - loop) / least,
                "peer": (row["peer_s"] - loop) / least if row.get("peer_s") else None}
    return None
