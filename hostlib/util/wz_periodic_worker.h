// A thread that runs one job every interval until it is stopped, and can be
// woken early. It replaces the hand-rolled "thread + stop flag + condition
// variable" loops: the stop is prompt (a sleeping worker wakes at once) and
// joined, and the job never runs after Stop returned.
//
// Thread safety: Start, Stop and Wake may be called from any thread; the job
// runs on the worker's own thread only, never twice at once. Stop must not be
// called from the job itself.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "hostlib/util/wz_mutex.h"

class WzPeriodicWorker {
 public:
  // job: run first after one interval, then after each interval (or Wake).
  // It returns the wait before its next run; a zero or negative wait means
  // the interval.
  typedef std::function<std::chrono::milliseconds()> Job;

  WzPeriodicWorker() = default;
  ~WzPeriodicWorker() { Stop(); }
  WzPeriodicWorker(const WzPeriodicWorker&) = delete;
  WzPeriodicWorker& operator=(const WzPeriodicWorker&) = delete;

  // Starts the thread; does nothing when it runs already.
  void Start(std::chrono::milliseconds interval, Job job) WZ_EXCLUDES(m_mutex) {
    WzMutexLock lock(&m_mutex);
    if (m_thread) return;
    m_stop = false;
    m_wake = false;
    m_interval = interval;
    m_job = std::move(job);
    m_thread = std::make_unique<std::thread>([this] { Run(); });
  }
  // Runs the job soon, without waiting for the rest of the interval.
  void Wake() WZ_EXCLUDES(m_mutex) {
    {
      WzMutexLock lock(&m_mutex);
      m_wake = true;
    }
    m_cv.SignalAll();
  }
  // Ends the thread after the job in progress, if any; idempotent.
  void Stop() WZ_EXCLUDES(m_mutex) {
    std::unique_ptr<std::thread> thread;
    {
      WzMutexLock lock(&m_mutex);
      m_stop = true;
      thread = std::move(m_thread);
    }
    m_cv.SignalAll();
    if (thread && thread->joinable()) thread->join();
  }
  // Whether Stop was asked: a long job checks it between its steps.
  bool Stopping() WZ_EXCLUDES(m_mutex) {
    WzMutexLock lock(&m_mutex);
    return m_stop;
  }

 private:
  void Run() WZ_EXCLUDES(m_mutex) {
    std::chrono::milliseconds wait;
    {
      WzMutexLock lock(&m_mutex);
      wait = m_interval;
    }
    for (;;) {
      {
        WzMutexLock lock(&m_mutex);
        const auto until = std::chrono::steady_clock::now() + wait;
        while (!m_stop && !m_wake) {
          const auto left = until - std::chrono::steady_clock::now();
          if (left <= std::chrono::steady_clock::duration::zero()) break;
          m_cv.WaitFor(&m_mutex, left);
        }
        if (m_stop) return;
        m_wake = false;
      }
      const std::chrono::milliseconds next = m_job();
      WzMutexLock lock(&m_mutex);
      wait = next.count() > 0 ? next : m_interval;
    }
  }

  WzMutex m_mutex;
  WzCondVar m_cv{&m_mutex};
  bool m_stop WZ_GUARDED_BY(m_mutex) = false;
  bool m_wake WZ_GUARDED_BY(m_mutex) = false;
  std::chrono::milliseconds m_interval WZ_GUARDED_BY(m_mutex){1000};
  Job m_job;  // set before the thread starts, read only by it
  std::unique_ptr<std::thread> m_thread WZ_GUARDED_BY(m_mutex);
};
