"""Data-parallel training over MPI: two ranks on this machine end with the same parameters bit for
bit, and their losses follow a one-process run over the same global batches."""

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
SETTINGS = {"epochs": 2, "hidden": 32, "batch": 64}


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
    return example.train(data, threads=1, progress=False, **SETTINGS)


@pytest.mark.thread_unsafe
@pytest.mark.parametrize("threads", [1, 2])
def test_two_ranks_agree_and_follow_one_process(tmp_path, one_process, threads):
    pytest.importorskip("mpi4py")
    launcher = mpiexec()
    if launcher is None:
        pytest.skip("no mpiexec")
    command = [launcher, "-launcher", "fork", "-host", "localhost", "-n", "2", sys.executable,
               str(HERE / "mpi_rank.py"), str(tmp_path), *(str(SETTINGS[k]) for k in ("epochs", "hidden", "batch")),
               str(threads)]
    done = subprocess.run(command, env=clean_environment(), capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    ranks = [np.load(tmp_path / f"rank{r}.npz") for r in range(2)]
    assert all(int(r["size"]) == 2 and bool(r["same"]) for r in ranks)
    params, history = one_process
    for name in params:
        assert ranks[0][f"param_{name}"].tobytes() == ranks[1][f"param_{name}"].tobytes(), name
        np.testing.assert_allclose(ranks[0][f"param_{name}"], params[name], rtol=1e-4, atol=1e-6)
    assert np.array_equal(ranks[0]["step_losses"], ranks[1]["step_losses"])
    assert len(ranks[0]["step_losses"]) == len(history.step_losses) == 46  # 23 batches of 64, 2 epochs
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
