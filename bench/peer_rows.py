"""The table's rows of a workload timed against its peers (the binary, chain and sgd kinds): one
row a peer, with the ratio of the medians, the target and, given the workload's volume, the rate.
"""

from __future__ import annotations

from table import fmt_target, fmt_time, shown_target

PEER_NAMES = {"numpy": "NumPy", "torch": "PyTorch", "morla_f32": "morla f32", "morla_f16": "morla f16",
              "morla_number": "morla, the number operand", "numpy_f32_bytes": "NumPy f32 add, same bytes",
              "numpy_default_threads": "NumPy, default threads", "torch_default_threads": "PyTorch, default threads"}


def peer_rows(work: dict, r: dict, results: dict, torch_res: dict,
              vol: tuple[str, str, float] | None = None) -> list[tuple]:
    """(row, peer key, target) for each of the workload's peers. r: this workload's result;
    results, torch_res: every workload's, this process's and PyTorch's. vol: what one call moves
    or computes, as (rate unit, pattern, amount), or None for no rate."""
    out = []
    morla = r["morla"]["median_s"]
    morla_fastest = r["morla"].get("min_s")
    peers = list(work["targets"].items())
    if work.get("default_threads"):
        peers += [("numpy_default_threads", None), ("torch_default_threads", None)]
    for peer, target in peers:
        direction = (target[0] if target else (">=" if work["op"] == "matmul" else "<="))
        if peer in ("morla_f32", "morla_f16", "morla_number"):
            # the baseline timed in turn with this workload, else in its own workload
            figures = r.get("baseline") or results.get(work["baseline"], {}).get("morla", {})
        elif peer.startswith("torch"):
            figures = torch_res.get(work["id"], {}).get(peer, {})
        else:
            figures = r.get(peer, {})
        peer_s, peer_fastest = figures.get("median_s"), figures.get("min_s")
        label = PEER_NAMES[peer]
        if work["dtype"] == "bf16" and peer == "numpy":
            label = "ml_dtypes"
        ratio = None
        if peer_s:
            ratio = peer_s / morla if direction == ">=" else morla / peer_s
        limit = shown_target(target[1]) if target else None
        row = {
            "workload": work["label"], "id": work["id"], "peer": label,
            "morla": fmt_time(morla), "peer_value": fmt_time(peer_s), "morla_s": morla, "peer_s": peer_s,
            "ratio": ratio, "ratio_kind": "throughput" if direction == ">=" else "time",
            "target": fmt_target(direction, limit) if target else "info",
            "ok": None if (ratio is None or not target) else
            (ratio <= limit if direction == "<=" else ratio >= limit),
        }
        if vol:  # the same amount for a baseline peer: same element count and item size
            unit, pattern, amount = vol
            # the medians' rates, and the fastest samples' (this core's limits are the fastest of theirs)
            row["rate"] = {"unit": unit, "pattern": pattern, "morla": amount / morla / 1e9,
                           "peer": amount / peer_s / 1e9 if peer_s else None,
                           "morla_fastest": amount / morla_fastest / 1e9 if morla_fastest else None,
                           "peer_fastest": amount / peer_fastest / 1e9 if peer_fastest else None,
                           "peer_default_threads": peer.endswith("default_threads")}
        out.append((row, peer, target))
    return out
