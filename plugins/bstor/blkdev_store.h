// WzScsiSrvBStorBlkDev: the block-device backing store
// (libWzScsiSrvBStorBlkDev.so). A LUN sits on a regular file or a block
// device named by the "-path" option of its arguments. Prepare checks the
// path (it exists, is no directory, opens for reading and writing) and fills
// in the LUN's path and size; the context it puts into the LUN records what
// was checked and is freed when the LUN is deleted or its creation aborted.
// The store never deletes or truncates user data.
//
// Thread safety: the operations may be called from any thread.
#pragma once

#include "drivers/WzScsiBStorOps.h"
#include "plugins/bstor/backing_file.h"

class WzScsiSrvBStorBlkDev : public WzScsiBStorOps {
 public:
  WzScsiSrvBStorBlkDev() = default;
  ~WzScsiSrvBStorBlkDev() override = default;
  WzScsiSrvBStorBlkDev(const WzScsiSrvBStorBlkDev&) = delete;
  WzScsiSrvBStorBlkDev& operator=(const WzScsiSrvBStorBlkDev&) = delete;

  CRnError Cleanup() override;
  CRnError CreateLunPrepare(WzScsiServer::BStoreDesc* desc, WzScsiSrvLun* lun) override;
  CRnError CreateLunCommit(WzScsiServer::BStoreDesc* desc, WzScsiSrvLun* lun) override;
  CRnError CreateLunAbort(WzScsiSrvLun* lun) override;
  CRnError DeleteLunPrepare(void* bstoreCtx) override;
  CRnError DeleteLunCommit(void* bstoreCtx) override;
  CRnError DeleteLunAbort(void* bstoreCtx) override;
  CRnError HandleXDRMessage(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server, WznHandle_t handle,
                            unsigned long messageId, wzsDatabuf_v2* buffer) override;

  // For tests: how many LUN contexts the store holds.
  size_t ContextCountForTest() const { return m_contexts.Size(); }

 private:
  struct LunContext {
    wzbstor::BackingFileInfo file;
    bool committed = false;
  };

  wzbstor::BStorContextRegistry<LunContext> m_contexts;
};
