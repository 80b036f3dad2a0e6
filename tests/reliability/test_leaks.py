"""Memory leaks: a long loop of operations, backward passes and failures.

The loop test runs 50 000 iterations by default; for the long run:

    MORLA_LEAK_ITERATIONS=1000000 python -m pytest -q tests/reliability/test_leaks.py
"""

import os

import numpy as np
import pytest
from conftest import attempt, rss_mb

from morla_core import Tensor, nn

ITERATIONS = int(os.environ.get("MORLA_LEAK_ITERATIONS", "50000"))


@pytest.mark.thread_unsafe  # the process RSS counts every test thread's memory
def test_operation_backward_clear_loop_keeps_rss_flat():
    rng = np.random.default_rng(11)
    src = rng.standard_normal((16, 16)).astype(np.float32)
    weights = {dt: Tensor(rng.standard_normal((16, 16)), dtype=dt) for dt in ("f32", "f16", "bf16")}
    mask = Tensor(rng.random((16, 16)) < 0.5, dtype="bool")
    failing = [lambda x: x + mask, lambda x: mask + mask, lambda x: x @ x.reshape([256]), lambda x: x.reshape([-1]),
               lambda x: x.transpose(0, 7), lambda x: x + "s", lambda x: nn.functional.relu(mask), lambda x: ~x,
               lambda x: x.transpose(0, 1).reshape([256]), lambda x: x == None]  # noqa: E711

    def once(i):
        dt = ("f32", "f16", "bf16")[i % 3]
        w, x = weights[dt], Tensor(src, dtype=dt, requires_grad=True)
        y = nn.functional.relu(x @ w - 0.5) * 2.0 / (1.0 + w.transpose(0, 1) * w)
        z = (3.0 / (y + 4.0) + x).reshape([256])
        z.backward()
        assert x.grad() is not None and z.grad() is not None and x.zeros_like().ones_like().dtype == dt
        assert ((y > 0.5) & ~(x == y) ^ mask | (w <= x)).to_numpy().shape == (16, 16)
        attempt(lambda: failing[i % len(failing)](x))
        Tensor.clear_graph()

    for i in range(min(5000, max(ITERATIONS // 10, 1))):  # warm-up
        once(i)
    start = rss_mb()
    for i in range(ITERATIONS):
        once(i)
    grown = rss_mb() - start
    assert grown < 4, f"RSS grew by {grown:.1f} MB over {ITERATIONS} iterations"
