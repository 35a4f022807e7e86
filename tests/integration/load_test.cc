// Load: 16 clients send 500 mixed requests each, on targets of their own and
// on targets they share. Every request gets exactly one reply, of its own
// class; and the model the daemon ends with is the one its action log gives
// a fresh daemon.
#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "hostlib/net/client.h"
#include "messages/WzScsiServerMessages.h"
#include "tests/integration/integration_support.h"

namespace wzit {
namespace {

constexpr int kClients = 16;
constexpr int kRequestsPerClient = 500;
constexpr int kSharedTargets = 3;

std::string Shared(size_t i) { return "iqn.2024-01.com.example:shared-" + std::to_string(i); }

const char* ReplyClassOf(const CNMessageBase& request) {
  using namespace WzScsiServer;
  static const std::map<uint32_t, const char*> kReplies = {{kCreateTarget.tagId, "CreateTargetRsp"},
                                                           {kDeleteTarget.tagId, "DeleteTargetRsp"},
                                                           {kCreateLun.tagId, "CreateLunRsp"},
                                                           {kDeleteLun.tagId, "DeleteLunRsp"},
                                                           {kMapLun2Host.tagId, "MapLun2HostRsp"},
                                                           {kUnMapLun2Host.tagId, "UnMapLun2HostRsp"},
                                                           {kIoctl.tagId, "IoctlRsp"}};
  auto it = kReplies.find(request.getTagID());
  return it == kReplies.end() ? "?" : it->second;
}

struct ClientTally {
  int sent = 0;
  int replies = 0;
  int wrongClass = 0;
  int succeeded = 0;
  int extraReplies = 0;
  std::string failure;
};

// One client: a target of its own, LUNs there and on the shared targets,
// mappings of those LUNs, deletions, listings, and contested creates and
// deletes of the shared targets.
class Client {
 public:
  Client(int id, const std::string& disk) : m_id(id), m_rng(1000 + id), m_disk(disk) {}

  void Run(const std::string& ep, ClientTally& tally) {
    if (CRnError e = m_conn.Connect(ep)) {
      tally.failure = e.AsString();
      return;
    }
    for (int i = 0; i < kRequestsPerClient; ++i) {
      std::unique_ptr<CNMessageBase> request = NextRequest();
      std::unique_ptr<CNMessageBase> reply;
      ++tally.sent;
      if (CRnError e = m_conn.Call(*request, reply, 120000)) {
        tally.failure = "request " + std::to_string(i) + ": " + e.AsString();
        return;
      }
      ++tally.replies;
      WzCtl::ReplyView v = WzCtl::ViewReply(*reply);
      if (v.replyClass != ReplyClassOf(*request)) ++tally.wrongClass;
      if (v.errorCode == 0) ++tally.succeeded;
      Learn(*request, v);
    }
    // Nothing more may come: one reply per request.
    std::unique_ptr<CNMessageBase> extra;
    CRnError after = m_conn.ReceiveReply(extra, 300);
    if (!CWzClient::IsTimeout(after)) ++tally.extraReplies;
  }

 private:
  struct Lun {
    std::string target;
    int64_t id;
    std::set<std::string> hosts;
  };

  size_t Pick(size_t n) { return std::uniform_int_distribution<size_t>(0, n - 1)(m_rng); }
  std::string Own() const { return "iqn.2024-01.com.example:own-" + std::to_string(m_id); }
  std::string Host() { return "host-" + std::to_string(m_id) + "-" + std::to_string(Pick(3)); }

  std::unique_ptr<CNMessageBase> CreateLunOn(const std::string& target) {
    WzCtl::LunCreateArgs cfg;
    cfg.target = target;
    cfg.type = 1 + static_cast<int64_t>(Pick(4));
    if (cfg.type == 3)
      cfg.ssid = "s" + std::to_string(m_id);
    else
      cfg.path = m_disk;
    cfg.serial = "L" + std::to_string(m_id);
    return WzCtl::MakeCreateLun(cfg, 0);
  }

  std::unique_ptr<CNMessageBase> NextRequest() {
    m_pendingLun = -1;
    switch (Pick(8)) {
      case 0:
        if (!m_ownExists) return WzCtl::MakeCreateTarget(Own(), "load", 0);
        return CreateLunOn(Own());
      case 1:
        return CreateLunOn(Shared(Pick(kSharedTargets)));
      case 2:
        if (!m_luns.empty()) {
          m_pendingLun = static_cast<int>(Pick(m_luns.size()));
          m_pendingHost = Host();
          return WzCtl::MakeMapHost(m_luns[m_pendingLun].target, m_luns[m_pendingLun].id, m_pendingHost, 0);
        }
        return WzCtl::MakeListLuns("", "", 0);
      case 3:
        for (size_t i = 0; i < m_luns.size(); ++i)
          if (!m_luns[i].hosts.empty()) {
            m_pendingLun = static_cast<int>(i);
            m_pendingHost = *m_luns[i].hosts.begin();
            return WzCtl::MakeUnmapHost(m_luns[i].target, m_luns[i].id, m_pendingHost, 0);
          }
        return WzCtl::MakeListTargets(0);
      case 4:
        for (size_t i = 0; i < m_luns.size(); ++i)
          if (m_luns[i].hosts.empty()) {
            m_pendingLun = static_cast<int>(i);
            return WzCtl::MakeDeleteLun(m_luns[i].target, m_luns[i].id, false, 0);
          }
        return WzCtl::MakeListLuns(Shared(Pick(kSharedTargets)), "", 0);
      case 5:
        return Pick(2) == 0 ? WzCtl::MakeListTargets(0) : WzCtl::MakeListLuns("", Host(), 0);
      case 6:
        return Pick(2) == 0 ? WzCtl::MakeCreateTarget(Shared(Pick(kSharedTargets)), "", 0)
                            : WzCtl::MakeDeleteTarget(Shared(Pick(kSharedTargets)), 0);
      default: {
        bool ownLuns = std::any_of(m_luns.begin(), m_luns.end(), [&](const Lun& l) { return l.target == Own(); });
        if (m_ownExists && !ownLuns) return WzCtl::MakeDeleteTarget(Own(), 0);
        return WzCtl::MakeListLuns(Own(), "", 0);
      }
    }
  }

  // Keeps what this client owns in step with the answers it got.
  void Learn(const CNMessageBase& request, const WzCtl::ReplyView& v) {
    using namespace WzScsiServer;
    if (v.errorCode != 0) return;
    const uint32_t tag = request.getTagID();
    if (tag == kCreateTarget.tagId && static_cast<const CreateTarget&>(request).targetId() == Own()) {
      m_ownExists = true;
    } else if (tag == kDeleteTarget.tagId && static_cast<const DeleteTarget&>(request).targetId() == Own()) {
      m_ownExists = false;
    } else if (tag == kCreateLun.tagId) {
      m_luns.push_back(Lun{static_cast<const CreateLun&>(request).targetId(), v.lunId, {}});
    } else if (tag == kMapLun2Host.tagId && m_pendingLun >= 0) {
      m_luns[m_pendingLun].hosts.insert(m_pendingHost);
    } else if (tag == kUnMapLun2Host.tagId && m_pendingLun >= 0) {
      m_luns[m_pendingLun].hosts.erase(m_pendingHost);
    } else if (tag == kDeleteLun.tagId && m_pendingLun >= 0) {
      m_luns.erase(m_luns.begin() + m_pendingLun);
    }
  }

  int m_id;
  std::mt19937 m_rng;
  std::string m_disk;
  CWzClient m_conn;
  bool m_ownExists = false;
  std::vector<Lun> m_luns;
  int m_pendingLun = -1;
  std::string m_pendingHost;
};

class LoadTest : public IntegrationTest {};

TEST_F(LoadTest, SixteenClientsEachGetOneReplyPerRequest) {
  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string ep = d.UnixEndpoint();
  for (size_t i = 0; i < kSharedTargets; ++i)
    ASSERT_EQ(Call(ep, *WzCtl::MakeCreateTarget(Shared(i), "", 0)).errorCode, 0);

  std::vector<ClientTally> tallies(kClients);
  std::vector<std::unique_ptr<Client>> clients;
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) clients.push_back(std::make_unique<Client>(c, Path("disk")));
  for (int c = 0; c < kClients; ++c) threads.emplace_back([&, c] { clients[c]->Run(ep, tallies[c]); });
  for (std::thread& t : threads) t.join();

  int succeeded = 0;
  for (int c = 0; c < kClients; ++c) {
    const ClientTally& t = tallies[c];
    EXPECT_EQ(t.failure, "") << "client " << c;
    EXPECT_EQ(t.sent, kRequestsPerClient) << "client " << c;
    EXPECT_EQ(t.replies, t.sent) << "client " << c;
    EXPECT_EQ(t.wrongClass, 0) << "client " << c;
    EXPECT_EQ(t.extraReplies, 0) << "client " << c;
    succeeded += t.succeeded;
  }
  RecordProperty("succeeded", succeeded);
  ASSERT_TRUE(d.Running());

  const Model live = Snapshot(ep);
  EXPECT_FALSE(live.luns.empty());
  EXPECT_EQ(d.Stop(), 0);

  CWzDaemonProcess fresh;
  WzDaemonLaunch cfg = LaunchOptions();
  cfg.logFile = StateDir() + "/replay.log";
  ASSERT_TRUE(fresh.Start(cfg).IsSuccess());
  EXPECT_EQ(Snapshot(fresh.UnixEndpoint()), live);
  EXPECT_EQ(CountOf(ReadFile(cfg.logFile), "PLAYBACK ERROR"), 0u);
}

}  // namespace
}  // namespace wzit
