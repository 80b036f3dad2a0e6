"""The rise of the peak resident set size over one 4M-element float16 add, this module's and
NumPy's, each in a fresh process (the driver run with --probe memory LIB), against a budget of
the output plus 1 MiB. PyTorch has no part in it.
"""

from __future__ import annotations

import json
import subprocess
import sys
from pathlib import Path

import numpy as np

from common import MIB
from workloads import N4M

from .driver_libs import Tensor

DRIVER = Path(__file__).resolve().parent.parent / "run.py"


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def probe(lib: str) -> dict:
    """Runs in a fresh process: builds the inputs, then measures the RSS high-water mark rise of one add."""
    n = N4M
    small = np.ones(16, np.float16)
    if lib == "morla":
        (Tensor(small, dtype="f16") + Tensor(small, dtype="f16")).to_numpy()  # first-use set-up
    else:
        small + small
    rss_start = _status_kib("VmRSS")
    # Inputs built in chunks so that no large temporary raises the high-water mark above the RSS.
    rng = np.random.default_rng(30)
    sources = []
    for _ in range(2):
        a = np.empty(n, np.float16)
        for i in range(0, n, 65536):
            a[i:i + 65536] = rng.random(65536, dtype=np.float32) * 2 - 1
        sources.append(a)
    inputs = [Tensor(s, dtype="f16") for s in sources] if lib == "morla" else sources
    # Linux resets VmHWM to the current RSS on writing 5 to clear_refs; where that is refused the
    # mark left by building the inputs stays, and hwm_slack says by how much it exceeds the RSS.
    reset = False
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        reset = True
    except OSError:
        pass
    rss_before, hwm_before = _status_kib("VmRSS"), _status_kib("VmHWM")
    out = inputs[0] + inputs[1]
    hwm_after, rss_after = _status_kib("VmHWM"), _status_kib("VmRSS")
    del out
    rise = max(hwm_after - rss_before, 0)
    return {
        "lib": lib, "hwm_reset": reset,
        "rss_start_kib": rss_start, "rss_before_add_kib": rss_before, "hwm_before_add_kib": hwm_before,
        "hwm_after_add_kib": hwm_after, "rss_after_add_kib": rss_after,
        "hwm_slack_before_add_kib": hwm_before - rss_before,
        "inputs_resident_mib": (rss_before - rss_start) / 1024,
        "peak_rise_mib": rise / 1024,
        "peak_rise_exact": hwm_before <= rss_before or hwm_after > hwm_before,
        "output_mib": n * 2 / MIB,
    }


def run(work: dict, mode: str, torch=None, baseline=None) -> dict:
    out = {}
    for lib in ("morla", "numpy"):
        proc = subprocess.run([sys.executable, str(DRIVER), "--probe", "memory", lib],
                              capture_output=True, text=True, check=False)
        if proc.returncode != 0:
            out[lib] = {"error": proc.stderr.strip()[-2000:]}
        else:
            out[lib] = json.loads(proc.stdout)
    budget = out.get("morla", {}).get("output_mib", 8.0) + 1.0
    out["budget_mib"] = budget
    if "peak_rise_mib" in out.get("morla", {}):
        out["over_budget_mib"] = out["morla"]["peak_rise_mib"] - budget
    return out


def rows(work: dict, result: dict, results: dict, torch_res: dict) -> list[tuple]:
    m, n = result.get("morla", {}), result.get("numpy", {})
    over = result.get("over_budget_mib")
    row = {
        "workload": work["label"], "id": work["id"], "peer": "budget",
        "morla": f"{m['peak_rise_mib']:.2f} MiB" if "peak_rise_mib" in m else "error",
        "peer_value": f"{result['budget_mib']:.0f} MiB (NumPy {n['peak_rise_mib']:.2f})" if "peak_rise_mib" in n
        else f"{result['budget_mib']:.0f} MiB",
        "ratio": over, "ratio_kind": "MiB over budget", "target": "<= 0 MiB over",
        "ok": None if over is None else over <= 0.0,
    }
    return [(row, "budget", work["targets"]["budget"])]


torch_body = None  # no PyTorch peer
