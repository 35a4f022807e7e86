// XDR messages: the service does not read them; it hands each one to the
// backing store that serves its message group. Only group 75 is routed, to
// the FSBLB store.
//
// A message id carries its group in one of two forms:
//   short    (bit 17 clear): group in bits 24..31
//   extended (bit 17 set):   group in bits 18..33
// The subsystem id is the group in its canonical form: groups up to 127 in
// the short form (group << 24), larger ones in the extended form
// ((group << 18) | 0x20000).

#include "hostlib/errors/no_throw.h"
#include "hostlib/log/LogWriter.h"
#include "service/WzScsiSrv.h"

namespace {
constexpr uint64_t kExtendedMarker = 0x20000;
constexpr uint64_t kFsblbSubsystemId = 0x4B000000;  // group 75
}  // namespace

WzScsiServer::BStorType WzScsiSrv::GetXDRMsgHandlingBStorType(unsigned long messageId) {
  const uint64_t id = messageId;
  const bool extended = (id & kExtendedMarker) != 0;
  // Unmasked on purpose: any bit above the group's field also makes it a
  // "large" group, which never matches group 75.
  const uint64_t group = extended ? id >> 18 : id >> 24;
  uint64_t subsystem;
  if (group > 127)
    subsystem =
        extended ? ((id & 0x3FFFC0000ull) | kExtendedMarker) : ((((id >> 24) << 18) & 0x3FC0000ull) | kExtendedMarker);
  else
    subsystem = extended ? (((id >> 18) << 24) & 0xFFFF000000ull) : (id & 0xFF000000ull);
  if (subsystem == kFsblbSubsystemId) return WzScsiServer::BSTOR_FSBLB;
  WZLOG(-1, "No BStor registered that can handle subsystem id [%ld] messages.", static_cast<long>(subsystem));
  return WzScsiServer::BSTOR_NONE;
}

WzScsiBStorOps* WzScsiSrv::GetUserDefBStoreOps(unsigned long messageId, unsigned long) {
  return GetUserDefBStoreOps(GetXDRMsgHandlingBStorType(messageId));
}

CRnError WzScsiSrv::IncomingMsgXDRCallback(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server,
                                           WznHandle_t handle, unsigned long messageId, wzsDatabuf_v2* buffer) {
  WZ_TRACE_SCOPE(6);
  // Held for the whole call: XDR messages never overlap one another, nor
  // Initialize, nor the start request's state changes.
  WzMutexLock g(&m_mutex);
  if (kind != CWzNetworkServer::WZN_CB_RECEIVED) return CRnError();
  // The network thread must survive whatever the store does.
  CRnError routed = WzNoThrow(FX_HERE, "XDR message", [&]() -> CRnError {
    if (m_pSvcApp != nullptr && m_pSvcApp->NotifyActivity != nullptr) m_pSvcApp->NotifyActivity();
    WzScsiBStorOps* ops = GetUserDefBStoreOps(messageId, 0);
    if (ops == nullptr) {
      WZLOG(-1, "Failed to load FSBLB Bstore Library");
      return CRnError();
    }
    CRnError handled = ops->HandleXDRMessage(kind, server, handle, messageId, buffer);
    (void)handled;  // the store answers its requester itself
    CRnError done = UpdateJobCompletedStatus();
    (void)done;
    return CRnError();
  });
  if (routed) WZLOG(-1, "XDR message 0x%lx failed: %s", messageId, routed.AsString().c_str());
  return CRnError();
}
