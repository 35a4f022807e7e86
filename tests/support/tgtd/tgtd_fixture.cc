#include "tests/support/tgtd/tgtd_fixture.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "hostlib/util/wz_fd.h"

extern char** environ;

namespace wze2e {

namespace {

constexpr int kStartAttempts = 5;
constexpr int kListenTimeoutMs = 5000;
constexpr int kStopTimeoutMs = 5000;

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

// Starts argv with the given descriptors as its standard streams, in a
// process group of its own (a terminal's Ctrl-C stays with the test).
pid_t Spawn(std::vector<std::string> argv, const std::vector<std::string>& extraEnv, int in, int out,
            std::string* error) {
  std::vector<std::string> env = Environment(extraEnv);
  std::vector<char*> argp = Pointers(argv);
  std::vector<char*> envp = Pointers(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, 0);
  posix_spawn_file_actions_adddup2(&actions, out, 1);
  posix_spawn_file_actions_adddup2(&actions, out, 2);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attr, 0);
  pid_t pid = -1;
  int rc = posix_spawnp(&pid, argp[0], &actions, &attr, argp.data(), envp.data());
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    if (error != nullptr) *error = "cannot start " + argv[0] + ": " + std::strerror(rc);
    return -1;
  }
  return pid;
}

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

bool CanConnect(const std::string& path) {
  WzScopedFd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  return ::connect(s.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
}

// tgtd and tgtadm live in /usr/sbin, which a plain user's PATH may lack.
std::vector<std::string> WithSbin(const std::vector<std::string>& env) {
  const char* path = std::getenv("PATH");
  std::vector<std::string> out = env;
  out.push_back(std::string("PATH=") + (path != nullptr ? path : "/usr/bin:/bin") + ":/usr/sbin:/sbin");
  return out;
}

}  // namespace

int FreeLoopbackPort() {
  WzScopedFd s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof(addr);
  if (::bind(s.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      ::getsockname(s.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return 0;
  }
  return ntohs(addr.sin_port);
}

bool InPath(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::string dirs = std::string(path != nullptr ? path : "") + ":/usr/sbin:/sbin";
  std::stringstream ss(dirs);
  std::string dir;
  while (std::getline(ss, dir, ':')) {
    if (!dir.empty() && ::access((dir + "/" + program).c_str(), X_OK) == 0) return true;
  }
  return false;
}

bool Has(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

std::string PatternBlock(const std::string& pattern) {
  std::string block;
  while (block.size() < 512) block += pattern;
  block.resize(512);
  return block;
}

std::string ReadAt(const std::string& path, long long offset, size_t length) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(offset);
  std::string out(length, '\0');
  in.read(&out[0], static_cast<std::streamsize>(length));
  out.resize(static_cast<size_t>(in.gcount()));
  return out;
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
  if (m_pid > 0) {
    ::kill(m_pid, SIGKILL);
    int status = 0;
    ::waitpid(m_pid, &status, 0);
  }
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
  m_pid = Spawn(argv, WithSbin(extraEnv), childIn.Get(), childOut.Get(), error);
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
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
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
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
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
    ::waitpid(m_pid, &status, 0);
    r.exitCode = ExitCode(status);
    m_pid = -1;
  }
  r.output = m_output;
  return r;
}

bool TgtdInstalled() { return InPath("tgtd") && InPath("tgtadm"); }

TgtdProcess::~TgtdProcess() { Stop(nullptr); }

std::string TgtdProcess::Portal() const { return "127.0.0.1:" + std::to_string(m_port); }

std::string TgtdProcess::SocketPrefix() const { return m_dir + "/sock"; }

std::string TgtdProcess::ControlSocket() const { return SocketPrefix() + "." + std::to_string(ControlPort()); }

std::string TgtdProcess::LogText() const {
  std::ifstream in(m_dir + "/tgtd.log");
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

CommandResult TgtdProcess::Tgtadm(const std::vector<std::string>& args) const {
  std::vector<std::string> argv = {"tgtadm", "-C", std::to_string(ControlPort()), "--lld", "iscsi"};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunCommand(argv, {"TGT_IPC_SOCKET=" + SocketPrefix()});
}

std::string TgtdProcess::ShowTargets() const { return Tgtadm({"--op", "show", "--mode", "target"}).output; }

int TgtdProcess::TargetCount() const {
  std::stringstream ss(ShowTargets());
  std::string line;
  int n = 0;
  while (std::getline(ss, line)) {
    if (line.compare(0, 7, "Target ") == 0) ++n;
  }
  return n;
}

std::vector<std::string> TgtdProcess::Portals() const {
  std::stringstream ss(Tgtadm({"--op", "show", "--mode", "portal"}).output);
  std::vector<std::string> portals;
  std::string line;
  while (std::getline(ss, line)) {
    if (line.compare(0, 8, "Portal: ") != 0) continue;
    std::string p = line.substr(8);
    portals.push_back(p.substr(0, p.rfind(',')));
  }
  return portals;
}

bool TgtdProcess::Start(std::string* error) {
  if (m_pid > 0) return true;
  if (m_dir.empty()) {
    char pattern[] = "/tmp/wz-tgtd-XXXXXX";  // short: Unix socket paths are limited
    if (::mkdtemp(pattern) == nullptr) {
      if (error != nullptr) *error = std::string("mkdtemp: ") + std::strerror(errno);
      return false;
    }
    m_dir = pattern;
  }
  std::string why;
  for (int attempt = 0; attempt < kStartAttempts; ++attempt) {
    int port = FreeLoopbackPort();
    if (port == 0) continue;
    if (Launch(port, &why)) return true;
  }
  if (error != nullptr) *error = "tgtd did not start: " + why;
  return false;
}

bool TgtdProcess::Launch(int port, std::string* error) {
  m_port = port;
  ::unlink(ControlSocket().c_str());
  WzScopedFd log(::open((m_dir + "/tgtd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
  WzScopedFd null(::open("/dev/null", O_RDONLY | O_CLOEXEC));
  m_pid = Spawn({"tgtd", "-f", "-t", "1", "-C", std::to_string(ControlPort()), "--iscsi", "portal=" + Portal()},
                WithSbin({"TGT_IPC_SOCKET=" + SocketPrefix()}), null.Get(), log.Get(), error);
  if (m_pid <= 0) return false;
  if (!WaitUntilListening(error)) {
    Kill();
    return false;
  }
  // A taken port makes tgtd listen on every interface instead: refuse that.
  std::vector<std::string> portals = Portals();
  if (portals.size() != 1 || portals[0] != Portal()) {
    if (error != nullptr) {
      *error = "tgtd does not listen on " + Portal() + " alone (portals:";
      for (const std::string& p : portals) *error += " " + p;
      *error += ")";
    }
    Kill();
    return false;
  }
  return true;
}

bool TgtdProcess::WaitUntilListening(std::string* error) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kListenTimeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;
      if (error != nullptr) *error = "tgtd exited at start: " + LogText();
      return false;
    }
    if (CanConnect(ControlSocket())) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (error != nullptr) *error = "tgtd's management socket never answered: " + LogText();
  return false;
}

void TgtdProcess::Reap(int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (m_pid > 0) {
    int status = 0;
    if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
      m_pid = -1;
      return;
    }
    if (std::chrono::steady_clock::now() >= deadline) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void TgtdProcess::Kill() {
  if (m_pid <= 0) return;
  ::kill(m_pid, SIGKILL);
  int status = 0;
  ::waitpid(m_pid, &status, 0);
  m_pid = -1;
}

bool TgtdProcess::Restart(std::string* error) {
  const int port = m_port;
  Kill();
  if (!Launch(port, error)) {
    if (error != nullptr) *error = "tgtd did not start again on " + Portal() + ": " + *error;
    return false;
  }
  return true;
}

bool TgtdProcess::Stop(std::string* error) {
  bool clean = true;
  if (m_pid > 0) {
    // tgtd ignores SIGTERM; it exits on request once it holds no target.
    if (TargetCount() == 0) {
      CommandResult r = Tgtadm({"--op", "delete", "--mode", "system"});
      if (r.exitCode == 0) Reap(kStopTimeoutMs);
    } else {
      clean = false;
      if (error != nullptr) *error = "tgtd still held targets; killed";
    }
    Kill();
  }
  if (!m_dir.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(m_dir, ec);
    m_dir.clear();
  }
  return clean;
}

}  // namespace wze2e
