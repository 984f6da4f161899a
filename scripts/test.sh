#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds the helper and runs every test:
# - the demo (scripts/demo.sh), whose engine has the one CPU module chosen
#   for this processor before it is built, and that module checked against
#   the helper's own choice among every module;
# - formatting and clang-tidy (scripts/check-style.sh);
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
# - the engine cache without the network, and the Windows engine's Vulkan
#   tools when the registry no longer serves their pinned versions
#   (scripts/test-engine-cache.sh);
# - the release archives, made (with the checks of what they hold: licenses,
#   the glibc floor README.md states, the Windows engine's optimization) and
#   tried out from an unusual folder.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs="$(nproc)"

bash scripts/install-deps.sh

bash scripts/demo.sh
demo_module=$(cd build/bin && ls libggml-cpu-*.so)

# Every CPU module: the tests try the helper on older processors too.
cmake --preset default -DDEBRINDLE_EVERY_CPU_MODULE=ON
cmake --build --preset default --parallel "$jobs"
# The helper, given every module, loads the one the demo's engine was built with.
loaded=$(printf '{"modelPath":"build/demo/demo.gguf","systemPrompt":"","userPrompt":"hi","temperature":0,"maxTokens":1}' |
  BRINDLE_DEBRINDLE_LLAMA_LOGS=1 build/bin/debrindle-llama-helper 2>&1 >/dev/null |
  sed -n 's|.*loaded CPU backend from .*/\(libggml-cpu-[^/]*\.so\)$|\1|p')
if [[ $loaded != "$demo_module" ]]; then
  echo "test: the demo's engine has $demo_module, the helper loads ${loaded:-no CPU module} among them all" >&2
  exit 1
fi
bash scripts/check-style.sh build
ctest --preset default --parallel "$jobs"
bash scripts/test-installed-llama.sh build

# The test preset sets ASAN_OPTIONS (detect_leaks=1:abort_on_error=1:
# halt_on_error=1) and UBSAN_OPTIONS (print_stacktrace=1:halt_on_error=1).
cmake --preset asan
cmake --build --preset asan --parallel "$jobs"
ctest --preset asan --parallel "$jobs"

bash scripts/memcheck.sh build
python3 tests/soak/soak.py --requests 2000 --switch-cycles 500 --helper build/bin/debrindle-llama-helper
bash scripts/fuzz.sh 10

# The Windows x64 build, helper and engine cross-built with MinGW-w64, and
# the process tests against it under Wine (the engine's first build takes
# 16 to 22 minutes on a 2-core machine, then it is cached). Set
# DEBRINDLE_SKIP_WINDOWS=1 to leave it out.
if [[ "${DEBRINDLE_SKIP_WINDOWS:-0}" == 1 ]]; then
  echo "test: Windows build under Wine left out (DEBRINDLE_SKIP_WINDOWS=1)" >&2
  bash scripts/test-engine-cache.sh
elif ! bash scripts/install-deps.sh --windows; then
  echo "test: Windows build under Wine skipped: MinGW-w64, Wine or Xvfb could not be installed" >&2
  bash scripts/test-engine-cache.sh
else
  bash scripts/test-windows.sh build build-windows
  bash scripts/test-engine-cache.sh --windows
  # Two to three minutes: the Release build, both archives, and both helpers
  # answering from them.
  bash scripts/package.sh
  bash scripts/check-package.sh build
fi
