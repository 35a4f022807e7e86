#include "tests/support/tgtd/tgtd_fixture.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "hostlib/util/wz_fd.h"

namespace wze2e {

namespace {

constexpr int kStartAttempts = 5;
constexpr int kListenTimeoutMs = 5000;
constexpr int kStopTimeoutMs = 5000;

bool CanConnect(const std::string& path) {
  WzScopedFd s(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  return ::connect(s.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0;
}

}  // namespace

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

bool TgtdInstalled() { return InPath("tgtd") && InPath("tgtadm"); }

TgtdProcess::~TgtdProcess() { Stop(nullptr); }

std::string TgtdProcess::Portal() const { return "127.0.0.1:" + std::to_string(m_port); }

std::string TgtdProcess::SocketPrefix() const { return m_dir + "/sock"; }

std::string TgtdProcess::ControlSocket() const { return SocketPrefix() + "." + std::to_string(ControlPort()); }

std::string TgtdProcess::LogText() const { return wztest::ReadFile(m_dir + "/tgtd.log"); }

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
  wztest::SpawnOptions options;
  options.extraEnv = {"TGT_IPC_SOCKET=" + SocketPrefix()};
  options.outputFd = log.Get();
  m_pid = wztest::Spawn({"tgtd", "-f", "-t", "1", "-C", std::to_string(ControlPort()), "--iscsi", "portal=" + Portal()},
                        options, error);
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
    if (wztest::Reaped(m_pid)) {
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

void TgtdProcess::Kill() {
  wztest::KillProcess(m_pid);
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
      if (r.exitCode == 0 && wztest::WaitForExit(m_pid, kStopTimeoutMs)) m_pid = -1;
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
