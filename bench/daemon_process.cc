#include "bench/daemon_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

extern char** environ;

namespace wzbench {

namespace {

// posix_spawn's file actions and attributes, destroyed on scope exit.
class SpawnSetup {
 public:
  SpawnSetup() {
    m_actionsOk = posix_spawn_file_actions_init(&m_actions) == 0;
    m_attrOk = posix_spawnattr_init(&m_attr) == 0;
  }
  ~SpawnSetup() {
    if (m_actionsOk) posix_spawn_file_actions_destroy(&m_actions);
    if (m_attrOk) posix_spawnattr_destroy(&m_attr);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  bool Ok() const { return m_actionsOk && m_attrOk; }
  posix_spawn_file_actions_t* Actions() { return &m_actions; }
  posix_spawnattr_t* Attr() { return &m_attr; }

 private:
  posix_spawn_file_actions_t m_actions;
  posix_spawnattr_t m_attr;
  bool m_actionsOk = false;
  bool m_attrOk = false;
};

std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  out.reserve(strings.size() + 1);
  for (std::string& s : strings) out.push_back(&s[0]);
  out.push_back(nullptr);
  return out;
}

}  // namespace

ChildProcess::~ChildProcess() { Kill(); }

CRnError ChildProcess::Start(const std::vector<std::string>& argvIn, const std::string& outputFile,
                             const std::vector<std::string>& env) {
  if (m_pid > 0) return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 87, "a child already runs");
  if (argvIn.empty()) return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 87, "no program");
  SpawnSetup setup;
  if (!setup.Ok()) return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 8, "posix_spawn set-up failed");
  const std::string out = outputFile.empty() ? std::string("/dev/null") : outputFile;
  posix_spawn_file_actions_addopen(setup.Actions(), 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(setup.Actions(), 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  posix_spawn_file_actions_adddup2(setup.Actions(), 1, 2);
  // The child starts with default signal dispositions and mask.
  sigset_t none, all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(setup.Attr(), &none);
  posix_spawnattr_setsigdefault(setup.Attr(), &all);
  posix_spawnattr_setflags(setup.Attr(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  std::vector<std::string> args = argvIn;
  std::vector<std::string> environment;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) environment.emplace_back(*e);
  for (const std::string& extra : env) environment.push_back(extra);
  std::vector<char*> argv = CStrings(args);
  std::vector<char*> envp = CStrings(environment);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, argv[0], setup.Actions(), setup.Attr(), argv.data(), envp.data());
  if (rc != 0)
    return FXErrorUtil::ErrorErrNo(FX_HERE_IN("bench"), rc, "cannot start %s: %s", argvIn[0].c_str(), strerror(rc));
  m_pid = pid;
  m_status = 0;
  return CRnError();
}

bool ChildProcess::Running() {
  if (m_pid <= 0) return false;
  int status = 0;
  const pid_t r = ::waitpid(m_pid, &status, WNOHANG);
  if (r == m_pid || (r < 0 && errno == ECHILD)) {
    m_status = status;
    m_pid = -1;
    return false;
  }
  return true;
}

bool ChildProcess::Wait(int timeoutMs, int& exitStatus) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Running()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  exitStatus = m_status;
  return true;
}

CRnError ChildProcess::Stop(int timeoutMs) {
  if (!Running()) return CRnError();
  const pid_t pid = m_pid;
  ::kill(pid, SIGTERM);
  int status = 0;
  if (!Wait(timeoutMs, status)) {
    Kill();
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 1460, "process %d did not stop within %d ms; killed",
                                   static_cast<int>(pid), timeoutMs);
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 1067, "process %d ended with wait status 0x%x",
                                   static_cast<int>(pid), static_cast<unsigned>(status));
  return CRnError();
}

void ChildProcess::Kill() {
  if (m_pid <= 0) return;
  ::kill(m_pid, SIGKILL);
  int status = 0;
  while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
  }
  m_status = status;
  m_pid = -1;
}

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
