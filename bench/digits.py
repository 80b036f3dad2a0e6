"""The main job beside PyTorch: the digits perceptron of examples/train_digits.py, trained by
this module (1 thread and N threads) and by PyTorch (1 thread, bench/digits_torch.py in its own
Python 3.11 process) from the same initial weights over the same mini-batches with the same
update rule. Reports the per-step loss agreement over the first steps, the final test accuracies
and the time per epoch; the speedup of N threads beside a pure-Python loop's, timed before and
after each run; and the throughput of N models trained at once (the main job's --models) beside
PyTorch's N models on N Python threads and in N processes. A speedup or throughput whose runs
the machine did not give its cores reads "unreliable" and why (morla.scaling).

    python bench/digits.py [--torch-python PATH] [--threads N] [--epochs E] [--out FILE]
"""

from __future__ import annotations

import argparse
import importlib.util
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
from morla import scaling  # noqa: E402
EXAMPLE = HERE.parent / "examples" / "train_digits.py"
COMPARED_STEPS = 200
TOLERANCE = 1e-4  # largest relative difference of a step's loss between the two


def load_example():
    found = importlib.util.spec_from_file_location("train_digits", EXAMPLE)
    module = importlib.util.module_from_spec(found)
    sys.modules["train_digits"] = module
    found.loader.exec_module(module)
    return module


def per_epoch(seconds: list[float]) -> float:
    """The median epoch after the first, which includes the warm-up."""
    return float(np.median(seconds[1:] or seconds))


def run_torch(torch_python: str, example, data, settings: dict, models: int) -> dict:
    params, orders = example.schedule(settings["seed"], settings["hidden"], len(data.x_train),
                                      settings["epochs"])
    with tempfile.TemporaryDirectory() as tmp:
        plan = Path(tmp) / "plan.npz"
        np.savez(plan, x_train=data.x_train, y_train=data.y_train, x_test=data.x_test,
                 y_test=data.y_test, orders=np.stack(orders), batch=settings["batch"],
                 learning_rate=settings["learning_rate"], momentum=settings["momentum"], **params)
        try:
            proc = subprocess.run([torch_python, str(HERE / "digits_torch.py"), str(plan), "--models", str(models)],
                                  capture_output=True, text=True, check=False)
        except OSError as error:
            return {"error": f"could not start {torch_python}: {error}"}
    if proc.returncode != 0:
        return {"error": f"torch side exited {proc.returncode}: {proc.stderr.strip()[-2000:]}"}
    return json.loads(proc.stdout)


def main() -> None:
    example = load_example()
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--torch-python", help="python of the venv with torch (default: "
                        "$MORLA_CACHE/venv-torch/bin/python when it exists)")
    parser.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    parser.add_argument("--epochs", type=int, default=example.DEFAULTS["epochs"])
    parser.add_argument("--out", type=Path, default=HERE / "digits.json")
    args = parser.parse_args()
    torch_python = args.torch_python
    if not torch_python:
        default = Path(os.environ.get("MORLA_CACHE", Path.home() / ".cache/morla")) / "venv-torch/bin/python"
        torch_python = str(default) if default.exists() else None

    settings = {**example.DEFAULTS, "epochs": args.epochs}
    data = example.load_data(settings["seed"])
    models = max(args.threads, 2)
    # A pure-Python loop's scaling on as many threads as the runs use, before the first run and
    # after each: a figure is judged by the checks on either side of its runs.
    checks = [scaling.python_loop_scaling(models)]
    runs = {}
    for threads in sorted({1, args.threads}):
        params, history = example.train(data, threads=threads, progress=False, **settings)
        runs[threads] = {"step_losses": history.step_losses, "epoch_seconds": history.epoch_seconds,
                         "test_accuracy": history.accuracies[-1]}
        checks.append(scaling.python_loop_scaling(models))
    started = time.perf_counter()
    example.train(data, threads=1, progress=False, **settings)  # one model alone, timed as the others are
    alone = time.perf_counter() - started
    checks.append(scaling.python_loop_scaling(models))
    histories, together = example.train_models(data, models, **settings)
    checks.append(scaling.python_loop_scaling(models))
    torch_run = (run_torch(torch_python, example, data, settings, models) if torch_python
                 else {"error": "no torch venv"})
    checks.append(scaling.python_loop_scaling(models))
    compare_checks, morla_models_checks, torch_checks = checks[:-3], checks[-4:-1], checks[-2:]

    one, many = runs[1], runs[args.threads]
    report = {"settings": settings, "threads": args.threads, "morla": {str(k): v for k, v in runs.items()},
              "morla_models": {"models": models, "seconds": together, "alone_s": alone,
                               "test_accuracies": [h.accuracies[-1] for h in histories]},
              "torch": torch_run}
    rows = [("morla, 1 thread", per_epoch(one["epoch_seconds"]), one["test_accuracy"]),
            (f"morla, {args.threads} threads", per_epoch(many["epoch_seconds"]), many["test_accuracy"])]
    if "error" not in torch_run:
        ours = np.asarray(one["step_losses"][:COMPARED_STEPS])
        theirs = np.asarray(torch_run["step_losses"][:COMPARED_STEPS])
        report["max_relative_loss_difference"] = float(np.max(np.abs(ours - theirs) / np.abs(theirs)))
        report["compared_steps"] = int(len(ours))
        rows.append(("PyTorch, 1 thread", per_epoch(torch_run["epoch_seconds"]), torch_run["test_accuracy"]))
    print(f"digits, 64-{settings['hidden']}-10 relu, batches of {settings['batch']}, "
          f"{settings['epochs']} epochs")
    print(f"{'':22} {'ms per epoch':>12} {'test accuracy':>14}")
    for name, seconds, accuracy in rows:
        print(f"{name:22} {1000 * seconds:12.2f} {100 * accuracy:13.1f}%")
    speedup = per_epoch(one["epoch_seconds"]) / per_epoch(many["epoch_seconds"])
    python_speedup = statistics.median(compare_checks)
    report["python_loop_scalings"] = checks
    report["speedup"], report["python_loop_speedup"] = speedup, python_speedup
    report["speedup_unreliable"] = scaling.unreliable(speedup, compare_checks, scaling.cores_for(args.threads))
    if report["speedup_unreliable"]:
        print(f"speedup of morla with {args.threads} threads: unreliable: {report['speedup_unreliable']}")
    else:
        print(f"speedup of morla with {args.threads} thread{'s' if args.threads != 1 else ''}: "
              f"{speedup:.2f}x; a pure-Python loop's, timed before and after each run: {python_speedup:.2f}x; "
              f"the main job gets {speedup / python_speedup:.2f} of it (goal: 0.85)")
    # N models at once, as model-epochs per second; one model alone is the 1-thread run above.
    print(f"{models} models at once, {settings['epochs']} epochs each (throughput against one model alone):")
    lines = [("morla, threads", together, alone, morla_models_checks)]
    if "error" not in torch_run:
        timed = dict(torch_run["models"])
        torch_alone = timed.pop("alone")
        lines += [(f"PyTorch, {how}", seconds, torch_alone, torch_checks) for how, seconds in timed.items()]
    report["models_seconds"], report["models_unreliable"] = {}, {}
    for name, seconds, one_model, around in lines:
        throughput = models * one_model / seconds
        why = scaling.unreliable(throughput, around, scaling.cores_for(models))
        print(f"  {name:20} {seconds:7.2f} s  {models * settings['epochs'] / seconds:8.1f} model-epochs/s  "
              + (f"unreliable: {why}" if why else f"{throughput:.2f}x"))
        report["models_seconds"][name], report["models_unreliable"][name] = seconds, why
    if "error" in torch_run:
        print(f"PyTorch: {torch_run['error']}")
    else:
        print(f"PyTorch / morla (1 thread), time per epoch: "
              f"{per_epoch(torch_run['epoch_seconds']) / per_epoch(one['epoch_seconds']):.2f}x; "
              f"largest relative difference of the first {report['compared_steps']} step losses: "
              f"{report['max_relative_loss_difference']:.2e}")
    args.out.write_text(json.dumps(report, indent=1))
    if torch_python and "error" in torch_run:
        sys.exit("bench/digits.py: the PyTorch side failed")
    if report.get("max_relative_loss_difference", 0.0) > TOLERANCE:
        sys.exit(f"bench/digits.py: the step losses differ by more than {TOLERANCE} relative")


if __name__ == "__main__":
    main()
