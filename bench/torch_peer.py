"""The PyTorch peer of the benchmark suite, run by bench/run.py in its own process under a
Python 3.11 venv with torch, for the whole run. It times the same workloads (same shapes, inputs
from the same seeds via bench/common.py) with torch.set_num_threads(1), one sample at a time as
the driver asks, so that its samples alternate with the driver's own (bench/peer.py). Each
workload's PyTorch code is its kind's torch_body (bench/kinds).

One JSON request a line on stdin, one JSON answer a line on stdout:
    {"op": "prepare", "work": ..., "timing": ...}  -> {"record": ..., "sides": [names]}: the
                                                      workload's bodies are built (a kind's
                                                      torch_body gives one, "torch", or several
                                                      by name) and its record made
    {"op": "time", "side": name, "n": N}           -> {"s": seconds}: N calls of that body
    {"op": "default_threads", "timing": ...}       -> {"stats": ...}: the "torch" body timed alone
                                                      with torch's default thread count
    {"op": "versions"}                             -> {"versions": ..., "threadpools": ...}
A request that fails is answered {"error": traceback}. Anything else written to stdout (by torch,
say) goes to stderr. The collector is off from a workload's
prepare to the next request of another kind than "time".
"""

from __future__ import annotations

import gc
import json
import os
import platform
import sys
import time
import traceback
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
    # The answers go out on a copy of stdout; what libraries print goes to stderr, so that no
    # stray line can come between a request and its answer.
    answers = os.fdopen(os.dup(1), "w")
    os.dup2(2, 1)
    sys.stdout = sys.stderr
    default_threads = torch.get_num_threads()
    torch.set_num_threads(1)
    bodies = {}
    for line in sys.stdin:
        request = json.loads(line)
        op = request["op"]
        if op != "time":
            gc.enable()
        try:
            if op == "prepare":
                work = request["work"]
                body, record = KINDS[work["kind"]].torch_body(work, request["timing"])
                bodies = body if isinstance(body, dict) else {"torch": body}
                record["torch_default_threads_count"] = default_threads
                gc.collect()
                gc.disable()
                answer = {"record": record, "sides": list(bodies)}
            elif op == "time":
                t0 = time.perf_counter()
                bodies[request["side"]](request["n"])
                answer = {"s": time.perf_counter() - t0}
            elif op == "default_threads":
                torch.set_num_threads(default_threads)
                try:
                    answer = {"stats": common.measure(bodies["torch"], request["timing"])}
                finally:
                    torch.set_num_threads(1)
            elif op == "versions":
                answer = {"versions": {
                    "torch": torch.__version__,
                    "python": platform.python_version(),
                    "numpy": common.np.__version__,
                    "default_threads": default_threads,
                    "cpu_capability": getattr(getattr(torch.backends, "cpu", None), "get_cpu_capability",
                                              lambda: None)(),
                    "mkldnn": torch.backends.mkldnn.is_available(),
                    "mkl": torch.backends.mkl.is_available(),
                }, "threadpools": blas_info()}
            else:
                answer = {"error": f"unknown request {op!r}"}
        except Exception:  # noqa: BLE001 (the driver reports it)
            answer = {"error": traceback.format_exc()}
        answers.write(json.dumps(answer) + "\n")
        answers.flush()


if __name__ == "__main__":
    main()
