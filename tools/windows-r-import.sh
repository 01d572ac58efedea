#!/bin/sh
# What linking orvel.dll outside Windows needs besides its objects:
#   libR.dll.a, an import library for R.dll holding the R API the objects
#     call: the names they leave undefined that R itself defines (taken from
#     this host's libR.so, data objects marked as such; the list in R.def);
#   orvel.def, what the DLL exports: every global name the objects define,
#     R's own rule for a package that brings no .def file.
#   windows-r-import.sh <nm> <dlltool> <libR.so> <out dir> <object>...
set -eu
export LC_ALL=C
nm=$1 dlltool=$2 libr=$3 out=$4
shift 4
mkdir -p "$out"
# R's names and kinds (T text, D/B/R data) from the host's R; an object's
# references to data through dllimport are __imp_<name>.
nm -D --defined-only "$libr" | awk '{print $NF, $(NF-1)}' | sort -u -k1,1 >"$out/libR.names"
"$nm" -u "$@" | awk '$1 == "U" {n = $2; sub(/^__imp_/, "", n); print n}' | sort -u >"$out/undefined"
{
  echo "LIBRARY R.dll"
  echo "EXPORTS"
  join "$out/undefined" "$out/libR.names" |
    awk '{print $1 ($2 ~ /^[DdBbRrVvGgSs]$/ ? " DATA" : "")}'
} >"$out/R.def"
n=$(($(wc -l <"$out/R.def") - 2))
[ "$n" -gt 0 ] || { echo "windows-r-import.sh: no R symbols among the objects' undefined names" >&2; exit 1; }
"$dlltool" -d "$out/R.def" -l "$out/libR.dll.a"
{
  echo "EXPORTS"
  "$nm" "$@" | sed -n 's/^.* [BCDRT] / /p'
} >"$out/orvel.def"
