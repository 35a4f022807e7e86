// The host-facing life of the service: Initialize, SubmitJob, KillAllJobs,
// CleanUp and the job-completed handshake.
#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/RnFiles.h"
#include "service/WzScsiSrv.h"

namespace {
const char* const kInUseKey = "WzScsiSrvInUse";
const char* const kTimeoutKey = "nWzScsiSrvInactivityTimeOutInSecs";
const char* const kActionLogDirName = "WzScsiSrvActionLogs";
constexpr int kDefaultInactivityTimeoutSecs = 300;
constexpr long ERROR_BUSY_DRIVERS = 170;  // ERROR_BUSY

// Worker pool shape: idle time-out, minimum, growth step (the maximum is
// nMaxWorkerThreads).
constexpr int kPoolIdleSecs = 300;
constexpr int kPoolMinThreads = 1;
constexpr int kPoolGrowStep = 1;
}  // namespace

CRnError WzScsiSrv::Initialize(int, char**, std::string& semName, int& inactivityTimeoutSecs, IOnDemandSvcApp* app) {
  WzMutexLock g(&m_mutex);
  WZ_TRACE_SCOPE(6);
  inactivityTimeoutSecs = kDefaultInactivityTimeoutSecs;

  if (WZPlatformInfo::setString(kWzScsiSrvSettingsSection, kInUseKey, "Y", 1).IsError())
    WZLOG(-1, "Could not set regkey %s", kInUseKey);

  // Every setting is read here, once: a value the service cannot use stops
  // the start before anything is set up.
  if (CRnError e = WzScsiSrvReadSettings(m_settings)) return e.Push(FX_HERE);

  if (m_settings.Given(kTimeoutKey)) {
    WZLOG(0, "RegKey=nWzScsiSrvInactivityTimeOutInSecs, value=%lu",
          static_cast<unsigned long>(m_settings.inactivityTimeoutSecs));
    inactivityTimeoutSecs = m_settings.inactivityTimeoutSecs;
  }

  m_sActionLogRoot = m_settings.stagingLoc;
  if (m_sActionLogRoot.empty())
    m_sActionLogRoot = WZPI_CommClient::getJobResultsDirectory(WZPlatformInfo::getPhysicalMachine());
  CRnError joined = FXPath::Append(m_sActionLogRoot, kActionLogDirName, 0);
  (void)joined;
  WZLOG(0, "WzScsiSrvActionLogsPath=%s", m_sActionLogRoot.c_str());

  m_sIdleSemName = semName;
  m_pSvcApp = app;

  CRnError pool = m_threadPool.initThreadPool("WzScsiSrv", kPoolIdleSecs, kPoolMinThreads, m_settings.maxWorkerThreads,
                                              kPoolGrowStep);
  if (pool) WZLOG(-1, "Failed to start the worker pool, error=%s", pool.AsString().c_str());

  if (CRnError e = InitPlatform()) {
    std::string text = e.AsString();
    return e.Push(FX_HERE, "Initialization of platform library failed with error: [%s]", text.c_str());
  }
  if (CRnError e = WzScsiSrvReadBackingStorePolicy(m_settings.backingStoreDirs, m_backingStores)) {
    std::string text = e.AsString();
    return e.Push(FX_HERE, "The backing-store setting is wrong: %s", text.c_str());
  }
  if (CRnError e =
          WzScsiSrvReadRbdPolicy(m_settings.rbdConfFile, m_settings.rbdUser, m_settings.rbdPools, m_backingStores)) {
    std::string text = e.AsString();
    return e.Push(FX_HERE, "The RBD settings are wrong: %s", text.c_str());
  }
  if (CRnError e = InitCluster()) {
    std::string text = e.AsString();
    return e.Push(FX_HERE, "The cluster settings are wrong: %s", text.c_str());
  }
  if (!m_backingStores.restricted)
    WZLOG(0, "Warning: BackingStoreDirs is not set: a client may export any file or device of this host");
  return pool.IsError() ? pool.Push(FX_HERE) : CRnError();
}

CRnError WzScsiSrv::SubmitJob(std::string&, CNSession::OnDemandServiceStatusType& status,
                              CNSession::OnDemandServiceMode) {
  WZ_TRACE_SCOPE(6);
  status = CNSession::ONDEMAND_SVC_STATUS_OK;
  return CRnError();
}

CRnError WzScsiSrv::KillAllJobs() {
  WZ_TRACE_SCOPE(6);
  m_stopping = true;
  StopEngineWatch();
  if (m_follower) m_follower->Stop();
  const int limit = m_settings.stopTimeoutSecs;
  CRnError waited = m_threadPool.waitForAllThreads(true, true, true, limit);
  if (waited) {
    m_driversInUse = true;
    WZLOG(-1, "A worker is still inside a driver after %llu s (%s); the drivers stay loaded",
          static_cast<unsigned long long>(limit), waited.AsString().c_str());
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_BUSY_DRIVERS,
                                   "a worker is still inside a driver after %llu s: exit without unloading",
                                   static_cast<unsigned long long>(limit));
  }
  return CRnError();
}

void WzScsiSrv::CleanUp() {
  WZ_TRACE_SCOPE(6);
  if (m_follower) m_follower->Stop();
  if (m_ptrPlatform && !m_driversInUse) {
    CRnError ignored = m_ptrPlatform->CleanUp();
    (void)ignored;
  }
}

CRnError WzScsiSrv::UpdateJobCompletedStatus() {
  WZ_TRACE_SCOPE(6);
  if (m_nTargets.load() != 0) return CRnError();
  WZLOG(1, "JobCompleted!");
  CRnError result = StartIdleTimer(m_sIdleSemName);
  if (result) WZLOG(-1, "Failed to start idle timer. Error [%s]", result.AsString().c_str());
  return result;
}
