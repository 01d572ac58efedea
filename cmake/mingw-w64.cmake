# Cross-building for 64-bit Windows with Debian's mingw-w64 (the POSIX-thread
# flavour, the one Rtools' compilers match):
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(ORVEL_MINGW_PREFIX x86_64-w64-mingw32 CACHE STRING "Target triplet of the mingw-w64 tools")
set(CMAKE_C_COMPILER ${ORVEL_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${ORVEL_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${ORVEL_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ORVEL_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
