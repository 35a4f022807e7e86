// Starting wzscsid and wzscsictl from a program, as the integration tests and
// the benchmarks do: the daemon as a child process on a state directory,
// waited for through --ready-fd until it serves; the client as a process
// whose output and exit status are captured.
//
// Thread safety: a CWzDaemonProcess is used by one thread at a time. Starting
// processes is safe from several threads at once (everything a child needs is
// prepared before fork).
#pragma once

#include <sys/types.h>

#include <string>
#include <utility>
#include <vector>

#include "hostlib/errors/CRnError.h"

// Where the build put the programs and the driver doubles.
struct WzBuildPaths {
  static std::string Daemon();
  static std::string Ctl();
  static std::string Fakes();
  static std::string RealDrivers();
};

struct WzDaemonLaunch {
  std::string stateDir;    // required
  std::string socketPath;  // default <stateDir>/wzscsid.sock
  std::string driverDir;   // default: the driver doubles
  std::string logFile;     // default <stateDir>/wzscsid.log
  int logLevel = 1;
  std::vector<std::string> extraArgs;                    // appended to the command line
  std::vector<std::pair<std::string, std::string>> env;  // added to (or replacing in) the environment
  int readyTimeoutMs = 60000;
  unsigned long maxOpenFiles = 0;  // the daemon's RLIMIT_NOFILE (soft and hard); 0: inherited
  // A program (absolute path first) with its options that runs the daemon
  // in its own process, as valgrind does: the pid stays the daemon's.
  std::vector<std::string> wrapper;
  gid_t gid = 0;  // the daemon's group, without supplementary groups; 0: inherited
};

class CWzDaemonProcess {
 public:
  CWzDaemonProcess() = default;
  // Kills the daemon (SIGKILL) when it still runs.
  ~CWzDaemonProcess();
  CWzDaemonProcess(const CWzDaemonProcess&) = delete;
  CWzDaemonProcess& operator=(const CWzDaemonProcess&) = delete;

  // Starts the daemon and waits until it announces its endpoints. Fails when
  // it exits first or does not get ready in time (it is killed then); the
  // error text holds the end of its standard error.
  CRnError Start(const WzDaemonLaunch& cfg);
  // The endpoints as announced: the Unix socket first, then HOST:PORT.
  const std::vector<std::string>& Endpoints() const { return m_endpoints; }
  std::string UnixEndpoint() const;
  std::string TcpEndpoint() const;
  pid_t Pid() const { return m_pid; }
  const std::string& StateDir() const { return m_cfg.stateDir; }
  const std::string& LogFile() const { return m_cfg.logFile; }
  const std::string& StderrFile() const { return m_stderrFile; }

  bool Running();
  // Waits for the exit; the exit status, 128 + signal when killed by one,
  // or -1 when it still runs after timeoutMs.
  int Wait(int timeoutMs);
  // SIGTERM, then Wait; kills it when it does not stop in time (-1 then).
  int Stop(int timeoutMs = 30000);
  // SIGKILL and reap. The idle semaphore the daemon could not remove is
  // removed here.
  void Kill();

 private:
  void Reaped(int status);

  WzDaemonLaunch m_cfg;
  std::string m_stderrFile;
  std::vector<std::string> m_endpoints;
  pid_t m_pid = -1;
  int m_status = -1;
};

// One run of wzscsictl (or any program when program is set).
struct WzCtlRun {
  std::vector<std::string> args;
  std::string stdinText;
  int timeoutMs = 60000;
  // Run as this user and group (the caller must be root); -1 keeps ours.
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  std::string program;  // default: wzscsictl
};
struct WzCtlRunResult {
  int exitCode = -1;  // 128 + signal when killed by one; -1 when it ran out of time
  std::string out;
  std::string err;
};
WzCtlRunResult RunCtlProcess(const WzCtlRun& cfg);
