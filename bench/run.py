"""Benchmark driver for morla_core (runs under the free-threaded 3.14 venv).

Runs morla_core and its NumPy / ml_dtypes peers in this process and PyTorch in its own process
(bench/torch_peer.py under a Python 3.11 venv, driven by bench/peer.py), on the same workloads:
same shapes, same seeds. The sides of a comparison take their samples in turn
(common.measure_sides), PyTorch's included, so that their ratios hold on a machine whose speed
drifts.
Peers run single-threaded (NumPy's BLAS limited to one thread with threadpoolctl,
torch.set_num_threads(1)); the two float32 matmul workloads also show NumPy's and PyTorch's
default-threaded figures. Prints a table and writes everything to a JSON file.

Each row has a target; a row that misses it shows the reason its workload names (the workload's
"why" in bench/workloads.py, checked by bench/reasons.py) when this run's own figures bear that
reason out (a memory- or compute-bound operation, products near this core's peak, a
training step's products, a busy second core), else a bare MISS. Element-wise rows show their
GB/s, products their GFLOP/s, each also against this core's limit measured first in the same run
(bench/limits.py): the rates as shares of its peak and of its memory bandwidth, the one-call
workloads' times as multiples of the least a call into C that makes one object takes. A thread
scaling that the machine did not give its cores for (morla.scaling) reads "unreliable" and why,
and is not judged.

    python bench/run.py [--quick] [--out bench/results.json] [--torch-python PATH | --no-torch]

Figures are medians of repeated timings; small workloads time a loop of many calls per sample.
OPENBLAS_CORETYPE and OPENBLAS_L2_SIZE, when set, are cleared for this process and its children
only (they slow a current NumPy); the values found are recorded in the JSON.

This file holds the command line and the order of things. bench/workloads.py lists the
workloads with their targets and reasons; each kind of workload (bench/kinds) runs itself,
builds its rows and gives the PyTorch peer its code; bench/reasons.py judges the rows that miss,
bench/machine.py describes the machine, bench/limits.py measures its limits and bench/table.py
prints the table.
"""

from __future__ import annotations

import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
import openblas_vars  # noqa: E402  (the standard library only)

openblas_vars.rerun_without()  # before NumPy is imported

import argparse  # noqa: E402
import json  # noqa: E402
import os  # noqa: E402
import time  # noqa: E402

import numpy as np  # noqa: E402

import common  # noqa: E402
import limits  # noqa: E402
import machine  # noqa: E402
import reasons  # noqa: E402
from kinds import KINDS  # noqa: E402
from load import LoadMonitor  # noqa: E402
from peer import PeerError, TorchPeer  # noqa: E402
from table import print_table  # noqa: E402
from workloads import WORKLOADS  # noqa: E402


def run_workload(work: dict, mode: str, peer: TorchPeer | None, baseline: dict | None,
                 torch_results: dict) -> dict:
    """The workload's figures, its PyTorch side's (when it has a peer) in torch_results; its
    samples take turns with the peer's. A peer that fails leaves the workload timed without it."""
    kind = KINDS[work["kind"]]
    timing = common.TIMING[mode]

    def failed(error: PeerError) -> None:  # every failure is kept; the warning shows the first
        torch_results.setdefault("errors", []).append(f"{work['id']}: {error}")
        torch_results.setdefault("error", torch_results["errors"][0])

    if peer is not None and not peer.error:
        try:
            record, sides = peer.prepare(work, timing)
            out = kind.run(work, mode, torch=sides, baseline=baseline)
        except PeerError as error:
            failed(error)
        else:
            record.update({name: out.pop(name) for name in sides})
            torch_results["results"][work["id"]] = record
            if work.get("default_threads"):
                try:
                    record["torch_default_threads"] = peer.default_threads(timing)
                except PeerError as error:
                    failed(error)
            return out
    return kind.run(work, mode, torch=None, baseline=baseline)


def build_rows(results: dict, torch_results: dict, core_limits: dict) -> list[dict]:
    torch_res = torch_results.get("results", {})
    judged = []  # (row, work, peer key, target)
    for work in WORKLOADS:
        r = results.get(work["id"])
        if r is not None:
            judged += [(row, work, peer, target)
                       for row, peer, target in KINDS[work["kind"]].rows(work, r, results, torch_res)]
    rows = [row for row, *_ in judged]
    for row, work, *_ in judged:
        row["against_limit"] = limits.against_limit(row, work, core_limits, results.get(work["id"], {}))
    for row in rows:
        loads = [results.get(row["id"], {}).get("foreign_load_cores")]
        if row["peer"].startswith("PyTorch"):
            loads.append(torch_results.get("foreign_load_cores"))
        loads = [x for x in loads if x is not None]
        row["foreign_load_cores"] = max(loads) if loads else None
    reasons.give_verdicts(judged, results, torch_res, core_limits)
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="a fast smoke run with few samples")
    parser.add_argument("--out", default=str(HERE / "results.json"), help="JSON results file")
    parser.add_argument("--torch-python", help="python of the venv with torch (default: "
                        "$MORLA_CACHE/venv-torch/bin/python when it exists)")
    parser.add_argument("--no-torch", action="store_true", help="skip the PyTorch peer")
    parser.add_argument("--only", help="comma-separated workload ids to run")
    # a kind's measurement that needs a fresh process: prints KINDS[KIND].probe(ARG) as JSON
    parser.add_argument("--probe", nargs=2, metavar=("KIND", "ARG"), help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.probe:
        kind, arg = args.probe
        print(json.dumps(KINDS[kind].probe(arg)))
        return

    mode = "quick" if args.quick else "full"
    timing = common.TIMING[mode]
    only = None if args.only is None else args.only.split(",")
    unknown = set(only or ()) - {w["id"] for w in WORKLOADS}
    if unknown:  # an empty --only names the workload "" too
        parser.error(f"argument --only: no workload {', '.join(map(repr, sorted(unknown)))} "
                     f"(there are {', '.join(w['id'] for w in WORKLOADS)})")
    selected = [w for w in WORKLOADS if only is None or w["id"] in only]
    if only is not None:  # a workload measured against another one needs it too
        ids = {w["id"] for w in selected}
        selected = [w for w in WORKLOADS if w["id"] in ids or w["id"] in {s.get("baseline") for s in selected}]
    started = time.perf_counter()
    module_at_start = machine.module_info()

    data = {
        "mode": mode,
        "timing": timing,
        "threads_timing": KINDS["threads"].SETTINGS[mode],
        "started": time.strftime("%Y-%m-%dT%H:%M:%S"),
        "machine": machine.cpu_info(),
        "module": module_at_start,
        "environment": machine.environment(),
        "versions": machine.versions(),
        "numpy_blas": machine.blas_info(),
        "workloads": selected,
    }

    print("bench: this core's limits ...", end="", file=sys.stderr, flush=True)
    t0 = time.perf_counter()
    data["limits"] = limits.measure(mode)
    print(f" {time.perf_counter() - t0:.1f} s", file=sys.stderr)

    torch_python = args.torch_python
    if not torch_python and not args.no_torch:
        default = Path(os.environ.get("MORLA_CACHE", Path.home() / ".cache/morla")) / "venv-torch/bin/python"
        torch_python = str(default) if default.exists() else None
    wants_torch = any("torch" in w.get("targets", {}) for w in selected)
    peer: TorchPeer | None = None
    torch_results: dict = {"error": "skipped"}
    if torch_python and not args.no_torch and wants_torch:
        try:
            peer, torch_results = TorchPeer(torch_python), {"results": {}}
        except OSError as error:  # no such program, say: the run goes on without PyTorch
            torch_results = {"error": f"torch peer: {error}"}

    by_id = {w["id"]: w for w in WORKLOADS}
    results: dict = {}
    for work in selected:
        t0 = time.perf_counter()
        print(f"bench: {work['id']} ...", end="", file=sys.stderr, flush=True)
        load = LoadMonitor(peer.pid if peer and not peer.error else None)
        results[work["id"]] = run_workload(work, mode, peer if "torch" in work.get("targets", {}) else None,
                                           by_id.get(work.get("baseline")), torch_results)
        results[work["id"]]["foreign_load_cores"] = load.foreign_cores()
        print(f" {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    if peer:
        closed = peer.close()
        if "error" in closed:
            torch_results.setdefault("errors", []).append(closed["error"])
            torch_results.setdefault("error", closed.pop("error"))
        torch_results.update(closed)
    data["torch"] = torch_results
    data["versions"]["torch"] = torch_results.get("versions", {}).get("torch")
    data["versions"]["torch_cpu_capability"] = torch_results.get("versions", {}).get("cpu_capability")

    # Same inputs in both processes, and the same gradients out of the chained workload.
    checks = {}
    for wid, r in results.items():
        tr = torch_results.get("results", {}).get(wid)
        if tr and "fingerprint" in r:
            checks[wid] = {"same_inputs": tr.get("fingerprint") == r["fingerprint"]}
            if "morla_grad" in r and "grad" in tr:
                checks[wid]["grad_max_abs_diff"] = float(np.max(np.abs(np.subtract(r["morla_grad"], tr["grad"]))))
    data["cross_checks"] = checks
    data["results"] = results
    module_at_end = machine.module_info()
    data["module_changed_during_run"] = module_at_end["sha256"] != module_at_start["sha256"]
    rows = build_rows(results, torch_results, data["limits"])
    data["rows"] = rows
    data["wall_s"] = time.perf_counter() - started

    out = Path(args.out)
    out.parent.mkdir(parents=True, exist_ok=True)
    out.write_text(json.dumps(data, indent=1) + "\n")
    print_table(rows, data)
    mismatched = [k for k, c in checks.items() if not c["same_inputs"]]
    if mismatched:
        print(f"warning: the PyTorch peer saw different inputs for {', '.join(mismatched)}")
    if "error" in torch_results and torch_results["error"] != "skipped":
        print(f"warning: {torch_results['error'].splitlines()[-1] if torch_results['error'] else 'torch failed'}")
    if data["module_changed_during_run"]:
        print("warning: the installed morla_core changed during the run; figures mix two builds")
    print(f"results: {out} (suite took {data['wall_s']:.0f} s)")


if __name__ == "__main__":
    main()
