#!/usr/bin/env bash
# `make bench`: runs the benchmarks of a build and prints one summary table.
#   scripts/bench.sh [BUILD]     (default build)
# 1. the micro-benchmarks (wz_micro_bench), three repetitions, medians;
# 2. the end-to-end tool (wz_e2e_bench): wzscsid with the driver doubles:
#    durable changes/s with 1, 4 and 16 clients and 16 on one target beside
#    the disk's 1, 4 and 16-stream rates, replay, listing, and one client's
#    latency and the daemon's memory under overload, and the daemon's
#    instructions per change under callgrind (skipped without valgrind);
# 3. the tgt-engine benchmark (wz_tgt_bench): wzscsid with the real drivers
#    on a private tgtd against tgt-admin -e on another, changes/s with 1, 4
#    and 16 clients, the replay, and the reconcile (on request, and the
#    rebuild after a tgtd restart under the running wzscsid);
# 4. the tgt driver alone (wz_tgt_driver_bench): calls for 16 targets from 16
#    threads, serialised and in parallel, and ListOwned of 1,000 targets;
# 5. the etcd client (wz_etcd_bench) against a private 3-member etcd cluster;
# 6. cluster mode (wz_cluster_bench): two gateways, each wzscsid on its own
#    tgtd, on a private 3-member etcd next to a gateway in local mode:
#    changes/s and change latency in both modes, and the propagation delay
#    from one gateway's reply to the other's engine, the revocation delay
#    (normal and after a half-open watch) and the resync of 10,000 objects;
# 7. multipath (wz_multipath_bench): the Linux initiator with multipathd in
#    the QEMU guest on two cluster gateways: the I/O pause of 3 kills of a
#    gateway's tgtd (p50, max) and the time from its return until its path
#    is active again; it skips, saying why, without QEMU or the test kernel;
# 8. LUNs on Ceph RBD (wz_rbd_bench): create+delete cycles through wzscsid on
#    a private one-node Ceph cluster, with 1 and 4 clients, next to file LUNs
#    and the Ceph CLI's own rbd create + rbd rm (BUILD/bench-out/rbd.json;
#    skipped without Ceph);
# then writes the merged figures to BUILD/bench-results.json. The raw outputs
# stay in BUILD/bench-out/. A missed target does not fail the run; a tool
# that is missing or could not measure something is reported in the table
# and makes the exit status 1.
#   BENCH_QUICK=1   shorter trials (a smoke run, figures less stable)
#   BENCH_SCALE=1   the replay of 10,000 targets + 100,000 LUNs + 100,000
#                   mappings too (its log takes 0.5 to 2 minutes to write,
#                   and each of its 3 restarts 5 to 20 s)
set -uo pipefail
cd "$(dirname "$0")/.."

BUILD=${1:-build}
BIN="$BUILD/bin"
OUT="$BUILD/bench-out"
mkdir -p "$OUT"
rm -f "$OUT"/*.json
status=0

micro_args=(--benchmark_repetitions=3 --benchmark_report_aggregates_only=true)
e2e_args=()
tgt_args=()
driver_args=()
etcd_args=()
cluster_args=()
rbd_args=()
if [ "${BENCH_QUICK:-0}" = "1" ]; then
  micro_args=(--benchmark_min_time=0.1)
  e2e_args=(--trials 2 --trial-seconds 1 --replay-runs 1 --list-runs 2 --overload-requests 1000 --flood-frames 400
    --instruction-cycles 25)
  tgt_args=(--targets 200 --change-trials 1 --trial-seconds 1 --restarts 1 --reconcile-runs 2)
  driver_args=(--rounds 10 --list-targets 200)
  etcd_args=(--ops 200)
  cluster_args=(--trials 1 --trial-seconds 1 --samples 50 --half-open-samples 3 --resync-objects 2000)
  rbd_args=(--cycles 5)
fi
if [ "${BENCH_SCALE:-0}" = "1" ]; then
  e2e_args+=(--replay-targets 1000,10000)
fi

if [ -x "$BIN/wz_micro_bench" ]; then
  echo "bench: micro-benchmarks" >&2
  "$BIN/wz_micro_bench" "${micro_args[@]}" \
    --benchmark_out="$OUT/micro.json" --benchmark_out_format=json >&2 || status=1
else
  echo "bench: $BIN/wz_micro_bench is missing (a build with tests and benchmarks makes it)" >&2
  status=1
fi

if [ -x "$BIN/wz_e2e_bench" ]; then
  echo "bench: end to end" >&2
  "$BIN/wz_e2e_bench" "${e2e_args[@]}" --work-dir "$OUT" --json "$OUT/e2e.json" >&2 || status=1
else
  echo "bench: $BIN/wz_e2e_bench is missing (a build with the apps makes it)" >&2
  status=1
fi

if [ -x "$BIN/wz_tgt_bench" ]; then
  echo "bench: the tgt engine against tgt-admin" >&2
  "$BIN/wz_tgt_bench" "${tgt_args[@]}" --work-dir "$OUT" --json "$OUT/tgt.json" >&2 || status=1
else
  echo "bench: $BIN/wz_tgt_bench is missing (a build with the apps, the real drivers and libiscsi makes it)" >&2
  status=1
fi

if [ -x "$BIN/wz_tgt_driver_bench" ]; then
  echo "bench: the tgt driver alone" >&2
  "$BIN/wz_tgt_driver_bench" "${driver_args[@]}" --work-dir "$OUT" --json "$OUT/tgt_driver.json" >&2 || status=1
else
  echo "bench: $BIN/wz_tgt_driver_bench is missing (a build with the real drivers makes it)" >&2
fi
if [ -x "$BIN/wz_etcd_bench" ]; then
  echo "bench: the etcd client" >&2
  "$BIN/wz_etcd_bench" "${etcd_args[@]}" --json "$OUT/etcd.json" >&2 || status=1
else
  echo "bench: $BIN/wz_etcd_bench is missing (a build with tests makes it)" >&2
  status=1
fi

if [ -x "$BIN/wz_cluster_bench" ]; then
  echo "bench: cluster mode" >&2
  "$BIN/wz_cluster_bench" "${cluster_args[@]}" --work-dir "$OUT" --json "$OUT/cluster.json" >&2 || status=1
else
  echo "bench: $BIN/wz_cluster_bench is missing (a build with the apps, the real drivers, libiscsi and tests makes it)" >&2
  status=1
fi

if [ -x "$BIN/wz_multipath_bench" ]; then
  echo "bench: multipath in the QEMU guest (skips, saying why, without QEMU or the test kernel)" >&2
  "$BIN/wz_multipath_bench" --kills 3 --work-dir "$OUT" --json "$OUT/multipath.json" >&2 || status=1
else
  echo "bench: $BIN/wz_multipath_bench is missing (a build with the apps, the real drivers, libiscsi and tests makes it)" >&2
fi

if [ -x "$BIN/wz_rbd_bench" ]; then
  echo "bench: LUNs on Ceph RBD, next to file LUNs and the Ceph CLI" >&2
  "$BIN/wz_rbd_bench" "${rbd_args[@]}" --work-dir "$OUT" --json "$OUT/rbd.json" >&2 || status=1
else
  echo "bench: $BIN/wz_rbd_bench is missing (a build with librbd, the apps and the real drivers makes it)" >&2
fi

python3 bench/summarize.py --micro "$OUT/micro.json" --e2e "$OUT/e2e.json" --tgt "$OUT/tgt.json" \
  --tgt-driver "$OUT/tgt_driver.json" --etcd "$OUT/etcd.json" --cluster "$OUT/cluster.json" --multipath "$OUT/multipath.json" \
  --rbd "$OUT/rbd.json" --out "$BUILD/bench-results.json" || status=1
exit $status
