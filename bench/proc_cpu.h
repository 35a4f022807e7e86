// CPU figures of a live process and of the whole machine, from /proc, so
// that a throughput figure can say whether the CPUs or the disk held it
// back (the benchmark machine's few CPUs are shared with other work).
//
// Thread safety: plain functions.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "hostlib/errors/CRnError.h"

namespace wzbench {

struct CpuTimes {
  double processSec = 0;      // user + system time of the process
  double selfSec = 0;         // the same of this (the benchmark's) process
  uint64_t machineBusy = 0;   // ticks of all CPUs neither idle nor waiting for I/O
  uint64_t machineTotal = 0;  // ticks of all CPUs
};

CRnError ReadCpuTimes(pid_t pid, CpuTimes& out);

// What happened between two readings, per unit of work.
struct CpuUse {
  double processMsPer = 0;
  double selfMsPer = 0;
  double machineBusyShare = 0;  // 0..1
};
CpuUse CpuUseBetween(const CpuTimes& before, const CpuTimes& after, double units);

}  // namespace wzbench
