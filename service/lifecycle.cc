// The host-facing life of the service: Initialize, SubmitJob, KillAllJobs,
// CleanUp and the job-completed handshake.
#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/RnFiles.h"
#include "service/WzScsiSrv.h"

namespace {
const char* const kSection = "Quellport";
const char* const kInUseKey = "WzScsiSrvInUse";
const char* const kTimeoutKey = "nWzScsiSrvInactivityTimeOutInSecs";
const char* const kStagingKey = "sScsiSrvStagingLoc";
const char* const kActionLogDirName = "WzScsiSrvActionLogs";
constexpr int kDefaultInactivityTimeoutSecs = 300;

// Worker pool shape: idle time-out, minimum, maximum, growth step.
constexpr int kPoolIdleSecs = 300;
constexpr int kPoolMinThreads = 1;
constexpr int kPoolMaxThreads = 4;
constexpr int kPoolGrowStep = 1;
}  // namespace

CRnError WzScsiSrv::Initialize(int, char**, std::string& semName, int& inactivityTimeoutSecs,
                               IOnDemandSvcApp* app) {
  WzMutexLock g(&m_mutex);
  WZ_TRACE_SCOPE(1);
  inactivityTimeoutSecs = kDefaultInactivityTimeoutSecs;

  if (WZPlatformInfo::setString(kSection, kInUseKey, "Y", 1).IsError())
    WZLOG(-1, "Could not set regkey %s", kInUseKey);

  uint64_t timeout = 0;
  if (WZPlatformInfo::getNumber(kSection, kTimeoutKey, timeout).IsSuccess()) {
    WZLOG(0, "RegKey=nWzScsiSrvInactivityTimeOutInSecs, value=%lu", static_cast<unsigned long>(timeout));
    inactivityTimeoutSecs = static_cast<int>(static_cast<uint32_t>(timeout));
  }

  m_sActionLogRoot.clear();
  if (WZPlatformInfo::getString(kSection, kStagingKey, m_sActionLogRoot).IsError() || m_sActionLogRoot.empty())
    m_sActionLogRoot = WZPI_CommClient::getJobResultsDirectory(WZPlatformInfo::getPhysicalMachine());
  CRnError joined = FXPath::Append(m_sActionLogRoot, kActionLogDirName, 0);
  (void)joined;
  WZLOG(0, "WzScsiSrvActionLogsPath=%s", m_sActionLogRoot.c_str());

  m_sIdleSemName = semName;
  m_pSvcApp = app;

  CRnError pool = m_threadPool.initThreadPool("WzScsiSrv", kPoolIdleSecs, kPoolMinThreads, kPoolMaxThreads,
                                              kPoolGrowStep);
  if (pool) WZLOG(-1, "Failed to start the worker pool, error=%s", pool.AsString().c_str());

  if (CRnError e = InitPlatform()) {
    std::string text = e.AsString();
    return e.Push(FX_HERE, "Initialization of platform library failed with error: [%s]", text.c_str());
  }
  return pool.IsError() ? pool.Push(FX_HERE) : CRnError();
}

CRnError WzScsiSrv::SubmitJob(std::string&, CNSession::OnDemandServiceStatusType& status,
                              CNSession::OnDemandServiceMode) {
  WZ_TRACE_SCOPE(2);
  status = CNSession::ONDEMAND_SVC_STATUS_OK;
  return CRnError();
}

CRnError WzScsiSrv::KillAllJobs() {
  WZ_TRACE_SCOPE(1);
  StopEngineWatch();
  CRnError waited = m_threadPool.waitForAllThreads(true, true, true, 45);
  if (waited) WZLOG(-1, "Waiting for the workers failed, error=%s", waited.AsString().c_str());
  return CRnError();
}

void WzScsiSrv::CleanUp() {
  WZ_TRACE_SCOPE(1);
  if (m_ptrPlatform) {
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
