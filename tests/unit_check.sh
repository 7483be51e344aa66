#!/usr/bin/env bash
# `cmake --install` from source, as a new user runs it (prefix /usr/local,
# here into a scratch DESTDIR): the SCPI server's unit starts the server
# where the install put it, reads its options from the prefix's etc, and
# passes `systemd-analyze verify` (and so does the Tango device server's
# template, where the build has it); the options file is installed once and
# never overwritten; the example, the mDNS announcements and the web page
# are installed.
#   unit_check.sh BUILD_DIR
set -euo pipefail
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is missing (apt-get install systemd): not checked"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
prefix=/usr/local
DESTDIR=$work/root cmake --install "$1" --prefix "$prefix" >"$work/install.log" || { cat "$work/install.log"; fail "install"; }
root=$work/root
unit=$root$prefix/lib/systemd/system/counter-scpi-server.service
grep -qx "ExecStart=$prefix/bin/counter-scpi-server \$COUNTER_SCPI_OPTIONS" "$unit" || fail "$(grep ExecStart "$unit")"
grep -qx "EnvironmentFile=-$prefix/etc/default/counter-scpi-server" "$unit" || fail "$(grep EnvironmentFile "$unit")"
[ -x "$root$prefix/bin/counter-scpi-server" ] || fail "no server at $prefix/bin"
[ -f "$root$prefix/lib/python3/dist-packages/counting_instrument/journal.py" ] || fail "no Python package"
grep -q '^COUNTER_SCPI_OPTIONS=' "$root$prefix/etc/default/counter-scpi-server" || fail "no options file"
for a in counter-scpi-raw counter-vxi11 counter-http counter-lxi; do
  xmllint --noout "$root$prefix/etc/avahi/services/$a.service" || fail "no well-formed $a.service"
done
[ -f "$root$prefix/share/counter-scpi-server/web/index.html" ] || fail "no web page"

echo 'COUNTER_SCPI_OPTIONS="--max-clients 2"' >"$root$prefix/etc/default/counter-scpi-server"
DESTDIR=$root cmake --install "$1" --prefix "$prefix" >"$work/again.log"
grep -q -- '--max-clients 2' "$root$prefix/etc/default/counter-scpi-server" || fail "the options file was overwritten"

sed "s|$prefix/bin/counter-scpi-server|$root$prefix/bin/counter-scpi-server|" "$unit" >"$work/counter-scpi-server.service"
acquire=$root$prefix/lib/systemd/system/counter-acquire.service
grep -q "^ExecStart=$prefix/bin/countctl --wait acquire --rotate" "$acquire" || fail "$(grep ExecStart "$acquire")"
grep -q '^COUNTER_ACQUIRE_ROTATE=' "$root$prefix/etc/default/counter-acquire" || fail "no acquisition options file"
sed "s|$prefix/bin/countctl|$root$prefix/bin/countctl|" "$acquire" >"$work/counter-acquire.service"
units=("$work/counter-scpi-server.service" "$work/counter-acquire.service")
# The Tango device server's template, where the build has one: verified as an instance.
tango=$root$prefix/lib/systemd/system/counter-tango-server@.service
if [ -f "$tango" ]; then
  grep -qx "ExecStart=$prefix/bin/counter-tango-server %i \$COUNTER_TANGO_OPTIONS" "$tango" || fail "$(grep ExecStart "$tango")"
  grep -qx "EnvironmentFile=-$prefix/etc/default/counter-tango-server" "$tango" || fail "$(grep EnvironmentFile "$tango")"
  grep -q '^COUNTER_TANGO_OPTIONS=' "$root$prefix/etc/default/counter-tango-server" || fail "no Tango options file"
  sed "s|$prefix/bin/counter-tango-server|$root$prefix/bin/counter-tango-server|" "$tango" >"$work/counter-tango-server@lab.service"
  units+=("$work/counter-tango-server@lab.service")
fi
systemd-analyze verify --man=no "${units[@]}"
echo "installed from source: the units start what the install put in $prefix/bin and verify; the options files are kept"
