#!/usr/bin/env python3
"""Prompt processing, side by side with llama.cpp's usual build, in one run.

For prompts of 256 to 2,048 tokens on a 1.1B-shaped Q4_K_M model, prompt
tokens per second of:

1. llama-bench as llama.cpp's usual build runs it (the tools from
   `scripts/ensure-llama.sh --tools`: GGML_NATIVE, OpenMP);
2. the same llama-bench on the helper's engine (its libraries and CPU
   modules, ggml's thread pool with the helper's patch): the same llama.h
   calls, so the ratio of the two is the engine's alone;
3. the helper itself in server mode: the prompt's tokens over the time of
   a whole request with that prompt, answered with one token (reading,
   tokenizing, the context, the prompt, one sample, writing), with N
   two-letter words after a word of its own, so that nothing is reused.

All three with the helper's threads, batch (512), micro-batch (256) and
flash attention (auto). Rounds are interleaved and count only when the
machine was idle around them; everything goes to build-bench/bench-results.json
under "prompt".

Usage: python3 bench/prompt_vs_llama.py [--build-dir DIR] [--rounds N] [--lengths 256,651,2048]
"""

from __future__ import annotations

import argparse
import itertools
import json
import statistics
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_common as bc  # noqa: E402
from generation_vs_llama import prompt_token_count  # noqa: E402

BATCH, UBATCH = 512, 256
# llama-completion's context while it counts a prompt's tokens.
COUNTING_CONTEXT = ("-c", "8192")
MODEL = "chat-1b-q4km"


def bench_argv(tools: Path, model: Path, length: int, repetitions: int) -> list[str]:
    return [str(tools / "llama-bench"), "-m", str(model), "-p", str(length), "-n", "0", "-t", str(bc.HELPER_THREADS),
            "-b", str(BATCH), "-ub", str(UBATCH), "-fa", "auto", "-r", str(repetitions), "-o", "json"]


def helper_engine_bench(tools: Path, helper_bin: Path, folder: Path) -> Path:
    """A folder with llama-bench and its own libraries, and the helper's
    engine beside them in place of llama.cpp's usual one (no Vulkan module:
    the CPU alone, as the usual build)."""
    for library in tools.iterdir():
        if library.name.startswith(("llama-bench", "libllama-bench", "libllama-common", "libmtmd")):
            (folder / library.name).symlink_to(library.resolve())
    for library in helper_bin.iterdir():
        if library.name.startswith(("libllama.so", "libggml")) and "vulkan" not in library.name:
            (folder / library.name).symlink_to(library.resolve())
    return folder


def bench_rate(tools: Path, model: Path, length: int, repetitions: int) -> list[float]:
    run = bc.run_measured(bench_argv(tools, model, length, repetitions))
    if run.status != 0:
        raise SystemExit(f"llama-bench ({tools}) failed:\n{bc.text_tail(run.stderr, 2000)}")
    return json.loads(run.stdout)[0]["samples_ts"]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5, help="quiet interleaved rounds per length (default 5)")
    parser.add_argument("--lengths", default="256,651,2048", help="prompt lengths in tokens")
    bc.add_common_arguments(parser)
    args = parser.parse_args()
    machine, paths = bc.begin(args)
    model = bc.ensure_model(paths, MODEL)
    results = {"machine": machine, "model": MODEL, "threads": bc.HELPER_THREADS, "lengths": {}}
    with tempfile.TemporaryDirectory() as folder:
        engine_tools = helper_engine_bench(paths.tools_bin, paths.helper.parent, Path(folder))
        server = bc.HelperServer(paths.helper)
        serial = iter(range(1 << 30))
        every_word = bc.synthetic_words(26 * 26).split()

        def user_prompt(words: int) -> str:
            # A word of its own first, of one width: the prompt shares nothing
            # with the last and always has as many tokens.
            # The two-letter words run out at 676: they repeat.
            return f"w{next(serial):06d} " + " ".join(itertools.islice(itertools.cycle(every_word), words))

        def tokens_of(words: int) -> int:
            prompt = bc.llama3_prompt("", user_prompt(words))
            return prompt_token_count(paths.tools_bin, model, prompt, COUNTING_CONTEXT)

        server.ask_timed(bc.request_line(model, user_prompt(8), 1))
        for length in [int(n) for n in args.lengths.split(",")]:
            # Words for about `length` tokens (a word is one token or more).
            words = length
            for _ in range(3):
                words = max(1, words * length // tokens_of(words))
            tokens = tokens_of(words)

            def measure(index: int) -> dict:
                ours = []
                for _ in range(2):
                    seconds, _ = server.ask_timed(bc.request_line(model, user_prompt(words), 1))
                    ours.append(tokens / seconds)
                usual = bench_rate(paths.tools_bin, model, length, 2)
                engine = bench_rate(engine_tools, model, length, 2)
                bc.say(f"  {length} tokens, round {index + 1}: helper {statistics.median(ours):.1f}, llama-bench "
                       f"on the helper's engine {statistics.median(engine):.1f}, usual build "
                       f"{statistics.median(usual):.1f} tokens/s")
                return {"helper": ours, "engine": engine, "usual": usual}

            rounds = bc.quiet_rounds(args.rounds, 3 * args.rounds, measure)
            entry = {side: bc.summary(bc.pooled(rounds, side)) for side in ("helper", "engine", "usual")}
            entry.update(bc.rounds_note(rounds), all_rounds=rounds, helper_prompt_tokens=tokens)
            # Time ratios: above 1 is slower than the usual build.
            entry["engine_over_usual"] = entry["usual"]["median"] / entry["engine"]["median"]
            entry["helper_over_usual"] = entry["usual"]["median"] / entry["helper"]["median"]
            results["lengths"][str(length)] = entry
            bc.say(f"== {length} tokens: time over the usual build's: the helper's engine "
                   f"{entry['engine_over_usual']:.3f}, the helper {entry['helper_over_usual']:.3f} "
                   f"({entry['quiet_rounds']} quiet of {entry['rounds']} rounds)")
        server.close()
    bc.store_results(paths, "prompt", results)
    return 0


if __name__ == "__main__":
    sys.exit(main())
