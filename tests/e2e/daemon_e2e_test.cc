// wzscsid on the real drivers and a private tgtd, configured through
// wzscsictl, seen by a real initiator: access, data, restarts, snapshot close
// and open.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <fstream>
#include <iostream>
#include <thread>

#include "drivers/unit_serial.h"
#include "tests/e2e/daemon_e2e_support.h"
#include "tests/e2e/driver_harness.h"

namespace wze2e {
namespace {

// GET path from 127.0.0.1:port: "<status>\n<body>" ("" when nothing answered).
std::string HttpGet(int port, const std::string& path) {
  namespace http = boost::beast::http;
  try {
    boost::asio::io_context io;
    boost::beast::tcp_stream stream(io);
    stream.expires_after(std::chrono::seconds(30));
    stream.connect(
        boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), static_cast<unsigned short>(port)));
    http::request<http::empty_body> request(http::verb::get, path, 11);
    request.set(http::field::host, "127.0.0.1");
    http::write(stream, request);
    boost::beast::flat_buffer buffer;
    http::response<http::string_body> response;
    http::read(stream, buffer, response);
    return std::to_string(response.result_int()) + "\n" + response.body();
  } catch (const std::exception&) {
    return "";
  }
}

TEST_F(DaemonE2eTest, OnlyTheMappedHostReachesTheLunAndDeletingItAllEmptiesTgtd) {
  EXPECT_FALSE(Has(DaemonLog(), " ERROR ")) << "a first start on an empty state directory is no error\n" << DaemonLog();
  const std::string file = Path("lun.img");
  const int lun = CreateMappedBlockLun(file);
  ASSERT_EQ(1, lun) << "LUN 0 is tgtd's controller; the first LUN is 1";

  CommandResult a =
      ProbeAs(kHostA, lun, {"--vpd-serial", "--write-lba", "1000", "--pattern", kPattern, "--read-lba", "1000"});
  ASSERT_EQ(0, a.exitCode) << a.output;
  EXPECT_TRUE(Has(a.output, "unit_serial=" + WzScsiSrvUnitSerial("E2E", kTarget, 1) + "\n")) << a.output;
  EXPECT_TRUE(Has(a.output, "login=ok\n")) << a.output;
  EXPECT_TRUE(Has(a.output, "inquiry=ok\n")) << a.output;
  EXPECT_TRUE(Has(a.output, "device_type=0\n")) << a.output;
  EXPECT_TRUE(Has(a.output, "capacity_bytes=" + std::to_string(k64MiB) + "\n")) << a.output;
  EXPECT_TRUE(Has(a.output, "read_matches_pattern=1\n")) << a.output;
  EXPECT_EQ(PatternBlock(kPattern), ReadAt(file, 1000ll * 512, 512)) << "the write reached the backing file";

  CommandResult b = ProbeAs(kHostB, lun);
  EXPECT_EQ(2, b.exitCode) << b.output;
  EXPECT_TRUE(Has(b.output, "login=refused")) << b.output;

  EXPECT_EQ("host " + std::string(kHostA) + " unmapped from LUN 1 of target " + kTarget + "\n",
            CtlOk({"host", "unmap", kTarget, "1", kHostA}));
  CommandResult again = ProbeAs(kHostA, lun);
  EXPECT_EQ(2, again.exitCode) << again.output;
  EXPECT_TRUE(TgtdTargets()[kTarget].acls.empty());

  CtlOk({"lun", "delete", kTarget, "1"});
  CtlOk({"target", "delete", kTarget});
  EXPECT_EQ(0, m_tgtd.TargetCount()) << m_tgtd.ShowTargets();
  EXPECT_EQ("no targets\n", CtlOk({"target", "list"}));
  EXPECT_TRUE(SavedFiles().empty()) << "every saved request went with its object";
  EXPECT_EQ(PatternBlock(kPattern), ReadAt(file, 1000ll * 512, 512)) << "deleting a LUN keeps its data";
}

TEST_F(DaemonE2eTest, ASessionKeepsReadingWhileWzscsidRestartsAndTheListingStaysTheSame) {
  const int lun = CreateMappedBlockLun(Path("lun.img"));
  ASSERT_EQ(1, lun);
  ASSERT_EQ(0, ProbeAs(kHostA, lun, {"--write-lba", "1000", "--pattern", kPattern}).exitCode);
  const std::string listing = CtlOk({"lun", "list"});
  const std::vector<std::string> saved = SavedFiles();
  const TgtdTargetView before = TgtdTargets()[kTarget];

  ChildProcess session;
  ASSERT_NO_FATAL_FAILURE(HoldSession(session, lun, 1000));
  EXPECT_EQ("ok", RequestRead(session));
  EXPECT_EQ(1, TgtdTargets()[kTarget].sessions);

  ASSERT_NO_FATAL_FAILURE(StopDaemon());
  EXPECT_EQ("ok", RequestRead(session)) << "tgtd serves on while wzscsid is down";
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  EXPECT_EQ("ok", RequestRead(session)) << "the replay adopted the LUN under the open session";
  EXPECT_EQ(1, TgtdTargets()[kTarget].sessions) << "the same session, not a new login";

  session.CloseInput();
  CommandResult held = session.Wait();
  EXPECT_EQ(0, held.exitCode) << held.output;
  EXPECT_TRUE(Has(held.output, "hold_failures=0\n")) << held.output;

  EXPECT_EQ(listing, CtlOk({"lun", "list"})) << "same LUN, host and creation time";
  EXPECT_EQ(saved, SavedFiles());
  const TgtdTargetView after = TgtdTargets()[kTarget];
  EXPECT_EQ(before.tid, after.tid);
  EXPECT_EQ(before.luns, after.luns);
  EXPECT_EQ(before.acls, after.acls);
}

TEST_F(DaemonE2eTest, AfterTgtdAndThenWzscsidRestartTheReplayRebuildsTargetLunAndBinding) {
  const std::string file = Path("lun.img");
  const int lun = CreateMappedBlockLun(file);
  ASSERT_EQ(1, lun);
  ASSERT_EQ(0, ProbeAs(kHostA, lun, {"--write-lba", "1000", "--pattern", kPattern}).exitCode);
  const std::string listing = CtlOk({"lun", "list"});

  std::string error;
  ASSERT_TRUE(m_tgtd.Restart(&error)) << error;
  EXPECT_EQ(0, m_tgtd.TargetCount()) << "tgtd keeps nothing across its own restart";
  ASSERT_NO_FATAL_FAILURE(StopDaemon());
  ASSERT_NO_FATAL_FAILURE(StartDaemon());

  std::map<std::string, TgtdTargetView> targets = TgtdTargets();
  ASSERT_EQ(1u, targets.size()) << m_tgtd.ShowTargets();
  EXPECT_EQ((std::map<int, std::string>{{1, file}}), targets[kTarget].luns);
  EXPECT_EQ(std::vector<std::string>{kHostA}, targets[kTarget].acls);

  CommandResult a = ProbeAs(kHostA, lun, {"--read-lba", "1000", "--pattern", kPattern});
  ASSERT_EQ(0, a.exitCode) << a.output;
  EXPECT_TRUE(Has(a.output, "capacity_bytes=" + std::to_string(k64MiB) + "\n")) << a.output;
  EXPECT_TRUE(Has(a.output, "read_matches_pattern=1\n")) << a.output;
  EXPECT_EQ(2, ProbeAs(kHostB, lun).exitCode);
  EXPECT_EQ(listing, CtlOk({"lun", "list"}));
}

// A close needs the LUN unmapped; host A stays bound to the target through a
// second LUN, so the probe can log in and find the closed LUN gone.
TEST_F(DaemonE2eTest, ClosingASnapshotLunTakesItFromTheInitiatorAndOpeningBringsItBackWithItsData) {
  const std::string snapshot = SnapshotDir() + "/snap-1";
  std::ofstream(snapshot, std::ios::trunc).close();
  ASSERT_EQ(0, ::truncate(snapshot.c_str(), 16 << 20));
  CtlOk({"target", "create", kTarget});
  EXPECT_EQ("LUN 1 created on target " + std::string(kTarget) + " (serial prefix SNAP1)\n",
            CtlOk({"lun", "create", kTarget, "--type", "devsnap", "--ssid", "snap-1", "--serial", "SNAP1"}));
  const std::string keeper = Path("keeper.img");
  std::ofstream(keeper, std::ios::trunc).close();
  ASSERT_EQ(0, ::truncate(keeper.c_str(), 1 << 20));
  CtlOk({"lun", "create", kTarget, "--type", "blkdev", "--path", keeper, "--serial", "KEEP"});
  CtlOk({"host", "map", kTarget, "1", kHostA});
  CtlOk({"host", "map", kTarget, "2", kHostA});
  ASSERT_EQ(0, ProbeAs(kHostA, 1, {"--write-lba", "10", "--pattern", kPattern}).exitCode);

  CtlOk({"host", "unmap", kTarget, "1", kHostA});
  const std::string listing = CtlOk({"lun", "list"});
  const std::vector<std::string> saved = SavedFiles();
  EXPECT_EQ("LUN 1 of target " + std::string(kTarget) + " closed\n",
            CtlOk({"lun", "delete", kTarget, "1", "--close-only"}));
  EXPECT_EQ((std::map<int, std::string>{{2, keeper}}), TgtdTargets()[kTarget].luns) << m_tgtd.ShowTargets();
  CommandResult closed = ProbeAs(kHostA, 1, {"--read-lba", "10"});
  EXPECT_NE(0, closed.exitCode) << closed.output;
  EXPECT_FALSE(Has(closed.output, "read=ok")) << closed.output;
  EXPECT_EQ(0, ProbeAs(kHostA, 2, {"--read-lba", "0"}).exitCode) << "the target itself still serves";
  EXPECT_EQ(listing, CtlOk({"lun", "list"})) << "a closed LUN stays configured";
  EXPECT_EQ(saved, SavedFiles());

  EXPECT_EQ("LUN 1 of target " + std::string(kTarget) + " opened\n", CtlOk({"lun", "open", kTarget, "1"}));
  EXPECT_EQ((std::map<int, std::string>{{1, snapshot}, {2, keeper}}), TgtdTargets()[kTarget].luns);
  EXPECT_EQ(saved, SavedFiles()) << "an open is not saved: the creation request stays";
  CtlOk({"host", "map", kTarget, "1", kHostA});
  CommandResult opened = ProbeAs(kHostA, 1, {"--read-lba", "10", "--pattern", kPattern});
  ASSERT_EQ(0, opened.exitCode) << opened.output;
  EXPECT_TRUE(Has(opened.output, "read_matches_pattern=1\n")) << opened.output;
}

}  // namespace
}  // namespace wze2e

namespace wze2e {
namespace {

// CHAP through wzscsictl on tgtd: without credentials and with a wrong
// secret the mapped host is refused, with the right ones it reads; a
// restart of wzscsid and one of tgtd (rebuilt by the engine watch) keep it;
// off lets the host in without credentials again. No secret reaches the log.
TEST_F(DaemonE2eTest, ChapHoldsAcrossRestartsOfBothAndOffOpensAgain) {
  const std::string secret = "Sesame-0pen-12";
  const std::string secretFile = Path("chap.secret");
  {
    std::ofstream out(secretFile);
    out << secret << "\n";
  }
  ASSERT_EQ(1, CreateMappedBlockLun(Path("lun.img")));
  EXPECT_EQ("CHAP of target " + std::string(kTarget) + " on, user alice\n",
            CtlOk({"target", "auth", kTarget, "--user", "alice", "--secret-file", secretFile}));
  auto login = [&](const std::string& user, const std::string& pass) {
    return ProbeUrl(ChapUrl(m_tgtd.Portal(), kTarget, 1, user, pass), kHostA, {"--read-lba", "0"});
  };
  auto expectChap = [&](const char* when) {
    EXPECT_NE(0, login("", "").exitCode) << when;
    EXPECT_NE(0, login("alice", "Wrong-secret-1").exitCode) << when;
    CommandResult right = login("alice", secret);
    EXPECT_EQ(0, right.exitCode) << when << "\n" << right.output;
  };
  expectChap("set");
  ASSERT_NO_FATAL_FAILURE(StopDaemon());
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  expectChap("after a wzscsid restart");

  std::string error;
  ASSERT_TRUE(m_tgtd.Restart(&error)) << error;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (login("alice", secret).exitCode != 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  expectChap("after a tgtd restart");

  EXPECT_EQ("CHAP of target " + std::string(kTarget) + " off\n", CtlOk({"target", "auth", kTarget, "--off"}));
  CommandResult open = login("", "");
  EXPECT_EQ(0, open.exitCode) << open.output;
  EXPECT_EQ(std::string::npos, DaemonLog().find(secret)) << "a secret in the log";
}

TEST_F(DaemonE2eTest, APrometheusServerScrapesTheMetricsEndpoint) {
  if (!InPath("prometheus") || !InPath("promtool")) GTEST_SKIP() << "prometheus is not installed";
  const std::vector<int> ports = wztest::FreeLoopbackPorts(2);
  ASSERT_EQ(2u, ports.size());
  const std::string metricsAt = "127.0.0.1:" + std::to_string(ports[0]);
  ASSERT_NO_FATAL_FAILURE(StopDaemon());
  ASSERT_NO_FATAL_FAILURE(StartDaemon({}, {"--metrics-listen", metricsAt}));
  CtlOk({"target", "create", kTarget});

  const std::string page = HttpGet(ports[0], "/metrics");
  ASSERT_EQ(0u, page.find("200\n")) << page;
  EXPECT_TRUE(Has(page, "\nwzscsi_targets 1\n")) << page;
  EXPECT_TRUE(Has(page, "\nwzscsi_engine_reachable 1\n")) << page;
  EXPECT_TRUE(Has(page, "\nwzscsi_requests_total{class=\"CreateTarget\",code=\"0\"} 1\n")) << page;
  for (const char* series :
       {"\nwzscsi_change_duration_seconds_count{step=\"total\"} 1\n",
        "\nwzscsi_change_duration_seconds_count{step=\"engine\"} 1\n",
        "\nwzscsi_change_duration_seconds_count{step=\"record\"} 1\n", "\nwzscsi_luns 0\n",
        "\nwzscsi_host_mappings 0\n", "\nwzscsi_fsync_duration_seconds_count{kind=\"file\"} ",
        "\nwzscsi_fsync_duration_seconds_count{kind=\"directory\"} ", "\nwzscsi_engine_restarts_total 0\n",
        "\nwzscsi_connections_refused_total{reason=\"too_many_connections\"} 0\n"})
    EXPECT_TRUE(Has(page, series)) << series << " not in\n" << page;
  EXPECT_FALSE(Has(page, "\nwzscsi_fsync_duration_seconds_count{kind=\"file\"} 0\n")) << "the target's file was synced";
  CommandResult check = RunCommand({"promtool", "check", "metrics"}, {}, page.substr(4));
  EXPECT_EQ(0, check.exitCode) << check.output;
  // An engine restart is seen by the engine watch and counted.
  std::string error;
  ASSERT_TRUE(m_tgtd.Restart(&error)) << error;
  std::string restarted;
  for (int i = 0; i < 120 && !Has(restarted, "\nwzscsi_engine_restarts_total 1\n"); ++i) {
    if (i != 0) std::this_thread::sleep_for(std::chrono::milliseconds(250));
    restarted = HttpGet(ports[0], "/metrics");
  }
  EXPECT_TRUE(Has(restarted, "\nwzscsi_engine_restarts_total 1\n")) << restarted;
  EXPECT_EQ(0u, HttpGet(ports[0], "/").find("404\n"));

  const std::string config = Path("prometheus.yml");
  std::ofstream(config) << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                        << "scrape_configs:\n  - job_name: wzscsi\n    static_configs:\n"
                        << "      - targets: ['" << metricsAt << "']\n";
  const std::string promAt = "127.0.0.1:" + std::to_string(ports[1]);
  const int log = ::open(Path("prometheus.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(log, 0);
  wztest::SpawnOptions options;
  options.outputFd = log;
  std::string why;
  const pid_t prometheus = wztest::Spawn({"prometheus", "--config.file=" + config,
                                          "--storage.tsdb.path=" + Path("tsdb"), "--web.listen-address=" + promAt},
                                         options, &why);
  ::close(log);
  ASSERT_GT(prometheus, 0) << why;
  // The series appears after the first scrape; a minute covers a slow start on shared cores.
  CommandResult query;
  for (int i = 0; i < 120 && !Has(query.output, "=> 1 @"); ++i) {
    if (i != 0) std::this_thread::sleep_for(std::chrono::milliseconds(500));
    query = RunCommand({"promtool", "query", "instant", "http://" + promAt, "wzscsi_targets"});
  }
  wztest::StopProcess(prometheus, 5000);
  EXPECT_TRUE(Has(query.output, "wzscsi_targets{instance=\"" + metricsAt + "\", job=\"wzscsi\"} => 1 @"))
      << query.output << "\n"
      << wztest::ReadFile(Path("prometheus.log"));
  std::cout << "prometheus query: " << query.output;
}

}  // namespace
}  // namespace wze2e
