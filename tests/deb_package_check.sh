#!/usr/bin/env bash
# Checks the Debian packages made by cmake/build-deb: their control fields
# (each depends on what its programs use, and on nothing the others use),
# their contents (the programs and their documentation, nothing of the test
# bench), that no binary carries a RUNPATH or needs a library its package
# does not depend on, that lintian finds no error, and that the console,
# unpacked into a scratch root, runs under qemu-user against the stand-in
# libwiringPi and quits on "0" with status 0.
#   tests/deb_package_check.sh PACKAGE-DIR ARCH STANDIN-DIR
set -euo pipefail
dir=$1
arch=$2
standin=$3
fail() { echo "FAIL: $*" >&2; exit 1; }
case $arch in
  arm64) triple=aarch64-linux-gnu qemu=qemu-aarch64 ;;
  armhf) triple=arm-linux-gnueabihf qemu=qemu-arm ;;
  amd64) triple=x86_64-linux-gnu qemu="" ;; # the virtual instrument's build, run here
  *) fail "unknown architecture $arch" ;;
esac
version=1.0.0
deb() { echo "$dir/${1}_${version}_${2:-$arch}.deb"; }
for p in counter-console countctl counter-scpi-server; do [ -f "$(deb $p)" ] || fail "no $(deb $p)"; done
[ -f "$(deb counter-common all)" ] || fail "no $(deb counter-common all)"
# The Tango device server's package, where the build made one (REQUIRE_TANGO=1: it must).
tango=false
if [ -f "$(deb counter-tango-server)" ]; then
  tango=true
elif [ "${REQUIRE_TANGO:-0}" = 1 ]; then
  fail "no $(deb counter-tango-server)"
fi

field() { dpkg-deb -f "$1" "$2"; }
contents() { dpkg-deb -c "$1" | awk '$1 ~ /^l/ { print $(NF-2) } $1 ~ /^-/ { print $NF }' | sort | tr '\n' ' '; }
docs() { echo "./usr/share/doc/$1/changelog.gz ./usr/share/doc/$1/copyright"; }

for p in counter-console countctl counter-scpi-server; do
  depends=$(field "$(deb $p)" Depends)
  [ "$(field "$(deb $p)" Architecture)" = "$arch" ] || fail "$p: architecture"
  if [ -n "$qemu" ]; then
    grep -q 'wiringpi (>= 3)' <<<"$depends" || fail "$p does not depend on wiringpi 3: $depends"
  else
    ! grep -q 'wiringpi' <<<"$depends" || fail "$p of the virtual instrument depends on wiringpi: $depends"
  fi
  grep -q 'libc6 (>= 2.34)' <<<"$depends" || fail "$p does not say which glibc: $depends"
  grep -q "counter-common (= $version)" <<<"$depends" || fail "$p does not depend on counter-common: $depends"
  if [ $p = countctl ]; then
    grep -q 'libhdf5-103-1' <<<"$depends" || fail "countctl, which writes HDF5, does not depend on libhdf5: $depends"
  fi
  if [ $p = counter-scpi-server ]; then
    for d in rpcbind libtirpc3 libmicrohttpd12 libjs-dygraphs; do
      grep -q "$d" <<<"$depends" || fail "the server does not depend on $d: $depends"
    done
  else
    ! grep -qE 'rpcbind|tirpc|microhttpd|dygraphs' <<<"$depends" || fail "$p pulls the server's dependencies: $depends"
  fi
done

c="$(docs counter-common) ./usr/lib/tmpfiles.d/counter-console.conf \
./usr/share/doc/counter-common/BENCHMARKS.md ./usr/share/doc/counter-common/README.md \
./usr/share/doc/counter-common/docs/loopback-plug.svg ./usr/share/doc/counter-common/docs/pinout.svg \
./usr/share/doc/counter-common/docs/read-frame.svg ./usr/share/doc/counter-common/docs/tango-taurus-form.png \
./usr/share/doc/counter-common/docs/threshold-scan.png \
./usr/share/doc/counter-common/docs/web-page.png ./usr/share/doc/counter-common/docs/write-frame.svg "
[ "$(contents "$(deb counter-common all)")" = "$(tr ' ' '\n' <<<"$c" | grep . | sort | tr '\n' ' ')" ] ||
  fail "counter-common contents: $(contents "$(deb counter-common all)")"
c="./usr/bin/counter-bus-check ./usr/bin/counter-bus-trace ./usr/bin/counter-console $(docs counter-console) \
./usr/share/man/man1/counter-bus-check.1.gz ./usr/share/man/man1/counter-bus-trace.1.gz ./usr/share/man/man1/counter-console.1.gz"
[ "$(contents "$(deb counter-console)")" = "$(tr ' ' '\n' <<<"$c" | grep . | sort | tr '\n' ' ')" ] ||
  fail "counter-console contents: $(contents "$(deb counter-console)")"
c="./etc/default/counter-acquire ./usr/bin/countctl ./usr/lib/systemd/system/counter-acquire.service \
./usr/share/bash-completion/completions/countctl $(docs countctl) ./usr/share/man/man1/countctl.1.gz"
[ "$(contents "$(deb countctl)")" = "$(tr ' ' '\n' <<<"$c" | grep . | sort | tr '\n' ' ')" ] ||
  fail "countctl contents: $(contents "$(deb countctl)")"
c="./etc/avahi/services/counter-http.service ./etc/avahi/services/counter-lxi.service \
./etc/avahi/services/counter-scpi-raw.service ./etc/avahi/services/counter-vxi11.service \
./etc/default/counter-scpi-server ./usr/bin/counter-scpi-server ./usr/lib/systemd/system/counter-scpi-server.service \
$(docs counter-scpi-server) \
./usr/share/counter-scpi-server/web/app.js ./usr/share/counter-scpi-server/web/index.html \
./usr/share/counter-scpi-server/web/style.css ./usr/share/man/man1/counter-scpi-server.1.gz"
[ "$(contents "$(deb counter-scpi-server)")" = "$(tr ' ' '\n' <<<"$c" | grep . | sort | tr '\n' ' ')" ] ||
  fail "counter-scpi-server contents: $(contents "$(deb counter-scpi-server)")"

if $tango; then
  t=$(deb counter-tango-server)
  depends=$(field "$t" Depends)
  [ "$(field "$t" Architecture)" = "$arch" ] || fail "counter-tango-server: architecture"
  grep -q 'libtango9' <<<"$depends" || fail "counter-tango-server does not depend on libtango9: $depends"
  ! grep -qE 'counter-|countctl|wiringpi|rpcbind|tirpc|microhttpd|tango-db' <<<"$depends" ||
    fail "counter-tango-server pulls in another part: $depends"
  for p in counter-console countctl counter-scpi-server; do
    ! field "$(deb $p)" Depends | grep -q tango || fail "$p pulls Tango in"
  done
  c="./etc/default/counter-tango-server ./usr/bin/counter-tango-server ./usr/lib/tango/counter-tango-server \
./usr/lib/systemd/system/counter-tango-server@.service $(docs counter-tango-server) \
./usr/share/man/man1/counter-tango-server.1.gz"
  [ "$(contents "$t")" = "$(tr ' ' '\n' <<<"$c" | grep . | sort | tr '\n' ' ')" ] ||
    fail "counter-tango-server contents: $(contents "$t")"
  [ "$(dpkg-deb -I "$t" conffiles)" = "/etc/default/counter-tango-server" ] || fail "the Tango server's conffiles"
fi
# The architecture-independent packages: the Python driver and, with Tango, the sandbox.
p=$(deb python3-counting-instrument all)
[ -f "$p" ] || fail "no $p"
grep -q 'python3-numpy' <<<"$(field "$p" Depends)" || fail "the Python package does not depend on numpy: $(field "$p" Depends)"
py=./usr/lib/python3/dist-packages/counting_instrument
c="$(docs python3-counting-instrument) $(for f in python/counting_instrument/*.py; do echo "$py/$(basename "$f")"; done)"
[ "$(contents "$p")" = "$(tr ' ' '\n' <<<"$c" | grep . | sort | tr '\n' ' ')" ] ||
  fail "python3-counting-instrument contents: $(contents "$p")"
if $tango; then
  p=$(deb counter-tango-sandbox all)
  [ -f "$p" ] || fail "no $p"
  for d in python3-tango mariadb-server tango-db; do
    grep -q "$d" <<<"$(field "$p" Depends)" || fail "the sandbox does not depend on $d: $(field "$p" Depends)"
  done
  c="./usr/bin/counter-tango-sandbox $(docs counter-tango-sandbox) ./usr/share/counter-tango-sandbox/tango_control_system.py \
./usr/share/man/man1/counter-tango-sandbox.1.gz"
  [ "$(contents "$p")" = "$(tr ' ' '\n' <<<"$c" | grep . | sort | tr '\n' ' ')" ] ||
    fail "counter-tango-sandbox contents: $(contents "$p")"
fi
[ "$(dpkg-deb -I "$(deb countctl)" conffiles)" = "/etc/default/counter-acquire" ] || fail "countctl's conffiles"
[ "$(dpkg-deb -I "$(deb counter-scpi-server)" conffiles | sort | tr '\n' ' ')" = "/etc/avahi/services/counter-http.service \
/etc/avahi/services/counter-lxi.service /etc/avahi/services/counter-scpi-raw.service \
/etc/avahi/services/counter-vxi11.service /etc/default/counter-scpi-server " ] ||
  fail "the server's conffiles: $(dpkg-deb -I "$(deb counter-scpi-server)" conffiles)"

root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
for d in "$dir"/*.deb; do dpkg -x "$d" "$root"; done
grep -qx 'ExecStart=/usr/bin/counter-scpi-server $COUNTER_SCPI_OPTIONS' "$root/usr/lib/systemd/system/counter-scpi-server.service" ||
  fail "the unit starts $(grep ExecStart "$root/usr/lib/systemd/system/counter-scpi-server.service")"
for f in "$root"/etc/avahi/services/*.service; do xmllint --noout "$f" || fail "$f is not well-formed"; done
for program in "$root"/usr/bin/*; do
  name=$(basename "$program")
  # A script (the sandbox's) has no libraries of its own to check: its package's dependencies are checked above.
  [ "$(head -c 4 "$program")" = $'\x7fELF' ] || { head -1 "$program" | grep -q '^#!' || fail "$name is neither a program nor a script"; continue; }
  dynamic=$(readelf -d "$program")
  ! grep -qE 'RPATH|RUNPATH' <<<"$dynamic" || fail "$name carries a library path: $(grep -E 'RPATH|RUNPATH' <<<"$dynamic")"
  needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' <<<"$dynamic" | sort | tr '\n' ' ')
  for library in $needed; do
    case $library in
      libwiringPi.so | libstdc++.so.6 | libgcc_s.so.1 | libm.so.6 | libc.so.6 | ld-linux-*) ;;
      libtirpc.so.3 | libmicrohttpd.so.12) [ "$name" = counter-scpi-server ] || fail "$name needs $library" ;;
      libhdf5_serial.so.103) [ "$name" = countctl ] || fail "$name needs $library" ;;
      libtango.so.9 | libomniORB4.so.2 | libomnithread.so.4 | libomniDynamic4.so.2) [ "$name" = counter-tango-server ] || fail "$name needs $library" ;;
      *) fail "$name needs $library" ;;
    esac
  done
  if [ "$name" = counter-tango-server ]; then
    ! grep -q 'libwiringPi.so' <<<"$needed" || fail "$name needs libwiringPi.so: it drives no bus"
  elif [ "$name" != counter-bus-trace ] && [ -n "$qemu" ]; then
    grep -q 'libwiringPi.so' <<<"$needed" || fail "$name does not need libwiringPi.so: $needed"
  elif [ -z "$qemu" ]; then
    ! grep -q 'libwiringPi.so' <<<"$needed" || fail "$name of the virtual instrument needs libwiringPi.so"
  fi
  file "$program" | grep -q 'stripped' && ! file "$program" | grep -q 'not stripped' || fail "$name is not stripped"
done

if command -v lintian >/dev/null; then
  for d in "$dir"/*.deb; do
    said=$(lintian --allow-root "$d" 2>&1 || true)
    errors=$(grep '^E:' <<<"$said" || true)
    [ -z "$errors" ] || fail "lintian: $errors"
    ! grep -qE 'no-manual-page|manpage-has-errors' <<<"$said" || fail "lintian: $(grep -E 'manual-page|manpage' <<<"$said")"
  done
else
  echo "lintian missing: not run" >&2
fi

if [ -n "$qemu" ]; then
  run() { COUNTER_BUS_LOCK="$root.bus.lock" LD_LIBRARY_PATH="$standin/lib:$standin/crypt:/usr/$triple/lib" "$qemu" -L "/usr/$triple" "$@"; }
  build_kind='(wiringPi)'
else
  run() { COUNTER_BUS_LOCK="$root.bus.lock" "$@"; }
  build_kind='(virtual instrument)'
fi
out=$(printf '0\n' | run "$root/usr/bin/counter-console" 2>/dev/null) || fail "the console exited with $?"
[ "${out: -16}" = "enter command : " ] || fail "the console said: $out"
run "$root/usr/bin/countctl" --version | grep -qF "$build_kind" || fail "countctl is not the $build_kind build"
run "$root/usr/bin/counter-scpi-server" --version | grep -qF "$build_kind" || fail "the server is not the $build_kind build"
# HDF5, which countctl's description names: a CSV of ours made into HDF5 by the packaged program.
printf '# countctl test\nindex,count\n1,5\n2,-7\n' >"$root/words.csv"
run "$root/usr/bin/countctl" convert "$root/words.csv" "$root/words.h5" || fail "the packaged countctl writes no HDF5"
[ "$(head -c 8 "$root/words.h5" | od -An -c | tr -d ' ')" = '211HDF\r\n032\n' ] || fail "words.h5 is no HDF5 file"
if $tango; then
  grep -qx 'ExecStart=/usr/bin/counter-tango-server %i $COUNTER_TANGO_OPTIONS' \
    "$root/usr/lib/systemd/system/counter-tango-server@.service" || fail "the Tango unit starts something else"
  run "$root/usr/bin/counter-tango-server" --version | grep -qx 'counter-tango-server 1.0.0' ||
    fail "the Tango server does not run"
fi
echo "$dir: $(ls "$dir"/*.deb | wc -l) packages, their contents, dependencies, architecture and binaries as intended; the console runs"
