#!/bin/sh
# Builds the fitting engine and the two fitting libraries with CMake; run
# from src/ by Makevars (Makevars.win on Windows). Leaves in src/
# orvel-fit.so and orvel-holdout.so (on Windows DLLs by those names), and in
# src/engine/ the engines' static libraries, the CPU module's and their
# headers.
#   CFLAGS=... CXXFLAGS=... sh ../tools/build-libs.sh <C compiler> <C++ compiler>
# The compilers and their flags are R's (R CMD config, through Makevars):
# CMake takes CFLAGS and CXXFLAGS from the environment as its first flags,
# and adds the build's own optimisation and floating-point flags after them.
# orvel/ holds the project's library sources and build files: a source
# tarball carries that copy, and in the project's repository
# (R CMD INSTALL rpkg) it is taken from the repository itself. The CMake
# build tree lives in a temporary folder and is removed afterwards.
set -eu

CMAKE=${CMAKE:-}
if [ -z "$CMAKE" ]; then
  for c in cmake cmake3 /Applications/CMake.app/Contents/bin/cmake; do
    if command -v "$c" >/dev/null 2>&1; then CMAKE=$(command -v "$c"); break; fi
  done
fi
if [ -z "$CMAKE" ]; then
  echo "orvel needs CMake (3.18 or later) to build its libraries: install it, or set CMAKE to its path" >&2
  exit 1
fi

src=orvel
if [ ! -f "$src/CMakeLists.txt" ]; then
  if [ -f ../../CMakeLists.txt ] && [ -d ../../lib/localfit ]; then
    src=../..
  else
    echo "src/orvel is missing: build the source package with 'make rpkg' in the orvel repository" >&2
    exit 1
  fi
fi

build=$(mktemp -d "${TMPDIR:-/tmp}/orvel-build.XXXXXX")
trap 'rm -rf "$build"' EXIT
# Windows (Rtools' MSYS shell): CMake is a Windows program, so it is given
# Windows paths and told to write makefiles for Rtools' make, rather than
# look for Visual Studio.
generator=
case $(uname -s) in
  MINGW* | MSYS* | CYGWIN*)
    generator="MSYS Makefiles"
    if command -v cygpath >/dev/null 2>&1; then
      build_dir=$(cygpath -m "$build") src_dir=$(cygpath -m "$src")
    fi
    ;;
esac
CC=$1 CXX=$2 "$CMAKE" ${generator:+-G "$generator"} -S "${src_dir:-$src}" -B "${build_dir:-$build}" \
  -DCMAKE_BUILD_TYPE=Release -DORVEL_TESTS=OFF
"$CMAKE" --build "$build"
cp "$build/orvel-fit.so" "$build/orvel-holdout.so" .
mkdir -p engine
cp "$build/liborvel_localfit.a" "$src/lib/localfit/engine.h" "$build/liborvel_lpoly.a" \
  "$src/lib/lpoly/lpoly.h" "$build/liborvel_cpu_once.a" "$build/liborvel_cpu.a" \
  "$src/lib/cpu/cpu.h" engine/
