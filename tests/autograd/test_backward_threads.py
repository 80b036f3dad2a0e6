import threading

import numpy as np
import pytest

from conftest import run_in_threads
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
