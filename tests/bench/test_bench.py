"""The benchmark's own logic, on made-up figures: how targets are shown and judged, when a thread
scaling is no result, and the loops that measure this core's limits."""

import os
import pathlib
import platform
import shutil
import subprocess
import sys
import time

import numpy as np
import pytest

from morla import scaling

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
import common  # noqa: E402
import limits  # noqa: E402
import reasons  # noqa: E402
from kinds import threads  # noqa: E402
from load import LoadMonitor  # noqa: E402
from peer import PeerError, TorchPeer  # noqa: E402
from peer_rows import peer_rows  # noqa: E402
from workloads import WORKLOADS  # noqa: E402


def test_the_peer_side_imports_the_workloads_without_this_module():
    # The PyTorch peer's Python has neither morla_core, morla nor ml_dtypes.
    code = """
import sys
class Absent:
    def find_spec(self, name, path=None, target=None):
        if name.partition(".")[0] in ("morla", "morla_core", "ml_dtypes"):
            raise ModuleNotFoundError(f"No module named {name!r}")
sys.meta_path.insert(0, Absent())
sys.path.insert(0, sys.argv[1])
from kinds import KINDS
"""
    done = subprocess.run([sys.executable, "-c", code, str(ROOT / "bench")], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr


@pytest.mark.parametrize("target, ratio, shown, ok", [
    ([">=", 1 / 0.85], 1.177, ">= 1.18", False),  # meets the unrounded target, not the one shown
    ([">=", 1 / 0.85], 1.18, ">= 1.18", True),
    ([">=", 1 / 0.9], 1.111, ">= 1.11", True),
    (["<=", 1 / 3], 0.3334, "<= 0.333", False),
    (["<=", 0.45], 0.45, "<= 0.45", True),
])
def test_a_target_is_shown_rounded_and_judged_as_shown(target, ratio, shown, ok):
    throughput = target[0] == ">="
    work = {"id": "w", "label": "w", "op": "matmul" if throughput else "add", "dtype": "f32",
            "targets": {"numpy": target}}
    morla_s, numpy_s = (1.0, ratio) if throughput else (ratio, 1.0)
    ((row, _, _),) = peer_rows(work, {"morla": {"median_s": morla_s}, "numpy": {"median_s": numpy_s}}, {}, {})
    assert (row["target"], row["ok"]) == (shown, ok)


@pytest.mark.parametrize("slow_from_call", [0, 4 + 2 * 12, 4 + 2 * 19])
def test_sides_sampled_in_turn_keep_their_ratio_when_the_machine_slows_down(slow_from_call):
    # Two sides of a comparison, 1 ms and 3 ms a call, on a machine that gets 5 times slower after
    # a given number of calls (warm-up and calibration take 4): timed one after the other, the
    # second side would take all the slow samples.
    calls, order = [0], []

    def side(name, cost):
        def run(n):
            calls[0] += 1
            order.append(name)
            return cost * n * (5 if calls[0] > slow_from_call else 1)
        return run

    timing = {"min_sample_s": 1e-3, "budget_s": 1.0, "min_samples": 20, "max_samples": 20}
    figures = common.measure_sides({"a": side("a", 1e-3), "b": side("b", 3e-3)}, timing)
    assert figures["b"]["median_s"] / figures["a"]["median_s"] == pytest.approx(3)
    assert figures["a"]["samples"] == figures["b"]["samples"] == 20
    rounds = order[4:]
    assert rounds[:4] == ["a", "b", "b", "a"]  # the first side changes every round


@pytest.mark.parametrize("peer_code, ended", [
    ("print('a library says hello', flush=True)", True),  # out of step: no answer can be trusted
    ("raise SystemExit(3)", True),
    ("import json, sys\nsys.stdin.readline()\nprint(json.dumps({'error': 'no such kind'}), flush=True)\n"
     "sys.stdin.readline()", False),  # a failed request: the peer serves the next workload
])
def test_a_failing_peer_raises_and_a_lost_one_is_ended(tmp_path, peer_code, ended):
    python = tmp_path / "python"  # run as `python torch_peer.py`; it ignores the script
    python.write_text(f"#!{sys.executable}\n{peer_code}\n")
    python.chmod(0o755)
    peer = TorchPeer(str(python))
    with pytest.raises(PeerError):
        peer.prepare({"kind": "binary"}, {})
    assert (peer.error is not None) == ended
    peer.close()
    assert peer.proc.poll() is not None


def test_load_is_measured_beside_a_helper_that_is_gone():
    helper = subprocess.Popen([sys.executable, "-c", "pass"])
    helper.wait()
    load = LoadMonitor(helper.pid)
    time.sleep(0.1)  # some clock ticks
    assert load.foreign_cores() is not None


@pytest.mark.parametrize("figure, python_scalings, cores, why", [
    (1.70, [2.55], 2, "the machine was busy (a pure-Python loop scaled 2.55x on 2 cores)"),
    (0.96, [1.97, 1.21, 1.80], 2, "the machine was busy (a pure-Python loop scaled 1.21x on 2 cores)"),
    (0.84, [1.58], 2, "the machine was busy (a pure-Python loop scaled 1.58x on 2 cores)"),
    (2.33, [1.98, 1.96], 2, "2.33x is more than 2 cores can give"),
    (2.25, [None, None], 2, "2.25x is more than 2 cores can give"),  # with a GIL, no loop to time
    (0.84, [1.96, 2.03], 2, None),  # a quiet machine: a slow figure is a result
    (2.08, [2.0], 2, None),
    (3.3, [3.3, 3.9], 4, None),
    (1.3, [1.0], 1, "1.30x is more than 1 core can give"),  # 2 threads on one core
    (0.9, [0.98], 1, None),
])
def test_a_scaling_is_no_result_when_the_machine_was_busy_or_it_is_past_the_cores(
        figure, python_scalings, cores, why):
    assert scaling.unreliable(figure, python_scalings, cores) == why


@pytest.mark.skipif((os.process_cpu_count() or 1) < 2, reason="the rows' cases are for 2 cores")
@pytest.mark.parametrize("scaling, python_scaling, unreliable", [
    (1.68, 0.96, "the machine was busy (a pure-Python loop scaled 0.96x on 2 cores)"),
    (2.31, 1.98, "2.31x is more than 2 cores can give"),
    (1.68, 1.98, None),
])
def test_thread_rows_give_why_instead_of_an_unreliable_scaling(scaling, python_scaling, unreliable):
    work = next(w for w in WORKLOADS if w["kind"] == "threads")
    result = {"scaling": scaling, "python_loop_scaling": python_scaling, "numpy_loop_scaling": 1.5,
              "scaling_relative_to_python_loop": scaling / python_scaling,
              "one_thread_steps_per_s": 1000.0, "two_threads_steps_per_s": 1000.0 * scaling}
    judged = [(row, work, peer, target) for row, peer, target in threads.rows(work, result, {}, {})]
    reasons.give_verdicts(judged, {work["id"]: result}, {}, {})
    for row, *_ in judged:
        assert row["unreliable"] == unreliable
        if unreliable:
            assert row["ok"] is None and row["verdict"] == f"unreliable: {unreliable}"
            assert f"{scaling:.2f}" not in row["morla"] + row["peer_value"]


def compiler_builds_for_this_machine() -> bool:
    compiler = shutil.which(os.environ.get("CC", "cc"))
    if compiler is None:
        return False
    target = subprocess.run([compiler, "-dumpmachine"], capture_output=True, text=True).stdout
    return target.startswith(platform.machine())


@pytest.mark.skipif(not compiler_builds_for_this_machine(), reason="no C compiler for this machine")
@pytest.mark.parametrize("nbytes", [64, 4096 + 192])
def test_the_limits_loops_copy_exactly_and_count_the_flops_they_do(nbytes):
    lib = limits.load(limits.build())
    source = limits.aligned(nbytes)
    source[:] = np.random.default_rng(nbytes).integers(0, 256, nbytes, dtype=np.uint8)
    destination = limits.aligned(nbytes + 64)
    destination.fill(0xA5)
    lib.copy_run(destination.ctypes.data, source.ctypes.data, nbytes)
    assert np.array_equal(destination[:nbytes], source)
    assert (destination[nbytes:] == 0xA5).all()  # nothing written past the end
    lanes = {"avx512": 16, "avx2": 8, "neon": 4, "scalar": 1}[lib.fma_path().decode()]
    assert lib.fma_run(7) == 7 * 12 * 2 * lanes  # 12 chains of multiply-adds, 2 flops a lane
