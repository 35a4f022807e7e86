// Clients that make durable configuration changes as fast as the daemon
// answers, for the change-throughput figures of the end-to-end and tgt
// benchmarks. Each client has a connection of its own and repeats a cycle
// until the deadline:
//  - on targets of its own: create target, create LUN, map, unmap, delete
//    LUN, delete target (each cycle a new target name);
//  - on one shared target (made beforehand by the caller): create LUN, map,
//    unmap, delete LUN, so that every client's changes meet on one target.
// A cycle is never cut in the middle, so a trial leaves the model as it
// found it. A change answered with any code but 0 ends that client.
//
// Thread safety: RunChangeTrial starts and joins its own threads; the load
// description is only read.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace wzbench {

// The steps of a cycle on own targets; a shared-target cycle uses 1 to 4.
constexpr size_t kChangeStepCount = 6;
extern const char* const kChangeSteps[kChangeStepCount];

struct ChangeLoad {
  std::string socket;
  // Targets of client c are "<prefix>-c<c>-<k>"; with sharedTarget set,
  // every client's LUNs go on that target instead.
  std::string prefix;
  std::string sharedTarget;
  // Backing path and mapped host of client c's LUNs.
  std::function<std::string(int client)> lunPath;
  std::function<std::string(int client)> host;
  // Processes whose CPU time per change is reported (-1: none).
  pid_t daemonPid = -1;
  pid_t enginePid = -1;
  // > 0: each client makes exactly this many cycles, whatever the time.
  int cycles = 0;
};

struct ChangeTrial {
  double changesPerSec = 0;                         // answered changes of all clients over the trial's time
  std::vector<double> latencyMs[kChangeStepCount];  // by step
  std::string error;                                // the first client that stopped, and why
  // CPU time per change (ms) of the daemon, the engine and this process's
  // clients, and how busy the machine's CPUs were (0..1); -1 when unknown.
  double daemonCpuMs = -1, engineCpuMs = -1, clientCpuMs = -1, machineBusy = -1;
};

// Runs `clients` clients of the load for `seconds` (then waits for their
// cycles to end).
ChangeTrial RunChangeTrial(const ChangeLoad& load, int clients, double seconds);

// "median latency by step: create target 1.20 ms, ..." over the steps that
// have samples.
std::string StepLatencyText(const std::vector<double> (&latencyMs)[kChangeStepCount]);
// "CPU per change: daemon 0.40 ms, ...; CPUs busy 97%": medians of the
// trials' figures, those that were measured.
std::string CpuText(const std::vector<ChangeTrial>& trials);

}  // namespace wzbench
