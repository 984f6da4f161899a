#!/usr/bin/env bash
# Tries the release archives in dist/ (scripts/package.sh) as a host gets
# them: checks SHA256SUMS, unpacks both into a new folder whose path has a
# space and a non-ASCII letter, makes sure the helper is the only program in
# them, and has each helper, started from another current folder, answer a
# one-shot request and a server session (the Windows one under Wine).
#
# Usage: check-package.sh [Linux build dir]   (default: build; its
#        debrindle-make-model writes the model)
set -euo pipefail
cd "$(dirname "$0")/.."
make_model=$PWD/${1:-build}/bin/debrindle-make-model
wine_loader=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
export WINEPREFIX=${WINEPREFIX:-$PWD/build-windows/wineprefix}
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no .NET or Gecko installer prompts

(cd dist && sha256sum --quiet -c SHA256SUMS)
linux=$(awk '/linux/ {print $2}' dist/SHA256SUMS)
windows=$(awk '/windows/ {print $2}' dist/SHA256SUMS)

scratch=$(mktemp -d)
trap '"$wineserver" -k 2>/dev/null || true; rm -rf "$scratch"' EXIT
place="$scratch/release ü"
mkdir -p "$place"
tar -xzf "dist/$linux" -C "$place"
python3 -m zipfile -e "dist/$windows" "$place"

programs=$(find "$place" -type f \( -name '*.exe' -o -perm -u+x \) -printf '%f\n' | sort -u)
if [[ $programs != $'debrindle-llama-helper\ndebrindle-llama-helper.exe' ]]; then
  printf 'check-package: programs other than the helper in the archives:\n%s\n' "$programs" >&2
  exit 1
fi

model="$place/hello ü.gguf"
"$make_model" --out "$model" --words "▁Hello ▁host !" --chain "▁Hello ▁host !"
request=$(printf '{"modelPath":"%s","systemPrompt":"","userPrompt":"hi","temperature":0,"maxTokens":8}' "$model")
warmup="{\"action\":\"warmup\",${request:1}"
expected_session=$'{"ok":true,"output":"","error":null}\n{"ok":true,"output":" Hello host!","error":null}'

# $1 names the build; the rest is the command that starts its helper.
answers() {
  local name=$1 reply session
  shift
  reply=$(cd / && printf '%s' "$request" | "$@")
  session=$(cd / && printf '%s\n%s\n' "$warmup" "$request" | "$@" --server)
  if [[ $reply != " Hello host!" || $session != "$expected_session" ]]; then
    printf 'check-package: the %s helper answered\n%s\nand\n%s\n' "$name" "$reply" "$session" >&2
    exit 1
  fi
  echo "check-package: the $name helper answers from $place" >&2
}

answers Linux "$place/${linux%.tar.gz}/debrindle-llama-helper"
# Wine's background programs start with the first one and would keep its
# pipes open: they are started here, away from them.
mkdir -p "$WINEPREFIX"
"$wineserver" -p </dev/null >/dev/null 2>&1 || true  # one may be running for this prefix already
"$wine_loader" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
answers Windows "$wine_loader" "$place/${windows%.zip}/debrindle-llama-helper.exe"
