#include "hostlib/util/wz_periodic_worker.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace std::chrono_literals;

// Stop is prompt and final whatever the worker is doing: asleep in a long
// interval, woken early, or inside its job; and a second Stop or a Start
// after it behave.
TEST(WzPeriodicWorker, WakeRunsAtOnceAndStopIsPromptAndFinal) {
  std::atomic<int> runs{0};
  WzPeriodicWorker worker;
  worker.Start(1h, [&] {
    ++runs;
    return std::chrono::milliseconds(0);
  });
  worker.Wake();
  for (int i = 0; i < 2000 && runs.load() == 0; ++i) std::this_thread::sleep_for(1ms);
  EXPECT_EQ(runs.load(), 1);

  const auto before = std::chrono::steady_clock::now();
  worker.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
  const int after = runs.load();
  worker.Wake();
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(runs.load(), after);
  worker.Stop();

  // The job's own answer sets the next wait; a job in progress finishes
  // before Stop returns.
  std::atomic<bool> inside{false};
  worker.Start(1h, [&] {
    inside = true;
    std::this_thread::sleep_for(50ms);
    inside = false;
    ++runs;
    return std::chrono::milliseconds(1);
  });
  worker.Wake();
  for (int i = 0; i < 2000 && runs.load() < after + 3; ++i) std::this_thread::sleep_for(1ms);
  worker.Stop();
  EXPECT_FALSE(inside.load());
  EXPECT_GE(runs.load(), after + 3);
}
