// The backing-store contract: the operations object a backing-store library
// (entry "GetBstorOps") supplies. The object belongs to its library; the
// service never deletes it, and calls Cleanup last, right before unloading.
//
// Creation is a two-phase transaction around the platform's CreateLun:
// CreateLunPrepare fills the LUN descriptor (bstoreCtx, path, size) and may
// read the description's arguments; the platform creates the LUN; then
// CreateLunCommit, or CreateLunAbort when the platform failed. Deletion is
// the same shape around the platform's DeleteLun, given only the context
// that prepare put into the LUN. A failed prepare leaves nothing to undo.
//
// Threads: called from the service's worker threads one call at a time (the
// model lock), except HandleXDRMessage, which runs on the network thread
// under the service lock and may overlap the others.
#pragma once

#include "drivers/WzScsiSrvRecords.h"
#include "hostlib/errors/CRnError.h"
#include "hostlib/net/WzNetwork.h"

class WZ_EXPORT WzScsiBStorOps {
 public:
  // 1: not called by the service.
  virtual CRnError Init() { return CRnError(); }
  // 2
  virtual CRnError Cleanup() = 0;
  // 3, 4, 5
  virtual CRnError CreateLunPrepare(WzScsiServer::BStoreDesc* desc, WzScsiSrvLun* lun) = 0;
  virtual CRnError CreateLunCommit(WzScsiServer::BStoreDesc* desc, WzScsiSrvLun* lun) = 0;
  virtual CRnError CreateLunAbort(WzScsiSrvLun* lun) = 0;
  // 6, 7, 8
  virtual CRnError DeleteLunPrepare(void* bstoreCtx) = 0;
  virtual CRnError DeleteLunCommit(void* bstoreCtx) = 0;
  virtual CRnError DeleteLunAbort(void* bstoreCtx) = 0;
  // 9 to 11: not called by the service.
  virtual CRnError Reserved9() { return CRnError(); }
  virtual CRnError Reserved10() { return CRnError(); }
  virtual CRnError Reserved11() { return CRnError(); }
  // 12: an XDR message routed to this store; the result is ignored.
  virtual CRnError HandleXDRMessage(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server, WznHandle_t handle,
                                    unsigned long messageId, wzsDatabuf_v2* buffer) = 0;
  // 13, optional: grows the backing of the LUN whose context this is to
  // newBytes (a multiple of 512; never smaller than it is). The engine does
  // not see it by itself: the service makes it look again. The default
  // refuses: the store's LUNs keep their size.
  virtual CRnError ResizeLun(void* bstoreCtx, uint64_t newBytes) {
    (void)bstoreCtx;
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                   "this backing store cannot grow a LUN to %llu bytes",
                                   static_cast<unsigned long long>(newBytes));
  }
  virtual ~WzScsiBStorOps() = default;
};

extern "C" typedef WzScsiBStorOps* (*GetBstorOps_t)();
#define WZSCSI_BSTOR_ENTRY "GetBstorOps"
