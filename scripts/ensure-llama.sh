#!/usr/bin/env bash
# Makes sure the pinned llama.cpp release is fetched, verified, built (shared
# `llama` and `ggml` only) and installed into a cache outside the clone, then
# prints the install prefix on standard output.
#
# The cache lives under ${XDG_CACHE_HOME:-$HOME/.cache}/debrindle-llama and is
# keyed by the release and the build options. Every stage is done in a
# temporary directory and renamed into place only when complete, so an
# interrupted download or build is never taken for a good one.
#
# Usage: ensure-llama.sh [--tools]
#
# With --tools the same pinned source is built a second time, under its own
# cache key, together with llama.cpp's llama-bench, llama-completion and
# llama-server (for the side-by-side benchmarks under bench/). That prefix
# holds the three programs and the shared libraries they need in $prefix/bin,
# found through $ORIGIN; it is not a CMake package.
set -euo pipefail

readonly RELEASE="v0.4.0"
readonly NPM_PACKAGE="node-llama-cpp@3.21.1"
readonly NPM_SHA256="7a231d6bafa14142a1cbed9893d4ec5bc6041b2a5f5939a623accaab4203c11f"
readonly BUNDLE_PATH="package/llama/gitRelease.bundle"

with_tools=0
[[ "${1:-}" == "--tools" ]] && with_tools=1
# --windows: the same pinned source cross-built with MinGW-w64 into DLLs for
# Windows x64 (see cmake/mingw-w64-x86_64.cmake), under its own cache key.
target=linux
[[ "${1:-}" == "--windows" ]] && target=windows

cache_root="${XDG_CACHE_HOME:-$HOME/.cache}/debrindle-llama"
mkdir -p "$cache_root"
log() { printf 'ensure-llama: %s\n' "$*" >&2; }

# One builder at a time; a second caller waits and then reuses the result.
exec 9>"$cache_root/.lock"
flock 9

# --- source -------------------------------------------------------------
source_dir="$cache_root/llama.cpp-$RELEASE-source"
if [[ ! -f "$source_dir/.verified" ]]; then
  log "fetching $NPM_PACKAGE (carries llama.cpp $RELEASE)"
  tmp=$(mktemp -d "$cache_root/.fetch.XXXXXX")
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && npm pack --silent "$NPM_PACKAGE" >/dev/null)
  tarball=$(ls "$tmp"/*.tgz)
  actual=$(sha256sum "$tarball" | cut -d' ' -f1)
  if [[ "$actual" != "$NPM_SHA256" ]]; then
    log "checksum mismatch for $tarball: expected $NPM_SHA256, got $actual"
    exit 1
  fi
  tar -xzf "$tarball" -C "$tmp" "$BUNDLE_PATH"
  git clone --quiet "$tmp/$BUNDLE_PATH" "$tmp/source" 2>/dev/null
  rm -rf "$tmp/source/.git"
  touch "$tmp/source/.verified"
  rm -rf "$source_dir"
  mv "$tmp/source" "$source_dir"
  rm -rf "$tmp"
  trap - EXIT
fi

# --- build --------------------------------------------------------------
build_type="Release"
# Which parts of llama.cpp are built: the libraries always; the common
# library, the tools and the server only for --tools; never tests, examples,
# the web UI or network access.
tools_switch=$([[ $with_tools == 1 ]] && echo ON || echo OFF)
parts=(
  -DLLAMA_BUILD_COMMON=$tools_switch
  -DLLAMA_BUILD_TESTS=OFF
  -DLLAMA_BUILD_EXAMPLES=OFF
  -DLLAMA_BUILD_TOOLS=$tools_switch
  -DLLAMA_BUILD_SERVER=$tools_switch
  -DLLAMA_BUILD_APP=OFF
  -DLLAMA_BUILD_UI=OFF
  -DLLAMA_USE_PREBUILT_UI=OFF
  -DLLAMA_CURL=OFF
  -DLLAMA_OPENSSL=OFF
  -DLLAMA_ALL_WARNINGS=OFF
)
options=(
  -DCMAKE_BUILD_TYPE=$build_type
  -DBUILD_SHARED_LIBS=ON
  -DGGML_NATIVE=ON
  "${parts[@]}"
  # The libraries find each other beside themselves, wherever they are copied.
  '-DCMAKE_INSTALL_RPATH=$ORIGIN'
)
if [[ $with_tools == 1 ]]; then
  # The programs are taken straight from the build tree, so they must carry
  # the $ORIGIN run path already there.
  options+=(-DCMAKE_BUILD_WITH_INSTALL_RPATH=ON)
fi
compiler=$(c++ --version | head -n 1)
key=$(printf '%s\n' "$RELEASE" "$compiler" "$(uname -m)" "${options[@]}" | sha256sum | cut -c1-12)
prefix="$cache_root/llama.cpp-$RELEASE-$([[ $with_tools == 1 ]] && echo tools || echo libs)-$key"

if [[ $target == windows ]]; then
  toolchain="$(cd "$(dirname "$0")/.." && pwd)/cmake/mingw-w64-x86_64.cmake"
  for tool in x86_64-w64-mingw32-gcc-posix x86_64-w64-mingw32-g++-posix; do
    command -v "$tool" >/dev/null 2>&1 \
      || { log "$tool not found (Debian package g++-mingw-w64-x86-64-posix)"; exit 1; }
  done
  options=(
    -DCMAKE_BUILD_TYPE=$build_type
    -DBUILD_SHARED_LIBS=ON
    # Not this machine's CPU but named features (x86-64 of Haswell and later).
    -DGGML_NATIVE=OFF
    -DGGML_SSE42=ON -DGGML_AVX=ON -DGGML_AVX2=ON -DGGML_BMI2=ON -DGGML_FMA=ON -DGGML_F16C=ON
    # ggml's own thread pool rather than OpenMP: no libgomp DLL to carry.
    -DGGML_OPENMP=OFF
    # Debian's MinGW headers lack the thread power-throttling declarations
    # that a Windows 8+ target turns on in ggml-cpu.
    -DCMAKE_C_FLAGS=-D_WIN32_WINNT=0x0601
    "${parts[@]}"
  )
  compiler=$(x86_64-w64-mingw32-g++-posix --version | head -n 1)
  # The toolchain file's path differs from clone to clone; its content counts.
  key=$(printf '%s\n' "$RELEASE" windows-x86_64 "$compiler" "$(sha256sum <"$toolchain")" "${options[@]}" \
        | sha256sum | cut -c1-12)
  prefix="$cache_root/llama.cpp-$RELEASE-windows-x64-$key"
  options+=("-DCMAKE_TOOLCHAIN_FILE=$toolchain")
  # The source is in place; the cross build takes minutes, so let go of the
  # shared lock (which a Linux build of the helper waits on) for one of its own.
  exec 7>"$cache_root/.lock-windows"
  flock 7
  exec 9>&-
fi

if [[ $with_tools == 1 ]]; then
  # The source is in place; building the tools takes many minutes, so let go of
  # the shared lock (which a build of the helper waits on) and take one of
  # their own.
  exec 8>"$cache_root/.lock-tools"
  flock 8
  exec 9>&-
fi

if [[ ! -f "$prefix/.complete" ]]; then
  log "building llama.cpp $RELEASE into $prefix (a few minutes, once per machine)"
  tmp=$(mktemp -d "$cache_root/.build.XXXXXX")
  trap 'rm -rf "$tmp"' EXIT
  jobs=$(nproc 2>/dev/null || echo 2)
  cmake -S "$source_dir" -B "$tmp/build" -G Ninja "${options[@]}" \
        -DCMAKE_INSTALL_PREFIX="$prefix" >"$tmp/configure.log" 2>&1 \
    || { cat "$tmp/configure.log" >&2; exit 1; }
  targets=(llama)
  [[ $with_tools == 1 ]] && targets+=(llama-bench llama-completion llama-server)
  cmake --build "$tmp/build" --parallel "$jobs" --target "${targets[@]}" >"$tmp/build.log" 2>&1 \
    || { tail -n 50 "$tmp/build.log" >&2; exit 1; }
  rm -rf "$prefix"
  if [[ $with_tools == 1 ]]; then
    # `cmake --install` would also install every other tool the configure
    # step declared (and fail on those not built), so stage the three
    # programs and the shared libraries beside them instead.
    mkdir -p "$tmp/stage/bin"
    cp "$tmp/build/bin/llama-bench" "$tmp/build/bin/llama-completion" "$tmp/build/bin/llama-server" "$tmp/stage/bin/"
    cp -P "$tmp/build/bin/"*.so* "$tmp/stage/bin/"
    for program in llama-bench llama-completion llama-server; do
      if ldd "$tmp/stage/bin/$program" | grep -q 'not found'; then
        log "$program does not find its libraries in $tmp/stage/bin:"
        ldd "$tmp/stage/bin/$program" >&2
        exit 1
      fi
    done
    mkdir -p "$(dirname "$prefix")"
    mv "$tmp/stage" "$prefix"
  else
    # Install into a staging copy of the final prefix, then move it into place.
    DESTDIR="$tmp/stage" cmake --install "$tmp/build" >"$tmp/install.log" 2>&1 \
      || { cat "$tmp/install.log" >&2; exit 1; }
    mkdir -p "$(dirname "$prefix")"
    mv "$tmp/stage$prefix" "$prefix"
  fi
  touch "$prefix/.complete"
  rm -rf "$tmp"
  trap - EXIT
fi

printf '%s\n' "$prefix"
