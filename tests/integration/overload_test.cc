// Clients that overload, stall or attack the daemon, against a live daemon:
// each attack runs in bounded loops while a well-behaved client works, whose
// slowest request and the daemon's peak memory must stay under bounds far
// above what the daemon needs (the bench measures the real figures) and far
// below what the attacks cost before the limits existed.
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "hostlib/net/client.h"
#include "hostlib/net/frame.h"
#include "messages/WzScsiServerMessages.h"
#include "tests/integration/integration_support.h"

namespace wzit {
namespace {

using Clock = std::chrono::steady_clock;

// A request the well-behaved client may wait this long for, at most, while
// the attacks run (a stalled worker used to make it 60 s).
constexpr double kMaxLatencyMs = 2000;

std::string Frame(const CNMessageBase& m) {
  std::string xml;
  EXPECT_EQ(m.serialize(xml, false), 0);
  return Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, xml);
}

// An "lt" request padded to about `bytes` of XML (the listing ignores its
// arguments).
std::string ListTargetsFrame(size_t bytes) {
  auto request = WzCtl::MakeIoctl("lt", "", 0);
  if (bytes > 0) {
    std::string xml;
    EXPECT_EQ(request->serialize(xml, false), 0);
    auto* ioctl = dynamic_cast<WzScsiServer::Ioctl*>(request.get());
    EXPECT_NE(ioctl, nullptr);
    if (ioctl != nullptr) ioctl->setArguments(std::string(bytes - xml.size() - 64, 'x'));
  }
  return Frame(*request);
}

uint64_t PeakRssKib(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.compare(0, 6, "VmHWM:") == 0) return std::stoull(line.substr(6));
  return 0;
}

// Sends the frame up to `count` times and never reads; stops when the
// daemon no longer takes its bytes (the send times out). The connection
// stays open until the object goes.
class Staller {
 public:
  void Start(const std::string& endpoint, const std::string& frame, int count) {
    m_thread = std::thread([this, endpoint, frame, count] {
      m_client.SetSendTimeoutMs(2000);
      if (m_client.Connect(endpoint).IsError()) return;
      while (m_sent < count && m_client.SendRaw(frame).IsSuccess()) ++m_sent;
    });
  }
  void Join() {
    if (m_thread.joinable()) m_thread.join();
  }
  ~Staller() { Join(); }
  int Sent() const { return m_sent; }

 private:
  CWzClient m_client;
  std::atomic<int> m_sent{0};
  std::thread m_thread;
};

// Sends the frame `count` times in batches of `batch`, reading the replies
// of each batch before the next: a flood that keeps the daemon busy without
// ever stalling.
class BatchFlooder {
 public:
  void Start(const std::string& endpoint, const std::string& frame, int count, int batch) {
    m_thread = std::thread([this, endpoint, frame, count, batch] {
      if (m_client.Connect(endpoint).IsError()) return;
      for (int done = 0; done < count; done += batch) {
        const int n = std::min(batch, count - done);
        for (int i = 0; i < n; ++i)
          if (m_client.SendRaw(frame).IsError()) return;
        for (int i = 0; i < n; ++i) {
          std::unique_ptr<CNMessageBase> reply;
          if (m_client.ReceiveReply(reply, 60000).IsError()) return;
          ++m_replies;
        }
      }
    });
  }
  void Join() {
    if (m_thread.joinable()) m_thread.join();
  }
  ~BatchFlooder() { Join(); }
  int Replies() const { return m_replies; }

 private:
  CWzClient m_client;
  std::atomic<int> m_replies{0};
  std::thread m_thread;
};

struct Latencies {
  std::vector<double> ms;
  std::string failure;
  double Max() const { return ms.empty() ? 0 : *std::max_element(ms.begin(), ms.end()); }
};

// The well-behaved client: `count` listings, one at a time, on its own
// connection.
Latencies ListRepeatedly(const std::string& endpoint, int count, const std::string& token = "") {
  Latencies out;
  CWzClient client;
  if (CRnError e = client.Connect(endpoint, token)) {
    out.failure = "connect: " + e.AsString();
    return out;
  }
  auto request = WzCtl::MakeListTargets(0);
  for (int i = 0; i < count; ++i) {
    const Clock::time_point start = Clock::now();
    std::unique_ptr<CNMessageBase> reply;
    if (CRnError e = client.Call(*request, reply, 120000)) {
      out.failure = "request " + std::to_string(i) + ": " + e.AsString();
      return out;
    }
    out.ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
  }
  return out;
}

class OverloadTest : public IntegrationTest {};

// Clients that pipeline listings and never read their replies, twice over:
// the daemon stops reading them, and another client is served as usual.
TEST_F(OverloadTest, ClientsThatNeverReadDoNotStallOthers) {
  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string ep = d.UnixEndpoint();
  const std::string frame = ListTargetsFrame(0);
  for (int round = 0; round < 2; ++round) {
    std::vector<std::unique_ptr<Staller>> stallers;
    for (int i = 0; i < 4; ++i) {
      stallers.push_back(std::make_unique<Staller>());
      stallers.back()->Start(ep, frame, 2000);
    }
    const Latencies good = ListRepeatedly(ep, 100);
    ASSERT_EQ(good.failure, "") << "round " << round;
    EXPECT_LT(good.Max(), kMaxLatencyMs) << "round " << round;
    for (auto& s : stallers) s->Join();
    // They were held back, not served without end.
    for (auto& s : stallers) EXPECT_LT(s->Sent(), 2000) << "round " << round;
    // Still held back while their connections sit there unread.
    const Latencies again = ListRepeatedly(ep, 20);
    ASSERT_EQ(again.failure, "");
    EXPECT_LT(again.Max(), kMaxLatencyMs) << "round " << round;
  }
  EXPECT_LT(PeakRssKib(d.Pid()), 128u * 1024);
  EXPECT_EQ(d.Stop(), 0);
}

// Frames of 1 MiB: 500 from two clients that do not read, 200 more from
// four that read in batches of 16: memory stays bounded by the limits on
// requests in work.
TEST_F(OverloadTest, AFloodOfLargeFramesKeepsMemoryBounded) {
  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string ep = d.UnixEndpoint();
  const std::string big = ListTargetsFrame(1u << 20);
  ASSERT_LE(big.size(), (1u << 20) + Wzn::kFrameHeaderSize);
  Staller stallers[2];
  for (Staller& s : stallers) s.Start(ep, big, 250);
  BatchFlooder flooders[4];
  for (BatchFlooder& f : flooders) f.Start(ep, big, 50, 16);
  const Latencies good = ListRepeatedly(ep, 50);
  int sent = 0, replies = 0;
  for (Staller& s : stallers) {
    s.Join();
    sent += s.Sent();
  }
  for (BatchFlooder& f : flooders) {
    f.Join();
    replies += f.Replies();
  }
  ASSERT_EQ(good.failure, "");
  EXPECT_LT(good.Max(), kMaxLatencyMs);
  // The non-readers are served until their unread replies fill the sockets;
  // the others are served in full.
  EXPECT_GE(sent, 100);
  EXPECT_EQ(replies, 200);
  const uint64_t peakKib = PeakRssKib(d.Pid());
  RecordProperty("peak_rss_kib", std::to_string(peakKib));
  EXPECT_LT(peakKib, 160u * 1024) << "500 such frames used to take 525 MB";
  EXPECT_TRUE(d.Running());
  EXPECT_EQ(d.Stop(), 0);
}

// With a token, TCP peers that never authenticate (silent, trickling, or
// with a wrong token) cannot keep a local client out nor fill the log, and
// are gone after the hello deadline.
TEST_F(OverloadTest, UnauthenticatedPeersCannotLockOutLocalClientsNorFloodTheLog) {
  WriteConfig("[wzscsid]\nToken=s3cret\nListen=127.0.0.1:0\nHelloTimeoutSecs=2\n"
              "MaxUnauthenticatedConnections=16\nMaxConnections=64\n");
  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string tcp = d.TcpEndpoint();
  ASSERT_FALSE(tcp.empty());
  const size_t logBefore = ReadFile(d.LogFile()).size();

  // 200 silent connections: 16 are held until the deadline, the rest refused.
  std::vector<std::unique_ptr<CWzClient>> silent;
  for (int i = 0; i < 200; ++i) {
    silent.push_back(std::make_unique<CWzClient>());
    ASSERT_TRUE(silent.back()->Connect(tcp).IsSuccess()) << i;
  }
  // 200 wrong tokens.
  for (int i = 0; i < 200; ++i) {
    CWzClient bad;
    if (bad.Connect(tcp, "wrong").IsError()) continue;
    CRnError ignored = bad.SendMessage(*WzCtl::MakeListTargets(0));
    (void)ignored;
    std::unique_ptr<CNMessageBase> reply;
    EXPECT_TRUE(bad.ReceiveReply(reply, 10000).IsError()) << i;
  }
  const Latencies local = ListRepeatedly(d.UnixEndpoint(), 20);
  ASSERT_EQ(local.failure, "");
  EXPECT_LT(local.Max(), kMaxLatencyMs);

  // After the deadline the silent ones are closed and a token holder gets in.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  Latencies authed;
  for (int attempt = 0; attempt < 20; ++attempt) {
    authed = ListRepeatedly(tcp, 5, "s3cret");
    if (authed.failure.empty()) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  EXPECT_EQ(authed.failure, "");

  const std::string log = ReadFile(d.LogFile()).substr(logBefore);
  EXPECT_LE(CountOf(log, "Refused"), 3u) << log.substr(0, 4000);
  EXPECT_LT(log.size(), 16u * 1024) << "400 refused peers";
  silent.clear();
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
  const std::string ep = d.UnixEndpoint();
  EXPECT_NE(ReadFile(d.LogFile()).find("Connection limits lowered to fit 256 open files"), std::string::npos);

  std::vector<std::unique_ptr<CWzClient>> held;
  for (int i = 0; i < 300; ++i) {
    held.push_back(std::make_unique<CWzClient>());
    ASSERT_TRUE(held.back()->Connect(ep).IsSuccess()) << i;
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
