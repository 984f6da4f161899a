#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail

packages=(
  g++ cmake ninja-build git ca-certificates
  libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  # The test command checks formatting and clang-tidy (scripts/check-style.sh).
  clang-format clang-tidy
  python3 valgrind
  # Node.js runs the JavaScript host client's test (Debian 12's Node 18 will do).
  nodejs
  # patchelf fixes the prebuilt engine's library search paths; the Vulkan
  # loader lets the helper use a GPU, and Mesa's software device (lavapipe)
  # and qemu's older processors are what the tests run it on here.
  # libvulkan-dev's headers build the test layer that makes lavapipe look
  # like a small GPU.
  patchelf libvulkan1 libvulkan-dev mesa-vulkan-drivers qemu-user
)
# --windows: only what the Windows x64 build and its tests under Wine need
# (scripts/build-windows.sh, scripts/test-windows.sh): MinGW-w64 builds the
# helper and its engine; Wine's Vulkan, through which the GPU tests reach
# Mesa's software device, needs a display: Xvfb's. The engine's Vulkan module
# needs a newer glslc and newer Vulkan headers than Debian 12's: ensure-llama.sh
# fetches them from a later Debian into its cache, with apt, installing nothing.
# --demo: only what configuring the default build and running the helper
# need (scripts/demo.sh); the sanitizers, valgrind, Mesa's software GPU and
# qemu wait for the test command.
case "${1:-}" in
  --windows) packages=(g++-mingw-w64-x86-64-posix wine64 xvfb) ;;
  --demo) packages=(g++ cmake ninja-build git ca-certificates libgtest-dev libbenchmark-dev python3 nodejs patchelf libvulkan1) ;;
esac
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
# npm fetches the pinned llama.cpp release; any working npm will do.
command -v npm >/dev/null 2>&1 || missing+=(npm)

if ((${#missing[@]} > 0)); then
  echo "install-deps: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq "${missing[@]}" >/dev/null
fi
