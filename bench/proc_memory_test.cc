#include "bench/proc_memory.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

namespace {

TEST(BenchMemory, PeakFollowsThisProcessGrowing) {
  uint64_t peak = 0, current = 0;
  ASSERT_TRUE(wzbench::ReadMemoryKib(getpid(), peak, current).IsSuccess());
  EXPECT_GT(current, 0u);
  EXPECT_GE(peak, current);
  // 64 MiB touched page by page must show in the peak.
  std::vector<char> block(64u << 20, 1);
  uint64_t grownPeak = 0, grown = 0;
  ASSERT_TRUE(wzbench::ReadMemoryKib(getpid(), grownPeak, grown).IsSuccess());
  EXPECT_GE(grown, current + (60u << 10)) << "block at " << static_cast<const void*>(block.data());
  EXPECT_GE(grownPeak, grown);
}

TEST(BenchMemory, NoSuchProcess) {
  uint64_t peak = 0, current = 0;
  EXPECT_TRUE(wzbench::ReadMemoryKib(-1, peak, current).IsError());
}

}  // namespace
