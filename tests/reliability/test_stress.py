"""Many threads sharing tensors.

Every thread runs the programs of a single-threaded reference run and must reproduce their results
bit for bit (values, layouts, error texts). About 10 s of wall time by default; for longer:

    MORLA_STRESS_SECONDS=600 python -m pytest -q tests/reliability/test_stress.py
"""

import os
import threading
import time

import numpy as np

from morla_core import Tensor, nn

relu = nn.functional.relu
SECONDS = float(os.environ.get("MORLA_STRESS_SECONDS", "10"))
THREADS, VARIANTS = 8, 3
W_SOURCES = [np.random.default_rng(100 + k).standard_normal((5, 3)).astype(np.float32) for k in range(VARIANTS)]


def shared_tensors():
    """Read-only tensors every thread uses; "aT" and "pT" are transposed (column-major)."""
    rng = np.random.default_rng(7)
    normal = rng.standard_normal
    tensors = {dt: {"a": Tensor(normal((4, 5)), dtype=dt), "aT": Tensor(normal((5, 4)), dtype=dt).transpose(0, 1),
                    "b": Tensor(normal((5, 3)), dtype=dt), "c": Tensor(normal((3, 4, 5)), dtype=dt),
                    "v": Tensor(normal(5), dtype=dt)} for dt in ("f32", "f16", "bf16")}
    coin = lambda shape: Tensor(rng.random(shape) < 0.5, dtype="bool")  # noqa: E731
    tensors["bool"] = {"p": coin((4, 5)), "q": coin(5), "pT": coin((5, 4)).transpose(0, 1)}
    return tensors


def snap(value):
    """A bit-exact, comparable picture of a result."""
    if isinstance(value, Tensor):
        a = value.to_numpy()
        return (value.dtype, tuple(value.shape), tuple(value.strides), value.requires_grad, a.dtype.str, a.tobytes())
    return (value.dtype.str, value.shape, value.tobytes()) if isinstance(value, np.ndarray) else value


def failure(fn):
    try:
        return snap(fn())
    except Exception as error:  # the error is part of the expected output
        return (type(error).__name__, str(error))


def numeric_program(s, dt, k):
    w = Tensor(W_SOURCES[k], dtype=dt, requires_grad=True)
    h = relu((s["a"] @ w) * 0.5 - 0.25)
    y = (h + 1.0) / (s["aT"] @ s["b"] + 2.0)
    q = (2.0 / (y + 3.0) - y * y).transpose(0, 1)
    m = (q @ s["a"] + s["v"]) * float(k + 1)
    m.backward()
    out = [h, y, q, m, w.grad(), h.grad(), q.grad()]
    r = (s["c"] @ w).reshape([36]) / 3.0
    r.backward()  # replaces w's gradient, leaves m's
    out += [r, w.grad(), h.grad(), m.grad(), y > 0.4, s["a"] <= s["aT"], m == m, s["aT"].__rgt__(0.3), 0.1 >= s["c"]]
    out += [q.zeros_like(), q.ones_like(), s["a"] != s["aT"], s["a"].grad(), s["aT"].transpose(0, 1).reshape([20])]
    bad = [lambda: s["a"] + s["b"], lambda: s["aT"].reshape([20]), lambda: s["a"] @ s["v"], lambda: ~s["a"],
           lambda: s["a"] + Tensor([1.0], dtype="bool"),
           lambda: (w.reshape([15]).reshape([3, 5]).transpose(0, 1) * 1.0).backward()]  # gradient not row-major
    return [snap(v) for v in out] + [failure(fn) for fn in bad]


def bool_program(s, k):
    p, pT, q = s["p"], s["pT"], s["q"]
    out = [p & pT, (p | q) ^ pT, ~pT, p == pT, p < q, pT >= p, p.reshape([20]), pT.transpose(0, 1), pT.zeros_like()]
    out += [p.ones_like(), (p ^ pT) & ~q if k else p | p]
    bad = [lambda: p + q, lambda: relu(pT), lambda: p * 2.0, lambda: p == 1.0, lambda: pT.reshape([20])]
    return [snap(v) for v in out] + [failure(fn) for fn in bad]


def run_program(shared, dt, k):
    return bool_program(shared["bool"], k) if dt == "bool" else numeric_program(shared[dt], dt, k)


def test_threads_share_tensors_and_reproduce_single_threaded_results():
    shared = shared_tensors()
    before = {dt: [snap(t) for t in ts.values()] for dt, ts in shared.items()}
    jobs = [(dt, k) for dt in shared for k in range(VARIANTS)]
    expected = {}
    for job in jobs:
        expected[job] = run_program(shared, *job)
        Tensor.clear_graph()
    deadline, barrier = time.monotonic() + SECONDS, threading.Barrier(THREADS)
    errors, counts = [], [0] * THREADS

    def work(index):
        try:
            barrier.wait()
            while time.monotonic() < deadline:
                job = jobs[(index + counts[index]) % len(jobs)]
                got = run_program(shared, *job)
                bad = [i for i, (g, e) in enumerate(zip(got, expected[job], strict=True)) if g != e]
                assert not bad, f"thread {index}, {job}: results {bad} differ from the single-threaded run"
                if counts[index] % 3 == index % 3:  # tapes both cleared and left to grow
                    Tensor.clear_graph()
                counts[index] += 1
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)
        finally:
            Tensor.clear_graph()

    threads = [threading.Thread(target=work, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors, errors
    assert min(counts) > 0
    assert {dt: [snap(t) for t in ts.values()] for dt, ts in shared.items()} == before
