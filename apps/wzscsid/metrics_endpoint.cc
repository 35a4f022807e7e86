#include "apps/wzscsid/metrics_endpoint.h"

#include <prometheus/metric_family.h>
#include <prometheus/text_serializer.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <limits>
#include <map>
#include <sstream>
#include <thread>
#include <utility>

#include "hostlib/log/LogWriter.h"
#include "hostlib/net/accept_policy.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

#define WZM_HERE FX_HERE_IN("wzscsid")

// A scrape that does not send its request within this time is dropped, so
// a stuck peer cannot hold the one scrape slot.
constexpr auto kScrapeTimeout = std::chrono::seconds(10);

using Family = prometheus::MetricFamily;
using Metric = prometheus::ClientMetric;

// The families in the order of the docs' list, filled from the status lines.
class CMetricSet {
 public:
  void Gauge(const std::string& name, const std::string& help, double value, std::vector<Metric::Label> labels = {}) {
    Metric m;
    m.label = std::move(labels);
    m.gauge.value = value;
    Add(name, help, prometheus::MetricType::Gauge, std::move(m));
  }
  void Counter(const std::string& name, const std::string& help, double value, std::vector<Metric::Label> labels = {}) {
    Metric m;
    m.label = std::move(labels);
    m.counter.value = value;
    Add(name, help, prometheus::MetricType::Counter, std::move(m));
  }
  void Histogram(const std::string& name, const std::string& help, Metric m) {
    Add(name, help, prometheus::MetricType::Histogram, std::move(m));
  }
  std::string Text() const {
    std::ostringstream out;
    prometheus::TextSerializer().Serialize(out, m_families);
    return out.str();
  }

 private:
  void Add(const std::string& name, const std::string& help, prometheus::MetricType type, Metric m) {
    for (Family& f : m_families) {
      if (f.name == name) {
        f.metric.push_back(std::move(m));
        return;
      }
    }
    m_families.push_back(Family{name, help, type, {std::move(m)}});
  }
  std::vector<Family> m_families;
};

bool Number(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return end != nullptr && *end == '\0';
}

// "targets:1 luns:2 mappings:0" -> {targets:1, luns:2, mappings:0}.
std::vector<std::pair<std::string, double>> Pairs(const std::string& text) {
  std::vector<std::pair<std::string, double>> out;
  std::istringstream words(text);
  std::string word;
  while (words >> word) {
    const size_t colon = word.find(':');
    double value = 0;
    if (colon != std::string::npos && Number(word.substr(colon + 1), value))
      out.emplace_back(word.substr(0, colon), value);
  }
  return out;
}

double YesNo(const std::string& text) { return text == "yes" ? 1 : 0; }

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

const char kBucket[] = ".bucket";

bool IsBucket(const std::string& key) { return EndsWith(key, kBucket); }

// The service's histograms: "<prefix>.<label value>.bucket|sum|count".
struct HistogramFamily {
  const char* prefix;
  const char* name;
  const char* help;
  const char* label;
};
const HistogramFamily kHistograms[] = {
    {"changeSeconds.", "wzscsi_change_duration_seconds",
     "clients' changes by step: engine (checks and driver calls), record (the action log's save) or commit (the "
     "cluster's), total (intake to reply)",
     "step"},
    {"fsyncSeconds.", "wzscsi_fsync_duration_seconds", "fsync calls of the saved configuration, by kind", "kind"},
};

}  // namespace

std::string WzRenderMetrics(const std::vector<std::string>& statusLines, const WzDaemonMetricFacts& facts) {
  std::map<std::string, std::string> keys;
  // Every kind is listed, so an alert on failed objects sees 0 rather than no series.
  std::map<std::string, double> failed{{"target", 0}, {"LUN", 0}, {"mapping", 0}};
  std::vector<std::pair<std::string, std::string>> counted;  // keys that repeat
  for (const std::string& line : statusLines) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    if (key == "failure") {
      failed[value.substr(0, value.find('\t'))] += 1;
    } else if (key == "requests" || key == "listings" || IsBucket(key)) {
      counted.emplace_back(key, value);
    } else if (key.find(".difference") == std::string::npos || key.find(".differences") != std::string::npos) {
      keys[key] = value;
    }
  }
  auto has = [&keys](const std::string& k, double& v) { return keys.count(k) != 0 && Number(keys[k], v); };

  CMetricSet set;
  double v = 0;
  set.Gauge("wzscsi_up", "1 when the service answered the scrape's status request", facts.statusAnswered ? 1 : 0);
  if (keys.count("state") != 0) {
    for (const char* state : {"not started", "starting", "started"})
      set.Gauge("wzscsi_service_state", "1 for the service's current state", keys["state"] == state ? 1 : 0,
                {{"state", state}});
  }
  if (has("targets", v)) set.Gauge("wzscsi_targets", "targets the service holds", v);
  if (has("luns", v)) set.Gauge("wzscsi_luns", "LUNs the service holds", v);
  if (has("mappings", v)) set.Gauge("wzscsi_host_mappings", "host mappings the service holds", v);
  if (facts.statusAnswered) {
    for (const auto& kind : failed)
      set.Gauge("wzscsi_failed_objects", "saved objects the last start or reload could not restore", kind.second,
                {{"kind", kind.first}});
  }
  if (keys.count("engine.reachable") != 0)
    set.Gauge("wzscsi_engine_reachable", "1 when the SCSI target engine answers", YesNo(keys["engine.reachable"]));
  if (has("engine.restarts", v))
    set.Counter("wzscsi_engine_restarts_total", "new engine instances the engine watch saw (restarts, returns)", v);
  if (has("engine.unreachablePeriods", v))
    set.Counter("wzscsi_engine_unreachable_total", "times the engine watch found the engine unreachable", v);
  if (has("replay.startedAt", v))
    set.Gauge("wzscsi_replay_last_start_time_seconds", "when the last replay began (Unix time)", v);
  if (has("replay.seconds", v)) set.Gauge("wzscsi_replay_duration_seconds", "how long the last replay took", v);
  for (const auto& p : Pairs(keys["replay.restored"]))
    set.Gauge("wzscsi_replay_restored", "objects the last replay restored", p.second, {{"kind", p.first}});
  for (const auto& p : Pairs(keys["replay.failed"]))
    set.Gauge("wzscsi_replay_failed", "objects the last replay could not restore", p.second, {{"kind", p.first}});
  for (const char* run : {"reconcile", "dryRun", "check"}) {
    const std::string k = run;
    if (has(k + ".startedAt", v))
      set.Gauge("wzscsi_reconcile_last_start_time_seconds", "when the last reconcile of this kind began (Unix time)", v,
                {{"run", k}});
    if (has(k + ".seconds", v))
      set.Gauge("wzscsi_reconcile_duration_seconds", "how long the last reconcile of this kind took", v, {{"run", k}});
    if (has(k + ".differences", v))
      set.Gauge("wzscsi_reconcile_differences", "differences the last reconcile of this kind found", v, {{"run", k}});
    if (has(k + ".failed", v))
      set.Gauge("wzscsi_reconcile_failed", "differences the last reconcile could not fix", v, {{"run", k}});
  }
  if (has("check.repaired", v))
    set.Counter("wzscsi_engine_repairs_total", "differences of the engine the periodic check repaired", v);
  if (has("check.lastRepairAt", v))
    set.Gauge("wzscsi_engine_last_repair_time_seconds", "when the periodic check last repaired the engine (Unix time)",
              v);
  if (keys.count("cluster.available") != 0) {
    set.Gauge("wzscsi_cluster_available", "1 when the cluster's store answers", YesNo(keys["cluster.available"]));
    set.Gauge("wzscsi_cluster_watching", "1 while the gateway follows the store's changes",
              YesNo(keys["cluster.watching"]));
  }
  if (has("cluster.revision", v)) set.Gauge("wzscsi_cluster_revision", "store revision this gateway applied", v);
  if (has("cluster.storeRevision", v))
    set.Gauge("wzscsi_cluster_store_revision", "the store's latest revision as last seen", v);
  if (has("cluster.lag", v)) set.Gauge("wzscsi_cluster_lag_revisions", "revisions not yet applied here", v);
  if (has("cluster.members", v)) set.Gauge("wzscsi_cluster_members", "members of the cluster's store", v);
  if (has("cluster.staleSeconds", v))
    set.Gauge("wzscsi_cluster_stale_seconds", "seconds since the gateway last confirmed it is current", v);
  // "requests=<class> <code> <n>", "listings=<command> <n>",
  // "<prefix>.<label value>.bucket=<le> <cumulative n>".
  std::map<std::pair<const HistogramFamily*, std::string>, Metric> histograms;
  for (const auto& kv : counted) {
    std::istringstream words(kv.second);
    std::string first, second;
    double n = 0;
    if (kv.first == "requests") {
      if (words >> first >> second >> n)
        set.Counter("wzscsi_requests_total", "requests answered, by request class and reply code", n,
                    {{"class", first}, {"code", second}});
    } else if (kv.first == "listings") {
      if (words >> first >> n)
        set.Counter("wzscsi_listings_total", "listing and status commands answered", n, {{"command", first}});
    } else if (words >> first >> n) {
      for (const HistogramFamily& f : kHistograms) {
        const std::string prefix = f.prefix;
        if (kv.first.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string value =
            kv.first.substr(prefix.size(), kv.first.size() - prefix.size() - (sizeof(kBucket) - 1));
        Metric::Bucket b;
        b.cumulative_count = static_cast<uint64_t>(n);
        b.upper_bound = first == "+Inf" ? std::numeric_limits<double>::infinity() : std::strtod(first.c_str(), nullptr);
        histograms[{&f, value}].histogram.bucket.push_back(b);
      }
    }
  }
  for (auto& h : histograms) {
    const std::string key = h.first.first->prefix + h.first.second;
    if (!has(key + ".count", v)) continue;
    Metric& m = h.second;
    m.histogram.sample_count = static_cast<uint64_t>(v);
    if (has(key + ".sum", v)) m.histogram.sample_sum = v;
    m.label = {{h.first.first->label, h.first.second}};
    set.Histogram(h.first.first->name, h.first.first->help, std::move(m));
  }
  for (const auto& refused : facts.refusals)
    set.Counter("wzscsi_connections_refused_total", "client connections refused, by reason",
                static_cast<double>(refused.second), {{"reason", refused.first}});
  set.Gauge("wzscsi_connections", "client connections open", static_cast<double>(facts.connections));
  set.Gauge("wzscsi_requests_in_flight", "requests in work", static_cast<double>(facts.requestsInFlight));
  set.Counter("wzscsi_metrics_scrapes_total", "scrapes answered", static_cast<double>(facts.scrapes));
  return set.Text();
}

struct CWzMetricsEndpoint::Impl {
  asio::io_context io;
  tcp::acceptor acceptor{io};
  ScrapeFn scrape;
  std::thread thread;
  uint16_t port = 0;

  void Accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
      if (ec) {
        if (ec != asio::error::operation_aborted)
          WZLOG(-1, "Metrics endpoint: accept failed: %s", ec.message().c_str());
        if (acceptor.is_open() && ec != asio::error::operation_aborted) Accept();
        return;
      }
      Serve(std::make_shared<beast::tcp_stream>(std::move(socket)));
      Accept();
    });
  }

  void Serve(const std::shared_ptr<beast::tcp_stream>& stream) {
    auto buffer = std::make_shared<beast::flat_buffer>();
    auto request = std::make_shared<http::request<http::empty_body>>();
    stream->expires_after(kScrapeTimeout);
    http::async_read(*stream, *buffer, *request, [this, stream, buffer, request](beast::error_code ec, size_t) {
      if (ec) return;
      auto response = std::make_shared<http::response<http::string_body>>();
      response->version(request->version());
      response->keep_alive(false);
      if (request->method() != http::verb::get && request->method() != http::verb::head) {
        response->result(http::status::method_not_allowed);
        response->set(http::field::allow, "GET, HEAD");
        response->body() = "only GET\n";
      } else if (request->target() != "/metrics" && request->target().rfind("/metrics?", 0) != 0) {
        response->result(http::status::not_found);
        response->body() = "the metrics are at /metrics\n";
      } else {
        response->result(http::status::ok);
        response->set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
        try {
          response->body() = scrape();
        } catch (const std::exception& e) {
          response->result(http::status::internal_server_error);
          response->body() = std::string("scrape failed: ") + e.what() + "\n";
        }
        if (request->method() == http::verb::head) response->body().clear();
      }
      response->prepare_payload();
      http::async_write(*stream, *response, [stream, response](beast::error_code, size_t) {
        beast::error_code ignored;
        stream->socket().shutdown(tcp::socket::shutdown_both, ignored);
      });
    });
  }
};

CWzMetricsEndpoint::CWzMetricsEndpoint() : m_impl(std::make_unique<Impl>()) {}

CWzMetricsEndpoint::~CWzMetricsEndpoint() { Stop(); }

CRnError CWzMetricsEndpoint::Start(const std::string& listen, ScrapeFn scrape) {
  std::string host;
  uint16_t port = 0;
  if (CRnError e = Wzn::ParseHostPort(listen, host, port)) return e.Push(WZM_HERE);
  beast::error_code ec;
  const asio::ip::address address =
      host == "localhost" ? asio::ip::address(asio::ip::address_v4::loopback()) : asio::ip::make_address(host, ec);
  if (ec)
    return FXErrorUtil::ErrorWin32(WZM_HERE, ERROR_INVALID_PARAMETER, "metrics endpoint %s: %s", listen.c_str(),
                                   ec.message().c_str());
  const tcp::endpoint endpoint(address, port);
  Impl& d = *m_impl;
  if (!d.acceptor.open(endpoint.protocol(), ec) && !d.acceptor.set_option(asio::socket_base::reuse_address(true), ec) &&
      !d.acceptor.bind(endpoint, ec) && !d.acceptor.listen(asio::socket_base::max_listen_connections, ec)) {
    d.port = d.acceptor.local_endpoint(ec).port();
  }
  if (ec) {
    return FXErrorUtil::ErrorWin32(WZM_HERE, ERROR_INVALID_PARAMETER, "cannot serve the metrics on %s: %s",
                                   listen.c_str(), ec.message().c_str());
  }
  d.scrape = std::move(scrape);
  d.Accept();
  d.thread = std::thread([&d] {
    try {
      d.io.run();
    } catch (const std::exception& e) {
      WZLOG(-1, "Metrics endpoint stopped: %s", e.what());
    }
  });
  return CRnError();
}

void CWzMetricsEndpoint::Stop() {
  Impl& d = *m_impl;
  if (!d.thread.joinable()) return;
  d.io.stop();
  d.thread.join();
  beast::error_code ignored;
  d.acceptor.close(ignored);
}

uint16_t CWzMetricsEndpoint::Port() const { return m_impl->port; }
