# Cross-compiles zqv.exe for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64-posix,
# binutils-mingw-w64-x86-64). The POSIX thread model gives the C++ threads the tool's pipe and
# helper use; everything is linked statically, so zqv.exe needs no DLL beyond Windows' own.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ZQV_WINDOWS_TOOL ON)

set(ZQV_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${ZQV_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ZQV_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ZQV_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${ZQV_MINGW_PREFIX}-objdump)

# Windows keeps the stack 16-byte aligned and GCC does not realign it for 32- and 64-byte vector
# spills, so the AVX2 and AVX-512 paths' aligned moves are assembled as unaligned ones (as fast
# on any processor that has those paths).
set(CMAKE_CXX_FLAGS_INIT "-Wa,-muse-unaligned-vector-move")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

set(CMAKE_FIND_ROOT_PATH /usr/${ZQV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
