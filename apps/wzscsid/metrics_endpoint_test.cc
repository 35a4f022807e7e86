#include "apps/wzscsid/metrics_endpoint.h"

#include <gtest/gtest.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <string>
#include <vector>

namespace {

bool Has(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

TEST(MetricsRender, StatusLinesBecomeTheirSeries) {
  struct Case {
    const char* what;
    std::vector<std::string> lines;
    bool answered;
    std::vector<std::string> present;
    std::vector<std::string> absent;
  };
  const std::vector<Case> cases = {
      {"failures are counted by kind, and kinds without one show 0",
       {"state=started", "targets=2", "failure=LUN\tiqn.a\t1\t\t/x\tgone", "failure=LUN\tiqn.a\t2\t\t/y\tgone",
        "failure=target\tiqn.b\t\t\t/z\tbad"},
       true,
       {"\nwzscsi_failed_objects{kind=\"LUN\"} 2\n", "\nwzscsi_failed_objects{kind=\"target\"} 1\n",
        "\nwzscsi_failed_objects{kind=\"mapping\"} 0\n", "\nwzscsi_targets 2\n",
        "\nwzscsi_service_state{state=\"started\"} 1\n", "\nwzscsi_service_state{state=\"starting\"} 0\n"},
       {}},
      {"an unanswered status says so and claims no objects",
       {},
       false,
       {"\nwzscsi_up 0\n", "\nwzscsi_connections 3\n", "\nwzscsi_metrics_scrapes_total 7\n"},
       {"wzscsi_failed_objects", "wzscsi_targets", "wzscsi_service_state"}},
      {"a difference's text is no key; the count of differences is",
       {"reconcile.seconds=0.250", "reconcile.differences=2", "reconcile.difference=create target iqn.a",
        "reconcile.failed=1", "check.differences=0", "check.repaired=3", "check.lastRepairAt=1733660000"},
       true,
       {"\nwzscsi_reconcile_duration_seconds{run=\"reconcile\"} 0.25\n",
        "\nwzscsi_reconcile_differences{run=\"reconcile\"} 2\n", "\nwzscsi_reconcile_failed{run=\"reconcile\"} 1\n",
        "\nwzscsi_reconcile_differences{run=\"check\"} 0\n", "\nwzscsi_engine_repairs_total 3\n",
        "\nwzscsi_engine_last_repair_time_seconds 1733660000\n"},
       {"create target", "run=\"dryRun\""}},
      {"the cluster's availability and lag, yes and no as 1 and 0",
       {"cluster.available=no", "cluster.watching=yes", "cluster.revision=40", "cluster.storeRevision=45",
        "cluster.lag=5"},
       true,
       {"\nwzscsi_cluster_available 0\n", "\nwzscsi_cluster_watching 1\n", "\nwzscsi_cluster_lag_revisions 5\n",
        "\nwzscsi_cluster_store_revision 45\n"},
       {}},
      {"no cluster, no cluster series; a value that is no number is left out",
       {"replay.seconds=soon", "replay.restored=targets:3 luns:x mappings:1", "engine.reachable=no driver"},
       true,
       {"\nwzscsi_replay_restored{kind=\"targets\"} 3\n", "\nwzscsi_replay_restored{kind=\"mappings\"} 1\n",
        "\nwzscsi_engine_reachable 0\n"},
       {"wzscsi_cluster", "wzscsi_replay_duration_seconds", "kind=\"luns\""}},
      {"the service's counters: requests by class and code, the histograms by step and kind, listings",
       {"requests=CreateTarget 0 4",
        "requests=CreateTarget 7 1",
        "changeSeconds.total.bucket=0.001 1",
        "changeSeconds.total.bucket=0.01 3",
        "changeSeconds.total.bucket=+Inf 5",
        "changeSeconds.total.sum=0.75",
        "changeSeconds.total.count=5",
        "changeSeconds.commit.bucket=+Inf 2",
        "changeSeconds.commit.count=2",
        "fsyncSeconds.directory.bucket=0.0001 0",
        "fsyncSeconds.directory.bucket=+Inf 3",
        "fsyncSeconds.directory.sum=0.01",
        "fsyncSeconds.directory.count=3",
        "changeSeconds.engine.bucket=+Inf 1",
        "listings=lt 2",
        "engine.restarts=2",
        "engine.unreachablePeriods=1",
        "luns=3",
        "mappings=4",
        "cluster.staleSeconds=12"},
       true,
       {"\n# TYPE wzscsi_requests_total counter\n", "\nwzscsi_requests_total{class=\"CreateTarget\",code=\"0\"} 4\n",
        "\nwzscsi_requests_total{class=\"CreateTarget\",code=\"7\"} 1\n",
        "\n# TYPE wzscsi_change_duration_seconds histogram\n",
        "\nwzscsi_change_duration_seconds_bucket{step=\"total\",le=\"0.01\"} 3\n",
        "\nwzscsi_change_duration_seconds_bucket{step=\"total\",le=\"+Inf\"} 5\n",
        "\nwzscsi_change_duration_seconds_sum{step=\"total\"} 0.75\n",
        "\nwzscsi_change_duration_seconds_count{step=\"total\"} 5\n",
        "\nwzscsi_change_duration_seconds_count{step=\"commit\"} 2\n",
        "\nwzscsi_fsync_duration_seconds_bucket{kind=\"directory\",le=\"0.0001\"} 0\n",
        "\nwzscsi_fsync_duration_seconds_count{kind=\"directory\"} 3\n", "\nwzscsi_listings_total{command=\"lt\"} 2\n",
        "\nwzscsi_engine_restarts_total 2\n", "\nwzscsi_engine_unreachable_total 1\n", "\nwzscsi_luns 3\n",
        "\nwzscsi_host_mappings 4\n", "\nwzscsi_cluster_stale_seconds 12\n",
        "\nwzscsi_connections_refused_total{reason=\"wrong_token\"} 9\n"},
       {"step=\"engine\"", "step=\"record\""}},
      {"a label value is escaped",
       {"failure=odd\"kind\\\t\t\t\t\t"},
       true,
       {"wzscsi_failed_objects{kind=\"odd\\\"kind\\\\\"} 1\n"},
       {}},
  };
  for (const Case& c : cases) {
    WzDaemonMetricFacts facts;
    facts.statusAnswered = c.answered;
    facts.connections = 3;
    facts.scrapes = 7;
    facts.refusals = {{"too_many_connections", 0}, {"wrong_token", 9}};
    const std::string text = WzRenderMetrics(c.lines, facts);
    EXPECT_TRUE(Has(text, "# TYPE wzscsi_up gauge\n")) << c.what;
    for (const std::string& p : c.present) EXPECT_TRUE(Has(text, p)) << c.what << ": no " << p << " in\n" << text;
    for (const std::string& a : c.absent) EXPECT_FALSE(Has(text, a)) << c.what << ": " << a << " in\n" << text;
  }
}

// "<status> <content type>\n<body>".
std::string Request(uint16_t port, boost::beast::http::verb verb, const std::string& target) {
  namespace http = boost::beast::http;
  boost::asio::io_context io;
  boost::beast::tcp_stream stream(io);
  stream.expires_after(std::chrono::seconds(30));
  stream.connect(boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), port));
  http::request<http::empty_body> request(verb, target, 11);
  http::write(stream, request);
  boost::beast::flat_buffer buffer;
  http::response<http::string_body> response;
  http::read(stream, buffer, response);
  return std::to_string(response.result_int()) + " " + std::string(response[http::field::content_type]) + "\n" +
         response.body();
}

TEST(MetricsEndpoint, ServesTheScrapeOnMetricsOnly) {
  CWzMetricsEndpoint endpoint;
  int calls = 0;
  ASSERT_TRUE(
      endpoint.Start("127.0.0.1:0", [&calls] { return "wzscsi_up " + std::to_string(++calls) + "\n"; }).IsSuccess());
  ASSERT_NE(0, endpoint.Port());
  using boost::beast::http::verb;
  EXPECT_EQ("200 text/plain; version=0.0.4; charset=utf-8\nwzscsi_up 1\n",
            Request(endpoint.Port(), verb::get, "/metrics"));
  EXPECT_EQ(0u, Request(endpoint.Port(), verb::get, "/").find("404 "));
  EXPECT_EQ(0u, Request(endpoint.Port(), verb::post, "/metrics").find("405 "));
  EXPECT_EQ(1, calls) << "only a GET of /metrics asks the service";
  EXPECT_EQ(0u, Request(endpoint.Port(), verb::get, "/metrics?x=1").find("200 "));

  // A second endpoint on the same port fails with the address in the message.
  CWzMetricsEndpoint second;
  const std::string taken = "127.0.0.1:" + std::to_string(endpoint.Port());
  CRnError e = second.Start(taken, [] { return std::string(); });
  ASSERT_TRUE(e.IsError());
  EXPECT_TRUE(Has(e.AsString(), "cannot serve the metrics on " + taken)) << e.AsString();
  endpoint.Stop();
}

}  // namespace
