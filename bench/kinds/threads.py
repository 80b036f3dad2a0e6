"""Independent small training loops, 2 threads against 1: what this module gets from a second
core, beside a pure-Python loop's scaling and NumPy's version of the same loop, timed in the same
rounds. PyTorch has no part in it.
"""

from __future__ import annotations

import statistics
import sys
import threading
import time

import numpy as np

from load import LoadMonitor
from table import fmt_target, shown_target

from .driver_libs import Tensor, relu, scaling

SETTINGS = {  # seconds one thread's run should last, and how many runs per thread count
    "full": {"run_s": 0.4, "repeats": 7},
    "quick": {"run_s": 0.05, "repeats": 3},
}


def mlp_loop(steps: int, seed: int, barrier: threading.Barrier | None = None,
             span: list | None = None) -> None:
    """`steps` training steps of a small perceptron; appends (start, end) times to span."""
    rng = np.random.default_rng(seed)
    f32 = np.float32
    x = Tensor((rng.random((16, 8), dtype=f32) * 2 - 1).astype(f32))
    target = Tensor((rng.random((16, 1), dtype=f32) * 2 - 1).astype(f32))
    params = {"w1": (rng.standard_normal((8, 16)) * 0.35).astype(f32), "b1": np.zeros(16, f32),
              "w2": (rng.standard_normal((16, 1)) * 0.25).astype(f32), "b2": np.zeros(1, f32)}
    lr = f32(0.01)
    if barrier is not None:
        barrier.wait()
    start = time.perf_counter()
    for _ in range(steps):
        t = {k: Tensor(v, requires_grad=True) for k, v in params.items()}
        hidden = relu(x @ t["w1"] + t["b1"])
        err = hidden @ t["w2"] + t["b2"] - target
        loss = err * err  # per-sample losses; backward() seeds ones
        loss.backward()
        for k, v in params.items():
            g = np.asarray(t[k].grad())
            while g.ndim > v.ndim:
                g = g.sum(axis=0)
            params[k] = v - lr * g
        Tensor.clear_graph()
    if span is not None:
        span.append((start, time.perf_counter()))


def timed_together(count: int, loop, args_of) -> float:
    """Wall time for `count` threads each running loop(*args_of(i), barrier, spans), started
    together: from the first thread's start to the last one's end, as the threads clock it."""
    barrier = threading.Barrier(count)
    spans: list = []
    threads = [threading.Thread(target=loop, args=(*args_of(i), barrier, spans)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return max(end for _, end in spans) - min(start for start, _ in spans)


def timed_threads(count: int, steps: int) -> float:
    """`count` threads each running `steps` MLP steps of this module."""
    return timed_together(count, mlp_loop, lambda i: (steps, 100 + i))


def python_loop(steps: int, barrier: threading.Barrier | None = None, span: list | None = None) -> None:
    """A pure-Python loop: what the machine's second core gives an interpreter with no GIL."""
    if barrier is not None:
        barrier.wait()
    start = time.perf_counter()
    total = 0
    for i in range(steps):
        total += i * i % 7
    if span is not None:
        span.append((start, time.perf_counter()))


def timed_python(count: int, steps: int) -> float:
    return timed_together(count, python_loop, lambda i: (steps,))


def python_loop_steps(seconds: float) -> int:
    """The steps of the pure-Python loop that one thread runs in about `seconds`."""
    return max(10_000, int(seconds / (timed_python(1, 100_000) / 100_000)))


def numpy_mlp_loop(steps: int, seed: int, barrier: threading.Barrier | None = None,
                   span: list | None = None) -> None:
    """mlp_loop's training steps written in NumPy (the gradients by hand): what array code that
    allocates as it goes gets from the second core, beside this module's loop."""
    rng = np.random.default_rng(seed)
    f32 = np.float32
    x = (rng.random((16, 8), dtype=f32) * 2 - 1).astype(f32)
    target = (rng.random((16, 1), dtype=f32) * 2 - 1).astype(f32)
    w1, b1 = (rng.standard_normal((8, 16)) * 0.35).astype(f32), np.zeros(16, f32)
    w2, b2 = (rng.standard_normal((16, 1)) * 0.25).astype(f32), np.zeros(1, f32)
    lr = f32(0.01)
    if barrier is not None:
        barrier.wait()
    start = time.perf_counter()
    for _ in range(steps):
        pre = x @ w1 + b1
        hidden = np.maximum(pre, 0)
        g = 2 * (hidden @ w2 + b2 - target)  # the gradient of the per-sample squared errors
        g_hidden = (g @ w2.T) * (pre > 0)
        w2, b2 = w2 - lr * (hidden.T @ g), b2 - lr * g.sum(axis=0)
        w1, b1 = w1 - lr * (x.T @ g_hidden), b1 - lr * g_hidden.sum(axis=0)
    if span is not None:
        span.append((start, time.perf_counter()))


def timed_numpy(count: int, steps: int) -> float:
    return timed_together(count, numpy_mlp_loop, lambda i: (steps, 100 + i))


def thread_figures(r: dict, rounds: list[int] | None = None) -> dict:
    """2-thread over 1-thread throughput of each loop, from the median times of the given rounds
    (all by default), and this module's against the pure-Python loop's."""
    def speedup(one, two):
        if not one or not two:
            return None
        pick = range(len(one)) if rounds is None else rounds
        return 2 * statistics.median(one[i] for i in pick) / statistics.median(two[i] for i in pick)
    morla = speedup(r.get("one_thread_s"), r.get("two_threads_s"))
    python = speedup(r.get("python_one_s"), r.get("python_two_s"))
    numpy_loop = speedup(r.get("numpy_loop_one_s"), r.get("numpy_loop_two_s"))
    return {"morla": morla, "python": python, "numpy": numpy_loop,
            "relative": morla / python if morla and python else None,
            "numpy_relative": numpy_loop / python if numpy_loop and python else None}


def run(work: dict, mode: str, torch=None, baseline=None) -> dict:
    settings = SETTINGS[mode]
    timed_threads(2, 20)  # warm-up
    timed_numpy(2, 20)
    t = timed_threads(1, 200)
    steps = min(200_000, max(50, int(settings["run_s"] / (t / 200))))
    np_t = timed_numpy(1, 200)
    np_steps = min(200_000, max(50, int(settings["run_s"] / (np_t / 200))))
    py_steps = python_loop_steps(settings["run_s"])
    one, two, loads, py_one, py_two, np_one, np_two = [], [], [], [], [], [], []
    for _ in range(settings["repeats"]):  # alternate, so drift hits all alike
        load = LoadMonitor()
        one.append(timed_threads(1, steps))
        two.append(timed_threads(2, steps))
        # a pure-Python loop right beside it: the scaling this VM's cores allow at that moment
        py_one.append(timed_python(1, py_steps))
        py_two.append(timed_python(2, py_steps))
        # and the same training loop in NumPy: what array code gets at that moment
        np_one.append(timed_numpy(1, np_steps))
        np_two.append(timed_numpy(2, np_steps))
        loads.append(load.foreign_cores())
    t1, t2 = statistics.median(one), statistics.median(two)
    r = {
        "steps_per_thread": steps, "repeats": settings["repeats"],
        "one_thread_s": one, "two_threads_s": two, "foreign_load_cores_per_repeat": loads,
        "python_steps": py_steps, "python_one_s": py_one, "python_two_s": py_two,
        "numpy_loop_steps": np_steps, "numpy_loop_one_s": np_one, "numpy_loop_two_s": np_two,
        "best_of_scaling": min(one) / min(two) * 2,
        "one_thread_steps_per_s": steps / t1, "two_threads_steps_per_s": 2 * steps / t2,
        "gil_enabled": sys._is_gil_enabled() if hasattr(sys, "_is_gil_enabled") else None,
    }
    figures = thread_figures(r)
    r.update({"scaling": figures["morla"], "python_loop_scaling": figures["python"],
              "scaling_relative_to_python_loop": figures["relative"], "numpy_loop_scaling": figures["numpy"]})
    return r


def rows(work: dict, result: dict, results: dict, torch_res: dict) -> list[tuple]:
    """Two judged rows (2 threads against 1; that scaling against the pure-Python loop's) and
    NumPy's loop beside them. When the machine did not give the loops its cores, or the scaling
    is more than 2 cores give, their scalings are no result: the rows say why instead."""
    out, r, targets = [], result, work["targets"]
    why = scaling.unreliable(r["scaling"], [r["python_loop_scaling"]], scaling.cores_for(2))
    shown = (lambda x: "-") if why else (lambda x: f"{x:.2f}x")
    for peer, morla_v, peer_v, ratio in (
            ("morla_1_thread", f"{r['two_threads_steps_per_s']:.0f} steps/s",
             f"{r['one_thread_steps_per_s']:.0f} steps/s", r["scaling"]),
            ("python_loop", shown(r["scaling"]), shown(r["python_loop_scaling"]),
             r["scaling_relative_to_python_loop"])):
        target = targets[peer]
        row = {
            "workload": work["label"], "id": work["id"],
            "peer": {"morla_1_thread": "morla, 1 thread", "python_loop": "pure-Python loop's scaling"}[peer],
            "morla": morla_v, "peer_value": peer_v, "ratio": ratio, "ratio_kind": "scaling",
            "target": fmt_target(*target), "ok": None if why else ratio >= shown_target(target[1]),
            "unreliable": why,
        }
        out.append((row, peer, target))
    if r.get("numpy_loop_scaling"):  # what array code got in the same rounds
        row = {"workload": work["label"], "id": work["id"], "peer": "NumPy's loop's scaling",
               "morla": shown(r["scaling"]), "peer_value": shown(r["numpy_loop_scaling"]),
               "ratio": r["scaling"] / r["numpy_loop_scaling"], "ratio_kind": "scaling",
               "target": "info", "ok": None, "unreliable": why}
        out.append((row, "numpy_loop", None))
    return out


torch_body = None  # no PyTorch peer
