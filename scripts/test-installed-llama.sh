#!/usr/bin/env bash
# Builds the helper with -DDEBRINDLE_INSTALLED_LLAMA=ON against llama.cpp as
# `cmake --install` lays out the pinned release's module build (the CMake
# package and libraries in lib/, the modules among the programs in bin/),
# then runs the Node.js host client's test against that helper with the
# prefix gone, so it can only work from its own folder.
#
# The prefix is the engine cache's (scripts/ensure-llama.sh installs the
# pinned source there, with the modules moved to lib/ and a run path of
# $ORIGIN), put back as a plain `cmake --install` leaves it: no second build
# of llama.cpp.
#
# Usage: test-installed-llama.sh [Linux build dir]   (default: build; its
#        debrindle-make-model writes the test's model)
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=${1:-build}
build_dir=build-installed
prefix=$PWD/$build_dir/llama-prefix

engine=$(bash scripts/ensure-llama.sh --every-cpu-module)
rm -rf "$prefix"
mkdir -p "$prefix/bin"
cp -r "$engine/include" "$engine/lib" "$prefix/"
mv "$prefix"/lib/libggml-cpu-*.so "$prefix/lib/libggml-vulkan.so" "$prefix/bin/"
for library in "$prefix"/lib/lib*.so.*.* "$prefix"/bin/*.so; do
  patchelf --remove-rpath "$library"  # an install leaves none ($ORIGIN is the cache's own)
done

cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DDEBRINDLE_INSTALLED_LLAMA=ON \
  -DCMAKE_PREFIX_PATH="$prefix" -DDEBRINDLE_TESTS=OFF -DDEBRINDLE_BENCH=OFF >/dev/null
cmake --build "$build_dir" --parallel "$(nproc)" --target debrindle-llama-helper
rm -rf "$prefix"

DEBRINDLE_HELPER="$PWD/$build_dir/bin/debrindle-llama-helper" \
DEBRINDLE_MAKE_MODEL="$PWD/$linux_build/bin/debrindle-make-model" \
  node --test tests/host_client_test.mjs
