// Hundreds of create and delete requests for overlapping names at once, on a
// slow driver: handlers never interleave a check and its change.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <set>
#include <sstream>

#include "tests/support/service_harness.h"

using namespace wztest;

namespace {

std::string Field(const std::string& line, const std::string& key) {
  std::istringstream in(line);
  std::string token;
  while (in >> token)
    if (token.compare(0, key.size() + 1, key + "=") == 0) return token.substr(key.size() + 1);
  return std::string();
}

}  // namespace

TEST(TargetConcurrency, OverlappingCreatesAndDeletesKeepModelDriverAndLogInStep) {
  setenv("WZSCSI_FAKE_DELAY_US", "200", 1);
  {
    ServiceHarness h;
    const int kNames = 8;
    const int kRequests = 400;
    std::vector<WznHandle_t> handles;
    for (int i = 0; i < kRequests; ++i) {
      std::string name = "iqn.2000-01.t:t" + std::to_string((i * 7) % kNames);
      if (i % 3 == 0) name = "IQN.2000-01.t:T" + std::to_string((i * 7) % kNames);  // case must not split names
      std::unique_ptr<CNMessageBase> req;
      if (i % 2 == 0)
        req = MakeCreateTarget(name);
      else
        req = MakeDeleteTarget(name);
      WznHandle_t handle = h.Net().Connect();
      handles.push_back(handle);
      ASSERT_TRUE(h.Service()
                      .IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_RECEIVED, &h.Net(), handle, req.release())
                      .IsSuccess());
    }
    for (WznHandle_t handle : handles) ASSERT_TRUE(h.Net().WaitForReplies(handle, 1, 60000));

    // Replaying the driver's journal gives the model: the driver never saw a
    // second create of a live name, nor a delete of a dead one.
    std::set<std::string> live;
    for (const std::string& line : h.Journal()) {
      std::string name = Field(line, "targetId");
      if (line.compare(0, 22, "platform.CreateTarget ") == 0) {
        EXPECT_TRUE(live.insert(name).second) << "created twice: " << name;
      } else if (line.compare(0, 22, "platform.DeleteTarget ") == 0) {
        EXPECT_EQ(live.erase(name), 1u) << "deleted while absent: " << name;
      }
    }
    std::set<std::string> model;
    for (const auto& kv : h.Service().SnapshotTargets()) model.insert(kv.first);
    EXPECT_EQ(model, live);

    // And the action log holds exactly the live targets.
    std::set<std::string> saved;
    std::vector<std::string> tree = ListTree(h.ActionLogRoot() + "/Targets");
    for (const std::string& entry : tree)
      if (entry.find('/') == entry.size() - 1) saved.insert(entry.substr(0, entry.size() - 1));
    std::set<std::string> expectedDirs;
    for (const std::string& name : live) {
      expectedDirs.insert(Guid(name));
    }
    EXPECT_EQ(saved, expectedDirs);
  }
  unsetenv("WZSCSI_FAKE_DELAY_US");
}
