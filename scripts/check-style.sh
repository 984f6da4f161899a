#!/usr/bin/env bash
# Keeps the sources formatted (.clang-format) and clang-tidy clean
# (.clang-tidy). Needs a configured build directory for compile commands.
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${1:-build}"

mapfile -t sources < <(git ls-files -- 'src/*.cpp' 'src/*.hpp' 'tests/*.cpp' 'tests/*.hpp' 'tools/*.cpp' 'tools/*.hpp' 'bench/*.cpp')
clang-format --dry-run --Werror "${sources[@]}"

# clang-tidy checks what this platform compiles: our own sources, not tests.
mapfile -t units < <(git ls-files -- 'src/*.cpp' 'tools/*.cpp' | grep -v '_windows\.cpp$')
printf '%s\n' "${units[@]}" | xargs -P "$(nproc)" -n 4 clang-tidy -p "$build_dir" --quiet 2>/dev/null
echo "check-style: formatted and clang-tidy clean (${#sources[@]} files formatted, ${#units[@]} units checked)"
