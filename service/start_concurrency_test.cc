// Start and reload under concurrency, on a slow driver: start requests at
// once replay exactly once; reloads, listings and changes at once keep the
// model and the action log in step.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <set>

#include "tests/support/service_harness.h"

using namespace wztest;

namespace {

// Sets the doubles' delay for one test (before any thread starts).
class SlowDrivers {
 public:
  explicit SlowDrivers(const char* micros) { setenv("WZSCSI_FAKE_DELAY_US", micros, 1); }
  ~SlowDrivers() { unsetenv("WZSCSI_FAKE_DELAY_US"); }
  SlowDrivers(const SlowDrivers&) = delete;
  SlowDrivers& operator=(const SlowDrivers&) = delete;
};

WznHandle_t Post(ServiceHarness& h, std::unique_ptr<CNMessageBase> request) {
  WznHandle_t handle = h.Net().Connect();
  CRnError e =
      h.Service().IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_RECEIVED, &h.Net(), handle, request.release());
  EXPECT_TRUE(e.IsSuccess()) << e.AsString();
  return handle;
}

std::shared_ptr<CNMessageBase> ReplyOn(ServiceHarness& h, WznHandle_t handle) {
  if (!h.Net().WaitForReplies(handle, 1, 120000)) return nullptr;
  return h.Net().Replies(handle)[0];
}

}  // namespace

TEST(StartConcurrency, StartRequestsAtOnceReplayExactlyOnce) {
  SlowDrivers slow("300");
  ServiceHarness h;
  const int kTargets = 20;
  for (int i = 0; i < kTargets; ++i)
    ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:t" + std::to_string(i)))), 0);
  h.Restart(false);
  h.ClearJournal();
  h.Log().Clear();

  std::vector<WznHandle_t> handles;
  for (int i = 0; i < 4; ++i) handles.push_back(Post(h, MakeStart()));
  int started = 0;
  for (WznHandle_t handle : handles) {
    auto reply = ReplyOn(h, handle);
    ASSERT_TRUE(reply);
    if (ReplyCode(reply) == 0) {
      EXPECT_EQ(ReplyText(reply), "Scsi Service started!!!");
      ++started;
    } else {
      EXPECT_EQ(ReplyCode(reply), 1);
      EXPECT_EQ(ReplyText(reply), "Scsi service initialization is in progress...");
    }
  }
  EXPECT_GE(started, 1);
  h.Drain();
  EXPECT_EQ(h.Service().GetStatus(), WzScsiSrv::SVC_INITIALIZED);
  EXPECT_EQ(h.Journal("platform.CreateTarget").size(), static_cast<size_t>(kTargets));
  EXPECT_EQ(h.Log().Count("Playback finished:"), 1u);
  EXPECT_EQ(h.Service().SnapshotTargets().size(), static_cast<size_t>(kTargets));
}

TEST(StartConcurrency, ReloadsListingsAndChangesAtOnceKeepModelAndLogInStep) {
  SlowDrivers slow("100");
  ServiceHarness h;
  for (int i = 0; i < 6; ++i)
    ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:keep" + std::to_string(i)))), 0);
  h.Log().Clear();

  std::vector<WznHandle_t> reloads, others;
  for (int round = 0; round < 12; ++round) {
    const std::string name = "iqn.2000-01.t:churn" + std::to_string(round % 4);
    if (round % 3 == 0) reloads.push_back(Post(h, MakeIoctl("rc")));
    others.push_back(Post(h, MakeCreateTarget(name)));
    others.push_back(Post(h, MakeIoctl(round % 2 == 0 ? "ll" : "lt")));
    if (round % 2 == 1) others.push_back(Post(h, MakeDeleteTarget(name)));
  }
  for (WznHandle_t handle : reloads) {
    auto reply = ReplyOn(h, handle);
    ASSERT_TRUE(reply);
    EXPECT_EQ(ReplyCode(reply), 0);
    EXPECT_EQ(ReplyText(reply), "iSCSI service configuration reloaded successfully.");
  }
  for (WznHandle_t handle : others) ASSERT_TRUE(ReplyOn(h, handle));
  h.Drain();

  // A reload is one step for every other request: it never saw half a
  // change, so it never failed, and the model is what the log says.
  EXPECT_FALSE(h.Log().Contains("PLAYBACK ERROR"));
  std::set<std::string> modelDirs;
  for (const auto& kv : h.Service().SnapshotTargets()) modelDirs.insert(Guid(kv.first));
  std::set<std::string> savedDirs;
  for (const std::string& entry : ListTree(h.ActionLogRoot() + "/Targets"))
    if (entry.find('/') == entry.size() - 1) savedDirs.insert(entry.substr(0, entry.size() - 1));
  EXPECT_EQ(modelDirs, savedDirs);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(modelDirs.count(Guid("iqn.2000-01.t:keep" + std::to_string(i))), 1u);
}
