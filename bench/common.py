"""Shared by the driver (bench/run.py, free-threaded 3.14) and the PyTorch peer
(bench/torch_peer.py, CPython 3.11), the kinds of workload on both sides: input generation, the
timing loop and small helpers. Only the standard library and NumPy are used here.
"""

from __future__ import annotations

import gc
import hashlib
import math
import statistics
import time

import numpy as np

MIB = 1024 * 1024

CHAIN_LENGTH = 50  # ops in the chained-ops workload, cycling through the five below
CHAIN_CYCLE = ("mul 1.01", "add x", "sub 0.5", "relu", "div 1.5")

# Timing settings per mode. Each sample times a loop of `inner` calls, with inner chosen so a
# sample lasts at least min_sample_s; each side of a comparison takes as many samples as one side
# alone would in budget_s (at least min_samples, at most max_samples), the sides in turn. The
# reported figure is the median per-call time.
TIMING = {
    "full": {"min_sample_s": 0.02, "budget_s": 1.5, "min_samples": 11, "max_samples": 200},
    "quick": {"min_sample_s": 0.002, "budget_s": 0.1, "min_samples": 3, "max_samples": 15},
}


# The training-step workload: a 64-128-10 relu perceptron on a batch of 64.
def sgd_shapes(batch: int, features: int, hidden: int, classes: int) -> dict[str, tuple]:
    """The arrays of a training step of a features-hidden-classes perceptron on a batch."""
    return {"x": (batch, features), "target": (batch, classes), "w1": (features, hidden), "b1": (hidden,),
            "w2": (hidden, classes), "b2": (classes,)}


def make_sgd_inputs(seed: int, sizes: list[int]) -> dict[str, np.ndarray]:
    """Inputs, targets and parameters of the training step (sizes: batch, features, hidden,
    classes), the same in every process."""
    rng = np.random.default_rng(seed)
    return {name: (rng.standard_normal(shape) * (0.1 if name[0] in "wb" else 1.0)).astype(np.float32)
            for name, shape in sgd_shapes(*sizes).items()}


def sgd_products(inputs: dict[str, np.ndarray]) -> list[tuple[np.ndarray, np.ndarray]]:
    """The five products of one training step as contiguous float32 pairs: the forward pass's two
    and the three its backward pass needs (the input takes no gradient). Both processes time them
    alone, to tell how much of a step its products are."""
    x, w1, b1, w2, b2 = (inputs[k] for k in ("x", "w1", "b1", "w2", "b2"))
    pre = x @ w1 + b1
    h = np.maximum(pre, 0)
    g = 2 * (h @ w2 + b2 - inputs["target"])
    dh = (g @ w2.T) * (pre > 0)
    pairs = [(x, w1), (h, w2), (g, w2.T), (h.T, g), (x.T, dh)]
    return [(np.ascontiguousarray(a, np.float32), np.ascontiguousarray(b, np.float32)) for a, b in pairs]


def products_body(pairs):
    """A function body(n) that runs the products of `pairs` (operands of either library) n times."""
    from itertools import repeat

    def body(n):
        for _ in repeat(None, n):
            for a, b in pairs:
                a @ b
    return body


def make_inputs(work: dict) -> list[np.ndarray]:
    """The float32 source arrays of a workload, the same in every process for the same seed."""
    rng = np.random.default_rng(work["seed"])
    arrays = []
    for i, shape in enumerate(work["shapes"]):
        if work.get("op") == "div" and i == 1:
            a = rng.random(shape, dtype=np.float32) * np.float32(1.5) + np.float32(0.5)  # [0.5, 2)
        else:
            a = rng.random(shape, dtype=np.float32) * np.float32(2.0) - np.float32(1.0)  # [-1, 1)
        arrays.append(np.ascontiguousarray(a, dtype=np.float32))
    return arrays


def fingerprint(arrays: list[np.ndarray]) -> str:
    """A short digest of the source arrays, compared across processes."""
    h = hashlib.sha1()
    for a in arrays:
        h.update(str(a.shape).encode())
        h.update(a.tobytes())
    return h.hexdigest()[:16]


def binary_body(a, b, op: str):
    """A function body(n) that runs `a <op> b` n times (no Python call between iterations)."""
    from itertools import repeat

    if op == "add":
        def body(n):
            for _ in repeat(None, n):
                a + b
    elif op == "sub":
        def body(n):
            for _ in repeat(None, n):
                a - b
    elif op == "mul":
        def body(n):
            for _ in repeat(None, n):
                a * b
    elif op == "div":
        def body(n):
            for _ in repeat(None, n):
                a / b
    elif op == "matmul":
        def body(n):
            for _ in repeat(None, n):
                a @ b
    else:
        raise ValueError(f"unknown op {op!r}")
    return body


def timed(body):
    """The seconds body(n) takes for n calls, as a function of n: a side of measure_sides."""
    def run(n):
        t0 = time.perf_counter()
        body(n)
        return time.perf_counter() - t0
    return run


def measure(body, timing: dict) -> dict:
    """Median per-call time of body(n) (which performs n calls), with the collector off."""
    return measure_sides({"body": timed(body)}, timing)["body"]


def measure_sides(sides: dict, timing: dict) -> dict[str, dict]:
    """Per-call times of several sides of a comparison, sampled in turn: each side is a function
    that runs n calls and returns the seconds they took (timed(body), or a peer process's), and
    round after round each side takes one sample, the first side changing every round. A machine
    whose speed changes while they run (another process, the clock) then slows all sides alike,
    and their ratio holds where figures timed one after the other would not. The collector is off
    here; a peer process keeps its own off while it is sampled."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        first, inner, sample_s = {}, {}, {}
        for name, run in sides.items():
            first[name] = run(1)  # warm-up
            # `inner` calls make a sample of at least min_sample_s.
            n, per_call = 1, first[name]
            while True:
                elapsed = run(n)
                per_call = elapsed / n
                if elapsed >= timing["min_sample_s"]:
                    break
                n = max(n * 2, math.ceil(timing["min_sample_s"] / max(per_call, 1e-9) * 1.1))
            inner[name], sample_s[name] = n, per_call * n
        # As many rounds as one side alone would take samples in the budget, on average.
        mean_sample = sum(sample_s.values()) / len(sides)
        count = int(timing["budget_s"] / max(mean_sample, 1e-9))
        count = max(timing["min_samples"], min(timing["max_samples"], count))
        names = list(sides)
        samples: dict[str, list[float]] = {name: [] for name in names}
        for r in range(count):
            for name in names[r % len(names):] + names[:r % len(names)]:
                samples[name].append(sides[name](inner[name]) / inner[name])
    finally:
        if enabled:
            gc.enable()
    return {name: summary(samples[name], inner[name], first[name]) for name in names}


def summary(samples: list[float], inner: int, first: float) -> dict:
    """The figures of one side's per-call samples."""
    samples = sorted(samples)
    q = statistics.quantiles(samples, n=4) if len(samples) >= 2 else [samples[0]] * 3
    return {
        "median_s": statistics.median(samples),
        "min_s": samples[0],
        "q1_s": q[0],
        "q3_s": q[2],
        "samples": len(samples),
        "inner": inner,
        "first_call_s": first,
    }
