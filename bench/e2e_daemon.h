// One daemon under test for the end-to-end benchmark: a private directory
// (configuration file, staging directory holding the action log, socket,
// log file), the wzscsid process started on it with the given driver
// directory, and blocking waits for "listening" and "serving".
//
// The configuration file names the staging location, so the action log is
// at <dir>/staging/WzScsiSrvActionLogs whatever the daemon's defaults are.
//
// Thread safety: one thread at a time.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "bench/daemon_process.h"
#include "hostlib/errors/CRnError.h"

class CNMessageBase;
class CWzClient;

namespace wzbench {

struct DaemonSetup {
  std::string daemonPath;  // wzscsid
  std::string driverDir;   // the driver doubles
  std::string parentDir;   // where the private directory is made
  int logLevel = 0;
};

class BenchDaemon {
 public:
  explicit BenchDaemon(const DaemonSetup& setup);
  // Stops the daemon (killing it if need be) and removes the directory.
  ~BenchDaemon();
  BenchDaemon(const BenchDaemon&) = delete;
  BenchDaemon& operator=(const BenchDaemon&) = delete;

  // Makes the private directory and the configuration file.
  CRnError Prepare();
  const std::string& Dir() const { return m_dir; }
  const std::string& Socket() const { return m_socket; }
  const std::string& StagingDir() const { return m_staging; }
  std::string ActionLogRoot() const { return m_staging + "/WzScsiSrvActionLogs"; }
  const std::string& LogFile() const { return m_logFile; }

  // Starts wzscsid; autostart false passes --no-autostart. Remembers the
  // moment of the start (StartedAt).
  CRnError Start(bool autostart);
  std::chrono::steady_clock::time_point StartedAt() const { return m_startedAt; }
  pid_t Pid() const { return m_process.Pid(); }
  bool Running() { return m_process.Running(); }
  // Waits until the socket accepts a connection.
  CRnError WaitListening(int timeoutMs);
  // Waits until a listing request is answered with code 0 (the service has
  // started and replayed).
  CRnError WaitServing(int timeoutMs);
  // SIGTERM and wait; the daemon must exit 0.
  CRnError Stop(int timeoutMs = 60000);

  // A connected client.
  CRnError Connect(CWzClient& client, int timeoutMs = 10000);
  // The last lines of the daemon's log that contain needle (for reports).
  std::string LogLinesWith(const std::string& needle, size_t maxLines = 3) const;

 private:
  DaemonSetup m_setup;
  std::string m_dir, m_config, m_staging, m_socket, m_logFile;
  ChildProcess m_process;
  std::chrono::steady_clock::time_point m_startedAt;
};

// Sends request and waits for the reply; code is the reply's result code
// (-1 when it carries none).
CRnError CallForCode(CWzClient& client, const CNMessageBase& request, int timeoutMs, int64_t& code,
                     std::unique_ptr<CNMessageBase>* replyOut = nullptr);

}  // namespace wzbench
