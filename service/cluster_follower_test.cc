// The follower applies another gateway's changes through the change path a
// replay uses: every check runs. Driven through its way in for the watch's
// events, on a gateway whose etcd cannot be reached (nothing here needs it).
#include "service/cluster_follower.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

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

std::vector<std::string> Failures(ServiceHarness& h) {
  std::vector<std::string> out;
  auto* status = dynamic_cast<WzScsiServer::IoctlRsp*>(h.Send(MakeIoctl("status")).get());
  if (status == nullptr) return {"<no status>"};
  for (const std::string& line : status->results())
    if (line.rfind("failure=", 0) == 0) out.push_back(line);
  return out;
}

// Another gateway's LUN outside BackingStoreDirs is refused here as a
// client's request would be, listed as not restored, and still mirrored into
// the cache (which follows etcd whatever the engine does).
TEST(ClusterFollower, AnotherGatewaysLunOutsideTheAllowedDirectoriesIsRefused) {
  HarnessOptions options;
  options.start = false;
  ServiceHarness h(options);
  const std::string disks = h.Root() + "/disks";
  ASSERT_EQ(::mkdir(disks.c_str(), 0755), 0);
  WriteFile(disks + "/ok.img", "x");
  h.SetConfig("BackingStoreDirs", disks);
  h.SetConfig("ClusterEndpoints", "127.0.0.1:1");
  h.SetConfig("ClusterName", "unit");
  h.SetConfig("ClusterRequestTimeoutMs", "100");
  h.Restart(true);
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
  });

  auto model = h.Service().SnapshotTargets();
  ASSERT_EQ(model.count("iqn.2000-01.t:a"), 1u);
  EXPECT_EQ(model["iqn.2000-01.t:a"].luns.size(), 1u);
  EXPECT_EQ(model["iqn.2000-01.t:a"].luns.count(0), 1u);
  for (const std::string& line : h.Journal("platform.CreateLun"))
    EXPECT_EQ(line.find("shadow"), std::string::npos) << "never exported: " << line;
  const std::vector<std::string> failures = Failures(h);
  ASSERT_EQ(failures.size(), 1u) << ::testing::PrintToString(failures);
  EXPECT_EQ(failures[0].rfind("failure=LUN\tiqn.2000-01.t:a\t1\t", 0), 0u) << failures[0];
  EXPECT_NE(failures[0].find("outside the directories and devices of BackingStoreDirs"), std::string::npos)
      << failures[0];
  EXPECT_TRUE(h.Log().Contains("Could not apply from the cluster: put LUN 1 of target iqn.2000-01.t:a (revision 12)"));
  const std::string lunFile =
      WzScsiSrvActionLog::LunFile(WzScsiSrvActionLog::TargetDir(h.ActionLogRoot(), "iqn.2000-01.t:a"), 1);
  EXPECT_NE(ReadFile(lunFile).find("/etc/shadow"), std::string::npos) << "the cache follows etcd";
}

}  // namespace
