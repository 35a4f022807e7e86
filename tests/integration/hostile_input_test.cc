// Input a client should never send, against a live daemon: a bounded fuzz run
// of random and mutated frames, frames over the size limit, a thousand idle
// connections and one connection too many. The daemon stays up, answers a
// valid request afterwards, and changes nothing without a valid request.
#include <chrono>
#include <cstdlib>
#include <random>
#include <thread>

#include "hostlib/net/client.h"
#include "hostlib/net/frame.h"
#include "tests/integration/integration_support.h"

namespace wzit {
namespace {

constexpr int kFuzzIterations = 1000;
constexpr int kCheckEvery = 100;
const char* const kTarget = "iqn.2024-01.com.example:hostile";

std::string Xml(const CNMessageBase& m) {
  std::string text;
  EXPECT_EQ(m.serialize(text, false), 0);
  return text;
}

// Valid frames of requests that change nothing even when a mutation leaves
// them valid (listings, start, an unknown control command), and control frames.
std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  for (const auto& m : {WzCtl::MakeListTargets(0), WzCtl::MakeListLuns(kTarget, "", 0), WzCtl::MakeStart(0),
                        WzCtl::MakeIoctl("nothing", "-ti x", 0)})
    seeds.push_back(Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, Xml(*m)));
  seeds.push_back(Wzn::EncodeHello("tok"));
  seeds.push_back(Wzn::EncodeControl(Wzn::ControlType::kDisconnect));
  return seeds;
}

class Mutator {
 public:
  explicit Mutator(uint32_t seed) : m_rng(seed), m_seeds(Seeds()) {}

  std::string Next() {
    std::string s = m_seeds[Pick(m_seeds.size())];
    switch (Pick(8)) {
      case 0:  // noise
        return Random(1 + Pick(300));
      case 1:  // bit flips anywhere
        for (size_t n = 1 + Pick(8); n > 0; --n) s[Pick(s.size())] ^= static_cast<char>(1u << Pick(8));
        return s;
      case 2:  // payload bytes replaced, header intact
        for (size_t n = 1 + Pick(6); n > 0 && s.size() > Wzn::kFrameHeaderSize; --n)
          s[Wzn::kFrameHeaderSize + Pick(s.size() - Wzn::kFrameHeaderSize)] = static_cast<char>(Pick(256));
        return s;
      case 3:  // cut short, or trailed by garbage
        return Pick(2) == 0 ? s.substr(0, Pick(s.size())) : s + Random(1 + Pick(64));
      case 4: {  // header fields at random: version, kind, XDR id, reserved
        size_t field = Pick(4);
        size_t offset[] = {4, 6, 8, 20};
        size_t width[] = {2, 2, 8, 4};
        for (size_t i = 0; i < width[field]; ++i) s[offset[field] + i] = static_cast<char>(Pick(256));
        return s;
      }
      case 5: {  // XDR and control frames with random ids, types and bodies
        std::string body = Random(Pick(40));
        if (Pick(2) == 0)
          return Wzn::EncodeFrame(Wzn::FrameKind::kXdr, (static_cast<uint64_t>(Pick(0xFFFF)) << 16) | Pick(0xFFFF),
                                  body);
        std::string control(4, '\0');
        control[3] = static_cast<char>(Pick(9));
        return Wzn::EncodeFrame(Wzn::FrameKind::kControl, 0, control + body);
      }
      case 6: {  // a range of the XML deleted or repeated, length fixed up
        if (s.size() <= Wzn::kFrameHeaderSize + 2) return s;
        std::string xml = s.substr(Wzn::kFrameHeaderSize);
        size_t a = Pick(xml.size()), len = 1 + Pick(std::min<size_t>(40, xml.size() - a));
        if (Pick(2) == 0)
          xml.erase(a, len);
        else
          xml.insert(Pick(xml.size()), xml.substr(a, len));
        return Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, xml);
      }
      default: {  // good frames around a bad one
        std::string bad = s;
        bad[Pick(bad.size())] ^= 0x5A;
        return m_seeds[0] + bad + m_seeds[1];
      }
    }
  }

 private:
  size_t Pick(size_t n) { return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(m_rng); }
  std::string Random(size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(Pick(256));
    return s;
  }
  std::mt19937 m_rng;
  std::vector<std::string> m_seeds;
};

class HostileInputTest : public IntegrationTest {
 protected:
  void Populate(const std::string& ep) {
    ASSERT_EQ(Call(ep, *WzCtl::MakeCreateTarget(kTarget, "", 0)).errorCode, 0);
    WzCtl::LunCreateArgs cfg;
    cfg.target = kTarget;
    cfg.type = 2;
    cfg.path = Path("disk");
    cfg.serial = "H1";
    ASSERT_EQ(Call(ep, *WzCtl::MakeCreateLun(cfg, 0)).errorCode, 0);
    ASSERT_EQ(Call(ep, *WzCtl::MakeMapHost(kTarget, 0, "host-h", 0)).errorCode, 0);
  }
};

TEST_F(HostileInputTest, FuzzedFramesLeaveTheDaemonServingAndTheModelAlone) {
  WriteConfig("[wzscsid]\nMaxFrameBytes=65536\n");
  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string ep = d.UnixEndpoint();
  Populate(ep);
  const Model before = Snapshot(ep);

  const char* seedText = getenv("WZ_FUZZ_SEED");
  const uint32_t seed = seedText != nullptr ? static_cast<uint32_t>(strtoul(seedText, nullptr, 10)) : 20240131u;
  RecordProperty("fuzz_seed", std::to_string(seed));
  SCOPED_TRACE("fuzz seed " + std::to_string(seed) + " (set WZ_FUZZ_SEED to replay)");
  Mutator mutate(seed);
  for (int i = 1; i <= kFuzzIterations; ++i) {
    CWzClient c;
    ASSERT_TRUE(c.Connect(ep, "", 10000).IsSuccess()) << "iteration " << i;
    CRnError sent = c.SendRaw(mutate.Next());
    (void)sent;  // the daemon may close before it took everything
    Wzn::Frame f;
    CRnError got = c.ReceiveFrame(f, 20);
    (void)got;
    c.Close();
    if (i % kCheckEvery == 0) {
      ASSERT_TRUE(d.Running()) << "iteration " << i << "\n" << ReadFile(d.StderrFile());
      ASSERT_EQ(Call(ep, *WzCtl::MakeListTargets(0)).errorCode, 0) << "iteration " << i;
    }
  }
  ASSERT_TRUE(d.Running());
  EXPECT_EQ(Snapshot(ep), before);
  EXPECT_EQ(d.Stop(), 0);
}

TEST_F(HostileInputTest, OversizedFramesCloseOnlyTheirConnection) {
  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string ep = d.UnixEndpoint();
  CWzClient bystander;
  ASSERT_TRUE(bystander.Connect(ep).IsSuccess());

  for (uint32_t claimed : {(1u << 20) + 1, 0xFFFFFFFFu}) {
    std::string header = Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, "");
    for (int i = 0; i < 4; ++i) header[16 + i] = static_cast<char>((claimed >> (24 - 8 * i)) & 0xFF);
    CWzClient c;
    ASSERT_TRUE(c.Connect(ep).IsSuccess());
    ASSERT_TRUE(c.SendRaw(header).IsSuccess());
    Wzn::Frame notice;
    ASSERT_TRUE(c.ReceiveFrame(notice, 10000).IsSuccess()) << "refused at once, before any payload";
    Wzn::ControlMessage control;
    ASSERT_TRUE(Wzn::ParseControl(notice.payload, control).IsSuccess());
    EXPECT_EQ(control.type, Wzn::ControlType::kError);
    EXPECT_NE(control.text.find("exceeds the limit"), std::string::npos) << control.text;
    EXPECT_TRUE(CWzClient::IsClosed(c.ReceiveFrame(notice, 10000)));
  }
  // A whole 2 MiB message: the send may be cut off, the daemon goes on.
  {
    CWzClient c;
    ASSERT_TRUE(c.Connect(ep).IsSuccess());
    CRnError e = c.SendRaw(Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, std::string(2u << 20, 'x')));
    (void)e;
  }
  std::unique_ptr<CNMessageBase> reply;
  ASSERT_TRUE(bystander.Call(*WzCtl::MakeListTargets(0), reply, 10000).IsSuccess());
  EXPECT_EQ(WzCtl::ViewReply(*reply).errorCode, 0);
  EXPECT_TRUE(d.Running());
}

TEST_F(HostileInputTest, AThousandIdleConnections) {
  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string ep = d.UnixEndpoint();
  std::vector<std::unique_ptr<CWzClient>> idle;
  for (int i = 0; i < 1000; ++i) {
    idle.push_back(std::make_unique<CWzClient>());
    ASSERT_TRUE(idle.back()->Connect(ep).IsSuccess()) << "connection " << i;
  }
  // Served while they all sit there, on a new connection and on an old one.
  Populate(ep);
  ASSERT_FALSE(HasFailure()) << ReadFile(d.StderrFile());
  std::unique_ptr<CNMessageBase> reply;
  ASSERT_TRUE(idle[500]->Call(*WzCtl::MakeListTargets(0), reply, 30000).IsSuccess());
  EXPECT_EQ(WzCtl::ViewReply(*reply).results, std::vector<std::string>{kTarget});
  idle.clear();
  EXPECT_EQ(Call(ep, *WzCtl::MakeListLuns("", "", 0)).results.size(), 1u);
  EXPECT_EQ(d.Stop(), 0);
}

TEST_F(HostileInputTest, ConnectionLimitAndIdleTimeOut) {
  WriteConfig("[wzscsid]\nMaxConnections=20\nIdleTimeoutSecs=2\n");
  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string ep = d.UnixEndpoint();
  std::vector<std::unique_ptr<CWzClient>> held;
  for (int i = 0; i < 20; ++i) {
    held.push_back(std::make_unique<CWzClient>());
    ASSERT_TRUE(held.back()->Connect(ep).IsSuccess());
  }
  CWzClient extra;
  ASSERT_TRUE(extra.Connect(ep).IsSuccess());
  Wzn::Frame notice;
  ASSERT_TRUE(extra.ReceiveFrame(notice, 10000).IsSuccess());
  Wzn::ControlMessage control;
  ASSERT_TRUE(Wzn::ParseControl(notice.payload, control).IsSuccess());
  EXPECT_EQ(control.text, "too many connections");

  // Idle ones are closed after the time-out, which makes room again.
  EXPECT_TRUE(CWzClient::IsClosed(held[0]->ReceiveFrame(notice, 30000)));
  held.clear();
  // The daemon learns of the other closes in its own time.
  WzCtl::CallResult r;
  for (int attempt = 0; attempt < 100 && !r.reply; ++attempt) {
    r = WzCtl::CallOnce(ep, "", *WzCtl::MakeListTargets(0), 10000);
    if (!r.reply) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  ASSERT_TRUE(r.reply) << r.errorText;
  EXPECT_EQ(WzCtl::ViewReply(*r.reply).errorCode, 0);
  EXPECT_TRUE(d.Running());
}

// XDR messages of groups nobody serves, 1.2 MB of them (they once cost
// three error lines each, ten times their size in log): one line per group.
TEST_F(HostileInputTest, AnXdrFloodOfUnservedGroupsLogsALinePerGroup) {
  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string ep = d.UnixEndpoint();
  const size_t logBefore = ReadFile(d.LogFile()).size();
  CWzClient client;
  ASSERT_TRUE(client.Connect(ep).IsSuccess());
  const std::string payload(100, 'x');
  for (int i = 0; i < 12000; ++i) {
    const uint64_t id = i % 3 == 0 ? 0x0A001234u : i % 3 == 1 ? 0x03220007u : 0x80000001u;
    ASSERT_TRUE(client.SendXdr(id, payload).IsSuccess()) << i;
  }
  // The messages are handled in order: a request after them comes after.
  std::unique_ptr<CNMessageBase> reply;
  ASSERT_TRUE(client.Call(*WzCtl::MakeListTargets(0), reply, 60000).IsSuccess());
  const std::string log = ReadFile(d.LogFile()).substr(logBefore);
  EXPECT_EQ(CountOf(log, "dropped: no backing store serves that group"), 3u) << log.substr(0, 4000);
  EXPECT_LT(log.size(), 8u * 1024) << "12000 messages";
  EXPECT_EQ(d.Stop(), 0);
}

}  // namespace
}  // namespace wzit
