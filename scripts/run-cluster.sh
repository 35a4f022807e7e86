#!/usr/bin/env bash
# `make run-cluster`: two gateways in cluster mode on this machine, in the
# foreground until Ctrl-C:
#   - a 3-member etcd cluster on 127.0.0.1 (data under the state directory);
#   - gateways a and b, each its own tgtd (portal 3260 and 3261, or the next
#     free ports) and its own wzscsid with its own state directory, both
#     sharing one backing-file directory, as gateways in front of shared
#     storage do;
#   - when Ceph is installed (ceph-mon, ceph-osd, ceph-common, tgt-rbd): a
#     one-node Ceph cluster (one monitor, one OSD on memstore: its data lives
#     in memory until Ctrl-C) with the pool "rbd", which both gateways may
#     use as the restricted Ceph user client.wzgw, so that both serve the
#     same RBD images: distributed storage behind both gateways.
#
#   scripts/run-cluster.sh [BUILD_DIR]          (default: build)
#
# Environment:
#   WZ_CLUSTER_STATE  state directory (default <checkout>/state-cluster)
#   WZ_CLUSTER_NAME   the cluster's name (default demo)
#   WZ_LOG_LEVEL      daemons' log level (default 1: every request and every
#                     change applied from the cluster)
#   WZ_CLUSTER_RBD    1: Ceph is required; 0: no Ceph; default: Ceph when
#                     installed
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
PIDS_CEPH=()
# term_within SECS PID...: SIGTERM to each PID, then waits up to SECS for
# each; one still running after that is killed.
term_within() {
  local secs=$1 pid
  shift
  for pid in "$@"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "$@"; do
    for _ in $(seq $((secs * 20))); do kill -0 "$pid" 2>/dev/null || break; sleep 0.05; done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
}
# etcd stops cleanly on SIGTERM, but a leader first hands its leadership to
# the member it was connected to longest and waits for that member up to
# 7 s, so it must not be stopped with the others: each round stops the
# current leader alone, which hands over at once to a live member, and the
# last member has nobody to hand over to.
stop_etcd() {
  local live=() next i endpoints leader
  for i in "${!PIDS_ETCD[@]}"; do live+=("$i"); done
  while [ ${#live[@]} -gt 0 ]; do
    endpoints=""
    for i in "${live[@]}"; do endpoints+="${endpoints:+,}http://127.0.0.1:${PORTS[$((2 * i))]}"; done
    # "endpoint, id, version, size, is leader, ..."
    leader=$(ETCDCTL_API=3 etcdctl --endpoints="$endpoints" --dial-timeout=500ms --command-timeout=1s \
      endpoint status 2>/dev/null | awk -F', ' '$5 == "true" { print $1; exit }')
    next=()
    for i in "${live[@]}"; do
      if [ "$leader" = "http://127.0.0.1:${PORTS[$((2 * i))]}" ]; then
        term_within 10 "${PIDS_ETCD[$i]}"
      else
        next+=("$i")
      fi
    done
    if [ ${#next[@]} -eq ${#live[@]} ]; then
      # No leader (no quorum, or one member left): nobody to hand over to.
      next=()
      for i in "${live[@]}"; do next+=("${PIDS_ETCD[$i]}"); done
      term_within 10 "${next[@]}"
      next=()
    fi
    live=("${next[@]}")
  done
}
cleanup() {
  trap - EXIT INT TERM
  local pid
  stop_pids TERM "${PIDS_DAEMON[@]}"
  # tgtd ignores SIGTERM; it holds nothing the state directories do not.
  stop_pids KILL "${PIDS_TGTD[@]}"
  for pid in "${PIDS_CEPH[@]}"; do term_within 10 "$pid"; done
  stop_etcd
  say "stopped"
}
trap cleanup EXIT
# Ctrl-C reaches this script, the gateways and their tgtd (the terminal's
# process group); etcd and Ceph run in sessions of their own, so that they
# are stopped in order and only after the gateways. A stop asked for is a
# success.
trap 'exit 0' INT
trap 'exit 143' TERM

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
  setsid etcd --name "m$i" --data-dir "$STATE/etcd/m$i" \
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

# ---- Ceph: one monitor and one memstore OSD, when installed ----
RBD=${WZ_CLUSTER_RBD:-auto}
if [ "$RBD" != 0 ]; then
  missing=""
  for p in ceph-mon ceph-osd ceph-authtool monmaptool ceph rbd uuidgen; do
    command -v "$p" >/dev/null || missing+=" $p"
  done
  [ -f /usr/lib/tgt/backing-store/bs_rbd.so ] || missing+=" tgt-rbd"
  if [ -n "$missing" ]; then
    [ "$RBD" = 1 ] && die "WZ_CLUSTER_RBD=1 but Ceph is not installed (missing:$missing)"
    say "Ceph is not installed (missing:$missing): the gateways share files only"
    RBD=0
  fi
fi
if [ "$RBD" != 0 ]; then
  CEPH=$STATE/ceph
  rm -rf "${CEPH:?}"  # memstore: nothing of a former run survives anyway
  mkdir -p "$CEPH/mon.a" "$CEPH/osd.0" "$CEPH/run" "$CEPH/log"
  MON_PORT=$(free_port 23300 "${PORTS[@]}")
  MON_V1=$(free_port $((MON_PORT + 1)) "${PORTS[@]}" "$MON_PORT")
  FSID=$(uuidgen)
  MON_ADDR="[v2:127.0.0.1:$MON_PORT,v1:127.0.0.1:$MON_V1]"
  {
    echo "[global]"
    echo "fsid = $FSID"
    echo "mon host = $MON_ADDR"
    echo "public addr = 127.0.0.1"
    echo "ms bind port min = 23400"
    echo "ms bind port max = 23499"
    echo "auth cluster required = cephx"
    echo "auth service required = cephx"
    echo "auth client required = cephx"
    echo "keyring = $CEPH/keyring"
    echo "run dir = $CEPH/run"
    echo "admin socket = $CEPH/run/\$name.\$pid.asok"
    echo "log file = $CEPH/log/\$name.log"
    echo "osd pool default size = 1"
    echo "osd pool default min size = 1"
    echo "osd pool default pg num = 8"
    echo "osd pool default pgp num = 8"
    echo "osd pool default pg autoscale mode = off"
    echo "osd crush chooseleaf type = 0"
    echo "mon allow pool size one = true"
    echo "mon warn on pool no redundancy = false"
    echo "paxos propose interval = 0.05"
    echo "[mon]"
    echo "mon data = $CEPH/mon.\$id"
    echo "[osd]"
    echo "osd data = $CEPH/osd.\$id"
    echo "keyring = $CEPH/osd.\$id/keyring"
    echo "osd objectstore = memstore"
    echo "memstore device bytes = 2147483648"
    echo "[client.wzgw]"
    echo "keyring = $CEPH/client.wzgw.keyring"
  } >"$CEPH/ceph.conf"
  export CEPH_CONF=$CEPH/ceph.conf
  ceph-authtool --create-keyring "$CEPH/keyring" --gen-key -n mon. --cap mon 'allow *' >/dev/null
  ceph-authtool "$CEPH/keyring" --gen-key -n client.admin --cap mon 'allow *' --cap osd 'allow *' >/dev/null
  monmaptool --create --fsid "$FSID" --addv a "$MON_ADDR" "$CEPH/monmap" >/dev/null
  ceph-mon --mkfs -i a --monmap "$CEPH/monmap" --keyring "$CEPH/keyring" >"$CEPH/log/mkfs.log" 2>&1 ||
    die "ceph-mon --mkfs failed (log $CEPH/log/mkfs.log)"
  setsid ceph-mon -f -i a >"$CEPH/log/mon.out" 2>&1 &
  MON_PID=$!
  PIDS_CEPH=("$MON_PID")
  CEPH_CLI=(ceph --connect-timeout 20)
  "${CEPH_CLI[@]}" mon stat >/dev/null || die "the Ceph monitor did not answer (logs $CEPH/log/)"
  OSD_UUID=$(uuidgen)
  OSD_KEY=$(ceph-authtool --gen-print-key)
  printf '{"cephx_secret": "%s"}' "$OSD_KEY" >"$CEPH/osd.0/new.json"
  OSD_ID=$("${CEPH_CLI[@]}" osd new "$OSD_UUID" -i "$CEPH/osd.0/new.json")
  rm "$CEPH/osd.0/new.json"
  printf '[osd.%s]\n\tkey = %s\n' "$OSD_ID" "$OSD_KEY" >"$CEPH/osd.0/keyring"
  ceph-osd -i "$OSD_ID" --mkfs --osd-uuid "$OSD_UUID" >"$CEPH/log/osd-mkfs.log" 2>&1 ||
    die "ceph-osd --mkfs failed (log $CEPH/log/osd-mkfs.log)"
  setsid ceph-osd -f -i "$OSD_ID" >"$CEPH/log/osd.out" 2>&1 &
  # The OSD first when stopping: it tells the monitor it is going.
  PIDS_CEPH=($! "$MON_PID")
  up=0
  for _ in $(seq 150); do
    if "${CEPH_CLI[@]}" osd stat 2>/dev/null | grep -q ' 1 up'; then
      up=1
      break
    fi
    sleep 0.2
  done
  [ "$up" = 1 ] || die "the Ceph OSD did not come up in 30 s (logs $CEPH/log/)"
  "${CEPH_CLI[@]}" osd pool create rbd >/dev/null 2>&1
  rbd pool init rbd
  "${CEPH_CLI[@]}" auth get-or-create client.wzgw mon 'profile rbd' osd 'profile rbd pool=rbd' \
    -o "$CEPH/client.wzgw.keyring"
  say "Ceph: monitor 127.0.0.1:$MON_PORT, pool rbd, gateway user client.wzgw (CEPH_CONF=$CEPH/ceph.conf)"
fi

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
  if [ "$RBD" != 0 ]; then
    set_conf "$conf" Quellport RbdConfFile "$CEPH/ceph.conf"
    set_conf "$conf" Quellport RbdUser wzgw
    set_conf "$conf" Quellport RbdPools rbd
  fi

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
if [ "$RBD" != 0 ]; then
  cat >&2 <<EOF
  Both gateways serve the same Ceph RBD images (pool rbd, CEPH_CONF=$CEPH/ceph.conf):
    $CTL --socket $STATE/gw-a/wzscsid.sock target create iqn.2024-01.com.example:ceph
    $CTL --socket $STATE/gw-a/wzscsid.sock lun create iqn.2024-01.com.example:ceph --type rbd --image rbd/disk1 --size 1G --serial CEPH
    $CTL --socket $STATE/gw-b/wzscsid.sock lun show iqn.2024-01.com.example:ceph
  Ctrl-C stops Ceph too; its data lives in the OSD's memory.

EOF
fi
# Whichever daemon ends first ends the demonstration.
wait -n "${PIDS_DAEMON[@]}" || true
say "a gateway stopped; stopping the rest"
