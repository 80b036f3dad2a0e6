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


@pytest.mark.parametrize("threads", [2, 5])
def test_threads_that_split_the_hidden_units_take_one_threads_steps(example, data, threads):
    # each thread owns a slice of the hidden units and its own copy of the last bias: together
    # they must take the steps one thread takes (up to the order of the sum over the units)
    one = example.train(data, threads=1, epochs=2, hidden=13, batch=50, progress=False)
    many = example.train(data, threads=threads, epochs=2, hidden=13, batch=50, progress=False)
    for name in one[0]:
        np.testing.assert_allclose(many[0][name], one[0][name], rtol=1e-5, atol=1e-6, err_msg=name)
    np.testing.assert_allclose(many[1].step_losses, one[1].step_losses, rtol=1e-5)


@pytest.mark.parametrize("threads", [3, 4])
def test_runs_are_deterministic_for_a_seed_and_thread_count(example, data, threads):
    # with three or more parts of the output, summing them in any other order than the threads'
    # own would change the last bits from run to run
    runs = [example.train(data, threads=threads, epochs=2, hidden=16, progress=False) for _ in range(2)]
    for name in runs[0][0]:
        assert np.array_equal(runs[0][0][name], runs[1][0][name])
    assert runs[0][1].losses == runs[1][1].losses


def test_a_failing_thread_stops_the_step_instead_of_hanging(example, data, monkeypatch):
    hidden_part = example.hidden_part
    calls = []

    def fail_once(*args):
        calls.append(None)
        if len(calls) == 5:
            raise FloatingPointError("part 5")
        return hidden_part(*args)

    monkeypatch.setattr(example, "hidden_part", fail_once)
    with pytest.raises(FloatingPointError, match="part 5"):
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


@pytest.mark.parametrize("where, reason", [
    ("under a file", "is a file, not a folder"),  # the parent is a regular file
    ("/proc/digits.png", ""),  # no file can be made there, not even by root
])
def test_a_picture_that_cannot_be_written_stops_the_run_before_training(example, tmp_path, capsys,
                                                                       where, reason):
    if where == "under a file":
        (tmp_path / "taken").write_text("")
        where = str(tmp_path / "taken" / "digits.png")
    elif not pathlib.Path("/proc").is_dir():
        pytest.skip("no /proc here")
    with pytest.raises(SystemExit) as exit:
        example.main(["--epochs", "1", "--hidden", "4", "--plot", where])
    assert exit.value.code == 2
    out, err = capsys.readouterr()
    assert out == ""  # nothing trained
    lines = err.splitlines()
    assert len(lines) == 1 and "error: argument --plot: cannot write " + where in lines[0], err
    assert reason in lines[0]
    assert not pathlib.Path(where).exists()


@pytest.mark.parametrize("case", ["new, three folders deep", "already there", "through a dangling link"])
def test_trying_the_picture_path_leaves_only_the_folders_it_reports(example, tmp_path, case):
    path = tmp_path / "a" / "b" / "c" / "digits.png" if case.startswith("new") else tmp_path / "digits.png"
    if case == "already there":
        path.write_bytes(b"old picture")
    elif case == "through a dangling link":
        path.symlink_to(tmp_path / "target.png")
    before = {p: p.read_bytes() if p.is_file() else None for p in tmp_path.rglob("*")}
    picture = example.Picture(path)
    assert picture.prepare() is None
    after = {p: p.read_bytes() if p.is_file() else None for p in tmp_path.rglob("*")}
    made = set(after) - set(before)
    assert made == set(picture.made_folders) and all(p.is_dir() for p in made)
    assert {p: after[p] for p in before} == before  # nothing written, the link still a link
    assert path.is_symlink() == (case == "through a dangling link")


def test_the_reported_threads_are_those_the_hidden_units_can_use(example):
    assert example.threads_used(1000, 16) == 16
    assert example.threads_used(3, 1024) == 3
    assert example.describe_workers([1000, 1000], [16, 16], 16) == (
        "16 threads in each of 2 processes (--threads 1000: no more than the 16 hidden units)")


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
