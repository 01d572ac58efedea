#!/bin/sh
# Two dumps of the scenarios' outputs (orvel_dump) must be the same bytes:
# every build of both entries gave the same bits on both platforms.  On a
# difference, names the first case and array that differ.
#   compare-dumps.sh <reference dump> <dump>
set -u
ref=$1 got=$2
for f in "$ref" "$got"; do
  [ -s "$f" ] || { echo "FAIL $f: missing or empty"; exit 1; }
done
# The real libraries' lines and at least one pinned variant's.
grep -q '^main ' "$ref" && grep -q -v '^main ' "$ref" ||
  { echo "FAIL $ref: expected the real libraries and the pinned variants"; exit 1; }
if cmp -s "$ref" "$got"; then
  echo "same bits: $(wc -l <"$ref") cases, $(wc -c <"$ref") bytes ($(basename "$got"))"
  exit 0
fi
# The first line that differs, and in it the first array and element.
awk 'NR == FNR {ref[FNR] = $0; n = FNR; next}
  {
    if (!(FNR in ref)) {print "FAIL extra line " FNR ": " substr($0, 1, 60); bad = 1; exit}
    if ($0 == ref[FNR]) next
    split(ref[FNR], r, " ")
    label = ""; k = 0
    for (i = 1; i <= NF; i++) {
      if ($i ~ /^(data|K|F|gFx|gFy)$/) {label = $i; k = 0; continue}
      if ($i != r[i]) {
        printf "FAIL line %d (%s %s %s %s %s %s %s %s): %s[%d] %s vs %s\n", FNR,
          $1, $2, $3, $4, $5, $6, $7, $8, label, k, r[i], $i
        bad = 1; exit
      }
      k++
    }
    print "FAIL line " FNR ": lengths differ"; bad = 1; exit
  }
  END {if (!bad && FNR < n) print "FAIL missing lines after " FNR}' "$ref" "$got"
exit 1
