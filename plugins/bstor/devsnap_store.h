// WzScsiSrvBStorDevSnap: the snapshot-device backing store
// (libWzScsiSrvBStorDevSnap.so). A LUN sits on a snapshot: a file named by
// "-ssid" in the snapshot directory (configuration section
// "WzScsiSrvBStorDevSnap", key "SnapshotDir"), or any file or block device
// named by "-path" (which wins when both are given).
//
// Open and close. A close-only delete (the calling thread's
// CloseOnly_<thread id> reads "1") takes the LUN out of the engine (the
// platform's DeleteLun does that) while the store keeps the LUN's context;
// an open-only create (OpenOnly_<thread id>) on the same LUN record checks
// the snapshot again and brings the LUN back. A plain delete frees the
// context. The store never deletes a snapshot.
//
// Replay. "-playback" marks a creation replayed from the saved
// configuration; with "-usesnapinfocache" the store reuses what it learnt
// about the snapshot earlier in this process instead of examining it again.
//
// Thread safety: the operations may be called from any thread; the service
// serialises the calls on one LUN.
#pragma once

#include <map>
#include <string>

#include "drivers/WzScsiBStorOps.h"
#include "hostlib/util/wz_mutex.h"
#include "plugins/bstor/backing_file.h"

class WzScsiSrvBStorDevSnap : public WzScsiBStorOps {
 public:
  static constexpr const char* kSection = "WzScsiSrvBStorDevSnap";
  static constexpr const char* kKeySnapshotDir = "SnapshotDir";

  // A LUN's life in the store.
  enum class State {
    kCreating,  // prepared, not yet committed
    kOpen,
    kOpening,   // open-only prepare done
    kClosing,   // close-only delete prepared
    kClosed,    // out of the engine, context kept
    kDeleting,  // plain delete prepared
  };

  WzScsiSrvBStorDevSnap() = default;
  ~WzScsiSrvBStorDevSnap() override = default;
  WzScsiSrvBStorDevSnap(const WzScsiSrvBStorDevSnap&) = delete;
  WzScsiSrvBStorDevSnap& operator=(const WzScsiSrvBStorDevSnap&) = delete;

  CRnError Cleanup() override;
  CRnError CreateLunPrepare(WzScsiServer::BStoreDesc* desc, WzScsiSrvLun* lun) override;
  CRnError CreateLunCommit(WzScsiServer::BStoreDesc* desc, WzScsiSrvLun* lun) override;
  CRnError CreateLunAbort(WzScsiSrvLun* lun) override;
  CRnError DeleteLunPrepare(void* bstoreCtx) override;
  CRnError DeleteLunCommit(void* bstoreCtx) override;
  CRnError DeleteLunAbort(void* bstoreCtx) override;
  CRnError HandleXDRMessage(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server, WznHandle_t handle,
                            unsigned long messageId, wzsDatabuf_v2* buffer) override;

  // For tests.
  size_t ContextCountForTest() const { return m_contexts.Size(); }
  bool StateForTest(const void* ctx, State& state) const;

 private:
  struct LunContext {
    wzbstor::BackingFileInfo file;
    std::string ssid;  // empty when named by -path
    State state = State::kCreating;
    State beforeDelete = State::kOpen;  // what a failed delete returns to
  };

  CRnError ResolveSnapshot(const std::string& args, std::string& path, std::string& ssid, bool& useCache,
                           bool& playback) const;
  CRnError Inspect(const std::string& path, bool useCache, wzbstor::BackingFileInfo& info);
  CRnError PrepareCreate(WzScsiServer::BStoreDesc& desc, WzScsiSrvLun& lun);
  CRnError PrepareOpen(WzScsiSrvLun& lun);

  wzbstor::BStorContextRegistry<LunContext> m_contexts;
  WzMutex m_cacheLock;
  std::map<std::string, wzbstor::BackingFileInfo> m_snapInfoCache WZ_GUARDED_BY(m_cacheLock);  // by path
};
