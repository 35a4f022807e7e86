#include "hostlib/pool/WzThreadPool.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <system_error>

#include "hostlib/log/LogWriter.h"

namespace {

constexpr long kErrorNotReady = 21;          // ERROR_NOT_READY
constexpr long kErrorTimeout = 1460;         // ERROR_TIMEOUT
constexpr size_t kMaxThreadNameLength = 15;  // the kernel's limit without the NUL

}  // namespace

WzThreadPool::~WzThreadPool() {
  std::vector<std::thread> threads;
  {
    WzMutexLock lock(&m_lock);
    if (!m_initialised) return;
    // Whatever is still queued is run: the items belong to the pool once queued.
    m_refuseNew = true;
    m_stopping = true;
    m_workReady.SignalAll();
    while (m_live != 0) m_allIdle.Wait(&m_lock);
    threads.swap(m_threads);
  }
  for (std::thread& t : threads)
    if (t.joinable()) t.join();
}

CRnError WzThreadPool::initThreadPool(const std::string& name, int idleTimeoutSecs, int minThreads, int maxThreads,
                                      int growStep) {
  if (maxThreads < 1 || minThreads < 0 || minThreads > maxThreads || growStep < 1 || idleTimeoutSecs < 0)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzLib"), ERROR_INVALID_PARAMETER,
                                   "Invalid pool parameters for %s: idle %d s, min %d, max %d, step %d", name.c_str(),
                                   idleTimeoutSecs, minThreads, maxThreads, growStep);
  WzMutexLock guard(&m_lock);
  if (m_initialised)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzLib"), ERROR_INVALID_PARAMETER, "Pool %s is already initialised",
                                   m_name.c_str());
  m_name = name;
  m_idleTimeoutSecs = idleTimeoutSecs;
  m_minThreads = static_cast<size_t>(minThreads);
  m_maxThreads = static_cast<size_t>(maxThreads);
  m_growStep = static_cast<size_t>(growStep);
  m_initialised = true;
  StartWorkersLocked(m_minThreads);
  if (m_live < m_minThreads) WZLOG(-1, "Pool %s started %zu of %zu workers", m_name.c_str(), m_live, m_minThreads);
  return CRnError();
}

CRnError WzThreadPool::doWork(WzWorkFunction function, void* argument) {
  if (function == nullptr)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzLib"), ERROR_INVALID_PARAMETER, "Null work function");
  WzMutexLock guard(&m_lock);
  if (!m_initialised || m_refuseNew || m_stopping)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzLib"), kErrorNotReady, "Pool %s does not take work (%s)",
                                   m_name.c_str(), m_initialised ? "stopping" : "not initialised");
  try {
    m_queue.push_back(Item{function, argument});
  } catch (const std::exception& e) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzLib"), ERROR_INVALID_MESSAGE_CLASS,
                                   "Pool %s cannot queue a work item: %s", m_name.c_str(), e.what());
  }
  size_t idle = m_live - m_busy;
  if (m_queue.size() > idle && m_live < m_maxThreads) StartWorkersLocked(std::min(m_growStep, m_maxThreads - m_live));
  if (m_live == 0) {
    // Not one worker could be started: the item would wait forever.
    m_queue.pop_back();
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzLib"), kErrorNotReady, "Pool %s has no worker thread", m_name.c_str());
  }
  m_workReady.Signal();
  return CRnError();
}

CRnError WzThreadPool::waitForAllThreads(bool drainQueue, bool refuseNew, bool join, int timeoutSecs) {
  std::vector<std::thread> ended;
  bool finished = true;
  size_t busy = 0;
  size_t queued = 0;
  std::string name;
  {
    WzMutexLock lock(&m_lock);
    if (!m_initialised) return CRnError();
    for (const std::thread& t : m_threads)
      if (t.get_id() == std::this_thread::get_id())
        return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzLib"), ERROR_INVALID_PARAMETER,
                                       "Pool %s: a worker cannot wait for its own pool", m_name.c_str());
    if (refuseNew) m_refuseNew = true;
    if (!drainQueue) m_queue.clear();
    if (join) {
      m_stopping = true;
      m_workReady.SignalAll();
    }

    auto done = [this, join]() WZ_REQUIRES(m_lock) { return join ? m_live == 0 : (m_queue.empty() && m_busy == 0); };
    if (timeoutSecs > 0) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(timeoutSecs);
      while (!done() && m_allIdle.WaitUntil(&m_lock, deadline)) {
      }
      finished = done();
    } else {
      while (!done()) m_allIdle.Wait(&m_lock);
    }

    // Join the workers that have left; one still running an item is joined by
    // the destructor once it is done.
    for (auto it = m_threads.begin(); it != m_threads.end();) {
      auto pos = std::find(m_ended.begin(), m_ended.end(), it->get_id());
      if (pos != m_ended.end()) {
        m_ended.erase(pos);
        ended.push_back(std::move(*it));
        it = m_threads.erase(it);
      } else {
        ++it;
      }
    }
    busy = m_busy;
    queued = m_queue.size();
    name = m_name;
  }
  for (std::thread& t : ended) t.join();

  if (!finished)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzLib"), kErrorTimeout,
                                   "Pool %s: %zu items still running and %zu queued after %d s", name.c_str(), busy,
                                   queued, timeoutSecs);
  return CRnError();
}

size_t WzThreadPool::ThreadCount() const {
  WzMutexLock guard(&m_lock);
  return m_live;
}

size_t WzThreadPool::QueuedCount() const {
  WzMutexLock guard(&m_lock);
  return m_queue.size();
}

size_t WzThreadPool::BusyCount() const {
  WzMutexLock guard(&m_lock);
  return m_busy;
}

void WzThreadPool::StartWorkersLocked(size_t count) {
  // Workers that left after their idle time are joined before new ones are
  // made (their ids cannot be reused until they are joined).
  for (auto it = m_threads.begin(); it != m_threads.end();) {
    auto pos = std::find(m_ended.begin(), m_ended.end(), it->get_id());
    if (pos != m_ended.end()) {
      m_ended.erase(pos);
      it->join();  // it has left WorkerLoop already: this does not wait on m_lock
      it = m_threads.erase(it);
    } else {
      ++it;
    }
  }
  for (size_t i = 0; i < count; ++i) {
    try {
      m_threads.emplace_back(&WzThreadPool::WorkerLoop, this, ++m_nextIndex);
    } catch (const std::exception& e) {
      WZLOG(-1, "Pool %s cannot start a worker thread: %s", m_name.c_str(), e.what());
      return;
    }
    ++m_live;
  }
}

void WzThreadPool::WorkerLoop(size_t index) {
  // Locked and unlocked by hand: the lock is let go around each item only.
  m_lock.Lock();
  std::string threadName = m_name + "-" + std::to_string(index);
  if (threadName.size() > kMaxThreadNameLength) threadName.resize(kMaxThreadNameLength);
  pthread_setname_np(pthread_self(), threadName.c_str());

  const auto idleFor = std::chrono::seconds(m_idleTimeoutSecs);
  auto hasWork = [this]() WZ_REQUIRES(m_lock) { return !m_queue.empty() || m_stopping; };
  for (;;) {
    if (!hasWork()) {
      if (m_live > m_minThreads) {
        const auto deadline = std::chrono::steady_clock::now() + idleFor;
        bool timedOut = false;
        while (!hasWork() && !timedOut) timedOut = !m_workReady.WaitUntil(&m_lock, deadline);
        if (!hasWork() && m_live > m_minThreads) break;  // idle too long and not needed
        if (!hasWork()) continue;
      } else {
        while (!hasWork()) m_workReady.Wait(&m_lock);
      }
    }
    if (m_queue.empty()) break;  // stopping and nothing left to run
    Item item = m_queue.front();
    m_queue.pop_front();
    ++m_busy;
    m_lock.Unlock();
    // A work item's exception must not end the worker (nor the process).
    try {
      item.function(item.argument);
    } catch (const std::exception& e) {
      WZLOG(-1, "Work item in %s failed with an exception: %s", threadName.c_str(), e.what());
    } catch (...) {
      WZLOG(-1, "Work item in %s failed with an unknown exception", threadName.c_str());
    }
    m_lock.Lock();
    --m_busy;
    if (m_busy == 0 && m_queue.empty()) m_allIdle.SignalAll();
  }
  --m_live;
  m_ended.push_back(std::this_thread::get_id());
  m_allIdle.SignalAll();
  m_lock.Unlock();
}
