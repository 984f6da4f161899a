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
# valgrind cannot execute AVX-512; the helper chooses its CPU module from
# what the processor it runs on reports, and valgrind's processor reports no
# AVX-512, so a module valgrind can run is chosen by itself.
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

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
helper="$helper_bin/debrindle-llama-helper"

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
  env -u BRINDLE_DEBRINDLE_LLAMA_LOGS valgrind --quiet --error-exitcode=99 --suppressions="$root/scripts/memcheck.supp" \
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
