#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds the helper and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
cmake -S . -B build -G Ninja
cmake --build build --parallel "$(nproc)"
ctest --test-dir build --output-on-failure --parallel "$(nproc)"
bash scripts/fuzz.sh 10

# The Windows x64 build, cross-built with MinGW-w64, and the process tests
# against it under Wine (about 7 minutes the first time on a fresh machine,
# well under a minute once llama.cpp's DLLs are cached). Set
# DEBRINDLE_SKIP_WINDOWS=1 to leave it out.
if [[ "${DEBRINDLE_SKIP_WINDOWS:-0}" == 1 ]]; then
  echo "test: Windows build under Wine left out (DEBRINDLE_SKIP_WINDOWS=1)" >&2
elif ! bash scripts/install-deps.sh --windows; then
  echo "test: Windows build under Wine skipped: g++-mingw-w64-x86-64-posix and wine64 could not be installed" >&2
else
  bash scripts/test-windows.sh build build-windows
fi
