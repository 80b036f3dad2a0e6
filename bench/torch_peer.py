"""The PyTorch peer of the benchmark suite, run by bench/run.py in its own process under a
Python 3.11 venv with torch. Reads {"mode", "timing", "workloads"} as JSON on stdin, times the
same workloads (same shapes, inputs from the same seeds via bench/common.py) with
torch.set_num_threads(1), plus torch's default thread count where a workload asks for it, and
writes {"versions", "results"} as JSON on stdout. Each workload's PyTorch code is its kind's
torch_body (bench/kinds).
"""

from __future__ import annotations

import json
import platform
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402
from kinds import KINDS  # noqa: E402

import torch  # noqa: E402


def blas_info():
    try:
        from threadpoolctl import threadpool_info
    except ImportError:
        return None
    keep = ("user_api", "internal_api", "prefix", "version", "architecture", "num_threads")
    return [{k: lib.get(k) for k in keep} for lib in threadpool_info()]


def main() -> None:
    payload = json.load(sys.stdin)
    timing = payload["timing"]
    default_threads = torch.get_num_threads()
    torch.set_num_threads(1)
    results = {}
    for work in payload["workloads"]:
        torch_body = KINDS[work["kind"]].torch_body
        if torch_body is None:
            continue
        body, out = torch_body(work, timing)
        # plain `a + b` on tensors that need no gradient, as for morla_core (no torch.no_grad())
        out["torch"] = common.measure(body, timing)
        if work.get("default_threads"):
            torch.set_num_threads(default_threads)
            try:
                out["torch_default_threads"] = common.measure(body, timing)
            finally:
                torch.set_num_threads(1)
        out["torch_default_threads_count"] = default_threads
        results[work["id"]] = out
    versions = {
        "torch": torch.__version__,
        "python": platform.python_version(),
        "numpy": common.np.__version__,
        "default_threads": default_threads,
        "cpu_capability": getattr(getattr(torch.backends, "cpu", None), "get_cpu_capability", lambda: None)(),
        "mkldnn": torch.backends.mkldnn.is_available(),
        "mkl": torch.backends.mkl.is_available(),
    }
    json.dump({"versions": versions, "threadpools": blas_info(), "results": results}, sys.stdout)


if __name__ == "__main__":
    main()
