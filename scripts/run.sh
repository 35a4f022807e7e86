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

say() { echo "run: $*" >&2; }

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

# Sets one key of the INI configuration file, keeping everything else.
set_conf() {
  python3 - "$CONF" "$1" "$2" "$3" <<'EOF'
import configparser, os, sys
path, section, key, value = sys.argv[1:5]
cp = configparser.ConfigParser(interpolation=None, strict=False)
cp.optionxform = str
if os.path.exists(path):
    cp.read(path)
if not cp.has_section(section):
    cp.add_section(section)
cp.set(section, key, value)
tmp = path + ".run-tmp"
with open(tmp, "w") as f:
    cp.write(f, space_around_delimiters=False)
os.replace(tmp, path)
EOF
}

port_busy() { [ -n "$(ss -Hltn "sport = :$1" 2>/dev/null)" ]; }

DAEMON_PID=""
TGTD_PID=""
READY_FIFO=""
cleanup() {
  trap - EXIT INT TERM
  if [ -n "$DAEMON_PID" ] && kill -0 "$DAEMON_PID" 2>/dev/null; then
    kill -TERM "$DAEMON_PID" 2>/dev/null || true
    wait "$DAEMON_PID" 2>/dev/null || true
  fi
  # tgtd ignores SIGTERM; it holds nothing the state directory does not.
  if [ -n "$TGTD_PID" ] && kill -0 "$TGTD_PID" 2>/dev/null; then
    kill -KILL "$TGTD_PID" 2>/dev/null || true
    wait "$TGTD_PID" 2>/dev/null || true
  fi
  [ -n "$READY_FIFO" ] && rm -f "$READY_FIFO"
}
trap cleanup EXIT
# Ctrl-C reaches the daemon too (same process group); either way it is told
# to stop and the script waits for its clean exit.
trap '[ -n "$DAEMON_PID" ] && kill -TERM "$DAEMON_PID" 2>/dev/null || true' INT TERM

start_tgtd() {
  local port=3260
  while port_busy "$port"; do port=$((port + 1)); done
  mkdir -p "$STATE/tgtd" "$STATE/snapshots"
  rm -f "$STATE/tgtd/sock.0" "$STATE/tgtd/sock.0.lock"
  TGT_IPC_SOCKET=$STATE/tgtd/sock tgtd -f -t 1 -C 0 --iscsi "portal=127.0.0.1:$port" \
    >"$STATE/tgtd/tgtd.log" 2>&1 &
  TGTD_PID=$!
  for _ in $(seq 100); do
    [ -S "$STATE/tgtd/sock.0" ] && break
    kill -0 "$TGTD_PID" 2>/dev/null || break
    sleep 0.1
  done
  if [ ! -S "$STATE/tgtd/sock.0" ]; then
    say "tgtd did not start (log: $STATE/tgtd/tgtd.log):"
    tail -5 "$STATE/tgtd/tgtd.log" >&2 || true
    kill -KILL "$TGTD_PID" 2>/dev/null || true
    TGTD_PID=""
    return 1
  fi
  set_conf Quellport sScsiEngine tgt
  set_conf WzScsiSrvTgt TgtdControlSocket "$STATE/tgtd/sock.0"
  set_conf WzScsiSrvTgt TgtdPortal "127.0.0.1:$port"
  set_conf WzScsiSrvBStorDevSnap SnapshotDir "$STATE/snapshots"
  PORTAL=127.0.0.1:$port
}

# LUNs only on files under <state>/disks (BackingStoreDirs): a client must not
# be able to export any file of this machine.
mkdir -p "$STATE/disks"
set_conf Quellport BackingStoreDirs "$STATE/disks"

DRIVERS=$BUILD/fakes
MODE="the test doubles: the configuration is kept, nothing is exported over iSCSI"
if [ "${WZ_RUN_DOUBLES:-0}" != 1 ] && [ -f "$BUILD/drivers/libWzScsiSrvTgt.so" ] && command -v tgtd >/dev/null; then
  if start_tgtd; then
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
READY_FIFO=$(mktemp -u "${TMPDIR:-/tmp}/wzscsid-ready.XXXXXX")
mkfifo "$READY_FIFO"
"$DAEMON" --state-dir "$STATE" --socket "$SOCKET" --driver-dir "$DRIVERS" --log-level "$LOG_LEVEL" \
  --ready-fd 3 3>"$READY_FIFO" &
DAEMON_PID=$!
if read -r _ <"$READY_FIFO"; then
  cat >&2 <<EOF

  wzscsid is serving on $SOCKET. In another terminal:

    $CTL_CMD target list
    $CTL_CMD --help

  Ctrl-C stops it (and tgtd).

EOF
fi
status=0
while :; do
  wait "$DAEMON_PID" && status=0 || status=$?
  kill -0 "$DAEMON_PID" 2>/dev/null || break
done
DAEMON_PID=""
exit "$status"
