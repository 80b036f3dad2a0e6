"""The benchmark's workloads, their targets and the reasons a miss may have: everything about a
workload lives in its entry here. Only the standard library is used, so that the entries go to the
PyTorch peer's process as they are.

targets: peer -> (direction, value); "<=" rows compare times (morla / peer), ">=" rows throughput
(peer time / morla time). Peer "morla_f32" ("morla_f16", "morla_number") is this module's own run
of the workload named by "baseline". number_operand: the rank-0 operand is given as a Python number
(the scalar operator). why: peer -> the name of a reason in reasons.REASONS that the row shows if it
misses; each reason checks itself against the run's own figures. in_cache: also time this module on
a slice that stays in cache, which tells a memory-bound operation from a compute-bound one. calls:
how many calls into C that make one object a run of the workload is (the chain's backward pass
counted in with its operations), to set its time against the least such a call takes. kind:
the module of bench/kinds that runs the workload and builds its rows.
"""

from __future__ import annotations

N4M = 4 * 1024 * 1024


def _binary(id_, label, op, dtype, shapes, seed, targets, why=None, **extra):
    return {"id": id_, "label": label, "kind": "binary", "op": op, "dtype": dtype,
            "shapes": shapes, "seed": seed, "targets": targets, "why": why or {}, **extra}


def _elementwise(id_, label, op, dtype, shapes, seed, targets, why=None, **extra):
    """Against NumPy (ml_dtypes for bfloat16) and PyTorch; a miss may be for the bound hit."""
    return _binary(id_, label, op, dtype, shapes, seed, targets,
                   {"numpy": "bound", "torch": "bound", **(why or {})}, in_cache=True, **extra)


def _vs(numpy_target, torch_target, **more):
    return {"numpy": ["<=", numpy_target], "torch": ["<=", torch_target], **more}


# 16-bit operations against PyTorch. Both sides are at a bound of this machine, so a target can
# ask no more than the bound leaves (the figures are this machine's, a 2-core AVX-512 Xeon VM):
# - add, mul: memory-bound. Ours stream 33-36 GB/s (bytes in + out / time) with streaming stores,
#   as fast as our float32 ones (the arithmetic alone, timed in cache, is half the time or less);
#   PyTorch's float16 ones 24-27 GB/s with plain stores, which also read each line of the result
#   first: a third more traffic at the same bandwidth. So 0.75 is the floor; 0.8 stays (0.71-0.79
#   measured), and a run that misses it shows the two rates. bfloat16 had 0.6: moving the bytes
#   alone takes our float16 time, 0.56-0.69 of PyTorch's bfloat16 one (1.11-1.25 ms, 20-23 GB/s),
#   so 0.6 sat on the bound itself; restated as 0.8, as for float16. bfloat16's own cost is held
#   by its target against float16, below.
# - div: bound by the divider. 4M exact quotients take 0.9 ms with the data in cache as out of
#   it (float32 lanes, so float16 and bfloat16 alike); PyTorch's float16 division 0.94-0.99 ms,
#   its bfloat16 one 1.18-1.30 ms. 0.8 and 0.6 of those (0.75, 0.71 ms) are below what the
#   divider allows; restated as parity within 10%, as for float32 against peers at their bound.
SIXTEEN_BIT_VS_TORCH = 0.8
DIVISION_VS_TORCH = 1.1
# bfloat16 at float16's speed: the narrowing must not cost more than F16C's. A goal still
# pursued; bfloat16 is rounded with integer arithmetic, compute work wherever the data sits.
BF16_VS_F16 = 1.15

# The float32 product at 0.85 of NumPy's time and 0.9 of PyTorch's: past both, toward this
# core's peak. A goal; a miss shows how fast each side multiplies.
MATMUL_VS_NUMPY, MATMUL_VS_TORCH = 1 / 0.85, 1 / 0.9
# 16-bit add, mul and div move 24 MB for 4M elements: as fast as NumPy's float32 add over the
# same 24 MB (2M elements), within 5%.
SIXTEEN_BIT_VS_F32_BYTES = {"numpy_f32_bytes": ["<=", 1.05]}
SIXTEEN_BIT_BOUND = {"numpy_f32_bytes": "bound"}

WORKLOADS = [
    _binary("add_1_f32", "a + b, [1] f32, untracked (loop)", "add", "f32", [[1], [1]], 1,
            {"numpy": ["<=", 0.45], "torch": ["<=", 0.15]}, calls=1),
    {"id": "chain50_backward", "label": "50 chained ops on [8] f32 + backward()", "kind": "chain",
     "dtype": "f32", "shapes": [[8]], "seed": 2, "targets": {"torch": ["<=", 0.25]}, "why": {},
     "calls": 50},
    # Goals still pursued: a small model, and the main job's (examples/train_digits.py). Their
    # five products are also timed alone, in both processes, to tell where the time goes.
    {"id": "sgd_step_64", "label": "training step, 64-128-10 relu MLP, batch 64", "kind": "sgd",
     "dtype": "f32", "seed": 6, "sizes": [64, 64, 128, 10], "targets": {"torch": ["<=", 0.25]},
     "why": {"torch": "products"}},
    {"id": "sgd_step_main", "label": "training step, 64-1024-10 relu MLP, batch 128 (the main job's)",
     "kind": "sgd", "dtype": "f32", "seed": 7, "sizes": [128, 64, 1024, 10], "targets": {"torch": ["<=", 0.7]},
     "why": {"torch": "products"}},
    _elementwise("add_4m_f32", "add 4M f32", "add", "f32", [[N4M], [N4M]], 3, _vs(1.1, 1.1)),
    _elementwise("mul_4m_f32", "mul 4M f32", "mul", "f32", [[N4M], [N4M]], 4, _vs(1.1, 1.1)),
    # A one-element operand of lower rank runs as fast as the number it holds would.
    _binary("add_number_4m_f32", "a + 2.0, 4M f32 (the scalar operator)", "add", "f32", [[N4M], []], 6,
            {"numpy": ["<=", 1.1]}, number_operand=True),
    _binary("add_rank0_4m_f32", "a + Tensor(2.0), 4M f32 (rank 0)", "add", "f32", [[N4M], []], 6,
            {"morla_number": ["<=", 1.1]}, baseline="add_number_4m_f32"),
    _elementwise("add_bcast_2048_f32", "[2048,2048] + [2048] f32", "add", "f32", [[2048, 2048], [2048]], 5,
                 _vs(1.1, 1.0)),
    *(_elementwise(f"{op}_4m_f16", f"{op} 4M f16", op, "f16", [[N4M], [N4M]], seed,
                   _vs(0.2, DIVISION_VS_TORCH if op == "div" else SIXTEEN_BIT_VS_TORCH, **SIXTEEN_BIT_VS_F32_BYTES),
                   SIXTEEN_BIT_BOUND)
      for op, seed in (("add", 10), ("mul", 11), ("div", 12))),
    *(_elementwise(f"{op}_4m_bf16", f"{op} 4M bf16", op, "bf16", [[N4M], [N4M]], seed,
                   _vs(0.2, DIVISION_VS_TORCH if op == "div" else SIXTEEN_BIT_VS_TORCH,
                       morla_f16=["<=", BF16_VS_F16], **SIXTEEN_BIT_VS_F32_BYTES),
                   {"morla_f16": "narrowing", **SIXTEEN_BIT_BOUND}, baseline=f"{op}_4m_f16")
      for op, seed in (("add", 13), ("mul", 14), ("div", 15))),
    # Goals still pursued; a miss says how fast each side multiplies.
    _binary("matmul_1024_f32", "matmul [1024]^3 f32", "matmul", "f32", [[1024, 1024], [1024, 1024]], 20,
            {"numpy": [">=", MATMUL_VS_NUMPY], "torch": [">=", MATMUL_VS_TORCH]},
            {"numpy": "kernel", "torch": "kernel"}, default_threads=True),
    _binary("bmm_64_f32", "matmul [64,64,64] @ [64,64,64] f32", "matmul", "f32",
            [[64, 64, 64], [64, 64, 64]], 21, {"numpy": [">=", 1 / 0.9], "torch": [">=", 1 / 0.8]},
            {"numpy": "kernel", "torch": "kernel"}, default_threads=True),
    _binary("matmul_1024_f16", "matmul [1024]^3 f16", "matmul", "f16", [[1024, 1024], [1024, 1024]], 20,
            {"morla_f32": [">=", 0.8]}, baseline="matmul_1024_f32"),
    _binary("matmul_1024_bf16", "matmul [1024]^3 bf16", "matmul", "bf16", [[1024, 1024], [1024, 1024]], 20,
            {"morla_f32": [">=", 0.8]}, baseline="matmul_1024_f32"),
    # 2 threads against 1, and that scaling against a pure-Python loop's measured beside it. A
    # goal: the module is for free-threaded Python. NumPy's version of the loop, timed in the same
    # rounds, tells what array code gets from this VM's second core at the time.
    {"id": "threads_mlp", "label": "MLP training steps, 2 threads vs 1", "kind": "threads",
     "targets": {"morla_1_thread": [">=", 1.8], "python_loop": [">=", 0.9]},
     "why": {"morla_1_thread": "second_core", "python_loop": "array_code"}},
    {"id": "mem_add_4m_f16", "label": "peak RSS rise, 4M f16 add", "kind": "memory",
     "targets": {"budget": ["<=", 0.0]}, "why": {}},
]
