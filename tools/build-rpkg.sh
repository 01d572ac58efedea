#!/bin/sh
# Writes the self-contained source package <build>/orvel_<version>.tar.gz:
# rpkg/ with a copy of the library sources and build files in src/orvel, so
# that R CMD INSTALL of the tarball needs no copy of this repository.
#   tools/build-rpkg.sh <build dir>
set -eu
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
cd "$build"
R CMD build "$stage/orvel"
