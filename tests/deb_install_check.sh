#!/usr/bin/env bash
# Installs the amd64 packages made by cmake/build-deb with dpkg -i (their
# dependencies already on the machine) and runs what a control host and a
# lab PC run: the console and countctl on the virtual instrument, HDF5
# from countctl, counter-scpi-server, countctl recording it by index, the
# Tango server and the sandbox's help, and the Python package loading
# countctl's file. Removes them again at the end. Needs root.
#   tests/deb_install_check.sh PACKAGE-DIR
set -euo pipefail
dir=$1
fail() { echo "FAIL: $*" >&2; exit 1; }
[ "$(id -u)" = 0 ] || fail "dpkg -i needs root"
packages=$(for d in "$dir"/*_amd64.deb "$dir"/*_all.deb; do dpkg-deb -f "$d" Package; done)
scratch=$(mktemp -d)
server=
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null && wait "$server" 2>/dev/null
  # shellcheck disable=SC2086
  dpkg -P $packages >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT
dpkg -i "$dir"/*_amd64.deb "$dir"/*_all.deb >"$scratch/dpkg.log" 2>&1 || { cat "$scratch/dpkg.log"; fail "dpkg -i"; }
cd "$scratch"
export XDG_CONFIG_HOME="$scratch" COUNTER_BUS_LOCK="$scratch/bus.lock"

out=$(printf '0\n' | /usr/bin/counter-console 2>/dev/null) || fail "the console exited with $?"
[ "${out: -16}" = "enter command : " ] || fail "the console said: $out"
countctl acquire --period 16 --words 1000 -q -o run.h5 || fail "countctl writes no HDF5"
/usr/bin/python3 -c '
import sys
from counting_instrument import load
run = load("run.h5")
assert len(run) == 1000 and run.settings["period"] == 16, (len(run), run.settings)
' || fail "the Python package does not load countctl's HDF5 file"

counter-scpi-server --listen 127.0.0.1:0 --no-vxi11 --spool-dir "$scratch" 2>server.log &
server=$!
for _ in $(seq 200); do grep -q 'listening on 127.0.0.1:' server.log && break; sleep 0.05; done
port=$(sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' server.log | head -1)
[ -n "$port" ] || fail "the server did not start: $(cat server.log)"
countctl acquire --server "127.0.0.1:$port" --period 16 --words 500 -q -o remote.csv ||
  fail "countctl did not record the server"
[ "$(grep -c '^[0-9]' remote.csv)" = 500 ] || fail "remote.csv holds $(grep -c '^[0-9]' remote.csv) words, not 500"
grep -q "^# server: 127.0.0.1:$port, journal " remote.csv || fail "remote.csv does not say where it came from"

counter-tango-server --version | grep -qx 'counter-tango-server 1.0.0' || fail "the Tango server does not run"
counter-tango-sandbox --help | grep -q TANGO_HOST || fail "the sandbox does not say how to use it"
man -w countctl >/dev/null 2>&1 || fail "no manual page for countctl"
echo "$dir: $(wc -w <<<"$packages") packages installed with dpkg -i; the console, countctl (HDF5, --server), the server, the Tango server, the sandbox and the Python package run"
