#!/usr/bin/env bash
# Builds every libFuzzer target (tests/fuzz/*_fuzz.cpp) in build-fuzz/ with
# Clang and the sanitizers, then runs each for a bounded time, starting from
# its seeds in tests/fuzz/corpus/<name without _fuzz>/. New inputs go to a
# temporary directory, never into the repository. Fails on any finding.
#
# Usage: scripts/fuzz.sh [seconds per target, default 20]
set -euo pipefail

seconds="${1:-20}"
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-fuzz"

cd "$root"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --parallel "$(nproc)"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

shopt -s nullglob
targets=("$build"/bin/*_fuzz)
if (( ${#targets[@]} == 0 )); then
  echo "fuzz.sh: no *_fuzz targets were built" >&2
  exit 1
fi

for target in "${targets[@]}"; do
  name="$(basename "$target")"
  corpus="$work/$name/corpus"
  artifacts="$work/$name/artifacts"
  mkdir -p "$corpus" "$artifacts"
  seeds=()
  [[ -d "$root/tests/fuzz/corpus/${name%_fuzz}" ]] && seeds=("$root/tests/fuzz/corpus/${name%_fuzz}")
  echo "fuzz.sh: running $name for ${seconds}s"
  if ! "$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
      -artifact_prefix="$artifacts/" "$corpus" "${seeds[@]}"; then
    # Keep the reproducers where the temporary directory's removal spares them.
    mkdir -p "$build/findings/$name"
    cp "$artifacts"/* "$build/findings/$name/" 2>/dev/null || true
    echo "fuzz.sh: $name found a fault; reproducers in $build/findings/$name" >&2
    exit 1
  fi
done
echo "fuzz.sh: no findings"
