#!/usr/bin/env bash
# Runs the helper's process tests against the Windows x64 build under Wine,
# on a virtual display (Xvfb) so that Wine's Vulkan reaches Mesa's devices:
# the same GoogleTest binary that drives the Linux helper through real pipes
# (one-shot mode, generation, server mode, the command line, the platform
# layer), and the Python host client's test, now starting
# debrindle-llama-helper.exe through Wine's loader. Models are written by the
# Linux side into /tmp; Wine sees the same absolute paths through its Z:
# drive (a path that begins with "/" names the current drive's root, and the
# current folder is on Z:), so they are passed unchanged. The repository's
# path must not contain spaces (the helper command is split on them).
#
# Usage: test-windows.sh [Linux build dir] [Windows build dir]
#        (defaults: build and build-windows; the Linux build must have been
#         made first, the Windows one is made here)
set -euo pipefail
cd "$(dirname "$0")/.."
linux_build=${1:-build}
windows_build=${2:-build-windows}

wine_loader=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
if [[ ! -x $wine_loader ]] || ! command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1; then
  echo "test-windows: needs MinGW-w64 and Wine (bash scripts/install-deps.sh --windows)" >&2
  exit 1
fi
tests_binary="$linux_build/bin/debrindle_tests"
[[ -x $tests_binary ]] || { echo "test-windows: build $tests_binary first" >&2; exit 1; }

started=$SECONDS
# The Windows CPU modules' expf, sinf and cosf against glibc's, as the modules
# build them: with FMA where the processor has it, and without.
math_check=$(mktemp -d)
sed -n '/^+++ b\/ggml\/src\/ggml-cpu\/mingw-math.h/,$ { /^+++/d; s/^+//p; }' \
  scripts/llama-patches/windows-math-without-x87.patch >"$math_check/mingw-math.h"
gcc -O2 -I"$math_check" -o "$math_check/plain" tests/windows/engine_math_check.c -lm
GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX2,-FMA "$math_check/plain" 61
if grep -qw fma /proc/cpuinfo; then
  gcc -O2 -mfma -mavx2 -I"$math_check" -o "$math_check/fma" tests/windows/engine_math_check.c -lm
  "$math_check/fma" 61
fi
rm -rf "$math_check"

bash scripts/build-windows.sh "$windows_build"
echo "test-windows: Windows build ready after $((SECONDS - started)) s" >&2

helper_exe="$PWD/$windows_build/bin/debrindle-llama-helper.exe"
export WINEPREFIX="$PWD/$windows_build/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or Gecko installer prompts
# One Wine server for the whole run, so that each helper start does not pay
# for a new one; it is ended when the run ends, however it ends. Wine's own
# background processes (services, devices) start with the first program and
# would inherit its standard streams, keeping a test's pipes open: they are
# started here, on /dev/null, and stay for the run.
mkdir -p "$WINEPREFIX"
"$wineserver" -p </dev/null >/dev/null 2>&1 || true  # one may be running for this prefix already
# Wine's Vulkan (and with it the GPU tests, on Mesa's software device) needs
# a display: a virtual one of the run's own, on the first free number, ended
# with the run.
display_file=$(mktemp)
Xvfb -displayfd 3 -nolisten tcp -screen 0 640x480x24 3>"$display_file" </dev/null >/dev/null 2>&1 &
xvfb=$!
trap '"$wineserver" -k 2>/dev/null || true; kill $xvfb 2>/dev/null || true; rm -f "$display_file"' EXIT
for _ in $(seq 100); do [[ -s $display_file ]] && break; sleep 0.1; done
[[ -s $display_file ]] || { echo "test-windows: Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n 1 "$display_file")"
"$wine_loader" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true  # creates the prefix once
echo "test-windows: Wine ready after $((SECONDS - started)) s" >&2

# Started by a Windows parent, as a Windows host starts it (see the file).
starter="$PWD/$windows_build/bin/start-process.exe"
x86_64-w64-mingw32-g++-posix -std=c++20 -Wall -Wextra -Werror -O2 -static \
  -o "$starter" tests/windows/start_process.cpp -lshell32
export DEBRINDLE_HELPER_COMMAND="$wine_loader $starter $helper_exe"
# Planted where the helper starts, under the names of engine DLLs.
export DEBRINDLE_PLANTED_DLL="$PWD/$windows_build/planted-library.dll"
x86_64-w64-mingw32-gcc-posix -shared -O2 -o "$DEBRINDLE_PLANTED_DLL" tests/windows/planted_library.c
# Put into a copy of the helper's folder as a CPU module that faults.
export DEBRINDLE_FAULTING_DLL="$PWD/$windows_build/faulting-module.dll"
x86_64-w64-mingw32-gcc-posix -shared -O2 -o "$DEBRINDLE_FAULTING_DLL" tests/windows/faulting_module.c
# The whole test binary: every suite that starts the helper now starts the
# .exe (the in-process suites run again on Linux, in a few seconds).
timeout 1800 "$tests_binary" --gtest_brief=1

# The host client starts one program by its path: a two-line launcher.
launcher="$PWD/$windows_build/debrindle-llama-helper-wine"
printf '#!/bin/sh\nexec %q %q "$@"\n' "$wine_loader" "$helper_exe" >"$launcher"
chmod +x "$launcher"
DEBRINDLE_HELPER="$launcher" DEBRINDLE_MAKE_MODEL="$PWD/$linux_build/bin/debrindle-make-model" \
  timeout 600 python3 tests/host_client_test.py
echo "test-windows: done after $((SECONDS - started)) s" >&2
