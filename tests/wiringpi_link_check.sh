#!/usr/bin/env bash
# Proves the build against libwiringPi, with a stand-in library built here:
# configuring fails with advice when the library is missing; with it, `run`
# needs libwiringPi, resolves exactly the four GPIO calls from it, and runs a
# session through it; `bus_check` resolves those four and pullUpDnControl.
#   wiringpi_link_check.sh SOURCE_DIR WORK_DIR COMPILER
# COMPILER builds the stand-in as C (g++ does, with -x c).
set -euo pipefail
src=$1
work=$2
compiler=$3
fail() { echo "FAIL: $*" >&2; exit 1; }

rm -rf "$work"
mkdir -p "$work/prefix/lib"

# Missing library: configuring must fail and say what to install.
if cmake -S "$src" -B "$work/missing" -DGPIO_BACKEND=wiringpi -DCMAKE_PREFIX_PATH="$work/prefix" \
     -DBUILD_TESTING=OFF >"$work/missing.log" 2>&1; then
  fail "configuring with GPIO_BACKEND=wiringpi and no libwiringPi succeeded"
fi
grep -q "install wiringPi" "$work/missing.log" || fail "no advice on what to install"

"$compiler" -x c -shared -fPIC -Wl,-soname,libwiringPi.so -o "$work/prefix/lib/libwiringPi.so" \
  "$src/tests/wiringpi-standin/wiringPi.c"

cmake -S "$src" -B "$work/build" -DGPIO_BACKEND=wiringpi -DCMAKE_PREFIX_PATH="$work/prefix" \
  -DBUILD_TESTING=OFF >"$work/configure.log" 2>&1 || { cat "$work/configure.log"; fail "configure"; }
grep -q "GPIO backend: wiringpi" "$work/configure.log" || fail "configure did not choose wiringpi"
cmake -S "$src" -B "$work/auto" -DCMAKE_PREFIX_PATH="$work/prefix" -DBUILD_TESTING=OFF >"$work/auto.log" 2>&1 ||
  fail "configure with GPIO_BACKEND=auto"
grep -q "GPIO backend: wiringpi" "$work/auto.log" || fail "GPIO_BACKEND=auto did not take the library it found"
cmake --build "$work/build" --target run bus_check -j2 >"$work/build.log" 2>&1 || { cat "$work/build.log"; fail "build"; }
run="$work/build/run"

# What a program takes from libwiringPi, as "name name ...".
from_wiringpi() {
  readelf -d "$1" | grep -q 'NEEDED.*\[libwiringPi\.so\]' || fail "$1 does not need libwiringPi.so"
  local needed offered
  needed=$(nm -D --undefined-only "$1" | awk '{ print $NF }' | sed 's/@.*//' | sort -u)
  offered=$(nm -D --defined-only "$work/prefix/lib/libwiringPi.so" | awk '{ print $NF }' | sort -u)
  comm -12 <(echo "$needed") <(echo "$offered") | tr '\n' ' '
}
! readelf -d "$run" | grep -qE 'RPATH|RUNPATH' || fail "run carries a library path of the build machine's"
[ "$(from_wiringpi "$run")" = "digitalRead digitalWrite pinMode wiringPiSetup " ] ||
  fail "run resolves from libwiringPi: $(from_wiringpi "$run")"
[ "$(from_wiringpi "$work/build/tools/bus_check")" = "digitalRead digitalWrite pinMode pullUpDnControl wiringPiSetup " ] ||
  fail "bus_check resolves from libwiringPi: $(from_wiringpi "$work/build/tools/bus_check")"

out=$(printf '4\n9 -1\n0\n' | COUNTER_BUS_LOCK="$work/bus.lock" LD_LIBRARY_PATH="$work/prefix/lib" "$run" 2>"$work/err")
[ "$(grep -c 'enter command : ' <<<"$out")" = 3 ] || fail "unexpected dialogue: $out"
grep -q '^enter command : run = 0$' <<<"$out" || fail "no run flag in: $out"
# The stand-in keeps the levels written: the reply is whatever the data-in
# pins were last driven to, here never, so 0.
grep -q 'write: read : 0$' <<<"$out" || fail "no interface test reply in: $out"
[ "$(cat "$work/err")" = "wiringPi stand-in: set up" ] || fail "standard error: $(cat "$work/err")"
echo "run links libwiringPi and resolves exactly its four GPIO calls from it; bus_check those and pullUpDnControl"
