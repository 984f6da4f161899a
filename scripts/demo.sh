#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds the helper, writes a small scripted
# model with the project's model writer and runs the helper's main job on it:
# one one-shot request whose reply is printed, then a short server session.
# The engine comes with the one CPU module this processor runs, which is all
# the helper loads here; the test command builds the others.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --demo
cmake --preset default -DDEBRINDLE_EVERY_CPU_MODULE=OFF >/dev/null
cmake --build --preset default --parallel "$(nproc)" --target debrindle-llama-helper debrindle-make-model >/dev/null

model=build/demo/demo.gguf
mkdir -p build/demo
reply="▁Hello ! ▁I ▁am ▁a ▁tiny ▁scripted ▁model , ▁answering ▁through ▁llama.cpp ."
build/bin/debrindle-make-model --out "$model" --words "$reply" --chain "$reply"

request=$(printf '{"modelPath":"%s","systemPrompt":"You are a friendly helper.","userPrompt":"Say hello.","temperature":0,"maxTokens":64}' "$model")
echo "one-shot request:  $request"
printf 'one-shot reply:    '
printf '%s' "$request" | build/bin/debrindle-llama-helper
printf '\n\nserver session (one request per line in, one JSON line out):\n'
printf '%s\n' "{\"action\":\"warmup\",${request:1}" "$request" | build/bin/debrindle-llama-helper --server
