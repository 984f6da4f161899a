#!/usr/bin/env python3
"""What the shipped engine costs at start and on disk: the one-shot wall time
of a tiny model's one-token request and the time from starting a server to
its first warm-up answer, for this build and, when given, an earlier one
(--before-build, e.g. a build of the previous engine), with the CPU module
each chooses and the size of each shipped folder.

Nothing here is a test: the figures go to bench-results.json ("startup").
"""

from __future__ import annotations

import argparse
import re
import time
from pathlib import Path

import bench_common as bc

MODEL = "random-tiny"


def folder_bytes(bin_dir: Path) -> int:
    """The shipped folder: the helper, the engine's libraries and modules,
    licenses/; not the tests, tools and benchmarks built beside them."""
    shipped = [p for p in bin_dir.iterdir()
               if p.name == "debrindle-llama-helper" or p.name.startswith(("libggml", "libllama"))]
    shipped += [p for p in (bin_dir / "licenses").glob("*")] if (bin_dir / "licenses").is_dir() else []
    return sum(p.stat().st_size for p in shipped if p.is_file() and not p.is_symlink())


def chosen_cpu_module(helper: Path, request: bytes) -> str:
    env = bc.helper_env()
    env["BRINDLE_DEBRINDLE_LLAMA_LOGS"] = "1"
    run = bc.run_measured([str(helper)], request, env=env)
    found = re.search(rb"loaded CPU backend from \S*?(libggml-cpu[-\w]*)\.so", run.stderr)
    return found.group(1).decode() if found else "one CPU backend, built in"


def first_warmup_seconds(helper: Path, warmup: bytes) -> float:
    start = time.perf_counter()
    server = bc.HelperServer(helper)
    server.ask(warmup)
    seconds = time.perf_counter() - start
    server.close()
    return seconds


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=15, help="quiet interleaved rounds (default 15)")
    parser.add_argument("--before-build", help="an earlier build directory to compare with")
    bc.add_common_arguments(parser)
    args = parser.parse_args()
    machine, paths = bc.begin(args)
    model = bc.ensure_model(paths, MODEL)
    request = bc.request_line(model, "hi", 1).rstrip(b"\n")
    warmup = bc.request_line(model, "", 1, action="warmup")
    helpers = {"now": paths.helper}
    if args.before_build:
        helpers["before"] = Path(args.before_build).resolve() / "bin" / "debrindle-llama-helper"

    def one_round(index: int) -> dict:
        figures = {}
        for name, helper in helpers.items():
            run = bc.run_measured([str(helper)], request, env=bc.helper_env())
            if run.status != 0 or run.stderr:
                raise SystemExit(f"{helper} failed: {run.status} {bc.text_tail(run.stderr, 500)}")
            figures[f"{name}_one_shot_s"] = run.seconds
            figures[f"{name}_first_warmup_s"] = first_warmup_seconds(helper, warmup)
        bc.say(f"  round {index + 1}: " + ", ".join(f"{k} {v:.3f}" for k, v in figures.items()))
        return figures

    rounds = bc.quiet_rounds(args.rounds, 3 * args.rounds, one_round)
    results = {"machine": machine, "model": MODEL, **bc.rounds_note(rounds)}
    for name, helper in helpers.items():
        results[name] = {
            "helper": str(helper),
            "cpu_module": chosen_cpu_module(helper, request),
            "folder_bytes": folder_bytes(helper.parent),
            "one_shot_s": bc.summary(bc.pooled(rounds, f"{name}_one_shot_s")),
            "first_warmup_s": bc.summary(bc.pooled(rounds, f"{name}_first_warmup_s")),
        }
        bc.say(f"{name}: {results[name]['cpu_module']}, folder {results[name]['folder_bytes'] / 1e6:.1f} MB, "
               f"one-shot {bc.spread_text(results[name]['one_shot_s'], ' s', digits=3)}, "
               f"first warm-up {bc.spread_text(results[name]['first_warmup_s'], ' s', digits=3)}")
    if "before" in helpers:
        for key in ("one_shot_s", "first_warmup_s"):
            added = results["now"][key]["median"] - results["before"][key]["median"]
            results[f"added_{key}"] = added
            bc.say(f"added by the engine ({key}): {added * 1000:.0f} ms")
    bc.store_results(paths, "startup", results)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
