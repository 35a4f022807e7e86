// For tests only: work items built from lambdas, a gate that holds workers,
// and a bounded wait for something that must eventually happen.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct WzPoolJobForTest {
  std::function<void()> fn;
  static void* Run(void* p) {
    static_cast<WzPoolJobForTest*>(p)->fn();
    return nullptr;
  }
};

// Owns the jobs for as long as the pool may run them.
class WzPoolJobsForTest {
 public:
  void* Make(std::function<void()> fn) {
    m_jobs.push_back(std::make_unique<WzPoolJobForTest>(WzPoolJobForTest{std::move(fn)}));
    return m_jobs.back().get();
  }

 private:
  std::vector<std::unique_ptr<WzPoolJobForTest>> m_jobs;
};

class WzGateForTest {
 public:
  void Open() {
    std::lock_guard<std::mutex> g(m_lock);
    m_open = true;
    m_cv.notify_all();
  }
  void Wait() {
    std::unique_lock<std::mutex> l(m_lock);
    m_cv.wait(l, [this] { return m_open; });
  }
  // Counts arrivals; true once `count` have arrived (bounded, for liveness).
  bool ArriveAndWaitFor(int count) {
    std::unique_lock<std::mutex> l(m_lock);
    ++m_arrived;
    m_cv.notify_all();
    return m_cv.wait_for(l, std::chrono::seconds(60), [&] { return m_arrived >= count; });
  }
  int Arrived() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_arrived;
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_cv;
  bool m_open = false;
  int m_arrived = 0;
};

// Polls until pred holds; false after a generous bound (a hang, not a speed
// measure).
inline bool EventuallyForTest(const std::function<bool()>& pred) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
