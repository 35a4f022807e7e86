#include "bench/fsync_probe.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "hostlib/util/RnFiles.h"

namespace {

class FsyncProbeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/wzbench-probe-XXXXXX";
    const char* dir = mkdtemp(pattern);
    ASSERT_NE(nullptr, dir);
    m_dir = dir;
  }
  void TearDown() override {
    CRnError ignored = CRnDirectory::Remove(m_dir, true, false);
    (void)ignored;
  }
  std::string m_dir;
};

TEST_F(FsyncProbeTest, FsyncProbeCountsAndLeavesNothingBehind) {
  wzbench::FsyncProbeResult result;
  ASSERT_TRUE(wzbench::ProbeFsyncRename(m_dir, 0, 5, 600, result).IsSuccess());
  EXPECT_EQ(5u, result.operations);
  EXPECT_GT(result.PerSecond(), 0);
  std::vector<std::string> left;
  CRnDirectory dir;
  ASSERT_TRUE(dir.Open(m_dir, "*", true).IsSuccess());
  for (;;) {
    CRnDirEntry entry;
    bool end = false;
    ASSERT_TRUE(dir.GetEntry(entry, end).IsSuccess());
    if (end) break;
    left.push_back(entry.name);
  }
  EXPECT_TRUE(left.empty());
  EXPECT_TRUE(wzbench::ProbeFsyncRename(m_dir + "/missing", 0, 1, 600, result).IsError());
}

TEST_F(FsyncProbeTest, ParallelFsyncProbeAddsUpItsStreams) {
  wzbench::FsyncProbeResult result;
  ASSERT_TRUE(wzbench::ProbeFsyncRenameParallel(m_dir, 3, 0, 4, 600, result).IsSuccess());
  EXPECT_EQ(12u, result.operations);
  CRnDirectory dir;
  ASSERT_TRUE(dir.Open(m_dir, "*", true).IsSuccess());
  CRnDirEntry entry;
  bool end = false;
  ASSERT_TRUE(dir.GetEntry(entry, end).IsSuccess());
  EXPECT_TRUE(end) << "left behind: " << entry.name;
}

}  // namespace
