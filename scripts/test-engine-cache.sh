#!/usr/bin/env bash
# The engine cache's network use (scripts/ensure-llama.sh):
# - with the registries unreachable (apt's and npm's proxies pointing
#   nowhere), the engines already in the cache are found as they are, and
#   fetching anything new says that the registry could not be reached;
# - the Windows engine's Vulkan tools fetched from a source list that lacks
#   the pinned versions (Debian unstable's), from the mirror of apt's sources
#   that name the suite "stable": the newest served are taken, named in one
#   line, and their glslc compiles llama.cpp's shader feature tests (the
#   fetch checks that itself).
#
# Usage: test-engine-cache.sh [--windows]  (the engines must be built first:
#        the Linux one with every CPU module, and with --windows the Windows one)
set -euo pipefail
cd "$(dirname "$0")/.."
targets=(--every-cpu-module)
[[ ${1:-} == --windows ]] && targets+=(--windows)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "test-engine-cache: $*" >&2
  exit 1
}

printf 'Acquire::http::Proxy "http://127.0.0.1:9/";\nAcquire::https::Proxy "http://127.0.0.1:9/";\n' >"$work/apt.conf"
offline=(env APT_CONFIG="$work/apt.conf" npm_config_registry=http://127.0.0.1:9/ npm_config_fetch_retries=0)
for target in "${targets[@]}"; do
  online_prefix=$(bash scripts/ensure-llama.sh "$target" | head -n 1)
  offline_prefix=$("${offline[@]}" bash scripts/ensure-llama.sh "$target" 2>"$work/offline.log" | head -n 1) ||
    fail "ensure-llama.sh $target needed the network for a cached engine: $(cat "$work/offline.log")"
  [[ $offline_prefix == "$online_prefix" ]] || fail "offline $target gave $offline_prefix, not $online_prefix"
done
# A cache of its own, with the cached source in it.
mkdir -p "$work/cache/debrindle-llama"
ln -s "${XDG_CACHE_HOME:-$HOME/.cache}"/debrindle-llama/llama.cpp-*-source-* "$work/cache/debrindle-llama/"
if "${offline[@]}" DEBRINDLE_VULKAN_TOOLS_SUITES=sid XDG_CACHE_HOME="$work/cache" \
  bash scripts/ensure-llama.sh --vulkan-tools >/dev/null 2>"$work/unreachable.log"; then
  fail "tools fetched with the registries unreachable"
fi
grep -q "Debian's registry (.*) could not be reached" "$work/unreachable.log" ||
  fail "unreachable registry not named: $(cat "$work/unreachable.log")"

# Unstable has none of the pinned versions (the C library's is a Debian 13
# point release). apt's sources name the suite "stable", after the security
# archive.
mirror=$(apt-get indextargets --format '$(REPO_URI)' 'Created-By: Packages' | grep -v security | head -n 1)
mkdir -p "$work/sources.list.d"
printf 'deb http://deb.debian.org/debian-security stable-security main\ndeb %s stable main\n' "$mirror" \
  >"$work/sources.list"
printf 'Dir::Etc::SourceList "%s";\nDir::Etc::SourceParts "%s";\n' "$work/sources.list" "$work/sources.list.d" \
  >"$work/stable.conf"
tools=$(APT_CONFIG="$work/stable.conf" DEBRINDLE_VULKAN_TOOLS_SUITES=sid XDG_CACHE_HOME="$work/cache" \
  bash scripts/ensure-llama.sh --vulkan-tools \
  2>"$work/fallback.log") || fail "no tools from unstable: $(cat "$work/fallback.log")"
grep -q "pinned Vulkan tools are no longer served; using the newest of sid: glslc " "$work/fallback.log" ||
  fail "the versions taken were not named: $(cat "$work/fallback.log")"
[[ $(awk '$1 == "sid"' "$tools/versions" | wc -l) == 7 && -x $tools/bin/glslc ]] || fail "tools incomplete in $tools"
echo "test-engine-cache: cached engines found offline; tools from unstable: $(grep -o 'glslc [^,]*' "$work/fallback.log")"
