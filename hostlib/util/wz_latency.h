// Latency histograms a request path can feed on every call: fixed bounds, one
// relaxed atomic addition per bucket, the count and the sum; no lock, nothing
// allocated. Read rarely (the service's "metrics" command); the count read is
// the buckets' total, so it always matches the "+Inf" bucket.
//
// Thread safety: Observe and Lines may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"

class WZ_EXPORT WzLatencyHistogram {
 public:
  // Seconds, from a fast fsync or a driver call on an idle machine to a
  // stalled disk or a slow etcd.
  static constexpr double kBounds[] = {0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01, 0.025,
                                       0.05,   0.1,     0.25,   0.5,   1,      2.5,   5,    10};
  static constexpr int kBuckets = sizeof(kBounds) / sizeof(kBounds[0]);

  void Observe(double seconds);
  void ObserveSince(std::chrono::steady_clock::time_point began) {
    Observe(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count());
  }
  uint64_t Count() const;
  // "<prefix>.bucket=<le> <cumulative count>" for each bound and "+Inf",
  // "<prefix>.sum=<seconds>", "<prefix>.count=<n>".
  void Lines(const std::string& prefix, std::vector<std::string>& lines) const;

 private:
  std::atomic<uint64_t> m_buckets[kBuckets + 1] = {};  // not cumulative; the last: beyond every bound
  std::atomic<uint64_t> m_micros{0};
};

// The process's fsync calls through the file seam (RnFiles.h): of files, and
// of directories (the entries a rename or a new file made).
namespace RnFileSystem {
WZ_EXPORT WzLatencyHistogram& FsyncLatency(bool directory);
}  // namespace RnFileSystem
