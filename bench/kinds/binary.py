"""One binary operation, `a <op> b` (element-wise or a matrix product), on tensors that need no
gradient: this module against NumPy (ml_dtypes for bfloat16) and PyTorch. Element-wise rows
show their GB/s, products their GFLOP/s.
"""

from __future__ import annotations

import math

import numpy as np

import common
import limits
from peer_rows import peer_rows

from .driver_libs import NUMPY_DTYPES, Tensor

ITEMSIZE = {"f32": 4, "f16": 2, "bf16": 2}
RATE_MIN_BYTES = 4 * common.MIB  # smaller element-wise workloads time calls, not memory: no GB/s for them
IN_CACHE_ELEMENTS = 65536  # 768 KiB of float32 operands and result: in this core's 2 MiB L2


def make_tensors(work, sources):
    if work.get("number_operand"):
        return [float(s) if s.ndim == 0 else Tensor(s, dtype=work["dtype"]) for s in sources]
    return [Tensor(s, dtype=work["dtype"]) for s in sources]


def make_numpy(work, sources):
    return [s.astype(NUMPY_DTYPES[work["dtype"]]) for s in sources]


def check(work, tensors, sources) -> float:
    """Max error of morla's result against a float32 NumPy reference, relative to its scale."""
    a, b = sources
    ops = {"add": np.add, "sub": np.subtract, "mul": np.multiply, "div": np.divide, "matmul": np.matmul}
    # the reference takes the inputs rounded to the workload's dtype
    a, b = (x.astype(NUMPY_DTYPES[work["dtype"]]).astype(np.float32) for x in (a, b))
    expected = ops[work["op"]](a, b)
    got = getattr(tensors[0], {"add": "__add__", "sub": "__sub__", "mul": "__mul__", "div": "__truediv__",
                               "matmul": "__matmul__"}[work["op"]])(tensors[1]).to_numpy()
    got = np.asarray(got, dtype=np.float32)
    if got.shape != expected.shape:
        return float("inf")
    scale = float(np.max(np.abs(expected))) or 1.0
    return float(np.max(np.abs(got - expected))) / scale


def in_cache(work, sources, timing) -> dict:
    """This module's time for the same operation on a leading slice of about IN_CACHE_ELEMENTS
    output elements, which stays in cache, and that time scaled to the full size: the arithmetic
    alone. Near the full size's time, the operation is compute-bound; far below, memory-bound."""
    out_shape = np.broadcast_shapes(*(s.shape for s in sources))
    row = math.prod(out_shape[1:])
    rows = max(1, IN_CACHE_ELEMENTS // row)
    sliced = [s[:rows] if s.ndim == len(out_shape) and s.shape[0] == out_shape[0] else s for s in sources]
    elements = rows * row
    m = common.measure(common.binary_body(*make_tensors(work, sliced), work["op"]), timing)
    return {"elements": elements, "median_s": m["median_s"],
            "scaled_s": m["median_s"] * math.prod(out_shape) / elements}


def run(work: dict, mode: str, torch=None, baseline=None) -> dict:
    """This module's figures and NumPy's, and those of the sides it is judged against, sampled
    in turn (common.measure_sides): PyTorch's (torch: its timed sides), the baseline workload's
    (this module on another dtype or operand) and, for a workload of one-object calls, the call
    floor (limits.floor_sides)."""
    from threadpoolctl import threadpool_limits

    timing = common.TIMING[mode]
    sources = common.make_inputs(work)
    out = {"fingerprint": common.fingerprint(sources)}
    tensors = make_tensors(work, sources)
    out["morla_check_rel_err"] = check(work, tensors, sources)
    sides = {"morla": common.timed(common.binary_body(*tensors, work["op"]))}
    if "numpy" in work["targets"]:
        numpy_body = common.binary_body(*make_numpy(work, sources), work["op"])
        sides["numpy"] = common.timed(numpy_body)
    if "numpy_f32_bytes" in work["targets"]:
        # NumPy's float32 add over as many bytes as the 16-bit operands and result: half the elements
        half = [np.ascontiguousarray(s.astype(np.float32).reshape(-1)[:s.size // 2]) for s in sources]
        sides["numpy_f32_bytes"] = common.timed(common.binary_body(*half, "add"))
    if baseline is not None:
        base = make_tensors(baseline, common.make_inputs(baseline))
        sides["baseline"] = common.timed(common.binary_body(*base, baseline["op"]))
    if work.get("calls"):
        sides.update(limits.floor_sides())
    sides.update(torch or {})
    with threadpool_limits(limits=1, user_api="blas"):
        out.update(common.measure_sides(sides, timing))
    limits.keep_floor(out)
    if work.get("in_cache"):
        out["morla_in_cache"] = in_cache(work, sources, timing)
    if work.get("default_threads") and "numpy" in sides:
        out["numpy_default_threads"] = common.measure(numpy_body, timing)
    return out


def volume(work) -> tuple[str, str, float] | None:
    """What one call moves or computes, as (rate unit, pattern, amount): element-wise, the bytes
    of its inputs read and its result written (STREAM's count: plain stores also read the result's
    lines first, streaming stores do not), the pattern naming how many full-size arrays stream
    (rates of one pattern compare); products, 2*m*k*n flops."""
    shapes = [tuple(s) for s in work["shapes"]]
    if work["op"] == "matmul":
        (*batch, m, k), n = shapes[0], shapes[1][-1]
        return "GFLOP/s", "GFLOP/s", 2.0 * math.prod(batch) * m * k * n
    out = math.prod(np.broadcast_shapes(*shapes))
    moved = ITEMSIZE[work["dtype"]] * (sum(map(math.prod, shapes)) + out)
    streams = 1 + sum(math.prod(s) == out for s in shapes)
    return ("GB/s", f"GB/s, {streams} streams", float(moved)) if moved >= RATE_MIN_BYTES else None


def rows(work: dict, result: dict, results: dict, torch_res: dict) -> list[tuple]:
    return peer_rows(work, result, results, torch_res, volume(work))


def torch_body(work: dict, timing: dict):
    import torch

    dtypes = {"f32": torch.float32, "f16": torch.float16, "bf16": torch.bfloat16}
    sources = common.make_inputs(work)
    tensors = [torch.from_numpy(s).to(dtypes[work["dtype"]]).contiguous() for s in sources]
    return common.binary_body(*tensors, work["op"]), {"fingerprint": common.fingerprint(sources)}
