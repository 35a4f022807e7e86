#include "plugins/bstor/fsblb_store.h"

#include "hostlib/log/LogWriter.h"
#include "plugins/common/plugin_guard.h"

namespace {

const char* const kFile = "WzScsiSrvBStorDrvFSBLB";

CRnError PlatformOnly(const FXCodeLocation& where, const char* operation) {
  return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                 "FSBLB LUNs are created by the platform alone; %s is not served", operation);
}

}  // namespace

uint64_t WzScsiSrvBStorFSBLB::CountFor(unsigned long messageId) const {
  WzMutexLock guard(&m_lock);
  auto it = m_byId.find(messageId);
  return it == m_byId.end() ? 0 : it->second;
}

CRnError WzScsiSrvBStorFSBLB::Cleanup() {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "Cleanup", [&]() -> CRnError {
    WzMutexLock guard(&m_lock);
    WZLOG(0, "FSBLB store received %llu XDR messages (%llu bytes) of %zu kinds",
          static_cast<unsigned long long>(m_messages.load()), static_cast<unsigned long long>(m_bytes.load()),
          m_byId.size());
    return CRnError();
  });
}

CRnError WzScsiSrvBStorFSBLB::CreateLunPrepare(WzScsiServer::BStoreDesc*, WzScsiSrvLun*) {
  return PlatformOnly(FX_HERE_IN(kFile), "CreateLunPrepare");
}

CRnError WzScsiSrvBStorFSBLB::CreateLunCommit(WzScsiServer::BStoreDesc*, WzScsiSrvLun*) {
  return PlatformOnly(FX_HERE_IN(kFile), "CreateLunCommit");
}

CRnError WzScsiSrvBStorFSBLB::CreateLunAbort(WzScsiSrvLun*) {
  return PlatformOnly(FX_HERE_IN(kFile), "CreateLunAbort");
}

CRnError WzScsiSrvBStorFSBLB::DeleteLunPrepare(void*) { return PlatformOnly(FX_HERE_IN(kFile), "DeleteLunPrepare"); }

CRnError WzScsiSrvBStorFSBLB::DeleteLunCommit(void*) { return PlatformOnly(FX_HERE_IN(kFile), "DeleteLunCommit"); }

CRnError WzScsiSrvBStorFSBLB::DeleteLunAbort(void*) { return PlatformOnly(FX_HERE_IN(kFile), "DeleteLunAbort"); }

CRnError WzScsiSrvBStorFSBLB::HandleXDRMessage(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer*,
                                               WznHandle_t handle, unsigned long messageId, wzsDatabuf_v2* buffer) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "HandleXDRMessage", [&]() -> CRnError {
    const size_t length = buffer == nullptr ? 0 : buffer->length;
    const uint64_t n = ++m_messages;
    m_bytes += length;
    {
      WzMutexLock guard(&m_lock);
      ++m_byId[messageId];
    }
    WZLOG(2, "FSBLB XDR message id [0x%lx] kind [%d] connection [%llu], %zu bytes; %llu received", messageId,
          static_cast<int>(kind), static_cast<unsigned long long>(handle), length, static_cast<unsigned long long>(n));
    return CRnError();
  });
}
