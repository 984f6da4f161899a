#!/usr/bin/env python3
"""Shared system prompts: the helper's server, which keeps the cells of the
last prompts and resumes a request at the longest prefix it shares with one
of them (in multiples of 4 tokens on the CPU), side by side with llama-server
from the same pinned llama.cpp with its prompt cache on (its default: it keeps
every shared token, and recent prompts in host memory) and off, in one run.

Three workloads with requests whose user prompts differ, 16-token greedy
replies and the same rendered prompts for both (the llama3 rendering the
helper makes for a model without a template): one system prompt of 500
words, one of 150 words, and three of 500 words taken in turn; and the same
request (500 words) again and again, with 1-token and 8-token replies. Per request:
the end-to-end latency, the helper through its pipes, llama-server over HTTP
to /completion. Every server reply of the helper is compared with its
one-shot reply to the same request.

With --windows-build DIR, the Windows helper of that build runs the same
requests under Wine (its replies compared with the Linux one-shot replies,
which they equal byte for byte where both compute the same bits).

With --baseline-build DIR (a build of the helper before this change), the
same helper server's requests whose prompts share nothing with the last are
timed against that build's, and so is the resident memory after the
500-word workload.

Runs are interleaved in rounds; on a shared machine a round counts only if
the machine was idle just before and after it (bench_common.quiet_rounds).
Results go to build-bench/bench-results.json under "prompt_reuse", the plot
to docs/prompt_reuse.svg.

Usage: python3 bench/prompt_reuse.py [--build-dir DIR] [--baseline-build DIR]
           [--windows-build DIR] [--models random-58m,chat-1b-q4km] [--rounds N]
"""

from __future__ import annotations

import argparse
import itertools
import json
import statistics
import string
import subprocess
import sys
from pathlib import Path
from typing import NamedTuple

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_common as bc  # noqa: E402
import server_vs_llama as sv  # noqa: E402
import windows_vs_linux as wl  # noqa: E402



class Workload(NamedTuple):
    key: str
    label: str
    system_words: list[int]  # the system prompts' lengths, taken in turn
    requests: int
    reply_tokens: int = 16
    same_request: bool = False  # every request the first one again


WORKLOADS = [Workload("one_500", "one 500-word system prompt", [500], 6),
             Workload("one_150", "one 150-word system prompt", [150], 6),
             Workload("three_500", "three 500-word system prompts in turn", [500, 500, 500], 9),
             Workload("again_1", "the same request again, 1-token replies", [500], 6, 1, True),
             Workload("again_8", "the same request again, 8-token replies", [500], 6, 8, True)]


def words_from(first: int, count: int) -> str:
    """Words of two and then three letters from the `first` on, each a token
    of the random models of 32,000 tokens."""
    pairs = ("".join(letters) for length in (2, 3)
             for letters in itertools.product(string.ascii_lowercase, repeat=length))
    return " ".join(itertools.islice(pairs, first, first + count))


def prompts(workload: Workload, shared: bool = True) -> list[tuple[str, str]]:
    """(system, user) of each request; without `shared`, every system prompt
    is another one."""
    systems = [words_from(3000 + 1000 * i, words) for i, words in enumerate(workload.system_words)]
    turn = (lambda i: 0) if workload.same_request else (lambda i: i)  # noqa: E731
    return [(systems[turn(i) % len(systems)] if shared else words_from(9000 + 600 * i, workload.system_words[0]),
             words_from(100 + 10 * turn(i), 8)) for i in range(workload.requests)]


def helper_requests(model: Path, pairs: list[tuple[str, str]], reply_tokens: int) -> list[bytes]:
    return [bc.request_line(model, user, reply_tokens, system_prompt=system) for system, user in pairs]


def helper_session(helper: Path, model: Path, lines: list[bytes], windows: dict | None = None) -> dict:
    """A fresh server (under Wine with the `windows` environment): the model
    loaded by a warmup, then the requests, each timed; its replies and
    resident memory after them."""
    server = (bc.HelperServer(helper, windows, launcher=[wl.WINE]) if windows is not None
              else bc.HelperServer(helper))
    server.ask(bc.request_line(model, "", 1, action="warmup"))
    seconds, replies = [], []
    for line in lines:
        elapsed, answer = server.ask_timed(line)
        seconds.append(elapsed)
        replies.append(answer["output"])
    memory = bc.resident_kib(server.process.pid)
    server.close()
    return {"seconds": seconds, "replies": replies, "rss_kib": memory["VmRSS"]}


def llama_server_session(paths: bc.Paths, model: Path, name: str, pairs: list[tuple[str, str]],
                         reply_tokens: int, cache: bool) -> dict:
    theirs = sv.LlamaServer(paths.tools_bin, model, paths.build / f"llama-server-reuse-{name}.log")
    seconds = []
    try:
        for system, user in pairs:
            body = json.dumps({"prompt": bc.llama3_prompt(system, user), "n_predict": reply_tokens,
                               "temperature": 0, "cache_prompt": cache, "stream": False})
            elapsed, status, data = theirs.exchange("POST", "/completion", body)
            # Its chat parser refuses some of a random model's replies after
            # generating them (status 500): the time is the request's all the same.
            refused = status == 500 and b"does not match the expected" in data
            if not refused and (status != 200 or json.loads(data)["tokens_predicted"] != reply_tokens):
                raise SystemExit(f"llama-server answered {status}: {data[:300]!r}")
            seconds.append(elapsed)
    finally:
        theirs.close()
    return {"seconds": seconds}


def one_shot_replies(helper: Path, lines: list[bytes]) -> list[str]:
    replies = []
    for line in lines:
        run = subprocess.run([str(helper)], input=line, capture_output=True, env=bc.helper_env(), check=True)
        replies.append(run.stdout.decode())
    return replies


def measure_workload(paths: bc.Paths, name: str, model: Path, workload: Workload, baseline: Path | None,
                     windows_build: Path | None, rounds: int) -> dict:
    key, label, requests, reply_tokens = workload.key, workload.label, workload.requests, workload.reply_tokens
    pairs = prompts(workload)
    shared_lines = helper_requests(model, pairs, reply_tokens)
    fresh_lines = helper_requests(model, prompts(workload, shared=False), reply_tokens)
    alone = one_shot_replies(paths.helper, shared_lines)
    compare_baseline = baseline is not None and key == "one_500"

    def measure(index: int) -> dict:
        data = {
            "helper": helper_session(paths.helper, model, shared_lines),
            "llama_server_cache_on": llama_server_session(paths, model, name, pairs, reply_tokens, cache=True),
            "llama_server_cache_off": llama_server_session(paths, model, name, pairs, reply_tokens, cache=False),
        }
        if windows_build is not None:
            data["windows_helper"] = helper_session(windows_build / "bin" / "debrindle-llama-helper.exe", model,
                                                    shared_lines, wl.wine_env(windows_build))
            data["windows_equal_replies"] = sum(a == b for a, b in zip(data["windows_helper"]["replies"], alone))
        if compare_baseline:
            data["helper_nothing_shared"] = helper_session(paths.helper, model, fresh_lines)
            data["baseline_nothing_shared"] = helper_session(baseline, model, fresh_lines)
            data["baseline_shared"] = helper_session(baseline, model, shared_lines)
        data["equal_replies"] = sum(a == b for a, b in zip(data["helper"]["replies"], alone))
        bc.say(f"  {key} round {index + 1}: " + ", ".join(
            f"{k} {statistics.median(value['seconds']) * 1000:.0f} ms"
            for k, value in data.items() if isinstance(value, dict)))
        return data

    measured = bc.quiet_rounds(rounds, rounds * 2, measure)
    result: dict = {**bc.rounds_note(measured), "label": label, "requests": requests, "reply_tokens": reply_tokens}
    chosen = [r for r in measured if r["quiet"]] or measured
    for series in ("helper", "windows_helper", "llama_server_cache_on", "llama_server_cache_off",
                   "helper_nothing_shared", "baseline_nothing_shared", "baseline_shared"):
        samples = [s for r in chosen if series in r for s in r[series]["seconds"]]
        if samples:
            result[series] = bc.summary(samples)
    result["equal_replies"] = f"{min(r['equal_replies'] for r in measured)}/{requests}"
    median = lambda series: result[series]["median"]  # noqa: E731
    result["helper_vs_cache_on"] = median("helper") / median("llama_server_cache_on")
    result["helper_vs_cache_off"] = median("helper") / median("llama_server_cache_off")
    result["rss_kib"] = statistics.median(r["helper"]["rss_kib"] for r in measured)
    text = (f"{name}, {label}: helper {bc.spread_text(result['helper'], ' s', digits=3)}; llama-server cache on "
            f"{bc.spread_text(result['llama_server_cache_on'], ' s', digits=3)}, off "
            f"{bc.spread_text(result['llama_server_cache_off'], ' s', digits=3)}; helper/cache on "
            f"{result['helper_vs_cache_on']:.2f}x, helper/cache off {result['helper_vs_cache_off']:.2f}x; "
            f"replies equal to one-shot {result['equal_replies']}")
    if windows_build is not None:
        result["windows_equal_replies"] = f"{min(r['windows_equal_replies'] for r in measured)}/{requests}"
        result["windows_vs_cache_on"] = median("windows_helper") / median("llama_server_cache_on")
        text += (f"; Windows helper under Wine {bc.spread_text(result['windows_helper'], ' s', digits=3)}, "
                 f"/cache on {result['windows_vs_cache_on']:.2f}x, replies equal {result['windows_equal_replies']}")
    if compare_baseline:
        result["nothing_shared_vs_baseline"] = median("helper_nothing_shared") / median("baseline_nothing_shared")
        result["rss_vs_baseline"] = (statistics.median(r["helper"]["rss_kib"] for r in measured) /
                                     statistics.median(r["baseline_shared"]["rss_kib"] for r in measured))
        text += (f"; nothing shared, helper/baseline {result['nothing_shared_vs_baseline']:.3f}x; "
                 f"resident memory helper/baseline {result['rss_vs_baseline']:.3f}x")
    bc.say(text)
    return result


def measure_model(paths: bc.Paths, name: str, baseline: Path | None, windows_build: Path | None,
                  rounds: int, workloads: list[str]) -> dict:
    model = bc.ensure_model(paths, name)
    return {workload.key: measure_workload(paths, name, model, workload, baseline, windows_build, rounds)
            for workload in WORKLOADS if workload.key in workloads}

SERIES = [("helper", "helper (Linux)", "#1f77b4"), ("windows_helper", "helper (Windows, Wine)", "#aec7e8"),
          ("llama_server_cache_on", "llama-server, cache on", "#d62728"),
          ("llama_server_cache_off", "llama-server, cache off", "#ff9896")]


def plot(results: dict, path: Path) -> None:
    """For each model and workload, a bar per server: its median time per
    request over llama-server's with its cache on."""
    groups = [(f"{name}, {key.replace('_', ' ')}", entry) for name, workloads in results.items()
              if name != "machine" for key, entry in workloads.items()]
    width, height, left, bottom, top = 900, 340, 50, 40, 44
    ratios = [{series: entry[series]["median"] / entry["llama_server_cache_on"]["median"]
               for series, _, _ in SERIES if series in entry} for _, entry in groups]
    most = max(2, int(max(r for entry in ratios for r in entry.values())) + 1)
    scale = (height - bottom - top) / most
    group = (width - left - 10) / max(1, len(groups))
    bar = group * 0.8 / len(SERIES)
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" font-family="sans-serif" '
             f'font-size="11"><rect width="{width}" height="{height}" fill="white"/>',
             f'<text x="{left}" y="16" font-size="13">Time per request with shared system prompts, over '
             f'llama-server\'s with its cache on (lower is better)</text>']
    for ratio in range(most + 1):
        y = height - bottom - ratio * scale
        parts.append(f'<line x1="{left}" x2="{width - 10}" y1="{y}" y2="{y}" stroke="#ddd"/>'
                     f'<text x="{left - 6}" y="{y + 4}" text-anchor="end">{ratio}x</text>')
    for index, (label, _) in enumerate(groups):
        x0 = left + index * group + group * 0.1
        parts.append(f'<text x="{x0 + group * 0.4}" y="{height - bottom + 16}" text-anchor="middle" '
                     f'font-size="10">{label}</text>')
        for number, (series, _, colour) in enumerate(SERIES):
            if series in ratios[index]:
                shown = ratios[index][series] * scale
                parts.append(f'<rect x="{x0 + number * bar:.1f}" y="{height - bottom - shown:.1f}" '
                             f'width="{bar - 2:.1f}" height="{shown:.1f}" fill="{colour}"/>'
                             f'<text x="{x0 + (number + 0.5) * bar:.1f}" y="{height - bottom - shown - 3:.1f}" '
                             f'text-anchor="middle" font-size="9">{ratios[index][series]:.2f}</text>')
    for number, (_, label, colour) in enumerate(SERIES):
        parts.append(f'<rect x="{left + 10 + number * 175}" y="{top - 18}" width="10" height="10" '
                     f'fill="{colour}"/><text x="{left + 24 + number * 175}" y="{top - 9}">{label}</text>')
    parts.append("</svg>")
    path.write_text("\n".join(parts) + "\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    bc.add_common_arguments(parser)
    parser.add_argument("--baseline-build", help="a build of the helper to compare against")
    parser.add_argument("--windows-build", help="a Windows build whose helper runs under Wine too")
    parser.add_argument("--models", default="random-58m,chat-1b-q4km")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--workloads", default=",".join(w.key for w in WORKLOADS))
    parser.add_argument("--plot", default=str(bc.REPO / "docs" / "prompt_reuse.svg"), help="where the plot goes")
    args = parser.parse_args()
    description, paths = bc.begin(args)
    baseline = Path(args.baseline_build).resolve() / "bin" / "debrindle-llama-helper" if args.baseline_build else None
    windows_build = Path(args.windows_build).resolve() if args.windows_build else None
    results = {"machine": description}
    for name in args.models.split(","):
        bc.say(f"\n== {name}")
        results[name] = measure_model(paths, name, baseline, windows_build, args.rounds, args.workloads.split(","))
    bc.store_results(paths, "prompt_reuse", results)
    plot(results, Path(args.plot))


if __name__ == "__main__":
    main()
