// Clients that overload, stall or attack the daemon, against a live daemon:
// each attack runs in bounded loops while a well-behaved client works, whose
// slowest request and the daemon's peak memory must stay under bounds far
// above what the daemon needs (the bench measures the real figures) and far
// below what the attacks cost before the limits existed.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <thread>

#include "apps/launcher/load_clients.h"
#include "messages/WzScsiServerMessages.h"
#include "tests/integration/integration_support.h"

namespace wzit {
namespace {

using WzLoad::CBatchClient;
using WzLoad::CStallingClient;

// A request the well-behaved client may wait this long for, at most, while
// the attacks run (a worker waiting on a client that does not read used to
// make it 60 s).
constexpr double kMaxLatencyMs = 2000;

uint64_t PeakRssKib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 6, "VmHWM:") == 0) return std::stoull(line.substr(6));
  return 0;
}

// The slowest of `count` listings sent one at a time; fails the test when
// one gets no reply.
WznClientTls Plain() {
  WznClientTls tls;
  tls.plain = true;
  return tls;
}

double SlowestListingMs(const std::string& endpoint, int count, const std::string& token = "") {
  std::vector<double> ms;
  CRnError e = WzLoad::TimeRequests(endpoint, token, *WzCtl::MakeListTargets(0), count, ms, Plain());
  EXPECT_TRUE(e.IsSuccess()) << e.AsString();
  return ms.empty() ? 1e9 : *std::max_element(ms.begin(), ms.end());
}

class OverloadTest : public IntegrationTest {};

// Clients that pipeline listings and never read their replies, twice over:
// the daemon stops reading them, and another client is served as usual.
TEST_F(OverloadTest, ClientsThatNeverReadDoNotStallOthers) {
  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string ep = d.UnixEndpoint();
  for (int round = 0; round < 2; ++round) {
    CStallingClient stallers[4];
    for (CStallingClient& s : stallers) s.Start(ep, WzLoad::ListTargetsFrame(), 2000, 2000, false);
    EXPECT_LT(SlowestListingMs(ep, 100), kMaxLatencyMs) << "round " << round;
    for (CStallingClient& s : stallers) {
      s.WaitUntilStalled();
      EXPECT_LT(s.Sent(), 2000) << "round " << round << ": held back, not served without end";
    }
    // Still held back while their connections sit there unread.
    EXPECT_LT(SlowestListingMs(ep, 20), kMaxLatencyMs) << "round " << round;
  }
  EXPECT_LT(PeakRssKib(d.Pid()), 128u * 1024);
  EXPECT_EQ(d.Stop(), 0);
}

uint64_t RssKib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 6, "VmRSS:") == 0) return std::stoull(line.substr(6));
  return 0;
}

// Sixteen clients that each ask for the detailed listing of twelve targets
// with 1 MB descriptions and never read: the listing goes in pages and its
// replies count against the budget, so the daemon holds a page per client,
// not the whole listing (34 MiB a reply and 2.1 GB in all before), and gives
// the memory back once they are gone. The bench gives the figure.
TEST_F(OverloadTest, ClientsThatNeverReadTheLargestListingKeepMemoryBounded) {
  WriteConfig("[wzscsid]\nMaxFrameBytes=4194304\n");
  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string ep = d.UnixEndpoint();
  ASSERT_TRUE(WzLoad::CreateLargeDescriptionTargets(ep, 12, 1000000).IsSuccess());
  const uint64_t beforeKib = RssKib(d.Pid());
  {
    CStallingClient stallers[16];
    for (CStallingClient& s : stallers) s.Start(ep, WzLoad::DetailListingFrame(), 1, 10000, false);
    for (CStallingClient& s : stallers) s.WaitUntilStalled();
    // A reader gets the whole listing meanwhile, page by page.
    WzCtl::CallResult all = WzCtl::CallOnce(ep, "", *WzCtl::MakeIoctl("ls", "", 0), 120000);
    ASSERT_EQ(all.exitCode, 0) << all.errorText;
    auto* rsp = dynamic_cast<WzScsiServer::IoctlRsp*>(all.reply.get());
    ASSERT_NE(rsp, nullptr);
    EXPECT_EQ(rsp->results().size(), 12u);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the stallers' pages made
    const uint64_t peakKib = PeakRssKib(d.Pid());
    RecordProperty("peak_rss_kib", std::to_string(peakKib));
    EXPECT_LT(peakKib, 128u * 1024) << "16 unread listings of 12 MB of descriptions";
  }
  // Closed: what their pages took is given back.
  uint64_t afterKib = RssKib(d.Pid());
  for (int i = 0; i < 100 && afterKib >= beforeKib + 32u * 1024; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    afterKib = RssKib(d.Pid());
  }
  EXPECT_LT(afterKib, beforeKib + 32u * 1024) << beforeKib << " KiB before";
  EXPECT_EQ(d.Stop(), 0);
}

// Frames of 1 MiB: 500 from two clients that do not read, 200 more from
// four that read in batches of 16: memory stays bounded by the limits on
// requests in work.
TEST_F(OverloadTest, AFloodOfLargeFramesKeepsMemoryBounded) {
  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string ep = d.UnixEndpoint();
  const std::string big = WzLoad::ListTargetsFrame(1u << 20);
  CStallingClient stallers[2];
  for (CStallingClient& s : stallers) s.Start(ep, big, 250, 2000, false);
  CBatchClient flooders[4];
  for (CBatchClient& f : flooders) f.Start(ep, big, 50, 16);
  EXPECT_LT(SlowestListingMs(ep, 50), kMaxLatencyMs);
  long sent = 0, replies = 0;
  for (CStallingClient& s : stallers) {
    s.WaitUntilStalled();
    sent += s.Sent();
  }
  for (CBatchClient& f : flooders) {
    f.Join();
    replies += f.Replies();
  }
  // The non-readers are served until their unread replies fill the sockets.
  EXPECT_GE(sent, 100);
  EXPECT_EQ(replies, 200);
  const uint64_t peakKib = PeakRssKib(d.Pid());
  RecordProperty("peak_rss_kib", std::to_string(peakKib));
  EXPECT_LT(peakKib, 160u * 1024) << "500 such frames used to take 525 MB";
  EXPECT_EQ(d.Stop(), 0);
}

// With a token, TCP peers that never authenticate (silent, or with a wrong
// token) cannot keep a local client out nor fill the log, and are gone
// after the hello deadline.
TEST_F(OverloadTest, UnauthenticatedPeersCannotLockOutLocalClientsNorFloodTheLog) {
  WriteConfig(
      "[wzscsid]\nToken=s3cret\nListen=127.0.0.1:0\nPlainTcpOnLoopback=yes\nHelloTimeoutSecs=2\n"
      "MaxUnauthenticatedConnections=16\nMaxUnauthenticatedPerSource=16\nMaxConnections=64\n");
  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string tcp = d.TcpEndpoint();
  const size_t logBefore = ReadFile(d.LogFile()).size();
  for (int i = 0; i < 200; ++i) {
    CWzClient bad;
    bad.SetTls(Plain());
    std::unique_ptr<CNMessageBase> reply;
    if (bad.Connect(tcp, "wrong").IsSuccess()) {
      EXPECT_TRUE(bad.Call(*WzCtl::MakeListTargets(0), reply, 10000).IsError()) << i;
    }
  }
  std::vector<std::unique_ptr<CWzClient>> silent;
  for (int i = 0; i < 200; ++i) {
    silent.push_back(std::make_unique<CWzClient>());
    silent.back()->SetTls(Plain());
    ASSERT_TRUE(silent.back()->Connect(tcp).IsSuccess()) << i;
  }
  EXPECT_LT(SlowestListingMs(d.UnixEndpoint(), 20), kMaxLatencyMs);

  // After the deadline the silent ones are gone and a token holder gets in.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_LT(SlowestListingMs(tcp, 5, "s3cret"), kMaxLatencyMs);

  const std::string log = ReadFile(d.LogFile()).substr(logBefore);
  EXPECT_EQ(CountOf(log, "Refused a connection from 127.0.0.1: authentication failed: wrong token"), 1u) << log;
  EXPECT_LE(CountOf(log, "Refused"), 3u) << log.substr(0, 4000);
  EXPECT_LT(log.size(), 16u * 1024) << "400 refused peers";
  EXPECT_EQ(d.Stop(), 0);
}

// With fewer descriptors than MaxConnections asks for, the limit is lowered
// at start, so that a flood of connections never takes the descriptors the
// saved configuration needs: every create answered 0 is saved.
TEST_F(OverloadTest, ConnectionsNeverTakeTheDescriptorsOfDurableWrites) {
  WzDaemonLaunch launch = LaunchOptions();
  launch.maxOpenFiles = 256;
  CWzDaemonProcess d;
  ASSERT_TRUE(d.Start(launch).IsSuccess());
  EXPECT_NE(ReadFile(d.LogFile()).find("Connection limits lowered to fit 256 open files"), std::string::npos);
  std::vector<std::unique_ptr<CWzClient>> held;
  for (int i = 0; i < 300; ++i) {
    held.push_back(std::make_unique<CWzClient>());
    ASSERT_TRUE(held.back()->Connect(d.UnixEndpoint()).IsSuccess()) << i;
  }
  for (int i = 0; i < 20; ++i) {
    std::unique_ptr<CNMessageBase> reply;
    const std::string name = "iqn.2024-01.com.example:fd-" + std::to_string(i);
    ASSERT_TRUE(held[0]->Call(*WzCtl::MakeCreateTarget(name, "", 0), reply, 30000).IsSuccess());
    EXPECT_EQ(WzCtl::ViewReply(*reply).errorCode, 0) << name;
  }
  held.clear();
  EXPECT_EQ(SavedFiles(StateDir()).size(), 20u);
  EXPECT_EQ(d.Stop(), 0);
}

}  // namespace
}  // namespace wzit
