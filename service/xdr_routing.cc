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

#include <chrono>
#include <cstdint>
#include <string>

#include "hostlib/errors/no_throw.h"
#include "hostlib/log/LogWriter.h"
#include "service/WzScsiSrv.h"

namespace {
constexpr uint64_t kExtendedMarker = 0x20000;
constexpr uint64_t kFsblbSubsystemId = 0x4B000000;  // group 75
// Dropped XDR messages are logged once per group and this interval.
constexpr int kXdrDropLogSecs = 60;
// Groups counted apart; beyond them, together under one key.
constexpr size_t kMaxXdrDropGroups = 64;
constexpr uint64_t kOtherGroups = UINT64_MAX;
}  // namespace

WzScsiServer::BStorType WzScsiSrv::GetXDRMsgHandlingBStorType(unsigned long messageId) {
  return XdrSubsystemId(messageId) == kFsblbSubsystemId ? WzScsiServer::BSTOR_FSBLB : WzScsiServer::BSTOR_NONE;
}

uint64_t WzScsiSrv::XdrSubsystemId(unsigned long messageId) {
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
  return subsystem;
}

void WzScsiSrv::NoteUnservedXdr(uint64_t subsystem, const char* reason) {
  const auto now = std::chrono::steady_clock::now();
  const auto interval = std::chrono::seconds(kXdrDropLogSecs);
  if (m_xdrDrops.size() >= kMaxXdrDropGroups && m_xdrDrops.count(subsystem) == 0) {
    for (auto it = m_xdrDrops.begin(); it != m_xdrDrops.end();)
      it = (now - it->second.start >= interval && it->second.dropped == 0) ? m_xdrDrops.erase(it) : std::next(it);
    if (m_xdrDrops.size() >= kMaxXdrDropGroups) subsystem = kOtherGroups;
  }
  const std::string group =
      subsystem == kOtherGroups ? std::string("other groups") : "subsystem id [" + std::to_string(subsystem) + "]";
  auto found = m_xdrDrops.find(subsystem);
  if (found != m_xdrDrops.end()) {
    XdrDropWindow& w = found->second;
    if (now - w.start < interval) {
      ++w.dropped;
      return;
    }
    if (w.dropped > 0) {
      WZLOG(-1, "%zu more XDR messages of %s dropped in the last %d s", w.dropped, group.c_str(), kXdrDropLogSecs);
    }
  }
  m_xdrDrops[subsystem] = XdrDropWindow{now, 0};
  WZLOG(-1, "XDR message of %s dropped: %s (logged once per group and %d s, with a count)", group.c_str(), reason,
        kXdrDropLogSecs);
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
  const char* unserved = nullptr;
  CRnError routed = WzNoThrow(FX_HERE, "XDR message", [&]() -> CRnError {
    if (m_pSvcApp != nullptr && m_pSvcApp->NotifyActivity != nullptr) m_pSvcApp->NotifyActivity();
    const WzScsiServer::BStorType type = GetXDRMsgHandlingBStorType(messageId);
    if (type == WzScsiServer::BSTOR_NONE) {
      unserved = "no backing store serves that group";
      return CRnError();
    }
    WzScsiBStorOps* ops = GetUserDefBStoreOps(type);
    if (ops == nullptr) {
      unserved = "the FSBLB backing-store library cannot be loaded";
      return CRnError();
    }
    CRnError handled = ops->HandleXDRMessage(kind, server, handle, messageId, buffer);
    (void)handled;  // the store answers its requester itself
    CRnError done = UpdateJobCompletedStatus();
    (void)done;
    return CRnError();
  });
  if (unserved != nullptr) NoteUnservedXdr(XdrSubsystemId(messageId), unserved);
  if (routed) WZLOG(-1, "XDR message 0x%lx failed: %s", messageId, routed.AsString().c_str());
  return CRnError();
}
