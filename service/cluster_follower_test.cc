// The follower applies another gateway's changes through the change path a
// replay uses: every check runs. Driven through its way in for the watch's
// events, on a gateway whose etcd cannot be reached (nothing here needs it).
#include "service/cluster_follower.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>

#include "actionlog/action_log_layout.h"
#include "cluster/cluster_keys.h"
#include "tests/support/service_harness.h"
#include "tests/support/service_test_peer.h"

using namespace wztest;
namespace Keys = WzScsiSrvClusterKeys;

namespace {

WzEtcdEvent Put(const std::string& key, const CNMessageBase& request, int64_t revision) {
  WzEtcdEvent event;
  event.type = WzEtcdEvent::Type::kPut;
  event.kv.key = key;
  EXPECT_EQ(request.serialize(event.kv.value, false), 0);
  event.kv.modRevision = revision;
  return event;
}

WzEtcdEvent Delete(const std::string& key, int64_t revision) {
  WzEtcdEvent event;
  event.type = WzEtcdEvent::Type::kDelete;
  event.kv.key = key;
  event.kv.modRevision = revision;
  return event;
}

// The status lines that start with what.
std::vector<std::string> StatusLines(ServiceHarness& h, const std::string& what) {
  std::vector<std::string> out;
  auto* status = dynamic_cast<WzScsiServer::IoctlRsp*>(h.Send(MakeIoctl("status")).get());
  if (status == nullptr) return {"<no status>"};
  for (const std::string& line : status->results())
    if (line.rfind(what, 0) == 0) out.push_back(line);
  return out;
}

// Whether the double's engine grants host anything of target.
bool EngineGrants(ServiceHarness& h, const std::string& target, const std::string& host) {
  WzScsiSrvEngineView view;
  if (WzScsiSrvTestPeer(h.Service()).Platform()->ListOwned(view).IsError()) return true;
  auto t = view.targets.find(target);
  return t != view.targets.end() && t->second.hosts.count(host) != 0;
}

// Starts h in cluster "unit" on an etcd that never answers, with
// BackingStoreDirs holding disks/<file>; returns the disks directory. The
// events are fed to the follower by hand.
std::string StartUnreachableCluster(ServiceHarness& h, const std::string& file) {
  const std::string disks = h.Root() + "/disks";
  EXPECT_EQ(::mkdir(disks.c_str(), 0755), 0);
  WriteFile(disks + "/" + file, "x");
  h.SetConfig("BackingStoreDirs", disks);
  h.SetConfig("ClusterEndpoints", "127.0.0.1:1");
  h.SetConfig("ClusterName", "unit");
  h.SetConfig("ClusterRequestTimeoutMs", "100");
  h.Restart(true);
  return disks;
}

// Another gateway's LUN outside BackingStoreDirs is refused here as a
// client's request would be, listed as not restored, and still mirrored into
// the cache (which follows etcd whatever the engine does). So are what the
// replay refuses and skips (a mapping onto that LUN, a target file naming
// another target): logged and counted as not applied, never as the
// replay's.
TEST(ClusterFollower, AnotherGatewaysLunOutsideTheAllowedDirectoriesIsRefused) {
  HarnessOptions options;
  options.start = false;
  ServiceHarness h(options);
  const std::string disks = StartUnreachableCluster(h, "ok.img");
  WzScsiSrvClusterFollower* follower = WzScsiSrvTestPeer(h.Service()).Follower();
  ASSERT_NE(follower, nullptr);

  const std::string prefix = Keys::Prefix("unit");
  h.ClearJournal();
  follower->ApplyEvents({
      Put(Keys::TargetKey(prefix, "iqn.2000-01.t:a"), *MakeCreateTarget("iqn.2000-01.t:a"), 10),
      Put(Keys::LunKey(prefix, "iqn.2000-01.t:a", 0),
          *MakeCreateLun("iqn.2000-01.t:a", 2, "-ti iqn.2000-01.t:a -path " + disks + "/ok.img -sp OK"), 11),
      Put(Keys::LunKey(prefix, "iqn.2000-01.t:a", 1),
          *MakeCreateLun("iqn.2000-01.t:a", 2, "-ti iqn.2000-01.t:a -path /etc/shadow -sp NO"), 12),
      Put(Keys::MapKey(prefix, "iqn.2000-01.t:a", 1, "host-1"), *MakeMap("iqn.2000-01.t:a", 1, "host-1"), 13),
      Put(Keys::TargetKey(prefix, "iqn.2000-01.t:b"), *MakeCreateTarget("iqn.2000-01.t:c"), 14),
  });

  auto model = h.Service().SnapshotTargets();
  ASSERT_EQ(model.count("iqn.2000-01.t:a"), 1u);
  EXPECT_EQ(model["iqn.2000-01.t:a"].luns.size(), 1u);
  EXPECT_EQ(model["iqn.2000-01.t:a"].luns.count(0), 1u);
  for (const std::string& line : h.Journal("platform.CreateLun"))
    EXPECT_EQ(line.find("shadow"), std::string::npos) << "never exported: " << line;
  EXPECT_EQ(model.count("iqn.2000-01.t:b") + model.count("iqn.2000-01.t:c"), 0u);
  const std::vector<std::string> failures = StatusLines(h, "failure=");
  ASSERT_EQ(failures.size(), 3u) << ::testing::PrintToString(failures);
  EXPECT_EQ(failures[0].rfind("failure=LUN\tiqn.2000-01.t:a\t1\t", 0), 0u) << failures[0];
  EXPECT_NE(failures[0].find("outside the directories and devices of BackingStoreDirs"), std::string::npos)
      << failures[0];
  EXPECT_EQ(failures[1].rfind("failure=mapping\tiqn.2000-01.t:a\t1\thost-1\t", 0), 0u) << failures[1];
  EXPECT_EQ(failures[2].rfind("failure=target\t", 0), 0u) << failures[2];
  for (const std::string& f : failures) EXPECT_NE(f.find("\trefused from the cluster: "), std::string::npos) << f;
  for (const char* refused : {"put LUN 1 of target iqn.2000-01.t:a (revision 12)",
                              "put mapping of host host-1 to LUN 1 of target iqn.2000-01.t:a (revision 13): "
                              "mapping of iqn.2000-01.t:a LUN 1 host host-1: its LUN could not be restored",
                              "put target iqn.2000-01.t:b (revision 14): target of iqn.2000-01.t:c"}) {
    EXPECT_TRUE(h.Log().Contains(std::string("Could not apply from the cluster: ") + refused)) << refused;
    EXPECT_FALSE(h.Log().Contains(std::string("Applied from the cluster: ") + refused)) << refused;
  }
  // The counts name what they count: the start's replay restored nothing.
  EXPECT_EQ(StatusLines(h, "cluster.events"),
            (std::vector<std::string>{"cluster.eventsApplied=2", "cluster.eventsFailed=3", "cluster.eventsRefused=3"}));
  EXPECT_EQ(StatusLines(h, "replay.restored="),
            std::vector<std::string>{"replay.restored=targets:0 luns:0 mappings:0 present:0"});
  EXPECT_EQ(StatusLines(h, "replay.failed="), std::vector<std::string>{"replay.failed=targets:0 luns:0 mappings:0"});
  const std::string lunFile =
      WzScsiSrvActionLog::LunFile(WzScsiSrvActionLog::TargetDir(h.ActionLogRoot(), "iqn.2000-01.t:a"), 1);
  EXPECT_NE(ReadFile(lunFile).find("/etc/shadow"), std::string::npos) << "the cache follows etcd";
}

// A change whose commit fails while its cache file is written leaves
// nothing in the cache (no file, no temporary file, no folder of a new
// target) and nothing in the engine. The store is told that etcd answers, so
// the change goes as far as its commit, which finds no member.
TEST(ClusterStore, ACommitThatFailsLeavesNothingInTheCache) {
  HarnessOptions options;
  options.start = false;
  ServiceHarness h(options);
  const std::string disks = StartUnreachableCluster(h, "x.img");
  WzScsiSrvTestPeer peer(h.Service());
  ASSERT_NE(peer.ClusterStore(), nullptr);
  peer.Follower()->ApplyEvents({Put(Keys::TargetKey(Keys::Prefix("unit"), "iqn.a"), *MakeCreateTarget("iqn.a"), 10)});
  const std::string targets = WzScsiSrvActionLog::TargetsDir(h.ActionLogRoot());
  const std::vector<std::string> cached = ListTree(targets);

  const struct {
    const char* what;
    std::function<std::unique_ptr<CNMessageBase>()> request;
    const char* undo;
  } cases[] = {
      {"a new target", [] { return MakeCreateTarget("iqn.2000-01.t:b"); }, "platform.DeleteTarget"},
      {"a LUN", [&] { return MakeCreateLun("iqn.a", 2, "-ti iqn.a -path " + disks + "/x.img -sp X"); },
       "platform.DeleteLun"},
  };
  for (const auto& c : cases) {
    // The follower's probe may find etcd away first: then the change is
    // refused before its engine step, and is sent again.
    std::string text;
    for (int attempt = 0; attempt < 20; ++attempt) {
      h.ClearJournal();
      peer.ClusterStore()->SetAvailable(true);
      auto reply = h.Send(c.request());
      EXPECT_NE(ReplyCode(reply), 0) << c.what;
      text = ReplyText(reply) + ReplyLines(reply);
      if (!h.Journal(c.undo).empty()) break;
    }
    EXPECT_EQ(h.Journal(c.undo).size(), 1u) << c.what << ": " << text;
    EXPECT_EQ(ListTree(targets), cached) << c.what << ": " << text;
  }
  EXPECT_EQ(h.Service().SnapshotTargets().count("iqn.2000-01.t:b"), 0u);
  EXPECT_TRUE(h.Service().SnapshotTargets()["iqn.a"].luns.empty());
}

// An unmap of another gateway that arrives while the engine is down leaves
// the model at once, is listed as pending, and is never granted again: not
// by a reload while it waits, not by the reconcile of the engine's restart.
TEST(ClusterFollower, ARemovalTheEngineCannotTakeIsRetriedAndNeverGrantedAgain) {
  const std::string engineFile = "/tmp/wzscsi-follower-engine-" + std::to_string(::getpid());
  auto setEngine = [&engineFile](int instance) { WriteFile(engineFile, std::to_string(instance) + "\n"); };
  setEngine(1);
  ::setenv("WZSCSI_FAKE_ENGINE", engineFile.c_str(), 1);
  HarnessOptions options;
  options.start = false;
  ServiceHarness h(options);
  h.SetConfig("nEngineWatchPollMs", "20");
  const std::string disks = StartUnreachableCluster(h, "x.img");
  WzScsiSrvClusterFollower* follower = WzScsiSrvTestPeer(h.Service()).Follower();
  ASSERT_NE(follower, nullptr);
  const std::string prefix = Keys::Prefix("unit");
  follower->ApplyEvents({
      Put(Keys::TargetKey(prefix, "iqn.a"), *MakeCreateTarget("iqn.a"), 10),
      Put(Keys::LunKey(prefix, "iqn.a", 0), *MakeCreateLun("iqn.a", 2, "-ti iqn.a -path " + disks + "/x.img -sp X"),
          11),
      Put(Keys::MapKey(prefix, "iqn.a", 0, "host-1"), *MakeMap("iqn.a", 0, "host-1"), 12),
  });
  ASSERT_TRUE(EngineGrants(h, "iqn.a", "host-1"));

  h.SetFaults({"platform.UnMapHost", "platform.ListOwned"});  // the engine is down
  follower->ApplyEvents({Delete(Keys::MapKey(prefix, "iqn.a", 0, "host-1"), 20)});
  EXPECT_EQ(h.Service().SnapshotTargets()["iqn.a"].luns[0].hosts.count("host-1"), 0u) << "out of the model at once";
  EXPECT_EQ(StatusLines(h, "cluster.pendingRemovals="), std::vector<std::string>{"cluster.pendingRemovals=1"});
  const std::vector<std::string> pending = StatusLines(h, "cluster.pendingRemoval=");
  ASSERT_EQ(pending.size(), 1u);
  EXPECT_EQ(pending[0].rfind("cluster.pendingRemoval=mapping of host host-1 to LUN 0 of target iqn.a (revision 20", 0),
            0u)
      << pending[0];
  EXPECT_TRUE(h.Log().Contains("Pending from the cluster: removal of mapping of host host-1 to LUN 0 of target iqn.a"));
  h.Send(MakeIoctl("rc"));  // a reload while it waits grants nothing
  EXPECT_EQ(h.Service().SnapshotTargets()["iqn.a"].luns[0].hosts.count("host-1"), 0u);

  EXPECT_EQ(StatusLines(h, "cluster.pendingRemovals="), std::vector<std::string>{"cluster.pendingRemovals=1"});
  // Back, restarted empty: the reconcile makes the configuration, without
  // the mapping.
  h.SetFaults({});
  setEngine(2);
  bool done = false;
  for (int i = 0; i < 500 && !done; ++i) {
    done = StatusLines(h, "cluster.pendingRemovals=") == std::vector<std::string>{"cluster.pendingRemovals=0"};
    if (!done) ::usleep(20000);
  }
  EXPECT_TRUE(done);
  WzScsiSrvEngineView view;
  ASSERT_TRUE(WzScsiSrvTestPeer(h.Service()).Platform()->ListOwned(view).IsSuccess());
  EXPECT_EQ(view.targets.count("iqn.a"), 1u) << "the rest is served again";
  EXPECT_FALSE(EngineGrants(h, "iqn.a", "host-1"));
  EXPECT_TRUE(h.Log().Contains("Applied from the cluster after"));
  ::unsetenv("WZSCSI_FAKE_ENGINE");
  std::remove(engineFile.c_str());
}

}  // namespace
