#include "tests/fakes/fake_common.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
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
  const char* path = getenv("WZSCSI_FAKE_FAULTS");
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
  const char* path = getenv("WZSCSI_FAKE_JOURNAL");
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
  const char* v = getenv(name.str().c_str());
  return v != nullptr ? v : "";
}

CRnError Call(const std::string& lib, const std::string& op, const Fields& fields) {
  const char* delay = getenv("WZSCSI_FAKE_DELAY_US");
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
