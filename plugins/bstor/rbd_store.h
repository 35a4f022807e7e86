// WzScsiSrvBStorRbd: the Ceph RBD backing store (libWzScsiSrvBStorRbd.so). A
// LUN is an RBD image named "POOL/IMAGE" by the "-path" option; the engine
// serves the image itself (tgtd's rbd backing store), this store makes,
// adopts, grows and removes images through librbd.
//
// Identity. The store connects as the gateway's Ceph user, read from the LUN
// record's extData ("conf=FILE;id=USER", the same text the engine gets), never
// from a client's arguments. One connection per identity is kept until
// Cleanup. Every Ceph call is bounded by the store's timeout: a cluster that
// does not answer fails the request instead of holding it.
//
// Creation. "-size BYTES" creates the image (a multiple of 512 bytes, the
// cluster's default features); an image that exists already is refused.
// "-existing 1" adopts an image instead, refused when it does not exist or is
// smaller than "-size" when given; a replayed creation ("-playback") adopts
// too. The LUN's size is the image's. CreateLunAbort removes an image that
// this creation made, never an adopted one.
//
// Deletion keeps the image, unless the request asks to remove it: the
// deleting thread's RemoveImage_<thread id> variable reads "1" when
// DeleteLunPrepare runs. Prepare then refuses while the image is held open by
// more than one client (the one allowed is this LUN in this gateway's own
// engine, which lets go in the platform step); commit removes the image and
// fails, keeping the LUN, while any client still holds it.
//
// Thread safety: the operations may be called from any thread; the service
// serialises the calls on one LUN.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "drivers/WzScsiBStorOps.h"
#include "hostlib/util/wz_mutex.h"
#include "plugins/bstor/backing_file.h"
#include "plugins/common/rbd_args.h"

namespace wzrbd {
class RbdCluster;  // one connected Ceph client (rbd_store.cc)
}

class WzScsiSrvBStorRbd : public WzScsiBStorOps {
 public:
  // The name of the thread variable (RemoveImage_<thread id>) that asks a
  // delete to remove the image.
  static constexpr const char* kRemoveImageFlag = "RemoveImage";
  // Bound of connecting and of each Ceph operation.
  static constexpr int kDefaultTimeoutSeconds = 20;

  explicit WzScsiSrvBStorRbd(int timeoutSeconds = kDefaultTimeoutSeconds);
  ~WzScsiSrvBStorRbd() override;
  WzScsiSrvBStorRbd(const WzScsiSrvBStorRbd&) = delete;
  WzScsiSrvBStorRbd& operator=(const WzScsiSrvBStorRbd&) = delete;

  CRnError Cleanup() override;
  CRnError CreateLunPrepare(WzScsiServer::BStoreDesc* desc, WzScsiSrvLun* lun) override;
  CRnError CreateLunCommit(WzScsiServer::BStoreDesc* desc, WzScsiSrvLun* lun) override;
  CRnError CreateLunAbort(WzScsiSrvLun* lun) override;
  CRnError DeleteLunPrepare(void* bstoreCtx) override;
  CRnError DeleteLunCommit(void* bstoreCtx) override;
  CRnError DeleteLunAbort(void* bstoreCtx) override;
  CRnError HandleXDRMessage(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server, WznHandle_t handle,
                            unsigned long messageId, wzsDatabuf_v2* buffer) override;

  // Grows the LUN's image to newBytes (a multiple of 512). Asking for the size
  // it has is a success that changes nothing; a smaller size is refused, as
  // shrinking would cut off data. The engine does not see the new size by
  // itself: the caller makes it look again.
  CRnError ResizeLun(void* bstoreCtx, uint64_t newBytes) override;
  // The LUN's size as the store last saw it (0 for a context not held here).
  uint64_t LunSize(const void* bstoreCtx) const;

  // For tests: how many LUN contexts and connections the store holds.
  size_t ContextCountForTest() const { return m_contexts.Size(); }
  size_t ConnectionCountForTest() const;

 private:
  struct LunContext {
    wzrbd::RbdImageRef ref;
    wzrbd::RbdIdentity identity;
    uint64_t size = 0;
    bool created = false;  // this store made the image (an abort removes it)
    bool committed = false;
    bool removeOnDelete = false;  // the pending delete removes the image
  };

  // The connection for identity, made on first use.
  CRnError Connection(const wzrbd::RbdIdentity& identity, std::shared_ptr<wzrbd::RbdCluster>& out);

  const int m_timeoutSeconds;
  wzbstor::BStorContextRegistry<LunContext> m_contexts;
  mutable WzMutex m_lock;
  std::map<std::pair<std::string, std::string>, std::shared_ptr<wzrbd::RbdCluster>> m_clusters WZ_GUARDED_BY(m_lock);
};
