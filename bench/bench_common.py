"""What the side-by-side benchmarks share: where things are, the models,
the prompt as llama.cpp's tools must see it, measured child processes, the
helper's server through its pipes, statistics and the results file.

Standard library only. Nothing here asserts a time; the scripts report.
"""

from __future__ import annotations

import itertools
import json
import os
import platform
import statistics
import string
import subprocess
import threading
import time
from dataclasses import dataclass
from pathlib import Path

REPO = Path(__file__).resolve().parent.parent

# The thread count the helper picks: logical processors clamped to 2..8.
HELPER_THREADS = max(2, min(8, os.cpu_count() or 4))

# Models of the benchmarks: a random one of some tens of millions of
# parameters (the model writer's defaults) and a tiny random one.
MODELS = {
    "random-58m": ["--random", "1"],
    "random-58m-b": ["--random", "3"],
    # The same model with its matrices in Q8_0, as users run quantized models.
    "random-58m-q8": ["--random", "1", "--type", "q8_0"],
    # In F16, as the GPU placement tests size their cards for it.
    "random-58m-f16": ["--random", "1", "--type", "f16"],
    "random-58m-f16-b": ["--random", "3", "--type", "f16"],
    # A 1.1B chat model's shape (TinyLlama's), quantized by llama.cpp to Q4_K_M.
    "chat-1b-q4km": ["--random", "5", "--embd", "2048", "--layers", "22", "--ff", "5632", "--heads", "32",
                     "--kv-heads", "4", "--type", "q4_k_m"],
    "random-tiny": ["--random", "2", "--vocab-size", "2000", "--embd", "128", "--layers", "2",
                    "--ff", "352", "--heads", "4"],
    "random-tiny-b": ["--random", "4", "--vocab-size", "2000", "--embd", "128", "--layers", "2",
                      "--ff", "352", "--heads", "4"],
}


@dataclass
class Paths:
    build: Path
    helper: Path
    make_model: Path
    tools_bin: Path
    models: Path
    results: Path


def locate(build_dir: str | None = None, need_tools: bool = True) -> Paths:
    build = Path(build_dir) if build_dir else REPO / "build-bench"
    build = build.resolve()
    helper = build / "bin" / "debrindle-llama-helper"
    make_model = build / "bin" / "debrindle-make-model"
    for program in (helper, make_model):
        if not program.exists():
            raise SystemExit(f"{program} is missing: cmake --preset default -B {build} && cmake --build {build} --parallel 2")
    tools_bin = Path()
    if need_tools:
        tools_bin = llama_tools_bin()
    models = build / "models"
    models.mkdir(parents=True, exist_ok=True)
    return Paths(build, helper, make_model, tools_bin, models, build / "bench-results.json")


def llama_tools_bin() -> Path:
    """llama-bench, llama-completion and llama-server from the pinned source
    (built once into the cache by ensure-llama.sh --tools)."""
    override = os.environ.get("DEBRINDLE_LLAMA_TOOLS_BIN")
    if override:
        return Path(override)
    prefix = subprocess.run(["bash", str(REPO / "scripts" / "ensure-llama.sh"), "--tools"],
                            check=True, stdout=subprocess.PIPE, text=True).stdout.strip()
    return Path(prefix) / "bin"


def ensure_model(paths: Paths, name: str) -> Path:
    target = paths.models / f"{name}.gguf"
    if not target.exists():
        partial = target.with_suffix(".partial")
        subprocess.run([str(paths.make_model), "--out", str(partial), *MODELS[name]], check=True,
                       stdout=subprocess.DEVNULL)
        partial.rename(target)
    # Read it once so that every measured run starts from the page cache.
    with open(target, "rb") as model:
        while model.read(1 << 22):
            pass
    return target


def synthetic_words(count: int) -> str:
    """Two-letter words; every one is a single token of the random models."""
    pairs = itertools.product(string.ascii_lowercase, repeat=2)
    return " ".join(a + b for a, b in itertools.islice(pairs, count))


def llama3_prompt(system_prompt: str, user_prompt: str) -> str:
    """The text the helper tokenizes for a model without its own template:
    llama.cpp's built-in "llama3" rendering of the system and user message
    and the assistant header. Given to llama.cpp's tools as the raw prompt,
    it tokenizes to the very same tokens (the random models add no BOS)."""
    rendered = ""
    for role, content in (("system", system_prompt), ("user", user_prompt)):
        rendered += f"<|start_header_id|>{role}<|end_header_id|>\n\n{content.strip()}<|eot_id|>"
    return rendered + "<|start_header_id|>assistant<|end_header_id|>\n\n"


def request_line(model: Path, user_prompt: str, max_tokens: int, action: str = "generate",
                 system_prompt: str = "") -> bytes:
    body = {"action": action, "modelPath": str(model), "systemPrompt": system_prompt,
            "userPrompt": user_prompt, "temperature": 0, "maxTokens": max_tokens}
    return (json.dumps(body, separators=(",", ":")) + "\n").encode()


# --- measured child processes ---------------------------------------------

@dataclass
class Run:
    seconds: float
    max_rss_kib: int
    status: int
    stdout: bytes
    stderr: bytes


def run_measured(argv: list[str], stdin: bytes = b"", env: dict | None = None) -> Run:
    """Wall time from spawn to reaping, and the child's peak resident set
    (ru_maxrss from wait4, the figure /usr/bin/time -v reports)."""
    outputs: dict[str, bytes] = {}

    def drain(name: str, stream) -> None:
        outputs[name] = stream.read()
        stream.close()

    def feed(stream) -> None:
        try:
            stream.write(stdin)
        except BrokenPipeError:
            pass
        stream.close()

    start = time.perf_counter()
    process = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               env=env)
    threads = [threading.Thread(target=feed, args=(process.stdin,)),
               threading.Thread(target=drain, args=("out", process.stdout)),
               threading.Thread(target=drain, args=("err", process.stderr))]
    for thread in threads:
        thread.start()
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.perf_counter() - start
    for thread in threads:
        thread.join()
    process.returncode = os.waitstatus_to_exitcode(status)
    return Run(seconds, usage.ru_maxrss, process.returncode, outputs["out"], outputs["err"])


def text_tail(output: bytes, characters: int) -> str:
    """The end of a program's output as text for an error message; a byte
    sequence cut or broken there shows as U+FFFD."""
    return output.decode(errors="replace")[-characters:]


def helper_env() -> dict:
    env = dict(os.environ)
    env.pop("BRINDLE_DEBRINDLE_LLAMA_LOGS", None)
    return env


class HelperServer:
    """The helper in server mode, driven through its pipes with as little
    client work as possible (bytes in, one line out)."""

    def __init__(self, helper: Path, extra_env: dict | None = None, launcher: list[str] | None = None):
        env = helper_env()
        env.update(extra_env or {})
        self.process = subprocess.Popen([*(launcher or []), str(helper), "--server"], stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, env=env, bufsize=0)
        self._in = self.process.stdin.fileno()
        self._out = self.process.stdout
        self._buffer = b""

    def _read_line(self) -> bytes:
        while True:
            end = self._buffer.find(b"\n")
            if end >= 0:
                line, self._buffer = self._buffer[:end + 1], self._buffer[end + 1:]
                return line
            chunk = os.read(self._out.fileno(), 1 << 16)
            if not chunk:
                raise RuntimeError(f"the helper ended (status {self.process.wait()}) without an answer")
            self._buffer += chunk

    def ask(self, line: bytes) -> bytes:
        os.write(self._in, line)
        return self._read_line()

    def ask_timed(self, line: bytes) -> tuple[float, dict]:
        start = time.perf_counter()
        answer = self.ask(line)
        seconds = time.perf_counter() - start
        decoded = json.loads(answer)
        if not decoded["ok"]:
            raise RuntimeError(f"the helper failed: {decoded['error']}")
        return seconds, decoded

    def pipelined(self, lines: bytes, count: int) -> tuple[float, bytes]:
        """Writes all lines from a thread while reading; returns the time
        until the last of `count` answers arrived, and the answers."""
        assert not self._buffer
        def write() -> None:
            view = memoryview(lines)
            while view:
                written = os.write(self._in, view)
                view = view[written:]
        writer = threading.Thread(target=write)
        received = bytearray()
        newlines = 0
        start = time.perf_counter()
        writer.start()
        while newlines < count:
            chunk = os.read(self._out.fileno(), 1 << 20)
            if not chunk:
                raise RuntimeError("the helper ended in the middle of a pipelined batch")
            received += chunk
            newlines += chunk.count(b"\n")
        seconds = time.perf_counter() - start
        writer.join()
        return seconds, bytes(received)

    def close(self) -> int:
        self.process.stdin.close()
        return self.process.wait()


def resident_kib(pid: int) -> dict:
    """VmRSS (now) and VmHWM (peak) of a live process, in KiB."""
    fields = {}
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            key, _, value = line.partition(":")
            if key in ("VmRSS", "VmHWM"):
                fields[key] = int(value.split()[0])
    return fields


# --- a quiet machine ---------------------------------------------------------

def _cpu_times() -> tuple[int, int]:
    with open("/proc/stat") as stat:
        fields = [int(value) for value in stat.readline().split()[1:]]
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)
    return idle, sum(fields[:8])


def idle_fraction(seconds: float = 0.3) -> float:
    """Share of all CPUs idle over a short look (others may be building)."""
    idle_before, total_before = _cpu_times()
    time.sleep(seconds)
    idle_after, total_after = _cpu_times()
    return (idle_after - idle_before) / max(1, total_after - total_before)


QUIET = 0.9  # idle share of all CPUs that counts as a quiet machine
PATIENCE = 60.0  # seconds to wait for it before a round


def wait_for_quiet(patience: float | None = None) -> float:
    """Waits (at most `patience` seconds) until the machine is mostly idle;
    returns the idle share seen last."""
    deadline = time.monotonic() + (PATIENCE if patience is None else patience)
    while True:
        idle = idle_fraction()
        if idle >= QUIET or time.monotonic() > deadline:
            return idle


def quiet_rounds(wanted: int, most: int, measure, patience: float | None = None) -> list[dict]:
    """Runs `measure(index)` (one interleaved round: ours, theirs) until
    `wanted` rounds were quiet or `most` rounds were run. A round is quiet
    when the machine was idle just before and just after it; rounds that
    others' work disturbed are kept in the results but not in the medians."""
    rounds: list[dict] = []
    while sum(r["quiet"] for r in rounds) < wanted and len(rounds) < most:
        before = wait_for_quiet(patience)
        data = measure(len(rounds))
        after = idle_fraction(0.2)
        rounds.append({"quiet": before >= QUIET and after >= QUIET, "idle_before": round(before, 3),
                       "idle_after": round(after, 3), **data})
    return rounds


def pooled(rounds: list[dict], key: str) -> list[float]:
    """The samples under `key` of the quiet rounds (of all, if none was)."""
    chosen = [r for r in rounds if r["quiet"]] or rounds
    samples: list[float] = []
    for r in chosen:
        value = r[key]
        samples.extend(value if isinstance(value, list) else [value])
    return samples


def rounds_note(rounds: list[dict]) -> dict:
    return {"rounds": len(rounds), "quiet_rounds": sum(r["quiet"] for r in rounds)}


# --- statistics and reporting ---------------------------------------------

def summary(samples: list[float]) -> dict:
    ordered = sorted(samples)
    q1, _, q3 = statistics.quantiles(ordered, n=4) if len(ordered) > 1 else (ordered[0],) * 3
    return {"median": statistics.median(ordered), "q1": q1, "q3": q3, "min": ordered[0], "max": ordered[-1],
            "n": len(ordered), "samples": ordered}


def spread_text(s: dict, unit: str = "", scale: float = 1.0, digits: int = 1) -> str:
    return (f"{s['median'] * scale:.{digits}f}{unit} "
            f"[{s['min'] * scale:.{digits}f}..{s['max'] * scale:.{digits}f}, n={s['n']}]")


def machine() -> dict:
    cpu = ""
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    memory_kib = 0
    try:
        with open("/proc/meminfo") as info:
            memory_kib = int(info.readline().split()[1])
    except OSError:
        pass
    return {"cpu": cpu, "logical_cpus": os.cpu_count(), "memory_gib": round(memory_kib / 1024 / 1024, 1),
            "kernel": platform.release(), "load_average_1min_at_start": os.getloadavg()[0],
            "when": time.strftime("%Y-%m-%d %H:%M:%S %z")}


def stored_results(paths: Paths) -> dict:
    return json.loads(paths.results.read_text()) if paths.results.exists() else {}


def store_results(paths: Paths, section: str, data: dict) -> None:
    """Merges one script's results into build-bench/bench-results.json."""
    results = stored_results(paths)
    results[section] = data
    paths.results.write_text(json.dumps(results, indent=1) + "\n")


def say(text: str) -> None:
    print(text, flush=True)


def add_common_arguments(parser) -> None:
    """The options every benchmark program takes."""
    parser.add_argument("--build-dir", help="the helper's build directory (default build-bench)")
    parser.add_argument("--patience", type=float, default=60.0,
                        help="seconds to wait for an idle machine before each round (default 60)")


def begin(args) -> tuple[dict, Paths]:
    """Applies the common options, finds the programs and describes the machine."""
    global PATIENCE
    PATIENCE = args.patience
    description = machine()
    paths = locate(args.build_dir)
    say(f"helper {paths.helper}\nllama.cpp tools {paths.tools_bin}\nmachine {description}")
    return description, paths
