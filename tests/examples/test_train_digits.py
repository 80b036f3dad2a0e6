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


def test_a_failing_thread_stops_the_step_instead_of_hanging(example, data, monkeypatch):
    shard_step = example.shard_step
    calls = []

    def fail_once(*args):
        calls.append(None)
        if len(calls) == 5:
            raise FloatingPointError("shard 5")
        return shard_step(*args)

    monkeypatch.setattr(example, "shard_step", fail_once)
    with pytest.raises(FloatingPointError, match="shard 5"):
        example.train(data, threads=3, epochs=1, hidden=8, progress=False)


@pytest.mark.thread_unsafe  # matplotlib's text layout is not
@pytest.mark.parametrize("mode, first, report", [
    (["--threads", "2", "--compare-threads"], "batches of 128, 2 threads", "speedup with 2 threads: "),
    (["--models", "2"], "2 models 64-16-10 relu at once, one thread each, batches of 128", "2 models at once: "),
])
def test_main_prints_the_accuracy_last_and_writes_the_picture(example, tmp_path, capsys, mode, first, report):
    path = tmp_path / "out" / "digits.png"
    assert example.main(["--epochs", "2", "--hidden", "16", "--plot", str(path), *mode]) == 0
    lines = capsys.readouterr().out.strip().splitlines()
    assert lines[0].endswith(first), lines[0]
    assert lines[-1].startswith("test accuracy: ") and "%" in lines[-1]
    assert any(line.startswith(report) for line in lines), lines
    assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("flag, value", [
    ("--learning-rate", "-1"), ("--learning-rate", "0"), ("--learning-rate", "nan"),
    ("--learning-rate", "inf"), ("--momentum", "-0.1"), ("--momentum", "1"), ("--momentum", "nan"),
    ("--hidden", "0"), ("--batch", "0"), ("--epochs", "0"), ("--threads", "0"), ("--threads", "-3"),
    ("--epochs", "two"), ("--momentum", "high"), ("--seed", "-1"), ("--plot", "out.txt"),
    ("--plot", "/tmp"), ("--models", "0"),
])
def test_main_refuses_nonsense_naming_the_flag(example, capsys, flag, value):
    with pytest.raises(SystemExit) as exit:
        example.main([flag, value])
    assert exit.value.code == 2
    error = capsys.readouterr().err.strip().splitlines()[-1]
    assert f"error: argument {flag}: " in error and value in error, error


def test_the_reported_threads_are_those_a_batch_can_use(example):
    assert example.threads_used(1000, 128, 1437) == 128
    assert example.threads_used(2000, 5000, 1437) == 1437  # a batch is no larger than the data
    assert example.threads_used(3, 128, 1437) == 3
    job = example.Processes()
    job.rank, job.size = 1, 2
    assert example.threads_used(1000, 129, 1437, job) == 64  # rank 0 takes 65 rows, rank 1 64
    assert example.threads_used(4, 1, 1437, job) == 1  # an empty share still runs a thread
    assert example.describe_workers([1000, 1000], [65, 64], 129).startswith("2 processes of 65, 64 threads")


def test_help_shows_every_default_and_processes_draw_their_own_picture(example, capsys):
    with pytest.raises(SystemExit) as exit:
        example.main(["--help"])
    assert exit.value.code == 0
    options = capsys.readouterr().out.split("options:")[1]
    flags = {chunk.split()[0]: " ".join(chunk.split()) for chunk in options.split("\n  --")[1:]}
    assert len(flags) == 10, options
    assert all("(default: " in text for text in flags.values()), flags  # --help needs none
    assert example.default_plot(1) == example.DEFAULT_PLOT
    assert example.default_plot(4) == example.DEFAULT_PLOT.with_name("digits-4-processes.png")
