// LUN creates, maps, unmaps and deletes from several clients at once on a
// slow driver: every reply is right, LUN numbers are never handed out twice,
// and the model, the driver and the action log end in step.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <map>
#include <set>
#include <thread>

#include "tests/support/service_lun_support.h"

using namespace wztest;
using namespace wzluntest;

namespace {

const char* const kShared = "iqn.2020-01.test:shared";

std::string LunArgs(const std::string& target, int type) {
  return "-ti " + target + (type == 3 ? " -ssid s -sp SN" : " -path /dev/x -sp AB");
}

std::set<int> SavedLuns(ServiceHarness& h, const std::string& target) {
  std::set<int> out;
  for (const std::string& name :
       ListTree(WzScsiSrvActionLog::LunsDir(WzScsiSrvActionLog::TargetDir(h.ActionLogRoot(), target))))
    out.insert(std::stoi(name));
  return out;
}

TEST(LunConcurrency, CreatesMapsUnmapsAndDeletesOnSeveralTargetsKeepEverythingInStep) {
  setenv("WZSCSI_FAKE_DELAY_US", "100", 1);
  {
    ServiceHarness h;
    if (h.Service().GetStatus() != WzScsiSrv::SVC_INITIALIZED) h.Service().SetStatus(WzScsiSrv::SVC_INITIALIZED);
    const std::vector<std::string> own = {"iqn.2020-01.test:a", "iqn.2020-01.test:b", "iqn.2020-01.test:c"};
    for (const std::string& t : own) ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget(t))), 0);
    ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget(kShared))), 0);

    const int kRounds = 8;
    std::vector<std::thread> clients;
    std::vector<std::vector<std::string>> failures(own.size() + 2);
    auto expect0 = [&](size_t client, const std::shared_ptr<CNMessageBase>& reply, const std::string& what) {
      if (ReplyCode(reply) != 0) failures[client].push_back(what + ": " + ReplyText(reply));
    };
    // One client per private target: full life cycles of LUNs and mappings.
    for (size_t c = 0; c < own.size(); ++c) {
      clients.emplace_back([&, c] {
        const std::string& t = own[c];
        for (int r = 0; r < kRounds; ++r) {
          const int type = 2 + r % 2;
          auto created = h.Send(MakeCreateLun(t, type, LunArgs(t, type)));
          expect0(c, created, "create");
          if (ReplyCode(created) != 0) continue;
          const int64_t lun = AsCreateLunRsp(created)->lunId();
          const std::string host = "Host" + std::to_string(r);
          expect0(c, h.Send(MakeMap(t, lun, host)), "map");
          expect0(c, h.Send(MakeMap(t, lun, "x" + host)), "map 2");
          expect0(c, h.Send(MakeUnMap(t, lun, host)), "unmap");
          expect0(c, h.Send(MakeUnMap(t, lun, "x" + host)), "unmap 2");
          expect0(c, h.Send(MakeDeleteLun(t, lun)), "delete");
        }
      });
    }
    // Two clients share a target: the numbers of LUNs created at the same
    // time must come out distinct; then both delete half of theirs at once.
    std::vector<std::vector<int>> sharedLuns(2);
    auto shared = [&](bool create) {
      std::vector<std::thread> pair;
      for (size_t s = 0; s < 2; ++s) {
        const size_t c = own.size() + s;
        pair.emplace_back([&, s, c, create] {
          for (int r = 0; create && r < kRounds; ++r) {
            auto created = h.Send(MakeCreateLun(kShared, 2, LunArgs(kShared, 2)));
            expect0(c, created, "shared create");
            if (ReplyCode(created) == 0) sharedLuns[s].push_back(static_cast<int>(AsCreateLunRsp(created)->lunId()));
          }
          for (size_t i = 0; !create && i < sharedLuns[s].size(); i += 2)
            expect0(c, h.Send(MakeDeleteLun(kShared, sharedLuns[s][i])), "shared delete");
        });
      }
      for (std::thread& t : pair) t.join();
    };
    shared(true);
    shared(false);
    for (std::thread& t : clients) t.join();
    for (const auto& f : failures) EXPECT_TRUE(f.empty()) << f.front();

    std::set<int> all, remaining;
    for (const auto& mine : sharedLuns) {
      for (size_t i = 0; i < mine.size(); ++i) {
        EXPECT_TRUE(all.insert(mine[i]).second) << "LUN number given twice: " << mine[i];
        if (i % 2 == 1) remaining.insert(mine[i]);
      }
    }

    const auto model = h.Service().SnapshotTargets();
    for (const std::string& t : own) {
      EXPECT_TRUE(model.at(t).luns.empty()) << t;
      EXPECT_TRUE(SavedLuns(h, t).empty()) << t;
      EXPECT_TRUE(
          ListTree(WzScsiSrvActionLog::MappingsDir(WzScsiSrvActionLog::TargetDir(h.ActionLogRoot(), t))).empty())
          << t;
    }
    std::set<int> modelShared;
    for (const auto& kv : model.at(kShared).luns) modelShared.insert(kv.first);
    EXPECT_EQ(modelShared, remaining);
    EXPECT_EQ(SavedLuns(h, kShared), remaining);

    // The driver never saw a live number created again nor a dead one deleted.
    std::map<std::string, std::set<std::string>> live;
    for (const std::string& line : h.Journal()) {
      const std::string key = Field(line, "targetId");
      if (line.compare(0, 19, "platform.CreateLun ") == 0) {
        EXPECT_TRUE(live[key].insert(Field(line, "lunId")).second) << line;
      } else if (line.compare(0, 19, "platform.DeleteLun ") == 0) {
        EXPECT_EQ(live[key].erase(Field(line, "lunId")), 1u) << line;
      }
    }
    EXPECT_EQ(live[kShared].size(), remaining.size());
  }
  unsetenv("WZSCSI_FAKE_DELAY_US");
}

// Creates on different targets run at once: of several LUNs created at the
// same time on one file, exactly one gets it, every other is refused naming
// the LUN that has it or is getting it, and only the winner reached a driver.
TEST(LunConcurrency, CreatesOnOneFileFromSeveralTargetsAtOnceLetExactlyOneHaveIt) {
  setenv("WZSCSI_FAKE_DELAY_US", "2000", 1);
  {
    ServiceHarness h;
    if (h.Service().GetStatus() != WzScsiSrv::SVC_INITIALIZED) h.Service().SetStatus(WzScsiSrv::SVC_INITIALIZED);
    const std::string file = h.Root() + "/one.img";
    WriteFile(file, "x");
    const size_t kTargets = 6;
    for (size_t t = 0; t < kTargets; ++t)
      ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2020-01.test:t" + std::to_string(t)))), 0);
    for (int round = 0; round < 4; ++round) {
      h.ClearJournal();
      std::vector<std::shared_ptr<CNMessageBase>> replies(kTargets);
      std::atomic<size_t> ready{0};
      std::vector<std::thread> clients;
      for (size_t t = 0; t < kTargets; ++t) {
        clients.emplace_back([&, t] {
          const std::string target = "iqn.2020-01.test:t" + std::to_string(t);
          for (++ready; ready < kTargets;) std::this_thread::yield();
          replies[t] = h.Send(MakeCreateLun(target, 2, "-ti " + target + " -path " + file + " -sp AB"));
        });
      }
      for (std::thread& c : clients) c.join();
      std::vector<size_t> won;
      for (size_t t = 0; t < kTargets; ++t)
        if (ReplyCode(replies[t]) == 0) won.push_back(t);
      ASSERT_EQ(won.size(), 1u) << "round " << round;
      const std::string winner = "iqn.2020-01.test:t" + std::to_string(won[0]);
      for (size_t t = 0; t < kTargets; ++t) {
        if (t == won[0]) continue;
        EXPECT_EQ(ReplyCode(replies[t]), 4) << ReplyText(replies[t]);
        EXPECT_NE(ReplyText(replies[t]).find("target " + winner + " (" + file + ")"), std::string::npos)
            << ReplyText(replies[t]);
      }
      EXPECT_EQ(h.Journal("platform.CreateLun").size(), 1u);
      const int64_t lun = AsCreateLunRsp(replies[won[0]])->lunId();
      ASSERT_EQ(ReplyCode(h.Send(MakeDeleteLun(winner, lun))), 0) << "its file is free again for the next round";
    }
  }
  unsetenv("WZSCSI_FAKE_DELAY_US");
}

}  // namespace
