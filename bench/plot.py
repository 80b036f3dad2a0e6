"""Draws bench/results.png from bench/results.json: for each row of the table, how far the
result is from its target (>1 meets it), on a log scale; a miss whose reason the run bore out is
drawn apart from one without (results older than the reasons have only the latter). Needs only
matplotlib.

    python bench/plot.py bench/results.json bench/results.png
"""

from __future__ import annotations

import json
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.patches import Patch  # noqa: E402

MET, EXPLAINED, MISSED = "#3a923a", "#e08e0b", "#c0392b"


def margin(row: dict) -> float | None:
    """target / ratio for "<=" time rows, ratio / target for ">=" rows; budget / rise for memory."""
    ratio, target = row["ratio"], row["target"]
    if ratio is None or target == "info" or row.get("unreliable"):  # the last are no results
        return None
    op, _, value = target.partition(" ")
    if row["ratio_kind"] == "MiB over budget":
        return None
    value = float(value)
    if op == "<=":
        return value / ratio if ratio > 0 else None
    return ratio / value if value > 0 else None


def main() -> None:
    src, dst = sys.argv[1], sys.argv[2]
    with open(src) as f:
        data = json.load(f)
    rows = []
    for row in data["rows"]:
        m = margin(row)
        if row["ratio_kind"] == "MiB over budget" and row["ratio"] is not None:
            mem = data["results"][row["id"]]
            m = mem["budget_mib"] / max(mem["morla"]["peak_rise_mib"], 1e-3)
        if m is not None:
            rows.append((f"{row['workload']}  vs {row['peer']}", m, row))
    fig, ax = plt.subplots(figsize=(11, 0.38 * len(rows) + 1.6))
    labels = [r[0] for r in rows][::-1]
    values = [r[1] for r in rows][::-1]
    kept = [r[2] for r in rows][::-1]
    colors = [MET if v >= 1 else EXPLAINED if r.get("reason") else MISSED for v, r in zip(values, kept)]
    ax.barh(range(len(values)), values, color=colors)
    ax.legend(handles=[Patch(color=MET, label="met"), Patch(color=EXPLAINED, label="missed, reason in the table"),
                       Patch(color=MISSED, label="missed, no reason borne out")],
              loc="lower right", fontsize=7)
    ax.set_xscale("log")
    ax.axvline(1.0, color="black", linewidth=1)
    ax.set_yticks(range(len(values)))
    ax.set_yticklabels(labels, fontsize=8)
    for i, (v, r) in enumerate(zip(values, kept)):
        text = f"{r['ratio']:+.2f} MiB" if r["ratio_kind"] == "MiB over budget" else (f"{r['ratio']:.3f}" if abs(r["ratio"]) >= 0.1 else f"{r['ratio']:.3g}")
        ax.text(v * 1.03, i, f"{text} ({r['target']})", va="center", fontsize=7,
                bbox={"facecolor": "white", "edgecolor": "none", "alpha": 0.8, "pad": 1})
    m = data["machine"]
    ax.set_xlabel("margin to target (> 1 meets it; label: measured ratio and target)")
    ax.set_title(f"morla_core benchmarks ({data['mode']}) - {m['model']}, "
                 f"path {m.get('morla_cpu_path', m.get('morla_expected_cpu_path'))}", fontsize=10)
    lo, hi = min(values + [1.0]), max(values + [1.0])
    ax.set_xlim(lo / 2, hi * 4)
    fig.tight_layout()
    fig.savefig(dst, dpi=110)
    print(f"chart: {dst}")


if __name__ == "__main__":
    main()
