# Cross-builds for macOS with clang and LLVM's Mach-O linker, against an SDK
# directory that also holds R's framework (the stub tests/macos/make-sdk.sh
# writes): libraries are looked for inside it only.
# Set on the command line:
#   ORVEL_MACOS_ARCH   arm64 or x86_64
#   ORVEL_MACOS_SDK    the SDK directory
#   ORVEL_CLANG, ORVEL_CLANGXX   the compilers; LLVM's tools and ld64.lld
#                                are looked for where clang really lives
set(CMAKE_SYSTEM_NAME Darwin)
# Try-compile projects see these through the list below.
set(CMAKE_TRY_COMPILE_PLATFORM_VARIABLES
  ORVEL_MACOS_ARCH ORVEL_MACOS_SDK ORVEL_CLANG ORVEL_CLANGXX)

# Deployment targets: macOS 11, the first on arm64, and 10.13 on x86_64 (and
# the Darwin kernel versions that go with them).
if(ORVEL_MACOS_ARCH STREQUAL "arm64")
  set(CMAKE_SYSTEM_PROCESSOR arm64)
  set(CMAKE_OSX_DEPLOYMENT_TARGET 11.0)
  set(CMAKE_SYSTEM_VERSION 20.0)
elseif(ORVEL_MACOS_ARCH STREQUAL "x86_64")
  set(CMAKE_SYSTEM_PROCESSOR x86_64)
  set(CMAKE_OSX_DEPLOYMENT_TARGET 10.13)
  set(CMAKE_SYSTEM_VERSION 17.0)
else()
  message(FATAL_ERROR "ORVEL_MACOS_ARCH must be arm64 or x86_64, not '${ORVEL_MACOS_ARCH}'")
endif()
# A cache entry, or CMake's Darwin setup replaces it with an empty one.
set(CMAKE_OSX_ARCHITECTURES ${ORVEL_MACOS_ARCH} CACHE STRING "")
set(CMAKE_OSX_SYSROOT ${ORVEL_MACOS_SDK})

set(CMAKE_C_COMPILER ${ORVEL_CLANG})
set(CMAKE_CXX_COMPILER ${ORVEL_CLANGXX})
set(CMAKE_C_COMPILER_TARGET ${ORVEL_MACOS_ARCH}-apple-macos${CMAKE_OSX_DEPLOYMENT_TARGET})
set(CMAKE_CXX_COMPILER_TARGET ${CMAKE_C_COMPILER_TARGET})
# As Apple's clang: libc++ is the C++ library of macOS (the libraries use
# none of it, but the driver would otherwise go looking for libstdc++).
set(CMAKE_CXX_FLAGS_INIT -stdlib=libc++)
# The driver runs ld64.lld (from its own directory or PATH) and, knowing the
# linker, passes it the platform and SDK versions the way lld wants them.
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_INIT -fuse-ld=lld)
endforeach()

# Apple's binutils are not here: the LLVM ones beside clang read and write
# Mach-O.  (Without an install_name_tool CMake stops.)
get_filename_component(llvm_bin ${ORVEL_CLANG} REALPATH)
get_filename_component(llvm_bin ${llvm_bin} DIRECTORY)
find_program(CMAKE_INSTALL_NAME_TOOL NAMES llvm-install-name-tool HINTS ${llvm_bin} REQUIRED)
find_program(CMAKE_AR NAMES llvm-ar HINTS ${llvm_bin} REQUIRED)
find_program(CMAKE_RANLIB NAMES llvm-ranlib HINTS ${llvm_bin} REQUIRED)

# Headers and libraries come from the SDK only, never from this host.
set(CMAKE_FIND_ROOT_PATH ${ORVEL_MACOS_SDK})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
