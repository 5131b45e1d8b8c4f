# Cross-compiles for 32-bit Windows with mingw-w64 (Debian: g++-mingw-w64-i686, binutils).
# Only the compilers and tools are set here; the stub adds its freestanding flags to its own
# target, so other Windows-side programs (the test harness) may use the C runtime.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(ZQV_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ZQV_MINGW_PREFIX}-gcc)
set(CMAKE_CXX_COMPILER ${ZQV_MINGW_PREFIX}-g++)
set(CMAKE_RC_COMPILER ${ZQV_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${ZQV_MINGW_PREFIX}-objdump)
set(CMAKE_OBJCOPY ${ZQV_MINGW_PREFIX}-objcopy)

# Look for headers and libraries in the cross environment only, for programs on the host.
set(CMAKE_FIND_ROOT_PATH /usr/${ZQV_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
