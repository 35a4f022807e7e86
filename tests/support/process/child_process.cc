#include "tests/support/process/child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "hostlib/util/wz_fd.h"

extern char** environ;

namespace wztest {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLowestPort = 20001;
constexpr int kPollMs = 5;

// The test's environment with extra's entries added or replacing.
std::vector<std::string> Environment(const std::vector<std::string>& extra) {
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    std::string entry(*e);
    std::string name = entry.substr(0, entry.find('='));
    bool overridden = false;
    for (const std::string& x : extra) {
      if (x.compare(0, name.size() + 1, name + "=") == 0) overridden = true;
    }
    if (!overridden) env.push_back(entry);
  }
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(&s[0]);
  out.push_back(nullptr);
  return out;
}

// tgtd and tgtadm live in /usr/sbin, which a plain user's PATH may lack.
std::vector<std::string> WithSbin(const std::vector<std::string>& env) {
  const char* path = std::getenv("PATH");
  std::vector<std::string> out = env;
  out.push_back(std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin") + ":/usr/sbin:/sbin");
  return out;
}

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

std::string FindProgram(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::stringstream dirs(std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin:/usr/bin:/usr/local/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string candidate = dir + "/" + name;
    if (!dir.empty() && ::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

bool InPath(const std::string& program) { return !FindProgram(program).empty(); }

pid_t Spawn(const std::vector<std::string>& argv, const SpawnOptions& options, std::string* error) {
  auto fail = [&](const std::string& why) {
    if (error != nullptr) *error = why;
    return -1;
  };
  if (argv.empty()) return fail("nothing to start");
  const std::string program = argv[0].find('/') != std::string::npos ? argv[0] : FindProgram(argv[0]);
  if (program.empty()) return fail("cannot start " + argv[0] + ": not in PATH");
  // Everything the child needs is made before the fork: between fork and
  // exec it may only make async-signal-safe calls (the test has threads).
  std::vector<std::string> args = argv;
  std::vector<std::string> env = Environment(options.extraEnv);
  std::vector<char*> argp = Pointers(args);
  std::vector<char*> envp = Pointers(env);
  WzScopedFd null(::open("/dev/null", O_RDWR | O_CLOEXEC));
  if (!null.Valid()) return fail(std::string("cannot open /dev/null: ") + std::strerror(errno));
  const int in = options.inputFd >= 0 ? options.inputFd : null.Get();
  const int out = options.outputFd >= 0 ? options.outputFd : null.Get();
  // The child reports a failed exec here; exec closes it otherwise.
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return fail(std::string("pipe: ") + std::strerror(errno));
  WzScopedFd reportRead(report[0]);
  WzScopedFd reportWrite(report[1]);
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return fail(std::string("fork: ") + std::strerror(errno));
  if (pid == 0) {
    if (options.dieWithStarter) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(126);
    }
    ::setpgid(0, 0);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execve(program.c_str(), argp.data(), envp.data());
    const int e = errno;
    (void)!::write(reportWrite.Get(), &e, sizeof(e));
    ::_exit(127);
  }
  reportWrite.Reset();
  int childErrno = 0;
  ssize_t n = 0;
  do {
    n = ::read(reportRead.Get(), &childErrno, sizeof(childErrno));
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(sizeof(childErrno))) {
    KillProcess(pid);
    return fail("cannot start " + argv[0] + ": " + std::strerror(childErrno));
  }
  return pid;
}

bool Reaped(pid_t pid, int* exitCode) {
  int status = 0;
  if (pid <= 0 || ::waitpid(pid, &status, WNOHANG) != pid) return false;
  if (exitCode != nullptr) *exitCode = ExitCode(status);
  return true;
}

bool WaitForExit(pid_t pid, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (Reaped(pid)) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
  }
}

void KillProcess(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

void StopProcess(pid_t pid, int graceMs) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  if (!WaitForExit(pid, graceMs)) KillProcess(pid);
}

std::vector<int> FreeLoopbackPorts(size_t count) {
  std::vector<WzScopedFd> held;
  std::vector<int> ports;
  for (int tries = 0; ports.size() < count && tries < 1000; ++tries) {
    WzScopedFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (!s.Valid() || ::bind(s.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
        ::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return {};
    }
    const int port = ntohs(addr.sin_port);
    if (port >= kLowestPort) ports.push_back(port);
    held.push_back(std::move(s));
  }
  if (ports.size() != count) return {};
  return ports;
}

int FreeLoopbackPort() {
  const std::vector<int> ports = FreeLoopbackPorts(1);
  return ports.empty() ? 0 : ports[0];
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

CommandResult RunCommand(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                         const std::string& input) {
  CommandResult result;
  ChildProcess child;
  if (!child.Start(argv, extraEnv, &result.output)) return result;
  if (!input.empty()) child.WriteInput(input);
  child.CloseInput();
  return child.Wait();
}

ChildProcess::~ChildProcess() {
  KillProcess(m_pid);
  if (m_in >= 0) ::close(m_in);
  if (m_out >= 0) ::close(m_out);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv,
                         std::string* error) {
  // A child that exits before reading its input must not kill the test.
  ::signal(SIGPIPE, SIG_IGN);
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0) return false;
  if (::pipe2(out, O_CLOEXEC) != 0) {
    ::close(in[0]);
    ::close(in[1]);
    return false;
  }
  WzScopedFd childIn(in[0]);
  WzScopedFd childOut(out[1]);
  m_in = in[1];
  m_out = out[0];
  SpawnOptions options;
  options.extraEnv = WithSbin(extraEnv);
  options.inputFd = childIn.Get();
  options.outputFd = childOut.Get();
  m_pid = Spawn(argv, options, error);
  return m_pid > 0;
}

bool ChildProcess::ReadSome(int timeoutMs) {
  if (m_out < 0) return false;
  pollfd p{m_out, POLLIN, 0};
  if (::poll(&p, 1, timeoutMs) <= 0) return true;  // nothing yet, still open
  char buf[4096];
  ssize_t n = ::read(m_out, buf, sizeof(buf));
  if (n <= 0) {
    ::close(m_out);
    m_out = -1;
    return false;
  }
  m_output.append(buf, static_cast<size_t>(n));
  return true;
}

bool ChildProcess::WaitForLine(const std::string& prefix, int timeoutMs, std::string* line) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    size_t lineStart = m_scanned;
    for (size_t nl = m_output.find('\n', lineStart); nl != std::string::npos; nl = m_output.find('\n', lineStart)) {
      if (m_output.compare(lineStart, prefix.size(), prefix) == 0) {
        if (line != nullptr) *line = m_output.substr(lineStart, nl - lineStart);
        m_scanned = nl + 1;
        return true;
      }
      lineStart = nl + 1;
    }
    m_scanned = lineStart;
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return false;
    if (!ReadSome(static_cast<int>(left.count()))) return false;
  }
}

bool ChildProcess::WriteInput(const std::string& data) {
  const char* p = data.data();
  size_t left = data.size();
  while (left > 0 && m_in >= 0) {
    ssize_t n = ::write(m_in, p, left);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    left -= static_cast<size_t>(n);
  }
  return left == 0;
}

void ChildProcess::CloseInput() {
  if (m_in >= 0) ::close(m_in);
  m_in = -1;
}

CommandResult ChildProcess::Wait() {
  CommandResult r;
  while (ReadSome(1000)) {
  }
  if (m_pid > 0) {
    int status = 0;
    while (::waitpid(m_pid, &status, 0) < 0 && errno == EINTR) {
    }
    r.exitCode = ExitCode(status);
    m_pid = -1;
  }
  r.output = m_output;
  return r;
}

}  // namespace wztest
