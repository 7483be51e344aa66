#!/usr/bin/env bash
# countctl plot draws each kind of file countctl writes, in each format:
# counts (with a time axis) as a well-formed SVG, a threshold scan as a PNG
# and a PDF, each of some size; a file countctl did not write is refused.
#   plot_check.sh COUNTCTL
set -euo pipefail
command -v gnuplot >/dev/null || { echo "gnuplot is missing (apt-get install gnuplot-nox): not checked"; exit 77; }
countctl=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
"$countctl" acquire --period 16 --tick 1e-6 --words 500 -q -o "$work/counts.csv"
"$countctl" scan threshold 0:4000:1000 --period 16 --words 100 -q -o "$work/scan.csv" 2>/dev/null
"$countctl" plot "$work/counts.csv" -o "$work/counts.svg"
"$countctl" plot "$work/scan.csv" -o "$work/scan.png"
"$countctl" plot "$work/scan.csv" -o "$work/scan.pdf"
/usr/bin/python3 -c 'import sys, xml.etree.ElementTree as e; r = e.parse(sys.argv[1]).getroot(); assert r.tag.endswith("svg"), r.tag' \
  "$work/counts.svg" || fail "the SVG is not well-formed"
[ "$(head -c 8 "$work/scan.png" | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "not a PNG"
[ "$(head -c 5 "$work/scan.pdf")" = "%PDF-" ] || fail "not a PDF"
for f in counts.svg scan.png scan.pdf; do
  [ "$(stat -c %s "$work/$f")" -gt 5000 ] || fail "$f is only $(stat -c %s "$work/$f") bytes"
done
grep -q "time since the run" "$work/counts.svg" || fail "the counts' time axis is not labelled"
grep -q "counts.csv; settings sent period 16" "$work/counts.svg" || fail "the title does not name the file and its settings"
"$countctl" plot "$work/scan.csv" -o "$work/scan.svg"
grep -q "; period 16" "$work/scan.svg" || fail "the scan's title lacks its period"
# A file of a few words, all alike, and the HDF5 files countctl writes:
# drawn, and nothing from gnuplot on standard error.
"$countctl" acquire --period 16 --words 8 -q -o "$work/few.csv"
"$countctl" plot "$work/few.csv" -o "$work/few.svg" 2>"$work/few.err" || fail "a file of 8 words is not drawn"
[ ! -s "$work/few.err" ] || fail "gnuplot said: $(cat "$work/few.err")"
printf '# countctl\nindex,count\n1,7\n2,7\n' >"$work/same.csv"
"$countctl" plot "$work/same.csv" -o "$work/same.svg" 2>"$work/same.err" || fail "a file of equal counts is not drawn"
[ ! -s "$work/same.err" ] || fail "gnuplot said: $(cat "$work/same.err")"
if "$countctl" acquire --period 16 --tick 1e-6 --words 500 -q -o "$work/counts.h5" 2>/dev/null; then
  "$countctl" plot "$work/counts.h5" -o "$work/h5.svg" || fail "an HDF5 file countctl wrote is not drawn"
  grep -q "time since the run" "$work/h5.svg" || fail "the HDF5 file's time axis is not drawn"
fi
printf 'a,b\n1,2\n' >"$work/other.csv"
status=0
"$countctl" plot "$work/other.csv" -o "$work/other.svg" 2>/dev/null || status=$?
[ $status = 1 ] || fail "a file countctl did not write gave status $status"
[ ! -e "$work/other.svg" ] || fail "a picture of a refused file was left"
ls "$work" | grep -q tmp && fail "a temporary file was left"
echo "plot: counts as SVG, a scan as PNG and PDF, small files and HDF5 too; another file refused"
