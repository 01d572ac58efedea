#!/bin/sh
# Runs the R package's tests in R under valgrind's memcheck, with the package
# installed in <build>/rlib: the tests of the matrix interface, of the native
# core (threads, malformed arguments, interrupts: ORVEL_VALGRIND makes those
# small), of the local polynomial models (the general engine) and their
# statistics and standard errors, and of the raw
# binding against the libraries in <build> (the raster
# tests go through the same compiled pass and spend their time in terra),
# and (with ORVEL_VALGRIND_PINNED set) those of the raw binding and both
# entries (test-native.R) against each pinned instruction-set copy in
# <build>/tests/isa/*; two runs at a time.
# Any memcheck error fails the run, and so does memory definitely lost (the
# interrupted calls must release everything); no suppression file is used.
#   tools/valgrind-r.sh <build dir>
set -u
build=$(cd "${1:-build}" && pwd)
root=$(cd "$(dirname "$0")/.." && pwd)
logs=$build/valgrind
mkdir -p "$logs"
cd "$root"

dirs="$build"
for d in "$build"/tests/isa/*/; do
  [ -f "$d/orvel-fit.so" ] || continue
  # Valgrind executes no AVX-512 code (and hides AVX-512 from the runtime
  # choice); that copy's eight-lane code runs here compiled for AVX2.
  case $d in */avx512/) echo "skip  ${d%/}: valgrind has no AVX-512"; continue ;; esac
  dirs="$dirs ${d%/}"
done

# One run: the test files matching filter $2 against the libraries in $1.
run() {
  name=$(echo "${1#$build}" | tr / _)
  log=$logs/r${name:-_main}_$(echo "$2" | tr '|' '-').log
  t0=$(date +%s)
  if R_LIBS=$build/rlib ORVEL_LIBDIR=$1 ORVEL_TEST_FILTER=$2 ORVEL_VALGRIND=1 \
       R -d "valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite" \
       --vanilla --slave -f tools/run-r-tests.R >"$log" 2>&1; then
    echo "ok    $1 ($2, $(($(date +%s) - t0)) s): $(grep 'ERROR SUMMARY' "$log" | sed 's/^==[0-9]*== //')"
  else
    echo "FAIL  $1 ($2) (log: $log)"; cat "$log"; return 1
  fi
}

# The runs in two queues side by side, of about the same length: the
# package's own tests split in two (core.R alone takes about half), and,
# with ORVEL_VALGRIND_PINNED set, the raw binding against each pinned copy
# dealt to the queues in turn (make test leaves those to the sanitized
# native suite, which runs every copy).
q1="$build:core"
q2="$build:native|orvel|interrupt|models|inference"
n=0
if [ -n "${ORVEL_VALGRIND_PINNED:-}" ]; then
  for d in $dirs; do
    [ "$d" = "$build" ] && continue
    if [ $((n % 2)) -eq 0 ]; then q1="$q1 $d:native"; else q2="$q2 $d:native"; fi
    n=$((n + 1))
  done
fi
queue() {
  for j in "$@"; do run "${j%%:*}" "${j#*:}" || return 1; done
}
queue $q1 & a=$!
queue $q2 & b=$!
status=0
wait $a || status=1
wait $b || status=1
exit $status
