#!/usr/bin/env bash
# `make run-cluster`: two gateways in cluster mode on this machine, in the
# foreground until Ctrl-C:
#   - a 3-member etcd cluster on 127.0.0.1 (data under the state directory);
#   - gateways a and b, each its own tgtd (portal 3260 and 3261, or the next
#     free ports) and its own wzscsid with its own state directory, both
#     sharing one backing-file directory, as gateways in front of shared
#     storage do.
#
#   scripts/run-cluster.sh [BUILD_DIR]          (default: build)
#
# Environment:
#   WZ_CLUSTER_STATE  state directory (default <checkout>/state-cluster)
#   WZ_CLUSTER_NAME   the cluster's name (default demo)
#   WZ_LOG_LEVEL      daemons' log level (default 1: every request and every
#                     change applied from the cluster)
# The etcd ports are chosen on the first run and kept in <state>/etcd/ports,
# since the members' data remembers them. Every process is stopped by its
# process id.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$(pwd)
BUILD=$(cd "${1:-build}" && pwd)
STATE=${WZ_CLUSTER_STATE:-$ROOT/state-cluster}
NAME=${WZ_CLUSTER_NAME:-demo}
LOG_LEVEL=${WZ_LOG_LEVEL:-1}
DAEMON=$BUILD/bin/wzscsid
CTL=$BUILD/bin/wzscsictl
DRIVERS=$BUILD/drivers
RUN_NAME=run-cluster
# shellcheck source=scripts/run-common.sh
. "$ROOT/scripts/run-common.sh"

[ -x "$DAEMON" ] && [ -x "$CTL" ] || die "$DAEMON or $CTL is missing: build first (make run-cluster does)"
[ -f "$DRIVERS/libWzScsiSrvTgt.so" ] || die "no real drivers in $DRIVERS: a cluster needs the tgt engine"
for p in etcd tgtd tgtadm; do
  command -v "$p" >/dev/null || die "$p is not installed (scripts/install-deps.sh installs it)"
done
[[ "$NAME" =~ ^[A-Za-z0-9._-]+$ ]] || die "WZ_CLUSTER_NAME: letters, digits, '-', '_' and '.' only"

mkdir -p "$STATE/etcd" "$STATE/disks"
STATE=$(cd "$STATE" && pwd)

PIDS_DAEMON=()
PIDS_TGTD=()
PIDS_ETCD=()
cleanup() {
  trap - EXIT INT TERM
  local pid
  stop_pids TERM "${PIDS_DAEMON[@]}"
  # tgtd ignores SIGTERM; it holds nothing the state directories do not.
  stop_pids KILL "${PIDS_TGTD[@]}"
  for pid in "${PIDS_ETCD[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${PIDS_ETCD[@]}"; do
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  say "stopped"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# ---- etcd: three members, ports kept across runs ----
PORTS_FILE=$STATE/etcd/ports
if [ -f "$PORTS_FILE" ]; then
  read -r -a PORTS <"$PORTS_FILE"
  for p in "${PORTS[@]}"; do
    port_busy "$p" && die "port $p of the saved etcd members is taken: stop what uses it, or remove $STATE to start afresh"
  done
else
  PORTS=()
  next=22379
  for _ in 1 2 3 4 5 6; do
    next=$(free_port "$next" "${PORTS[@]}")
    PORTS+=("$next")
    next=$((next + 1))
  done
  echo "${PORTS[*]}" >"$PORTS_FILE"
fi
INITIAL=""
ENDPOINTS=""
for i in 0 1 2; do
  INITIAL+="${INITIAL:+,}m$i=http://127.0.0.1:${PORTS[$((2 * i + 1))]}"
  ENDPOINTS+="${ENDPOINTS:+,}http://127.0.0.1:${PORTS[$((2 * i))]}"
done
for i in 0 1 2; do
  client=${PORTS[$((2 * i))]}
  peer=${PORTS[$((2 * i + 1))]}
  etcd --name "m$i" --data-dir "$STATE/etcd/m$i" \
    --listen-client-urls "http://127.0.0.1:$client" --advertise-client-urls "http://127.0.0.1:$client" \
    --listen-peer-urls "http://127.0.0.1:$peer" --initial-advertise-peer-urls "http://127.0.0.1:$peer" \
    --initial-cluster "$INITIAL" --initial-cluster-state new --initial-cluster-token "wzscsi-$NAME" \
    >"$STATE/etcd/m$i.log" 2>&1 &
  PIDS_ETCD+=($!)
done
say "etcd: waiting for a leader (logs $STATE/etcd/m*.log)"
healthy=0
for _ in $(seq 150); do
  if ETCDCTL_API=3 etcdctl --endpoints="$ENDPOINTS" --command-timeout=1s endpoint health >/dev/null 2>&1; then
    healthy=1
    break
  fi
  sleep 0.2
done
[ "$healthy" = 1 ] || die "etcd did not elect a leader in 30 s; see $STATE/etcd/m*.log"

# ---- gateways: a tgtd and a wzscsid each ----
start_gateway() {
  local gw=$1 portal_from=$2
  local dir=$STATE/gw-$gw
  mkdir -p "$dir/snapshots"
  local port
  port=$(free_port "$portal_from" "${TAKEN_PORTALS[@]}")
  TAKEN_PORTALS+=("$port")
  start_tgtd "$dir/tgtd" "$port" || die "tgtd of gateway $gw did not start (log $dir/tgtd/tgtd.log)"
  PIDS_TGTD+=("$TGTD_STARTED_PID")

  local conf=$dir/wzscsi.conf
  set_conf "$conf" Quellport sScsiEngine tgt
  set_conf "$conf" Quellport BackingStoreDirs "$STATE/disks"
  set_conf "$conf" Quellport ClusterEndpoints "$ENDPOINTS"
  set_conf "$conf" Quellport ClusterName "$NAME"
  set_conf "$conf" WzScsiSrvTgt TgtdControlSocket "$dir/tgtd/sock.0"
  set_conf "$conf" WzScsiSrvTgt TgtdPortal "127.0.0.1:$port"
  set_conf "$conf" WzScsiSrvBStorDevSnap SnapshotDir "$dir/snapshots"

  local ready=0
  start_daemon --state-dir "$dir" --socket "$dir/wzscsid.sock" --driver-dir "$DRIVERS" --log-level "$LOG_LEVEL" \
    --log-file "$dir/wzscsid.log" && ready=1
  PIDS_DAEMON+=("$DAEMON_STARTED_PID")
  [ "$ready" = 1 ] || die "wzscsid of gateway $gw did not start (log $dir/wzscsid.log)"
  eval "PORTAL_$gw=127.0.0.1:$port"
}
TAKEN_PORTALS=()
start_gateway a 3260
start_gateway b 3261

cat >&2 <<EOF

  Cluster "$NAME": etcd $ENDPOINTS
  Backing files of both gateways: $STATE/disks

  gateway a: iSCSI portal $PORTAL_a, log $STATE/gw-a/wzscsid.log
    $CTL --socket $STATE/gw-a/wzscsid.sock status
  gateway b: iSCSI portal $PORTAL_b, log $STATE/gw-b/wzscsid.log
    $CTL --socket $STATE/gw-b/wzscsid.sock status

  A change through either is served by both, for example:
    truncate -s 1G $STATE/disks/disk1.img
    $CTL --socket $STATE/gw-a/wzscsid.sock target create iqn.2024-01.com.example:demo
    $CTL --socket $STATE/gw-a/wzscsid.sock lun create iqn.2024-01.com.example:demo --type blkdev --path $STATE/disks/disk1.img --serial DEMO
    $CTL --socket $STATE/gw-b/wzscsid.sock lun list

  A Linux host with open-iscsi and multipath-tools sees one disk of two
  paths once the LUN is mapped to its initiator name (docs/operations.md,
  "Multipath"), for example (as root on the host; HOST is this machine's
  address as the host reaches it, 127.0.0.1 on this machine itself; the
  portals listen on 127.0.0.1, so from elsewhere forward them first):
    $CTL --socket $STATE/gw-a/wzscsid.sock host map iqn.2024-01.com.example:demo 1 \$(sed -n 's/^InitiatorName=//p' /etc/iscsi/initiatorname.iscsi)
    sed -i 's/^node.session.timeo.replacement_timeout = .*/node.session.timeo.replacement_timeout = 5/' /etc/iscsi/iscsid.conf
    iscsiadm -m node -o new -T iqn.2024-01.com.example:demo -p HOST:${PORTAL_a##*:}
    iscsiadm -m node -o new -T iqn.2024-01.com.example:demo -p HOST:${PORTAL_b##*:}
    iscsiadm -m node -T iqn.2024-01.com.example:demo -l
    multipath -ll      # one map, WWID as 'lun show' gives it, two paths
  (sendtargets discovery answers each gateway's own portal address: make the
  node records by hand as above when that address is not the one you reach.)

  Ctrl-C stops both gateways, their tgtd and etcd.

EOF
# Whichever daemon ends first ends the demonstration.
wait -n "${PIDS_DAEMON[@]}" || true
say "a gateway stopped; stopping the rest"
