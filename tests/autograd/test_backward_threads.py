import threading

import ml_dtypes
import numpy as np
import pytest

from conftest import rss_mb, run_in_threads
from morla_core import Tensor, nn

THREADS = 8
ROUNDS = 40
SPELLINGS = ["f32", "f16", "bf16"]


@pytest.fixture(autouse=True)
def clean_tape():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


def inputs(index):
    rng = np.random.default_rng(index)
    return [rng.standard_normal(s).astype(np.float32) for s in [(3, 4), (4, 5), (5,), (5, 3)]]


def gradients(index):
    """A small network on this thread's tape; returns every tracked tensor's gradient."""
    spelling = SPELLINGS[index % 3]
    a, w, bias, v = (Tensor(x, dtype=spelling, requires_grad=True) for x in inputs(index))
    hidden = nn.functional.relu(a @ w + bias)
    out = ((hidden / 3.0 - 0.5) * hidden) @ v
    scaled = 2.0 / (out * out.transpose(0, 1) + 4.0).reshape([9])
    scaled.backward()
    return [t.grad() for t in (a, w, bias, v, hidden, out, scaled)]


def same_bits(x, y):
    return x.dtype == y.dtype and x.shape == y.shape and np.array_equal(x.view(np.uint8), y.view(np.uint8))


def test_concurrent_passes_match_single_thread_results():
    expected = []
    for index in range(THREADS):
        expected.append(gradients(index))
        Tensor.clear_graph()
    assert all(g is not None for grads in expected for g in grads)
    mismatches = []

    def work(index):
        for round_ in range(ROUNDS):
            got = gradients(index)
            Tensor.clear_graph()
            if not all(same_bits(g, e) for g, e in zip(got, expected[index], strict=True)):
                mismatches.append((index, round_))

    run_in_threads(work)
    assert not mismatches


def test_backward_on_a_tensor_recorded_by_another_thread():
    made = {}

    def record():
        x = Tensor([1.0, 2.0], requires_grad=True)
        made["y"] = ((x * 2.0) + 1.0) * x  # id 4 on that thread's tape

    thread = threading.Thread(target=record)
    thread.start()
    thread.join()

    p = Tensor([3.0], requires_grad=True)
    q = p * 5.0
    q.backward()
    with pytest.raises(RuntimeError, match="autograd tape"):
        made["y"].backward()
    np.testing.assert_array_equal(p.grad(), [5.0])
    np.testing.assert_array_equal(q.grad(), [1.0])
    assert made["y"].grad() is None


def test_clearing_one_thread_leaves_another_threads_gradients():
    x = Tensor([1.0, -2.0], requires_grad=True)
    (x * 4.0).backward()
    thread = threading.Thread(target=Tensor.clear_graph)
    thread.start()
    thread.join()
    np.testing.assert_array_equal(x.grad(), [4.0, 4.0])


def churn(rounds, concurrent=4):
    """Runs rounds x concurrent short threads; each leaves a graph holding ~1 MB storages."""
    big, keep = np.ones(1 << 18, np.float32), []

    def body(index):
        x = Tensor(big, requires_grad=True)
        y = nn.functional.relu(x * Tensor(big)) / Tensor(big)
        if index % 2:
            y.backward()  # gradient slots hold storages too
        if index % 5 == 0:
            keep.append(y)  # outlives its thread; released on the main thread
        Tensor(big.astype(ml_dtypes.bfloat16), dtype="bf16", requires_grad=True) * 2.0

    for r in range(rounds):
        threads = [threading.Thread(target=body, args=(r * concurrent + i,)) for i in range(concurrent)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        keep.clear()


@pytest.mark.thread_unsafe  # the process RSS counts every test thread's memory
def test_short_lived_threads_release_their_tapes():
    churn(20)  # warm-up: allocator arenas, interpreter caches
    start = rss_mb()
    churn(75)  # 300 threads, several MB of tape storages each if nothing were freed
    grown = rss_mb() - start
    assert grown < 150, f"RSS grew by {grown:.0f} MB over 300 short-lived threads"
