#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds the helper and runs every test:
# - formatting and clang-tidy (scripts/check-style.sh), and the glibc and
#   libstdc++ that README.md says the Linux folder needs (check-floor.sh);
# - the whole suite on the normal build (build/);
# - the same suite on the AddressSanitizer + UndefinedBehaviorSanitizer build
#   (build-asan/), where any report, a leak included, aborts the process that
#   has it and so fails its test;
# - valgrind's memcheck over a one-shot generation and a server session;
# - a short soak of one server (tests/soak/soak.py runs the long one);
# - a few seconds of every fuzz target;
# - the helper built against llama.cpp as an install lays it out
#   (-DDEBRINDLE_INSTALLED_LLAMA=ON, scripts/test-installed-llama.sh);
# - the Windows build under Wine (below);
# - the release archives, made and tried out from an unusual folder.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"

bash scripts/install-deps.sh

# Every CPU module: the tests try the helper on older processors too.
cmake --preset default -DDEBRINDLE_EVERY_CPU_MODULE=ON
cmake --build --preset default --parallel "$jobs"
bash scripts/check-style.sh build
bash scripts/check-floor.sh build/bin
ctest --preset default --parallel "$jobs"
bash scripts/test-installed-llama.sh build

# The test preset sets ASAN_OPTIONS (detect_leaks=1:abort_on_error=1:
# halt_on_error=1) and UBSAN_OPTIONS (print_stacktrace=1:halt_on_error=1).
cmake --preset asan
cmake --build --preset asan --parallel "$jobs"
ctest --preset asan --parallel "$jobs"

bash scripts/memcheck.sh build
python3 tests/soak/soak.py --requests 2000 --helper build/bin/debrindle-llama-helper
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
  # Two to three minutes: the Release build, both archives, and both helpers
  # answering from them.
  bash scripts/package.sh
  bash scripts/check-package.sh build
fi
