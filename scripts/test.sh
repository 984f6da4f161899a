#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds the helper and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja
cmake --build build --parallel "$(nproc)"
ctest --test-dir build --output-on-failure --parallel "$(nproc)"
bash scripts/fuzz.sh 10
