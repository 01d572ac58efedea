#!/bin/sh
# The Windows build (make windows) checked here: its DLLs' imports and
# exports (tests/check_exports_windows.sh), then under wine the package's
# thread pool (tests/test_parallel.c), the native suite
# and the dump of the scenarios' outputs once for each instruction-set level
# ORVEL_ISA asks for, every dump compared byte for byte with the Linux
# build's (tests/compare-dumps.sh).  wine's prefix lives in the Windows
# build directory; its first start is timed.
#   windows-test.sh <Windows build dir> <Linux build dir>
set -u
win=$(cd "$1" && pwd) linux=$(cd "$2" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
[ -x "$wine" ] || { echo "wine64 not found (Debian: wine64)"; exit 1; }
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
export WINEPREFIX="$win/wine" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
status=0

sh "$src/tests/check_exports_windows.sh" "$objdump" "$win" "$win/rpkg/orvel.dll" || status=1

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  t0=$(date +%s.%N)
  "$wine" wineboot --init >/dev/null 2>&1
  echo "wine prefix created in $(awk -v a="$t0" -v b="$(date +%s.%N)" 'BEGIN {printf "%.1f", b - a}') s"
fi

# The package's thread pool on Win32 threads.
"$wine" "$win/tests/orvel_parallel_test.exe" || { echo "FAIL the thread pool under wine"; status=1; }

"$linux/tests/orvel_dump" "$win/dump-linux.txt" || { echo "FAIL the Linux dump"; exit 1; }
for isa in baseline avx2 avx512; do
  echo "ORVEL_ISA=$isa:"
  ORVEL_ISA=$isa "$wine" "$win/tests/orvel_tests.exe" --gtest_brief=1 || {
    echo "FAIL the suite under wine, ORVEL_ISA=$isa"; status=1; }
  if ORVEL_ISA=$isa "$wine" "$win/tests/orvel_dump.exe" "$win/dump-windows-$isa.txt"; then
    sh "$src/tests/compare-dumps.sh" "$win/dump-linux.txt" "$win/dump-windows-$isa.txt" || status=1
  else
    echo "FAIL the dump under wine, ORVEL_ISA=$isa"; status=1
  fi
done
[ $status -eq 0 ] && echo "Windows build: as expected"
exit $status
