#include "apps/launcher/daemon_launcher.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "hostlib/svchost/WzNamedSemaphore.h"
#include "hostlib/util/wz_clock.h"

extern char** environ;

namespace {

#define WZL_HERE FX_HERE_IN("WzDaemonLauncher")

// argv or envp for execve, built before fork.
class CStringArray {
 public:
  explicit CStringArray(std::vector<std::string> items) : m_items(std::move(items)) {
    for (std::string& s : m_items) m_ptrs.push_back(&s[0]);
    m_ptrs.push_back(nullptr);
  }
  char* const* Get() { return m_ptrs.data(); }

 private:
  std::vector<std::string> m_items;
  std::vector<char*> m_ptrs;
};

std::vector<std::string> EnvironmentWith(const std::vector<std::pair<std::string, std::string>>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& kv : extra)
      if (entry.compare(0, kv.first.size() + 1, kv.first + "=") == 0) replaced = true;
    if (!replaced) env.push_back(entry);
  }
  for (const auto& kv : extra) env.push_back(kv.first + "=" + kv.second);
  return env;
}

void MakeDirs(const std::string& dir) {
  for (size_t pos = dir.find('/', 1);; pos = dir.find('/', pos + 1)) {
    (void)mkdir(dir.substr(0, pos).c_str(), 0755);
    if (pos == std::string::npos) break;
  }
}

std::string Tail(const std::string& path, size_t bytes) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  std::string text = ss.str();
  return text.size() > bytes ? text.substr(text.size() - bytes) : text;
}

int DecodeStatus(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

}  // namespace

std::string WzBuildPaths::Daemon() { return WZ_DAEMON_BIN; }
std::string WzBuildPaths::Ctl() { return WZ_CTL_BIN; }
std::string WzBuildPaths::Fakes() { return WZ_FAKES_DIR; }
std::string WzBuildPaths::RealDrivers() { return WZ_REAL_DRIVERS_DIR; }

CWzDaemonProcess::~CWzDaemonProcess() {
  if (m_pid > 0) Kill();
}

std::string CWzDaemonProcess::UnixEndpoint() const {
  for (const std::string& e : m_endpoints)
    if (!e.empty() && e[0] == '/') return e;
  return "";
}

std::string CWzDaemonProcess::TcpEndpoint() const {
  for (const std::string& e : m_endpoints)
    if (!e.empty() && e[0] != '/') return e;
  return "";
}

CRnError CWzDaemonProcess::Start(const WzDaemonLaunch& cfg) {
  if (m_pid > 0) return FXErrorUtil::ErrorWin32(WZL_HERE, ERROR_INVALID_PARAMETER, "the daemon already runs");
  m_cfg = cfg;
  if (m_cfg.socketPath.empty()) m_cfg.socketPath = m_cfg.stateDir + "/wzscsid.sock";
  if (m_cfg.driverDir.empty()) m_cfg.driverDir = WzBuildPaths::Fakes();
  if (m_cfg.logFile.empty()) m_cfg.logFile = m_cfg.stateDir + "/wzscsid.log";
  m_endpoints.clear();
  m_status = -1;
  MakeDirs(m_cfg.stateDir);
  m_stderrFile = m_cfg.stateDir + "/wzscsid.stderr";

  int errFd = open(m_stderrFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  int nullFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  int ready[2];
  if (errFd < 0 || nullFd < 0 || pipe2(ready, O_CLOEXEC) != 0) {
    int err = errno;
    if (errFd >= 0) close(errFd);
    if (nullFd >= 0) close(nullFd);
    return FXErrorUtil::ErrorErrNo(WZL_HERE, err, "cannot prepare the daemon's descriptors");
  }
  std::vector<std::string> args{WzBuildPaths::Daemon(),
                                "--state-dir",
                                m_cfg.stateDir,
                                "--socket",
                                m_cfg.socketPath,
                                "--driver-dir",
                                m_cfg.driverDir,
                                "--log-file",
                                m_cfg.logFile,
                                "--log-level",
                                std::to_string(m_cfg.logLevel),
                                "--ready-fd",
                                std::to_string(ready[1])};
  args.insert(args.end(), m_cfg.extraArgs.begin(), m_cfg.extraArgs.end());
  args.insert(args.begin(), m_cfg.wrapper.begin(), m_cfg.wrapper.end());
  CStringArray argv(args);
  CStringArray envp(EnvironmentWith(m_cfg.env));

  pid_t pid = fork();
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    dup2(nullFd, 0);
    dup2(errFd, 1);
    dup2(errFd, 2);
    fcntl(ready[1], F_SETFD, 0);
    if (m_cfg.maxOpenFiles > 0) {
      struct rlimit files = {m_cfg.maxOpenFiles, m_cfg.maxOpenFiles};
      setrlimit(RLIMIT_NOFILE, &files);
    }
    if (m_cfg.gid != 0 && (setgroups(0, nullptr) != 0 || setgid(m_cfg.gid) != 0)) _exit(126);
    execve(argv.Get()[0], argv.Get(), envp.Get());
    _exit(127);
  }
  int forkErr = errno;
  close(ready[1]);
  close(errFd);
  close(nullFd);
  if (pid < 0) {
    close(ready[0]);
    return FXErrorUtil::ErrorErrNo(WZL_HERE, forkErr, "cannot start the daemon");
  }
  m_pid = pid;

  std::string text;
  const int64_t deadline = WzNowMs() + m_cfg.readyTimeoutMs;
  for (;;) {
    int64_t left = deadline - WzNowMs();
    if (left <= 0) break;
    pollfd p{ready[0], POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    char buf[512];
    ssize_t got = read(ready[0], buf, sizeof(buf));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    text.append(buf, static_cast<size_t>(got));
  }
  close(ready[0]);
  const std::string prefix = "wzscsid: serving on ";
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.compare(0, prefix.size(), prefix) == 0) m_endpoints.push_back(line.substr(prefix.size()));
  if (!m_endpoints.empty()) return CRnError();

  int status = Wait(5000);
  if (status < 0) Kill();
  return FXErrorUtil::ErrorWin32(WZL_HERE, ERROR_INVALID_PARAMETER, "wzscsid did not get ready (exit status %d): %s",
                                 status, Tail(m_stderrFile, 2000).c_str());
}

bool CWzDaemonProcess::Running() {
  if (m_pid <= 0) return false;
  int status = 0;
  pid_t r = waitpid(m_pid, &status, WNOHANG);
  if (r == m_pid) {
    Reaped(status);
    return false;
  }
  return r == 0;
}

void CWzDaemonProcess::Reaped(int status) {
  m_status = DecodeStatus(status);
  // A daemon killed by a signal (SIGKILL from Kill or from its own crash
  // point) had no chance to remove its idle semaphore's name; one that
  // exited removed it itself, which the lifecycle tests check.
  if (WIFSIGNALED(status)) {
    try {
      WzNamedSemaphore::unlink("/wzscsid-" + std::to_string(m_pid));
    } catch (const WzException&) {
    }
  }
  m_pid = -1;
}

int CWzDaemonProcess::Wait(int timeoutMs) {
  if (m_pid <= 0) return m_status;
  const int64_t deadline = WzNowMs() + timeoutMs;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(m_pid, &status, WNOHANG);
    if (r == m_pid) {
      Reaped(status);
      return m_status;
    }
    if (r < 0 && errno != EINTR) {
      m_pid = -1;
      return m_status;
    }
    if (WzNowMs() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

int CWzDaemonProcess::Stop(int timeoutMs) {
  if (m_pid <= 0) return m_status;
  kill(m_pid, SIGTERM);
  int status = Wait(timeoutMs);
  if (status < 0) {
    Kill();
    return -1;
  }
  return status;
}

void CWzDaemonProcess::Kill() {
  if (m_pid <= 0) return;
  const pid_t pid = m_pid;
  kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  Reaped(status);
}

WzCtlRunResult RunCtlProcess(const WzCtlRun& cfg) {
  WzCtlRunResult result;
  std::vector<std::string> args{cfg.program.empty() ? WzBuildPaths::Ctl() : cfg.program};
  args.insert(args.end(), cfg.args.begin(), cfg.args.end());
  CStringArray argv(args);
  CStringArray envp(EnvironmentWith({}));
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) != 0) return result;
  if (pipe2(out, O_CLOEXEC) != 0) {
    close(in[0]);
    close(in[1]);
    return result;
  }
  if (pipe2(err, O_CLOEXEC) != 0) {
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    return result;
  }
  const bool switchUser = cfg.uid != static_cast<uid_t>(-1);
  pid_t pid = fork();
  if (pid == 0) {
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (switchUser && (setgroups(0, nullptr) != 0 || setgid(cfg.gid) != 0 || setuid(cfg.uid) != 0)) _exit(126);
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    execve(argv.Get()[0], argv.Get(), envp.Get());
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  if (pid < 0) {
    for (int fd : {in[1], out[0], err[0]}) close(fd);
    return result;
  }
  fcntl(in[1], F_SETFL, O_NONBLOCK);
  size_t written = 0;
  int inFd = in[1];
  if (cfg.stdinText.empty()) {
    close(inFd);
    inFd = -1;
  }
  int fds[2] = {out[0], err[0]};
  std::string* sinks[2] = {&result.out, &result.err};
  const int64_t deadline = WzNowMs() + cfg.timeoutMs;
  bool timedOut = false;
  while (fds[0] >= 0 || fds[1] >= 0) {
    int64_t left = deadline - WzNowMs();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd p[3];
    int n = 0;
    int index[3];
    for (int i = 0; i < 2; ++i)
      if (fds[i] >= 0) {
        p[n] = pollfd{fds[i], POLLIN, 0};
        index[n++] = i;
      }
    if (inFd >= 0) {
      p[n] = pollfd{inFd, POLLOUT, 0};
      index[n++] = 2;
    }
    int r = poll(p, static_cast<nfds_t>(n), static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) break;
    for (int k = 0; k < n; ++k) {
      if (p[k].revents == 0) continue;
      if (index[k] == 2) {
        ssize_t w = write(inFd, cfg.stdinText.data() + written, cfg.stdinText.size() - written);
        if (w > 0) written += static_cast<size_t>(w);
        if (w < 0 && errno != EAGAIN && errno != EINTR) written = cfg.stdinText.size();
        if (written >= cfg.stdinText.size()) {
          close(inFd);
          inFd = -1;
        }
        continue;
      }
      char buf[4096];
      ssize_t got = read(fds[index[k]], buf, sizeof(buf));
      if (got > 0) {
        sinks[index[k]]->append(buf, static_cast<size_t>(got));
      } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        close(fds[index[k]]);
        fds[index[k]] = -1;
      }
    }
  }
  for (int fd : {fds[0], fds[1], inFd})
    if (fd >= 0) close(fd);
  if (timedOut) kill(pid, SIGKILL);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exitCode = timedOut ? -1 : DecodeStatus(status);
  return result;
}
