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
