// Changes of different targets run in parallel, changes of one target one
// at a time: 16 clients send a few hundred mixed requests each, on targets
// they share and targets of their own, over a slow driver. Every request
// gets exactly one reply, no driver ever sees two calls for one target at
// once, and the model afterwards is exactly what a replay of the action log
// gives. Run under TSan too.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <random>
#include <thread>

#include "tests/support/service_harness.h"

using namespace wztest;

namespace {

constexpr int kClients = 16;
constexpr int kRequestsPerClient = 150;
constexpr int kShared = 4;

// The model as comparable lines (closed LUNs come back open from a replay,
// so the closed flag is left out).
std::vector<std::string> Describe(const WzScsiSrv::TargetMap& model) {
  std::vector<std::string> lines;
  for (const auto& t : model) {
    lines.push_back(t.first);
    for (const auto& l : t.second.luns) {
      lines.push_back(t.first + ":" + std::to_string(l.first) + " " + l.second.path + " " +
                      std::to_string(l.second.creationTime));
      for (const auto& h : l.second.hosts) lines.push_back(t.first + ":" + std::to_string(l.first) + " <- " + h.first);
    }
  }
  return lines;
}

// One client: a seeded mix of every request kind on two shared targets and
// its own.
void Client(ServiceHarness& h, int id, int& replies, int& requests) {
  std::mt19937 rng(1000 + id);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const std::string own = "iqn.2000-01.t:own:" + std::to_string(id);
  for (int i = 0; i < kRequestsPerClient; ++i) {
    const std::string target = pick(3) == 0 ? own : "iqn.2000-01.t:shared:" + std::to_string(pick(kShared));
    const int lun = pick(3);
    const std::string host = "host-" + std::to_string(pick(3));
    std::unique_ptr<CNMessageBase> request;
    switch (pick(10)) {
      case 0:
        request = MakeCreateTarget(target);
        break;
      case 1:
        request = MakeDeleteTarget(target);
        break;
      case 2:
        request = MakeCreateLun(target, 2, "-ti " + target + " -path /dev/b" + std::to_string(id) + " -sp B");
        break;
      case 3:
        request = MakeCreateLun(target, 3, "-ti " + target + " -ssid s" + std::to_string(id) + " -sp S");
        break;
      case 4:
        request = MakeDeleteLun(target, lun);
        break;
      case 5:
        request = MakeDeleteLun(target, lun, 1);
        break;  // close
      case 6:
        request = MakeCreateLun(target, 0, "-li " + std::to_string(lun), 2);
        break;  // open
      case 7:
        request = MakeMap(target, lun, host);
        break;
      case 8:
        request = MakeUnMap(target, lun, host);
        break;
      default:
        request = MakeIoctl(pick(2) == 0 ? "ll" : "lt");
        break;
    }
    ++requests;
    if (h.Send(std::move(request), 60000)) ++replies;
  }
}

TEST(ParallelChanges, DistinctTargetsOverlapOneTargetNeverAndTheLogReplaysTheModel) {
  setenv("WZSCSI_FAKE_DELAY_US", "300", 1);
  {
    ServiceHarness h;
    for (int s = 0; s < kShared; ++s)
      ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:shared:" + std::to_string(s)))), 0);
    h.ClearJournal();

    std::vector<int> replies(kClients, 0), requests(kClients, 0);
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
      clients.emplace_back(Client, std::ref(h), c, std::ref(replies[c]), std::ref(requests[c]));
    for (std::thread& t : clients) t.join();
    h.Drain();
    for (int c = 0; c < kClients; ++c) EXPECT_EQ(replies[c], requests[c]) << "client " << c;

    for (const std::string& line : h.Journal())
      EXPECT_EQ(line.find(".Overlap "), std::string::npos) << "two calls for one target at once: " << line;

    const std::vector<std::string> model = Describe(h.Service().SnapshotTargets());
    h.Restart();
    EXPECT_EQ(Describe(h.Service().SnapshotTargets()), model) << "the action log replays to the model";
  }
  unsetenv("WZSCSI_FAKE_DELAY_US");
}

}  // namespace
