"""The printed table: the machine and versions the run had, then a line for each row with its
verdict, and the count of targets met. Also the formats of times and ratios the rows use.
"""

from __future__ import annotations

import os

from load import LOAD_WARNING_CORES


def fmt_time(s: float | None) -> str:
    if s is None:
        return "n/a"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("us", 1e-6)):
        if s >= scale:
            return f"{s / scale:.3g} {unit}"
    return f"{s / 1e-9:.3g} ns"


def fmt_ratio(x: float) -> str:
    """Three decimals (so 0.7996 does not read as a target of 0.8 met), or 3 digits when small."""
    return f"{x:.3f}" if abs(x) >= 0.1 else f"{x:.3g}"


def print_table(rows, data) -> None:
    m = data["machine"]
    print()
    print(f"machine: {m['model']}, {m['cores']} cores; flags: "
          + " ".join(k for k, v in m["flags"].items() if v)
          + f"; morla_core CPU path: {m['morla_cpu_path']}")
    v = data["versions"]
    blas = ", ".join(f"{b.get('internal_api')} {b.get('version')} ({b.get('architecture')}, "
                     f"{b.get('num_threads')} threads default)" for b in data["numpy_blas"])
    print(f"python {v['python']} (GIL {'on' if v['gil_enabled'] else 'off'}), numpy {v['numpy']} [{blas}], "
          f"ml_dtypes {v['ml_dtypes']}, torch {v.get('torch') or 'n/a'}"
          + (f" [{v.get('torch_cpu_capability')}]" if v.get("torch_cpu_capability") else ""))
    cleared = data["environment"]["openblas_vars_cleared_for_benchmarks"]
    if cleared:
        print("cleared for this run: " + ", ".join(f"{k}={v}" for k, v in cleared.items()))
    print(f"mode: {data['mode']}; ratio = morla time / peer time, except rows marked (thr): "
          "throughput ratio = peer time / morla time, and (x): 2-thread / 1-thread throughput")
    print("rate: GB/s = bytes of the inputs read and the result written / time (plain stores also read "
          "the result's lines first; this module's streaming stores do not); GFLOP/s = 2mnk / time")
    print("verdict: ok, miss: <the reason this run's figures bear out>, or MISS (none does); "
          "* = other processes busy meanwhile")
    print()
    headers = ["workload", "peer", "morla", "peer", "ratio", "target", "rate (morla / peer)", "*", "verdict"]
    table = []
    for r in rows:
        if r["ratio"] is None:
            ratio = "n/a"
        elif r["ratio_kind"] == "MiB over budget":
            ratio = f"{r['ratio']:+.2f} MiB"
        else:
            ratio = fmt_ratio(r["ratio"]) + {"throughput": " (thr)", "scaling": " (x)"}.get(r["ratio_kind"], "")
        rate = r.get("rate")
        rate = (f"{rate['morla']:.0f} / {'n/a' if rate['peer'] is None else format(rate['peer'], '.0f')} "
                f"{rate['unit']}") if rate else ""
        star = "*" if (r.get("foreign_load_cores") or 0) > LOAD_WARNING_CORES else ""
        table.append([r["workload"], r["peer"], r["morla"], r["peer_value"], ratio, r["target"], rate, star,
                      r["verdict"]])
    widths = [max(len(str(x)) for x in col) for col in zip(headers, *table)]
    widths[-1] = 0  # the last column is not padded
    print(" | ".join(h.ljust(w) for h, w in zip(headers, widths)).rstrip())
    print("-+-".join("-" * w for w in widths[:-1]) + "-+-" + "-" * len("verdict"))
    for row in table:
        print(" | ".join(str(x).ljust(w) for x, w in zip(row, widths)).rstrip())
    met = sum(1 for r in rows if r["ok"])
    judged = sum(1 for r in rows if r["ok"] is not None)
    explained = sum(1 for r in rows if r["ok"] is False and r["reason"])
    print(f"\n{met} of {judged} targets met; {explained} missed for the reason shown, "
          f"{judged - met - explained} missed with none borne out")
    loaded = [r for r in rows if (r.get("foreign_load_cores") or 0) > LOAD_WARNING_CORES]
    if loaded:
        worst = max(r["foreign_load_cores"] for r in loaded)
        print(f"* other processes kept up to {worst:.2f} of {os.cpu_count()} cores busy during "
              f"{len(loaded)} row(s): those figures are skewed (thread scaling most of all)")
