// Mutexes the compiler can reason about: thin wrappers of the standard
// mutexes carrying the thread-safety annotations, and a scoped lock for
// each. Members say which of these guards them (WZ_GUARDED_BY) and
// functions which they need (WZ_REQUIRES), so the clang build proves the
// lock rules that would otherwise be comments.
//
// Thread safety: these are the synchronisation.
#pragma once

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <shared_mutex>

#include "hostlib/util/thread_annotations.h"

class WZ_CAPABILITY("mutex") WzMutex {
 public:
  WzMutex() = default;
  WzMutex(const WzMutex&) = delete;
  WzMutex& operator=(const WzMutex&) = delete;

  void Lock() WZ_ACQUIRE() { m_mu.lock(); }
  void Unlock() WZ_RELEASE() { m_mu.unlock(); }
  bool TryLock() WZ_TRY_ACQUIRE(true) { return m_mu.try_lock(); }
  // Tells the analysis the caller holds the lock (where it cannot see it).
  void AssertHeld() WZ_ASSERT_CAPABILITY(this) {}

 private:
  friend class WzCondVar;
  std::mutex m_mu;
};

// A condition variable bound to one WzMutex. Each wait names that mutex
// again (it must be the bound one), so that the analysis sees which lock the
// wait needs: it cannot see through the pointer the variable keeps. Wait,
// WaitFor and WaitUntil require the mutex, release it while they sleep and
// hold it again when they return (spurious wake-ups included: callers loop
// on their condition).
//
// Thread safety: Signal and SignalAll may be called with or without the
// mutex held.
class WzCondVar {
 public:
  explicit WzCondVar(WzMutex* mu) : m_mu(mu) {}
  WzCondVar(const WzCondVar&) = delete;
  WzCondVar& operator=(const WzCondVar&) = delete;

  void Wait(WzMutex* mu) WZ_REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(Bound(mu), std::adopt_lock);
    m_cv.wait(lock);
    lock.release();
  }
  // False when the time ran out.
  template <class Rep, class Period>
  bool WaitFor(WzMutex* mu, const std::chrono::duration<Rep, Period>& timeout) WZ_REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(Bound(mu), std::adopt_lock);
    const bool signalled = m_cv.wait_for(lock, timeout) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  // False when the deadline passed.
  template <class Clock, class Duration>
  bool WaitUntil(WzMutex* mu, const std::chrono::time_point<Clock, Duration>& deadline) WZ_REQUIRES(mu) {
    std::unique_lock<std::mutex> lock(Bound(mu), std::adopt_lock);
    const bool signalled = m_cv.wait_until(lock, deadline) == std::cv_status::no_timeout;
    lock.release();
    return signalled;
  }
  void Signal() { m_cv.notify_one(); }
  void SignalAll() { m_cv.notify_all(); }

 private:
  // Waiting with another mutex than the bound one is a programming error
  // that would wake nobody: it fails loudly.
  std::mutex& Bound(WzMutex* mu) {
    if (mu != m_mu) std::terminate();
    return mu->m_mu;
  }

  WzMutex* const m_mu;
  std::condition_variable m_cv;
};

// May be taken again by the thread that holds it.
class WZ_CAPABILITY("mutex") WzRecursiveMutex {
 public:
  WzRecursiveMutex() = default;
  WzRecursiveMutex(const WzRecursiveMutex&) = delete;
  WzRecursiveMutex& operator=(const WzRecursiveMutex&) = delete;

  void Lock() WZ_ACQUIRE() { m_mu.lock(); }
  void Unlock() WZ_RELEASE() { m_mu.unlock(); }
  void AssertHeld() WZ_ASSERT_CAPABILITY(this) {}

 private:
  std::recursive_mutex m_mu;
};

// Shared for readers, exclusive for writers.
class WZ_CAPABILITY("mutex") WzSharedMutex {
 public:
  WzSharedMutex() = default;
  WzSharedMutex(const WzSharedMutex&) = delete;
  WzSharedMutex& operator=(const WzSharedMutex&) = delete;

  void Lock() WZ_ACQUIRE() { m_mu.lock(); }
  void Unlock() WZ_RELEASE() { m_mu.unlock(); }
  void LockShared() WZ_ACQUIRE_SHARED() { m_mu.lock_shared(); }
  void UnlockShared() WZ_RELEASE_SHARED() { m_mu.unlock_shared(); }

 private:
  std::shared_mutex m_mu;
};

template <class Mutex>
class WZ_SCOPED_CAPABILITY WzLockGuard {
 public:
  explicit WzLockGuard(Mutex* mu) WZ_ACQUIRE(mu) : m_mu(mu) { m_mu->Lock(); }
  ~WzLockGuard() WZ_RELEASE() { m_mu->Unlock(); }
  WzLockGuard(const WzLockGuard&) = delete;
  WzLockGuard& operator=(const WzLockGuard&) = delete;

 private:
  Mutex* m_mu;
};
typedef WzLockGuard<WzMutex> WzMutexLock;
typedef WzLockGuard<WzRecursiveMutex> WzRecursiveLock;
typedef WzLockGuard<WzSharedMutex> WzWriterLock;

class WZ_SCOPED_CAPABILITY WzReaderLock {
 public:
  explicit WzReaderLock(WzSharedMutex* mu) WZ_ACQUIRE_SHARED(mu) : m_mu(mu) { m_mu->LockShared(); }
  ~WzReaderLock() WZ_RELEASE() { m_mu->UnlockShared(); }
  WzReaderLock(const WzReaderLock&) = delete;
  WzReaderLock& operator=(const WzReaderLock&) = delete;

 private:
  WzSharedMutex* m_mu;
};
