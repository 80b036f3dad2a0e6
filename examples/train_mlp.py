"""Fits a two-layer perceptron with relu to a synthetic regression problem.

Everything differentiable runs through morla_core's autograd: the forward pass records on the
calling thread's tape, backward() seeds ones (so the objective is the sum of the per-sample
losses), NumPy reduces the broadcast bias gradients, and each step builds new parameter tensors
and clears the tape.

    python examples/train_mlp.py [--steps N] [--seed S]
"""

from __future__ import annotations

import argparse

import numpy as np

import morla_core
from morla_core import Tensor

relu = morla_core.nn.functional.relu  # nn is an attribute, not an importable sub-package


def make_data(rng: np.random.Generator, samples: int) -> tuple[np.ndarray, np.ndarray]:
    x = rng.uniform(-2.0, 2.0, size=(samples, 2)).astype(np.float32)
    y = (np.sin(x[:, :1]) * np.cos(x[:, 1:]) + 0.5 * x[:, :1]).astype(np.float32)
    return x, y


def train(steps: int = 1000, seed: int = 0, hidden: int = 32, samples: int = 256,
          learning_rate: float = 0.1, report_every: int = 100, log=print) -> list[float]:
    rng = np.random.default_rng(seed)
    x_data, y_data = make_data(rng, samples)
    params = {
        "w1": rng.normal(0.0, 1.0 / np.sqrt(2), size=(2, hidden)).astype(np.float32),
        "b1": np.zeros(hidden, dtype=np.float32),
        "w2": rng.normal(0.0, 1.0 / np.sqrt(hidden), size=(hidden, 1)).astype(np.float32),
        "b2": np.zeros(1, dtype=np.float32),
    }
    x, y = Tensor(x_data), Tensor(y_data)
    losses = []
    for step in range(steps):
        t = {name: Tensor(value, requires_grad=True) for name, value in params.items()}
        hidden_out = relu(x @ t["w1"] + t["b1"])
        prediction = hidden_out @ t["w2"] + t["b2"]
        error = prediction - y
        per_sample = error * error / float(samples)  # backward() sums these: the mean squared error
        per_sample.backward()
        loss = float(per_sample.to_numpy().sum())
        losses.append(loss)
        for name, value in params.items():
            grad = t[name].grad()
            # gradients keep broadcast shapes: reduce the bias gradients over the batch axis
            while grad.ndim > value.ndim:
                grad = grad.sum(axis=0)
            params[name] = value - np.float32(learning_rate) * grad
        Tensor.clear_graph()
        if log and (step % report_every == 0 or step == steps - 1):
            log(f"step {step:4d}  loss {loss:.6f}")
    return losses


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--steps", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    losses = train(steps=args.steps, seed=args.seed)
    print(f"loss fell from {losses[0]:.6f} to {losses[-1]:.6f} ({losses[0] / losses[-1]:.1f}x)")


if __name__ == "__main__":
    main()
