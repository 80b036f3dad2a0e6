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


def shown_target(value: float) -> float:
    """A target as the table shows it and judges by: three significant digits."""
    return float(f"{value:.3g}")


def fmt_target(direction: str, value: float) -> str:
    return f"{direction} {shown_target(value):g}"


LIMIT_NAMES = {"peak": "peak", "bandwidth": "bw", "floor": "floor"}


def fmt_against_limit(against: dict | None) -> str:
    """A row's figures (this module's / the peer's) against this core's limit: shares of the peak
    or the bandwidth, multiples of the call floor."""
    if not against:
        return ""
    form = (lambda x: f"{x:.1f}x") if against["limit"] == "floor" else (lambda x: f"{x:.2f}")
    peer = "n/a" if against["peer"] is None else form(against["peer"])
    return f"{form(against['morla'])} / {peer} {LIMIT_NAMES[against['limit']]}"


def print_limits(limits: dict) -> None:
    floor = (f"one call into C that makes one object {fmt_time(limits['call_floor_s'])} "
             f"(NumPy's float32 scalar add, {fmt_time(limits['numpy_scalar_add_s'])}, less the empty loop's "
             f"{fmt_time(limits['empty_loop_s'])})")
    if "error" in limits:
        print(f"this core's limits: {floor}; no peak or bandwidth: {limits['error'].splitlines()[-1]}")
    else:
        print(f"this core's limits, measured in this run: peak {limits['peak_gflops']:.0f} GFLOP/s "
              f"(float32 multiply-adds on registers, {limits['fma_path']}); bandwidth "
              f"{limits['bandwidth_gbs']:.1f} GB/s (a copy with streaming stores); {floor}")
    print("against limit: products' rates as shares of the peak; element-wise rates as shares of the "
          "bandwidth (bw; past 1 when a cache kept part of the operands between calls), both from each "
          "side's fastest sample, as the limits are; one-call rows' times as multiples of the call floor "
          "(per operation for a chain)")


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
    print_limits(data["limits"])
    print("verdict: ok, miss: <the reason this run's figures bear out>, MISS (none does), or unreliable: "
          "<why the figure cannot be taken as a result>; * = other processes busy meanwhile")
    print()
    headers = ["workload", "peer", "morla", "peer", "ratio", "target", "rate (morla / peer)",
               "against limit", "*", "verdict"]
    table = []
    for r in rows:
        if r.get("unreliable"):
            ratio = "unreliable"
        elif r["ratio"] is None:
            ratio = "n/a"
        elif r["ratio_kind"] == "MiB over budget":
            ratio = f"{r['ratio']:+.2f} MiB"
        else:
            ratio = fmt_ratio(r["ratio"]) + {"throughput": " (thr)", "scaling": " (x)"}.get(r["ratio_kind"], "")
        rate = r.get("rate")
        rate = (f"{rate['morla']:.0f} / {'n/a' if rate['peer'] is None else format(rate['peer'], '.0f')} "
                f"{rate['unit']}") if rate else ""
        star = "*" if (r.get("foreign_load_cores") or 0) > LOAD_WARNING_CORES else ""
        table.append([r["workload"], r["peer"], r["morla"], r["peer_value"], ratio, r["target"], rate,
                      fmt_against_limit(r.get("against_limit")), star, r["verdict"]])
    widths = [max(len(str(x)) for x in col) for col in zip(headers, *table)]
    widths[-1] = 0  # the last column is not padded
    print(" | ".join(h.ljust(w) for h, w in zip(headers, widths)).rstrip())
    print("-+-".join("-" * w for w in widths[:-1]) + "-+-" + "-" * len("verdict"))
    for row in table:
        print(" | ".join(str(x).ljust(w) for x, w in zip(row, widths)).rstrip())
    met = sum(1 for r in rows if r["ok"])
    judged = sum(1 for r in rows if r["ok"] is not None)
    explained = sum(1 for r in rows if r["ok"] is False and r["reason"])
    unreliable = sum(1 for r in rows if r.get("unreliable") and r["target"] != "info")
    print(f"\n{met} of {judged} targets met; {explained} missed for the reason shown, "
          f"{judged - met - explained} missed with none borne out"
          + (f"; {unreliable} not judged, their figures unreliable" if unreliable else ""))
    loaded = [r for r in rows if (r.get("foreign_load_cores") or 0) > LOAD_WARNING_CORES]
    if loaded:
        worst = max(r["foreign_load_cores"] for r in loaded)
        print(f"* other processes kept up to {worst:.2f} of {os.cpu_count()} cores busy during "
              f"{len(loaded)} row(s): those figures are skewed (thread scaling most of all)")
