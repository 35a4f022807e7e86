#include "hostlib/svchost/IOnDemandSvcInterface.h"

#include "hostlib/log/LogWriter.h"
#include "hostlib/svchost/WzNamedSemaphore.h"

IOnDemandSvcApp::~IOnDemandSvcApp() = default;

IOnDemandSvcInterface::~IOnDemandSvcInterface() = default;

CRnError IOnDemandSvcInterface::StartIdleTimer(const std::string& name) {
  WzMutexLock g(&m_idleLock);
  try {
    if (!m_idleSemaphore || m_idleName != name) {
      m_idleSemaphore.reset();
      m_idleSemaphore = std::make_unique<WzNamedSemaphore>(name, 0, nullptr, false);
      m_idleName = name;
    }
    m_idleSemaphore->release(1);
  } catch (const WzException& e) {
    m_idleSemaphore.reset();
    EvDebug("Error while releasing semaphore(%s):(%s) ", name.c_str(), e.what());
    return FXErrorUtil::ErrorInt(FX_HERE, 1, "Failed to release semaphore");
  } catch (const std::exception& e) {
    // Allocation failures and the like: the same outcome for the caller.
    m_idleSemaphore.reset();
    EvDebug("Error while releasing semaphore(%s):(%s) ", name.c_str(), e.what());
    return FXErrorUtil::ErrorInt(FX_HERE, 1, "Failed to release semaphore");
  }
  return CRnError();
}
