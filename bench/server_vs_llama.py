#!/usr/bin/env python3
"""Server mode, measured through real pipes, and side by side with
llama-server from the same pinned llama.cpp, in one run.

1. Cached warm-up round trips per second: once the model is loaded, a
   "warmup" request only compares the path and answers. Pipelined (a writer
   thread sends a whole batch while the answers are read) and one at a time
   (write one line, wait for its answer).
2. A model switch against a fresh load: the time of a warmup request that
   loads model B in place of A (and releases A) in a long-lived server,
   against the first warmup of a freshly started server (nothing to release).
   Both files are in the page cache.
3. Per-request overhead against llama-server: end-to-end latency of short
   greedy generations (1 and 8 tokens) of the same prompt tokens on the same
   model, in blocks of back-to-back requests (ten to one process, then ten
   to the other, ...), the helper through its pipes, llama-server over HTTP to
   /completion (a connection per request, opened before the clock starts;
   prompt caching off, so both evaluate the whole prompt every time). The
   model work is the same for both, so the latency difference is the
   overhead difference; the overhead itself is estimated as the latency
   minus the model's work measured by llama-bench in the same run (the
   prompt, plus one token at its depth per further token). llama-server's
   own "timings" and the latency of its GET /health (the HTTP floor) are
   recorded too.
4. Resident memory of the long-lived processes after serving the same
   requests on the same model: VmRSS and VmHWM from /proc. A third process,
   the helper with glibc's mmap threshold fixed (MALLOC_MMAP_THRESHOLD_, no
   code change), gets the same requests, to show how much of the helper's
   resident memory is freed heap kept by the allocator.

Runs are interleaved (ours, theirs, ...) in rounds; on a shared machine a
round counts only if the machine was idle just before and after it (see
bench_common.quiet_rounds). Medians and min..max spreads of the quiet rounds
are reported; everything goes to build-bench/bench-results.json under
"server".

Usage: python3 bench/server_vs_llama.py [--build-dir DIR] [--rounds N]
"""

from __future__ import annotations

import argparse
import http.client
import json
import socket
import statistics
import subprocess
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import bench_common as bc  # noqa: E402

CONTEXT = 1024
BATCH, UBATCH = 512, 256
# Twelve words: the helper's budget (three tokens a word plus 32) then
# allows the 64 tokens of the longest request. (With eleven, the 58M model's
# reply is one that llama-server's output parser refuses with status 500.)
SHORT_PROMPT = bc.synthetic_words(12)
SHORT_TOKENS = (1, 8, 64)
BLOCK = 10  # back-to-back requests of one process within a round
NOT_A_REQUEST = b'{"action":"warmup"}\n'


# --- 1. warm-up round trips ---------------------------------------------

def warmup_round_trips(paths: bc.Paths, rounds: int) -> dict:
    model = bc.ensure_model(paths, "random-tiny")
    line = bc.request_line(model, "", 1, action="warmup")
    expected = b'{"ok":true,"output":"","error":null}\n'
    server = bc.HelperServer(paths.helper)
    server.ask_timed(line)
    pipelined_count, single_count = 200_000, 20_000
    batch = line * pipelined_count

    def warmup_round(index: int) -> dict:
        seconds, answers = server.pipelined(batch, pipelined_count)
        if answers != expected * pipelined_count:
            raise SystemExit("pipelined warm-up answers are not all the expected line")
        start = time.perf_counter()
        for _ in range(single_count):
            if server.ask(line) != expected:
                raise SystemExit("a warm-up answer is not the expected line")
        single = single_count / (time.perf_counter() - start)
        bc.say(f"  round {index + 1}: pipelined {pipelined_count / seconds:,.0f}/s, one at a time {single:,.0f}/s")
        return {"pipelined": pipelined_count / seconds, "single": single}

    warm_rounds = bc.quiet_rounds(rounds, 3 * rounds, warmup_round)
    server.close()
    result = {"request_bytes": len(line), "pipelined_batch": pipelined_count, "single_count": single_count,
              "pipelined_per_s": bc.summary(bc.pooled(warm_rounds, "pipelined")),
              "single_per_s": bc.summary(bc.pooled(warm_rounds, "single")), **bc.rounds_note(warm_rounds)}
    bc.say(f"  warmups/s  pipelined {bc.spread_text(result['pipelined_per_s'], digits=0)}  "
           f"one at a time {bc.spread_text(result['single_per_s'], digits=0)}")
    return result


# --- 2. model switch against a fresh load ---------------------------------

def switch_vs_fresh(paths: bc.Paths, first: str, second: str, rounds: int) -> dict:
    a, b = bc.ensure_model(paths, first), bc.ensure_model(paths, second)
    warm_a = bc.request_line(a, "", 1, action="warmup")
    warm_b = bc.request_line(b, "", 1, action="warmup")
    long_lived = bc.HelperServer(paths.helper)
    long_lived.ask_timed(warm_a)

    def switch_round(index: int) -> dict:
        start = time.perf_counter()
        fresh = bc.HelperServer(paths.helper)
        fresh.ask_timed(warm_b if index % 2 else warm_a)
        fresh_process = time.perf_counter() - start
        fresh.close()
        # The load alone: a request that fails before any loading shows the
        # fresh server is up, then the warm-up is timed.
        fresh = bc.HelperServer(paths.helper)
        if b'"ok":false' not in fresh.ask(NOT_A_REQUEST):
            raise SystemExit("the helper accepted a request without a model path")
        fresh_load, _ = fresh.ask_timed(warm_b if index % 2 else warm_a)
        fresh.close()
        switch, _ = long_lived.ask_timed(warm_b if index % 2 == 0 else warm_a)
        return {"fresh_load_ms": fresh_load * 1e3, "fresh_process_ms": fresh_process * 1e3, "switch_ms": switch * 1e3}

    switch_rounds = bc.quiet_rounds(rounds, 3 * rounds, switch_round)
    long_lived.close()
    result = {"models": [first, second], "model_bytes": a.stat().st_size,
              "fresh_load_ms": bc.summary(bc.pooled(switch_rounds, "fresh_load_ms")),
              "fresh_process_ms": bc.summary(bc.pooled(switch_rounds, "fresh_process_ms")),
              "switch_ms": bc.summary(bc.pooled(switch_rounds, "switch_ms")), **bc.rounds_note(switch_rounds)}
    result["switch_over_fresh_load"] = result["switch_ms"]["median"] / result["fresh_load_ms"]["median"]
    bc.say(f"  {first}<->{second}: switch {bc.spread_text(result['switch_ms'], ' ms', digits=2)}  "
           f"fresh load {bc.spread_text(result['fresh_load_ms'], ' ms', digits=2)}  "
           f"(spawn to first answer {bc.spread_text(result['fresh_process_ms'], ' ms', digits=2)})  "
           f"ratio {result['switch_over_fresh_load']:.3f}")
    return result


# --- 3 and 4. against llama-server -----------------------------------------

def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def llama_server_argv(tools: Path, model: Path, port: int) -> list[str]:
    threads = str(bc.HELPER_THREADS)
    return [str(tools / "llama-server"), "-m", str(model), "--host", "127.0.0.1", "--port", str(port),
            "-t", threads, "-tb", threads, "-c", str(CONTEXT), "-b", str(BATCH), "-ub", str(UBATCH),
            "-np", "1", "--no-warmup"]


class LlamaServer:
    """llama-server on a free local port. Every request gets a connection of
    its own, opened before the clock starts (so neither side pays for a
    connection, and the server's keep-alive limits never get in the way)."""

    def __init__(self, tools: Path, model: Path, log: Path):
        self.port = free_port()
        self.argv = llama_server_argv(tools, model, self.port)
        self._log = open(log, "wb")
        self.process = subprocess.Popen(self.argv, stdin=subprocess.DEVNULL, stdout=self._log,
                                        stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 120
        while True:
            if self.process.poll() is not None:
                raise SystemExit(f"llama-server ended with {self.process.returncode}; see {log}")
            try:
                _, status, _ = self.exchange("GET", "/health")
                if status == 200:
                    return
            except OSError:
                pass
            if time.monotonic() > deadline:
                raise SystemExit(f"llama-server did not become ready; see {log}")
            time.sleep(0.1)

    def exchange(self, method: str, path: str, body: str | None = None) -> tuple[float, int, bytes]:
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=300)
        try:
            connection.connect()
            headers = {"Content-Type": "application/json"} if body is not None else {}
            start = time.perf_counter()
            connection.request(method, path, body, headers)
            response = connection.getresponse()
            data = response.read()
            return time.perf_counter() - start, response.status, data
        finally:
            connection.close()

    def complete_timed(self, prompt: str, tokens: int) -> tuple[float, dict]:
        body = json.dumps({"prompt": prompt, "n_predict": tokens, "temperature": 0, "cache_prompt": False,
                           "stream": False})
        seconds, status, data = self.exchange("POST", "/completion", body)
        if status != 200:
            raise SystemExit(f"llama-server answered {status}: {data[:500]!r}")
        return seconds, json.loads(data)

    def close(self) -> None:
        self.process.terminate()
        self.process.wait()
        self._log.close()


# glibc raises its mmap threshold after the first large free, so the buffers
# of a context created and freed per request end up on the heap and stay
# resident; fixing the threshold (a glibc tunable, no code change) shows how
# much of the helper's resident memory that is.
FIXED_THRESHOLD_ENV = {"MALLOC_MMAP_THRESHOLD_": "131072"}


def model_work(tools: Path, model: Path, prompt_tokens: int) -> dict:
    """The model's own work for a short request, from llama-bench with the same
    threads and batches: the prompt (which also yields the first token's
    logits) and one more token at the prompt's depth."""
    bc.wait_for_quiet()
    common = ["-t", str(bc.HELPER_THREADS), "-b", str(BATCH), "-ub", str(UBATCH), "-r", "10", "-o", "json"]
    prompt = bc.run_measured([str(tools / "llama-bench"), "-m", str(model), "-p", str(prompt_tokens), "-n", "0",
                              *common])
    token = bc.run_measured([str(tools / "llama-bench"), "-m", str(model), "-p", "0", "-n", "8", "-d",
                             str(prompt_tokens), *common])
    if prompt.status != 0 or token.status != 0:
        raise SystemExit(f"llama-bench failed:\n{bc.text_tail(prompt.stderr, 1000)}\n"
                         f"{bc.text_tail(token.stderr, 1000)}")
    prompt_ms = statistics.median(json.loads(prompt.stdout)[0]["samples_ns"]) / 1e6
    token_ms = statistics.median(json.loads(token.stdout)[0]["samples_ns"]) / 1e6 / 8
    return {"prompt_ms": prompt_ms, "token_ms": token_ms}


def against_llama_server(paths: bc.Paths, name: str, requests: int) -> dict:
    model = bc.ensure_model(paths, name)
    prompt = bc.llama3_prompt("", SHORT_PROMPT)
    theirs = LlamaServer(paths.tools_bin, model, paths.build / f"llama-server-{name}.log")
    helpers: list[bc.HelperServer] = []
    try:
        helpers.append(bc.HelperServer(paths.helper))
        helpers.append(bc.HelperServer(paths.helper, FIXED_THRESHOLD_ENV))
        return measure_against(paths, name, model, prompt, requests, helpers[0], theirs, helpers[1])
    finally:
        for helper in helpers:
            helper.close()
        theirs.close()


def measure_against(paths: bc.Paths, name: str, model: Path, prompt: str, requests: int,
                    ours: bc.HelperServer, theirs: LlamaServer, variant: bc.HelperServer) -> dict:
    for helper in (ours, variant):
        helper.ask_timed(bc.request_line(model, "", 1, action="warmup"))
    processes = {"helper": ours.process.pid, "llama_server": theirs.process.pid,
                 "helper_fixed_mmap_threshold": variant.process.pid}
    result = {"model_bytes": model.stat().st_size, "requests_per_size": requests, "by_tokens": {},
              "llama_server_command": llama_server_argv(Path("$TOOLS"), Path(f"$MODELS/{name}.gguf"), 0),
              "variant_env": FIXED_THRESHOLD_ENV}
    memory_before = {side: bc.resident_kib(pid) for side, pid in processes.items()}

    health: list[float] = []
    served = 0
    work_before = None
    for tokens in SHORT_TOKENS:
        line = bc.request_line(model, SHORT_PROMPT, tokens)
        ours.ask_timed(line)  # first touches, not measured
        variant.ask_timed(line)
        _, reply = theirs.complete_timed(prompt, tokens)
        if work_before is None:
            work_before = model_work(paths.tools_bin, model, reply["tokens_evaluated"])
        texts_equal = True

        def request_round(index: int) -> dict:
            # Blocks of back-to-back requests, one process after the other,
            # as a host sends them; the order of the blocks alternates.
            nonlocal texts_equal
            samples: dict[str, list[float]] = {"helper_ms": [], "llama_server_ms": [],
                                               "helper_fixed_mmap_threshold_ms": [], "llama_server_own_ms": []}
            answers, replies = [], []

            # Each block begins with one request that is not measured, for
            # the process whose turn it is after the others' (or idle) time.
            def helper_block() -> None:
                ours.ask_timed(line)
                for _ in range(BLOCK):
                    seconds, answer = ours.ask_timed(line)
                    samples["helper_ms"].append(seconds * 1e3)
                    answers.append(answer["output"])

            def server_block() -> None:
                theirs.complete_timed(prompt, tokens)
                for _ in range(BLOCK):
                    seconds, reply = theirs.complete_timed(prompt, tokens)
                    if reply.get("tokens_predicted") != tokens or reply.get("tokens_evaluated") is None:
                        raise SystemExit(f"llama-server did not generate {tokens} tokens: {reply}")
                    timings = reply.get("timings", {})
                    samples["llama_server_ms"].append(seconds * 1e3)
                    samples["llama_server_own_ms"].append(timings.get("prompt_ms", 0.0)
                                                          + timings.get("predicted_ms", 0.0))
                    replies.append(reply)

            def variant_block() -> None:
                variant.ask_timed(line)
                for _ in range(BLOCK):
                    samples["helper_fixed_mmap_threshold_ms"].append(variant.ask_timed(line)[0] * 1e3)

            blocks = [helper_block, server_block, variant_block]
            for block in (blocks if index % 2 == 0 else blocks[::-1]):
                block()
            texts_equal = texts_equal and all(answer == reply["content"] for answer, reply in zip(answers, replies))
            health, _, _ = theirs.exchange("GET", "/health")
            return {**samples, "health_ms": health * 1e3, "prompt_tokens": replies[-1]["tokens_evaluated"]}

        wanted = max(1, requests // BLOCK)
        request_rounds = bc.quiet_rounds(wanted, 3 * wanted, request_round)
        health.extend(bc.pooled(request_rounds, "health_ms"))
        entry = {side: bc.summary(bc.pooled(request_rounds, side))
                 for side in ("helper_ms", "llama_server_ms", "helper_fixed_mmap_threshold_ms")}
        entry.update({"llama_server_own_compute_ms": bc.summary(bc.pooled(request_rounds, "llama_server_own_ms")),
                      "prompt_tokens": request_rounds[-1]["prompt_tokens"], "texts_equal": texts_equal,
                      **bc.rounds_note(request_rounds)})
        entry["ratio"] = entry["helper_ms"]["median"] / entry["llama_server_ms"]["median"]
        served += 1 + (BLOCK + 1) * len(request_rounds)
        result["by_tokens"][str(tokens)] = entry

    work_after = model_work(paths.tools_bin, model, entry["prompt_tokens"])
    work = {key: (work_before[key] + work_after[key]) / 2 for key in work_before}
    result["model_work_ms"] = {"before": work_before, "after": work_after, "mean": work}
    for tokens, entry in result["by_tokens"].items():
        model_ms = work["prompt_ms"] + (int(tokens) - 1) * work["token_ms"]
        entry["model_work_ms"] = model_ms
        entry["overhead_ms"] = {"helper": entry["helper_ms"]["median"] - model_ms,
                                "llama_server": entry["llama_server_ms"]["median"] - model_ms}
        entry["overhead_ratio"] = entry["overhead_ms"]["helper"] / entry["overhead_ms"]["llama_server"]
        bc.say(f"  {name} {tokens} token(s), prompt {entry['prompt_tokens']}: "
               f"helper {bc.spread_text(entry['helper_ms'], ' ms', digits=2)}  "
               f"llama-server {bc.spread_text(entry['llama_server_ms'], ' ms', digits=2)}  "
               f"ratio {entry['ratio']:.3f}; model work (llama-bench) {model_ms:.2f} ms, overhead "
               f"{entry['overhead_ms']['helper']:.2f} vs {entry['overhead_ms']['llama_server']:.2f} ms; "
               f"llama-server's own timings {entry['llama_server_own_compute_ms']['median']:.2f} ms; "
               f"helper with a fixed mmap threshold {entry['helper_fixed_mmap_threshold_ms']['median']:.2f} ms; "
               f"same text {entry['texts_equal']} ({entry['quiet_rounds']} quiet of {entry['rounds']})")
    result["health_ms"] = bc.summary(health)

    after = {side: bc.resident_kib(pid) for side, pid in processes.items()}
    result["memory_kib"] = {"before": memory_before, "after": after, "requests_served": served}
    result["rss_ratio"] = after["helper"]["VmRSS"] / after["llama_server"]["VmRSS"]
    result["hwm_ratio"] = after["helper"]["VmHWM"] / after["llama_server"]["VmHWM"]
    bc.say(f"  {name} after {served} requests: "
           f"helper RSS {after['helper']['VmRSS'] / 1024:.1f} MiB (peak {after['helper']['VmHWM'] / 1024:.1f}), "
           f"llama-server RSS {after['llama_server']['VmRSS'] / 1024:.1f} MiB "
           f"(peak {after['llama_server']['VmHWM'] / 1024:.1f}), ratio {result['rss_ratio']:.3f}; "
           f"helper with a fixed mmap threshold "
           f"{after['helper_fixed_mmap_threshold']['VmRSS'] / 1024:.1f} MiB "
           f"(peak {after['helper_fixed_mmap_threshold']['VmHWM'] / 1024:.1f}); "
           f"GET /health {result['health_ms']['median']:.3f} ms")
    return result


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5, help="rounds of the warm-up and switch figures")
    parser.add_argument("--sections", default="warmup,switch,llama-server",
                        help="which parts to run (default all: warmup,switch,llama-server)")
    parser.add_argument("--requests", type=int, default=60,
                        help="short generations per size and model against llama-server (default 60)")
    bc.add_common_arguments(parser)
    args = parser.parse_args()
    machine, paths = bc.begin(args)
    sections = set(args.sections.split(","))
    results = bc.stored_results(paths).get("server", {})
    results["machine"] = machine
    if "warmup" in sections:
        bc.say("\n== cached warm-up round trips")
        results["warmup"] = warmup_round_trips(paths, args.rounds)
    if "switch" in sections:
        bc.say("\n== model switch against a fresh load")
        results["switch"] = {
            "random-58m": switch_vs_fresh(paths, "random-58m", "random-58m-b", 2 * args.rounds),
            "random-tiny": switch_vs_fresh(paths, "random-tiny", "random-tiny-b", 2 * args.rounds)}
    if "llama-server" in sections:
        bc.say("\n== short generations against llama-server")
        results["llama_server"] = {name: against_llama_server(paths, name, args.requests)
                                   for name in ("random-58m", "random-tiny")}
    bc.store_results(paths, "server", results)
    bc.say(f"\nresults in {paths.results}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
