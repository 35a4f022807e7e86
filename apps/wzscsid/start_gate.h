// CWzStartGate: what the network server hands messages to. It forwards them
// to the service, except that while it is closed it holds back the
// XML messages other than start requests, and hands them over in their order
// of arrival when it opens.
//
// Why: the daemon sends the service its own start request as soon as it
// serves, and a client that was already waiting (socket activation queues
// the connection that woke the daemon) would otherwise be refused as "not
// initialized" for arriving a moment earlier.
//
// XDR messages are never held: their buffer lives only during the call.
//
// Thread safety: the callbacks run on the network thread; Open and DropHeld
// may run on any thread at the same time.
#pragma once

#include <vector>

#include "hostlib/svchost/IOnDemandSvcInterface.h"
#include "hostlib/util/wz_mutex.h"

class CWzStartGate : public IWzNetworkReceiver {
 public:
  // closed: start holding. service is not owned and must outlive the gate's
  // use by the server.
  CWzStartGate(IOnDemandSvcInterface* service, bool closed);
  ~CWzStartGate() override;
  CWzStartGate(const CWzStartGate&) = delete;
  CWzStartGate& operator=(const CWzStartGate&) = delete;

  // Forwards what was held, in order, then lets everything through.
  void Open();
  // Frees what is held without forwarding it (the daemon stops before the
  // gate opened).
  void DropHeld();
  bool IsOpen() const;
  size_t HeldCount() const;

  CRnError IncomingMsgXMLCallback(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server, WznHandle_t handle,
                                  CNMessageBase* message) override;
  CRnError IncomingMsgXDRCallback(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server, WznHandle_t handle,
                                  unsigned long messageId, wzsDatabuf_v2* buffer) override;

 private:
  struct Held {
    CWzNetworkServer::WznCallback_e kind;
    CWzNetworkServer* server;
    WznHandle_t handle;
    CNMessageBase* message;  // owned until forwarded or dropped
  };
  // Under m_lock, so that what is held goes out before anything newer.
  CRnError Forward(const Held& h) WZ_REQUIRES(m_lock);

  IOnDemandSvcInterface* m_service;
  mutable WzMutex m_lock;
  bool m_open WZ_GUARDED_BY(m_lock);
  std::vector<Held> m_held WZ_GUARDED_BY(m_lock);
};
