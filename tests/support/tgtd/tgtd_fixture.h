// Helpers of the end-to-end tests: a private tgtd per test, and child
// processes (tgtadm, the initiator probe, later the daemon and its client).
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

namespace wze2e {

struct CommandResult {
  int exitCode = -1;   // -1 when the command could not run or was killed
  std::string output;  // standard output and standard error, interleaved
};

// Runs a program (looked up in PATH) with extra "NAME=value" environment
// entries, feeds it input on standard input and waits for it.
CommandResult RunCommand(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {},
                         const std::string& input = std::string());

// A child process whose standard input stays open until CloseInput, and
// whose standard output can be read line by line while it runs. Killed and
// reaped on destruction when still running.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv, std::string* error);
  // Reads output until a line starting with prefix arrives (true) or the
  // child closes its output or timeoutMs passes (false). All output read so
  // far is kept in Output(); line, when given, receives the matching line
  // (without its newline).
  bool WaitForLine(const std::string& prefix, int timeoutMs, std::string* line = nullptr);
  // Small inputs only: the child must read them before it fills its output.
  bool WriteInput(const std::string& data);
  void CloseInput();
  // Waits for the child to end (reads its remaining output).
  CommandResult Wait();
  pid_t Pid() const { return m_pid; }
  const std::string& Output() const { return m_output; }

 private:
  bool ReadSome(int timeoutMs);

  pid_t m_pid = -1;
  int m_in = -1;
  int m_out = -1;
  std::string m_output;
  size_t m_scanned = 0;
};

// Whether tgtd and tgtadm can be found (the end-to-end tests skip without).
bool TgtdInstalled();
// Whether program is in PATH (or /usr/sbin, /sbin).
bool InPath(const std::string& program);
// A port of 127.0.0.1 that was free a moment ago (0 when none could be had).
int FreeLoopbackPort();

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
  void Reap(int timeoutMs);

  pid_t m_pid = -1;
  int m_port = 0;
  std::string m_dir;
};

}  // namespace wze2e
