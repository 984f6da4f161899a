#!/usr/bin/env python3
"""What the GPU costs where it is missing or too small.

- no_gpu: one-shot wall time and peak RSS on a machine without a GPU, for
  the shipped folder (which leaves the Vulkan module unstarted there), the
  same folder without the module, and the folder with the module started
  anyway (GGML_VK_VISIBLE_DEVICES set to no device: what every run paid
  before), on a tiny and on the 58M model.
- small_gpu: one-shot wall time on lavapipe made a small card by the
  layer of tools/small_gpu_layer, at capacities that fail the full offload at the
  model load, the cache, the compute buffers and the first decode, against
  the same card large enough and against no GPU at all.

Nothing here is a test: the figures go to bench-results.json ("gpu_fit").
"""

from __future__ import annotations

import argparse
import shutil
import subprocess
import tempfile
from pathlib import Path

import bench_common as bc

LAVAPIPE = Path("/usr/share/vulkan/icd.d/lvp_icd.x86_64.json")
# The test model and the capacities of the small-GPU test, in KiB.
CHAIN_MODEL = ["--specials", "<|marker|>", "--words", "▁Hello ▁world ! ▁a ▁b ▁extraordinary",
               "--chain", "▁Hello ▁world !"]
CAPS = {"fits": "10000000", "load": "1000", "cache": "3000", "compute": "5000", "first_decode": "6762"}


def folder_without_vulkan(helper: Path, into: Path) -> Path:
    for entry in helper.parent.iterdir():
        if entry.is_file() and not entry.name.startswith("libggml-vulkan"):
            shutil.copy2(entry, into / entry.name)
    return into / helper.name


def one_shot(helper: Path, request: bytes, env: dict) -> bc.Run:
    run = bc.run_measured([str(helper)], request, env=env)
    if run.status != 0 or not run.stdout:
        raise SystemExit(f"{helper} failed: {run.status} {run.stderr.decode()[-500:]}")
    return run


def no_gpu(paths: bc.Paths, rounds: int) -> dict:
    scratch = Path(tempfile.mkdtemp(prefix="no-vulkan-"))
    without = folder_without_vulkan(paths.helper, scratch)
    forced = {**bc.helper_env(), "GGML_VK_VISIBLE_DEVICES": ""}
    variants = {"shipped": (paths.helper, bc.helper_env()), "without_module": (without, bc.helper_env()),
                "module_started": (paths.helper, forced)}
    results = {}
    for model_name in ("random-tiny", "random-58m"):
        request = bc.request_line(bc.ensure_model(paths, model_name), "hi", 1).rstrip(b"\n")

        def one_round(index: int) -> dict:
            figures = {}
            for name, (helper, env) in variants.items():
                run = one_shot(helper, request, env)
                figures[f"{name}_s"] = run.seconds
                figures[f"{name}_kib"] = run.max_rss_kib
            bc.say(f"  {model_name} round {index + 1}: " +
                   ", ".join(f"{k} {v:.3f}" if k.endswith("_s") else f"{k} {v}" for k, v in figures.items()))
            return figures

        measured = bc.quiet_rounds(rounds, 3 * rounds, one_round)
        entry = bc.rounds_note(measured)
        for name in variants:
            entry[name] = {"seconds": bc.summary(bc.pooled(measured, f"{name}_s")),
                           "peak_rss_kib": bc.summary(bc.pooled(measured, f"{name}_kib"))}
        for name in ("shipped", "module_started"):
            entry[f"{name}_vs_without"] = {
                "wall": entry[name]["seconds"]["median"] / entry["without_module"]["seconds"]["median"],
                "peak_rss": entry[name]["peak_rss_kib"]["median"] / entry["without_module"]["peak_rss_kib"]["median"]}
        bc.say(f"{model_name}: shipped/without wall {entry['shipped_vs_without']['wall']:.2f}x "
               f"rss {entry['shipped_vs_without']['peak_rss']:.2f}x; started/without wall "
               f"{entry['module_started_vs_without']['wall']:.2f}x rss {entry['module_started_vs_without']['peak_rss']:.2f}x")
        results[model_name] = entry
    shutil.rmtree(scratch)
    return results


def small_gpu(paths: bc.Paths, rounds: int) -> dict:
    layer_dir = paths.build / "small_gpu"
    if not LAVAPIPE.exists() or not (layer_dir / "debrindle_small_gpu.json").exists():
        bc.say("small_gpu: needs Mesa's lavapipe and the small-GPU layer; skipped")
        return {"skipped": "no lavapipe or no test layer"}
    model = paths.models / "chain-1-layer.gguf"
    if not model.exists():
        subprocess.run([str(paths.make_model), "--out", str(model), *CHAIN_MODEL], check=True)
    request = bc.request_line(model, "hi", 16).rstrip(b"\n")
    gpu = {**bc.helper_env(), "GGML_VK_VISIBLE_DEVICES": "0", "VK_LAYER_PATH": str(layer_dir),
           "VK_INSTANCE_LAYERS": "VK_LAYER_DEBRINDLE_small_gpu"}
    variants = {"no_gpu": bc.helper_env(), **{name: {**gpu, "DEBRINDLE_SMALL_GPU_KIB": kib} for name, kib in CAPS.items()}}

    def one_round(index: int) -> dict:
        figures = {name: one_shot(paths.helper, request, env).seconds for name, env in variants.items()}
        bc.say(f"  small GPU round {index + 1}: " + ", ".join(f"{k} {v:.3f}" for k, v in figures.items()))
        return figures

    measured = bc.quiet_rounds(rounds, 3 * rounds, one_round)
    entry = bc.rounds_note(measured)
    for name in variants:
        entry[name] = {"seconds": bc.summary(bc.pooled(measured, name))}
    fits = entry["fits"]["seconds"]["median"]
    for name in CAPS:
        entry[name]["extra_over_fits_s"] = entry[name]["seconds"]["median"] - fits
    bc.say("small GPU medians: " + ", ".join(f"{n} {entry[n]['seconds']['median']:.3f} s" for n in variants))
    return entry


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=10, help="quiet interleaved rounds (default 10)")
    parser.add_argument("--sections", default="no_gpu,small_gpu", help="comma-separated: no_gpu, small_gpu")
    bc.add_common_arguments(parser)
    args = parser.parse_args()
    bc.PATIENCE = args.patience
    machine = bc.machine()
    paths = bc.locate(args.build_dir, need_tools=False)
    sections = args.sections.split(",")
    results = {"machine": machine}
    if "no_gpu" in sections:
        results["no_gpu"] = no_gpu(paths, args.rounds)
    if "small_gpu" in sections:
        results["small_gpu"] = small_gpu(paths, args.rounds)
    bc.store_results(paths, "gpu_fit", results)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
