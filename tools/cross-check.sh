#!/bin/sh
# Builds both entries, the engine and the literal oracle for another
# architecture (the generic variant: no x86 code is involved) and compares
# them bit for bit under qemu user-mode emulation.  Run by the test suite
# where the cross compiler and qemu are installed (tools/setup.sh installs
# them on x86-64: g++-aarch64-linux-gnu, qemu-user).
#   tools/cross-check.sh [aarch64]
set -eu
arch=${1:-aarch64}
root=$(cd "$(dirname "$0")/.." && pwd)
out=${TMPDIR:-/tmp}/orvel-cross-$arch
L=$root/lib
"$arch-linux-gnu-g++" -std=c++17 -O3 -ffp-contract=off -static -I"$L" -I"$root/tests" \
  "$root/tests/cross/cross_check.cpp" "$L/solve3/solve3.cpp" "$L/localfit/engine.cpp" \
  "$L/localfit/fit_generic.cpp" "$L/cpu/cpu.c" "$L/orvel-fit/orvel-fit.cpp" "$L/orvel-holdout/orvel-holdout.cpp" \
  -o "$out"
printf '%s: ' "$arch"
"qemu-$arch" "$out"
