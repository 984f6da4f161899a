#!/usr/bin/env bash
# Makes sure the pinned llama.cpp engine is in a cache outside the clone and
# prints its prefix on standard output.
#
# The engine the helper ships is llama.cpp's module build of the pinned
# release: `llama`, `ggml` and `ggml-base`, one CPU module per x86-64
# instruction-set level (`ggml-cpu-<variant>`, the helper picks one at start)
# and the Vulkan module (`ggml-vulkan`). It has two targets, built by the
# same steps from the same source:
# - linux: its CPU modules built with the system's GCC. The libraries
#   (`llama`, `ggml`, `ggml-base`; of our patches only the sampler's touches
#   them, which glibc's heap does not need) and the Vulkan module come prebuilt from the npm package of the same release and
#   family as the pinned source, checked against its sha256: building them
#   took most of a first build, for the same code and the same shaders. The
#   package's files are renamed as an install of the source names them, and
#   the CMake package files and headers come from a configure of the pinned
#   source.
# - windows: cross-built with MinGW-w64's GCC, the toolchain of the helper
#   itself, so the folder needs no other run time; the Vulkan module from
#   source too, with every shader variant of the release (cooperative
#   matrix, integer dot product, bf16), as the Linux one has: its shaders
#   compiled by a later Debian's glslc and its code built against that
#   Debian's Vulkan headers, both fetched from Debian's registry into the
#   cache at pinned versions (VULKAN_TOOLS), not installed.
# Both are Release builds (-O3, NDEBUG) with ggml's own thread pool, not
# OpenMP (the helper makes one pool and keeps it; MinGW's OpenMP was measured
# 3 to 4 times slower, and libgomp's spinning barrier stalls beside other
# work, docs/PERFORMANCE.md). scripts/llama-patches/ holds what the pinned
# source needs for this: a pool whose waiting threads let the others run and
# whose shares of the work any running thread takes, a guard for Debian's
# MinGW-w64, for the Windows CPU modules an expf, sinf and cosf in place of
# MinGW-w64's, which run on the x87 unit (these give the bits glibc's give,
# in a fraction of the time), and a sampler that keeps its candidates from
# token to token (Wine's heap gave them fresh pages each time).
#
# The cache lives under ${XDG_CACHE_HOME:-$HOME/.cache}/debrindle-llama and is
# keyed by the release, the patches, the toolchain and the build options
# (and the Windows engine by the pinned Vulkan tools too).
# Every stage is done in a temporary directory and renamed into place only
# when complete, so an interrupted download or build is never taken for a
# good one.
#
# Usage: ensure-llama.sh [--every-cpu-module | --windows | --tools | --vulkan-tools]
#
# Without an option the Linux engine comes with one CPU module, the one the
# helper picks on this processor, and the second line of the output names it:
# a first build compiles that module alone. --every-cpu-module builds the
# others too (the tests, the release and an install need them all) and names
# none. A CPU module is built once, in a build tree kept in the cache, and
# joins the prefix when it is complete, so a later full build does not build
# it again.
# --windows gives the Windows x64 engine, every CPU module with it (the
# Windows folder is only made for the tests and the release).
# --tools builds the pinned source the usual way (GGML_NATIVE, one CPU
# backend; AMX left out, see TOOLS_PROCESSOR_OPTIONS) together with
# llama.cpp's llama-bench, llama-completion and llama-server (for the
# side-by-side benchmarks under bench/). That prefix
# holds the three programs and the shared libraries they need in $prefix/bin,
# found through $ORIGIN; it is not a CMake package.
# --vulkan-tools fetches the Windows engine's Vulkan tools alone and prints
# their folder (DEBRINDLE_VULKAN_TOOLS_SUITES="SUITE ..." takes them from
# other suites than the pins name, into a folder of their own).
#
# A complete engine in the cache needs no network.
#
# The steps, in order: fetch the source; for a missing Windows engine, its
# Vulkan tools; for an engine, its libraries (with the Vulkan module), then its CPU
# modules; or the tools.
set -euo pipefail

readonly RELEASE="v0.4.0"
readonly NPM_PACKAGE="node-llama-cpp@3.21.1"
readonly NPM_SHA256="7a231d6bafa14142a1cbed9893d4ec5bc6041b2a5f5939a623accaab4203c11f"
readonly BUNDLE_PATH="package/llama/gitRelease.bundle"
# The prebuilt Linux libraries and Vulkan module of the same release.
readonly LINUX_PREBUILT_PACKAGE="@node-llama-cpp/linux-x64-vulkan@3.21.1"
readonly LINUX_PREBUILT_SHA256="4877be47f01586481615aec277c23c7f660592ce66eec2753ff1dcc967a9a0d2"
# What the Windows build of the Vulkan module takes from Debian's registry
# (suite, package, version, sha256), fetched and unpacked into the cache
# rather than installed: Debian 12's glslc (2023.2) is too old for the
# release's cooperative-matrix, integer-dot-product and bf16 shaders. bf16
# needs glslang 15.3, so glslc comes from Debian 14 (forky; Debian 13's
# 2025.2 has glslang 15.1); the Vulkan and SPIR-V headers, and the loader,
# C library and C++ run time that glslc runs on (newer than Debian 12's),
# from Debian 13 (trixie).
readonly -a VULKAN_TOOLS=(
  "forky glslc 2026.4-1 3726b6bb39346f8cf7f3f309f7d12db8e1d487c960255648e62ead29754bccb5"
  "forky libshaderc1 2026.4-1 8bdf913ccd268b02b57898308f74e48d6723529ee26403d35288c4243e490d47"
  "trixie libvulkan-dev 1.4.309.0-1 8d329d465e16168afff58b1bd0dd6db46aac2cc3f56054a481b25a04e90b345a"
  "trixie spirv-headers 1.6.1+1.4.309.0-1 dc18db866d63680351c40ac6b6bece34cb52da64a7799ce1cc4f16f6bff4d064"
  "trixie libc6 2.41-12+deb13u5 b59b0625cd1a791375d40dab23a4d5d3d0641e3d0a773501becdc3725b7f99cf"
  "trixie libstdc++6 14.2.0-19 ab1fa05837aa7a92aae748fd07a18a35f7d18bb4a71c4724fe2bbf0e32089de0"
  "trixie libgcc-s1 14.2.0-19 3c71917b490d1a17aed43196a2787a256ecf060526cdb20216a74bedc061b150"
)
# Raised whenever the layout of an engine prefix changes.
readonly ENGINE_LAYOUT=2

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
readonly repo

# How an engine is built from the pinned source, for either target.
readonly -a ENGINE_OPTIONS=(
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=ON
  # Backends as modules, one CPU module per instruction-set level; none
  # tuned to this machine.
  -DGGML_BACKEND_DL=ON
  -DGGML_CPU_ALL_VARIANTS=ON
  -DGGML_NATIVE=OFF
  # ggml's thread pool (patched to wait without spinning on), which the
  # helper owns; not OpenMP.
  -DGGML_OPENMP=OFF
  -DLLAMA_BUILD_COMMON=OFF -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_EXAMPLES=OFF -DLLAMA_BUILD_TOOLS=OFF
  -DLLAMA_BUILD_SERVER=OFF -DLLAMA_BUILD_APP=OFF -DLLAMA_BUILD_UI=OFF -DLLAMA_USE_PREBUILT_UI=OFF
  -DLLAMA_CURL=OFF -DLLAMA_OPENSSL=OFF -DLLAMA_ALL_WARNINGS=OFF
)
readonly -a LINUX_OPTIONS=(
  # The libraries find each other beside themselves, wherever they are copied.
  '-DCMAKE_INSTALL_RPATH=$ORIGIN'
)
readonly -a WINDOWS_OPTIONS=(
  # GCC cannot align the stack beyond 16 bytes on Windows and spills AVX
  # registers there with aligned moves (GCC bug 54412), which fault: every
  # vector move is assembled unaligned, at no cost where it is aligned.
  -DCMAKE_C_FLAGS=-Wa,-muse-unaligned-vector-move
  -DCMAKE_CXX_FLAGS=-Wa,-muse-unaligned-vector-move
  # What each file was compiled with goes into the prefix, for the check that
  # the shipped engine is optimized (scripts/check_windows_folder.py).
  -DCMAKE_EXPORT_COMPILE_COMMANDS=ON
)
# The benchmark tools: the libraries, the common library, the tools and the
# server; never tests, examples, the web UI or network access.
readonly -a TOOLS_OPTIONS=(
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=ON
  -DGGML_NATIVE=ON
  -DLLAMA_BUILD_COMMON=ON
  -DLLAMA_BUILD_TESTS=OFF
  -DLLAMA_BUILD_EXAMPLES=OFF
  -DLLAMA_BUILD_TOOLS=ON
  -DLLAMA_BUILD_SERVER=ON
  -DLLAMA_BUILD_APP=OFF
  -DLLAMA_BUILD_UI=OFF
  -DLLAMA_USE_PREBUILT_UI=OFF
  -DLLAMA_CURL=OFF
  -DLLAMA_OPENSSL=OFF
  -DLLAMA_ALL_WARNINGS=OFF
  # The libraries find each other beside themselves, wherever they are copied;
  # the programs are taken straight from the build tree, so they must carry
  # the $ORIGIN run path already there.
  '-DCMAKE_INSTALL_RPATH=$ORIGIN'
  -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON
)
# On a processor with AMX, GGML_NATIVE compiles ggml's AMX products, whose
# tile set-up GCC 12 can drop: the usual build then faults in its first
# quantized prompt (llama.cpp #20824, #26954). The explicit -mno flags hold
# against -march=native, so the tools keep the usual build's every other
# instruction and use the AVX-512 products, as the helper's engine does.
if [[ "$(uname -m)" == x86_64 ]]; then
  readonly -a TOOLS_PROCESSOR_OPTIONS=(
    '-DCMAKE_C_FLAGS=-mno-amx-tile -mno-amx-int8 -mno-amx-bf16'
    '-DCMAKE_CXX_FLAGS=-mno-amx-tile -mno-amx-int8 -mno-amx-bf16'
  )
else
  readonly -a TOOLS_PROCESSOR_OPTIONS=()
fi
readonly -a TOOLS_PROGRAMS=(llama-bench llama-completion llama-server)

log() { printf 'ensure-llama: %s\n' "$*" >&2; }

every_cpu_module=false
case "$#:${1:-}" in
  0:) target=linux ;;
  1:--every-cpu-module) target=linux every_cpu_module=true ;;
  1:--windows) target=windows every_cpu_module=true ;;
  1:--tools) target=tools ;;
  1:--vulkan-tools) target=vulkan-tools ;;
  *)
    log "usage: ensure-llama.sh [--every-cpu-module | --windows | --tools | --vulkan-tools]"
    exit 2
    ;;
esac

cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/debrindle-llama"
jobs=$(nproc 2>/dev/null || echo 2)
patches_key=$(cat "$repo"/scripts/llama-patches/*.patch | sha256sum | cut -c1-12)
# The fetched Debian packages of the Windows Vulkan module's build.
vulkan_tools="$cache_root/debian-vulkan-tools-$(printf '%s\n' "${VULKAN_TOOLS[@]}" \
  ${DEBRINDLE_VULKAN_TOOLS_SUITES:+"suites $DEBRINDLE_VULKAN_TOOLS_SUITES"} | sha256sum | cut -c1-12)"
# One source folder for each set of patches, so that clones with other
# patches never change the source under each other's kept build trees.
source_dir="$cache_root/llama.cpp-$RELEASE-source-$patches_key"

# A fresh temporary directory $tmp in the cache, removed if the script stops
# before publishing it.
begin_stage() {
  tmp=$(mktemp -d "$cache_root/.$1.XXXXXX")
  trap 'rm -rf "$tmp"' EXIT
}

# Moves the complete stage $1 to $2 and marks it with the file $3.
publish() {
  local stage=$1 destination=$2 marker=$3
  rm -rf "$destination"
  mkdir -p "$(dirname "$destination")"
  mv "$stage" "$destination"
  touch "$destination/$marker"
  rm -rf "$tmp"
  trap - EXIT
}

# Packs an npm package into the folder $tmp and prints the tarball's path,
# or stops when the tarball does not have its pinned sha256.
fetch_pinned() {
  local package=$1 sha=$2 tarball actual
  if ! (cd "$tmp" && npm pack --silent "$package" >/dev/null 2>"$tmp/npm.log"); then
    cat "$tmp/npm.log" >&2
    log "npm's registry could not be reached, or did not serve $package"
    exit 1
  fi
  tarball=$(ls "$tmp"/*.tgz)
  actual=$(sha256sum "$tarball" | cut -d' ' -f1)
  if [[ "$actual" != "$sha" ]]; then
    log "checksum mismatch for $tarball: expected $sha, got $actual"
    exit 1
  fi
  printf '%s\n' "$tarball"
}

# Runs one step of a llama.cpp build, its log shown ($2 lines of it, or all)
# only when it fails.
quietly() {
  local log_file=$1 tail_lines=$2
  shift 2
  "$@" >"$log_file" 2>&1 || {
    if [[ $tail_lines == all ]]; then cat "$log_file" >&2; else tail -n "$tail_lines" "$log_file" >&2; fi
    exit 1
  }
}

# The pinned source, from the bundle that the npm package carries, with the
# project's patches applied.
fetch_source() {
  [[ -f "$source_dir/.patches-$patches_key" ]] && return
  log "fetching $NPM_PACKAGE (carries llama.cpp $RELEASE)"
  begin_stage fetch
  local tarball patch
  tarball=$(fetch_pinned "$NPM_PACKAGE" "$NPM_SHA256")
  tar -xzf "$tarball" -C "$tmp" "$BUNDLE_PATH"
  git clone --quiet "$tmp/$BUNDLE_PATH" "$tmp/source" 2>/dev/null
  rm -rf "$tmp/source/.git"
  for patch in "$repo"/scripts/llama-patches/*.patch; do
    quietly "$tmp/patch.log" all patch -d "$tmp/source" -p1 --forward --input "$patch"
  done
  publish "$tmp/source" "$source_dir" ".patches-$patches_key"
}

# Into $stage/licenses: llama.cpp's notices (its own, and those of the code
# it carries).
stage_llama_notices() {
  mkdir -p "$stage/licenses"
  cp "$source_dir/LICENSE" "$stage/licenses/LICENSE-llama.cpp"
  local notice
  for notice in "$source_dir"/licenses/*; do cp "$notice" "$stage/licenses/$(basename "$notice")-llama.cpp"; done
}

# The Debian mirror this machine's apt takes Debian from, which serves the
# later suites too: the first main source of apt's sources that is not the
# security archive, whatever its suite is called (read from apt's sources,
# whether or not apt-get update has run).
debian_mirror() {
  local mirror
  mirror=$(apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' 'Created-By: Packages' \
    'Component: main' | awk '$1 !~ /security/ && $2 !~ /-security$/ { print $1; exit }')
  [[ -n $mirror ]] || { log "no Debian main source in apt's sources"; exit 1; }
  printf '%s\n' "$mirror"
}

# The Vulkan tools' packages as "suite package version sha256" lines: those
# the cache holds (the pinned ones, or what was served in their place), else
# the pinned ones.
vulkan_tool_versions() {
  if [[ -f "$vulkan_tools/versions" ]]; then cat "$vulkan_tools/versions"; else printf '%s\n' "${VULKAN_TOOLS[@]}"; fi
}

# Into $vulkan_tools: the packages of VULKAN_TOOLS unpacked, and bin/glslc,
# which runs their glslc on their own loader and libraries. The pinned
# versions are checked against their sha256. When the registry serves them
# no more, the newest versions it serves of the same packages from the
# same suites are taken instead (verified by apt's signed index), and one
# line names them. Either way the glslc taken must compile llama.cpp's own
# tests of the shader features the release uses. apt fetches with a sources
# list and state of its own, so the machine's apt is left as it was.
fetch_vulkan_tools() {
  [[ -f "$vulkan_tools/.complete" ]] && return
  log "fetching the windows engine's Vulkan tools from Debian's registry"
  begin_stage vulkan-tools
  local mirror line suite package version sha deb actual test
  local -a pinned=() newest=() suites=() apt_options=(-o Dir::Etc::SourceList="$tmp/apt/sources.list"
    -o Dir::Etc::SourceParts=/dev/null -o Dir::State="$tmp/apt" -o Dir::State::status=/dev/null
    -o Dir::Cache="$tmp/apt/cache" -o APT::Sandbox::User=root)
  mirror=$(debian_mirror)
  mkdir -p "$tmp/apt/lists/partial" "$tmp/debs" "$tmp/tools/bin"
  for line in "${VULKAN_TOOLS[@]}"; do
    read -r suite package version sha <<<"$line"
    pinned+=("$package=$version")
    newest+=("$package")
    [[ " ${suites[*]} " == *" $suite "* ]] || suites+=("$suite")
  done
  # DEBRINDLE_VULKAN_TOOLS_SUITES takes the packages from other suites.
  read -r -a suites <<<"${DEBRINDLE_VULKAN_TOOLS_SUITES:-${suites[*]}}"
  for suite in "${suites[@]}"; do printf 'deb %s %s main\n' "$mirror" "$suite"; done >"$tmp/apt/sources.list"
  apt-get "${apt_options[@]}" update >"$tmp/apt.log" 2>&1 || true
  if ! compgen -G "$tmp/apt/lists/*_Packages*" >/dev/null; then
    cat "$tmp/apt.log" >&2
    log "Debian's registry ($mirror) could not be reached; it is needed once, for the Vulkan tools"
    exit 1
  fi
  if (cd "$tmp/debs" && apt-get "${apt_options[@]}" download "${pinned[@]}") >>"$tmp/apt.log" 2>&1; then
    for line in "${VULKAN_TOOLS[@]}"; do
      read -r suite package version sha <<<"$line"
      actual=$(sha256sum "$tmp/debs/${package}_"*.deb | cut -d' ' -f1)
      [[ $actual == "$sha" ]] || { log "checksum mismatch for $package $version: expected $sha, got $actual"; exit 1; }
      printf '%s\n' "$line" >>"$tmp/tools/versions"
    done
  else
    rm -f "$tmp/debs"/*.deb
    if ! (cd "$tmp/debs" && apt-get "${apt_options[@]}" download "${newest[@]}") >>"$tmp/apt.log" 2>&1; then
      cat "$tmp/apt.log" >&2
      log "Debian's registry ($mirror) serves neither the pinned nor any version of ${newest[*]}"
      exit 1
    fi
    for package in "${newest[@]}"; do
      deb=$(ls "$tmp/debs/${package}_"*.deb)
      printf '%s %s %s %s\n' "${suites[*]// /+}" "$package" "$(dpkg-deb -f "$deb" Version)" \
        "$(sha256sum "$deb" | cut -d' ' -f1)" >>"$tmp/tools/versions"
    done
    log "the pinned Vulkan tools are no longer served; using the newest of ${suites[*]}:" \
      "$(awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $2, $3 }' "$tmp/tools/versions")"
  fi
  for deb in "$tmp/debs"/*.deb; do dpkg-deb -x "$deb" "$tmp/tools"; done
  printf '%s\n' '#!/bin/sh' "# Debian's glslc on the loader and libraries unpacked beside it." \
    'root=$(dirname "$(dirname "$(readlink -f "$0")")")' 'lib=$root/usr/lib/x86_64-linux-gnu' \
    'exec "$lib/ld-linux-x86-64.so.2" --library-path "$lib" "$root/usr/bin/glslc" "$@"' >"$tmp/tools/bin/glslc"
  chmod +x "$tmp/tools/bin/glslc"
  quietly "$tmp/glslc.log" all "$tmp/tools/bin/glslc" --version
  for test in "$source_dir"/ggml/src/ggml-vulkan/vulkan-shaders/feature-tests/*.comp; do
    if ! "$tmp/tools/bin/glslc" -o /dev/null -fshader-stage=compute --target-env=vulkan1.3 "$test" \
      >>"$tmp/glslc.log" 2>&1; then
      cat "$tmp/glslc.log" >&2
      log "the glslc taken ($(awk '$2 == "glslc" { print $3 }' "$tmp/tools/versions")) lacks a shader feature" \
        "that llama.cpp $RELEASE uses ($(basename "$test"))"
      exit 1
    fi
  done
  publish "$tmp/tools" "$vulkan_tools" .complete
}

# Into $tmp/vulkan: what the Windows build of the Vulkan module needs of a
# Vulkan SDK beside the fetched tools' headers (which are the Vulkan and
# SPIR-V folders alone): the loader's import library, made from the
# prototypes in those headers.
stage_windows_vulkan_sdk() {
  local sdk="$tmp/vulkan" include="$vulkan_tools/usr/include"
  mkdir -p "$sdk/lib"
  {
    printf 'LIBRARY vulkan-1.dll\nEXPORTS\n'
    sed -n 's/.*VKAPI_CALL \(vk[A-Za-z0-9]*\)(.*/    \1/p' "$include/vulkan/vulkan_core.h" \
      "$include/vulkan/vulkan_win32.h" | sort -u
  } >"$sdk/vulkan-1.def"
  x86_64-w64-mingw32-dlltool --input-def "$sdk/vulkan-1.def" --dllname vulkan-1.dll \
    --output-lib "$sdk/lib/libvulkan-1.a"
}

# The options of an engine build tree of $target. The Windows build takes the
# helper's toolchain file from a copy in the cache named by its content, so
# that every clone builds (and finds) the same engine, and a kept build tree
# never depends on a clone that is gone.
engine_options() {
  if [[ $target == windows ]]; then
    local toolchain
    toolchain="$cache_root/toolchain-$(sha256sum <"$repo/cmake/mingw-w64-x86_64.cmake" | cut -c1-12).cmake"
    if [[ ! -f $toolchain ]]; then
      cp "$repo/cmake/mingw-w64-x86_64.cmake" "$toolchain.partial"
      mv "$toolchain.partial" "$toolchain"
    fi
    printf '%s\n' "${ENGINE_OPTIONS[@]}" "${WINDOWS_OPTIONS[@]}" "-DCMAKE_TOOLCHAIN_FILE=$toolchain"
  else
    printf '%s\n' "${ENGINE_OPTIONS[@]}" "${LINUX_OPTIONS[@]}"
  fi
}

# Into $stage: the engine's libraries (no CPU backend: each CPU module is
# built on its own, below) and its Vulkan module, with their notices.
stage_engine_libraries() {
  local -a options vulkan=() targets
  mapfile -t options < <(engine_options)
  stage_llama_notices
  if [[ $target == linux ]]; then
    log "staging llama.cpp $RELEASE's prebuilt linux libraries into $prefix"
    quietly "$tmp/configure.log" all cmake -S "$source_dir" -B "$tmp/build" -G Ninja "${options[@]}" \
      -DGGML_CPU=OFF -DGGML_CPU_ALL_VARIANTS=OFF -DCMAKE_INSTALL_PREFIX="$prefix"
    stage_linux_prebuilt
    return
  fi
  targets=(llama)
  if [[ $target == windows ]]; then
    stage_windows_vulkan_sdk
    vulkan=(-DGGML_VULKAN=ON -DVulkan_INCLUDE_DIR="$vulkan_tools/usr/include"
      -DVulkan_LIBRARY="$tmp/vulkan/lib/libvulkan-1.a"
      -DVulkan_GLSLC_EXECUTABLE="$vulkan_tools/bin/glslc"
      -DSPIRV-Headers_DIR="$vulkan_tools/usr/share/cmake/SPIRV-Headers")
    targets+=(ggml-vulkan)
  fi
  log "building llama.cpp $RELEASE's $target libraries into $prefix (a few minutes, once per machine)"
  quietly "$tmp/configure.log" all cmake -S "$source_dir" -B "$tmp/build" -G Ninja "${options[@]}" "${vulkan[@]}" \
    -DGGML_CPU=OFF -DGGML_CPU_ALL_VARIANTS=OFF -DCMAKE_INSTALL_PREFIX="$prefix"
  quietly "$tmp/build.log" 50 cmake --build "$tmp/build" --parallel "$jobs" --target "${targets[@]}"
  quietly "$tmp/install.log" all env DESTDIR="$tmp/stage" cmake --install "$tmp/build"
  if [[ $target == windows ]]; then
    mkdir -p "$stage/build"
    cp "$tmp/build/compile_commands.json" "$stage/build/compile_commands-libraries.json"
  fi
}

# The version in the package version file that a configure of the pinned
# source wrote into $1 (0.4.0 of "0.4.0-dev" for llama, say): an install
# names its libraries by it.
configured_version() {
  sed -n 's/^set(PACKAGE_VERSION "\([0-9][0-9.]*[0-9]\).*/\1/p' "$1"
}

# Gives the library $1 the run path $ORIGIN alone and has it need this
# engine's ggml and ggml-base, one change a call (patchelf 0.14 mixed up
# several in one).
relink_prebuilt() {
  patchelf --set-rpath '$ORIGIN' "$1"
  patchelf --replace-needed libggml-base.so libggml-base.so.0 "$1"
  patchelf --replace-needed "libggml.vulkan.$RELEASE.so" libggml.so.0 "$1"
}

# Into $stage: the prebuilt Linux libraries and Vulkan module, with the
# package's notice; the headers and CMake package files of the configure in
# $tmp/build. Each library is named as an install names it
# (libllama.so.0.4.0, its soname libllama.so.0 and the link libllama.so).
# Each library and the Vulkan module find the others by $ORIGIN alone: the
# package's run paths also held an empty entry, which the loader reads as the
# current directory, and the Vulkan module's its build machine's SDK folder.
stage_linux_prebuilt() {
  log "fetching $LINUX_PREBUILT_PACKAGE (llama.cpp $RELEASE, prebuilt)"
  local tarball bins="$tmp/package/bins/linux-x64-vulkan" lib="$stage/lib" name package version file
  tarball=$(fetch_pinned "$LINUX_PREBUILT_PACKAGE" "$LINUX_PREBUILT_SHA256")
  tar -xzf "$tarball" -C "$tmp"
  mkdir -p "$lib/cmake/llama" "$lib/cmake/ggml" "$stage/include"
  cp "$source_dir"/include/*.h "$source_dir"/ggml/include/*.h "$stage/include/"
  cp "$tmp/build/llama-config.cmake" "$tmp/build/llama-config-version.cmake" "$lib/cmake/llama/"
  cp "$tmp/build/ggml/ggml-config.cmake" "$tmp/build/ggml/ggml-config-version.cmake" "$lib/cmake/ggml/"
  for name in ggml-base:libggml-base.so ggml:libggml.vulkan.$RELEASE.so llama:libllama.vulkan.$RELEASE.so; do
    file=${name#*:} name=${name%%:*} package=ggml
    [[ $name == llama ]] && package=llama
    version=$(configured_version "$lib/cmake/$package/$package-config-version.cmake")
    [[ -n $version ]] || { log "no version of $name in the configure of $source_dir"; exit 1; }
    install -m 644 "$bins/$file" "$lib/lib$name.so.$version"
    patchelf --set-soname "lib$name.so.${version%%.*}" "$lib/lib$name.so.$version"
    relink_prebuilt "$lib/lib$name.so.$version"
    ln -s "lib$name.so.$version" "$lib/lib$name.so.${version%%.*}"
    ln -s "lib$name.so.${version%%.*}" "$lib/lib$name.so"
  done
  cp "$bins/libggml-vulkan.so" "$lib/"
  relink_prebuilt "$lib/libggml-vulkan.so"
  cp "$tmp/package/LICENSE" "$stage/licenses/LICENSE-node-llama-cpp-prebuilt"
  if LD_LIBRARY_PATH= ldd "$lib/libllama.so" | grep -q 'not found'; then
    log "the prebuilt libraries do not find each other in $lib:"
    ldd "$lib/libllama.so" >&2
    exit 1
  fi
}

# The build tree of the CPU modules, kept in the cache: configured once, each
# module built into it when first wanted. Its Linux modules carry the $ORIGIN
# run path already, as they are copied out of it.
configure_cpu_modules() {
  [[ -f "$modules_tree/.configured" ]] && return
  local -a options
  mapfile -t options < <(engine_options)
  rm -rf "$modules_tree"
  quietly "$cache_root/cpu-modules-configure.log" all cmake -S "$source_dir" -B "$modules_tree" -G Ninja \
    "${options[@]}" -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON
  touch "$modules_tree/.configured"
}

# The CPU variants the prefix ships, by the targets of the modules tree. The
# AMX module is left out: GCC 12 can drop its tile set-up (llama.cpp
# #26954), MinGW-w64's cannot assemble it, and the AVX-512 modules serve
# those processors.
cpu_variants() {
  cmake --build "$modules_tree" --target help | sed -n 's/^ggml-cpu-\(.*\)-feats: .*/\1/p' | grep -vx sapphirerapids
}

# The variant the helper would pick here: each variant's own score function
# (its feature-detection object) linked into a library, and the helper's
# choice among them, made by the helper's code.
chosen_cpu_variant() {
  local scores="$modules_tree/scores" variant
  local -a libraries=() targets=()
  mkdir -p "$scores"
  for variant in "${variants[@]}"; do targets+=("ggml-cpu-$variant-feats"); done
  quietly "$scores/build.log" 50 cmake --build "$modules_tree" --parallel "$jobs" --target "${targets[@]}"
  for variant in "${variants[@]}"; do
    c++ -shared -o "$scores/libggml-cpu-$variant.so" \
      "$modules_tree/ggml/src/CMakeFiles/ggml-cpu-$variant-feats.dir/ggml-cpu/arch/x86/cpu-feats.cpp.o"
    libraries+=("$scores/libggml-cpu-$variant.so")
  done
  c++ -std=c++20 -O1 -I"$repo/src" -o "$scores/choose" "$repo/tools/cpu_module_choice/cpu_module_choice.cpp" \
    "$repo"/src/engine/backend/cpu_variant.cpp "$repo"/src/common/{register_state,platform_posix,utf8}.cpp -ldl
  "$scores/choose" "${libraries[@]}" | sed 's/^libggml-cpu-\(.*\)\.so$/\1/'
}

# The file name of the CPU module of variant $1 on $target.
cpu_module_file() {
  if [[ $target == windows ]]; then printf 'ggml-cpu-%s.dll' "$1"; else printf 'libggml-cpu-%s.so' "$1"; fi
}

# Into the prefix's library folder: the CPU module of variant $1, built in
# the modules tree, if it is not there yet.
ensure_cpu_module() {
  local file
  file=$(cpu_module_file "$1")
  [[ -f "$prefix/$libdir/$file" ]] && return
  log "building llama.cpp $RELEASE's $target CPU module for $1 (a minute or two, once per machine)"
  quietly "$modules_tree/build-$1.log" 50 cmake --build "$modules_tree" --parallel "$jobs" --target "ggml-cpu-$1"
  if [[ $target == windows ]]; then
    cp "$modules_tree/compile_commands.json" "$prefix/build/compile_commands-cpu-modules.json"
  fi
  # Not executable, as an install leaves a library on Debian.
  install -m 644 "$modules_tree/bin/$file" "$prefix/$libdir/.$file.partial"
  mv "$prefix/$libdir/.$file.partial" "$prefix/$libdir/$file"
}

# The pinned source built the usual way, with the three programs.
# `cmake --install` would also install every other tool the configure step
# declared (and fail on those not built), so the programs and the shared
# libraries beside them are staged instead.
stage_tools() {
  log "building llama.cpp $RELEASE with its tools into $prefix (a few minutes, once per machine)"
  quietly "$tmp/configure.log" all cmake -S "$source_dir" -B "$tmp/build" -G Ninja "${TOOLS_OPTIONS[@]}" \
    "${TOOLS_PROCESSOR_OPTIONS[@]}" -DCMAKE_INSTALL_PREFIX="$prefix"
  quietly "$tmp/build.log" 50 cmake --build "$tmp/build" --parallel "$jobs" --target "${TOOLS_PROGRAMS[@]}"
  mkdir -p "$stage/bin"
  cp "${TOOLS_PROGRAMS[@]/#/$tmp/build/bin/}" "$stage/bin/"
  cp -P "$tmp/build/bin/"*.so* "$stage/bin/"
  local program
  for program in "${TOOLS_PROGRAMS[@]}"; do
    if ldd "$stage/bin/$program" | grep -q 'not found'; then
      log "$program does not find its libraries in $stage/bin:"
      ldd "$stage/bin/$program" >&2
      exit 1
    fi
  done
}

# The cache folder of $target, named by what goes into it, as $prefix, and
# the build tree of its CPU modules as $modules_tree.
choose_prefix() {
  local compiler key modules_key options
  case $target in
    linux)
      compiler=$(c++ --version | head -n 1)
      options=$(engine_options)
      # The CPU modules are built from the source alone; the prefix also
      # holds the prebuilt package's files.
      modules_key=$(printf '%s\n' "$RELEASE" "$patches_key" "$compiler" "$(uname -m)" "$options" |
        sha256sum | cut -c1-12)
      key=$(printf '%s\n' "$modules_key" "prebuilt libraries" "$LINUX_PREBUILT_SHA256" "$ENGINE_LAYOUT" |
        sha256sum | cut -c1-12)
      prefix="$cache_root/llama.cpp-$RELEASE-engine-linux-x64-$key"
      modules_tree="$cache_root/llama.cpp-$RELEASE-cpu-modules-build-$modules_key"
      libdir=lib
      ;;
    windows)
      compiler=$(x86_64-w64-mingw32-g++-posix --version | head -n 1)
      options=$(engine_options)
      # The CPU modules are built without the Vulkan tools.
      modules_key=$(printf '%s\n' "$RELEASE" "$patches_key" "$compiler" "$options" | sha256sum | cut -c1-12)
      key=$(printf '%s\n' "$RELEASE" "$patches_key" "$compiler" "$options" "$(vulkan_tool_versions)" \
        "$ENGINE_LAYOUT" | sha256sum | cut -c1-12)
      prefix="$cache_root/llama.cpp-$RELEASE-engine-windows-x64-$key"
      modules_tree="$cache_root/llama.cpp-$RELEASE-windows-cpu-modules-build-$modules_key"
      libdir=bin
      ;;
    tools)
      compiler=$(c++ --version | head -n 1)
      key=$(printf '%s\n' "$RELEASE" "$compiler" "$(uname -m)" "${TOOLS_OPTIONS[@]}" "${TOOLS_PROCESSOR_OPTIONS[@]}" | sha256sum | cut -c1-12)
      prefix="$cache_root/llama.cpp-$RELEASE-tools-$key"
      ;;
  esac
}

# The steps. The whole script is read before the first of them runs, so a
# build goes on as it began when the script changes under it.
main() {
  # What a target's build needs beyond the Debian packages of the test command.
  needed=() install=""
  case $target in
    linux) needed=(patchelf) ;;
    windows) needed=(x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-dlltool) install=" --windows" ;;
  esac
  for program in "${needed[@]}"; do
    command -v "$program" >/dev/null 2>&1 || { log "$program not found (bash scripts/install-deps.sh$install)"; exit 1; }
  done
  mkdir -p "$cache_root"
  # One builder at a time; a second caller waits and then reuses the result.
  exec 9>"$cache_root/.lock"
  flock 9
  fetch_source
  if [[ $target == vulkan-tools ]]; then
    fetch_vulkan_tools
    printf '%s\n' "$vulkan_tools"
    return
  fi
  choose_prefix
  # The Vulkan tools only build a missing Windows engine, whose name then
  # covers the versions taken.
  if [[ $target == windows && ! -f "$prefix/.complete" ]]; then
    fetch_vulkan_tools
    choose_prefix
  fi
  if [[ $target == tools ]]; then
    # The source is in place; building the tools takes many minutes, so let go
    # of the shared lock (which a build of the helper waits on) and take one of
    # their own.
    exec 8>"$cache_root/.lock-tools"
    flock 8
    exec 9>&-
  fi
  if [[ ! -f "$prefix/.complete" ]]; then
    begin_stage build
    # An engine is installed for its prefix (DESTDIR), the tools are not.
    if [[ $target == tools ]]; then
      stage="$tmp/stage"
      stage_tools
    else
      stage="$tmp/stage$prefix"
      stage_engine_libraries
    fi
    publish "$stage" "$prefix" .complete
  fi
  printf '%s\n' "$prefix"
  if [[ $target != tools ]]; then
    configure_cpu_modules
    mapfile -t variants < <(cpu_variants)
    if [[ $every_cpu_module == true ]]; then
      for variant in "${variants[@]}"; do ensure_cpu_module "$variant"; done
    else
      variant=$(chosen_cpu_variant)
      ensure_cpu_module "$variant"
      cpu_module_file "$variant"
      printf '\n'
    fi
  fi
}

main "$@"
exit
