// The daemon's Prometheus endpoint (setting MetricsListen): an HTTP server on
// a loopback address that answers GET /metrics with the text exposition
// format 0.0.4. It holds no counters of its own: each scrape asks the service
// for its status (the same keys `wzscsictl status` shows) and its counters
// (the "metrics" command) and adds what the daemon knows of its connections.
// The plug-in stays free of HTTP; scrapes are rare and answered one at a time.
//
// Thread safety: Start and Stop on one thread; the scrape function runs on the
// endpoint's own thread, one call at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hostlib/errors/CRnError.h"

// What the daemon itself knows at the time of a scrape.
struct WzDaemonMetricFacts {
  bool statusAnswered = false;  // the service answered its status request
  size_t connections = 0;
  size_t requestsInFlight = 0;
  uint64_t scrapes = 0;                                    // this one included
  std::vector<std::pair<std::string, uint64_t>> refusals;  // connections refused, by reason
};

// The exposition text for the status reply's lines ("key=value") and the
// daemon's facts. Lines it does not know are left out, so a newer service
// never breaks a scrape.
std::string WzRenderMetrics(const std::vector<std::string>& statusLines, const WzDaemonMetricFacts& facts);

class CWzMetricsEndpoint {
 public:
  using ScrapeFn = std::function<std::string()>;

  CWzMetricsEndpoint();
  // Stops the endpoint when it still runs.
  ~CWzMetricsEndpoint();
  CWzMetricsEndpoint(const CWzMetricsEndpoint&) = delete;
  CWzMetricsEndpoint& operator=(const CWzMetricsEndpoint&) = delete;

  // Binds HOST:PORT (port 0 picks a free one) and starts the endpoint's
  // thread. scrape gives the body of each GET /metrics.
  CRnError Start(const std::string& listen, ScrapeFn scrape);
  // Closes the listener and any scrape in progress and joins the thread.
  void Stop();
  // The bound port; 0 before Start.
  uint16_t Port() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
