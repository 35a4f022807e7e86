// Target directory discovery: listing order, the pre-initialised targets
// first, and every entry that is not a target directory.
#include <gtest/gtest.h>

#include <algorithm>

#include "actionlog/action_log_layout.h"
#include "actionlog/preinit_targets.h"
#include "hostlib/util/RnFiles.h"
#include "tests/support/service_harness.h"
#include "tests/support/service_test_peer.h"

using namespace wztest;

namespace {

HarnessOptions Bare() {
  HarnessOptions o;
  o.initialize = false;
  return o;
}

class TargetDirs : public ::testing::Test {
 protected:
  TargetDirs() : h(Bare()) {
    root = h.Root() + "/actionlog";
    targets = WzScsiSrvActionLog::TargetsDir(root);
    WzScsiSrvTestPeer(h.Service()).ActionLogRoot() = root;
  }

  std::string MakeTargetDir(const std::string& name) {
    std::string dir = targets + "/" + Guid(name);
    EXPECT_TRUE(CRnDirectory::Create(dir, true).IsSuccess());
    return dir;
  }

  // The directory's entries as the listing yields them.
  // As Initialize would have read it.
  void SetPreInit(const std::string& value) { WzScsiSrvTestPeer(h.Service()).Settings().preInitializeTargets = value; }

  std::vector<std::string> ListingOrder() {
    std::vector<std::string> out;
    CRnDirectory d;
    EXPECT_TRUE(d.Open(targets, "*", true).IsSuccess());
    CRnDirEntry e;
    bool end = false;
    while (d.GetEntry(e, end).IsSuccess() && !end) out.push_back(targets + "/" + e.name);
    return out;
  }

  ServiceHarness h;
  std::string root, targets;
};

}  // namespace

TEST_F(TargetDirs, WithoutPreInitTargetsTheListingOrderIsKept) {
  for (const char* name : {"iqn.a", "iqn.b", "iqn.c", "iqn.d"}) MakeTargetDir(name);
  EXPECT_EQ(h.Service().GetTargetDirs(), ListingOrder());
  SetPreInit("");
  EXPECT_EQ(h.Service().GetTargetDirs(), ListingOrder());
}

TEST_F(TargetDirs, PreInitTargetsComeFirstByIdentifierThenTheRestByName) {
  for (const char* name : {"iqn.a", "iqn.b", "iqn.c", "iqn.d", "iqn.e"}) MakeTargetDir(name);
  // Configured order does not matter; IQN.C (upper case) names no directory;
  // iqn.d is configured twice.
  SetPreInit("iqn.d, iqn.b,IQN.C,iqn.d");

  std::vector<std::string> first{Guid("iqn.b"), Guid("iqn.d")};
  std::sort(first.begin(), first.end());
  std::vector<std::string> rest{Guid("iqn.a"), Guid("iqn.c"), Guid("iqn.e")};
  std::sort(rest.begin(), rest.end());
  std::vector<std::string> expected;
  for (const auto& id : first) expected.push_back(targets + "/" + id);
  for (const auto& id : rest) expected.push_back(targets + "/" + id);

  EXPECT_EQ(h.Service().GetTargetDirs(), expected);
  EXPECT_EQ(
      h.Log().Count("Pre Init target [" + Guid("IQN.C") + "] not found in target action log dir [" + targets + "]"),
      1u);
  EXPECT_TRUE(h.Log().Contains("Pre Initialize Target [iqn.b=" + Guid("iqn.b") + "]"));
  EXPECT_EQ(h.Log().Count("not found in target action log dir"), 1u);
}

TEST_F(TargetDirs, PreInitTargetsAreIdentifiersOfTheNamesAsConfigured) {
  TargetList ids;
  WzScsiSrvSettings settings;
  settings.preInitializeTargets = " iqn.x ,IQN.Y,, iqn.x";
  ASSERT_TRUE(GetPreInitTargets(settings.preInitializeTargets, ids).IsSuccess());
  EXPECT_EQ(ids, (TargetList{Guid("iqn.x"), Guid("IQN.Y")}));

  // A list that cannot be split leaves the set as it was.
  settings.preInitializeTargets = "iqn.a b";
  CRnError e = GetPreInitTargets(settings.preInitializeTargets, ids);
  EXPECT_TRUE(e.IsError());
  EXPECT_NE(e.AsString().find("Failed to read pre-init target list."), std::string::npos);
  EXPECT_EQ(ids.size(), 2u);

  settings.preInitializeTargets = "";
  ASSERT_TRUE(GetPreInitTargets(settings.preInitializeTargets, ids).IsSuccess());
  EXPECT_TRUE(ids.empty());
}

TEST_F(TargetDirs, FilesTemporaryFilesAndDotsAreNeverTargets) {
  std::string a = MakeTargetDir("iqn.a");
  WriteFile(targets + "/README", "not a target");
  WriteFile(targets + "/.wztmp-123456", "a save in progress");
  EXPECT_EQ(h.Service().GetTargetDirs(), std::vector<std::string>{a});
  EXPECT_TRUE(h.Log().Contains("Skipping, non dir path entry=README"));
  EXPECT_FALSE(h.Log().Contains(".wztmp-"));
  EXPECT_FALSE(h.Log().Contains("entry=."));
}

TEST_F(TargetDirs, MissingTargetsDirectoryGivesNothing) {
  EXPECT_TRUE(h.Service().GetTargetDirs().empty());
  EXPECT_TRUE(
      h.Log().Contains("Targets action log directory [" + targets + "] does not exist yet: nothing to replay."));
}

TEST_F(TargetDirs, WithoutTargetDirectoriesThePreInitListIsNotRead) {
  ASSERT_TRUE(CRnDirectory::Create(targets, true).IsSuccess());
  WriteFile(targets + "/stray", "x");
  SetPreInit("iqn.a b");
  EXPECT_TRUE(h.Service().GetTargetDirs().empty());
  EXPECT_FALSE(h.Log().Contains("pre-init"));
}

TEST_F(TargetDirs, AnUnreadablePreInitListDisablesTheWholeReplay) {
  MakeTargetDir("iqn.a");
  SetPreInit("iqn.a, iqn.b c");
  EXPECT_TRUE(h.Service().GetTargetDirs().empty());
  EXPECT_TRUE(h.Log().Contains("Failed to get pre-init target list with error ["));
}

TEST_F(TargetDirs, ATargetsPathThatIsAFileCannotBeListed) {
  ASSERT_TRUE(CRnDirectory::Create(root, true).IsSuccess());
  WriteFile(targets, "not a directory");
  EXPECT_TRUE(h.Service().GetTargetDirs().empty());
  EXPECT_TRUE(h.Log().Contains("Failed to open target action log dir=" + targets + " with error ["));
}
