// LUN deletion, and the close of a DevSnap LUN (a DeleteLun with the
// CloseOnly flag: the drivers take the LUN down, the service keeps it in the
// model and in the action log so that an open can bring it back).
#include <optional>

#include "actionlog/action_log_layout.h"
#include "actionlog/target_dirs.h"
#include "hostlib/log/LogWriter.h"
#include "luns/lun_handlers.h"
#include "luns/lun_req_flags.h"

using namespace WzScsiServer;
using R = WzScsiSrvRefusal;

namespace {

CRnError DeleteLunWithBStore(WzScsiSrvHandlerContext& ctx, WzScsiServer::DeleteLun& request, WzScsiSrvModelLun& lun,
                             bool& closed);
CRnError DeleteUnrestoredLun(WzScsiSrvHandlerContext& ctx, int32_t number);

}  // namespace

CRnError WzScsiSrvDeleteLunWork(WzScsiServer::DeleteLun& request, DeleteLunRsp&, WzScsiSrvHandlerContext& ctx) {
  // The request's 64-bit field carries a 32-bit LUN number.
  const auto number = static_cast<int32_t>(static_cast<uint32_t>(request.lunId()));
  if (WzLogEnabled(1)) WZLOG(1, "Deleting Lun: TargetID [%s], LunID [%d]", ctx.TargetName().c_str(), number);
  if (ctx.Target() != nullptr && ctx.Target()->luns.count(number) == 0 &&
      ctx.Services().IsUnrestoredLun(ctx.TargetName(), number))
    return DeleteUnrestoredLun(ctx, number);
  WzScsiSrvModelLun* lun = nullptr;
  if (CRnError e = WzScsiSrvFindLun(ctx, number, lun)) return e;
  if (!lun->hosts.empty()) return ctx.Refuse(R::LUN_HAS_HOSTS, FX_HERE);
  if ((request.contextFlags() & RemoveImage) != 0 && lun->bstorType != BSTOR_RBD)
    return ctx.Refuse(R::BSTORE_TYPE, FX_HERE, CRnError(), "only an RBD LUN has an image to remove");
  if ((request.contextFlags() & RemoveImage) != 0 && ctx.Services().SharedWithOtherGateways())
    return ctx.Refuse(R::REMOVE_IMAGE_SHARED, FX_HERE);

  bool closed = false;
  if (lun->bstoreCtx != nullptr) {
    CRnError deleted = DeleteLunWithBStore(ctx, request, *lun, closed);
    if (deleted.IsError()) {
      if (ctx.ChangeKeptOnFailure() && !closed) {
        WzScsiSrvModelTarget* target = ctx.Target();
        ctx.Commit([target, number]() { target->luns.erase(number); });
      }
      return deleted;
    }
  } else {
    // A LUN the platform serves alone; close-only has no meaning for it.
    if (CRnError e = ctx.SetAside()) return e;
    WzScsiSrvPlatform* platform = ctx.Platform();
    if (CRnError e = platform != nullptr ? platform->DeleteLun(lun) : NoPlatformError(FX_HERE))
      return ctx.Refuse(R::PLATFORM_DELETE_LUN, FX_HERE, e);
  }
  WzScsiSrvModelTarget* target = ctx.Target();
  if (!closed) {
    ctx.Commit([target, number]() { target->luns.erase(number); });
  } else {
    ctx.Commit([target, number]() { target->luns[number].closed = true; });
  }
  ctx.Succeed();
  return CRnError();
}

namespace {

// Runs prepare, platform delete and commit (abort when the platform fails).
// closed tells a close (the LUN stays configured) from a deletion.
CRnError DeleteLunWithBStore(WzScsiSrvHandlerContext& ctx, WzScsiServer::DeleteLun& request, WzScsiSrvModelLun& lun,
                             bool& closed) {
  closed = false;
  const int64_t flags = request.contextFlags();
  WZLOG(1, "Delete LUN operation flags [%lld]", static_cast<long long>(flags));
  // Exports the CloseOnly variable only when the request asks for it; it
  // lives until the drivers are done.
  std::optional<LunReqFlagHandler> closeOnly;
  if (lun.bstorType == BSTOR_DEVSNAP) closeOnly.emplace(CloseOnly, flags, false);
  // Only the gateway a client asked removes the image: another gateway's
  // delete of the same LUN (a cluster event) never carries the flag.
  std::optional<LunReqFlagHandler> removeImage;
  if (lun.bstorType == BSTOR_RBD) removeImage.emplace(RemoveImage, flags, false);
  const bool closing = closeOnly && closeOnly->isSet();
  if (!closing) {
    if (CRnError e = ctx.SetAside()) return e;
  }

  void* bstoreCtx = lun.bstoreCtx;
  WzScsiBStorOps* ops = lun.bstorOps;
  if (ops == nullptr)
    return ctx.Refuse(
        R::BSTORE_DELETE_PREPARE, FX_HERE,
        FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "LUN has no backing-store operations"));
  if (CRnError e = ops->DeleteLunPrepare(bstoreCtx)) return ctx.Refuse(R::BSTORE_DELETE_PREPARE, FX_HERE, e);
  WzScsiSrvPlatform* platform = ctx.Platform();
  if (CRnError e = platform != nullptr ? platform->DeleteLun(&lun) : NoPlatformError(FX_HERE)) {
    WZLOG(-1, "Platform DeleteLun failed with error: %s", e.AsString().c_str());
    CRnError refused = ctx.Refuse(R::PLATFORM_DELETE_LUN_DETAIL, FX_HERE, e);
    if (CRnError aborted = ops->DeleteLunAbort(bstoreCtx))
      WZLOG(-1, "Abort DeleteLun failed with error: %s", aborted.AsString().c_str());
    return refused;
  }
  if (CRnError e = ops->DeleteLunCommit(bstoreCtx)) {
    WZLOG(-1, "DeleteLunCommit failed with error: %s", e.AsString().c_str());
    CRnError refused = ctx.Refuse(R::BSTORE_DELETE_COMMIT, FX_HERE, e);
    // The engine no longer serves the LUN while the model and the saved
    // configuration still hold it: put it back in the engine under its
    // number, or, when that fails too, finish the deletion, so that the
    // three agree either way.
    WzScsiSrvLun back = lun;
    if (CRnError again = platform->CreateLun(&back)) {
      WZLOG(-1, "LUN %s:%d could not be put back in the engine (%s); it is removed from the configuration",
            lun.targetId.c_str(), lun.lunId, again.AsString().c_str());
      ctx.KeepChangeOnFailure();
      WzScsiSrvExtendHeadline(ctx.Error(), "; the LUN is no longer served and was removed from the configuration");
      closed = closing;
      return refused;
    }
    WZLOG(0, "LUN %s:%d is served again after its failed deletion", lun.targetId.c_str(), lun.lunId);
    return refused;
  }
  closed = closing;
  if (closed) WZLOG(1, "Lun is closed. Since it is close lun only request, not saved into action log.");
  return CRnError();
}

// A LUN saved but never restored: its saved file and the saved mappings made
// for it go; the engine never had it.
CRnError DeleteUnrestoredLun(WzScsiSrvHandlerContext& ctx, int32_t number) {
  namespace Layout = WzScsiSrvActionLog;
  WzScsiSrvHandlerServices& services = ctx.Services();
  const std::string targetDir = Layout::TargetDir(services.ActionLogRoot(), ctx.TargetName());
  if (CRnError e = ctx.SetAside()) return e;
  std::vector<std::string> names;
  bool opened = false;
  CRnError listed = ListActionLogDir(Layout::MappingsDir(targetDir), names, opened);
  (void)listed;
  for (const std::string& name : names) {
    std::string hostDirId;
    int32_t lunId = -1;
    if (Layout::ParseMappingFileName(name, hostDirId, lunId) && lunId == number) {
      if (CRnError e = ctx.SetAsidePath(Layout::MappingsDir(targetDir) + "/" + name)) return e;
    }
  }
  const std::string target = ctx.TargetName();
  ctx.Commit([&services, target, number]() { services.ForgetUnrestored(std::string(), target, number); });
  ctx.Succeed();
  return CRnError();
}

}  // namespace
