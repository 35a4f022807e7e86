#include "hostlib/util/wz_latency.h"

#include <cstdio>

void WzLatencyHistogram::Observe(double seconds) {
  if (!(seconds >= 0)) seconds = 0;  // a clock step back or a NaN counts as instant
  int b = 0;
  while (b < kBuckets && seconds > kBounds[b]) ++b;
  m_buckets[b].fetch_add(1, std::memory_order_relaxed);
  m_micros.fetch_add(static_cast<uint64_t>(seconds * 1e6), std::memory_order_relaxed);
}

uint64_t WzLatencyHistogram::Count() const {
  uint64_t n = 0;
  for (const auto& bucket : m_buckets) n += bucket.load(std::memory_order_relaxed);
  return n;
}

void WzLatencyHistogram::Lines(const std::string& prefix, std::vector<std::string>& lines) const {
  char text[64];
  uint64_t cumulative = 0;
  for (int b = 0; b <= kBuckets; ++b) {
    cumulative += m_buckets[b].load(std::memory_order_relaxed);
    if (b < kBuckets)
      std::snprintf(text, sizeof(text), "%g", kBounds[b]);
    else
      std::snprintf(text, sizeof(text), "+Inf");
    lines.push_back(prefix + ".bucket=" + text + " " + std::to_string(cumulative));
  }
  std::snprintf(text, sizeof(text), "%.6f", static_cast<double>(m_micros.load(std::memory_order_relaxed)) / 1e6);
  lines.push_back(prefix + ".sum=" + text);
  lines.push_back(prefix + ".count=" + std::to_string(cumulative));
}

namespace RnFileSystem {

WzLatencyHistogram& FsyncLatency(bool directory) {
  static WzLatencyHistogram files, directories;
  return directory ? directories : files;
}

}  // namespace RnFileSystem
