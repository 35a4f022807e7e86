#include "luns/lun_sequence.h"

#include "hostlib/log/LogWriter.h"

using R = WzScsiSrvRefusal;

const WzScsiSrvLunSequence kWzScsiSrvCreateSequence{R::BSTORE_PREPARE, R::PLATFORM_CREATE_LUN, R::BSTORE_COMMIT};
const WzScsiSrvLunSequence kWzScsiSrvOpenSequence{R::OPEN_PREPARE, R::PLATFORM_CREATE_LUN, R::OPEN_COMMIT};

CRnError WzScsiSrvRunLunSequence(WzScsiSrvHandlerContext& ctx, const WzScsiSrvLunSequence& texts, WzScsiBStorOps* ops,
                                 WzScsiSrvPlatform* platform, WzScsiServer::BStoreDesc& desc, WzScsiSrvLun& lun) {
  if (CRnError e = ops->CreateLunPrepare(&desc, &lun)) return ctx.Refuse(texts.prepare, FX_HERE, e);
  // No context address: it says nothing to an operator and differs per run.
  WZLOG(1, "Backing store of a LUN of target %s prepared: path %s, size %lu", lun.targetId.c_str(), lun.path.c_str(),
        static_cast<unsigned long>(lun.size));
  if (CRnError e = platform != nullptr ? platform->CreateLun(&lun) : NoPlatformError(FX_HERE)) {
    WZLOG(-1, "Platform CreateLun failed with error: %s, Aborting", e.AsString().c_str());
    if (CRnError aborted = ops->CreateLunAbort(&lun))
      WZLOG(-1, "Abort CreateLun failed with error: %s", aborted.AsString().c_str());
    return ctx.Refuse(texts.platform, FX_HERE, e);
  }
  if (CRnError e = ops->CreateLunCommit(&desc, &lun)) {
    WZLOG(-1, "Commit failed with error: %s", e.AsString().c_str());
    if (CRnError cleaned = platform->DeleteLun(&lun))
      WZLOG(-1, "Failed to cleanup platform lun, error=%s", cleaned.AsString().c_str());
    return ctx.Refuse(texts.commit, FX_HERE, e);
  }
  ctx.Succeed();
  return CRnError();
}

void WzScsiSrvUndoLun(WzScsiSrvLun& lun) {
  if (lun.platform != nullptr) {
    if (CRnError e = lun.platform->DeleteLun(&lun))
      WZLOG(-1, "Failed to cleanup platform lun, error=%s", e.AsString().c_str());
  }
  if (lun.bstorOps != nullptr && lun.bstoreCtx != nullptr && lun.bstorType == WzScsiServer::BSTOR_RBD) {
    // An image made for this LUN goes with it; an adopted one stays.
    if (CRnError e = lun.bstorOps->CreateLunAbort(&lun))
      WZLOG(-1, "Failed to release the RBD image of the new LUN, error=%s", e.AsString().c_str());
  } else if (lun.bstorOps != nullptr && lun.bstoreCtx != nullptr) {
    CRnError e = lun.bstorOps->DeleteLunPrepare(lun.bstoreCtx);
    if (e.IsSuccess()) e = lun.bstorOps->DeleteLunCommit(lun.bstoreCtx);
    if (e.IsError()) WZLOG(-1, "Failed to release the backing store of the new LUN, error=%s", e.AsString().c_str());
  }
}
