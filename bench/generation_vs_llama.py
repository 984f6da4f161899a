#!/usr/bin/env python3
"""Generation, side by side with llama.cpp's own tools, in one run.

For a random model of some tens of millions of parameters and a tiny one:

1. Generation speed. The helper's tokens per second against llama-bench's
   text-generation figure (-p 0 -n 160, at the depth of the helper's prompt,
   same threads, batch and micro-batch).

   The helper's figure comes from its server mode: the same prompt is asked
   for once with maxTokens 1 and once with maxTokens 160, back to back. The
   random models never end their turn early, so the answers hold exactly 1
   and 160 tokens; everything else in the two requests (reading, context,
   the prompt, the first token, writing) is the same, so
       tokens/s = 159 / (time(160) - time(1)).
   That counts everything the helper does per generated token: sampling,
   the piece, the decode.

2. One-shot wall time and peak memory. The helper in one-shot mode (a fresh
   process: start, load, prompt, 160 tokens, exit) against llama-completion
   doing the same prompt tokens, 160 greedy tokens, the same threads,
   context, batch and micro-batch, no warm-up (the helper does none), no
   conversation mode. Wall time from spawn to reaping, peak resident set
   from wait4 (what /usr/bin/time -v reports). Both texts are compared too.

Runs are interleaved (ours, theirs, ours, theirs, ...) in rounds. The
machine is shared, so a round counts only if the machine was idle just before
and just after it; rounds are run until --rounds quiet ones were had (at most
three times as many). Medians and spreads of the quiet rounds are reported;
every round goes to build-bench/bench-results.json under "generation".

Usage: python3 bench/generation_vs_llama.py [--build-dir DIR] [--rounds N] [--models A,B]
"""

from __future__ import annotations

import argparse
import json
import re
import statistics
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_common as bc  # noqa: E402

GENERATED = 160                   # the helper's largest token budget
PROMPT_WORDS = 43                 # 3*43+32 >= 160, so the budget is maxTokens
CONTEXT = 1024                    # the helper's n_ctx for this prompt: max(1024, 160+P+16)
BATCH, UBATCH = 512, 256

# Helper request pairs (1 and 160 tokens) per round, and one-shot rounds per
# requested round (a tiny model's one-shot run is short and noisy), per model.
PAIRS_PER_ROUND = {"random-58m": 2, "random-58m-q8": 2, "random-tiny": 6}
ONE_SHOT_ROUNDS_FACTOR = {"random-58m": 1, "random-58m-q8": 1, "random-tiny": 6}


def completion_argv(tools: Path, model: Path, prompt: str, tokens: int, extra: tuple[str, ...] = ()) -> list[str]:
    return [str(tools / "llama-completion"), "-m", str(model), "-p", prompt, "-n", str(tokens),
            "-t", str(bc.HELPER_THREADS), "-tb", str(bc.HELPER_THREADS), "-c", str(CONTEXT),
            "-b", str(BATCH), "-ub", str(UBATCH), "--temp", "0", "-no-cnv", "--no-warmup",
            "--no-display-prompt", "--simple-io", *extra]


def bench_argv(tools: Path, model: Path, depth: int, repetitions: int) -> list[str]:
    return [str(tools / "llama-bench"), "-m", str(model), "-p", "0", "-n", str(GENERATED), "-d", str(depth),
            "-t", str(bc.HELPER_THREADS), "-b", str(BATCH), "-ub", str(UBATCH), "-r", str(repetitions),
            "-o", "json"]


def prompt_token_count(tools: Path, model: Path, prompt: str, extra: tuple[str, ...] = ()) -> int:
    run = bc.run_measured(completion_argv(tools, model, prompt, 1, ("--verbose-prompt", *extra)))
    found = re.search(rb"number of tokens in prompt = (\d+)", run.stdout + run.stderr)
    if run.status != 0 or not found:
        raise SystemExit(f"llama-completion did not report the prompt length:\n{bc.text_tail(run.stderr, 2000)}")
    return int(found.group(1))


def measure_model(paths: bc.Paths, name: str, rounds: int) -> dict:
    model = bc.ensure_model(paths, name)
    tools = paths.tools_bin
    user_prompt = bc.synthetic_words(PROMPT_WORDS)
    prompt = bc.llama3_prompt("", user_prompt)
    prompt_tokens = prompt_token_count(tools, model, prompt)
    if GENERATED + prompt_tokens + 16 > CONTEXT:
        raise SystemExit(f"the prompt ({prompt_tokens} tokens) would change the helper's context length")
    bc.say(f"\n== {name}: {model.stat().st_size / 1e6:.1f} MB, prompt {prompt_tokens} tokens, "
           f"{GENERATED} generated, {bc.HELPER_THREADS} threads")

    # --- generation speed ---------------------------------------------
    pairs = PAIRS_PER_ROUND.get(name, 3)
    one = bc.request_line(model, user_prompt, 1)
    full = bc.request_line(model, user_prompt, GENERATED)
    server = bc.HelperServer(paths.helper)
    server.ask_timed(bc.request_line(model, "", 1, action="warmup"))
    server.ask_timed(one)
    _, served = server.ask_timed(full)  # neither is measured: first touches of the weights

    def generation_round(index: int) -> dict:
        # One pair first, not measured: the machine was idle until now, and
        # llama-bench, too, warms up before it measures.
        server.ask_timed(one)
        server.ask_timed(full)
        ours = []
        for _ in range(pairs):
            t1, _ = server.ask_timed(one)
            t160, _ = server.ask_timed(full)
            ours.append((GENERATED - 1) / (t160 - t1))
        run = bc.run_measured(bench_argv(tools, model, prompt_tokens, pairs))
        if run.status != 0:
            raise SystemExit(f"llama-bench failed:\n{bc.text_tail(run.stderr, 2000)}")
        theirs = json.loads(run.stdout)[0]["samples_ts"]
        bc.say(f"  round {index + 1}: helper {statistics.median(ours):.1f} tok/s, "
               f"llama-bench {statistics.median(theirs):.1f} tok/s")
        return {"helper": ours, "llama_bench": theirs}

    tg_rounds = bc.quiet_rounds(rounds, 3 * rounds, generation_round)
    server.close()
    tg = {"helper": bc.summary(bc.pooled(tg_rounds, "helper")),
          "llama_bench": bc.summary(bc.pooled(tg_rounds, "llama_bench")), **bc.rounds_note(tg_rounds),
          "all_rounds": tg_rounds}
    tg["ratio"] = tg["helper"]["median"] / tg["llama_bench"]["median"]
    bc.say(f"  tokens/s   helper {bc.spread_text(tg['helper'])}  llama-bench {bc.spread_text(tg['llama_bench'])}"
           f"  ratio {tg['ratio']:.3f}  ({tg['quiet_rounds']} quiet of {tg['rounds']} rounds)")

    # --- one-shot wall time and peak memory ---------------------------
    request = full.rstrip(b"\n")
    texts: dict[str, set] = {"helper": set(), "llama_completion": set()}

    def one_shot_round(index: int) -> dict:
        # Who goes first after the idle wait alternates.
        def run_ours() -> bc.Run:
            return bc.run_measured([str(paths.helper)], request, env=bc.helper_env())

        def run_theirs() -> bc.Run:
            return bc.run_measured(completion_argv(tools, model, prompt, GENERATED))

        if index % 2 == 0:
            ours, theirs = run_ours(), run_theirs()
        else:
            theirs, ours = run_theirs(), run_ours()
        if ours.status != 0 or theirs.status != 0:
            raise SystemExit(f"a one-shot run failed: helper {ours.status} {bc.text_tail(ours.stderr, 500)}; "
                             f"llama-completion {theirs.status} {bc.text_tail(theirs.stderr, 2000)}")
        # llama-completion prints raw bytes; the helper writes U+FFFD for a
        # byte that is not UTF-8. The same tokens give the same text then.
        ours_text = ours.stdout.decode("utf-8", "replace").strip()
        theirs_text = theirs.stdout.decode("utf-8", "replace").strip()
        texts["helper"].add(ours_text)
        texts["llama_completion"].add(theirs_text)
        bc.say(f"  round {index + 1}: helper {ours.seconds:.3f} s {ours.max_rss_kib / 1024:.1f} MiB, "
               f"llama-completion {theirs.seconds:.3f} s {theirs.max_rss_kib / 1024:.1f} MiB"
               + ("" if ours_text == theirs_text else
                  f"; the texts differ ({len(ours_text)} and {len(theirs_text)} characters)"))
        return {"helper_s": ours.seconds, "llama_completion_s": theirs.seconds,
                "helper_mib": ours.max_rss_kib / 1024, "llama_completion_mib": theirs.max_rss_kib / 1024,
                "texts_equal": ours_text == theirs_text}

    shot_wanted = rounds * ONE_SHOT_ROUNDS_FACTOR.get(name, 1)
    shot_rounds = bc.quiet_rounds(shot_wanted, 3 * shot_wanted, one_shot_round)
    equal_rounds = sum(r["texts_equal"] for r in shot_rounds)
    texts_equal = equal_rounds == len(shot_rounds)
    served_equal = texts["helper"] == {served["output"].strip()}
    one_shot = {"wall_s": {"helper": bc.summary(bc.pooled(shot_rounds, "helper_s")),
                           "llama_completion": bc.summary(bc.pooled(shot_rounds, "llama_completion_s"))},
                "peak_rss_mib": {"helper": bc.summary(bc.pooled(shot_rounds, "helper_mib")),
                                 "llama_completion": bc.summary(bc.pooled(shot_rounds, "llama_completion_mib"))},
                "texts_equal": texts_equal, "server_text_equals_one_shot": served_equal,
                "rounds_with_equal_texts": equal_rounds,
                "distinct_texts": {side: len(seen) for side, seen in texts.items()},
                **bc.rounds_note(shot_rounds), "all_rounds": shot_rounds}
    for key in ("wall_s", "peak_rss_mib"):
        one_shot[key]["ratio"] = one_shot[key]["helper"]["median"] / one_shot[key]["llama_completion"]["median"]
    bc.say(f"  wall       helper {bc.spread_text(one_shot['wall_s']['helper'], ' s', digits=3)}  "
           f"llama-completion {bc.spread_text(one_shot['wall_s']['llama_completion'], ' s', digits=3)}  "
           f"ratio {one_shot['wall_s']['ratio']:.3f}  ({one_shot['quiet_rounds']} quiet of "
           f"{one_shot['rounds']} rounds)")
    bc.say(f"  peak RSS   helper {bc.spread_text(one_shot['peak_rss_mib']['helper'], ' MiB')}  "
           f"llama-completion {bc.spread_text(one_shot['peak_rss_mib']['llama_completion'], ' MiB')}  "
           f"ratio {one_shot['peak_rss_mib']['ratio']:.3f}")
    bc.say(f"  same text as llama-completion in {equal_rounds} of {len(shot_rounds)} rounds; distinct texts "
           f"{one_shot['distinct_texts']}; server answer equals one-shot: {served_equal}")

    return {"model_bytes": model.stat().st_size, "writer_flags": bc.MODELS[name], "prompt_tokens": prompt_tokens,
            "generated_tokens": GENERATED, "threads": bc.HELPER_THREADS, "pairs_per_round": pairs,
            "tg": tg, "one_shot": one_shot,
            "commands": {"llama_bench": bench_argv(Path("$TOOLS"), Path(f"$MODELS/{name}.gguf"), prompt_tokens,
                                                   pairs),
                         "llama_completion": completion_argv(Path("$TOOLS"), Path(f"$MODELS/{name}.gguf"),
                                                             "$PROMPT", GENERATED),
                         "helper_request": json.loads(full)}}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=7, help="quiet interleaved rounds per measurement (default 7)")
    parser.add_argument("--models", default="random-58m,random-58m-q8,random-tiny", help="comma-separated model names")
    bc.add_common_arguments(parser)
    args = parser.parse_args()
    machine, paths = bc.begin(args)
    results = {"machine": machine, "models": {}}
    for name in args.models.split(","):
        results["models"][name] = measure_model(paths, name, args.rounds)
    bc.store_results(paths, "generation", results)
    bc.say(f"\nresults in {paths.results}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
