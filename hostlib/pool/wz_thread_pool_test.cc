#include "hostlib/pool/WzThreadPool.h"

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <set>
#include <stdexcept>

#include "hostlib/log/LogWriter.h"
#include "tests/support/hostlib/memory_log_writer.h"
#include "tests/support/hostlib/wz_pool_test_util.h"

namespace {

constexpr uint32_t kNotReady = HRESULT_FROM_WIN32(21);
constexpr uint32_t kTimeout = HRESULT_FROM_WIN32(1460);

TEST(WzThreadPoolTest, ParametersAndStateAreChecked) {
  WzThreadPool pool;
  int ran = 0;
  WzPoolJobsForTest jobs;
  void* job = jobs.Make([&] { ++ran; });
  EXPECT_EQ(pool.doWork(&WzPoolJobForTest::Run, job).GetCode(), kNotReady);
  for (auto bad : {std::vector<int>{300, 1, 0, 1}, {300, 5, 4, 1}, {300, -1, 4, 1}, {300, 1, 4, 0}, {-1, 1, 4, 1}})
    EXPECT_EQ(pool.initThreadPool("p", bad[0], bad[1], bad[2], bad[3]).GetCode(),
              HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  ASSERT_FALSE(pool.initThreadPool("p", 300, 1, 4, 1));
  EXPECT_EQ(pool.ThreadCount(), 1u);
  EXPECT_TRUE(pool.initThreadPool("p", 300, 1, 4, 1));
  EXPECT_TRUE(pool.doWork(nullptr, job));
  ASSERT_FALSE(pool.waitForAllThreads(true, true, true, 45));
  EXPECT_EQ(ran, 0);
  EXPECT_EQ(pool.ThreadCount(), 0u);
}

TEST(WzThreadPoolTest, RunsUpToMaxItemsAtOnceAndQueuesTheRest) {
  WzThreadPool pool;
  ASSERT_FALSE(pool.initThreadPool("WzScsiSrv", 300, 1, 4, 1));
  WzGateForTest together, release;
  std::atomic<int> done{0};
  std::mutex namesLock;
  std::set<std::string> names;
  WzPoolJobsForTest jobs;
  for (int i = 0; i < 4; ++i) {
    ASSERT_FALSE(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([&] {
      char name[16] = {};
      pthread_getname_np(pthread_self(), name, sizeof(name));
      {
        std::lock_guard<std::mutex> g(namesLock);
        names.insert(name);
      }
      EXPECT_TRUE(together.ArriveAndWaitFor(4));  // all four run at once
      release.Wait();
      ++done;
    })));
  }
  ASSERT_TRUE(EventuallyForTest([&] { return together.Arrived() == 4; }));
  // A fifth item on a full pool is queued at once, never waited for.
  ASSERT_FALSE(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([&] { ++done; })));
  EXPECT_EQ(pool.ThreadCount(), 4u);
  EXPECT_EQ(pool.BusyCount(), 4u);
  EXPECT_EQ(pool.QueuedCount(), 1u);
  release.Open();
  ASSERT_FALSE(pool.waitForAllThreads(true, true, true, 45));
  EXPECT_EQ(done.load(), 5);
  EXPECT_EQ(names, (std::set<std::string>{"WzScsiSrv-1", "WzScsiSrv-2", "WzScsiSrv-3", "WzScsiSrv-4"}));
}

TEST(WzThreadPoolTest, LongNamesAreCutToTheSystemLimit) {
  WzThreadPool pool;
  ASSERT_FALSE(pool.initThreadPool("AVeryLongPoolName", 300, 1, 1, 1));
  std::string seen;
  WzPoolJobsForTest jobs;
  ASSERT_FALSE(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([&] {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof(name));
    seen = name;
  })));
  ASSERT_FALSE(pool.waitForAllThreads(true, true, true, 45));
  EXPECT_EQ(seen, "AVeryLongPoolNa");
}

TEST(WzThreadPoolTest, AThrowingItemIsLoggedAndTheWorkerGoesOn) {
  auto memory = std::make_shared<CMemoryLogWriter>(0);
  g_ptrLogWriter = memory;
  {
    WzThreadPool pool;
    ASSERT_FALSE(pool.initThreadPool("p", 300, 1, 1, 1));
    std::atomic<int> after{0};
    WzPoolJobsForTest jobs;
    ASSERT_FALSE(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([] { throw std::runtime_error("disk on fire"); })));
    ASSERT_FALSE(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([] { throw 42; })));
    ASSERT_FALSE(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([&] { ++after; })));
    ASSERT_FALSE(pool.waitForAllThreads(true, false, false, 45));
    EXPECT_EQ(after.load(), 1);
    EXPECT_EQ(pool.ThreadCount(), 1u);
  }
  g_ptrLogWriter.reset();
  std::vector<std::string> errors = memory->Texts(-1);
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_NE(errors[0].find("disk on fire"), std::string::npos) << errors[0];
  EXPECT_NE(errors[1].find("unknown exception"), std::string::npos) << errors[1];
}

TEST(WzThreadPoolTest, WaitWithoutJoinLeavesThePoolRunning) {
  WzThreadPool pool;
  ASSERT_FALSE(pool.initThreadPool("p", 300, 2, 2, 1));
  std::atomic<int> n{0};
  WzPoolJobsForTest jobs;
  for (int i = 0; i < 10; ++i) ASSERT_FALSE(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([&] { ++n; })));
  ASSERT_FALSE(pool.waitForAllThreads(true, false, false, 0));
  EXPECT_EQ(n.load(), 10);
  EXPECT_EQ(pool.ThreadCount(), 2u);
  ASSERT_FALSE(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([&] { ++n; })));
  // refuseNew without join: no new work, workers stay.
  ASSERT_FALSE(pool.waitForAllThreads(true, true, false, 0));
  EXPECT_EQ(n.load(), 11);
  EXPECT_EQ(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([&] { ++n; })).GetCode(), kNotReady);
  EXPECT_EQ(pool.ThreadCount(), 2u);
}  // the destructor stops the idle workers

TEST(WzThreadPoolTest, WaitWithoutDrainDropsQueuedItems) {
  WzThreadPool pool;
  ASSERT_FALSE(pool.initThreadPool("p", 300, 1, 1, 1));
  WzGateForTest started, release;
  std::atomic<int> dropped{0};
  WzPoolJobsForTest jobs;
  ASSERT_FALSE(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([&] {
    started.Open();
    release.Wait();
  })));
  started.Wait();
  for (int i = 0; i < 3; ++i) ASSERT_FALSE(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([&] { ++dropped; })));
  std::thread releaser([&] {
    EXPECT_TRUE(EventuallyForTest([&] { return pool.QueuedCount() == 0; }));
    release.Open();
  });
  EXPECT_FALSE(pool.waitForAllThreads(false, true, true, 0));
  releaser.join();
  EXPECT_EQ(dropped.load(), 0);
  EXPECT_EQ(pool.ThreadCount(), 0u);
}

TEST(WzThreadPoolTest, TimedOutWaitReportsAndTheDestructorFinishesTheJob) {
  std::atomic<int> n{0};
  WzGateForTest release;
  WzPoolJobsForTest jobs;  // outlives the pool
  {
    WzThreadPool pool;
    ASSERT_FALSE(pool.initThreadPool("p", 300, 1, 1, 1));
    ASSERT_FALSE(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([&] {
      release.Wait();
      ++n;
    })));
    ASSERT_FALSE(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([&] { ++n; })));
    CRnError err = pool.waitForAllThreads(true, true, true, 1);
    ASSERT_TRUE(err);
    EXPECT_EQ(err.GetCode(), kTimeout);
    EXPECT_NE(err.AsString().find("1 items still running and 1 queued"), std::string::npos) << err.AsString();
    release.Open();
  }
  EXPECT_EQ(n.load(), 2);
}

TEST(WzThreadPoolTest, DestructorWithoutWaitDrainsTheQueue) {
  std::atomic<int> n{0};
  WzGateForTest release;
  WzPoolJobsForTest jobs;
  {
    WzThreadPool pool;
    ASSERT_FALSE(pool.initThreadPool("p", 300, 1, 1, 1));
    ASSERT_FALSE(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([&] { release.Wait(); })));
    for (int i = 0; i < 5; ++i) ASSERT_FALSE(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([&] { ++n; })));
    release.Open();
  }
  EXPECT_EQ(n.load(), 5);
}

TEST(WzThreadPoolTest, GrowsOnDemandAndShrinksBackToMin) {
  WzThreadPool pool;
  ASSERT_FALSE(pool.initThreadPool("p", 0, 1, 3, 2));
  EXPECT_EQ(pool.ThreadCount(), 1u);
  WzGateForTest together, release;
  WzPoolJobsForTest jobs;
  for (int i = 0; i < 3; ++i)
    ASSERT_FALSE(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([&] {
      EXPECT_TRUE(together.ArriveAndWaitFor(3));
      release.Wait();
    })));
  ASSERT_TRUE(EventuallyForTest([&] { return together.Arrived() == 3; }));
  EXPECT_EQ(pool.ThreadCount(), 3u);  // 1, then +2 (the step), capped at max
  release.Open();
  // With no idle time, the extra workers leave once idle; min stays.
  EXPECT_TRUE(EventuallyForTest([&] { return pool.ThreadCount() == 1u && pool.BusyCount() == 0u; }));
  // The pool grows again after shrinking (ended workers are reaped first).
  std::atomic<int> n{0};
  for (int i = 0; i < 20; ++i) ASSERT_FALSE(pool.doWork(&WzPoolJobForTest::Run, jobs.Make([&] { ++n; })));
  ASSERT_FALSE(pool.waitForAllThreads(true, true, true, 45));
  EXPECT_EQ(n.load(), 20);
}

TEST(WzThreadPoolTest, AWorkerCannotWaitForItsOwnPool) {
  WzThreadPool pool;
  ASSERT_FALSE(pool.initThreadPool("p", 300, 1, 1, 1));
  CRnError inner;
  WzPoolJobsForTest jobs;
  ASSERT_FALSE(
      pool.doWork(&WzPoolJobForTest::Run, jobs.Make([&] { inner = pool.waitForAllThreads(true, true, true, 45); })));
  ASSERT_FALSE(pool.waitForAllThreads(true, true, true, 45));
  EXPECT_EQ(inner.GetCode(), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
}

}  // namespace
