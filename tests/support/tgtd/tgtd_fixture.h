// Helpers of the end-to-end tests and benchmarks: a private tgtd per test
// (child processes: tests/support/process).
//
// TgtdProcess starts tgtd in the foreground on a free 127.0.0.1 port with
// its management socket in a private directory, checks that the portal
// really is 127.0.0.1:<port> (tgtd silently listens on every interface when
// its port is taken; then it tries another port), and stops it by process id:
// "tgtadm --op delete --mode system" when it holds no target, else SIGKILL.
// Nothing is ever stopped by name.
//
// Thread safety: none; one test thread uses an object.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "tests/support/process/child_process.h"

namespace wze2e {

// The process helpers, under the names the end-to-end tests use.
using wztest::ChildProcess;
using wztest::CommandResult;
using wztest::FreeLoopbackPort;
using wztest::InPath;
using wztest::RunCommand;

// Whether tgtd and tgtadm can be found (the end-to-end tests skip without).
bool TgtdInstalled();
bool Has(const std::string& text, const std::string& needle);
// One 512-byte block filled with pattern, as the probe writes it.
std::string PatternBlock(const std::string& pattern);
std::string ReadAt(const std::string& path, long long offset, size_t length);

class TgtdProcess {
 public:
  TgtdProcess() = default;
  ~TgtdProcess();
  TgtdProcess(const TgtdProcess&) = delete;
  TgtdProcess& operator=(const TgtdProcess&) = delete;

  bool Start(std::string* error);
  // Stops tgtd (see above) and removes the private directory.
  bool Stop(std::string* error = nullptr);
  // Kills tgtd (SIGKILL) as a crash would; the directory and port stay.
  void Kill();
  // Kill, then start again on the same port and socket.
  bool Restart(std::string* error);

  bool Running() const { return m_pid > 0; }
  pid_t Pid() const { return m_pid; }
  int Port() const { return m_port; }
  std::string Portal() const;  // "127.0.0.1:<port>"
  // tgtd's control port (the suffix of its socket name); the private
  // directory keeps instances apart, so it is the same for all.
  int ControlPort() const { return 1; }
  const std::string& Directory() const { return m_dir; }
  std::string SocketPrefix() const;   // what TGT_IPC_SOCKET holds
  std::string ControlSocket() const;  // the management socket itself
  std::string LogText() const;

  // tgtadm against this tgtd ("--lld iscsi" and the control port added).
  CommandResult Tgtadm(const std::vector<std::string>& args) const;
  std::string ShowTargets() const;
  int TargetCount() const;
  std::vector<std::string> Portals() const;

 private:
  bool Launch(int port, std::string* error);
  bool WaitUntilListening(std::string* error);

  pid_t m_pid = -1;
  int m_port = 0;
  std::string m_dir;
};

}  // namespace wze2e
