// CWzIdleClock: when an on-demand daemon may stop. The service releases the
// idle semaphore after a message when it holds no target; the daemon may stop
// once a release has been seen and neither a message nor a release came for
// the inactivity time-out. A release only says "no target after some
// message", which an earlier message's release can still say after a later
// message arrived, so the daemon confirms with a listing before it stops and
// disarms the clock when targets exist (Disarm).
//
// Thread safety: Activity may be called from any thread; the other
// operations from the daemon's main thread only.
#pragma once

#include <atomic>
#include <cstdint>

class CWzIdleClock {
 public:
  explicit CWzIdleClock(int64_t timeoutMs = 300000) : m_timeoutMs(timeoutMs) {}
  CWzIdleClock(const CWzIdleClock&) = delete;
  CWzIdleClock& operator=(const CWzIdleClock&) = delete;

  void SetTimeoutMs(int64_t timeoutMs) { m_timeoutMs = timeoutMs; }
  int64_t TimeoutMs() const { return m_timeoutMs; }

  // A message was dispatched (the service's NotifyActivity).
  void Activity(int64_t nowMs) { m_lastActivityMs.store(nowMs, std::memory_order_relaxed); }
  // The idle semaphore was found released.
  void Released(int64_t nowMs);
  // The check found the service busy: wait for the next release.
  void Disarm() { m_releasedMs = -1; }
  bool Armed() const { return m_releasedMs >= 0; }
  // Armed, and quiet since both the last release and the last message.
  bool Due(int64_t nowMs) const;
  // How long until Due could become true (0 when it is; -1 when disarmed).
  int64_t MsUntilDue(int64_t nowMs) const;

  // Milliseconds of a steady clock.
  static int64_t NowMs();

 private:
  int64_t m_timeoutMs;
  std::atomic<int64_t> m_lastActivityMs{0};
  int64_t m_releasedMs = -1;
};
