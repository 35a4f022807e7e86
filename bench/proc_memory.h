// Memory figures of a live process, from /proc/<pid>/status.
//
// Thread safety: a plain function.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "hostlib/errors/CRnError.h"

namespace wzbench {

// Peak resident set (VmHWM) and current resident set (VmRSS), in KiB.
CRnError ReadMemoryKib(pid_t pid, uint64_t& peakKib, uint64_t& currentKib);

}  // namespace wzbench
