#include "hostlib/net/refusal_log.h"

namespace Wzn {

namespace {
const char* const kOtherSources = "other sources";
}

CRefusalLog::CRefusalLog(std::chrono::seconds interval, size_t maxSources)
    : m_interval(interval), m_maxSources(maxSources) {}

std::string CRefusalLog::Summary(const std::string& source, const Window& w) const {
  return "Refused " + std::to_string(w.suppressed) + " more connection" + (w.suppressed == 1 ? "" : "s") + " from " +
         source + " in the last " + std::to_string(m_interval.count()) + " s (last: " + w.lastReason + ")";
}

std::vector<std::string> CRefusalLog::Note(const std::string& source, const std::string& reason,
                                           Clock::time_point now) {
  std::vector<std::string> lines;
  std::string key = source;
  auto it = m_sources.find(key);
  if (it == m_sources.end() && m_sources.size() >= m_maxSources) {
    key = kOtherSources;
    it = m_sources.find(key);
  }
  if (it != m_sources.end() && now - it->second.start < m_interval) {
    ++it->second.suppressed;
    it->second.lastReason = reason;
    return lines;
  }
  if (it != m_sources.end() && it->second.suppressed > 0) lines.push_back(Summary(key, it->second));
  Window& w = m_sources[key];
  w.start = now;
  w.suppressed = 0;
  w.lastReason = reason;
  lines.push_back("Refused a connection from " + source + ": " + reason);
  return lines;
}

std::vector<std::string> CRefusalLog::Flush(Clock::time_point now, bool atEnd) {
  std::vector<std::string> lines;
  for (auto it = m_sources.begin(); it != m_sources.end();) {
    if (!atEnd && now - it->second.start < m_interval) {
      ++it;
      continue;
    }
    if (it->second.suppressed > 0) lines.push_back(Summary(it->first, it->second));
    it = m_sources.erase(it);
  }
  return lines;
}

}  // namespace Wzn
