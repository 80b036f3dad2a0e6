"""The PyTorch side of the digits parity run (bench/digits.py), in its own Python 3.11 process.

Reads the path of an .npz written by bench/digits.py: the data split, the initial parameters,
each epoch's sample order and the hyperparameters. Trains the same 64-H-10 relu perceptron with
the same squared-error loss and the same SGD-with-momentum update, one thread, and writes
{"step_losses", "epoch_seconds", "test_accuracy", "versions"} as JSON on stdout.
"""

from __future__ import annotations

import json
import platform
import sys
import time

import numpy as np
import torch


def main() -> None:
    plan = np.load(sys.argv[1])
    torch.set_num_threads(1)
    x_train = torch.from_numpy(plan["x_train"])
    x_test = torch.from_numpy(plan["x_test"])
    targets = torch.from_numpy(np.eye(10, dtype=np.float32)[plan["y_train"]])
    names = ["w1", "b1", "w2", "b2"]
    params = {name: torch.from_numpy(plan[name].copy()) for name in names}
    velocity = {name: torch.zeros_like(value) for name, value in params.items()}
    batch = int(plan["batch"])
    lr = torch.tensor(float(plan["learning_rate"]), dtype=torch.float32)
    mu = torch.tensor(float(plan["momentum"]), dtype=torch.float32)
    step_losses, epoch_seconds = [], []
    for order in plan["orders"]:
        started = time.perf_counter()
        order = torch.from_numpy(order)
        for start in range(0, len(order), batch):
            rows = order[start:start + batch]
            scale = 1.0 / len(rows)
            tracked = {name: value.clone().requires_grad_(True) for name, value in params.items()}
            hidden = torch.relu(x_train[rows] @ tracked["w1"] + tracked["b1"])
            error = hidden @ tracked["w2"] + tracked["b2"] - targets[rows]
            loss = error * error * scale
            loss.backward(torch.ones_like(loss))  # the gradient of the sum, as morla's backward()
            step_losses.append(float(loss.detach().double().sum()))
            with torch.no_grad():
                for name in names:
                    velocity[name] = mu * velocity[name] + tracked[name].grad
                    params[name] = params[name] - lr * velocity[name]
        epoch_seconds.append(time.perf_counter() - started)
    with torch.no_grad():
        logits = torch.relu(x_test @ params["w1"] + params["b1"]) @ params["w2"] + params["b2"]
        accuracy = float((logits.argmax(dim=1).numpy() == plan["y_test"]).mean())
    json.dump({"step_losses": step_losses, "epoch_seconds": epoch_seconds, "test_accuracy": accuracy,
               "versions": {"torch": torch.__version__, "python": platform.python_version()}},
              sys.stdout)


if __name__ == "__main__":
    main()
