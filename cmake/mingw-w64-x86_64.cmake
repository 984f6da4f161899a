# Cross-compiles for Windows x64 with Debian's MinGW-w64, POSIX-threads
# variant (llama.cpp uses std::thread, which the win32-threads variant lacks).
#
#   cmake -S . -B build-windows -G Ninja \
#         -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
#
# scripts/build-windows.sh does this, with llama.cpp's Windows engine fetched first.

set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(DEBRINDLE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${DEBRINDLE_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${DEBRINDLE_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${DEBRINDLE_MINGW_TRIPLE}-windres)

# Headers and libraries come from the MinGW tree; build tools from the host.
# Packages may also live elsewhere (the llama.cpp cache, which finds its own
# libraries without re-rooting).
set(CMAKE_FIND_ROOT_PATH /usr/${DEBRINDLE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE BOTH)

# The compiler's own run-time DLLs, which every program and DLL it links
# needs beside it on Windows.
set(DEBRINDLE_MINGW_RUNTIME_DLLS "")
foreach(debrindle_dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
  execute_process(
    COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${debrindle_dll}
    OUTPUT_VARIABLE debrindle_dll_path
    OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(IS_ABSOLUTE "${debrindle_dll_path}" AND EXISTS "${debrindle_dll_path}")
    list(APPEND DEBRINDLE_MINGW_RUNTIME_DLLS "${debrindle_dll_path}")
  endif()
endforeach()

# Their license notices (the GCC run-time library exception; MinGW-w64's
# winpthreads), shipped beside them.
set(DEBRINDLE_MINGW_RUNTIME_NOTICES
  /usr/share/doc/gcc-mingw-w64-x86-64-posix-runtime/copyright
  /usr/share/doc/mingw-w64-x86-64-dev/copyright)
