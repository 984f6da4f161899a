#!/usr/bin/env bash
# Makes sure the pinned llama.cpp engine is in a cache outside the clone and
# prints its prefix on standard output.
#
# The engine the helper ships is llama.cpp's module build of the pinned
# release: `llama`, `ggml` and `ggml-base`, one CPU module per x86-64
# instruction-set level (`ggml-cpu-<variant>`, the helper picks one at start)
# and the Vulkan module (`ggml-vulkan`). On Linux everything but the Vulkan
# module is built from the pinned source, with OpenMP (the prebuilt CPU
# modules, without it, were measured 1.3 to 1.7 times slower here); the
# Vulkan module, which Debian 12's Vulkan headers are too old to build, and
# the whole Windows set come prebuilt from the npm packages of the same
# release and family as the pinned source, checked against their sha256.
#
# The cache lives under ${XDG_CACHE_HOME:-$HOME/.cache}/debrindle-llama and is
# keyed by the release and the package or build options. Every stage is done
# in a temporary directory and renamed into place only when complete, so an
# interrupted download or build is never taken for a good one.
#
# Usage: ensure-llama.sh [--windows | --tools | --every-cpu-module]
#
# Without an option the Linux engine comes with one CPU module, the one the
# helper picks on this processor, and the second line of the output names it:
# a first build compiles that module alone. --every-cpu-module builds the
# others too (the tests, the release and an install need them all) and names
# none. A CPU module is built once, in a build tree kept in the cache, and
# joins the prefix's lib/ when it is complete, so a later full build does not
# build it again.
# --windows gives the Windows x64 set of the same release (MSVC-built DLLs).
# --tools builds the pinned source the usual way (GGML_NATIVE, one CPU
# backend) together with llama.cpp's llama-bench, llama-completion and
# llama-server (for the side-by-side benchmarks under bench/). That prefix
# holds the three programs and the shared libraries they need in $prefix/bin,
# found through $ORIGIN; it is not a CMake package.
#
# The steps, in order: fetch the source, then stage the Linux engine, the
# Windows engine or the tools, and publish the stage into the cache.
set -euo pipefail

readonly RELEASE="v0.4.0"
readonly NPM_PACKAGE="node-llama-cpp@3.21.1"
readonly NPM_SHA256="7a231d6bafa14142a1cbed9893d4ec5bc6041b2a5f5939a623accaab4203c11f"
readonly BUNDLE_PATH="package/llama/gitRelease.bundle"
# The prebuilt module sets of the same release, per platform.
readonly LINUX_PACKAGE="@node-llama-cpp/linux-x64-vulkan@3.21.1"
readonly LINUX_SHA256="4877be47f01586481615aec277c23c7f660592ce66eec2753ff1dcc967a9a0d2"
readonly WINDOWS_PACKAGE="@node-llama-cpp/win-x64-vulkan@3.21.1"
readonly WINDOWS_SHA256="105e8207d2114f5f248b217fee7f9b702d0e7509cf0d3c7565dfb9e707f9303e"
# The Windows set's libraries, by the target names of its CMake package.
readonly -A WINDOWS_DLLS=([llama]=llama.vulkan.v0.4.0.dll [ggml]=ggml.vulkan.v0.4.0.dll [ggml-base]=ggml-base.dll)
# Raised whenever the layout of an engine prefix changes.
readonly PREBUILT_LAYOUT=2

# How the Linux engine is built from the pinned source.
readonly -a LINUX_ENGINE_OPTIONS=(
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=ON
  # Backends as modules, one CPU module per instruction-set level; none
  # tuned to this machine.
  -DGGML_BACKEND_DL=ON
  -DGGML_CPU_ALL_VARIANTS=ON
  -DGGML_NATIVE=OFF
  -DLLAMA_BUILD_COMMON=OFF -DLLAMA_BUILD_TESTS=OFF -DLLAMA_BUILD_EXAMPLES=OFF -DLLAMA_BUILD_TOOLS=OFF
  -DLLAMA_BUILD_SERVER=OFF -DLLAMA_BUILD_APP=OFF -DLLAMA_BUILD_UI=OFF -DLLAMA_USE_PREBUILT_UI=OFF
  -DLLAMA_CURL=OFF -DLLAMA_OPENSSL=OFF -DLLAMA_ALL_WARNINGS=OFF
  # The libraries find each other beside themselves, wherever they are copied.
  '-DCMAKE_INSTALL_RPATH=$ORIGIN'
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
readonly -a TOOLS_PROGRAMS=(llama-bench llama-completion llama-server)

log() { printf 'ensure-llama: %s\n' "$*" >&2; }

every_cpu_module=false
case "$#:${1:-}" in
  0:) target=linux ;;
  1:--every-cpu-module) target=linux every_cpu_module=true ;;
  1:--windows) target=windows ;;
  1:--tools) target=tools ;;
  *)
    log "usage: ensure-llama.sh [--windows | --tools | --every-cpu-module]"
    exit 2
    ;;
esac

cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/debrindle-llama"
source_dir="$cache_root/llama.cpp-$RELEASE-source"
jobs=$(nproc 2>/dev/null || echo 2)

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
  (cd "$tmp" && npm pack --silent "$package" >/dev/null)
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

# The pinned source, from the bundle that the npm package carries.
fetch_source() {
  [[ -f "$source_dir/.verified" ]] && return
  log "fetching $NPM_PACKAGE (carries llama.cpp $RELEASE)"
  begin_stage fetch
  local tarball
  tarball=$(fetch_pinned "$NPM_PACKAGE" "$NPM_SHA256")
  tar -xzf "$tarball" -C "$tmp" "$BUNDLE_PATH"
  git clone --quiet "$tmp/$BUNDLE_PATH" "$tmp/source" 2>/dev/null
  rm -rf "$tmp/source/.git"
  publish "$tmp/source" "$source_dir" .verified
}

# Into $stage: the files $3... of the prebuilt package $1 (sha256 $2) into
# its folder $4, with the license notices of llama.cpp and of the package.
stage_prebuilt() {
  local package=$1 sha=$2 libdir=$3 bins=$4 tarball
  shift 4
  log "fetching $package (llama.cpp $RELEASE, prebuilt)"
  tarball=$(fetch_pinned "$package" "$sha")
  tar -xzf "$tarball" -C "$tmp"
  mkdir -p "$stage/include" "$stage/$libdir" "$stage/licenses"
  cp "$source_dir/LICENSE" "$stage/licenses/LICENSE-llama.cpp"
  for notice in "$source_dir"/licenses/*; do cp "$notice" "$stage/licenses/$(basename "$notice")-llama.cpp"; done
  cp "$tmp/package/LICENSE" "$stage/licenses/LICENSE-node-llama-cpp-prebuilt"
  # Unquoted: a name may be a pattern, matched in the package's folder.
  # shellcheck disable=SC2068
  (cd "$tmp/$bins" && cp $@ "$stage/$libdir/")
}

# The pinned source's libraries (no CPU backend: each CPU module is built on
# its own, below), with the prebuilt Vulkan module beside them.
stage_linux_engine() {
  stage_prebuilt "$LINUX_PACKAGE" "$LINUX_SHA256" lib package/bins/linux-x64-vulkan libggml-vulkan.so
  log "building llama.cpp $RELEASE's libraries into $prefix (a few minutes, once per machine)"
  quietly "$tmp/configure.log" all cmake -S "$source_dir" -B "$tmp/build" -G Ninja "${LINUX_ENGINE_OPTIONS[@]}" \
    -DGGML_CPU=OFF -DGGML_CPU_ALL_VARIANTS=OFF -DCMAKE_INSTALL_PREFIX="$prefix"
  quietly "$tmp/build.log" 50 cmake --build "$tmp/build" --parallel "$jobs" --target llama
  quietly "$tmp/install.log" all env DESTDIR="$tmp/stage" cmake --install "$tmp/build"
  # The prebuilt Vulkan module was linked to its own set's ggml-base and
  # looked for libraries in its build machine's Vulkan SDK folder and in
  # an empty entry, which the loader reads as the current directory: it
  # now finds this ggml-base, and everything else, by $ORIGIN or the
  # system alone.
  patchelf --replace-needed libggml-base.so libggml-base.so.0 --set-rpath '$ORIGIN' "$stage/lib/libggml-vulkan.so"
  # OpenMP's run time, which the CPU modules need, travels with them.
  cp -L "$(gcc -print-file-name=libgomp.so.1)" "$stage/lib/libgomp.so.1"
  cp /usr/share/doc/libgomp1/copyright "$stage/licenses/COPYING-libgomp1"
}

# The build tree of the CPU modules, kept in the cache: configured once, each
# module built into it when first wanted. Its modules carry the $ORIGIN run
# path already, as they are copied out of it.
configure_cpu_modules() {
  [[ -f "$modules_tree/.configured" ]] && return
  rm -rf "$modules_tree"
  quietly "$cache_root/cpu-modules-configure.log" all cmake -S "$source_dir" -B "$modules_tree" -G Ninja \
    "${LINUX_ENGINE_OPTIONS[@]}" -DCMAKE_BUILD_WITH_INSTALL_RPATH=ON
  touch "$modules_tree/.configured"
}

# The CPU variants the prefix ships, by the targets of the modules tree. The
# AMX module is left out: GCC 12 can drop its tile set-up (llama.cpp
# #26954), and the AVX-512 modules serve those processors.
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
  local repo
  repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  c++ -std=c++20 -O1 -I"$repo/src" -o "$scores/choose" "$repo/tools/cpu_module_choice/cpu_module_choice.cpp" \
    "$repo"/src/engine/cpu_variant.cpp "$repo"/src/common/{register_state,platform_posix,utf8}.cpp -ldl
  "$scores/choose" "${libraries[@]}" | sed 's/^libggml-cpu-\(.*\)\.so$/\1/'
}

# Into the prefix's lib/: the CPU module of variant $1, built in the modules
# tree, if it is not there yet.
ensure_cpu_module() {
  local module="$prefix/lib/libggml-cpu-$1.so"
  [[ -f "$module" ]] && return
  log "building llama.cpp $RELEASE's CPU module for $1 (a minute or two, once per machine)"
  quietly "$modules_tree/build-$1.log" 50 cmake --build "$modules_tree" --parallel "$jobs" --target "ggml-cpu-$1"
  # Not executable, as an install leaves a library on Debian.
  install -m 644 "$modules_tree/bin/libggml-cpu-$1.so" "$prefix/lib/.libggml-cpu-$1.so.partial"
  mv "$prefix/lib/.libggml-cpu-$1.so.partial" "$module"
}

# The prebuilt set as it is (MSVC-built DLLs), with the pinned source's
# headers and a CMake package, so that find_package(llama) finds the set as
# it finds an installed llama.cpp. MinGW's linker takes a DLL itself in
# place of an import library.
stage_windows_engine() {
  stage_prebuilt "$WINDOWS_PACKAGE" "$WINDOWS_SHA256" bin package/bins/win-x64-vulkan \
    "${WINDOWS_DLLS[llama]}" "${WINDOWS_DLLS[ggml]}" "${WINDOWS_DLLS[ggml-base]}" ggml-vulkan.dll 'ggml-cpu-*.dll'
  cp "$source_dir"/include/llama.h "$source_dir"/include/llama-cpp.h "$source_dir"/ggml/include/*.h "$stage/include/"
  mkdir -p "$stage/lib/cmake/llama"
  local name deps
  {
    printf '# Written by scripts/ensure-llama.sh: the prebuilt llama.cpp %s set.\n' "$RELEASE"
    printf 'get_filename_component(_llama_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)\n'
    for name in ggml-base ggml llama; do
      case $name in
        ggml-base) deps="" ;;
        ggml) deps="ggml-base" ;;
        llama) deps="ggml;ggml-base" ;;
      esac
      printf 'if(NOT TARGET %s)\n  add_library(%s SHARED IMPORTED)\n' "$name" "$name"
      printf '  set_target_properties(%s PROPERTIES\n' "$name"
      printf '    IMPORTED_LOCATION "${_llama_prefix}/bin/%s"\n' "${WINDOWS_DLLS[$name]}"
      printf '    IMPORTED_IMPLIB "${_llama_prefix}/bin/%s"\n' "${WINDOWS_DLLS[$name]}"
      printf '    INTERFACE_INCLUDE_DIRECTORIES "${_llama_prefix}/include"\n'
      printf '    INTERFACE_LINK_LIBRARIES "%s")\nendif()\n' "$deps"
    done
  } >"$stage/lib/cmake/llama/llama-config.cmake"
}

# The pinned source built the usual way, with the three programs.
# `cmake --install` would also install every other tool the configure step
# declared (and fail on those not built), so the programs and the shared
# libraries beside them are staged instead.
stage_tools() {
  log "building llama.cpp $RELEASE with its tools into $prefix (a few minutes, once per machine)"
  quietly "$tmp/configure.log" all cmake -S "$source_dir" -B "$tmp/build" -G Ninja "${TOOLS_OPTIONS[@]}" \
    -DCMAKE_INSTALL_PREFIX="$prefix"
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

# The cache folder of $target, named by what goes into it, as $prefix.
choose_prefix() {
  local compiler key
  [[ $target == windows ]] || compiler=$(c++ --version | head -n 1)
  case $target in
    linux)
      key=$(printf '%s\n' "$RELEASE" "$compiler" "$(uname -m)" "${LINUX_ENGINE_OPTIONS[@]}" "$LINUX_SHA256" \
        "$PREBUILT_LAYOUT" | sha256sum | cut -c1-12)
      prefix="$cache_root/llama.cpp-$RELEASE-engine-linux-x64-$key"
      modules_tree="$cache_root/llama.cpp-$RELEASE-cpu-modules-build-$key"
      ;;
    windows)
      key=$(printf '%s\n' "$RELEASE" "$WINDOWS_SHA256" "$PREBUILT_LAYOUT" | sha256sum | cut -c1-12)
      prefix="$cache_root/llama.cpp-$RELEASE-engine-windows-x64-$key"
      ;;
    tools)
      key=$(printf '%s\n' "$RELEASE" "$compiler" "$(uname -m)" "${TOOLS_OPTIONS[@]}" | sha256sum | cut -c1-12)
      prefix="$cache_root/llama.cpp-$RELEASE-tools-$key"
      ;;
  esac
}

if [[ $target == linux ]] && ! command -v patchelf >/dev/null 2>&1; then
  log "patchelf not found (Debian package patchelf)"
  exit 1
fi
mkdir -p "$cache_root"
# One builder at a time; a second caller waits and then reuses the result.
exec 9>"$cache_root/.lock"
flock 9
fetch_source
choose_prefix
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
  if [[ $target == tools ]]; then stage="$tmp/stage"; else stage="$tmp/stage$prefix"; fi
  case $target in
    linux) stage_linux_engine ;;
    windows) stage_windows_engine ;;
    tools) stage_tools ;;
  esac
  publish "$stage" "$prefix" .complete
fi
printf '%s\n' "$prefix"
if [[ $target == linux ]]; then
  configure_cpu_modules
  mapfile -t variants < <(cpu_variants)
  if [[ $every_cpu_module == true ]]; then
    for variant in "${variants[@]}"; do ensure_cpu_module "$variant"; done
  else
    variant=$(chosen_cpu_variant)
    ensure_cpu_module "$variant"
    printf '%s\n' "libggml-cpu-$variant.so"
  fi
fi
