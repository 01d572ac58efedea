#!/bin/sh
# Checks the R package: its help pages are those its roxygen comments make,
# and R CMD check --as-cran of the source tarball gives no error and no
# warning. Offline: the checks that need the network are switched off.
#   tools/check-rpkg.sh <build dir>
set -eu
root=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:-build}" && pwd)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cp -R "$root/rpkg" "$tmp/orvel"
Rscript -e 'suppressMessages(roxygen2::roxygenise(commandArgs(TRUE)[1], roclets = c("rd", "namespace")))' \
  "$tmp/orvel" >/dev/null
if ! diff -r "$root/rpkg/man" "$tmp/orvel/man" || ! diff "$root/rpkg/NAMESPACE" "$tmp/orvel/NAMESPACE"; then
  echo "rpkg/man or rpkg/NAMESPACE is out of date: run roxygen2::roxygenise() in rpkg/ and commit" >&2
  exit 1
fi
echo "help pages and NAMESPACE match the roxygen comments"

version=$(sed -n 's/^Version: *//p' "$root/rpkg/DESCRIPTION")
cd "$build"
_R_CHECK_CRAN_INCOMING_=false _R_CHECK_CRAN_INCOMING_REMOTE_=false \
_R_CHECK_FUTURE_FILE_TIMESTAMPS_=false _R_CHECK_SYSTEM_CLOCK_=false \
  R CMD check --as-cran --no-manual "orvel_$version.tar.gz"
log=$build/orvel.Rcheck/00check.log
if grep -E '^Status:.*(ERROR|WARNING)' "$log"; then
  exit 1
fi
grep -E '^Status:' "$log"
