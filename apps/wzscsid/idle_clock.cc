#include "apps/wzscsid/idle_clock.h"

#include <algorithm>

#include "hostlib/util/wz_clock.h"

void CWzIdleClock::Released(int64_t nowMs) { m_releasedMs = nowMs; }

int64_t CWzIdleClock::MsUntilDue(int64_t nowMs) const {
  if (m_releasedMs < 0) return -1;
  int64_t quietSince = std::max(m_releasedMs, m_lastActivityMs.load(std::memory_order_relaxed));
  return std::max<int64_t>(0, quietSince + m_timeoutMs - nowMs);
}

bool CWzIdleClock::Due(int64_t nowMs) const { return MsUntilDue(nowMs) == 0; }

int64_t CWzIdleClock::NowMs() { return WzNowMs(); }
