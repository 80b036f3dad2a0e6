"""Why a row misses: the reasons a workload's "why" may name, and the verdicts of the rows.

Each reason is a check on this run's own figures that returns a short text when they bear it
out, else None, and the row then reads a bare MISS. A reason shows only on a row that misses; it
does not turn the miss into a pass. Its argument c: {"work", "peer" (key), "row", "target"
(value), "result" (this module's), "results" (all of them), "torch" (PyTorch's for the workload),
"best" (a rate's pattern -> the highest rate any single-threaded run of that pattern reached: what
this machine allows, as far as the run saw), "limits" (this core's, bench/limits.py)}.
"""

from __future__ import annotations

import os

from kinds.threads import thread_figures
from load import LOAD_WARNING_CORES
from table import fmt_time, shown_target

MEMORY_BOUND = 0.75  # in-cache time scaled to the full size at most this share of the full run's
COMPUTE_BOUND = 0.9  # at least this share: the arithmetic sets the pace wherever the data sits
NEAR_BEST = 0.85     # a memory-bound row streams at no less than this share of the best rate seen
KERNEL_NEAR_PEAK = 0.7  # a product runs at no less than this share of this core's peak GFLOP/s

REASONS = {}


def _reason(fn):
    REASONS[fn.__name__] = fn
    return fn


def bound_of(result: dict, morla_s: float | None) -> str | None:
    """"memory" or "compute" from the in-cache timing, or None when neither clearly sets the pace."""
    probe = result.get("morla_in_cache")
    if not probe or not morla_s:
        return None
    share = probe["scaled_s"] / morla_s
    return "memory" if share <= MEMORY_BOUND else "compute" if share >= COMPUTE_BOUND else None


def _peer_rate(row) -> str:
    rate = row.get("rate") or {}
    return f"{row['peer']} {rate['peer']:.0f} {rate['unit']}" if rate.get("peer") else row["peer"]


@_reason
def bound(c):
    """At this machine's bound: memory-bound and streaming near the best rate seen in the run, or
    compute-bound (taking as long with the data in cache)."""
    row, work = c["row"], c["work"]
    kind = bound_of(c["result"], row["morla_s"])
    if kind == "memory":
        rate = row.get("rate") or {}
        mine, best = rate.get("morla"), c["best"].get(rate.get("pattern"))
        if mine is None or best is None or mine < NEAR_BEST * best:
            return None
        copy = c["limits"].get("bandwidth_gbs")
        copy = f"; a streaming copy: {copy:.0f}" if copy else ""
        return f"memory-bound at {mine:.0f} GB/s (the most seen here: {best:.0f}{copy}); {_peer_rate(row)}"
    if kind == "compute":
        what = ("exact division" if work["op"] == "div" else
                "bfloat16's integer rounding" if work["dtype"] == "bf16" else "the arithmetic")
        scaled = c["result"]["morla_in_cache"]["scaled_s"]
        return f"compute-bound ({what}): {fmt_time(scaled)} in cache too; {_peer_rate(row)}"
    return None


@_reason
def narrowing(c):
    """bfloat16 against this module's float16: the extra time is compute (in cache too)."""
    row, work = c["row"], c["work"]
    if bound_of(c["result"], row["morla_s"]) != "compute":
        return None
    mine = c["result"]["morla_in_cache"]["scaled_s"]
    f16 = c["results"].get(work["baseline"], {}).get("morla_in_cache", {}).get("scaled_s")
    if not f16 or mine <= f16:
        return None
    return (f"compute-bound: bfloat16's integer rounding{' with the divider' if work['op'] == 'div' else ''}"
            f" takes {mine / f16:.2f}x float16's time in cache too ({fmt_time(mine)} vs {fmt_time(f16)})")


@_reason
def products(c):
    """The training step's products, timed alone: when they alone miss the target, they are why."""
    row = c["row"]
    mine = c["result"].get("morla_products", {}).get("median_s")
    theirs = c["torch"].get("torch_products", {}).get("median_s")
    if not mine or not theirs or not row["peer_s"] or row["peer_s"] <= theirs or mine / theirs <= c["target"]:
        return None
    rest = (row["morla_s"] - mine) / (row["peer_s"] - theirs)
    return (f"its 5 products alone: {fmt_time(mine)} of {fmt_time(row['morla_s'])}, "
            f"{mine / theirs:.2f}x PyTorch's {fmt_time(theirs)}; the rest: {rest:.2f}x PyTorch's")


@_reason
def kernel(c):
    """Products on both sides near this core's peak (measured in the run, its fastest sample
    against this product's; else the best rate seen in it): one kernel is just faster at the size."""
    rate = c["row"].get("rate") or {}
    peak = c["limits"].get("peak_gflops")
    bound = peak or c["best"].get(rate.get("pattern"))
    if peak and rate.get("morla_fastest"):
        mine, theirs, how = rate["morla_fastest"], rate.get("peer_fastest"), "fastest samples: "
    else:
        mine, theirs, how = rate.get("morla"), rate.get("peer"), ""
    if mine is None or theirs is None or not bound or mine < KERNEL_NEAR_PEAK * bound:
        return None
    what = f"this core's peak: {peak:.0f}" if peak else f"the most seen here: {bound:.0f}"
    return f"both compute-bound ({how}{mine:.0f} GFLOP/s, {c['row']['peer']} {theirs:.0f}; {what})"


# The thread rows' figures, by the row's peer key (their targets are the same kind of number).
_THREAD_FIGURE = {"morla_1_thread": "morla", "python_loop": "relative"}


@_reason
def array_code(c):
    """The second core gave array code no more: NumPy's version of the same loop, timed in the
    same rounds, fell short of the target as well, and this module's loop kept up with it."""
    figures = thread_figures(c["result"])
    key = _THREAD_FIGURE[c["peer"]]
    theirs = figures["numpy" if key == "morla" else "numpy_relative"]
    if theirs is None or theirs >= c["target"] or figures[key] < 0.95 * theirs:
        return busy_rounds(c)
    what = f"scaled {theirs:.2f}x" if key == "morla" else f"got {theirs:.2f} of the Python loop's scaling"
    return f"NumPy's version of the same loop {what} too, in the same rounds"


@_reason
def second_core(c):
    """The VM's second core was not a whole core: a pure-Python loop in the same rounds scaled
    less than the target too, and this module kept up with it (its other target met)."""
    figures = thread_figures(c["result"])
    if figures["python"] is not None and figures["python"] < c["target"] and \
            figures["relative"] >= c["work"]["targets"]["python_loop"][1]:
        return f"the second core was not all ours: a pure-Python loop scaled {figures['python']:.2f}x in the same rounds"
    return array_code(c)


@_reason
def busy_rounds(c):
    """A thread row's: other processes kept a core busy in some rounds, and the rounds without
    them meet the target (or every round had them)."""
    r = c["result"]
    loads = r.get("foreign_load_cores_per_repeat") or []
    busy = [i for i, x in enumerate(loads) if x is not None and x > LOAD_WARNING_CORES]
    if not busy:
        return None
    worst = f"other processes used up to {max(loads[i] for i in busy):.2f} of {os.cpu_count()} cores"
    quiet = [i for i in range(len(loads)) if i not in busy]
    if not quiet:
        return f"{worst} in every round"
    value = thread_figures(r, quiet)[_THREAD_FIGURE[c["peer"]]]
    if value is None or value < c["target"]:
        return None
    return f"{worst} in {len(busy)} of {len(loads)} rounds; the other rounds give {value:.2f}"


def give_verdicts(judged: list[tuple], results: dict, torch_res: dict, limits: dict) -> None:
    """Sets each row's verdict and reason; judged holds (row, work, peer key, target) for each,
    limits this core's (bench/limits.py)."""
    # The best rate any single-threaded run of a pattern reached: the bound the reasons measure against.
    best: dict[str, float] = {}
    for row, *_ in judged:
        rate = row.get("rate")
        if rate:
            values = [rate["morla"]] + ([rate["peer"]] if rate["peer"] and not rate["peer_default_threads"] else [])
            best[rate["pattern"]] = max([best.get(rate["pattern"], 0.0), *values])
    for row, work, peer, target in judged:
        row["reason"] = None
        if row.get("unreliable"):
            row["verdict"] = f"unreliable: {row['unreliable']}"
        elif row["ok"] is None:
            row["verdict"] = "-"
        elif row["ok"]:
            row["verdict"] = "ok"
        else:
            why = work.get("why", {}).get(peer)
            if why:
                row["reason"] = REASONS[why]({
                    "work": work, "peer": peer, "row": row, "target": shown_target(target[1]),
                    "result": results.get(work["id"], {}), "results": results,
                    "torch": torch_res.get(work["id"], {}), "best": best, "limits": limits})
            row["verdict"] = f"miss: {row['reason']}" if row["reason"] else "MISS"
