#!/bin/sh
# The libraries export exactly their two names and need nothing beyond libc
# (libm at most): R finds the entries by name, and nothing else should leak
# into or be required of the R process.
set -u
dir=$1
status=0
check() {
  lib=$dir/$1; shift
  want=$(printf '%s\n' "$@" | sort)
  got=$(nm -D --defined-only "$lib" | awk '{print $NF}' | sort)
  if [ "$got" != "$want" ]; then
    echo "FAIL $lib exports:"; echo "$got"; echo "expected:"; echo "$want"; status=1
  fi
  extra=$(ldd "$lib" | awk '{print $1}' | grep -v -E '^(linux-vdso\.so|libc\.so|libm\.so|/.*ld-linux)' || true)
  if [ -n "$extra" ]; then
    echo "FAIL $lib links against:"; echo "$extra"; status=1
  fi
  if nm -D --undefined-only "$lib" | grep -q -E ' U (_Z|__cxa_|_Unwind)'; then
    echo "FAIL $lib needs C++ runtime symbols"; status=1
  fi
}
check orvel-fit.so solve localPolynomials
check orvel-holdout.so solve localPolynomialscv
[ $status -eq 0 ] && echo "exports and links as expected"
exit $status
