// Keeps refused connections from flooding the log: a peer that fails its
// authentication a thousand times a second must not fill the disk that also
// holds the saved configuration. The first refusal of a source in an
// interval is logged at once; later ones in the same interval are counted
// and reported as one line when the interval has passed.
//
// A source is what identifies the peer across connections: the address of a
// TCP peer (without its port), the uid of a Unix-socket peer. The number of
// sources tracked is bounded; refusals of further sources in an interval are
// counted together under "other sources".
//
// Thread safety: none; the network server guards it with a lock. Time is
// passed in, so that the rule can be tested without waiting.
#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <vector>

namespace Wzn {

// Why a connection was refused, in the few kinds a monitoring system counts
// (wzscsid's metrics name them with RefusalKindName).
enum class RefusalKind {
  kTooManyConnections,      // the connection limit of the listener
  kAwaitingAuthentication,  // every place for a peer yet to authenticate is taken
  kPerSource,               // the places of one source awaiting authentication are taken
  kWrongToken,
  kNoHello,       // no hello frame first, or none in time
  kNotPermitted,  // a Unix-socket peer of another uid outside the group
  kTls,           // the TLS handshake failed
  kOther,         // anything else before authentication (a bad frame, ...)
};
constexpr size_t kRefusalKinds = static_cast<size_t>(RefusalKind::kOther) + 1;
// The kind of a refusal from its reason, as the server words it.
RefusalKind ClassifyRefusal(const std::string& reason);
const char* RefusalKindName(RefusalKind kind);

class CRefusalLog {
 public:
  using Clock = std::chrono::steady_clock;

  CRefusalLog(std::chrono::seconds interval, size_t maxSources);

  // Records one refusal; returns the lines to log now (none while the
  // source's interval runs, else the refusal itself, preceded by the summary
  // of the interval that ended).
  std::vector<std::string> Note(const std::string& source, const std::string& reason, Clock::time_point now);
  // Summaries of the intervals that have ended; quiet sources are forgotten.
  // atEnd: every interval counts as ended (the server stops).
  std::vector<std::string> Flush(Clock::time_point now, bool atEnd = false);
  size_t SourceCount() const { return m_sources.size(); }

 private:
  struct Window {
    Clock::time_point start;
    size_t suppressed = 0;
    std::string lastReason;
  };
  std::string Summary(const std::string& source, const Window& w) const;

  std::chrono::seconds m_interval;
  size_t m_maxSources;
  std::map<std::string, Window> m_sources;
};

}  // namespace Wzn
