"""A chain of common.CHAIN_LENGTH small tracked operations and backward(): the tape's own cost,
against PyTorch, whose gradients must agree with this module's.
"""

from __future__ import annotations

from itertools import repeat

import numpy as np

import common
import limits
from peer_rows import peer_rows

from .driver_libs import Tensor, relu


def morla_body(xs):
    T = Tensor

    def body(n):
        for _ in repeat(None, n):
            x = T(xs, requires_grad=True)
            y = x
            for _ in range(common.CHAIN_LENGTH // len(common.CHAIN_CYCLE)):
                y = y * 1.01
                y = y + x
                y = y - 0.5
                y = relu(y)
                y = y / 1.5
            y.backward()
            T.clear_graph()

    def grad():
        x = T(xs, requires_grad=True)
        y = x
        for _ in range(common.CHAIN_LENGTH // len(common.CHAIN_CYCLE)):
            y = relu(y * 1.01 + x - 0.5) / 1.5
        y.backward()
        g = x.grad()
        T.clear_graph()
        return [float(v) for v in np.asarray(g).ravel()]

    return body, grad


def run(work: dict, mode: str, torch=None, baseline=None) -> dict:
    """This module's chain, sampled in turn with PyTorch's (torch: its timed sides) and the call
    floor (limits.floor_sides)."""
    (xs,) = common.make_inputs(work)
    body, grad = morla_body(xs)
    sides = {"morla": common.timed(body), **limits.floor_sides()}
    sides.update(torch or {})
    out = {"fingerprint": common.fingerprint([xs]), "morla_grad": grad(),
           **common.measure_sides(sides, common.TIMING[mode])}
    limits.keep_floor(out)
    return out


def rows(work: dict, result: dict, results: dict, torch_res: dict) -> list[tuple]:
    return peer_rows(work, result, results, torch_res)


def torch_body(work: dict, timing: dict):
    import torch
    import torch.nn.functional as F

    (xs,) = common.make_inputs(work)

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

    return body, {"fingerprint": common.fingerprint([xs]), "grad": grad()}
