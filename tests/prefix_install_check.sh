#!/usr/bin/env bash
# A user's own install: `cmake --install BUILD --prefix DIR` writes under
# DIR only, as a user who is not root (where the test runs as root it drops
# to nobody, when nobody may read the trees: a checkout under root's home,
# mode 0700, is installed as root, its manifest checked alike), and the
# installed server serves the installed page, as the build tree's serves
# the source tree's, each saying so in its log.
# A build without the page says so, from either place.
#   prefix_install_check.sh BUILD_DIR SOURCE_DIR [page|no-page]
set -euo pipefail
build=$1 source=$2 page=${3:-page}
work=$(mktemp -d)
server_pid=
trap '[ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }
command -v curl >/dev/null || { echo "curl is missing (apt-get install curl): not checked"; exit 77; }
[ -x "$build/tools/scpi_server" ] || { echo "no scpi_server in this build: not checked"; exit 77; }
prefix=$work/prefix
mkdir -p "$prefix"
chmod 755 "$work"
as_user=()
nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
if [ "$(id -u)" = 0 ] && ! "${nobody[@]}" test -r "$build/cmake_install.cmake" -a -r "$source/README.md"; then
  echo "nobody cannot read $build and $source (a directory above them is closed to others): installing as $(id -un)"
elif [ "$(id -u)" = 0 ]; then
  chown 65534:65534 "$prefix"
  # cmake --install writes its manifest into the build tree, which a user owns.
  touch "$build/install_manifest.txt"
  chmod 666 "$build/install_manifest.txt"
  as_user=("${nobody[@]}")
fi
"${as_user[@]}" cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 ||
  { cat "$work/install.log"; fail "the install under $prefix"; }
outside=$(grep -v "^$prefix/" "$build/install_manifest.txt" || true)
[ -z "$outside" ] || fail "written outside the prefix: $outside"
[ -f "$prefix/etc/default/counter-scpi-server" ] || fail "no options file in $prefix/etc/default"
[ -f "$prefix/etc/avahi/services/counter-scpi-raw.service" ] || fail "no mDNS announcement in $prefix/etc"

# Each server, with no --web-root, serves the page of where it runs from.
check_page() { # server, the page's directory it must name
  : >"$work/log"
  "$1" --listen 127.0.0.1:0 --http 127.0.0.1:0 --no-vxi11 --spool-dir "$work" 2>"$work/log" &
  server_pid=$!
  for _ in $(seq 100); do grep -q 'the web page on\|no web page' "$work/log" && grep -q "web page's files\|no web page" "$work/log" && break; sleep 0.05; done
  if [ "$page" = no-page ]; then
    grep -q "no web page: this build has none" "$work/log" || fail "$1 does not say it has no page: $(cat "$work/log")"
    kill "$server_pid"
    wait "$server_pid" || true
    server_pid=
    return
  fi
  grep -q "the web page's files are in $2\$" "$work/log" || fail "$1 does not say it serves $2: $(cat "$work/log")"
  port=$(sed -n 's|.*the web page on http://127.0.0.1:\([0-9]*\)/.*|\1|p' "$work/log")
  curl -sf "http://127.0.0.1:$port/" | grep -q '<html' || fail "$1 serves no page on $port"
  kill "$server_pid"
  wait "$server_pid" || true
  server_pid=
}
check_page "$prefix/bin/counter-scpi-server" "$prefix/share/counter-scpi-server/web"
check_page "$build/tools/scpi_server" "$source/tools/scpi_server/web"
echo "installed under $prefix as a user: nothing outside it, and each server serves its own page"
