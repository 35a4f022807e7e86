// A service under test: a WzScsiSrv on a private temporary directory, with
// the fault-injecting driver doubles, an in-memory log, the in-process
// network server, and helpers to send requests and read the drivers'
// journal.
//
// The harness sets process-wide things (log writer, configuration file,
// state and driver directories, the doubles' environment variables), so one
// harness lives at a time.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "hostlib/log/LogWriter.h"
#include "hostlib/util/RnFiles.h"
#include "messages/WzScsiServerMessages.h"
#include "service/WzScsiSrv.h"
#include "tests/support/hostlib/memory_log_writer.h"
#include "tests/support/hostlib/wz_test_network.h"

namespace wztest {

struct HarnessOptions {
  std::string driverDir = WZ_TEST_FAKES_DIR;  // where the driver libraries are loaded from
  bool initialize = true;                     // call Initialize in the constructor
  bool start = true;                          // then send the start request
  int logLevel = 6;
};

class ServiceHarness {
 public:
  explicit ServiceHarness(const HarnessOptions& options = HarnessOptions());
  ~ServiceHarness();
  ServiceHarness(const ServiceHarness&) = delete;
  ServiceHarness& operator=(const ServiceHarness&) = delete;

  // Paths of this harness (all under Root()).
  const std::string& Root() const { return m_root; }
  const std::string& ConfigFile() const { return m_configFile; }
  const std::string& StateDir() const { return m_stateDir; }
  std::string ActionLogRoot() const;  // <state>/jobresults/WzScsiSrvActionLogs by default
  const std::string& JournalFile() const { return m_journal; }
  const std::string& FaultsFile() const { return m_faults; }

  WzScsiSrv& Service() { return *m_service; }
  CWzTestNetworkServer& Net() { return m_net; }
  CMemoryLogWriter& Log() { return *m_log; }

  CRnError Initialize();
  // Sends StartScsiService and returns the reply's errorCode (-1 when none came).
  int64_t Start();
  // Destroys the service as the host would (KillAllJobs, CleanUp, destroy)
  // and makes a new one on the same directories; initializes it and, when
  // start is true, starts it.
  void Restart(bool start = true);
  // Destroys the service without making a new one.
  void Stop();

  // Sends a request through the intake on a new connection (or the given
  // one) and waits for its reply; null when none came within timeoutMs.
  std::shared_ptr<CNMessageBase> Send(std::unique_ptr<CNMessageBase> request, int timeoutMs = 10000,
                                      WznHandle_t handle = 0);
  // Waits until the pool is idle (every queued request was handled).
  void Drain();

  // Faults of the doubles: the listed operations fail ("platform.CreateTarget").
  void SetFaults(const std::vector<std::string>& operations);
  // Journal lines, optionally only those starting with prefix.
  std::vector<std::string> Journal(const std::string& prefix = std::string()) const;
  void ClearJournal();
  // Writes a configuration value (section "Quellport" unless given).
  void SetConfig(const std::string& key, const std::string& value, const std::string& section = "Quellport");

 private:
  void MakeService();
  static std::string IdleSemaphoreName();

  HarnessOptions m_options;
  std::string m_root, m_configFile, m_stateDir, m_journal, m_faults;
  std::shared_ptr<CMemoryLogWriter> m_log;
  CWzTestNetworkServer m_net;
  std::unique_ptr<WzScsiSrv> m_service;
};

// Request builders.
std::unique_ptr<WzScsiServer::CreateTarget> MakeCreateTarget(const std::string& name, const std::string& desc = "");
std::unique_ptr<WzScsiServer::DeleteTarget> MakeDeleteTarget(const std::string& name);
std::unique_ptr<WzScsiServer::CreateLun> MakeCreateLun(const std::string& target, int64_t type, const std::string& args,
                                                       int64_t flags = 0);
std::unique_ptr<WzScsiServer::DeleteLun> MakeDeleteLun(const std::string& target, int64_t lunId, int64_t flags = 0);
std::unique_ptr<WzScsiServer::MapLun2Host> MakeMap(const std::string& target, int64_t lunId, const std::string& host);
std::unique_ptr<WzScsiServer::UnMapLun2Host> MakeUnMap(const std::string& target, int64_t lunId,
                                                       const std::string& host);
std::unique_ptr<WzScsiServer::Ioctl> MakeIoctl(const std::string& command, const std::string& arguments = "");
std::unique_ptr<WzScsiServer::StartScsiService> MakeStart();

// Reading replies: the Error record's code (-1 when the reply has none) and text.
int64_t ReplyCode(const std::shared_ptr<CNMessageBase>& reply);
// The first line of the reply's text (what clients match); ReplyLines: the
// lines after it (object, meaning, next step).
std::string ReplyText(const std::shared_ptr<CNMessageBase>& reply);
std::string ReplyLines(const std::shared_ptr<CNMessageBase>& reply);

// The name identifier the action log uses for a target or host name.
std::string Guid(const std::string& name);
// Writes a request as a saved action-log file would hold it (directories made).
void SaveRequest(const CNMessageBase& request, const std::string& path);

// Files under a directory, relative to it, sorted (temporary files included).
std::vector<std::string> ListTree(const std::string& dir);
std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);

}  // namespace wztest
