// Child processes of the tests and benchmarks (tgtd, etcd, QEMU, tgtadm, the
// initiator probe), one way: started in a process group of their own (a
// terminal's Ctrl-C stays with the test), stopped and reaped by their process
// id, never by name; and the free loopback ports their servers listen on.
//
// Thread safety: the functions may be called from any thread; a ChildProcess
// is used by one thread.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

namespace wztest {

struct CommandResult {
  int exitCode = -1;   // -1 when the command could not run or was killed
  std::string output;  // standard output and standard error, interleaved
};

struct SpawnOptions {
  // "NAME=value" entries added to the environment (replacing a variable of
  // the same name).
  std::vector<std::string> extraEnv;
  // Standard input, and standard output and error: descriptors the child
  // gets (-1: /dev/null).
  int inputFd = -1;
  int outputFd = -1;
  // The child is killed when the thread that started it ends (so a test
  // that crashes leaves no server behind): start it from a thread that
  // outlives it.
  bool dieWithStarter = false;
};

// Starts argv (argv[0] found in PATH, /usr/sbin, /sbin, /usr/bin or
// /usr/local/bin when it holds no "/"). Returns its pid, or -1 with error
// set when it cannot run.
pid_t Spawn(const std::vector<std::string>& argv, const SpawnOptions& options, std::string* error);
// The full path of a program, as Spawn looks for it; "" when there is none.
std::string FindProgram(const std::string& name);
bool InPath(const std::string& program);

// Whether pid has ended (then it is reaped; exitCode, when given, receives
// its exit status, -1 when it was killed). Never waits.
bool Reaped(pid_t pid, int* exitCode = nullptr);
// Waits up to timeoutMs for pid to end; true when it ended and was reaped.
bool WaitForExit(pid_t pid, int timeoutMs);
// SIGKILL, then reaps.
void KillProcess(pid_t pid);
// SIGTERM, then SIGKILL when it has not ended after graceMs; reaps.
void StopProcess(pid_t pid, int graceMs);

// count distinct 127.0.0.1 ports above 20000 that were free a moment ago
// (the probing sockets stay bound until all are chosen, so the kernel does
// not hand out one port twice); empty when they cannot be had.
std::vector<int> FreeLoopbackPorts(size_t count);
// One such port; 0 when none can be had.
int FreeLoopbackPort();

std::string ReadFile(const std::string& path);

// Runs a program with extra "NAME=value" environment entries, feeds it input
// on standard input and waits for it.
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

}  // namespace wztest
