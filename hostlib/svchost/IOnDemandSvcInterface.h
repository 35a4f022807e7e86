// The on-demand service host's interfaces: the one a service plug-in
// implements (IOnDemandSvcInterface) and the host application object it is
// given (IOnDemandSvcApp).
#pragma once

#include <memory>
#include <string>

#include "hostlib/errors/CRnError.h"
#include "hostlib/net/WzNetwork.h"
#include "hostlib/svchost/WzNamedSemaphore.h"
#include "hostlib/util/wz_mutex.h"

class CNMessageBase;

namespace CNSession {
// Status a service reports for a submitted job.
enum OnDemandServiceStatusType : int {
  ONDEMAND_SVC_STATUS_OK = 0,
  ONDEMAND_SVC_STATUS_BUSY = 1,
  ONDEMAND_SVC_STATUS_FAILED = 2,
};
// How the host runs a service.
enum OnDemandServiceMode : int {
  ONDEMAND_SVC_MODE_ON_DEMAND = 0,
  ONDEMAND_SVC_MODE_PERSISTENT = 1,
};
}  // namespace CNSession

// The host application object. NotifyActivity is called by the service for
// each message it dispatches (from the network thread); the host uses it to
// restart its inactivity clock. It may be null.
class WZ_EXPORT IOnDemandSvcApp {
 public:
  virtual ~IOnDemandSvcApp();
  void (*NotifyActivity)() = nullptr;
};

class WZ_EXPORT IOnDemandSvcInterface {
 public:
  virtual CRnError Initialize(int argc, char** argv, std::string& semName, int& inactivityTimeoutSecs,
                              IOnDemandSvcApp* app) = 0;
  virtual CRnError SubmitJob(std::string& job, CNSession::OnDemandServiceStatusType& status,
                             CNSession::OnDemandServiceMode mode) = 0;
  virtual CRnError IncomingMsgXMLCallback(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server,
                                          WznHandle_t handle, CNMessageBase* message) = 0;
  virtual CRnError IncomingMsgXDRCallback(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server,
                                          WznHandle_t handle, unsigned long messageId, wzsDatabuf_v2* buffer) = 0;
  virtual CRnError KillAllJobs() = 0;
  virtual void CleanUp() = 0;
  virtual ~IOnDemandSvcInterface();

  // Releases the named semaphore the host waits on once. Fails (integer
  // code 1, "Failed to release semaphore") when it cannot, after writing
  // "Error while releasing semaphore(%s):(%s) " through EvDebug.
  // The semaphore stays open between calls (a service with no target
  // releases it after every message); a failure closes it.
  CRnError StartIdleTimer(const std::string& name);

 private:
  WzMutex m_idleLock;
  std::string m_idleName WZ_GUARDED_BY(m_idleLock);
  std::unique_ptr<WzNamedSemaphore> m_idleSemaphore WZ_GUARDED_BY(m_idleLock);
};

// Entry symbol of a service plug-in.
extern "C" typedef IOnDemandSvcInterface* (*GetOnDemandSvcLibInstance_t)();
