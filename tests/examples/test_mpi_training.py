"""Data-parallel training over MPI: two ranks on this machine end with the same parameters bit for
bit, and their losses follow a one-process run over the same global batches."""

import functools
import math
import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

from morla import distributed

pytest.importorskip("sklearn")
HERE = pathlib.Path(__file__).resolve().parent
SETTINGS = {"epochs": 2, "hidden": 32}


def mpiexec():
    beside = pathlib.Path(sys.executable).with_name("mpiexec")
    return str(beside) if beside.exists() else shutil.which("mpiexec")


def clean_environment():
    """This process's environment without any launcher's variables (a test run under mpiexec)."""
    return {k: v for k, v in os.environ.items() if not k.startswith(("PMI_", "PMIX_", "OMPI_", "MPI_"))}


@pytest.fixture(scope="module")
def example():
    sys.path.insert(0, str(HERE.parents[1] / "examples"))
    import train_digits

    return train_digits


@pytest.fixture(scope="module")
def one_process(example):
    data = example.load_data(seed=0)
    return functools.cache(lambda batch: example.train(data, threads=1, progress=False, **SETTINGS | {"batch": batch}))


@pytest.mark.thread_unsafe
@pytest.mark.parametrize("threads, batch", [(1, 64), (2, 64), (2, 1436)])  # (last batch: 1 row, none for rank 1)
def test_two_ranks_agree_and_follow_one_process(tmp_path, one_process, threads, batch):
    pytest.importorskip("mpi4py")
    launcher = mpiexec()
    if launcher is None:
        pytest.skip("no mpiexec")
    command = [launcher, "-launcher", "fork", "-host", "localhost", "-n", "2", sys.executable,
               str(HERE / "mpi_rank.py"), str(tmp_path), *(str(SETTINGS[k]) for k in ("epochs", "hidden")),
               str(batch), str(threads)]
    done = subprocess.run(command, env=clean_environment(), capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    ranks = [np.load(tmp_path / f"rank{r}.npz") for r in range(2)]
    assert all(int(r["size"]) == 2 and bool(r["same"]) for r in ranks)
    params, history = one_process(batch)
    for name in params:
        assert ranks[0][f"param_{name}"].tobytes() == ranks[1][f"param_{name}"].tobytes(), name
        np.testing.assert_allclose(ranks[0][f"param_{name}"], params[name], rtol=1e-4, atol=1e-6)
    assert np.array_equal(ranks[0]["step_losses"], ranks[1]["step_losses"])
    assert len(ranks[0]["step_losses"]) == len(history.step_losses) == SETTINGS["epochs"] * math.ceil(1437 / batch)
    np.testing.assert_allclose(ranks[0]["step_losses"], history.step_losses, rtol=1e-5)


def test_without_a_launcher_the_job_is_this_process(monkeypatch):
    for name in distributed.LAUNCHER_VARIABLES:
        monkeypatch.delenv(name, raising=False)
    monkeypatch.setitem(sys.modules, "mpi4py", None)  # never imported without a launcher
    job = distributed.processes()
    assert (job.rank, job.size, job.on_this_machine, job.is_root) == (0, 1, 1, True)
    rows = np.arange(10)
    assert np.array_equal(job.share(rows), rows)
    grads = {"w": np.ones((2, 3), np.float32)}
    assert job.sum_in_place(grads, 1.5, 2.0) == [1.5, 2.0]
    assert np.array_equal(grads["w"], np.ones((2, 3), np.float32))
    assert job.same_everywhere(grads) and job.gather(7) == [7]


def test_a_launcher_without_mpi4py_says_what_to_install(monkeypatch):
    monkeypatch.setenv("PMI_SIZE", "2")
    monkeypatch.setitem(sys.modules, "mpi4py", None)
    with pytest.raises(RuntimeError, match=r"morla_core\[mpi\]"):
        distributed.processes()


@pytest.mark.parametrize("size, rows", [(2, 64), (3, 29), (4, 3), (2, 0)])
def test_shares_cover_a_batch_once_in_order(size, rows):
    batch = np.arange(100, 100 + rows)
    shares = []
    for rank in range(size):
        job = distributed.Processes()
        job.rank, job.size = rank, size
        shares.append(job.share(batch))
    assert np.array_equal(np.concatenate(shares), batch)
    assert max(map(len, shares)) - min(map(len, shares)) <= 1


def run_ranks(tmp_path, *commands, timeout=120):
    """mpiexec with one program per colon-separated part; returns the finished process."""
    launcher = mpiexec()
    if launcher is None:
        pytest.skip("no mpiexec")
    pytest.importorskip("mpi4py")
    command = [launcher, "-launcher", "fork", "-host", "localhost"]
    for i, part in enumerate(commands):
        command += ([":"] if i else []) + ["-n", "1", *part]
    return subprocess.run(command, env=clean_environment(), capture_output=True, text=True,
                          timeout=timeout, cwd=tmp_path)


FAILING_RANK = """
import sys
from morla import distributed
import numpy as np
job = distributed.processes()
grads = {"w": np.ones(3, np.float32)}
job.sum_in_place(grads, 1.0)
if job.rank == 1:
    raise MemoryError("rank 1 gives up")
job.sum_in_place(grads, 1.0)  # rank 0 would wait here for ever
"""

MISMATCHED = """
import sys
from morla import distributed
import numpy as np
job = distributed.processes()
out = open(f"rank{job.rank}.txt", "w")
print = lambda *args: __builtins__.print(*args, file=out, flush=True)  # noqa: E731
names = ["a", "b"] if job.rank == 0 else ["b", "a"]
grads = {name: np.full(3, 10.0 ** i, np.float32) for i, name in enumerate(names)}
grads["a"][:] = 1 + job.rank  # rank 0: a=1, b=10; rank 1: b=1, a=2
print(job.rank, job.sum_in_place(grads, 1.0), grads["a"][0], grads["b"][0])
if job.rank == 1:
    grads["c"] = np.zeros(2, np.float32)
try:
    job.sum_in_place(grads)
except ValueError as error:
    print(job.rank, "refused:", error)
print(job.rank, job.sum_in_place({}, 2.0), job.same_everywhere({"x": np.array(5.0) if job.rank else np.array([5.0])}))
"""


@pytest.mark.thread_unsafe
def test_a_failing_rank_ends_the_job(tmp_path):
    (tmp_path / "fail.py").write_text(FAILING_RANK)
    done = run_ranks(tmp_path, [sys.executable, "fail.py"], [sys.executable, "fail.py"])
    if done.returncode != 0 and not done.stderr:
        # Once in CI the launcher ended the job with none of its output, not even its own abort
        # line; a second run tells that apart from a rank whose report is lost.
        done = run_ranks(tmp_path, [sys.executable, "fail.py"], [sys.executable, "fail.py"])
    assert done.returncode != 0
    assert "rank 1 gives up" in done.stderr


@pytest.mark.thread_unsafe
def test_sums_match_arrays_by_name_and_refuse_other_layouts(tmp_path):
    (tmp_path / "mismatch.py").write_text(MISMATCHED)
    done = run_ranks(tmp_path, [sys.executable, "mismatch.py"], [sys.executable, "mismatch.py"])
    assert done.returncode == 0, done.stderr[-2000:]
    for rank in range(2):
        lines = (tmp_path / f"rank{rank}.txt").read_text().splitlines()
        assert lines[0] == f"{rank} [2.0] 3.0 11.0", lines
        assert lines[1].startswith(f"{rank} refused: sum_in_place: the processes passed different"), lines
        assert lines[2] == f"{rank} [4.0] False", lines


@pytest.mark.thread_unsafe
def test_compare_threads_refuses_different_thread_counts(tmp_path):
    example = str(HERE.parents[1] / "examples" / "train_digits.py")
    args = ["--epochs", "1", "--hidden", "8", "--compare-threads", "--plot", str(tmp_path / "p.png")]
    done = run_ranks(tmp_path, [sys.executable, example, "--threads", "2", *args],
                     [sys.executable, example, "--threads", "1", *args])
    assert done.returncode != 0
    assert done.stderr.count("--compare-threads needs the same --threads in every process") == 1  # rank 0 alone


def test_a_program_started_by_a_rank_is_not_a_rank(monkeypatch):
    monkeypatch.setenv("PMI_SIZE", "2")
    monkeypatch.setenv("PMI_FD", "987")  # the launcher's connection, which a child lacks
    assert not distributed.launched_by_mpi()
    monkeypatch.setenv("PMI_FD", "0")
    assert distributed.launched_by_mpi()
    monkeypatch.setenv("PMI_SIZE", "1")
    assert not distributed.launched_by_mpi()  # a job of one needs no MPI
