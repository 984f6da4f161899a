#!/usr/bin/env python3
"""Checks the Windows folder that is shipped against what its engine must be:

- no program or library in it imports the Visual C++ run time (the whole
  folder is MinGW-built and carries MinGW's run time);
- llama.cpp's DLLs and modules in it are those of the engine built from the
  pinned source (byte for byte), and every file of that engine was compiled
  optimized (-O2 or higher) with NDEBUG, by the compile commands its build
  trees recorded;
- its Vulkan module embeds every shader that the Linux folder's embeds (the
  Linux module is the release's prebuilt one, built with the newest shader
  compiler: a Windows one built with an older glslc lacks the
  cooperative-matrix, integer-dot-product or bf16 variants).

Usage: check_windows_folder.py FOLDER ENGINE_PREFIX LINUX_FOLDER
       (the prefix is what `scripts/ensure-llama.sh --windows` prints)
"""

import json
import re
import shlex
import subprocess
import sys
from pathlib import Path

VISUAL_CPP_RUN_TIME = re.compile(r"^(vcruntime|msvcp|vcomp|concrt)\d*.*\.dll$", re.IGNORECASE)
OPTIMIZED = re.compile(r"^-O([2-9]|fast)$")


def imported_dlls(binary: Path) -> list[str]:
    dump = subprocess.run(["x86_64-w64-mingw32-objdump", "-p", str(binary)], check=True, capture_output=True,
                          text=True).stdout
    return re.findall(r"DLL Name: (\S+)", dump)


def unoptimized_sources(compile_commands: Path) -> list[str]:
    faults = []
    for entry in json.loads(compile_commands.read_text()):
        words = entry["arguments"] if "arguments" in entry else shlex.split(entry["command"])
        optimization = [word for word in words if word.startswith("-O")]
        if not optimization or not OPTIMIZED.match(optimization[-1]) or "-DNDEBUG" not in words:
            faults.append(f"{entry['file']}: {' '.join(optimization) or 'no -O'}"
                          f"{'' if '-DNDEBUG' in words else ', no -DNDEBUG'}")
    return faults


def shader_names(module: Path) -> set[str]:
    """The embedded SPIR-V shaders of a Vulkan module by name: the <shader>_data
    arrays it exports (a DLL's export table, an ELF module's dynamic symbols)."""
    if module.suffix == ".dll":
        command, pattern = ["x86_64-w64-mingw32-objdump", "-p"], r"^\t\[ *\d+\] (\w+_data)$"
    else:
        command, pattern = ["nm", "-D", "--defined-only"], r" (\w+_data)$"
    dump = subprocess.run([*command, str(module)], check=True, capture_output=True, text=True).stdout
    return set(re.findall(pattern, dump, re.MULTILINE))


def main() -> int:
    folder, prefix, linux_folder = Path(sys.argv[1]), Path(sys.argv[2]), Path(sys.argv[3])
    faults = []
    for binary in sorted([*folder.glob("*.dll"), *folder.glob("*.exe")]):
        faults += [f"{binary.name} imports {dll}, the Visual C++ run time"
                   for dll in imported_dlls(binary) if VISUAL_CPP_RUN_TIME.match(dll)]
    engine = sorted((prefix / "bin").glob("*.dll"))
    if not engine:
        faults.append(f"no engine DLLs in {prefix}/bin")
    for dll in engine:
        shipped = folder / dll.name
        if not shipped.is_file() or shipped.read_bytes() != dll.read_bytes():
            faults.append(f"{dll.name} in {folder} is not the engine's own")
    compile_commands = sorted((prefix / "build").glob("compile_commands-*.json"))
    if len(compile_commands) < 2:
        faults.append(f"the compile commands of the libraries and the CPU modules are not in {prefix}/build")
    for commands in compile_commands:
        faults += [f"{commands.name}: {fault}" for fault in unoptimized_sources(commands)]
    linux_shaders = shader_names(linux_folder / "libggml-vulkan.so")
    missing = sorted(linux_shaders - shader_names(folder / "ggml-vulkan.dll"))
    if not linux_shaders or missing:
        faults.append(f"ggml-vulkan.dll lacks {len(missing)} of the {len(linux_shaders)} shaders of the Linux "
                      f"module, {', '.join(missing[:3])}...")
    for fault in faults:
        print(f"check-windows-folder: {fault}", file=sys.stderr)
    if faults:
        return 1
    print(f"check-windows-folder: {len(engine)} engine files, all optimized, every shader of the Linux module "
          f"({len(linux_shaders)}); no Visual C++ run time in {folder.name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
