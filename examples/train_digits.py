"""Trains a relu perceptron on the handwritten digits that scikit-learn ships, on many threads
and, under an MPI launcher, many processes.

The threads of a step split the hidden units: each builds the tensors of its own slice of the
parameters on its own autograd tape and computes that slice's part of the output for the whole
batch. Once all parts are there, each thread sums them in thread order, adds the last bias and
takes the error; then it runs backward() on its own part by that error, reads its gradients,
clears its tape and updates its own slice of the parameters. The threads share nothing but the
parts, so the whole step runs on them, and a run is deterministic for a given seed and thread
count. The model (64 -> hidden -> 10, relu) and its loss (squared error against one-hot
targets) are built and differentiated with morla; the sum of the parts, the error and the
update (SGD with momentum) are NumPy.

Started by ``mpiexec -n K``, each of the K processes takes its share of every global mini-batch
and splits that among its own threads; the gradients are summed across the processes each step
(morla.distributed), every process applies the same update, and rank 0 reports, evaluates and
writes the picture. At the end the processes check that they hold the same parameters bit for bit.

    [mpiexec -n K] python examples/train_digits.py [--threads N] [--epochs E] [--hidden H]
        [--batch B] [--learning-rate LR] [--momentum M] [--seed S] [--plot PATH] [--compare-threads]
    python examples/train_digits.py --models K [...]

With --models K, K models train at once, one per thread, from seeds S, S+1, ..., S+K-1 (their
own initial weights and batch order, the same test split); each model's test accuracy is
reported, and the throughput against training one model alone. That throughput, and the speedup
of --compare-threads, read "unreliable" with the reason when a pure-Python loop timed beside the
runs shows that the machine was busy, or when the figure is more than the cores can give.

A progress bar advances once per epoch, showing the running loss and the test accuracy; the last
line is the test accuracy; a PNG of the training loss and test accuracy per epoch is written and its path
printed: examples/output/digits.png, or examples/output/digits-K-processes.png under K > 1
processes, unless --plot names another. The picture's path is tried before training: one that
cannot be written ends the run at once, and the folders made for it are reported. A step keeps no
more threads busy than the model has hidden units (at least one each); the first line reports
the threads used.
"""

from __future__ import annotations

import argparse
import math
import os
import pathlib
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass, field

import numpy as np

import morla
from morla import Tensor
from morla.distributed import Processes, processes as job_processes
from morla.nn.functional import relu
from morla.scaling import python_loop_scaling, unreliable

CLASSES = 10
TEST_SAMPLES = 360
# What the main job trains with unless told otherwise.
# The smallest normal float32: velocities below it are set to 0 (see Steps.flush_subnormal_velocities).
SMALLEST_NORMAL = np.finfo(np.float32).tiny
DEFAULTS = {"epochs": 200, "hidden": 1024, "batch": 128, "learning_rate": 0.01, "momentum": 0.9, "seed": 0}
DEFAULT_PLOT = pathlib.Path(__file__).resolve().parent / "output" / "digits.png"


def default_plot(processes: int = 1) -> pathlib.Path:
    """Where the picture goes: a run of several processes does not overwrite a run of one."""
    if processes == 1:
        return DEFAULT_PLOT
    return DEFAULT_PLOT.with_name(f"{DEFAULT_PLOT.stem}-{processes}-processes{DEFAULT_PLOT.suffix}")


@dataclass
class Data:
    x_train: np.ndarray
    y_train: np.ndarray
    x_test: np.ndarray
    y_test: np.ndarray


def load_data(seed: int = 0) -> Data:
    """The 1,797 8x8 digits scaled to [0, 1], split by a seeded permutation (360 for testing)."""
    from sklearn.datasets import load_digits

    digits = load_digits()
    x = (digits.data / 16.0).astype(np.float32)
    y = digits.target.astype(np.int64)
    order = np.random.default_rng(seed).permutation(len(x))
    test, train = order[:TEST_SAMPLES], order[TEST_SAMPLES:]
    return Data(x[train], y[train], x[test], y[test])


def init_params(rng: np.random.Generator, hidden: int) -> dict[str, np.ndarray]:
    """He-scaled weights and zero biases; the biases keep a leading axis of length 1."""
    return {
        "w1": (rng.standard_normal((64, hidden)) * np.sqrt(2.0 / 64)).astype(np.float32),
        "b1": np.zeros((1, hidden), np.float32),
        "w2": (rng.standard_normal((hidden, CLASSES)) * np.sqrt(2.0 / hidden)).astype(np.float32),
        "b2": np.zeros((1, CLASSES), np.float32),
    }


def one_hot(labels: np.ndarray) -> np.ndarray:
    return np.eye(CLASSES, dtype=np.float32)[labels]


def hidden_part(params: dict[str, Tensor], x: Tensor) -> Tensor:
    """What hidden units contribute to the output, before the last bias: relu(x w1 + b1) w2, for
    all of them or for a slice (the matching columns of w1 and b1, rows of w2)."""
    return relu(x @ params["w1"] + params["b1"]) @ params["w2"]


def forward(params: dict[str, Tensor], x: Tensor) -> Tensor:
    return hidden_part(params, x) + params["b2"]


def predict(params: dict[str, np.ndarray], x: np.ndarray) -> np.ndarray:
    tensors = {name: Tensor(value) for name, value in params.items()}
    return forward(tensors, Tensor(x)).to_numpy().argmax(axis=1)


def accuracy(params: dict[str, np.ndarray], x: np.ndarray, y: np.ndarray,
             pool: ThreadPoolExecutor | None = None, threads: int = 1) -> float:
    """The share of x that the model labels as y; with a pool, each thread takes a slice."""
    if pool is None:
        return float((predict(params, x) == y).mean())
    slices = [s for s in np.array_split(np.arange(len(x)), threads) if len(s)]
    labels = np.concatenate(list(pool.map(lambda s: predict(params, x[s]), slices)))
    return float((labels == y).mean())


@dataclass
class History:
    losses: list[float] = field(default_factory=list)  # mean training loss per epoch
    accuracies: list[float] = field(default_factory=list)  # test accuracy after each epoch
    epoch_seconds: list[float] = field(default_factory=list)
    step_losses: list[float] = field(default_factory=list)  # the loss of every mini-batch


def schedule(seed: int, hidden: int, samples: int, epochs: int) -> tuple[dict[str, np.ndarray], list[np.ndarray]]:
    """The initial parameters and each epoch's order of the training samples, from the seed."""
    rng = np.random.default_rng(seed)
    params = init_params(rng, hidden)
    return params, [rng.permutation(samples) for _ in range(epochs)]


def threads_used(threads: int, hidden: int) -> int:
    """The threads a step can keep busy: a slice of at least one hidden unit each."""
    return max(1, min(threads, hidden))


def part_bounds(length: int, parts: int, part: int) -> tuple[int, int]:
    """Where the part-th of `parts` near-equal contiguous pieces of `length` items starts and ends
    (the longer pieces first, as numpy.array_split cuts)."""
    size, longer = divmod(length, parts)
    start = part * size + min(part, longer)
    return start, start + size + (part < longer)


def flat_views(flat: np.ndarray, shapes: dict[str, tuple]) -> dict[str, np.ndarray]:
    """Arrays of the given shapes laid end to end in one flat array, as views of it."""
    views, start = {}, 0
    for name, shape in shapes.items():
        size = math.prod(shape)
        views[name] = flat[start:start + size].reshape(shape)
        start += size
    return views


class StepBarrier:
    """A barrier for threads that meet every few hundred microseconds. Waking from a blocking wait
    takes tens of microseconds, so a waiter first spins for a while (SPIN_SECONDS), then blocks;
    with more threads than cores it blocks at once (a spinner would keep the others off a core).
    abort() breaks it: waiters then raise threading.BrokenBarrierError."""

    SPIN_SECONDS = 200e-6

    def __init__(self, parties: int):
        self.parties, self.arrived, self.generation, self.broken = parties, 0, 0, False
        self.condition = threading.Condition()
        self.spin = self.SPIN_SECONDS if parties <= default_threads() else 0.0

    def wait(self) -> None:
        with self.condition:
            if self.broken:
                raise threading.BrokenBarrierError
            generation = self.generation
            self.arrived += 1
            if self.arrived == self.parties:
                self.arrived, self.generation = 0, generation + 1
                self.condition.notify_all()
                return
        deadline = time.perf_counter() + self.spin
        while self.generation == generation and not self.broken and time.perf_counter() < deadline:
            os.sched_yield()  # a thread that waits for this core gets it
        with self.condition:
            while self.generation == generation and not self.broken:
                self.condition.wait()
            if self.generation == generation:
                raise threading.BrokenBarrierError

    def abort(self) -> None:
        with self.condition:
            self.broken = True
            self.condition.notify_all()


class Steps:
    """The training steps of one epoch, run end to end on `threads` threads, which split the
    hidden units: thread t owns a slice of them (its columns of w1 and b1, its rows of w2) and
    computes that slice's part of the output for every row of the batch. At the step's one
    barrier all parts are there; each thread sums them in thread order, adds b2 and takes the
    error, then differentiates its own part by that error and updates its own parameters. The
    threads share only the parts ([rows, 10] each), kept for two steps, so that a thread a step
    ahead never overwrites one still being read.

    Each thread keeps its parameters, velocities and a copy of b2 in arrays of its own, updated
    alike (thread 0's b2 is the parameter), and writes them back into `params` at the end of an
    epoch: NumPy's arithmetic on slices of arrays that other threads work on as well is several
    times slower than on arrays of one's own.

    Under several processes, which split each batch's rows, the gradients are summed across them:
    every thread writes its own into one flat array, and thread 0 sums it across the processes
    between two more barriers."""

    def __init__(self, data: Data, targets: np.ndarray, params: dict, threads: int, batch: int,
                 learning_rate: float, momentum: float, job: Processes):
        self.data, self.targets, self.threads, self.batch, self.job = data, targets, threads, batch, job
        self.learning_rate, self.momentum = np.float32(learning_rate), np.float32(momentum)
        self.params = params
        shapes = {name: value.shape for name, value in params.items()}
        self.summed_flat = np.zeros(sum(math.prod(shape) for shape in shapes.values()), np.float32)
        self.summed = flat_views(self.summed_flat, shapes)  # the gradients over all processes
        self.owned = []  # for each thread, where its slice lies in each parameter it owns
        for t in range(threads):
            units = slice(*part_bounds(shapes["w1"][1], threads, t))
            self.owned.append({"w1": (slice(None), units), "b1": (slice(None), units), "w2": (units, slice(None)),
                               "b2": (slice(None), slice(None))})
        self.own = [{name: params[name][index].copy() for name, index in owned.items()} for owned in self.owned]
        self.velocity = [{name: np.zeros_like(value) for name, value in own.items()} for own in self.own]
        self.scratch = [{name: np.empty_like(value) for name, value in own.items()} for own in self.own]
        # Each thread's part of the output in its row, two steps' worth: summed over the threads by
        # one call, in thread order.
        self.parts = np.zeros((2, threads, min(batch, len(data.x_train)), CLASSES), np.float32)
        self.barrier = StepBarrier(threads)

    def epoch(self, pool: ThreadPoolExecutor, order: np.ndarray) -> list[float]:
        self.flush_subnormal_velocities()
        starts = range(0, len(order), self.batch)
        losses = [0.0] * len(starts)
        runs = [pool.submit(self.run, t, order, starts, losses) for t in range(self.threads)]
        failures = [run.exception() for run in runs if run.exception()]
        if failures:  # the failure itself, before the broken barrier it left the other threads
            raise min(failures, key=lambda error: isinstance(error, threading.BrokenBarrierError))
        for t in reversed(range(self.threads)):  # thread 0's b2 last
            for name, index in self.owned[t].items():
                self.params[name][index] = self.own[t][name]
        return losses

    def run(self, t: int, order: np.ndarray, starts: range, losses: list[float]) -> None:
        own = self.own[t]
        try:
            for step, start in enumerate(starts):
                rows = order[start:start + self.batch]
                here = rows if self.job.size == 1 else self.job.share(rows)
                parts = self.parts[step % 2, :, :len(here)]
                if len(here):
                    tracked = {name: Tensor(own[name], requires_grad=True) for name in ("w1", "b1", "w2")}
                    part = hidden_part(tracked, Tensor(self.data.x_train[here]))
                    parts[t] = part.to_numpy()
                self.barrier.wait()
                grads = None
                if len(here):
                    loss, grads = self.backward(own, tracked, part, parts, self.targets[here], 1.0 / len(rows))
                    if t == 0:
                        losses[step] = loss
                if self.job.size > 1:
                    grads = self.sum_across_processes(t, grads, losses, step)
                self.update(t, grads)
        except BaseException:
            self.barrier.abort()  # the other threads stop too
            raise

    def backward(self, own: dict[str, np.ndarray], tracked: dict[str, Tensor], part: Tensor,
                 parts: np.ndarray, targets: np.ndarray, scale: float) -> tuple[float, dict[str, np.ndarray]]:
        """The loss (scale times the sum of squared errors) and the gradients of a thread's
        parameters and of b2. The gradient of the loss by the output is formed as autograd would
        form it from error * error * scale, and backward() on the part times that gradient (as a
        constant) hands it on unchanged."""
        output = np.add.reduce(parts, axis=0)
        error = output + own["b2"] - targets
        scale = np.float32(scale)
        scaled = error * scale
        gradient = scaled + scaled
        (part * Tensor(gradient)).backward()
        grads = {name: morla.sum_to_shape(tensor.grad(), own[name].shape) for name, tensor in tracked.items()}
        Tensor.clear_graph()
        grads["b2"] = morla.sum_to_shape(gradient, own["b2"].shape)
        return float((error * error * scale).sum(dtype=np.float64)), grads

    def sum_across_processes(self, t: int, grads: dict[str, np.ndarray] | None, losses: list[float],
                             step: int) -> dict[str, np.ndarray]:
        """This thread's gradients (zeros for a process without rows in this batch) summed over
        all processes, with the step's loss."""
        owned = self.owned[t]
        for name, index in owned.items():
            if name != "b2" or t == 0:
                self.summed[name][index] = grads[name] if grads else 0.0
        self.barrier.wait()
        if t == 0:
            (losses[step],) = self.job.sum_in_place({"gradients": self.summed_flat}, losses[step])
        self.barrier.wait()
        return {name: self.summed[name][index] for name, index in owned.items()}

    def update(self, t: int, grads: dict[str, np.ndarray] | None) -> None:
        """SGD with momentum on this thread's parameters and its copy of b2, in place: velocity =
        momentum * velocity + gradient, parameter -= learning rate * velocity."""
        own, velocities, scratch = self.own[t], self.velocity[t], self.scratch[t]
        for name, velocity in velocities.items():
            velocity *= self.momentum
            if grads is not None:
                velocity += grads[name]
            np.multiply(velocity, self.learning_rate, out=scratch[name])
            own[name] -= scratch[name]

    def flush_subnormal_velocities(self) -> None:
        """Sets the velocities below the smallest normal float32 to 0, a change of less than
        1.2e-38. A hidden unit that stops firing gets gradients of 0, and its velocity decays
        through the subnormal range for a hundred steps or more, then stays at a few units of the
        last place for good (momentum times it rounds back to it). Arithmetic on subnormals takes
        a slow path on x86: late in a run the update took as long as the forward and backward
        pass. Once an epoch is enough, since few velocities cross into that range in one; and it
        works by a product with 0 or 1, as a masked store costs ten times as much."""
        for velocity in (v for velocities in self.velocity for v in velocities.values()):
            keep = np.abs(velocity)
            np.greater_equal(keep, SMALLEST_NORMAL, out=keep)
            velocity *= keep


def train(data: Data, threads: int = 1, epochs: int = DEFAULTS["epochs"],
          hidden: int = DEFAULTS["hidden"], batch: int = DEFAULTS["batch"],
          learning_rate: float = DEFAULTS["learning_rate"], momentum: float = DEFAULTS["momentum"],
          seed: int = DEFAULTS["seed"], progress: bool = True,
          job: Processes | None = None) -> tuple[dict[str, np.ndarray], History]:
    """Mini-batch SGD with momentum, each batch's rows split across the job's processes (this one
    alone by default) and the hidden units across each process's ``threads`` threads. Only the
    root process evaluates: the other processes' histories hold no accuracies."""
    job = job or Processes()
    samples = len(data.x_train)
    params, orders = schedule(seed, hidden, samples, epochs)
    history = History()
    bar = make_progress(epochs, progress and job.is_root)
    threads = threads_used(threads, hidden)
    steps = Steps(data, one_hot(data.y_train), params, threads, batch, learning_rate, momentum, job)
    with ThreadPoolExecutor(max_workers=threads) as pool:
        for order in orders:
            started = time.perf_counter()
            losses = steps.epoch(pool, order)
            history.epoch_seconds.append(time.perf_counter() - started)
            history.step_losses.extend(losses)
            history.losses.append(sum(losses) / len(losses))
            if job.is_root:
                history.accuracies.append(accuracy(params, data.x_test, data.y_test, pool, threads))
                bar.update(history.losses[-1], history.accuracies[-1])
    bar.close()
    return params, history


def train_models(data: Data, models: int, seed: int, **settings) -> tuple[list[History], float]:
    """Trains `models` models at once, one per thread, from seeds seed, seed + 1, ...; returns
    their histories and the wall time."""
    started = time.perf_counter()
    with ThreadPoolExecutor(max_workers=models) as pool:
        runs = list(pool.map(lambda i: train(data, threads=1, seed=seed + i, progress=False, **settings),
                             range(models)))
    return [history for _, history in runs], time.perf_counter() - started


class make_progress:
    """A tqdm bar over epochs showing the loss and test accuracy; silent when not wanted."""

    def __init__(self, epochs: int, enabled: bool):
        self.bar = None
        if enabled:
            from tqdm import tqdm

            self.bar = tqdm(total=epochs, unit="epoch", dynamic_ncols=True, file=sys.stderr)

    def update(self, loss: float, test_accuracy: float) -> None:
        if self.bar is not None:
            self.bar.set_postfix(loss=f"{loss:.4f}", test_acc=f"{100 * test_accuracy:.1f}%")
            self.bar.update()

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def save_plot(histories: History | list[History], path: pathlib.Path, title: str,
              seeds: list[int] | None = None) -> pathlib.Path:
    """The training loss and test accuracy per epoch of one run, or of several (one shade and dash
    each, named by their seeds in a legend)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.lines import Line2D

    histories = histories if isinstance(histories, list) else [histories]
    fig, loss_axis = plt.subplots(figsize=(7, 4))
    accuracy_axis = loss_axis.twinx()
    curves = []  # each run's shade and dash
    for i, history in enumerate(histories):
        epochs = np.arange(1, len(history.losses) + 1)
        shade, dash = 1.0 - 0.6 * i / max(len(histories) - 1, 1), DASHES[i % len(DASHES)]
        curves.append((shade, dash))
        loss_axis.plot(epochs, history.losses, color="tab:blue", alpha=shade, linestyle=dash)
        accuracy_axis.plot(epochs, 100 * np.asarray(history.accuracies), color="tab:orange", alpha=shade,
                           linestyle=dash)
    low, high = accuracy_range([100 * np.asarray(history.accuracies) for history in histories])
    accuracy_axis.set_ylim(low, high)
    accuracy_axis.set_yticks([tick for tick in accuracy_axis.get_yticks() if low <= tick <= min(high, 100)])
    accuracy_axis.grid(True, axis="y", color="tab:orange", alpha=0.2)
    if len(histories) == 1 and histories[0].accuracies:  # the last accuracy, to read off
        final = 100 * histories[0].accuracies[-1]
        accuracy_axis.annotate(f"{final:.1f}%", (len(histories[0].accuracies), final), xytext=(-4, 4),
                               textcoords="offset points", ha="right", va="bottom", color="tab:orange")
    if seeds is not None and len(histories) > 1:
        accuracy_axis.legend([Line2D([], [], color="black", alpha=shade, linestyle=dash) for shade, dash in curves],
                             [f"seed {seed}" for seed in seeds], loc="best", fontsize="small",
                             title="models", title_fontsize="small")
    loss_axis.set_xlabel("epoch")
    loss_axis.set_ylabel("training loss (squared error)", color="tab:blue")
    loss_axis.set_yscale("log")
    accuracy_axis.set_ylabel("test accuracy (%)", color="tab:orange")
    loss_axis.set_title(title)
    fig.tight_layout()
    path.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(path, dpi=120)
    plt.close(fig)
    return path


DASHES = ("-", "--", ":", "-.")  # the runs of one picture, in turn


def accuracy_range(curves: list[np.ndarray]) -> tuple[float, float]:
    """The accuracy axis's range (in %), fitted to where the curves end up rather than where they
    start. The spread is that of their second halves (lowest to highest, at least a point); the
    axis reaches three spreads below it and half a spread above, within 0 and 101. A long run's first epochs climb in from below, the rest fills the upper part, and
    the last value reads clear of the frame instead of pressed against 100%."""
    curves = [np.asarray(curve, np.float64) for curve in curves if len(curve)]
    if not curves:
        return 0.0, 100.0
    low = min(float(curve[len(curve) // 2:].min()) for curve in curves)
    high = max(float(curve.max()) for curve in curves)
    spread = max(high - low, 1.0)
    return max(0.0, low - 3 * spread), min(high + spread / 2, 101.0)


def default_threads(processes_here: int = 1) -> int:
    """The cores this process may run on, shared with the job's other processes on this machine."""
    counter = getattr(os, "process_cpu_count", os.cpu_count)
    return max(1, (counter() or 1) // processes_here)


class Parser(argparse.ArgumentParser):
    """The trainer's argument parser. Under an MPI launcher every process parses the same
    arguments: only rank 0 prints (help, usage, errors), the others exit alike in silence.
    fail() refuses arguments that parse but do not go together, in one line."""

    def __init__(self, *args, quiet: bool = False, **kwargs):
        super().__init__(*args, **kwargs)
        self.quiet = quiet

    def print_usage(self, file=None) -> None:
        if not self.quiet:
            super().print_usage(file)

    def print_help(self, file=None) -> None:
        if not self.quiet:
            super().print_help(file)

    def exit(self, status: int = 0, message: str | None = None):
        super().exit(status, None if self.quiet else message)

    def fail(self, message: str):
        self.exit(2, f"{self.prog}: error: {message}\n")


class Picture:
    """The file the picture goes to, tried before training so that a path that cannot be written
    fails at once: its missing folders are made, and the file is opened as it will be written
    (a new one made and removed again at once, so that no empty picture is ever left behind; one
    already there is opened for appending, which leaves it as it is)."""

    def __init__(self, path: pathlib.Path):
        self.path = path
        self.made_folders: list[pathlib.Path] = []  # the outermost first

    def prepare(self) -> str | None:
        """Why the picture cannot be written to the path, or None once it can."""
        folder = self.path.parent
        nearest = next(f for f in (folder, *folder.parents, pathlib.Path(".")) if f.exists())
        if not nearest.is_dir():
            return f"cannot write {self.path}: {nearest} is a file, not a folder"
        missing = [f for f in (folder, *folder.parents) if not f.exists()][::-1]
        if dangling := next((f for f in missing if os.path.lexists(f)), None):
            return f"cannot write {self.path}: {dangling} links to a folder that does not exist"
        try:
            for made in missing:
                made.mkdir()
                self.made_folders.append(made)
            target = self.path.resolve()  # a symbolic link's file, which is what gets written
            if target.exists():
                with open(target, "ab"):
                    pass
            else:
                with open(target, "xb"):
                    pass
                target.unlink()
        except OSError as error:
            for made in reversed(self.made_folders):  # refused: leave the disk as it was
                made.rmdir()
            self.made_folders = []
            where = f" ({error.filename})" if error.filename not in (None, str(self.path)) else ""
            return f"cannot write {self.path}: {error.strerror or error}{where}"
        return None

    def made(self) -> str | None:
        """The line that says which folders were made for the picture, if any."""
        if not self.made_folders:
            return None
        names = [str(folder) for folder in self.made_folders]
        listed = names[0] if len(names) == 1 else ", ".join(names[:-1]) + " and " + names[-1]
        return f"made the folder{'s' if len(names) > 1 else ''} {listed} for the picture"

    def save(self, histories: History | list[History], title: str, seeds: list[int] | None = None) -> pathlib.Path:
        return save_plot(histories, self.path, title, seeds)


def main(argv: list[str] | None = None) -> int:
    job = job_processes()
    parser = Parser(description=__doc__.split("\n\n")[0], quiet=not job.is_root,
                    formatter_class=argparse.ArgumentDefaultsHelpFormatter)
    parser.add_argument("--threads", metavar="N", type=at_least_one,
                        default=default_threads(job.on_this_machine),
                        help="threads per step in each process, no more than the hidden units "
                             "(default: the machine's cores over the job's processes on it, "
                             "%(default)s)")
    parser.add_argument("--epochs", metavar="E", type=at_least_one, default=DEFAULTS["epochs"],
                        help="passes over the training images")
    parser.add_argument("--hidden", metavar="H", type=at_least_one, default=DEFAULTS["hidden"],
                        help="hidden units")
    parser.add_argument("--batch", metavar="B", type=at_least_one, default=DEFAULTS["batch"],
                        help="mini-batch size, over all processes")
    parser.add_argument("--learning-rate", metavar="LR", type=positive_finite,
                        default=DEFAULTS["learning_rate"], help="SGD step size, > 0")
    parser.add_argument("--momentum", metavar="M", type=momentum_fraction,
                        default=DEFAULTS["momentum"], help="SGD momentum, in [0, 1)")
    parser.add_argument("--seed", metavar="S", type=non_negative, default=DEFAULTS["seed"],
                        help="seeds the test split, the initial parameters and the batch order")
    parser.add_argument("--plot", metavar="PATH", type=picture_path, default=default_plot(job.size),
                        help="where rank 0 writes the picture (default: %(default)s; "
                             f"{DEFAULT_PLOT.name} alone, {DEFAULT_PLOT.stem}-K-processes"
                             f"{DEFAULT_PLOT.suffix} under mpiexec -n K)")
    parser.add_argument("--compare-threads", action="store_true",
                        help="train with 1 thread and with --threads, and report the speedup")
    parser.add_argument("--models", metavar="K", type=at_least_one, default=1,
                        help="train K models at once, one per thread, from seeds S to S+K-1, and "
                             "report the throughput against one model alone (--threads does not apply)")
    args = parser.parse_args(argv)
    if args.models > 1 and args.compare_threads:
        parser.fail("--models and --compare-threads cannot be combined: --models trains each model "
                    "on one thread, so there are no thread counts to compare")
    if args.models > 1 and job.size > 1:
        parser.fail(f"--models cannot run under an MPI launcher ({job.size} processes): its models "
                    "train side by side on the threads of one process")
    picture = Picture(args.plot) if job.is_root else None  # rank 0 alone writes it
    problem = job.gather(picture.prepare() if picture else None)[0]  # every process stops alike
    if problem:
        parser.fail(f"argument --plot: {problem}")
    if picture and picture.made():
        print(f"{parser.prog}: {picture.made()}", file=sys.stderr)
    return run(parser, args, job, picture)


def run(parser: Parser, args: argparse.Namespace, job: Processes, picture: Picture | None) -> int:
    """Trains as the arguments say; rank 0 reports and draws the picture."""
    data = load_data(args.seed)
    settings = dict(epochs=args.epochs, hidden=args.hidden, batch=args.batch,
                    learning_rate=args.learning_rate, momentum=args.momentum, seed=args.seed, job=job)
    if args.models > 1:
        return train_many(data, args, settings, picture)
    say = print if job.is_root else (lambda *_: None)
    # The default differs between machines of other sizes; every process learns everyone's.
    threads_everywhere = job.gather(args.threads)
    if args.compare_threads and len(set(threads_everywhere)) > 1:
        parser.fail("--compare-threads needs the same --threads in every process")
    used = threads_used(args.threads, args.hidden)
    used_everywhere = job.gather(used)
    workers = describe_workers(threads_everywhere, used_everywhere, args.hidden)
    say(f"digits: {len(data.x_train)} training and {len(data.x_test)} test images; "
        f"64-{args.hidden}-10 relu perceptron, batches of {args.batch}, {workers}")
    if args.compare_threads:
        # The same number of runs in every process (each run sums across them every step).
        runs = [1, used] if max(used_everywhere) > 1 else [1]
        timings = []
        checks = [python_loop_scaling(used)] if len(runs) > 1 else []  # before the runs and after each
        for threads in runs:
            params, history = train(data, threads=threads, **settings)
            timings.append(epoch_time(history))
            if checks:
                checks.append(python_loop_scaling(used))
            if job.is_root:
                say(f"{plural(threads, 'thread')}: {1000 * timings[-1]:.1f} ms per epoch, "
                    f"test accuracy {100 * history.accuracies[-1]:.1f}%")
        if len(runs) > 1:
            cores = min(used, default_threads(job.on_this_machine))  # the cores the threads can have
            say(f"speedup with {plural(used, 'thread')}: "
                f"{scaling_report(timings[0] / timings[-1], checks, cores)}")
        else:
            say("only 1 thread can be used here: no speedup to compare")
    else:
        params, history = train(data, threads=used, **settings)
    if job.size > 1:
        # Every process applied the same summed gradients: their parameters must agree bit for bit.
        if not job.same_everywhere(params):
            raise SystemExit(f"rank {job.rank}: the processes' parameters differ")
        steps = len(history.step_losses)
        step_ms = 1000 * max(job.gather(sum(history.epoch_seconds))) / steps
        say(f"{job.size} processes: parameters identical on all after {steps} steps; "
            f"{step_ms:.2f} ms per step")
    if not job.is_root:
        return 0
    title = f"digits, 64-{args.hidden}-10 relu, {workers}"
    say(f"loss curve and test accuracy: {picture.save(history, title)}")
    say(f"test accuracy: {100 * history.accuracies[-1]:.1f}%")
    return 0


def train_many(data: Data, args: argparse.Namespace, settings: dict, picture: Picture) -> int:
    """--models K: K models at once, then one alone for the throughput of one after another."""
    del settings["job"]
    seed = settings.pop("seed")
    print(f"digits: {len(data.x_train)} training and {len(data.x_test)} test images; "
          f"{args.models} models 64-{args.hidden}-10 relu at once, one thread each, batches of {args.batch}")
    checks = [python_loop_scaling(args.models)]
    histories, together = train_models(data, args.models, seed, **settings)
    checks.append(python_loop_scaling(args.models))
    for i, history in enumerate(histories):
        print(f"model {i + 1} (seed {seed + i}): test accuracy {100 * history.accuracies[-1]:.1f}%")
    started = time.perf_counter()
    train(data, threads=1, seed=seed, progress=False, **settings)
    alone = time.perf_counter() - started
    checks.append(python_loop_scaling(args.models))
    throughput = scaling_report(args.models * alone / together, checks, min(args.models, default_threads()),
                                "{:.2f}x that of training them one after another")
    print(f"{args.models} models at once: {together:.2f} s; one alone: {alone:.2f} s; throughput {throughput}")
    title = f"digits, {args.models} models 64-{args.hidden}-10 relu at once"
    seeds = [seed + i for i in range(args.models)]
    print(f"loss curves and test accuracies: {picture.save(histories, title, seeds)}")
    accuracies = [100 * history.accuracies[-1] for history in histories]
    print(f"test accuracy: {min(accuracies):.1f}% to {max(accuracies):.1f}% over {args.models} models")
    return 0


# A speedup of N threads over one (or N models at once over one after another) is judged by a
# pure-Python loop timed before the runs and after each (morla.scaling).
def scaling_report(figure: float, python_scalings: list[float | None], cores: int,
                   form: str = "{:.2f}x") -> str:
    """The figure in its form and the pure-Python loop's scaling beside it, or why the figure is
    unreliable."""
    why = unreliable(figure, python_scalings, cores)
    if why:
        return f"unreliable: {why}"
    measured = [s for s in python_scalings if s is not None]
    if not measured:
        return form.format(figure)
    return (f"{form.format(figure)} (a pure-Python loop scaled {float(np.median(measured)):.2f}x "
            f"on {plural(cores, 'core')} beside the runs)")


def describe_workers(requested: list[int], used: list[int], hidden: int) -> str:
    """The threads used in each process (in rank order), and why fewer than asked for if so."""
    if len(used) == 1:
        workers = plural(used[0], "thread")
    elif len(set(used)) == 1:
        workers = f"{plural(used[0], 'thread')} in each of {len(used)} processes"
    else:
        workers = f"{len(used)} processes of {', '.join(map(str, used))} threads"
    if used != requested:
        asked = ", ".join(map(str, sorted(set(requested))))
        workers += f" (--threads {asked}: no more than the {plural(hidden, 'hidden unit')})"
    return workers


def int_at_least(minimum: int):
    """An argparse type: an integer of at least `minimum`."""
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be at least {minimum}, not {value}")
        return value
    return parse


at_least_one = int_at_least(1)
non_negative = int_at_least(0)


PICTURE_SUFFIXES = (".png", ".pdf", ".svg", ".jpg", ".jpeg", ".eps", ".ps", ".tif", ".tiff", ".webp")


def picture_path(text: str) -> pathlib.Path:
    """An argparse type: a file path whose suffix names a picture format matplotlib writes."""
    path = pathlib.Path(text)
    if path.is_dir() or path.suffix.lower() not in PICTURE_SUFFIXES:
        raise argparse.ArgumentTypeError(
            f"must be a file ending in one of {', '.join(PICTURE_SUFFIXES)}, not {text}")
    return path


def as_float(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid float value: {text!r}") from None


def positive_finite(text: str) -> float:
    """An argparse type: a finite number above 0."""
    value = as_float(text)
    if not (math.isfinite(value) and value > 0):
        raise argparse.ArgumentTypeError(f"must be a finite number above 0, not {text}")
    return value


def momentum_fraction(text: str) -> float:
    """An argparse type: a number in [0, 1)."""
    value = as_float(text)
    if not 0 <= value < 1:
        raise argparse.ArgumentTypeError(f"must be in [0, 1), not {text}")
    return value


def plural(count: int, word: str) -> str:
    return f"{count} {word}{'s' if count != 1 else ''}"


def epoch_time(history: History) -> float:
    """The median time per epoch; the first epoch includes warm-up and counts only alone."""
    return float(np.median(history.epoch_seconds[1:] or history.epoch_seconds))


if __name__ == "__main__":
    sys.exit(main())
