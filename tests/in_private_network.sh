#!/usr/bin/env bash
# Runs a command in a private network and mount namespace of its own, with
# loopback up, a fresh /run, and a real rpcbind in it (its pid in
# RPCBIND_PID), so that a test registers with an rpcbind nobody else sees.
# Needs root, as CI has; elsewhere the test is skipped (77).
#   in_private_network.sh COMMAND [ARG]...
set -euo pipefail
if [ "${IN_PRIVATE_NETWORK:-}" != 1 ]; then
  [ "$(id -u)" = 0 ] || { echo "a private namespace needs root: not checked"; exit 77; }
  command -v rpcbind >/dev/null || { echo "rpcbind is missing (apt-get install rpcbind): not checked"; exit 77; }
  command -v ip >/dev/null || { echo "ip is missing (apt-get install iproute2): not checked"; exit 77; }
  unshare -n -m true 2>/dev/null || { echo "no namespace can be made here: not checked"; exit 77; }
  IN_PRIVATE_NETWORK=1 exec unshare -n -m "$0" "$@"
fi
ip link set lo up
mount -t tmpfs tmpfs /run
mkdir -p /run/lock /run/rpcbind
rpcbind -w -f &
export RPCBIND_PID=$!
for _ in $(seq 100); do [ -S /run/rpcbind.sock ] && break; sleep 0.05; done
[ -S /run/rpcbind.sock ] || { echo "rpcbind did not start" >&2; exit 1; }
status=0
"$@" || status=$?
kill "$RPCBIND_PID" 2>/dev/null || true
exit $status
