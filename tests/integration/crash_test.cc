// Durability under crash: several clients stream create requests while the
// daemon is killed with SIGKILL at a random moment, ten times. After every
// restart each change that was answered with code 0 is there, every saved
// file parses, and the replay logs no error.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "hostlib/net/client.h"
#include "tests/integration/integration_support.h"

namespace wzit {
namespace {

constexpr int kCycles = 10;
constexpr int kClients = 4;

// What the service confirmed, as it would appear in the listings.
struct Confirmed {
  std::set<std::string> targets;
  std::set<std::string> luns;      // target#lun
  std::set<std::string> mappings;  // target#host#lun
  void Merge(const Confirmed& o) {
    targets.insert(o.targets.begin(), o.targets.end());
    luns.insert(o.luns.begin(), o.luns.end());
    mappings.insert(o.mappings.begin(), o.mappings.end());
  }
};

// Creates targets, each with a LUN mapped to a host, until the daemon dies.
void Stream(const std::string& ep, const std::string& prefix, const std::string& disk, Confirmed& out) {
  CWzClient c;
  if (c.Connect(ep).IsError()) return;
  auto call = [&](const CNMessageBase& request, WzCtl::ReplyView& view) {
    std::unique_ptr<CNMessageBase> reply;
    if (c.Call(request, reply, 30000).IsError()) return false;
    view = WzCtl::ViewReply(*reply);
    return true;
  };
  for (int k = 0;; ++k) {
    const std::string target = prefix + "-" + std::to_string(k);
    WzCtl::ReplyView v;
    if (!call(*WzCtl::MakeCreateTarget(target, "", 0), v)) return;
    if (v.errorCode != 0) continue;
    out.targets.insert(target);
    WzCtl::LunCreateArgs cfg;
    cfg.target = target;
    cfg.type = 2;
    cfg.path = disk;
    cfg.serial = "C" + std::to_string(k);
    if (!call(*WzCtl::MakeCreateLun(cfg, 0), v)) return;
    if (v.errorCode != 0) continue;
    const std::string lun = std::to_string(v.lunId);
    out.luns.insert(target + "#" + lun);
    if (!call(*WzCtl::MakeMapHost(target, v.lunId, "host-x", 0), v)) return;
    if (v.errorCode == 0) out.mappings.insert(target + "#host-x#" + lun);
  }
}

class CrashTest : public IntegrationTest {
 protected:
  void ExpectIntact(const CWzDaemonProcess& d, const Confirmed& confirmed, int cycle) {
    SCOPED_TRACE("after restart " + std::to_string(cycle));
    Model m = Snapshot(d.UnixEndpoint());
    std::set<std::string> targets(m.targets.begin(), m.targets.end()), luns, mappings;
    for (const std::string& line : m.luns) {
      WzCtl::LunTuple t;
      ASSERT_TRUE(WzCtl::ParseLunTuple(line, t)) << line;
      luns.insert(t.target + "#" + std::to_string(t.lun));
      if (t.host != "-") mappings.insert(t.target + "#" + t.host + "#" + std::to_string(t.lun));
    }
    for (const std::string& t : confirmed.targets) EXPECT_EQ(targets.count(t), 1u) << t;
    for (const std::string& l : confirmed.luns) EXPECT_EQ(luns.count(l), 1u) << l;
    for (const std::string& h : confirmed.mappings) EXPECT_EQ(mappings.count(h), 1u) << h;

    for (const std::string& file : SavedFiles(StateDir())) {
      std::string text = ReadFile(file);
      int status = -1;
      EXPECT_TRUE(CNMessageBase::ParseXml(text.data(), text.size(), &status)) << file << " is torn: " << status;
    }
    const std::string log = ReadFile(d.LogFile());
    // No replay error at all: a torn file would fail to read, and what an
    // unanswered change leaves behind is skipped without one.
    std::string replayErrors;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
      if (line.find("PLAYBACK ERROR") != std::string::npos) replayErrors += line + "\n";
    EXPECT_EQ(replayErrors, "");
    EXPECT_NE(log.find("Start request answered: 0"), std::string::npos);
  }
};

TEST_F(CrashTest, AnsweredChangesSurviveSigkill) {
  std::mt19937 rng(7);
  Confirmed confirmed;
  for (int cycle = 0;; ++cycle) {
    CWzDaemonProcess d;
    WzDaemonLaunch cfg = LaunchOptions();
    cfg.logFile = StateDir() + "/wzscsid-" + std::to_string(cycle) + ".log";
    CRnError started = d.Start(cfg);
    ASSERT_TRUE(started.IsSuccess()) << started.AsString();
    ExpectIntact(d, confirmed, cycle);
    if (cycle == kCycles) break;

    std::vector<Confirmed> perClient(kClients);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
      clients.emplace_back(Stream, d.UnixEndpoint(),
                           "iqn.2024-01.com.example:r" + std::to_string(cycle) + "-c" + std::to_string(c), Path("disk"),
                           std::ref(perClient[c]));
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(150, 600)(rng)));
    d.Kill();
    for (std::thread& t : clients) t.join();
    for (const Confirmed& c : perClient) confirmed.Merge(c);
  }
  EXPECT_FALSE(confirmed.targets.empty()) << "the clients got nothing done before the kills";
  RecordProperty("confirmed_targets", static_cast<int>(confirmed.targets.size()));
}

}  // namespace
}  // namespace wzit
