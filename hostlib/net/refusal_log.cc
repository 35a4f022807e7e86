#include "hostlib/net/refusal_log.h"

namespace Wzn {

namespace {
const char* const kOtherSources = "other sources";
}

RefusalKind ClassifyRefusal(const std::string& reason) {
  auto starts = [&reason](const char* prefix) { return reason.rfind(prefix, 0) == 0; };
  if (starts("too many connections awaiting authentication from")) return RefusalKind::kPerSource;
  if (starts("too many connections awaiting authentication")) return RefusalKind::kAwaitingAuthentication;
  if (starts("too many connections")) return RefusalKind::kTooManyConnections;
  if (starts("authentication failed: wrong token")) return RefusalKind::kWrongToken;
  if (starts("authentication failed:")) return RefusalKind::kNoHello;
  if (starts("not permitted")) return RefusalKind::kNotPermitted;
  if (starts("TLS handshake failed")) return RefusalKind::kTls;
  return RefusalKind::kOther;
}

const char* RefusalKindName(RefusalKind kind) {
  static const char* const kNames[kRefusalKinds] = {"too_many_connections",
                                                    "awaiting_authentication_full",
                                                    "per_source_limit",
                                                    "wrong_token",
                                                    "no_hello",
                                                    "peer_not_permitted",
                                                    "tls_handshake",
                                                    "other"};
  const auto i = static_cast<size_t>(kind);
  return i < kRefusalKinds ? kNames[i] : "other";
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
