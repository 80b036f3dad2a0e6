import importlib.util
import pathlib
import sys

import numpy as np
import pytest

pytest.importorskip("sklearn")
EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "train_digits.py"


def load_example():
    found = importlib.util.spec_from_file_location("train_digits", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    sys.modules.setdefault("train_digits", module)  # dataclasses look their module up
    found.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def example():
    return load_example()


@pytest.fixture(scope="module")
def data(example):
    return example.load_data(seed=0)


def test_split_is_fixed_and_disjoint(example, data):
    again = example.load_data(seed=0)
    assert data.x_train.shape == (1437, 64) and data.x_test.shape == (360, 64)
    assert np.array_equal(data.y_test, again.y_test)
    train_rows = {row.tobytes() for row in data.x_train}
    assert sum(row.tobytes() in train_rows for row in data.x_test) < 10  # a few digits repeat


@pytest.mark.parametrize("threads", [1, 2, 3, 200])
def test_accuracy_rises_well_above_chance(example, data, threads):
    params, history = example.train(data, threads=threads, epochs=4, hidden=32, batch=32,
                                    progress=False)
    assert history.accuracies[-1] > 0.8  # chance is 0.1
    assert history.losses[-1] < history.losses[0]
    assert {name: value.shape for name, value in params.items()} == {
        "w1": (64, 32), "b1": (1, 32), "w2": (32, 10), "b2": (1, 10)}


def test_threads_compute_the_batch_gradient(example, data):
    # the shards' gradients sum to the whole batch's, whatever the split
    params = example.init_params(np.random.default_rng(1), 16)
    x, t = data.x_train[:24], example.one_hot(data.y_train[:24])
    whole_loss, whole = example.shard_step(params, x, t, 1 / 24)
    parts = [example.shard_step(params, x[s], t[s], 1 / 24) for s in (slice(0, 7), slice(7, 24))]
    assert abs(sum(loss for loss, _ in parts) - whole_loss) < 1e-4 * whole_loss
    for name in params:
        np.testing.assert_allclose(parts[0][1][name] + parts[1][1][name], whole[name], rtol=1e-4, atol=1e-6)


@pytest.mark.parametrize("threads", [3, 4])
def test_runs_are_deterministic_for_a_seed_and_thread_count(example, data, threads):
    # with three or more shards, summing them in any other order than the shards' own would
    # change the last bits from run to run
    runs = [example.train(data, threads=threads, epochs=2, hidden=16, progress=False) for _ in range(2)]
    for name in runs[0][0]:
        assert np.array_equal(runs[0][0][name], runs[1][0][name])
    assert runs[0][1].losses == runs[1][1].losses


@pytest.mark.thread_unsafe  # matplotlib's text layout is not
def test_main_prints_the_accuracy_last_and_writes_the_picture(example, tmp_path, capsys):
    path = tmp_path / "out" / "digits.png"
    assert example.main(["--epochs", "2", "--hidden", "16", "--threads", "2", "--plot", str(path),
                         "--compare-threads"]) == 0
    lines = capsys.readouterr().out.strip().splitlines()
    assert lines[-1].startswith("test accuracy: ") and lines[-1].endswith("%")
    assert any(line.startswith("speedup with 2 threads: ") for line in lines)
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
