#include "bench/proc_cpu.h"

#include <sys/resource.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace wzbench {

namespace {

double Seconds(const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; }

}  // namespace

CRnError ReadCpuTimes(pid_t pid, CpuTimes& out) {
  const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  std::ifstream stat(path);
  std::string line;
  // The command name may hold spaces and parentheses: fields count from the
  // last ')'; utime and stime are the 12th and 13th after it.
  if (!std::getline(stat, line) || line.rfind(')') == std::string::npos)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 2, "cannot read %s", path.c_str());
  std::istringstream fields(line.substr(line.rfind(')') + 1));
  std::vector<std::string> f;
  for (std::string word; f.size() < 13 && fields >> word;) f.push_back(word);
  if (f.size() < 13) return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 13, "short %s", path.c_str());
  out.processSec = (std::stod(f[11]) + std::stod(f[12])) / tick;

  rusage self{};
  ::getrusage(RUSAGE_SELF, &self);
  out.selfSec = Seconds(self.ru_utime) + Seconds(self.ru_stime);

  // "cpu user nice system idle iowait irq softirq steal ..."
  std::ifstream machine("/proc/stat");
  std::string label;
  machine >> label;
  if (label != "cpu") return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 13, "unexpected /proc/stat");
  out.machineBusy = out.machineTotal = 0;
  uint64_t value = 0;
  for (int i = 0; i < 8 && machine >> value; ++i) {
    out.machineTotal += value;
    if (i != 3 && i != 4) out.machineBusy += value;
  }
  return CRnError();
}

CpuUse CpuUseBetween(const CpuTimes& before, const CpuTimes& after, double units) {
  CpuUse use;
  if (units > 0) {
    use.processMsPer = 1000.0 * (after.processSec - before.processSec) / units;
    use.selfMsPer = 1000.0 * (after.selfSec - before.selfSec) / units;
  }
  const uint64_t total = after.machineTotal - before.machineTotal;
  if (total > 0) use.machineBusyShare = static_cast<double>(after.machineBusy - before.machineBusy) / total;
  return use;
}

}  // namespace wzbench
