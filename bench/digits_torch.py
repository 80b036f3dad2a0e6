"""The PyTorch side of the digits parity run (bench/digits.py), in its own Python 3.11 process.

Reads the path of an .npz written by bench/digits.py: the data split, the initial parameters,
each epoch's sample order and the hyperparameters. Trains the same 64-H-10 relu perceptron with
the same squared-error loss and the same SGD-with-momentum update, one thread, and writes
{"step_losses", "epoch_seconds", "test_accuracy", "versions"} as JSON on stdout. With --models K
it also trains K such models at once, as PyTorch users do: on K Python threads of this process,
and in K processes; "models" holds the wall time of each, and of one model alone.
"""

from __future__ import annotations

import argparse
import json
import multiprocessing
import platform
import sys
import threading
import time

import numpy as np
import torch


def train(plan) -> dict:
    """One model from the plan's weights, over the plan's epochs: its step losses, seconds per
    epoch and test accuracy."""
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
    smallest_normal = torch.finfo(torch.float32).tiny
    for order in plan["orders"]:
        started = time.perf_counter()
        with torch.no_grad():  # subnormal velocities to 0 once an epoch, as the main job does
            for name in names:
                velocity[name] = velocity[name] * (velocity[name].abs() >= smallest_normal)
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
    return {"step_losses": step_losses, "epoch_seconds": epoch_seconds, "test_accuracy": accuracy}


def timed_model(path: str, barrier, spans) -> None:
    """One of several models, started with the others; appends its (start, end) wall times."""
    torch.set_num_threads(1)
    plan = np.load(path)
    barrier.wait()
    start = time.time()
    train(plan)
    spans.append((start, time.time()))


def many_models(path: str, models: int, how: str) -> float:
    """Seconds from the first of `models` models' start to the last one's end, each on a Python
    thread of this process or in a process of its own."""
    if how == "threads":
        barrier, spans = threading.Barrier(models), []
        workers = [threading.Thread(target=timed_model, args=(path, barrier, spans)) for _ in range(models)]
    else:
        context = multiprocessing.get_context("spawn")
        barrier, spans = context.Barrier(models), context.Manager().list()
        workers = [context.Process(target=timed_model, args=(path, barrier, spans)) for _ in range(models)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    if len(spans) != models:
        raise SystemExit(f"{models - len(spans)} of the {how} failed")
    return max(end for _, end in spans) - min(start for start, _ in spans)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("plan")
    parser.add_argument("--models", type=int, default=0,
                        help="also time this many models at once, on threads and in processes")
    args = parser.parse_args()
    torch.set_num_threads(1)
    result = train(np.load(args.plan))
    if args.models:
        started = time.perf_counter()
        train(np.load(args.plan))  # one model alone, warm, timed as the others are
        result["models"] = {"alone": time.perf_counter() - started,
                            **{how: many_models(args.plan, args.models, how) for how in ("threads", "processes")}}
    result["versions"] = {"torch": torch.__version__, "python": platform.python_version()}
    json.dump(result, sys.stdout)


if __name__ == "__main__":
    main()
