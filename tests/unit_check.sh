#!/usr/bin/env bash
# The SCPI server's systemd unit passes `systemd-analyze verify`, with its
# ExecStart pointed at the server of this build.
#   unit_check.sh UNIT_FILE SERVER
set -euo pipefail
command -v systemd-analyze >/dev/null || { echo "systemd-analyze is missing (apt-get install systemd): not checked"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sed "s|/usr/bin/counter-scpi-server|$2|" "$1" >"$work/$(basename "$1")"
systemd-analyze verify --man=no "$work/$(basename "$1")"
echo "$(basename "$1") verifies"
