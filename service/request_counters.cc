#include "service/request_counters.h"

#include <atomic>
#include <cstring>

#include "hostlib/util/wz_latency.h"

namespace {

constexpr int kClasses = 64;
constexpr int kOther = kClasses;  // the slot after the classes
constexpr int kCodes = 32;        // codes from 31 on are counted as 31
constexpr int kListings = 8;
constexpr const char* kStepNames[] = {"engine", "record", "commit", "total"};
constexpr int kSteps = sizeof(kStepNames) / sizeof(kStepNames[0]);

struct Counters {
  std::atomic<const char*> names[kClasses + 1] = {};
  std::atomic<uint64_t> requests[kClasses + 1][kCodes] = {};
  WzLatencyHistogram steps[kSteps];
  std::atomic<uint64_t> engineRestarts{0};
  std::atomic<uint64_t> engineUnreachable{0};
  std::atomic<const char*> listingNames[kListings] = {};
  std::atomic<uint64_t> listings[kListings] = {};
};

Counters& Table() {
  static Counters counters;
  return counters;
}

}  // namespace

void WzScsiSrvCountRequest(int classNumber, const char* className, int64_t code, double seconds) {
  Counters& c = Table();
  // What is no request of this service is counted as one class of its own.
  const bool known = classNumber >= 0 && classNumber < kClasses && className != nullptr;
  const int k = known ? classNumber : kOther;
  c.names[k].store(known ? className : "other", std::memory_order_relaxed);
  const int64_t slot = code < 0 ? kCodes - 1 : code >= kCodes ? kCodes - 1 : code;
  c.requests[k][slot].fetch_add(1, std::memory_order_relaxed);
  if (seconds >= 0) WzScsiSrvObserveStep(WzScsiSrvStep::TOTAL, seconds);
}

void WzScsiSrvObserveStep(WzScsiSrvStep step, double seconds) {
  Table().steps[static_cast<int>(step)].Observe(seconds);
}

void WzScsiSrvObserveChangeSteps(bool cluster, std::chrono::steady_clock::time_point began,
                                 std::chrono::steady_clock::time_point worked,
                                 std::chrono::steady_clock::duration aside) {
  using Seconds = std::chrono::duration<double>;
  const Seconds record = std::chrono::steady_clock::now() - worked + aside;
  WzScsiSrvObserveStep(WzScsiSrvStep::ENGINE, Seconds(worked - began - aside).count());
  WzScsiSrvObserveStep(cluster ? WzScsiSrvStep::COMMIT : WzScsiSrvStep::RECORD, record.count());
}

void WzScsiSrvCountEngineEvent(bool restart) {
  Counters& c = Table();
  (restart ? c.engineRestarts : c.engineUnreachable).fetch_add(1, std::memory_order_relaxed);
}

void WzScsiSrvCountListing(const char* command) {
  Counters& c = Table();
  for (int i = 0; i < kListings; ++i) {
    const char* name = c.listingNames[i].load(std::memory_order_relaxed);
    // The commands are string literals of one table: the first use claims a slot.
    if (name == nullptr && c.listingNames[i].compare_exchange_strong(name, command)) name = command;
    if (name == command || (name != nullptr && std::strcmp(name, command) == 0)) {
      c.listings[i].fetch_add(1, std::memory_order_relaxed);
      return;
    }
  }
}

void WzScsiSrvCounterLines(std::vector<std::string>& lines) {
  Counters& c = Table();
  for (int k = 0; k <= kClasses; ++k) {
    const char* name = c.names[k].load(std::memory_order_relaxed);
    if (name == nullptr) continue;
    for (int code = 0; code < kCodes; ++code) {
      const uint64_t n = c.requests[k][code].load(std::memory_order_relaxed);
      if (n != 0)
        lines.push_back("requests=" + std::string(name) + " " + std::to_string(code) + " " + std::to_string(n));
    }
  }
  // A gateway records in one place: the other one's series stays out.
  const auto record = static_cast<int>(WzScsiSrvStep::RECORD), commit = static_cast<int>(WzScsiSrvStep::COMMIT);
  const bool committed = c.steps[commit].Count() != 0;
  for (int s = 0; s < kSteps; ++s) {
    if ((s == record && committed && c.steps[record].Count() == 0) || (s == commit && !committed)) continue;
    c.steps[s].Lines(std::string("changeSeconds.") + kStepNames[s], lines);
  }
  RnFileSystem::FsyncLatency(false).Lines("fsyncSeconds.file", lines);
  RnFileSystem::FsyncLatency(true).Lines("fsyncSeconds.directory", lines);
  lines.push_back("engine.restarts=" + std::to_string(c.engineRestarts.load(std::memory_order_relaxed)));
  lines.push_back("engine.unreachablePeriods=" + std::to_string(c.engineUnreachable.load(std::memory_order_relaxed)));
  for (int i = 0; i < kListings; ++i) {
    const char* name = c.listingNames[i].load(std::memory_order_relaxed);
    if (name != nullptr)
      lines.push_back("listings=" + std::string(name) + " " +
                      std::to_string(c.listings[i].load(std::memory_order_relaxed)));
  }
}
