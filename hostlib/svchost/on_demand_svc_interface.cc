#include "hostlib/svchost/IOnDemandSvcInterface.h"

#include "hostlib/log/LogWriter.h"
#include "hostlib/svchost/WzNamedSemaphore.h"

IOnDemandSvcApp::~IOnDemandSvcApp() = default;

IOnDemandSvcInterface::~IOnDemandSvcInterface() = default;

CRnError IOnDemandSvcInterface::StartIdleTimer(const std::string& name) {
  try {
    WzNamedSemaphore semaphore(name, 0, nullptr, false);
    semaphore.release(1);
    semaphore.close();
  } catch (const WzException& e) {
    EvDebug("Error while releasing semaphore(%s):(%s) ", name.c_str(), e.what());
    return FXErrorUtil::ErrorInt(FX_HERE, 1, "Failed to release semaphore");
  } catch (const std::exception& e) {
    // Allocation failures and the like: the same outcome for the caller.
    EvDebug("Error while releasing semaphore(%s):(%s) ", name.c_str(), e.what());
    return FXErrorUtil::ErrorInt(FX_HERE, 1, "Failed to release semaphore");
  }
  return CRnError();
}
