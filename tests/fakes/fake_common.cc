#include "tests/fakes/fake_common.h"

#include "hostlib/util/wz_environment.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

namespace wzfake {
namespace {

std::string Encode(const std::string& v) {
  std::string out;
  for (char c : v) {
    if (c == ' ' || c == '%' || c == '\n' || c == '\r' || c == '\t') {
      char buf[4];
      snprintf(buf, sizeof(buf), "%%%02X", static_cast<unsigned char>(c));
      out += buf;
    } else {
      out += c;
    }
  }
  return out;
}

bool FaultSet(const std::string& name) {
  const std::string faults = WzEnvironment::Get("WZSCSI_FAKE_FAULTS");
  const char* path = faults.empty() ? nullptr : faults.c_str();
  if (path == nullptr || *path == '\0') return false;
  std::ifstream in(path);
  std::string line;
  while (std::getline(in, line)) {
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line == name) return true;
  }
  return false;
}

void Append(const std::string& line) {
  const std::string journal = WzEnvironment::Get("WZSCSI_FAKE_JOURNAL");
  const char* path = journal.empty() ? nullptr : journal.c_str();
  if (path == nullptr || *path == '\0') return;
  int fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return;
  // One write per line: O_APPEND keeps lines of concurrent writers whole.
  ssize_t n = ::write(fd, line.data(), line.size());
  (void)n;
  ::close(fd);
}

}  // namespace

std::string ThreadFlag(const char* flagName) {
  std::ostringstream name;
  name << flagName << "_" << std::this_thread::get_id();
  return WzEnvironment::Get(name.str());
}

// Targets with a call in progress in this library: a second call for one of
// them is journalled as "<lib>.Overlap" (the service runs the changes of one
// target one at a time).
std::mutex g_busyLock;
std::multiset<std::string> g_busy;

class BusyTarget {
 public:
  BusyTarget(const std::string& lib, const Fields& fields) {
    for (const auto& f : fields)
      if (f.first == "targetId") m_target = f.second;
    if (m_target.empty()) return;
    bool overlap;
    {
      std::lock_guard<std::mutex> g(g_busyLock);
      overlap = g_busy.count(m_target) != 0;
      g_busy.insert(m_target);
    }
    if (overlap) Append(lib + ".Overlap targetId=" + Encode(m_target) + "\n");
  }
  ~BusyTarget() {
    if (m_target.empty()) return;
    std::lock_guard<std::mutex> g(g_busyLock);
    g_busy.erase(g_busy.find(m_target));
  }

 private:
  std::string m_target;
};

CRnError Call(const std::string& lib, const std::string& op, const Fields& fields) {
  BusyTarget busy(lib, fields);
  const std::string delayText = WzEnvironment::Get("WZSCSI_FAKE_DELAY_US");
  const char* delay = delayText.empty() ? nullptr : delayText.c_str();
  if (delay != nullptr && atoi(delay) > 0) std::this_thread::sleep_for(std::chrono::microseconds(atoi(delay)));

  std::string name = lib + "." + op;
  std::string line = name;
  for (const auto& f : fields) line += " " + f.first + "=" + Encode(f.second);
  line += std::string(" openOnly=") + (ThreadFlag("OpenOnly") == "1" ? "1" : "0");
  line += std::string(" closeOnly=") + (ThreadFlag("CloseOnly") == "1" ? "1" : "0");
  bool fail = FaultSet(name);
  if (fail) line += " fault=1";
  line += "\n";
  Append(line);
  if (fail) return FXErrorUtil::ErrorWin32(FX_HERE_IN(lib.c_str()), 1117, "injected fault: %s", name.c_str());
  return CRnError();
}

}  // namespace wzfake
