// Counters a monitoring system reads (the "metrics" command, served by
// wzscsid's metrics endpoint): requests by class and reply code, the
// duration of clients' changes and of each of their steps, the engine's
// restarts, listings served, and the process's fsync calls. One table per
// process (the service is loaded once); counting is a few relaxed atomic
// additions, nothing allocated and no lock taken on the request path.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// The steps of a client's change, timed apart so that a slow disk or a slow
// etcd shows apart from the engine.
enum class WzScsiSrvStep {
  ENGINE,  // the work: checks, the driver calls, a removal's record set aside
  RECORD,  // the action log's save, its fsyncs included (a removal: its end)
  COMMIT,  // the same in cluster mode: the etcd commit and the local cache
  TOTAL,   // intake to reply
};

// A reply to a client: its request class (ClassId::number and name) and
// reply code. seconds >= 0: a change, how long it took from intake to the
// reply (the TOTAL step).
void WzScsiSrvCountRequest(int classNumber, const char* className, int64_t code, double seconds);
void WzScsiSrvObserveStep(WzScsiSrvStep step, double seconds);
// A client's change: its work ran from began to worked, aside of it setting
// records aside (a removal's record); its record ran from worked to now.
void WzScsiSrvObserveChangeSteps(bool cluster, std::chrono::steady_clock::time_point began,
                                 std::chrono::steady_clock::time_point worked,
                                 std::chrono::steady_clock::duration aside);
// The engine watch saw a new engine instance (restart), or the engine stop
// answering (the start of an unreachable period).
void WzScsiSrvCountEngineEvent(bool restart);
// An answered listing or status command ("lt", "ll", "status", ...).
void WzScsiSrvCountListing(const char* command);
// "requests=<class> <code> <count>" for every non-zero pair,
// "changeSeconds.<step>.bucket=<le> <cumulative count>" for each bound and
// "+Inf", "changeSeconds.<step>.sum=<seconds>", "changeSeconds.<step>.count=<n>"
// (step: engine, record, commit, total; record or commit only once used,
// record when neither was), the same for "fsyncSeconds.<file|directory>",
// "engine.restarts=<n>", "engine.unreachablePeriods=<n>",
// "listings=<command> <count>".
void WzScsiSrvCounterLines(std::vector<std::string>& lines);
