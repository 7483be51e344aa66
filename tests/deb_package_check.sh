#!/usr/bin/env bash
# Checks a Debian package made by cmake/build-deb: its control fields, its
# contents (the programs and their documentation, nothing of the test
# bench), that no binary carries a RUNPATH or needs more than libwiringPi
# and the C and C++ runtimes, that lintian finds no error, and that the
# console, unpacked into a scratch root, runs under qemu-user against the
# stand-in libwiringPi and quits on "0" with status 0.
#   tests/deb_package_check.sh PACKAGE.deb ARCH STANDIN-DIR
set -euo pipefail
deb=$1
arch=$2
standin=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
case $arch in
  arm64) triple=aarch64-linux-gnu qemu=qemu-aarch64 ;;
  armhf) triple=arm-linux-gnueabihf qemu=qemu-arm ;;
  *) fail "unknown architecture $arch" ;;
esac

[ "$(dpkg-deb -f "$deb" Package)" = counter-console ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "architecture $(dpkg-deb -f "$deb" Architecture)"
depends=$(dpkg-deb -f "$deb" Depends)
grep -q 'wiringpi (>= 3)' <<<"$depends" || fail "does not depend on wiringpi 3: $depends"
grep -q 'libc6 (>= 2.34)' <<<"$depends" || fail "does not say which glibc: $depends"

contents=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $NF }' | sort | tr '\n' ' ')
expected="./etc/default/counter-acquire ./etc/default/counter-scpi-server ./usr/bin/countctl ./usr/bin/counter-bus-check ./usr/bin/counter-bus-trace ./usr/bin/counter-console \
./usr/bin/counter-scpi-server ./usr/lib/systemd/system/counter-acquire.service \
./usr/lib/systemd/system/counter-scpi-server.service ./usr/lib/tmpfiles.d/counter-console.conf \
./usr/share/bash-completion/completions/countctl \
./usr/share/doc/counter-console/BENCHMARKS.md ./usr/share/doc/counter-console/README.md \
./usr/share/doc/counter-console/changelog.gz ./usr/share/doc/counter-console/copyright \
./usr/share/doc/counter-console/docs/loopback-plug.svg ./usr/share/doc/counter-console/docs/pinout.svg \
./usr/share/doc/counter-console/docs/read-frame.svg ./usr/share/doc/counter-console/docs/threshold-scan.png \
./usr/share/doc/counter-console/docs/write-frame.svg \
./usr/share/doc/counter-console/examples/counting_instrument.py \
./usr/share/man/man1/countctl.1.gz ./usr/share/man/man1/counter-bus-check.1.gz \
./usr/share/man/man1/counter-bus-trace.1.gz ./usr/share/man/man1/counter-console.1.gz \
./usr/share/man/man1/counter-scpi-server.1.gz "
[ "$contents" = "$expected" ] || fail "contents: $contents"

[ "$(dpkg-deb -I "$deb" conffiles | sort | tr '\n' ' ')" = "/etc/default/counter-acquire /etc/default/counter-scpi-server " ] ||
  fail "the options files are not conffiles: $(dpkg-deb -I "$deb" conffiles)"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
dpkg -x "$deb" "$root"
grep -qx 'ExecStart=/usr/bin/counter-scpi-server $COUNTER_SCPI_OPTIONS' "$root/usr/lib/systemd/system/counter-scpi-server.service" ||
  fail "the unit starts $(grep ExecStart "$root/usr/lib/systemd/system/counter-scpi-server.service")"
for program in "$root"/usr/bin/*; do
  name=$(basename "$program")
  dynamic=$(readelf -d "$program")
  ! grep -qE 'RPATH|RUNPATH' <<<"$dynamic" || fail "$name carries a library path: $(grep -E 'RPATH|RUNPATH' <<<"$dynamic")"
  needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic" | sort | tr '\n' ' ')
  for library in $needed; do
    case $library in
      libwiringPi.so | libstdc++.so.6 | libgcc_s.so.1 | libm.so.6 | libc.so.6 | ld-linux-*) ;;
      *) fail "$name needs $library" ;;
    esac
  done
  if [ "$name" != counter-bus-trace ]; then
    grep -q 'libwiringPi.so' <<<"$needed" || fail "$name does not need libwiringPi.so: $needed"
  fi
  file "$program" | grep -q 'stripped' && ! file "$program" | grep -q 'not stripped' || fail "$name is not stripped"
done

if command -v lintian >/dev/null; then
  said=$(lintian --allow-root "$deb" 2>&1 || true)
  errors=$(grep '^E:' <<<"$said" || true)
  [ -z "$errors" ] || fail "lintian: $errors"
  ! grep -qE 'no-manual-page|manpage-has-errors' <<<"$said" || fail "lintian: $(grep -E 'manual-page|manpage' <<<"$said")"
else
  echo "lintian missing: not run" >&2
fi

run() { COUNTER_BUS_LOCK="$root.bus.lock" LD_LIBRARY_PATH="$standin/lib:$standin/crypt" "$qemu" -L "/usr/$triple" "$@"; }
out=$(printf '0\n' | run "$root/usr/bin/counter-console" 2>/dev/null) || fail "the console exited with $?"
[ "${out: -16}" = "enter command : " ] || fail "the console said: $out"
run "$root/usr/bin/countctl" --version | grep -q '(wiringPi)' || fail "countctl is not the wiringPi build"
echo "$(basename "$deb"): contents, dependencies, architecture and binaries as intended; the console runs"
