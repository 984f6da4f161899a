#!/usr/bin/env python3
"""The helper on a machine that is doing other work: one server's time for
the same request under each condition over its time alone, in interleaved
rounds, with every reply compared with the lone one.

Conditions: one and two busy processes beside it; a CPU quota of one
processor (a cgroup, where this machine lets one be made); the server's
affinity moved to one processor while it serves; a second server started
with an affinity of one processor, as on a one-processor machine; and below
normal priority, as hosts start background helpers: at nice 10 beside a
normal busy process on the first processor, beside a nice-19 busy process on
the second, beside both, and moved to the second processor beside the
nice-19 one. The priority conditions are also given over the time moved to
one processor alone (a free processor is what they leave the helper). Each
request has a time limit: a request that does not finish within it is
reported as no answer (and its server started again). Then the idle
server's processor time over a few seconds after a request.

--llama adds llama.cpp's usual build (llama-server, OpenMP, from
`ensure-llama.sh --tools`) under the same conditions, with a shorter limit.

--baseline HELPER adds another helper's lone time to every round (an earlier
build, say), so that the two lone times are compared in the same rounds.

--windows runs the Windows helper under Wine instead of the Linux one.
"""

from __future__ import annotations

import argparse
import json
import os
import select
import subprocess
import sys
import threading
import time
from pathlib import Path

import bench_common as bc
from windows_vs_linux import WINE, WINESERVER, wine_env

# Per model: the request's token count and the rounds (the large model takes
# seconds a token on one processor).
PLANS = {"random-58m-f16": (160, 5), "chat-1b-q4km": (48, 3)}
CONDITIONS = ["alone", "busy-1", "busy-2", "quota-1", "moved-to-1", "started-on-1",
              "nice10-beside-1", "nice10-beside-low", "nice10-beside-1-and-low", "nice10-on-1-beside-low"]
# Per condition: the busy processes (the processor each is held to, or None,
# and its nice value), the server's nice value and the processor it is moved to.
SETTINGS = {
    "busy-1": ([(None, 0)], 0, None),
    "busy-2": ([(None, 0), (None, 0)], 0, None),
    "moved-to-1": ([], 0, 0),
    "nice10-beside-1": ([(0, 0)], 10, None),
    "nice10-beside-low": ([(1, 19)], 10, None),
    "nice10-beside-1-and-low": ([(0, 0), (1, 19)], 10, None),
    "nice10-on-1-beside-low": ([(1, 19)], 10, 1),
}
LIMIT_SECONDS = 120.0
# llama.cpp's usual build waits out other tasks' turns for minutes below
# normal priority: it gets a shorter limit.
LLAMA_LIMIT_SECONDS = 30.0
CGROUP_NAME = "debrindle-contention"


class Server:
    """A helper server with a time limit on each answer."""

    def __init__(self, argv: list[str], env: dict):
        self.argv, self.env = argv, env
        self.start()

    def start(self) -> None:
        self.process = subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, env=self.env, bufsize=0)
        self.buffer = b""

    def ask(self, line: bytes, limit: float | None = LIMIT_SECONDS) -> tuple[float | None, dict | None]:
        """The answer to `line` and its time; none for either past `limit`
        seconds (no limit for None), and the server is then started again."""
        start = time.perf_counter()
        os.write(self.process.stdin.fileno(), line)
        while b"\n" not in self.buffer:
            left = None if limit is None else max(0.0, start + limit - time.perf_counter())
            ready, _, _ = select.select([self.process.stdout], [], [], left)
            if not ready:
                self.restart(line)
                return None, None
            chunk = os.read(self.process.stdout.fileno(), 1 << 16)
            if not chunk:
                raise RuntimeError(f"the helper ended (status {self.process.wait()}) without an answer")
            self.buffer += chunk
        seconds = time.perf_counter() - start
        line_out, _, self.buffer = self.buffer.partition(b"\n")
        answer = json.loads(line_out)
        if not answer["ok"]:
            raise RuntimeError(f"the helper failed: {answer['error']}")
        return seconds, answer

    def restart(self, line: bytes) -> None:
        """A new server in place of one that did not answer in time, its
        model loaded by one untimed answer to `line`, so that no later time
        holds a load."""
        self.process.kill()
        self.process.wait()
        self.start()
        self.ask(line, limit=None)

    def close(self) -> None:
        self.process.stdin.close()
        self.process.wait()


def cpu_seconds(pid: int) -> float:
    """User and system time of a process and all its threads."""
    fields = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Quota:
    """A cgroup that holds its processes to one processor's time (cgroup v2's
    cpu.max, or v1's cpu controller), or None where none can be made."""

    def __init__(self):
        self.folder = None
        for root, files in ((Path("/sys/fs/cgroup"), {"cpu.max": "100000 100000"}),
                            (Path("/sys/fs/cgroup/cpu"), {"cpu.cfs_period_us": "100000",
                                                          "cpu.cfs_quota_us": "100000"})):
            if not (root / "cgroup.procs").exists() or (root == Path("/sys/fs/cgroup") and
                                                        not (root / "cgroup.controllers").exists()):
                continue
            folder = root / CGROUP_NAME
            try:
                folder.mkdir(exist_ok=True)
                for name, value in files.items():
                    (folder / name).write_text(value)
            except OSError:
                continue
            self.folder, self.parent = folder, root
            return

    def enter(self, pid: int) -> None:
        (self.folder / "cgroup.procs").write_text(str(pid))

    def leave(self, pid: int) -> None:
        (self.parent / "cgroup.procs").write_text(str(pid))

    def remove(self) -> None:
        if self.folder:
            self.folder.rmdir()


def set_affinity(pid: int, cpus: str) -> None:
    subprocess.run(["taskset", "-a", "-p", "-c", cpus, str(pid)], check=True, stdout=subprocess.DEVNULL)


def set_nice(pid: int, value: int) -> None:
    """Every thread of the process at nice `value` (a nice value is a thread's own on Linux)."""
    for task in Path(f"/proc/{pid}/task").iterdir():
        try:
            os.setpriority(os.PRIO_PROCESS, int(task.name), value)
        except ProcessLookupError:
            pass


def busy_process(cpu: int | None, nice: int) -> subprocess.Popen:
    def hold() -> None:
        if cpu is not None:
            os.sched_setaffinity(0, {cpu})
        os.nice(nice)
    return subprocess.Popen([sys.executable, "-c", "while True: pass"], preexec_fn=hold)


class LlamaSide:
    """llama.cpp's usual build as a server with the Server's interface: the
    same prompt (the request's words in the llama3 format, as the random
    models have no template) and token count, no prompt cache."""

    def __init__(self, tools: Path, model: Path, line: bytes, log: Path):
        from server_vs_llama import LlamaServer
        self.make = lambda: LlamaServer(tools, model, log)
        request = json.loads(line)
        self.prompt = bc.llama3_prompt(request["systemPrompt"], request["userPrompt"])
        self.tokens = request["maxTokens"]
        self.server = self.make()
        self.process = self.server.process

    def ask(self, line: bytes, limit: float | None = LLAMA_LIMIT_SECONDS) -> tuple[float | None, dict | None]:
        """The time of the request `line` stands for (the prompt and token
        count given when this side was made); none past `limit` seconds, and
        the server is then started again and warmed by one untimed answer."""
        result: list = []

        def complete() -> None:
            try:
                result.append(self.server.complete_timed(self.prompt, self.tokens))
            except OSError:
                pass  # the server was stopped past the limit

        worker = threading.Thread(target=complete, daemon=True)
        worker.start()
        worker.join(limit)
        if not result:
            self.server.process.kill()
            self.server.close()
            self.server = self.make()
            self.process = self.server.process
            self.ask(line, None)
            return None, None
        return result[0][0], None

    def close(self) -> None:
        self.server.close()


def measure(servers: dict, line: bytes, rounds: int, quota: Quota) -> dict:
    all_cpus = f"0-{os.cpu_count() - 1}"
    conditions = [c for c in CONDITIONS if c != "quota-1" or quota.folder]
    if os.cpu_count() < 2:
        conditions = [c for c in conditions if not c.startswith("nice10")]
    sides = ["helper", *(["llama"] if "llama" in servers else [])]
    if "baseline" in servers:
        conditions.append("baseline-alone")
        servers["baseline"].ask(line)
    lone_reply = servers["normal"].ask(line)[1]["output"]
    servers["one"].ask(line)
    if "llama" in servers:
        servers["llama"].ask(line, None)
    times: dict[str, dict[str, list]] = {side: {condition: [] for condition in conditions} for side in sides}
    same = {condition: True for condition in conditions}
    for round_number in range(1, rounds + 1):
        for condition in conditions:
            for side in sides:
                if side == "llama" and condition in ("started-on-1", "baseline-alone"):
                    continue
                name = {"started-on-1": "one", "baseline-alone": "baseline"}.get(condition, "normal")
                server = servers["llama" if side == "llama" else name]
                pid = server.process.pid
                busy_spec, nice, moved_to = SETTINGS.get(condition, ([], 0, None))
                busy = [busy_process(cpu, value) for cpu, value in busy_spec]
                if condition == "quota-1":
                    quota.enter(pid)
                if moved_to is not None:
                    set_affinity(pid, str(moved_to))
                if nice:
                    set_nice(pid, nice)
                time.sleep(0.2 if busy else 0.0)
                seconds, answer = server.ask(line)
                for process in busy:
                    process.kill()
                    process.wait()
                if server.process.pid == pid:
                    if condition == "quota-1":
                        quota.leave(pid)
                    if moved_to is not None:
                        set_affinity(pid, all_cpus)
                    if nice:
                        set_nice(pid, 0)
                times[side][condition].append(seconds)
                if side == "helper":
                    same[condition] &= answer is None or answer["output"] == lone_reply or condition == "baseline-alone"
                bc.say(f"    round {round_number} {side} {condition}: "
                       + (f"{seconds * 1e3:.0f} ms" if seconds else "no answer"))
    result = {condition: {"measured": False} for condition in CONDITIONS if condition not in conditions}
    for condition in conditions:
        result[condition] = {}
        for side in sides:
            if not times[side][condition]:
                continue
            entry = {}
            for reference, key in (("alone", "ratio"), ("moved-to-1", "over_one_processor")):
                pairs = [(t, a) for t, a in zip(times[side][condition], times[side][reference]) if a]
                answered = [t / a for t, a in pairs if t is not None]
                entry[key] = bc.summary(answered)["median"] if answered else None
                if key == "ratio":
                    entry["ms"] = bc.summary([t * 1e3 for t, _ in pairs if t is not None]) if answered else None
                    entry["no_answer"] = sum(t is None for t, _ in pairs)
            if side == "helper":
                entry["same_reply"] = same[condition]
                result[condition].update(entry)
            else:
                result[condition]["llama"] = entry
    return result


def idle_cpu_percent(server: Server, line: bytes, seconds: float = 3.0) -> float:
    """The share of one processor the server takes in the seconds after an answer."""
    server.ask(line)
    before = cpu_seconds(server.process.pid)
    time.sleep(seconds)
    return 100 * (cpu_seconds(server.process.pid) - before) / seconds


def plot(results: dict, path: Path) -> None:
    """A bar for each target and model under each condition: its time over
    the lone time (no bar where there was no answer or no measurement)."""
    series = [(f"{target} {model}", results[f"contention_{target}"][model])
              for target in ("linux", "windows") if f"contention_{target}" in results
              for model in PLANS if model in results[f"contention_{target}"]]
    colours = ["#1f77b4", "#aec7e8", "#d62728", "#ff9896"]
    width, height, left, bottom, top = 1240, 340, 50, 40, 40
    most = 5.0
    scale = (height - bottom - top) / most
    group = (width - left - 10) / len(CONDITIONS)
    bar = group * 0.8 / max(1, len(series))
    parts = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" font-family="sans-serif" '
             f'font-size="11"><rect width="{width}" height="{height}" fill="white"/>',
             f'<text x="{left}" y="16" font-size="13">The helper\'s time beside other work over its time alone '
             f'(lower is better)</text>']
    for ratio in range(int(most) + 1):
        y = height - bottom - ratio * scale
        parts.append(f'<line x1="{left}" x2="{width - 10}" y1="{y}" y2="{y}" stroke="#ddd"/>'
                     f'<text x="{left - 6}" y="{y + 4}" text-anchor="end">{ratio}x</text>')
    for index, condition in enumerate(CONDITIONS):
        x0 = left + index * group + group * 0.1
        parts.append(f'<text x="{x0 + group * 0.4}" y="{height - bottom + 16}" text-anchor="middle">{condition}</text>')
        for number, (_, entry) in enumerate(series):
            ratio = entry.get(condition, {}).get("ratio")
            if ratio is None:
                continue
            shown = min(ratio, most)
            parts.append(f'<rect x="{x0 + number * bar:.1f}" y="{height - bottom - shown * scale:.1f}" '
                         f'width="{bar - 2:.1f}" height="{shown * scale:.1f}" fill="{colours[number % 4]}"/>')
    for number, (label, _) in enumerate(series):
        parts.append(f'<rect x="{left + 10 + number * 175}" y="{top - 14}" width="10" height="10" '
                     f'fill="{colours[number % 4]}"/><text x="{left + 24 + number * 175}" y="{top - 5}">{label}</text>')
    parts.append("</svg>")
    path.write_text("\n".join(parts) + "\n")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--build-dir", help="the Linux build directory (default build-bench), for its model writer")
    parser.add_argument("--windows", action="store_true", help="the Windows helper under Wine")
    parser.add_argument("--windows-build", default=str(bc.REPO / "build-windows"),
                        help="the Windows build directory (default build-windows)")
    parser.add_argument("--models", default=",".join(PLANS), help="comma-separated (default: all)")
    parser.add_argument("--rounds", type=int, help="rounds per model (default: 5 for the small one, 3 for the large)")
    parser.add_argument("--baseline", help="another helper whose lone time joins every round")
    parser.add_argument("--plot", help="only draw the stored results of both targets into this SVG file")
    parser.add_argument("--llama", action="store_true", help="llama.cpp's usual build under the same conditions")
    args = parser.parse_args()
    paths = bc.locate(args.build_dir, need_tools=args.llama)
    if args.plot:
        plot(bc.stored_results(paths), Path(args.plot))
        return 0
    env = bc.helper_env()
    launcher: list[str] = []
    helper = paths.helper
    if args.windows:
        windows_build = Path(args.windows_build).resolve()
        env.update(wine_env(windows_build))
        os.environ.update(wine_env(windows_build))
        subprocess.run([WINESERVER, "-p"], stdin=subprocess.DEVNULL)  # one may be running already
        launcher, helper = [WINE], windows_build / "bin" / "debrindle-llama-helper.exe"
    target = "windows" if args.windows else "linux"
    quota = Quota()
    results = {"machine": bc.machine(), "target": target, "quota_measured": quota.folder is not None}
    bc.say(f"{target} helper {helper}; CPU quota {'by ' + str(quota.folder) if quota.folder else 'not measured'}")
    try:
        for name in args.models.split(","):
            tokens, rounds = PLANS[name]
            model = bc.ensure_model(paths, name)
            line = bc.request_line(model, bc.synthetic_words(50), tokens)
            servers = {"normal": Server([*launcher, str(helper), "--server"], env),
                       "one": Server(["taskset", "-c", "0", *launcher, str(helper), "--server"], env)}
            if args.baseline:
                servers["baseline"] = Server([*launcher, args.baseline, "--server"], env)
            if args.llama:
                servers["llama"] = LlamaSide(paths.tools_bin, model, line, paths.build / f"contention-{name}.log")
            try:
                entry = measure(servers, line, args.rounds or rounds, quota)
                entry["idle_server_cpu_percent"] = round(idle_cpu_percent(servers["normal"], line), 2)
            finally:
                for server in servers.values():
                    server.close()
            entry["tokens"] = tokens
            results[name] = entry
            bc.say(f"{name}, {tokens} tokens:")
            for condition in [*CONDITIONS, *(["baseline-alone"] if args.baseline else [])]:
                e = entry[condition]
                if not e.get("measured", True):
                    bc.say(f"  {condition:24} not measured")
                    continue
                text = f"{e['ratio']:.2f}x" if e["ratio"] is not None else "no answer"
                ms = f"  {bc.spread_text(e['ms'], ' ms', digits=0)}" if e["ms"] else ""
                one = f"  over one processor {e['over_one_processor']:.2f}x" if e.get("over_one_processor") else ""
                llama = e.get("llama")
                theirs = ""
                if llama:
                    theirs = f"  llama.cpp {llama['ratio']:.2f}x" if llama["ratio"] is not None else "  llama.cpp no answer"
                    theirs += f" ({bc.spread_text(llama['ms'], ' ms', digits=0)})" if llama["ms"] else ""
                    theirs += f", {llama['no_answer']} past {LLAMA_LIMIT_SECONDS:.0f} s" if llama["no_answer"] else ""
                bc.say(f"  {condition:24} {text}{ms}{one}  no answer {e['no_answer']}  same reply {e['same_reply']}"
                       f"{theirs}")
            bc.say(f"  idle server              {entry['idle_server_cpu_percent']} % of a processor")
    finally:
        quota.remove()
        if args.windows:
            subprocess.run([WINESERVER, "-k"], stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    # Models measured in an earlier run stay, each with its own machine note.
    section = bc.stored_results(paths).get(f"contention_{target}", {})
    section.update(results)
    bc.store_results(paths, f"contention_{target}", section)
    return 0


if __name__ == "__main__":
    sys.exit(main())
