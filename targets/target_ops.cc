// CreateTarget and DeleteTarget.
#include "actionlog/action_log_layout.h"
#include "change/target_names.h"
#include "hostlib/log/LogWriter.h"
#include "targets/target_handlers.h"

using namespace WzScsiServer;
using R = WzScsiSrvRefusal;

CRnError WzScsiSrvCreateTargetWork(WzScsiServer::CreateTarget& request, CreateTargetRsp&,
                                   WzScsiSrvHandlerContext& ctx) {
  const std::string& name = ctx.TargetName();
  WZLOG(1, "Creating Target: TargetID [%s]", name.c_str());
  // A client's new name follows the iSCSI rules; a saved one may be older.
  if (ctx.FromClient() ? !IsValidScsiTargetName(name) : !IsSavedScsiTargetName(name))
    return ctx.Refuse(R::INVALID_TARGET_NAME, FX_HERE);
  if (ctx.TargetTaken()) return ctx.Refuse(R::TARGET_EXISTS, FX_HERE);
  // Its saved LUNs and mappings would come back with the new target.
  if (ctx.Services().IsUnrestoredTarget(WzScsiSrvActionLog::TargetDirName(name)))
    return ctx.Refuse(R::TARGET_NOT_RESTORED, FX_HERE);

  WzScsiSrvModelTarget target(WzScsiSrvTarget(name, request.targetDesc()));
  WzScsiSrvPlatform* platform = ctx.Platform();
  if (CRnError e = platform != nullptr ? platform->CreateTarget(target) : NoPlatformError(FX_HERE))
    return ctx.Refuse(R::PLATFORM_CREATE_TARGET, FX_HERE, e);
  ctx.OnUndo([platform, target]() mutable {
    if (CRnError e = platform->DeleteTarget(target))
      WZLOG(-1, "Undo of the creation of target %s failed: %s", target.targetId.c_str(), e.AsString().c_str());
  });
  ctx.CommitNewTarget(target);
  ctx.Succeed();
  return CRnError();
}

CRnError WzScsiSrvDeleteTargetWork(WzScsiServer::DeleteTarget&, DeleteTargetRsp&, WzScsiSrvHandlerContext& ctx) {
  WZLOG(1, "Deleting Target: TargetID [%s]", ctx.TargetName().c_str());
  WzScsiSrvModelTarget* target = ctx.Target();
  const std::string dirName = WzScsiSrvActionLog::TargetDirName(ctx.TargetName());
  WzScsiSrvHandlerServices& services = ctx.Services();
  if (target == nullptr && services.IsUnrestoredTarget(dirName)) {
    // Saved but never restored: only its saved configuration goes.
    if (CRnError e = ctx.SetAside()) return e;
    ctx.Commit([&services, dirName, name = ctx.TargetName()]() { services.ForgetUnrestored(dirName, name, -1); });
    ctx.Succeed();
    return CRnError();
  }
  if (target == nullptr) return ctx.Refuse(R::TARGET_MISSING, FX_HERE);
  if (!target->luns.empty()) return ctx.Refuse(R::TARGET_HAS_LUNS, FX_HERE);
  if (CRnError e = ctx.SetAside()) return e;
  WzScsiSrvPlatform* platform = ctx.Platform();
  if (CRnError e = platform != nullptr ? platform->DeleteTarget(*target) : NoPlatformError(FX_HERE))
    return ctx.Refuse(R::PLATFORM_DELETE_TARGET, FX_HERE, e);
  ctx.CommitTargetGone();
  ctx.Succeed();
  return CRnError();
}
