#!/usr/bin/env python3
"""Draws docs/performance.png from build-bench/bench-results.json (written by
bench/generation_vs_llama.py and bench/server_vs_llama.py).

Needs matplotlib (Debian: apt-get install python3-matplotlib). If the Python
that runs this lacks it, the system's /usr/bin/python3 is tried instead.

Usage: python3 docs/plot_performance.py [RESULTS_JSON] [OUTPUT_PNG]
"""

from __future__ import annotations

import json
import os
import sys
from pathlib import Path

try:
    import matplotlib
except ImportError:
    system_python = "/usr/bin/python3"
    if os.path.exists(system_python) and os.path.realpath(sys.executable) != os.path.realpath(system_python):
        os.execv(system_python, [system_python, *sys.argv])
    raise SystemExit("matplotlib is missing (Debian: apt-get install python3-matplotlib)")

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
MODEL_LABELS = {"random-58m": "58M", "random-58m-q8": "58M Q8_0", "random-tiny": "tiny"}


def ratio_rows(results: dict) -> list[tuple[str, float, float, float, str]]:
    """(label, advantage, low, high, note): advantage > 1 means the helper
    does better (faster, or less time or memory) than llama.cpp's tool; low
    and high bound it from the interquartile ranges of both sides."""
    rows = []
    for name, model in results.get("generation", {}).get("models", {}).items():
        label = MODEL_LABELS.get(name, name)
        ours, theirs = model["tg"]["helper"], model["tg"]["llama_bench"]
        rows.append((f"{label}: tokens/s vs llama-bench", ours["median"] / theirs["median"],
                     ours["q1"] / theirs["q3"], ours["q3"] / theirs["q1"],
                     f"{ours['median']:.0f} vs {theirs['median']:.0f} tok/s"))
        for key, what, unit, scale in (("wall_s", "one-shot wall", "ms", 1000.0),
                                       ("peak_rss_mib", "one-shot peak RSS", "MiB", 1.0)):
            ours, theirs = model["one_shot"][key]["helper"], model["one_shot"][key]["llama_completion"]
            digits = 0
            rows.append((f"{label}: {what} vs llama-completion", theirs["median"] / ours["median"],
                         theirs["q1"] / ours["q3"], theirs["q3"] / ours["q1"],
                         f"{ours['median'] * scale:.{digits}f} vs {theirs['median'] * scale:.{digits}f} {unit}"))
    for name, model in results.get("server", {}).get("llama_server", {}).items():
        label = MODEL_LABELS.get(name, name)
        for tokens, entry in model["by_tokens"].items():
            ours, theirs = entry["helper_ms"], entry["llama_server_ms"]
            rows.append((f"{label}: {tokens}-token request vs llama-server", theirs["median"] / ours["median"],
                         theirs["q1"] / ours["q3"], theirs["q3"] / ours["q1"],
                         f"{ours['median']:.1f} vs {theirs['median']:.1f} ms"))
        after = model["memory_kib"]["after"]
        ours, theirs = after["helper"]["VmRSS"] / 1024, after["llama_server"]["VmRSS"] / 1024
        rows.append((f"{label}: server RSS vs llama-server", theirs / ours, theirs / ours, theirs / ours,
                     f"{ours:.0f} vs {theirs:.0f} MiB"))
    return rows


def main() -> int:
    source = Path(sys.argv[1]) if len(sys.argv) > 1 else REPO / "build-bench" / "bench-results.json"
    target = Path(sys.argv[2]) if len(sys.argv) > 2 else REPO / "docs" / "performance.png"
    results = json.loads(source.read_text())
    rows = ratio_rows(results)
    server = results.get("server", {})

    figure, (left, right) = plt.subplots(1, 2, figsize=(14, 0.45 * max(len(rows), 8) + 1.8),
                                         gridspec_kw={"width_ratios": [2.0, 1]})
    positions = list(range(len(rows)))[::-1]
    values = [row[1] for row in rows]
    errors = [[max(0.0, row[1] - row[2]) for row in rows], [max(0.0, row[3] - row[1]) for row in rows]]
    colors = ["#3b7dd8" if value >= 1 else "#d8693b" for value in values]
    left.barh(positions, values, xerr=errors, color=colors, capsize=3, height=0.6, error_kw={"elinewidth": 0.8})
    left.axvline(1.0, color="black", linewidth=1)
    left.axvline(1.15, color="gray", linewidth=0.8, linestyle="--")
    left.set_xlim(0, max(1.6, max(row[3] for row in rows) * 1.05))
    left.set_yticks(positions, [row[0] for row in rows], fontsize=8)
    for position, row in zip(positions, rows):
        left.text(1.02, position, f"{row[1]:.2f}x   {row[4]}", va="center", fontsize=8,
                  transform=left.get_yaxis_transform(), clip_on=False)
    left.set_xlabel("the helper's advantage: llama.cpp's time or memory / the helper's; "
                    "for tokens/s, the helper's / llama-bench's\n"
                    "(> 1: the helper does better; whiskers: interquartile ranges of both sides; dashed: 1.15)",
                    fontsize=8)
    left.set_title("Helper vs llama.cpp's tools: same model, prompt tokens, threads, context, batches",
                   fontsize=10)
    labels, rates = [], []
    if "warmup" in server:
        labels += ["warm-up, pipelined", "warm-up, one at a time"]
        rates += [server["warmup"]["pipelined_per_s"]["median"], server["warmup"]["single_per_s"]["median"]]
    right.barh(range(len(rates))[::-1], rates, color="#3b7dd8", height=0.6)
    right.set_yticks(range(len(rates))[::-1], labels, fontsize=8)
    right.axvline(100_000, color="gray", linestyle="--", linewidth=0.8)
    right.set_xscale("log")
    right.set_xlim(1e4, 1e7)
    right.set_xlabel("cached warm-up round trips per second\nthrough pipes (dashed: 100,000/s)", fontsize=8)
    for position, rate in zip(range(len(rates))[::-1], rates):
        right.text(rate, position, f" {rate:,.0f}/s", va="center", fontsize=8)
    switch_lines = []
    for name, entry in server.get("switch", {}).items():
        switch_lines.append(f"{MODEL_LABELS.get(name, name)}: switch {entry['switch_ms']['median']:.1f} ms, "
                            f"fresh load {entry['fresh_load_ms']['median']:.1f} ms")
    if switch_lines:
        right.set_title("Server mode\n" + "\n".join(switch_lines), fontsize=9)
    machine = results.get("generation", server).get("machine", {})
    figure.text(0.01, 0.005, f"{machine.get('cpu', '')}, {machine.get('logical_cpus', '?')} logical CPUs, "
                f"{machine.get('when', '')}; medians of interleaved runs", fontsize=7, color="gray")
    figure.tight_layout(rect=(0, 0.02, 1, 1))
    figure.subplots_adjust(wspace=0.75)
    target.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(target, dpi=110)
    print(target)
    return 0


if __name__ == "__main__":
    sys.exit(main())
