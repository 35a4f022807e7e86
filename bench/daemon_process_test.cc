#include "bench/daemon_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "hostlib/util/RnFiles.h"

namespace {

std::string TempDir() {
  char pattern[] = "/tmp/wzbench-test-XXXXXX";
  const char* dir = mkdtemp(pattern);
  return dir != nullptr ? dir : "";
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class ChildProcessTest : public ::testing::Test {
 protected:
  // Waits until the child's output file holds "ready" (its trap is set).
  bool WaitReady(const std::string& out) {
    for (int i = 0; i < 1000; ++i) {
      if (Slurp(out).find("ready") != std::string::npos) return true;
      usleep(10000);
    }
    return false;
  }

  void SetUp() override {
    m_dir = TempDir();
    ASSERT_FALSE(m_dir.empty());
  }
  void TearDown() override {
    CRnError ignored = CRnDirectory::Remove(m_dir, true, false);
    (void)ignored;
  }
  std::string m_dir;
};

TEST_F(ChildProcessTest, OutputAndEnvironmentReachTheChild) {
  wzbench::ChildProcess child;
  const std::string out = m_dir + "/out";
  ASSERT_TRUE(child.Start({"/bin/sh", "-c", "echo out:$WZBENCH_X; echo err >&2; exit 3"}, out,
                          {"WZBENCH_X=42"}).IsSuccess());
  int status = 0;
  ASSERT_TRUE(child.Wait(10000, status));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(3, WEXITSTATUS(status));
  EXPECT_EQ("out:42\nerr\n", Slurp(out));
  EXPECT_FALSE(child.Running());
}

// The benchmark's own threads may block signals; the daemon must still see
// its SIGTERM.
TEST_F(ChildProcessTest, StopDeliversTermEvenWhenTheParentBlocksIt) {
  sigset_t term, old;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  ASSERT_EQ(0, pthread_sigmask(SIG_BLOCK, &term, &old));
  wzbench::ChildProcess child;
  const std::string out = m_dir + "/out";
  CRnError started =
      child.Start({"/bin/sh", "-c", "trap 'exit 0' TERM; echo ready; while :; do sleep 0.01; done"}, out);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ASSERT_TRUE(started.IsSuccess());
  ASSERT_TRUE(WaitReady(out));
  EXPECT_TRUE(child.Stop(10000).IsSuccess());
  EXPECT_FALSE(child.Running());
}

TEST_F(ChildProcessTest, StopKillsAChildThatIgnoresTerm) {
  wzbench::ChildProcess child;
  const std::string out = m_dir + "/out";
  ASSERT_TRUE(child.Start({"/bin/sh", "-c", "trap '' TERM; echo ready; while :; do sleep 0.01; done"}, out).IsSuccess());
  ASSERT_TRUE(WaitReady(out));
  EXPECT_TRUE(child.Stop(200).IsError());
  EXPECT_FALSE(child.Running());
}

TEST_F(ChildProcessTest, MissingProgramFailsToStart) {
  wzbench::ChildProcess child;
  // posix_spawn reports an exec failure either at once or as exit 127.
  CRnError e = child.Start({m_dir + "/no-such-program"}, "");
  if (e.IsSuccess()) {
    int status = 0;
    ASSERT_TRUE(child.Wait(10000, status));
    EXPECT_EQ(127, WEXITSTATUS(status));
  }
}

TEST(BenchMemory, ReadsThisProcess) {
  uint64_t peak = 0, current = 0;
  ASSERT_TRUE(wzbench::ReadMemoryKib(getpid(), peak, current).IsSuccess());
  EXPECT_GT(current, 0u);
  EXPECT_GE(peak, current);
}

}  // namespace
