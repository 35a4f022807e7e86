// Counters a monitoring system reads (the "metrics" command, served by
// wzscsid's metrics endpoint): requests by class and reply code, the
// duration of clients' changes, listings served. One table per process (the
// service is loaded once); counting is a few relaxed atomic additions,
// nothing allocated and no lock taken on the request path.
//
// Thread safety: every function may be called from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A reply to a client: its request class (ClassId::number and name) and
// reply code. seconds >= 0: a change, how long it took from intake to the
// reply (the engine step and the record included).
void WzScsiSrvCountRequest(int classNumber, const char* className, int64_t code, double seconds);
// An answered listing or status command ("lt", "ll", "status", ...).
void WzScsiSrvCountListing(const char* command);
// "requests=<class> <code> <count>" for every non-zero pair,
// "changeSeconds.bucket=<le> <cumulative count>" for each bound and "+Inf",
// "changeSeconds.sum=<seconds>", "changeSeconds.count=<n>",
// "listings=<command> <count>".
void WzScsiSrvCounterLines(std::vector<std::string>& lines);
