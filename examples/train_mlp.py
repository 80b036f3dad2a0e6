"""Fits a two-layer perceptron with relu to a synthetic regression problem.

Everything differentiable runs through morla_core's autograd: the forward pass records on the
calling thread's tape, backward() seeds ones (so the objective is the sum of the per-sample
losses of a mini-batch), NumPy reduces the broadcast bias gradients, and each step builds new
parameter tensors and clears the tape. Progress is reported per epoch; where matplotlib is
installed the loss curve is saved as a PNG.

    python examples/train_mlp.py [--epochs N] [--seed S] [--plot PATH]
"""

from __future__ import annotations

import argparse
import pathlib

import numpy as np

import morla_core
from morla_core import Tensor

relu = morla_core.nn.functional.relu  # nn is an attribute, not an importable sub-package


def make_data(rng: np.random.Generator, samples: int) -> tuple[np.ndarray, np.ndarray]:
    x = rng.uniform(-2.0, 2.0, size=(samples, 2)).astype(np.float32)
    y = (np.sin(x[:, :1]) * np.cos(x[:, 1:]) + 0.5 * x[:, :1]).astype(np.float32)
    return x, y


def train(epochs: int = 100, seed: int = 0, hidden: int = 32, samples: int = 512,
          batch_size: int = 64, learning_rate: float = 0.1, log=print) -> list[float]:
    """Returns the mean squared error of each epoch (the mean over its mini-batches)."""
    rng = np.random.default_rng(seed)
    x_data, y_data = make_data(rng, samples)
    params = {
        "w1": rng.normal(0.0, 1.0 / np.sqrt(2), size=(2, hidden)).astype(np.float32),
        "b1": np.zeros(hidden, dtype=np.float32),
        "w2": rng.normal(0.0, 1.0 / np.sqrt(hidden), size=(hidden, 1)).astype(np.float32),
        "b2": np.zeros(1, dtype=np.float32),
    }
    epoch_losses = []
    for epoch in range(epochs):
        order = rng.permutation(samples)
        batch_losses = []
        for start in range(0, samples, batch_size):
            rows = order[start:start + batch_size]
            x, y = Tensor(x_data[rows]), Tensor(y_data[rows])
            t = {name: Tensor(value, requires_grad=True) for name, value in params.items()}
            prediction = relu(x @ t["w1"] + t["b1"]) @ t["w2"] + t["b2"]
            error = prediction - y
            per_sample = error * error / float(len(rows))  # backward() sums these: the batch MSE
            per_sample.backward()
            batch_losses.append(float(per_sample.to_numpy().sum()))
            for name, value in params.items():
                grad = t[name].grad()
                # gradients keep broadcast shapes: reduce the bias gradients over the batch axis
                while grad.ndim > value.ndim:
                    grad = grad.sum(axis=0)
                params[name] = value - np.float32(learning_rate) * grad
            Tensor.clear_graph()
        epoch_losses.append(float(np.mean(batch_losses)))
        if log:
            log(f"epoch {epoch + 1:3d}/{epochs}  loss {epoch_losses[-1]:.6f}")
    return epoch_losses


def save_plot(losses: list[float], path: pathlib.Path) -> bool:
    """Saves the loss curve; False when matplotlib is not installed."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    figure, axes = plt.subplots(figsize=(6, 4))
    axes.plot(range(1, len(losses) + 1), losses)
    axes.set_yscale("log")
    axes.set_xlabel("epoch")
    axes.set_ylabel("mean squared error")
    axes.set_title("Two-layer perceptron trained with morla_core")
    figure.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=100)
    plt.close(figure)
    return True


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--epochs", type=int, default=100)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--plot", type=pathlib.Path,
                        default=pathlib.Path(__file__).parent / "output" / "loss.png")
    args = parser.parse_args()
    losses = train(epochs=args.epochs, seed=args.seed)
    print(f"loss fell from {losses[0]:.6f} to {losses[-1]:.6f} ({losses[0] / losses[-1]:.1f}x)")
    if save_plot(losses, args.plot):
        print(f"loss curve: {args.plot}")
    else:
        print("matplotlib is not installed: no loss curve")


if __name__ == "__main__":
    main()
