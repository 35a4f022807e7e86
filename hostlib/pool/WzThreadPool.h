// WzThreadPool: a named pool of worker threads that runs work items
// (function, argument) several at a time.
//
// initThreadPool(name, idleTimeoutSecs, minThreads, maxThreads, growStep):
//  - idleTimeoutSecs: a worker above minThreads that found no work for this
//    long ends;
//  - minThreads: workers started at once and kept while the pool lives (0
//    allowed: workers are then started on demand);
//  - maxThreads: upper bound of workers;
//  - growStep: workers added at a time when an item is queued and every
//    worker is busy (never beyond maxThreads).
// Threads are named "<name>-<n>" (cut to the system's 15 characters). An
// exception thrown by a work function is logged at level -1 and the worker
// goes on.
//
// Thread safety: doWork may be called from any thread; initThreadPool and
// waitForAllThreads by the owner only.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "hostlib/errors/CRnError.h"
#include "hostlib/util/wz_mutex.h"

typedef void* (*WzWorkFunction)(void*);

class WZ_EXPORT WzThreadPool {
 public:
  WzThreadPool() = default;
  // Runs the queued items and joins the workers. An item still running (after
  // a timed-out waitForAllThreads) is waited for: the worker uses the pool,
  // so it cannot be left behind.
  ~WzThreadPool();
  WzThreadPool(const WzThreadPool&) = delete;
  WzThreadPool& operator=(const WzThreadPool&) = delete;

  // Fails (Win32 code 87) on inconsistent values or a second call.
  CRnError initThreadPool(const std::string& name, int idleTimeoutSecs, int minThreads, int maxThreads, int growStep);
  // Queues one item; never waits for a worker. The queue has no bound of its
  // own, because refusing an item here would leave a client without a reply:
  // callers bound what they queue (the network server holds back reading
  // while its requests in work are at their limits, so the service's queue
  // never holds more than those).
  // Fails (Win32 code 21) when the pool is not initialised or is stopping;
  // the item is then not run and stays the caller's.
  CRnError doWork(WzWorkFunction function, void* argument);
  // drainQueue: run the queued items before stopping (otherwise they are
  // dropped: the caller must own them elsewhere); refuseNew: doWork fails
  // from now on; join: wait for the workers to end; timeoutSecs: give up
  // waiting after this long, <= 0: no limit (the error, Win32 code 1460, says
  // how many items were left; workers still running are joined by the
  // destructor once they finish). Without join it waits until the queue is
  // empty and no item runs. Fails (87) when called from one of its workers.
  CRnError waitForAllThreads(bool drainQueue, bool refuseNew, bool join, int timeoutSecs);

  size_t ThreadCount() const;
  size_t QueuedCount() const;
  size_t BusyCount() const;

 private:
  struct Item {
    WzWorkFunction function;
    void* argument;
  };
  void WorkerLoop(size_t index) WZ_EXCLUDES(m_lock);
  void StartWorkersLocked(size_t count) WZ_REQUIRES(m_lock);

  mutable WzMutex m_lock;
  WzCondVar m_workReady{&m_lock};
  WzCondVar m_allIdle{&m_lock};
  std::deque<Item> m_queue WZ_GUARDED_BY(m_lock);
  std::vector<std::thread> m_threads WZ_GUARDED_BY(m_lock);
  std::vector<std::thread::id> m_ended WZ_GUARDED_BY(m_lock);  // workers that left after the idle time-out
  std::string m_name WZ_GUARDED_BY(m_lock);
  int m_idleTimeoutSecs WZ_GUARDED_BY(m_lock) = 300;
  size_t m_minThreads WZ_GUARDED_BY(m_lock) = 1;
  size_t m_maxThreads WZ_GUARDED_BY(m_lock) = 1;
  size_t m_growStep WZ_GUARDED_BY(m_lock) = 1;
  size_t m_live WZ_GUARDED_BY(m_lock) = 0;
  size_t m_busy WZ_GUARDED_BY(m_lock) = 0;
  size_t m_nextIndex WZ_GUARDED_BY(m_lock) = 0;
  bool m_initialised WZ_GUARDED_BY(m_lock) = false;
  bool m_refuseNew WZ_GUARDED_BY(m_lock) = false;
  bool m_stopping WZ_GUARDED_BY(m_lock) = false;
};
