#include "apps/wzscsid/start_gate.h"

#include "hostlib/log/LogWriter.h"
#include "hostlib/msg/CNMessageBase.h"
#include "messages/WzScsiServerMessages.h"

CWzStartGate::CWzStartGate(IOnDemandSvcInterface* service, bool closed) : m_service(service), m_open(!closed) {}

CWzStartGate::~CWzStartGate() { DropHeld(); }

void CWzStartGate::Open() {
  WzMutexLock g(&m_lock);
  if (m_open) return;
  if (!m_held.empty()) WZLOG(1, "Handing %zu waiting messages to the service", m_held.size());
  for (const Held& h : m_held) {
    if (CRnError e = Forward(h))
      WZLOG(1, "Connection %llu: the service did not take a waiting message: %s",
            static_cast<unsigned long long>(h.handle), e.AsString().c_str());
  }
  m_held.clear();
  m_open = true;
}

void CWzStartGate::DropHeld() {
  WzMutexLock g(&m_lock);
  for (Held& h : m_held) h.server->CleanXmlBuffer(h.message);
  m_held.clear();
}

bool CWzStartGate::IsOpen() const {
  WzMutexLock g(&m_lock);
  return m_open;
}

size_t CWzStartGate::HeldCount() const {
  WzMutexLock g(&m_lock);
  return m_held.size();
}

CRnError CWzStartGate::Forward(const Held& h) {
  // The service must not throw, but a throw must not unwind the network
  // thread through the gate either.
  try {
    return m_service->IncomingMsgXMLCallback(h.kind, h.server, h.handle, h.message);
  } catch (const std::exception& e) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("wzscsid"), ERROR_INVALID_PARAMETER, "the service threw: %s", e.what());
  } catch (...) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("wzscsid"), ERROR_INVALID_PARAMETER, "the service threw");
  }
}

CRnError CWzStartGate::IncomingMsgXMLCallback(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server,
                                              WznHandle_t handle, CNMessageBase* message) {
  Held h{kind, server, handle, message};
  WzMutexLock g(&m_lock);
  if (m_open || message == nullptr || server == nullptr || message->getTagID() == WzScsiServer::kStartScsiService.tagId)
    return Forward(h);
  m_held.push_back(h);
  return CRnError();
}

CRnError CWzStartGate::IncomingMsgXDRCallback(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server,
                                              WznHandle_t handle, unsigned long messageId, wzsDatabuf_v2* buffer) {
  return m_service->IncomingMsgXDRCallback(kind, server, handle, messageId, buffer);
}
