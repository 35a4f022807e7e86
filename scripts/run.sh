#!/usr/bin/env bash
# `make run`: wzscsid in the foreground on a state directory under the
# checkout, until Ctrl-C.
#
#   scripts/run.sh [BUILD_DIR]          (default: build)
#
# With the real drivers built and tgtd installed, a private tgtd is started
# on 127.0.0.1 (portal 3260, or the next free port) with its control socket
# under the state directory, and the engine (tgt) and the driver settings are
# written into the configuration file. Otherwise the test doubles serve, and nothing is
# exported over iSCSI. Environment:
#   WZ_STATE        state directory (default <checkout>/state)
#   WZ_LOG_LEVEL    daemon log level (default 0; 1 shows every request)
#   WZ_RUN_DOUBLES  1: use the test doubles even when tgtd is there
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=$(cd "${1:-build}" && pwd)
STATE=${WZ_STATE:-$ROOT/state}
LOG_LEVEL=${WZ_LOG_LEVEL:-0}
DAEMON=$BUILD/bin/wzscsid
CTL=$BUILD/bin/wzscsictl
RUN_NAME=run
# shellcheck source=scripts/run-common.sh
. "$ROOT/scripts/run-common.sh"

if [ ! -x "$DAEMON" ] || [ ! -x "$CTL" ]; then
  say "$DAEMON or $CTL is missing: build first (make run does)"
  exit 1
fi
mkdir -p "$STATE"
STATE=$(cd "$STATE" && pwd)
CONF=$STATE/wzscsi.conf

# The default socket when /run/wzscsi can be ours; else one in the state
# directory (then every wzscsictl call needs --socket, or WZSCSI_SOCKET).
SOCKET=/run/wzscsi/wzscsid.sock
if ! mkdir -p /run/wzscsi 2>/dev/null || [ ! -w /run/wzscsi ]; then
  SOCKET=$STATE/wzscsid.sock
fi

DAEMON_STARTED_PID=""
TGTD_STARTED_PID=""
cleanup() {
  trap - EXIT INT TERM
  [ -n "$DAEMON_STARTED_PID" ] && stop_pids TERM "$DAEMON_STARTED_PID"
  # tgtd ignores SIGTERM; it holds nothing the state directory does not.
  [ -n "$TGTD_STARTED_PID" ] && stop_pids KILL "$TGTD_STARTED_PID"
  return 0
}
trap cleanup EXIT
# Ctrl-C reaches the daemon too (same process group); either way it is told
# to stop and the script waits for its clean exit.
trap '[ -n "$DAEMON_STARTED_PID" ] && kill -TERM "$DAEMON_STARTED_PID" 2>/dev/null || true' INT TERM

use_tgtd() {
  local port
  port=$(free_port 3260)
  mkdir -p "$STATE/snapshots"
  if ! start_tgtd "$STATE/tgtd" "$port"; then
    say "tgtd did not start (log: $STATE/tgtd/tgtd.log):"
    tail -5 "$STATE/tgtd/tgtd.log" >&2 || true
    return 1
  fi
  set_conf "$CONF" Quellport sScsiEngine tgt
  set_conf "$CONF" WzScsiSrvTgt TgtdControlSocket "$STATE/tgtd/sock.0"
  set_conf "$CONF" WzScsiSrvTgt TgtdPortal "127.0.0.1:$port"
  set_conf "$CONF" WzScsiSrvBStorDevSnap SnapshotDir "$STATE/snapshots"
  PORTAL=127.0.0.1:$port
}

# LUNs only on files under <state>/disks (BackingStoreDirs): a client must not
# be able to export any file of this machine.
mkdir -p "$STATE/disks"
set_conf "$CONF" Quellport BackingStoreDirs "$STATE/disks"

DRIVERS=$BUILD/fakes
MODE="the test doubles: the configuration is kept, nothing is exported over iSCSI"
if [ "${WZ_RUN_DOUBLES:-0}" != 1 ] && [ -f "$BUILD/drivers/libWzScsiSrvTgt.so" ] && command -v tgtd >/dev/null; then
  if use_tgtd; then
    DRIVERS=$BUILD/drivers
    MODE="the real drivers on a private tgtd, iSCSI portal $PORTAL (log $STATE/tgtd/tgtd.log)"
  else
    say "falling back to the test doubles"
  fi
elif [ "${WZ_RUN_DOUBLES:-0}" != 1 ]; then
  say "no real drivers in $BUILD/drivers or no tgtd: using the test doubles"
fi

CTL_CMD=$CTL
[ "$SOCKET" != /run/wzscsi/wzscsid.sock ] && CTL_CMD="$CTL --socket $SOCKET"

say "state directory $STATE (configuration $CONF)"
say "drivers: $MODE"
if start_daemon --state-dir "$STATE" --socket "$SOCKET" --driver-dir "$DRIVERS" --log-level "$LOG_LEVEL"; then
  cat >&2 <<EOF

  wzscsid is serving on $SOCKET. In another terminal:

    $CTL_CMD target list
    $CTL_CMD --help

  Ctrl-C stops it (and tgtd).

EOF
fi
status=0
while :; do
  wait "$DAEMON_STARTED_PID" && status=0 || status=$?
  kill -0 "$DAEMON_STARTED_PID" 2>/dev/null || break
done
DAEMON_STARTED_PID=""
exit "$status"
