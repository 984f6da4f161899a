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
- plan: on the 58M model in F16, what planning the placement costs against a load
  (placement_plan_bench, on a card of 99,000 KiB that holds 4 of its 9
  layers), the same for that model in three files as llama.cpp's split tool
  writes it (the plan reads every file's tensor table), the planned load
  against finding the fit by failing (a load of
  every layer, refused, then the load at the fit), and a server's switch
  from a second 58M model to it on a card of 143 MiB that holds either but
  not both (the old model released first) against its first load in a
  fresh server.

Nothing here is a test: the figures go to bench-results.json ("gpu_fit").
"""

from __future__ import annotations

import argparse
import json
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
# The 58M model's cards: four of its nine layers; either of two copies, not both.
PART_CARD_KIB, SWITCH_CARD_KIB = "99000", "146432"


def folder_without_vulkan(helper: Path, into: Path) -> Path:
    for entry in helper.parent.iterdir():
        if entry.is_file() and not entry.name.startswith("libggml-vulkan"):
            shutil.copy2(entry, into / entry.name)
    return into / helper.name


def one_shot(helper: Path, request: bytes, env: dict) -> bc.Run:
    run = bc.run_measured([str(helper)], request, env=env)
    if run.status != 0 or not run.stdout:
        raise SystemExit(f"{helper} failed: {run.status} {bc.text_tail(run.stderr, 500)}")
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


def small_gpu_env(paths: bc.Paths, kib: str) -> dict:
    return {**bc.helper_env(), "GGML_VK_VISIBLE_DEVICES": "0", "VK_LAYER_PATH": str(paths.build / "small_gpu"),
            "VK_INSTANCE_LAYERS": "VK_LAYER_DEBRINDLE_small_gpu", "DEBRINDLE_SMALL_GPU_KIB": kib}


def load_ms(paths: bc.Paths, env: dict, models: list) -> list:
    """The elapsed_ms of each load of a server warmed up on `models` in turn."""
    lines = b"".join(bc.request_line(model, "hi", 1, action="warmup") for model in models)
    run = bc.run_measured([str(paths.helper), "--server"], lines, env={**env, "BRINDLE_DEBRINDLE_LLAMA_LOGS": "1"})
    return [int(line.rsplit(b"elapsed_ms=", 1)[1]) for line in run.stderr.splitlines() if line.startswith(b"loaded model")]


def split_model(paths: bc.Paths) -> Path:
    """The F16 58M model in three files; the path of the first."""
    first = paths.models / "random-58m-f16-split-00001-of-00003.gguf"
    if not first.exists():
        staging = Path(tempfile.mkdtemp(dir=paths.models))
        subprocess.run([str(paths.make_model), "--out", str(staging / "random-58m-f16-split"), "--random", "1",
                        "--type", "f16", "--split", "3"], check=True, stdout=subprocess.DEVNULL)
        for part in sorted(staging.iterdir(), reverse=True):  # the first file last: it marks the model whole
            part.rename(paths.models / part.name)
        staging.rmdir()
    for part in sorted(paths.models.glob("random-58m-f16-split-*-of-00003.gguf")):
        with open(part, "rb") as model:  # from the page cache, as ensure_model leaves a model
            while model.read(1 << 22):
                pass
    return first


def plan(paths: bc.Paths, rounds: int) -> dict:
    if not LAVAPIPE.exists() or not (paths.build / "small_gpu" / "debrindle_small_gpu.json").exists():
        bc.say("plan: needs Mesa's lavapipe and the small-GPU layer; skipped")
        return {"skipped": "no lavapipe or no test layer"}
    model, other = bc.ensure_model(paths, "random-58m-f16"), bc.ensure_model(paths, "random-58m-f16-b")
    bench = paths.build / "bin" / "placement_plan_bench"
    card = {**small_gpu_env(paths, PART_CARD_KIB), "DEBRINDLE_BENCH_MODEL": str(model)}
    split_card = {**card, "DEBRINDLE_BENCH_MODEL": str(split_model(paths))}

    def one_round(index: int) -> dict:
        run = subprocess.run([str(bench), "--benchmark_format=json", "--benchmark_min_time=0.5"], env=card,
                             capture_output=True, check=True)
        figures = {b["name"]: b["real_time"] for b in json.loads(run.stdout)["benchmarks"]}
        run = subprocess.run([str(bench), "--benchmark_format=json", "--benchmark_min_time=0.5",
                              "--benchmark_filter=PlanFromModelFile|ReadModelFileHeader|LoadAtThePlan"], env=split_card,
                             capture_output=True, check=True)
        figures.update({"split_" + b["name"]: b["real_time"] for b in json.loads(run.stdout)["benchmarks"]})
        figures["switch_ms"] = load_ms(paths, small_gpu_env(paths, SWITCH_CARD_KIB), [other, model])[1]
        figures["fresh_ms"] = load_ms(paths, small_gpu_env(paths, SWITCH_CARD_KIB), [model])[0]
        bc.say(f"  plan round {index + 1}: " + ", ".join(f"{k} {v:.1f}" for k, v in figures.items()))
        return figures

    measured = bc.quiet_rounds(rounds, 3 * rounds, one_round)
    entry = bc.rounds_note(measured)
    for name in measured[0]:
        entry[name] = bc.summary(bc.pooled(measured, name))
    median = {name: entry[name]["median"] for name in measured[0]}
    entry["plan_vs_load"] = median["PlanFromModelFile"] / median["LoadAtThePlan"]
    entry["split_plan_vs_load"] = median["split_PlanFromModelFile"] / median["split_LoadAtThePlan"]
    entry["split_plan_beyond_the_check_vs_load"] = (
        median["split_PlanFromModelFile"] - median["split_ReadModelFileHeader"]) / (
        median["split_LoadAtThePlan"] + median["split_ReadModelFileHeader"])
    # The header read is the load's own check, which reads it when nothing planned.
    entry["plan_beyond_the_check_vs_load"] = (median["PlanFromModelFile"] - median["ReadModelFileHeader"]) / (
        median["LoadAtThePlan"] + median["ReadModelFileHeader"])
    entry["planned_vs_failing_first"] = (median["PlanFromModelFile"] + median["LoadAtThePlan"]) / (
        median["LoadEveryLayer"] + median["LoadAtThePlan"])
    entry["switch_vs_fresh"] = median["switch_ms"] / median["fresh_ms"]
    bc.say(f"plan/load {entry['plan_vs_load']:.3f} (beyond the check {entry['plan_beyond_the_check_vs_load']:.3f}), "
           f"in three files {entry['split_plan_vs_load']:.3f} (beyond the check "
           f"{entry['split_plan_beyond_the_check_vs_load']:.3f}), planned/failing first {entry['planned_vs_failing_first']:.2f}, "
           f"switch/fresh {entry['switch_vs_fresh']:.2f}")
    return entry


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=10, help="quiet interleaved rounds (default 10)")
    parser.add_argument("--sections", default="no_gpu,small_gpu,plan", help="comma-separated: no_gpu, small_gpu, plan")
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
    if "plan" in sections:
        results["plan"] = plan(paths, args.rounds)
    bc.store_results(paths, "gpu_fit", results)
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
