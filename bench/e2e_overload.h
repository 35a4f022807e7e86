// The overload part of the end-to-end benchmark: what one well-behaved client
// sees, and what the daemon holds in memory, while other clients flood it.
//
//  - p99 latency of one client's "lt", one request at a time, while 15
//    clients pipeline "lt" requests without reading their replies (each
//    reconnects and starts again once the daemon stops reading it, so the
//    pressure lasts the whole measurement);
//  - the daemon's peak resident memory (VmHWM) under a flood of 1 MiB
//    frames: clients that never read and clients that read in batches;
//  - the same with 16 clients that ask for the largest detailed listing
//    (12 targets with 1 MB descriptions) and never read it.
//
// Thread safety: one call at a time; it starts and joins its own threads.
#pragma once

#include <vector>

#include "bench/bench_stats.h"
#include "bench/e2e_daemon.h"

namespace wzbench {

struct OverloadOptions {
  int latencyRequests = 3000;  // the well-behaved client's timed requests
  int floodFrames = 1000;      // 1 MiB frames sent in all
};

// Appends the figures (or why one could not be measured; ok is then false).
void MeasureOverload(const OverloadOptions& options, const DaemonSetup& setup, std::vector<Figure>& figures, bool& ok);

}  // namespace wzbench
