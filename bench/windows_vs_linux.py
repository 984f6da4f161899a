#!/usr/bin/env python3
"""The Windows helper under Wine against the Linux helper on the same
machine: one server of each, the same model loaded, requests of 1 token and
of 160 tokens, the two taking turns, as ratios (Windows / Linux).

Both helpers choose their CPU module by the same rule, so on one machine they
run the same variant. --busy adds one thread that spins beside them, as on a
user's machine where something else runs; --windows-folder measures another
Windows folder (a copy with another thread pool, say).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
from pathlib import Path

import bench_common as bc

WINE = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver64"
PAIRS = 10
# (label, user prompt, maxTokens): a prompt of 50 words lets the budget reach 160.
REQUESTS = [("1-token", "Say hello.", 1), ("160-token", bc.synthetic_words(50), 160)]


def wine_env(windows_build: Path) -> dict:
    return {"WINEPREFIX": str(windows_build / "wineprefix"), "WINEDEBUG": "-all",
            "WINEDLLOVERRIDES": "mscoree,mshtml="}


def measure(linux: bc.HelperServer, windows: bc.HelperServer, model: Path, rounds: int, patience: float) -> dict:
    result = {}
    for label, prompt, tokens in REQUESTS:
        line = bc.request_line(model, prompt, tokens)
        outputs = {"linux": linux.ask_timed(line)[1]["output"], "windows": windows.ask_timed(line)[1]["output"]}

        # The two helpers take turns request by request, so that the machine's
        # own drift (which moved the Linux times alone by half between blocks)
        # falls on both sides of each pair: the ratio is the median of the pairs'.
        def request_round(index: int) -> dict:
            samples: dict[str, list[float]] = {"linux_ms": [], "windows_ms": [], "pair_ratio": []}
            sides = [("linux", linux), ("windows", windows)]
            for pair in range(PAIRS):
                for side, helper in (sides if (index + pair) % 2 == 0 else sides[::-1]):
                    seconds, answer = helper.ask_timed(line)
                    samples[f"{side}_ms"].append(seconds * 1e3)
                    if answer["output"] != outputs[side]:
                        raise SystemExit(f"the {side} helper's reply changed between two equal requests")
                samples["pair_ratio"].append(samples["windows_ms"][-1] / samples["linux_ms"][-1])
            return samples

        measured = bc.quiet_rounds(rounds, 3 * rounds, request_round, patience)
        entry = {side: bc.summary(bc.pooled(measured, side)) for side in ("linux_ms", "windows_ms")}
        entry["pair_ratio"] = bc.summary(bc.pooled(measured, "pair_ratio"))
        entry["ratio"] = entry["pair_ratio"]["median"]
        entry["same_reply"] = outputs["linux"] == outputs["windows"]
        entry.update(bc.rounds_note(measured))
        result[label] = entry
        bc.say(f"  {label}: Linux {bc.spread_text(entry['linux_ms'], ' ms', digits=1)}  "
               f"Windows {bc.spread_text(entry['windows_ms'], ' ms', digits=1)}  ratio {entry['ratio']:.3f} "
               f"[quartiles {entry['pair_ratio']['q1']:.3f}..{entry['pair_ratio']['q3']:.3f}]; "
               f"same reply {entry['same_reply']} ({entry['quiet_rounds']} quiet of {entry['rounds']})")
    return result


def shipped_mib(folder: Path) -> float:
    """The helper and every DLL beside it, as the release archive holds them."""
    files = [folder / "debrindle-llama-helper.exe", *folder.glob("*.dll")]
    return sum(f.stat().st_size for f in files) / 2**20


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    bc.add_common_arguments(parser)
    parser.add_argument("--windows-build", default=str(bc.REPO / "build-windows"),
                        help="the Windows build directory, for its Wine prefix (default build-windows)")
    parser.add_argument("--windows-folder", help="the Windows helper's folder (default WINDOWS_BUILD/bin)")
    parser.add_argument("--model", default="random-58m-f16", choices=sorted(bc.MODELS))
    parser.add_argument("--rounds", type=int, default=4, help="quiet rounds per request size (default 4)")
    parser.add_argument("--busy", action="store_true", help="one thread spinning beside the helpers")
    parser.add_argument("--label", default="", help="suffix of the results' section name")
    args = parser.parse_args()
    bc.PATIENCE = args.patience
    paths = bc.locate(args.build_dir, need_tools=False)
    windows_build = Path(args.windows_build).resolve()
    folder = Path(args.windows_folder).resolve() if args.windows_folder else windows_build / "bin"
    env = wine_env(windows_build)
    os.environ.update(env)
    subprocess.run([WINESERVER, "-p"], stdin=subprocess.DEVNULL)  # one may be running already
    subprocess.run([WINE, "cmd", "/c", "exit", "0"], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)
    model = bc.ensure_model(paths, args.model)
    busy = subprocess.Popen([sys.executable, "-c", "while True: pass"]) if args.busy else None
    linux = bc.HelperServer(paths.helper)
    windows = bc.HelperServer(folder / "debrindle-llama-helper.exe", env, launcher=[WINE])
    try:
        for helper in (linux, windows):
            helper.ask_timed(bc.request_line(model, "", 1, action="warmup"))
        bc.say(f"Windows helper under Wine ({folder}) against the Linux helper ({paths.helper}), "
               f"{args.model}{', one busy thread beside them' if busy else ''}")
        # With a thread spinning the machine is never idle: every round counts.
        result = measure(linux, windows, model, args.rounds, 0.0 if busy else args.patience)
    finally:
        linux.close()
        windows.close()
        if busy:
            busy.kill()
        subprocess.run([WINESERVER, "-k"], stdin=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    result.update({"machine": bc.machine(), "model": args.model, "busy_thread": bool(busy),
                   "windows_folder_mib": round(shipped_mib(folder), 1)})
    bc.store_results(paths, "windows_vs_linux" + (f"_{args.label}" if args.label else ""), result)
    return 0


if __name__ == "__main__":
    sys.exit(main())
