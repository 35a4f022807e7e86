#include "apps/wzscsid/service_host.h"

#include <unistd.h>

#include <atomic>

#include "hostlib/log/LogWriter.h"

namespace {

#define WZD_HERE FX_HERE_IN("wzscsid")

// KillAllJobs fails with ERROR_BUSY when a worker is still inside a driver
// after the stop's time limit; the daemon then exits with this status.
constexpr long kErrorBusy = 170;
constexpr int kExitDriverStuck = 3;

// NotifyActivity is a plain function pointer, so the clock it feeds is found
// through here.
std::atomic<CWzIdleClock*> g_activityClock{nullptr};

}  // namespace

CWzServiceHost::CWzServiceHost(CWzIdleClock& clock) : m_clock(clock) {
  g_activityClock.store(&clock);
  m_app.NotifyActivity = &CWzServiceHost::OnActivity;
}

CWzServiceHost::~CWzServiceHost() {
  Shutdown();
  g_activityClock.store(nullptr);
}

void CWzServiceHost::OnActivity() {
  if (CWzIdleClock* clock = g_activityClock.load()) clock->Activity(CWzIdleClock::NowMs());
}

CRnError CWzServiceHost::Load(const std::string& libraryPath) {
  if (CRnError e = m_library.Load(libraryPath, false))
    return e.Push(WZD_HERE, "cannot load the service library %s", libraryPath.c_str());
  void* entry = nullptr;
  if (CRnError e = m_library.GetAddress("GetOnDemandSvcLibInstance", &entry))
    return e.Push(WZD_HERE, "%s is not a service library", libraryPath.c_str());
  try {
    m_service = reinterpret_cast<GetOnDemandSvcLibInstance_t>(entry)();
  } catch (const std::exception& e) {
    return FXErrorUtil::ErrorWin32(WZD_HERE, ERROR_INVALID_PARAMETER, "the service object cannot be created: %s",
                                   e.what());
  }
  if (m_service == nullptr)
    return FXErrorUtil::ErrorWin32(WZD_HERE, ERROR_INVALID_PARAMETER, "%s gave no service object", libraryPath.c_str());
  WZLOG(0, "Loaded the service library %s", m_library.GetPath().c_str());
  return CRnError();
}

CRnError CWzServiceHost::Initialize(int argc, char** argv) {
  m_semName = "/wzscsid-" + std::to_string(getpid());
  try {
    bool created = false;
    // A name left by a killed daemon whose pid we now have is stale.
    try {
      m_idleSem = std::make_unique<WzNamedSemaphore>(m_semName, 0, &created, true);
    } catch (const WzException&) {
      WzNamedSemaphore::unlink(m_semName);
      m_idleSem = std::make_unique<WzNamedSemaphore>(m_semName, 0, &created, true);
    }
  } catch (const WzException& e) {
    return FXErrorUtil::ErrorWin32(WZD_HERE, ERROR_INVALID_PARAMETER, "cannot create the idle semaphore %s: %s",
                                   m_semName.c_str(), e.what());
  }
  int timeoutSecs = 0;
  m_initializeCalled = true;
  CRnError e;
  try {
    e = m_service->Initialize(argc, argv, m_semName, timeoutSecs, &m_app);
  } catch (const std::exception& ex) {
    e = FXErrorUtil::ErrorWin32(WZD_HERE, ERROR_INVALID_PARAMETER, "Initialize threw: %s", ex.what());
  }
  if (e) return e.Push(WZD_HERE, "the service failed to initialise");
  m_timeoutSecs = timeoutSecs;
  m_clock.SetTimeoutMs(static_cast<int64_t>(timeoutSecs) * 1000);
  WZLOG(0, "Service initialised; idle semaphore %s, inactivity time-out %d s", m_semName.c_str(), timeoutSecs);
  return CRnError();
}

CRnError CWzServiceHost::Serve(const WznServerConfig& config, bool holdUntilStarted) {
  m_gate = std::make_unique<CWzStartGate>(m_service, holdUntilStarted);
  if (CRnError e = m_server.Start(config, m_gate.get())) return e.Push(WZD_HERE, "cannot serve");
  return CRnError();
}

void CWzServiceHost::SetSelfEndpoint(const std::string& endpoint, const std::string& token, const WznClientTls& tls) {
  m_selfTls = tls;
  m_selfEndpoint = endpoint;
  m_selfToken = token;
}

WzCtl::CallResult CWzServiceHost::StartService(int timeoutMs) {
  WzCtl::CallResult result = WzCtl::CallOnce(m_selfEndpoint, m_selfToken, *WzCtl::MakeStart(0), timeoutMs, m_selfTls);
  if (result.reply) {
    WzCtl::ReplyView v = WzCtl::ViewReply(*result.reply);
    if (v.errorCode == 0)
      WZLOG(0, "Start request answered: %lld %s", static_cast<long long>(v.errorCode), v.errorMessage.c_str());
    else
      WZLOG(-1, "Start request answered: %lld %s", static_cast<long long>(v.errorCode), v.errorMessage.c_str());
  } else {
    WZLOG(-1, "Start request failed: %s", result.errorText.c_str());
  }
  if (m_gate) m_gate->Open();
  return result;
}

size_t CWzServiceHost::DrainIdleReleases() {
  size_t count = 0;
  if (!m_idleSem) return 0;
  try {
    while (m_idleSem->wait(0)) ++count;
  } catch (const WzException& e) {
    WZLOG(-1, "Reading the idle semaphore failed: %s", e.what());
  }
  if (count > 0) m_clock.Released(CWzIdleClock::NowMs());
  return count;
}

bool CWzServiceHost::ConfirmIdle(int timeoutMs) {
  WzCtl::CallResult r = WzCtl::CallOnce(m_selfEndpoint, m_selfToken, *WzCtl::MakeListTargets(0), timeoutMs, m_selfTls);
  if (!r.reply) {
    WZLOG(-1, "Idle check failed: %s", r.errorText.c_str());
    return false;
  }
  WzCtl::ReplyView v = WzCtl::ViewReply(*r.reply);
  // Code 1 means not started: a service that never started holds nothing.
  if (v.errorCode == 1) return true;
  return v.errorCode == 0 && v.results.empty();
}

void CWzServiceHost::StopServing() { m_server.Stop(); }

void CWzServiceHost::Shutdown() {
  if (m_shutDown) return;
  m_shutDown = true;
  m_server.Stop();
  if (m_gate) m_gate->DropHeld();
  if (m_service != nullptr && m_initializeCalled) {
    try {
      if (CRnError e = m_service->KillAllJobs()) {
        WZLOG(-1, "KillAllJobs failed: %s", e.AsString().c_str());
        if (e.GetCode() == HRESULT_FROM_WIN32(kErrorBusy)) {
          // A worker is inside a driver: unloading anything would pull code
          // from under it. Leave at once, unloading nothing.
          WZLOG(-1, "Exiting without unloading the service (status %d)", kExitDriverStuck);
          // The name only: the semaphore itself stays mapped for whoever
          // still holds it, and a leftover name would outlive the process.
          try {
            WzNamedSemaphore::unlink(m_semName);
          } catch (const WzException&) {
          }
          g_ptrLogWriter.reset();
          ::_exit(kExitDriverStuck);
        }
      }
      m_service->CleanUp();
    } catch (const std::exception& e) {
      WZLOG(-1, "Stopping the service threw: %s", e.what());
    }
  }
  m_service = nullptr;
  // The service object and its drivers go with the library's static objects.
  if (CRnError e = m_library.Free()) WZLOG(-1, "Unloading the service library failed: %s", e.AsString().c_str());
  if (m_idleSem) {
    try {
      m_idleSem.reset();
      WzNamedSemaphore::unlink(m_semName);
    } catch (const WzException& e) {
      WZLOG(-1, "Removing the idle semaphore %s failed: %s", m_semName.c_str(), e.what());
    }
  }
  WZLOG(0, "Service stopped");
}
