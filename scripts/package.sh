#!/usr/bin/env bash
# Builds the release archives for hosts into dist/:
#   debrindle-llama-helper-<version>-linux-x64.tar.gz
#   debrindle-llama-helper-<version>-windows-x64.zip
#   SHA256SUMS (over both)
# Each holds one folder of that name with what a host ships: the helper,
# llama.cpp's libraries and modules, the run times they need, licenses/, a
# README for hosts and PROTOCOL.md. The version is the CMake project version
# (CMakeLists.txt). Test, tool and benchmark programs stay out.
#
# The archives are reproducible: two runs over the same builds give the same
# bytes (sorted entries, owner 0, every time SOURCE_DATE_EPOCH, by default the
# time of the last commit). scripts/check-package.sh tries them out.
#
# What is staged is checked before it is packed: each folder carries the
# helper's license and llama.cpp's, the Linux folder needs no newer glibc and
# libstdc++ than README.md states (check-floor.sh), and the Windows folder's
# engine is the optimized one built from source, with no Visual C++ run time
# and every shader of the Linux folder's Vulkan module (check_windows_folder.py).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh
bash scripts/install-deps.sh --windows
cmake --preset release >/dev/null
cmake --build --preset release --parallel "$(nproc)"
bash scripts/build-windows.sh build-windows

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-release/CMakeCache.txt)
[[ -n $version ]] || { echo "package: no project version in build-release/CMakeCache.txt" >&2; exit 1; }
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct)}
stage_root=dist/.stage
rm -rf "$stage_root"
mkdir -p "$stage_root"

# The README for hosts; $1 is the platform's paragraph on what a machine needs.
host_readme() {
  cat <<EOF
debrindle-llama-helper $version

A console helper that runs a local language model (a GGUF file) through
llama.cpp for a host application. Ship this folder as it is: the helper loads
its engine (llama.cpp's libraries and modules) from its own folder only.

Start it with --server and write one JSON request per line to its standard
input; it writes one JSON answer per line to its standard output:

  {"modelPath":"m.gguf","systemPrompt":"You are terse.","userPrompt":"Say hello.","temperature":0.7,"maxTokens":128}
  {"ok":true,"output":"Hello!","error":null}

Started without --server it answers one request (all of its standard input)
with the bare text. PROTOCOL.md is the whole protocol: the requests, the
answers, every error text and exit status, and what a user's machine needs.
Host clients for Python and Node.js are in the source repository, under
tools/host_client/.

$1

licenses/ holds the notices of every library in this folder.
EOF
}

# Copies the helper, every library and module beside it (a library under the
# name the loader asks for, its SONAME) and licenses/ from a build's bin/ to
# the stage; $3 is what the libraries are called there.
stage_folder() {
  local bin=$1 helper=$2 pattern=$3 folder=$4 file name
  mkdir -p "$folder"
  cp "$bin/$helper" "$folder/"
  for file in "$bin"/$pattern; do
    [[ -L $file ]] && continue
    name=$(readelf -d "$file" 2>/dev/null | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p' || true)  # none in a DLL
    cp "$file" "$folder/${name:-$(basename "$file")}"
  done
  cp -r "$bin/licenses" "$folder/"
  cp docs/PROTOCOL.md "$folder/"
  local notice
  for notice in LICENSE-debrindle-llama-helper LICENSE-llama.cpp; do
    if ! grep -q "^MIT License" "$folder/licenses/$notice" 2>/dev/null; then
      echo "package: $(basename "$folder") lacks licenses/$notice" >&2
      exit 1
    fi
  done
}

linux=debrindle-llama-helper-$version-linux-x64
stage_folder build-release/bin debrindle-llama-helper 'lib*.so*' "$stage_root/$linux"
bash scripts/check-floor.sh "$stage_root/$linux"
read -r glibc libstdcxx < <(bash scripts/check-floor.sh --print "$stage_root/$linux")
host_readme "It runs on x86-64 Linux with glibc $glibc and libstdc++ $libstdcxx (GCC 12's) or
newer (Debian 12, Ubuntu 22.04 and later); for a GPU it needs the Vulkan
loader (libvulkan.so.1) and a Vulkan 1.2 driver." >"$stage_root/$linux/README.txt"
if ldd "$stage_root/$linux/debrindle-llama-helper" "$stage_root/$linux"/*.so* | grep "not found"; then
  echo "package: a library in $linux needs one that is neither there nor on this system" >&2
  exit 1
fi

windows=debrindle-llama-helper-$version-windows-x64
stage_folder build-windows/bin debrindle-llama-helper.exe '*.dll' "$stage_root/$windows"
python3 scripts/check_windows_folder.py "$stage_root/$windows" "$(bash scripts/ensure-llama.sh --windows)" \
  "$stage_root/$linux"
# MinGW's run-time DLLs come with debug information, four fifths of
# libstdc++-6.dll; llama.cpp's DLLs, a Release build, have none.
for file in "$stage_root/$windows"/*.{exe,dll}; do
  if x86_64-w64-mingw32-objdump -h "$file" | grep -q '\.debug_'; then
    SOURCE_DATE_EPOCH=$epoch x86_64-w64-mingw32-strip --strip-debug "$file"  # the epoch is its PE time stamp
  fi
done
host_readme "It runs on 64-bit Windows 10 or 11 with nothing else installed (the
folder carries the run time it needs); for a GPU it needs a Vulkan 1.2
driver." | sed 's/$/\r/' >"$stage_root/$windows/README.txt"

rm -f "dist/$linux.tar.gz" "dist/$windows.zip" dist/SHA256SUMS
python3 scripts/reproducible_archive.py "$stage_root/$linux" "dist/$linux.tar.gz" "$epoch"
python3 scripts/reproducible_archive.py "$stage_root/$windows" "dist/$windows.zip" "$epoch"
rm -rf "$stage_root"
(cd dist && sha256sum "$linux.tar.gz" "$windows.zip" >SHA256SUMS)
ls -l "dist/$linux.tar.gz" "dist/$windows.zip" >&2
