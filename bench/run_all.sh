#!/usr/bin/env bash
# Builds the helper (into build-bench unless told otherwise) and llama.cpp's
# tools from the same pinned source, runs both side-by-side benchmarks and the
# request decoder benchmark, and draws docs/performance.png.
#
# Usage: bash bench/run_all.sh [BUILD_DIR]
# The results land in BUILD_DIR/bench-results.json and
# BUILD_DIR/request_decoder_bench.json; nothing here is a test.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-bench}
cmake --preset default -B "$build" >/dev/null
cmake --build "$build" --parallel 2 --target debrindle-llama-helper debrindle-make-model
# The layer that makes lavapipe a small card, where the Vulkan headers are.
cmake --build "$build" --target debrindle_small_gpu_layer >/dev/null 2>&1 || true
bash scripts/ensure-llama.sh --tools >/dev/null

python3 bench/generation_vs_llama.py --build-dir "$build"
python3 bench/server_vs_llama.py --build-dir "$build"
python3 bench/startup_and_folder.py --build-dir "$build"
python3 bench/gpu_fit.py --build-dir "$build"
python3 bench/prompt_reuse.py --build-dir "$build" --models random-58m --plot "$build/prompt_reuse.svg"

if cmake --build "$build" --parallel 2 --target request_decoder_bench >/dev/null 2>&1; then
  "$build/bin/request_decoder_bench" --benchmark_min_time=0.2 \
    --benchmark_out="$build/request_decoder_bench.json" --benchmark_out_format=json
else
  echo "request_decoder_bench is not available in $build; skipped" >&2
fi

python3 docs/plot_performance.py "$build/bench-results.json" docs/performance.png
