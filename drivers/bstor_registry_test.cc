// The backing-store registry: load once and reuse, retry after a failed
// load, and the types that have no library.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include "hostlib/util/RnFiles.h"
#include "tests/support/service_harness.h"

using namespace wztest;

namespace {

const char* const kTarget = "iqn.2020-01.test:registry";

std::string BlkDevArgs() { return std::string("-ti ") + kTarget + " -path /dev/x -sp AB"; }

TEST(BStorRegistry, FirstBlockDeviceLunLoadsTheLibraryOnceAndLaterOnesReuseIt) {
  ServiceHarness h;
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget(kTarget))), 0);
  for (int i = 0; i < 3; ++i) ASSERT_EQ(ReplyCode(h.Send(MakeCreateLun(kTarget, 2, BlkDevArgs()))), 0);
  EXPECT_EQ(h.Log().Count("Initializing BStore Lib: libWzScsiSrvBStorBlkDev.so"), 1u);
  EXPECT_EQ(h.Service().LoadedBStorTypes(), std::vector<WzScsiServer::BStorType>{WzScsiServer::BSTOR_BLKDEV});
  EXPECT_EQ(h.Journal("blkdev.CreateLunPrepare").size(), 3u);

  // Unload: Cleanup once, after the platform is gone.
  h.ClearJournal();
  h.Stop();
  EXPECT_EQ(h.Journal("blkdev.Cleanup").size(), 1u);
}

TEST(BStorRegistry, TypesWithoutALibraryLoadNothing) {
  ServiceHarness h;
  for (int t : {0, 1, 5, 6}) {
    EXPECT_EQ(h.Service().GetUserDefBStoreOps(static_cast<WzScsiServer::BStorType>(t)), nullptr);
    EXPECT_TRUE(h.Log().Contains("Failed to find library for Bstor type [" + std::to_string(t) + "]")) << t;
  }
  EXPECT_FALSE(h.Log().Contains("Initializing BStore Lib"));
  EXPECT_TRUE(h.Service().LoadedBStorTypes().empty());
}

// A driver directory holding only the platform double: the block-device
// library cannot load until it is put there, and every request tries again.
TEST(BStorRegistry, LibraryThatCannotLoadIsRetriedOnTheNextRequest) {
  char pattern[] = "/tmp/wzscsi-registry-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string dir = pattern;
  for (const std::string lib : {"libWzScsiSrvLio.so", "libWzScsiSrvTgt.so"}) {
    ASSERT_EQ(symlink((WZ_TEST_FAKES_DIR "/" + lib).c_str(), (dir + "/" + lib).c_str()), 0);
  }
  {
    HarnessOptions options;
    options.driverDir = dir;
    ServiceHarness h(options);
    ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget(kTarget))), 0);
    for (int i = 0; i < 2; ++i) {
      auto reply = h.Send(MakeCreateLun(kTarget, 2, BlkDevArgs()));
      EXPECT_EQ(ReplyCode(reply), 3);
      EXPECT_EQ(ReplyText(reply), "NULL BStorOps by user defined BStore");
    }
    EXPECT_EQ(h.Log().Count("Failed to load libWzScsiSrvBStorBlkDev.so library. Error["), 2u);
    EXPECT_TRUE(h.Service().LoadedBStorTypes().empty());
    EXPECT_TRUE(h.Service().SnapshotTargets()[kTarget].luns.empty());

    ASSERT_EQ(symlink(WZ_TEST_FAKES_DIR "/libWzScsiSrvBStorBlkDev.so", (dir + "/libWzScsiSrvBStorBlkDev.so").c_str()),
              0);
    EXPECT_EQ(ReplyCode(h.Send(MakeCreateLun(kTarget, 2, BlkDevArgs()))), 0);
    EXPECT_EQ(h.Service().LoadedBStorTypes(), std::vector<WzScsiServer::BStorType>{WzScsiServer::BSTOR_BLKDEV});
  }
  CRnError removed = CRnDirectory::Remove(dir, true, false);
  EXPECT_TRUE(removed.IsSuccess());
}

}  // namespace
