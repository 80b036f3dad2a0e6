import threading

import numpy as np
import pytest

from conftest import rss_mb
from morla_core import Tensor, nn


@pytest.fixture(autouse=True)
def clean_tape():
    Tensor.clear_graph()
    yield
    Tensor.clear_graph()


def test_untracked_tensor_has_no_gradient():
    assert Tensor([1.0]).grad() is None


def test_fresh_leaf_has_no_gradient_yet():
    t = Tensor([[1.0, 2.0]], requires_grad=True)
    assert t.requires_grad is True
    assert t.grad() is None


def test_clear_graph_returns_none_from_class_and_instance():
    t = Tensor([1.0], requires_grad=True)
    assert Tensor.clear_graph() is None
    assert t.clear_graph() is None
    assert t.grad() is None and t.requires_grad is True


def test_failed_construction_registers_nothing():
    # a failure in any step leaves the tape alone; the next leaf still works
    with pytest.raises(ValueError):
        Tensor([[1.0], [2.0, 3.0]], requires_grad=True)
    assert Tensor([1.0], requires_grad=True).grad() is None


def test_tapes_are_per_thread():
    results = []

    def work():
        t = Tensor(np.ones(3), requires_grad=True)
        results.append(t.grad())
        Tensor.clear_graph()

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [None] * 4


def test_backward_from_a_tensor_beyond_the_cleared_tape_raises_runtime_error():
    x = Tensor([1.0, 2.0], requires_grad=True)
    y = (x * 2.0 + 1.0) * x
    Tensor.clear_graph()
    pytest.raises(RuntimeError, y.backward)
    assert x.grad() is None and y.grad() is None


def test_long_graphs_recorded_again_after_clearing_keep_every_node():
    # up to thousands of nodes of four kinds and sizes, over and over after clear_graph()
    for round_, steps in enumerate([2500, 40, 40, 2500, 40]):
        x = Tensor(np.array([1.0, 3.0], np.float32) * (round_ + 1), requires_grad=True)
        y = x
        for i in range(steps):
            y = nn.functional.relu(y * (2.0 if i % 2 else 0.5) + 0.0).reshape([2, 1]).reshape([2])
        y.backward()
        np.testing.assert_array_equal(y.to_numpy(), x.to_numpy())
        np.testing.assert_array_equal(x.grad(), [1.0, 1.0])
        Tensor.clear_graph()


@pytest.mark.thread_unsafe  # the process RSS counts every test thread's memory
def test_thread_exit_releases_large_saved_storages():
    big = np.ones(16 << 20, np.float32)  # 64 MB

    def body():
        nn.functional.relu(Tensor(big, requires_grad=True))  # the node keeps the 64 MB input alive

    def run(rounds):
        for _ in range(rounds):
            thread = threading.Thread(target=body)
            thread.start()
            thread.join()

    run(2)
    start = rss_mb()
    run(12)  # 768 MB of saved storages if tapes outlived their threads
    grown = rss_mb() - start
    assert grown < 200, f"RSS grew by {grown:.0f} MB after 12 threads left 64 MB on their tapes"
