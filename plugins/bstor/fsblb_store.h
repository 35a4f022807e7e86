// WzScsiSrvBStorFSBLB: the FSBLB backing store (libWzScsiSrvBStorDrvFSBLB.so).
// Its LUNs are created by the platform driver alone, so the LUN operations
// refuse; its one job is to take the XDR messages of group 75 that the
// service routes to it: each is logged at level 2 and counted.
//
// Thread safety: HandleXDRMessage and the counters may be used from any
// thread at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>

#include "drivers/WzScsiBStorOps.h"
#include "hostlib/util/wz_mutex.h"

class WzScsiSrvBStorFSBLB : public WzScsiBStorOps {
 public:
  WzScsiSrvBStorFSBLB() = default;
  ~WzScsiSrvBStorFSBLB() override = default;
  WzScsiSrvBStorFSBLB(const WzScsiSrvBStorFSBLB&) = delete;
  WzScsiSrvBStorFSBLB& operator=(const WzScsiSrvBStorFSBLB&) = delete;

  CRnError Cleanup() override;
  CRnError CreateLunPrepare(WzScsiServer::BStoreDesc* desc, WzScsiSrvLun* lun) override;
  CRnError CreateLunCommit(WzScsiServer::BStoreDesc* desc, WzScsiSrvLun* lun) override;
  CRnError CreateLunAbort(WzScsiSrvLun* lun) override;
  CRnError DeleteLunPrepare(void* bstoreCtx) override;
  CRnError DeleteLunCommit(void* bstoreCtx) override;
  CRnError DeleteLunAbort(void* bstoreCtx) override;
  CRnError HandleXDRMessage(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server, WznHandle_t handle,
                            unsigned long messageId, wzsDatabuf_v2* buffer) override;

  uint64_t MessageCount() const { return m_messages.load(); }
  uint64_t ByteCount() const { return m_bytes.load(); }
  uint64_t CountFor(unsigned long messageId) const;

 private:
  std::atomic<uint64_t> m_messages{0};
  std::atomic<uint64_t> m_bytes{0};
  mutable WzMutex m_lock;
  std::map<unsigned long, uint64_t> m_byId WZ_GUARDED_BY(m_lock);
};
