#!/usr/bin/env bash
# Cross-builds the Windows x64 helper on Debian with MinGW-w64 (POSIX-threads
# variant) against the pinned llama.cpp's Windows engine, which the same
# toolchain builds from source once into the cache (`ensure-llama.sh
# --windows`): debrindle-llama-helper.exe and debrindle-make-model.exe in
# <build dir>/bin with every DLL and module they need beside them (llama.cpp's
# and the MinGW run time's) and their license notices, so the folder can be
# copied to a Windows machine as a whole.
#
# Usage: build-windows.sh [build dir]   (default: build-windows)
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir=${1:-build-windows}

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then
  echo "build-windows: x86_64-w64-mingw32-g++-posix not found;" \
       "install it and the engine's tools with: bash scripts/install-deps.sh --windows" >&2
  exit 1
fi

# The test suites fork and exec the helper, which a Windows build cannot;
# they run on Linux against the .exe instead (scripts/test-windows.sh).
cmake --preset windows -B "$build_dir" >/dev/null
cmake --build "$build_dir" --parallel 2 --target debrindle-llama-helper debrindle-make-model
echo "build-windows: $build_dir/bin/debrindle-llama-helper.exe" >&2
