// One daemon under test for the end-to-end benchmark: a private directory
// (configuration file, staging directory holding the action log, state
// directory with the socket and the log), and the wzscsid process started on
// it through the launcher with the given driver directory.
//
// The configuration file names the staging location, so the action log is
// at <dir>/staging/WzScsiSrvActionLogs whatever the daemon's defaults are.
//
// Thread safety: one thread at a time.
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "apps/launcher/daemon_launcher.h"
#include "hostlib/errors/CRnError.h"

class CNMessageBase;
class CWzClient;

namespace wzbench {

struct DaemonSetup {
  std::string driverDir;  // the driver doubles
  std::string parentDir;  // where the private directory is made
  int logLevel = 0;
  std::string extraConfig;  // appended to the configuration file (the drivers' sections)
  std::string engine;       // sScsiEngine of [Quellport]; empty: the automatic choice
  // A program that runs every daemon (WzDaemonLaunch::wrapper), e.g. for a
  // profile; it comes before the one of SetWrapper.
  std::vector<std::string> wrapper;
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
  // Stops the daemon if it runs and removes the private directory now.
  void Remove();
  const std::string& Dir() const { return m_dir; }
  const std::string& Socket() const { return m_socket; }
  const std::string& StagingDir() const { return m_staging; }
  std::string ActionLogRoot() const { return m_staging + "/WzScsiSrvActionLogs"; }
  const std::string& LogFile() const { return m_logFile; }
  // A program that runs the daemon from the next Start on
  // (WzDaemonLaunch::wrapper).
  void SetWrapper(const std::vector<std::string>& wrapper) { m_wrapper = wrapper; }

  // Starts wzscsid and waits until it announces that it serves: with
  // autostart after its own start request was answered (the replay done),
  // without (--no-autostart) as soon as it listens. StartedAt is the moment
  // before the process was started.
  CRnError Start(bool autostart, int readyTimeoutMs = 600000);
  std::chrono::steady_clock::time_point StartedAt() const { return m_startedAt; }
  pid_t Pid() const { return m_process.Pid(); }
  bool Running() { return m_process.Running(); }
  // Starts wzscsid without autostart, sends it the start request and times
  // the request's round trip (the replay of the action log) and the time
  // from starting the process to the reply. Fails unless the reply's code
  // is 0.
  CRnError StartTimed(double& replaySec, double& servingSec, int timeoutMs = 600000);
  // Fails unless a listing request is answered with code 0.
  CRnError CheckServing(int timeoutMs = 60000);
  // SIGTERM and wait; the daemon must exit 0.
  CRnError Stop(int timeoutMs = 60000);

  // A connected client.
  CRnError Connect(CWzClient& client, int timeoutMs = 10000);
  // The last lines of the daemon's log that contain needle (for reports).
  std::string LogLinesWith(const std::string& needle, size_t maxLines = 3) const;

 private:
  DaemonSetup m_setup;
  std::string m_dir, m_config, m_staging, m_socket, m_logFile;
  std::vector<std::string> m_wrapper;
  CWzDaemonProcess m_process;
  std::chrono::steady_clock::time_point m_startedAt;
};

// Sends request and waits for the reply; code is the reply's result code
// (-1 when it carries none).
CRnError CallForCode(CWzClient& client, const CNMessageBase& request, int timeoutMs, int64_t& code,
                     std::unique_ptr<CNMessageBase>* replyOut = nullptr);

}  // namespace wzbench
