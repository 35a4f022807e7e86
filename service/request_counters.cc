#include "service/request_counters.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kClasses = 64;
constexpr int kCodes = 32;  // codes from 31 on are counted as 31
constexpr int kListings = 8;
// Seconds: a change is a few driver calls and an fsync or an etcd commit.
constexpr double kBounds[] = {0.001, 0.0025, 0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
constexpr int kBuckets = sizeof(kBounds) / sizeof(kBounds[0]);

struct Counters {
  std::atomic<const char*> names[kClasses] = {};
  std::atomic<uint64_t> requests[kClasses][kCodes] = {};
  std::atomic<uint64_t> buckets[kBuckets + 1] = {};  // not cumulative; the last: beyond every bound
  std::atomic<uint64_t> changes{0};
  std::atomic<uint64_t> changeMicros{0};
  std::atomic<const char*> listingNames[kListings] = {};
  std::atomic<uint64_t> listings[kListings] = {};
};

Counters& Table() {
  static Counters counters;
  return counters;
}

std::string Bound(double seconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%g", seconds);
  return text;
}

}  // namespace

void WzScsiSrvCountRequest(int classNumber, const char* className, int64_t code, double seconds) {
  if (classNumber < 0 || classNumber >= kClasses) return;
  Counters& c = Table();
  c.names[classNumber].store(className, std::memory_order_relaxed);
  const int64_t slot = code < 0 ? kCodes - 1 : code >= kCodes ? kCodes - 1 : code;
  c.requests[classNumber][slot].fetch_add(1, std::memory_order_relaxed);
  if (seconds < 0) return;
  int b = 0;
  while (b < kBuckets && seconds > kBounds[b]) ++b;
  c.buckets[b].fetch_add(1, std::memory_order_relaxed);
  c.changeMicros.fetch_add(static_cast<uint64_t>(seconds * 1e6), std::memory_order_relaxed);
  c.changes.fetch_add(1, std::memory_order_relaxed);
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
  for (int k = 0; k < kClasses; ++k) {
    const char* name = c.names[k].load(std::memory_order_relaxed);
    if (name == nullptr) continue;
    for (int code = 0; code < kCodes; ++code) {
      const uint64_t n = c.requests[k][code].load(std::memory_order_relaxed);
      if (n != 0)
        lines.push_back("requests=" + std::string(name) + " " + std::to_string(code) + " " + std::to_string(n));
    }
  }
  uint64_t cumulative = 0;
  for (int b = 0; b <= kBuckets; ++b) {
    cumulative += c.buckets[b].load(std::memory_order_relaxed);
    lines.push_back("changeSeconds.bucket=" + (b < kBuckets ? Bound(kBounds[b]) : std::string("+Inf")) + " " +
                    std::to_string(cumulative));
  }
  char sum[48];
  std::snprintf(sum, sizeof(sum), "%.6f", static_cast<double>(c.changeMicros.load(std::memory_order_relaxed)) / 1e6);
  lines.push_back(std::string("changeSeconds.sum=") + sum);
  lines.push_back("changeSeconds.count=" + std::to_string(c.changes.load(std::memory_order_relaxed)));
  for (int i = 0; i < kListings; ++i) {
    const char* name = c.listingNames[i].load(std::memory_order_relaxed);
    if (name != nullptr)
      lines.push_back("listings=" + std::string(name) + " " +
                      std::to_string(c.listings[i].load(std::memory_order_relaxed)));
  }
}
