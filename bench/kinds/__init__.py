"""The kinds of workload, by the name in a workload's "kind". A kind's module holds all of it:

    run(work, mode, torch, baseline) -> dict
                                 this module's (and NumPy's) figures, in the driver's process,
                                 every side sampled in turn (common.measure_sides); torch: the
                                 PyTorch peer's timed sides by name (bench/peer.py), or None;
                                 baseline: the workload named by work["baseline"], or None
    rows(work, result, results, torch_res) -> [(row, peer key, target)]
                                 its rows of the table; result is the workload's own figures,
                                 results and torch_res every workload's, this process's and PyTorch's
    torch_body(work, timing) -> (body, record)
                                 in the PyTorch peer's process: body(n) runs n calls (or a dict
                                 of such bodies by name, "torch" among them), record is
                                 what goes beside its timing (the fingerprint of the inputs, at
                                 least); None for a kind PyTorch has no part in

The PyTorch peer's Python (3.11, with torch and NumPy only) imports these modules too: they
import torch only inside torch_body, and morla_core and ml_dtypes through driver_libs.
A new kind is a module here, its line below, and its workloads in bench/workloads.py.
"""

from . import binary, chain, memory, sgd, threads

KINDS = {"binary": binary, "chain": chain, "sgd": sgd, "threads": threads, "memory": memory}
