#!/bin/sh
# The Windows build's DLLs, inspected with the cross tools' objdump: both
# fitting libraries (the real ones and every pinned copy of the test build)
# export exactly their two names, and every DLL imports from system DLLs
# alone (KERNEL32, the C runtime: msvcrt, ucrtbase or its api-ms-win-*
# forwarders), the package's own library from R.dll as well, so that none
# needs a DLL a user lacks.  No fused multiply-add in the fitting libraries,
# and no aligned move of a 32- or 64-byte vector to or from the stack in any
# DLL (Windows aligns the stack to 16 bytes only: such a move can fault).
#   check_exports_windows.sh <objdump> <build dir> [<orvel.dll>]
set -u
objdump=$1 dir=$2 pkg=${3:-}
status=0
fail() {
  echo "FAIL $*"
  status=1
}
system='^(kernel32|msvcrt|ucrtbase|api-ms-win-[a-z0-9-]+)\.dll$'

# imports <dll> <extra allowed pattern>
imports() {
  got=$("$objdump" -p "$1" | awk '$1 == "DLL" && $2 == "Name:" {print $3}')
  [ -n "$got" ] || fail "$1: no import table found"
  bad=$(echo "$got" | tr 'A-Z' 'a-z' | grep -v -E "$system" | grep -v -E "${2:-^$}")
  [ -z "$bad" ] || fail "$1 imports from:" $bad
}

# exports <dll>: the names in its export table.
exports() {
  "$objdump" -p "$1" | awk '/^\[Ordinal\/Name Pointer\] Table/ {t = 1; next}
    t && /^\t\[ *[0-9]+\]/ {print $NF; next} t && !/^\t/ {t = 0}'
}

check() {
  lib=$1 entry=$2
  if [ ! -f "$lib" ]; then
    fail "$lib: not built"
    return
  fi
  "$objdump" -f "$lib" | grep -q 'file format pei-x86-64' || fail "$lib: not a 64-bit PE file"
  imports "$lib"
  got=$(exports "$lib" | sort | tr '\n' ' ')
  want=$(printf '%s\n' solve "$entry" | sort | tr '\n' ' ')
  [ "$got" = "$want" ] || fail "$lib exports: $got(expected $want)"
  fused=$("$objdump" -d --no-show-raw-insn "$lib" | grep -c -E '\svfn?m(add|sub)[0-9]')
  [ "$fused" -eq 0 ] || fail "$lib: $fused fused multiply-adds"
  spills "$lib"
}

# spills <dll>: aligned moves of ymm/zmm registers against rsp or rbp.
aligned_spill='vmov(ap[sd]|dqa(32|64)?)[[:space:]]+.*(%[yz]mm.*\(%r[sb]p\)|\(%r[sb]p\).*%[yz]mm)'
spills() {
  k=$("$objdump" -d --no-show-raw-insn "$1" | grep -c -E "$aligned_spill")
  [ "$k" -eq 0 ] || fail "$1: $k aligned vector moves against the stack"
}

n=0
for d in "$dir" "$dir"/tests/isa/*; do
  [ -d "$d" ] || continue
  check "$d/orvel-fit.so" localPolynomials
  check "$d/orvel-holdout.so" localPolynomialscv
  n=$((n + 1))
done
[ $n -ge 2 ] || fail "expected the pinned copies of the test build in $dir/tests/isa as well"

if [ -n "$pkg" ]; then
  if [ -f "$pkg" ]; then
    imports "$pkg" '^r\.dll$'
    spills "$pkg"
    "$objdump" -p "$pkg" | awk '$1 == "DLL" && $2 == "Name:" {print $3}' | grep -q -x R.dll ||
      fail "$pkg: does not import from R.dll"
    exports "$pkg" | grep -q -x R_init_orvel || fail "$pkg: R_init_orvel not exported"
  else
    fail "$pkg: not built"
  fi
fi
[ $status -eq 0 ] && echo "Windows DLLs: $n builds of both libraries${pkg:+ and $(basename "$pkg")} export and import as expected"
exit $status
