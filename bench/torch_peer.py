"""The PyTorch peer of the benchmark suite, run by bench/run.py in its own process under a
Python 3.11 venv with torch. Reads {"mode", "timing", "workloads"} as JSON on stdin, times the
same workloads (same shapes, inputs from the same seeds via bench/common.py) with
torch.set_num_threads(1), plus torch's default thread count where a workload asks for it, and
writes {"versions", "results"} as JSON on stdout.
"""

from __future__ import annotations

import json
import platform
import sys
from itertools import repeat
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import common  # noqa: E402

import torch  # noqa: E402
import torch.nn.functional as F  # noqa: E402

DTYPES = {"f32": torch.float32, "f16": torch.float16, "bf16": torch.bfloat16}


def chain_body(xs):
    def body(n):
        for _ in repeat(None, n):
            x = torch.tensor(xs, requires_grad=True)
            y = x
            for _ in range(common.CHAIN_LENGTH // len(common.CHAIN_CYCLE)):
                y = y * 1.01
                y = y + x
                y = y - 0.5
                y = F.relu(y)
                y = y / 1.5
            y.backward(torch.ones_like(y))
            # x is made afresh each iteration, so there is no gradient to zero

    def grad():
        x = torch.tensor(xs, requires_grad=True)
        y = x
        for _ in range(common.CHAIN_LENGTH // len(common.CHAIN_CYCLE)):
            y = F.relu(y * 1.01 + x - 0.5) / 1.5
        y.backward(torch.ones_like(y))
        return [float(v) for v in x.grad.ravel()]

    return body, grad


def sgd_body(inputs):
    """The training step as a PyTorch user writes it: leaf parameters that require gradients,
    forward, squared error, backward from ones, the four gradients read as NumPy arrays and
    dropped for the next step."""
    names = ("w1", "b1", "w2", "b2")
    x, target = torch.from_numpy(inputs["x"]), torch.from_numpy(inputs["target"])
    params = {k: torch.from_numpy(inputs[k].copy()).requires_grad_(True) for k in names}

    def body(n):
        for _ in repeat(None, n):
            err = F.relu(x @ params["w1"] + params["b1"]) @ params["w2"] + params["b2"] - target
            loss = err * err
            loss.backward(torch.ones_like(loss))
            for k in names:
                params[k].grad.numpy()
                params[k].grad = None

    def loss():
        with torch.no_grad():
            err = F.relu(x @ params["w1"] + params["b1"]) @ params["w2"] + params["b2"] - target
        return float((err.double() ** 2).sum())

    return body, loss


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
        sources = common.make_inputs(work) if "shapes" in work else []
        out = {"fingerprint": common.fingerprint(sources)}
        if work["kind"] == "chain":
            body, grad = chain_body(sources[0])
            out["grad"] = grad()
        elif work["kind"] == "sgd":
            inputs = common.make_sgd_inputs(work["seed"])
            out["fingerprint"] = common.fingerprint(list(inputs.values()))
            body, loss = sgd_body(inputs)
            out["loss"] = loss()
            pairs = [(torch.from_numpy(a), torch.from_numpy(b)) for a, b in common.sgd_products(inputs)]
            out["torch_products"] = common.measure(common.products_body(pairs), timing)
        elif work["kind"] == "binary":
            tensors = [torch.from_numpy(s).to(DTYPES[work["dtype"]]).contiguous() for s in sources]
            body = common.binary_body(*tensors, work["op"])
        else:
            continue
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
