#include "bench/proc_memory.h"

#include <cstdlib>
#include <fstream>
#include <string>

namespace wzbench {

CRnError ReadMemoryKib(pid_t pid, uint64_t& peakKib, uint64_t& currentKib) {
  const std::string path = "/proc/" + std::to_string(pid) + "/status";
  std::ifstream in(path);
  if (!in) return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 2, "cannot read %s", path.c_str());
  bool havePeak = false, haveCurrent = false;
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, 6, "VmHWM:") == 0) {
      peakKib = strtoull(line.c_str() + 6, nullptr, 10);
      havePeak = true;
    } else if (line.compare(0, 6, "VmRSS:") == 0) {
      currentKib = strtoull(line.c_str() + 6, nullptr, 10);
      haveCurrent = true;
    }
  }
  if (!havePeak || !haveCurrent)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 13, "no VmHWM/VmRSS in %s", path.c_str());
  return CRnError();
}

}  // namespace wzbench
