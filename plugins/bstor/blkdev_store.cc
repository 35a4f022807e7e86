#include "plugins/bstor/blkdev_store.h"

#include <memory>
#include <string>

#include "hostlib/log/LogWriter.h"
#include "hostlib/util/CCommandLineArguments.h"
#include "plugins/common/plugin_guard.h"

namespace {

const char* const kFile = "WzScsiSrvBStorBlkDev";

CRnError UnknownContext(const FXCodeLocation& where, const void* ctx) {
  return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                 "block-device context %p is not one of this store's", ctx);
}

}  // namespace

CRnError WzScsiSrvBStorBlkDev::Cleanup() {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "Cleanup", [&]() -> CRnError {
    size_t n = m_contexts.Clear();
    WZLOG(1, "block-device store released %zu LUN contexts", n);
    return CRnError();
  });
}

CRnError WzScsiSrvBStorBlkDev::CreateLunPrepare(WzScsiServer::BStoreDesc* desc, WzScsiSrvLun* lun) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CreateLunPrepare", [&]() -> CRnError {
    if (desc == nullptr || lun == nullptr) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER,
                                     "no backing-store description or LUN record given");
    }
    const std::string args = desc->args();
    CCommandLineArguments parsed(args.c_str());
    std::string path;
    if (parsed.GetOption("path", path).IsError() || path.empty()) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_BAD_ARGUMENTS,
                                     "a block-device LUN needs a -path option naming a file or block device");
    }
    auto ctx = std::make_unique<LunContext>();
    if (CRnError err = wzbstor::InspectBackingFile(kFile, path, ctx->file)) {
      return err.Push(FX_HERE_IN(kFile), "block-device LUN refused");
    }
    lun->path = ctx->file.path;
    lun->size = ctx->file.size;
    lun->bstoreCtx = m_contexts.Add(std::move(ctx));
    WZLOG(1, "block-device LUN of target %s on %s, %llu bytes", lun->targetId.c_str(), lun->path.c_str(),
          static_cast<unsigned long long>(lun->size));
    return CRnError();
  });
}

CRnError WzScsiSrvBStorBlkDev::CreateLunCommit(WzScsiServer::BStoreDesc* desc, WzScsiSrvLun* lun) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CreateLunCommit", [&]() -> CRnError {
    LunContext* ctx = lun == nullptr ? nullptr : m_contexts.Find(lun->bstoreCtx);
    if (ctx == nullptr) return UnknownContext(FX_HERE_IN(kFile), lun == nullptr ? nullptr : lun->bstoreCtx);
    ctx->committed = true;
    return CRnError();
  });
}

CRnError WzScsiSrvBStorBlkDev::CreateLunAbort(WzScsiSrvLun* lun) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CreateLunAbort", [&]() -> CRnError {
    if (lun == nullptr || !m_contexts.Remove(lun->bstoreCtx)) {
      return UnknownContext(FX_HERE_IN(kFile), lun == nullptr ? nullptr : lun->bstoreCtx);
    }
    lun->bstoreCtx = nullptr;
    return CRnError();
  });
}

CRnError WzScsiSrvBStorBlkDev::DeleteLunPrepare(void* bstoreCtx) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "DeleteLunPrepare", [&]() -> CRnError {
    if (m_contexts.Find(bstoreCtx) == nullptr) return UnknownContext(FX_HERE_IN(kFile), bstoreCtx);
    return CRnError();
  });
}

CRnError WzScsiSrvBStorBlkDev::DeleteLunCommit(void* bstoreCtx) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "DeleteLunCommit", [&]() -> CRnError {
    // Only the context goes; the file or device keeps the user's data.
    if (!m_contexts.Remove(bstoreCtx)) return UnknownContext(FX_HERE_IN(kFile), bstoreCtx);
    return CRnError();
  });
}

CRnError WzScsiSrvBStorBlkDev::DeleteLunAbort(void* bstoreCtx) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "DeleteLunAbort", [&]() -> CRnError {
    if (m_contexts.Find(bstoreCtx) == nullptr) return UnknownContext(FX_HERE_IN(kFile), bstoreCtx);
    return CRnError();
  });
}

CRnError WzScsiSrvBStorBlkDev::HandleXDRMessage(CWzNetworkServer::WznCallback_e, CWzNetworkServer*, WznHandle_t,
                                                unsigned long messageId, wzsDatabuf_v2*) {
  return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                 "the block-device store takes no XDR messages (id 0x%lx)", messageId);
}
