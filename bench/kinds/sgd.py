"""One training step of a perceptron (common.sgd_shapes, of the workload's sizes) against PyTorch's, both losses
from the same inputs. Its five products are also timed alone, in both processes, to tell where
the time goes.
"""

from __future__ import annotations

from itertools import repeat

import numpy as np

import common
from peer_rows import peer_rows

from .driver_libs import Tensor, relu


def morla_body(inputs):
    """One step: parameters as tracked tensors, forward, squared error, backward(), the four
    gradients read back as NumPy arrays, the tape cleared. The update is NumPy's business."""
    names = ("w1", "b1", "w2", "b2")
    x, target = Tensor(inputs["x"]), Tensor(inputs["target"])

    def body(n):
        for _ in repeat(None, n):
            t = {k: Tensor(inputs[k], requires_grad=True) for k in names}
            err = relu(x @ t["w1"] + t["b1"]) @ t["w2"] + t["b2"] - target
            (err * err).backward()
            for k in names:
                t[k].grad()
            Tensor.clear_graph()

    def loss():
        t = {k: Tensor(inputs[k]) for k in names}
        err = (relu(x @ t["w1"] + t["b1"]) @ t["w2"] + t["b2"] - target).to_numpy()
        return float((err.astype(np.float64) ** 2).sum())

    return body, loss


def run(work: dict, mode: str, torch=None, baseline=None) -> dict:
    """This module's step and its products alone, sampled in turn with PyTorch's (torch: its
    timed sides)."""
    timing = common.TIMING[mode]
    inputs = common.make_sgd_inputs(work["seed"], work["sizes"])
    body, loss = morla_body(inputs)
    pairs = [(Tensor(a), Tensor(b)) for a, b in common.sgd_products(inputs)]
    sides = {"morla": common.timed(body), "morla_products": common.timed(common.products_body(pairs)),
             **(torch or {})}
    return {"fingerprint": common.fingerprint(list(inputs.values())), "morla_loss": loss(),
            **common.measure_sides(sides, timing)}


def rows(work: dict, result: dict, results: dict, torch_res: dict) -> list[tuple]:
    return peer_rows(work, result, results, torch_res)


def torch_body(work: dict, timing: dict):
    """The training step as a PyTorch user writes it: leaf parameters that require gradients,
    forward, squared error, backward from ones, the four gradients read as NumPy arrays and
    dropped for the next step."""
    import torch
    import torch.nn.functional as F

    inputs = common.make_sgd_inputs(work["seed"], work["sizes"])
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

    pairs = [(torch.from_numpy(a), torch.from_numpy(b)) for a, b in common.sgd_products(inputs)]
    return ({"torch": body, "torch_products": common.products_body(pairs)},
            {"fingerprint": common.fingerprint(list(inputs.values())), "loss": loss()})
