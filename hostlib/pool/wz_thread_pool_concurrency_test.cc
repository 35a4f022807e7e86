#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "hostlib/pool/WzThreadPool.h"
#include "tests/support/hostlib/wz_pool_test_util.h"

namespace {

struct Counter {
  std::atomic<long> value{0};
  static void* Bump(void* p) {
    static_cast<Counter*>(p)->value.fetch_add(1, std::memory_order_relaxed);
    return nullptr;
  }
};

// Many producers against a pool whose workers come and go (no idle time):
// every item runs exactly once, none is lost at the shutdown.
TEST(WzThreadPoolConcurrencyTest, ProducersWorkersAndShutdown) {
  Counter counter;
  constexpr int kProducers = 4;
  constexpr int kItems = 5000;
  WzThreadPool pool;
  ASSERT_FALSE(pool.initThreadPool("conc", 0, 1, 4, 2));
  std::atomic<int> refused{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < kProducers; ++p)
    producers.emplace_back([&] {
      for (int i = 0; i < kItems; ++i) {
        if (pool.doWork(&Counter::Bump, &counter)) ++refused;
        if (i % 500 == 0) (void)pool.ThreadCount();
      }
    });
  for (std::thread& t : producers) t.join();
  ASSERT_FALSE(pool.waitForAllThreads(true, true, true, 0));
  EXPECT_EQ(refused.load(), 0);
  EXPECT_EQ(counter.value.load(), static_cast<long>(kProducers) * kItems);
}

// Producers still queueing while the owner shuts the pool down: an item is
// either refused (and stays the producer's) or run, never both or neither.
TEST(WzThreadPoolConcurrencyTest, ShutdownRacingWithProducers) {
  Counter counter;
  std::atomic<long> accepted{0};
  {
    WzThreadPool pool;
    ASSERT_FALSE(pool.initThreadPool("race", 300, 2, 4, 1));
    std::vector<std::thread> producers;
    for (int p = 0; p < 3; ++p)
      producers.emplace_back([&] {
        for (int i = 0; i < 3000; ++i)
          if (!pool.doWork(&Counter::Bump, &counter)) ++accepted;
      });
    ASSERT_TRUE(EventuallyForTest([&] { return accepted.load() > 100; }));
    ASSERT_FALSE(pool.waitForAllThreads(true, true, true, 0));
    for (std::thread& t : producers) t.join();
  }
  EXPECT_EQ(counter.value.load(), accepted.load());
}

}  // namespace
