#!/bin/sh
# Writes the self-contained source package <build>/orvel_<version>.tar.gz:
# rpkg/ with a copy of the library sources and build files in src/orvel, so
# that R CMD INSTALL of the tarball needs no copy of this repository.
# With --stage, only that package folder, <build>/rpkg-stage/orvel, which
# R CMD INSTALL takes as it is (no vignettes built: needs only R, CMake and
# a C++17 compiler).
#   tools/build-rpkg.sh [--stage] <build dir>
set -eu
stage_only=false
if [ "${1:-}" = --stage ]; then stage_only=true; shift; fi
root=$(cd "$(dirname "$0")/.." && pwd)
mkdir -p "${1:-build}"
build=$(cd "${1:-build}" && pwd)
stage=$build/rpkg-stage
rm -rf "$stage"
mkdir -p "$stage"
cp -R "$root/rpkg" "$stage/orvel"
# Leftovers of an in-place R CMD INSTALL rpkg.
rm -rf "$stage"/orvel/src/*.so "$stage"/orvel/src/*.o "$stage"/orvel/src/engine
mkdir -p "$stage/orvel/src/orvel"
cp "$root/CMakeLists.txt" "$stage/orvel/src/orvel/"
cp -R "$root/lib" "$stage/orvel/src/orvel/"
$stage_only && exit 0
cd "$build"
R CMD build "$stage/orvel"
