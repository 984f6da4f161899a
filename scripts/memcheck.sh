#!/usr/bin/env bash
# Runs the built helper under valgrind's memcheck: a one-shot generation, and
# one server session that warms a model up, generates, fails a load, switches
# models and generates again. Every answer is compared byte for byte, and any
# memcheck error fails the run: invalid reads or writes, use of undefined
# values, an invalid or double free, and "definitely lost" leaks.
#
# This is also how engine handles are checked to be released exactly once.
# Each handle the helper owns (model, context, sampler, batch) is a heap
# object of llama.cpp's that its release frees. A handle released twice is an
# invalid free, one used after its release an invalid read, and one never
# released is left without any pointer to it once its owner is gone, which
# memcheck reports as definitely lost. (The backend has no memory of its own;
# a second release of it is refused by the helper's flag with status 101,
# which the status checks below would see.)
#
# valgrind cannot execute AVX-512, which the llama.cpp build tuned to this
# machine may use, so the helper runs here from a copy of the build's bin/
# folder in which ggml's CPU library is replaced by one built from the same
# pinned source without -march=native. That library is built once per
# machine into the llama.cpp cache (a few minutes on two cores).
#
# Usage: scripts/memcheck.sh [build directory, default build]
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
helper_bin="$build/bin"
for program in debrindle-llama-helper debrindle-make-model; do
  [[ -x "$helper_bin/$program" ]] || { echo "memcheck: $helper_bin/$program is not built" >&2; exit 1; }
done
command -v valgrind >/dev/null || { echo "memcheck: valgrind is not installed" >&2; exit 1; }
log() { printf 'memcheck: %s\n' "$*" >&2; }

# --- a ggml CPU library that valgrind can run -----------------------------
portable_cpu_library() {
  local prefix source cache_root key out tmp jobs
  prefix="$(bash "$root/scripts/ensure-llama.sh")"
  source="$(dirname "$prefix")/$(basename "$prefix" | sed 's/-libs-[0-9a-f]*$/-source/')"
  [[ -f "$source/.verified" ]] || { log "no pinned llama.cpp source beside $prefix"; return 1; }
  cache_root="$(dirname "$prefix")"
  local options=(
    -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=ON -DGGML_NATIVE=OFF
    -DLLAMA_BUILD_COMMON=OFF -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_EXAMPLES=OFF
    -DLLAMA_BUILD_TOOLS=OFF -DLLAMA_BUILD_SERVER=OFF -DLLAMA_CURL=OFF
    '-DCMAKE_INSTALL_RPATH=$ORIGIN' -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON
  )
  key=$(printf '%s\n' "$(basename "$source")" "$(c++ --version | head -n 1)" "$(uname -m)" "${options[@]}" \
        | sha256sum | cut -c1-12)
  out="$cache_root/ggml-cpu-portable-$key"
  exec 6>"$cache_root/.lock-ggml-cpu-portable"
  flock 6
  if [[ ! -f "$out/.complete" ]]; then
    log "building a portable ggml CPU library into $out (once per machine)"
    tmp=$(mktemp -d "$cache_root/.build-portable.XXXXXX")
    jobs=$(( $(nproc 2>/dev/null || echo 2) < 2 ? 1 : 2 ))
    if ! cmake -S "$source" -B "$tmp/build" -G Ninja "${options[@]}" >"$tmp/configure.log" 2>&1 \
       || ! cmake --build "$tmp/build" --parallel "$jobs" --target ggml-cpu >"$tmp/build.log" 2>&1; then
      tail -n 40 "$tmp"/*.log >&2
      rm -rf "$tmp"
      return 1
    fi
    mkdir -p "$tmp/out"
    cp -a "$tmp/build/bin"/libggml-cpu.so* "$tmp/out/"
    touch "$tmp/out/.complete"
    rm -rf "$out"
    mv "$tmp/out" "$out"
    rm -rf "$tmp"
  fi
  exec 6>&-
  printf '%s\n' "$out"
}

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

bin="$work/bin"
mkdir -p "$bin"
cp -a "$helper_bin/debrindle-llama-helper" "$helper_bin"/lib*.so* "$bin/"
if [[ -f "$helper_bin/libggml-cpu.so" ]]; then
  portable="$(portable_cpu_library)"
  rm -f "$bin"/libggml-cpu.so*
  cp -a "$portable"/libggml-cpu.so* "$bin/"
fi
helper="$bin/debrindle-llama-helper"

# --- models -----------------------------------------------------------------
model_a="$work/a.gguf"
model_b="$work/b.gguf"
"$helper_bin/debrindle-make-model" --out "$model_a" --words "▁Hello ▁world !" --chain "▁Hello !"
"$helper_bin/debrindle-make-model" --out "$model_b" --words "▁Hello ▁world !" --chain "▁world !"

request() {  # model path, then optional leading members such as '"action":"warmup",'
  printf '{%s"modelPath":"%s","systemPrompt":"You are terse.","userPrompt":"Say hi.","temperature":0.7,"maxTokens":16}' \
    "${2:-}" "$1"
}

# --- the runs ---------------------------------------------------------------
failures=0
memcheck() {  # name, expected status, expected stdout file, helper arguments...; stdin is the input
  local name="$1" status="$2" expected="$3"
  shift 3
  local actual=0
  env -u BRINDLE_DEBRINDLE_LLAMA_LOGS valgrind --quiet --error-exitcode=99 \
      --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
      --log-file="$work/$name.valgrind" "$helper" "$@" >"$work/$name.out" 2>"$work/$name.err" || actual=$?
  if [[ "$actual" != "$status" ]] || ! cmp -s "$expected" "$work/$name.out" || [[ -s "$work/$name.valgrind" ]]; then
    log "$name: FAILED (status $actual, expected $status)"
    diff <(cat "$expected") "$work/$name.out" >&2 || true
    cat "$work/$name.err" "$work/$name.valgrind" >&2
    failures=$((failures + 1))
  else
    log "$name: no errors, no definite leaks"
  fi
}

request "$model_a" >"$work/one_shot.in"
printf ' Hello!' >"$work/one_shot.expected"
memcheck one_shot 0 "$work/one_shot.expected" <"$work/one_shot.in"

warm='{"ok":true,"output":"","error":null}'
hello='{"ok":true,"output":" Hello!","error":null}'
world='{"ok":true,"output":" world!","error":null}'
{
  request "$model_a" '"action":"warmup",'; echo
  request "$model_a"; echo
  request "$work/missing.gguf"; echo                 # a failed load keeps model A
  request "$model_a"; echo
  request "$model_b"; echo                           # switch: B loads, then A goes
  echo '{"modelPath":1}'                             # a decode error
  request "$model_a" '"action":{"warmup":null},'; echo
  request "$model_a"                                 # the last line has no LF
} >"$work/server.in"
{
  echo "$warm"
  echo "$hello"
  echo '{"ok":false,"output":null,"error":"null result from llama cpp"}'
  echo "$hello"
  echo "$world"
  echo '{"ok":false,"output":null,"error":"invalid type: integer `1`, expected a string at line 1 column 14"}'
  echo "$warm"
  echo "$hello"
} >"$work/server.expected"
memcheck server 0 "$work/server.expected" --server <"$work/server.in"

if ((failures > 0)); then
  log "$failures run(s) failed"
  exit 1
fi
log "all runs clean"
