// CreateTarget and DeleteTarget.
#include "actionlog/action_log_layout.h"
#include "hostlib/log/LogWriter.h"
#include "service/handler_frame.h"
#include "targets/target_names.h"

using namespace WzScsiServer;
using R = WzScsiSrvRefusal;

CRnError WzScsiSrv::CreateTarget(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  return RunTyped<WzScsiServer::CreateTarget, CreateTargetRsp>(
      conn, message, WzScsiSrvRequests::kCreateTarget,
      [&](WzScsiServer::CreateTarget& request, CreateTargetRsp&, WzScsiSrvHandlerContext& ctx) -> CRnError {
        const std::string& name = ctx.TargetName();
        WZLOG(1, "Creating Target: TargetID [%s]", name.c_str());
        if (!IsValidScsiTargetName(name)) return ctx.Refuse(R::INVALID_TARGET_NAME, FX_HERE);
        if (ctx.TargetTaken()) return ctx.Refuse(R::TARGET_EXISTS, FX_HERE);
        // Its saved LUNs and mappings would come back with the new target.
        if (IsUnrestoredTarget(WzScsiSrvActionLog::TargetDirName(name)))
          return ctx.Refuse(R::TARGET_NOT_RESTORED, FX_HERE);

        Target target(WzScsiSrvTarget(name, request.targetDesc()));
        if (CRnError e = m_ptrPlatform ? m_ptrPlatform->CreateTarget(target) : NoPlatformError(FX_HERE))
          return ctx.Refuse(R::PLATFORM_CREATE_TARGET, FX_HERE, e);
        ctx.OnUndo([this, target]() mutable {
          if (CRnError e = m_ptrPlatform->DeleteTarget(target))
            WZLOG(-1, "Undo of the creation of target %s failed: %s", target.targetId.c_str(), e.AsString().c_str());
        });
        ctx.CommitNewTarget(target);
        ctx.Succeed();
        return CRnError();
      });
}

CRnError WzScsiSrv::DeleteTarget(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  return RunTyped<WzScsiServer::DeleteTarget, DeleteTargetRsp>(
      conn, message, WzScsiSrvRequests::kDeleteTarget,
      [&](WzScsiServer::DeleteTarget&, DeleteTargetRsp&, WzScsiSrvHandlerContext& ctx) -> CRnError {
        WZLOG(1, "Deleting Target: TargetID [%s]", ctx.TargetName().c_str());
        Target* target = ctx.Target();
        const std::string dirName = WzScsiSrvActionLog::TargetDirName(ctx.TargetName());
        if (target == nullptr && IsUnrestoredTarget(dirName)) {
          // Saved but never restored: only its saved configuration goes.
          if (CRnError e = ctx.SetAside()) return e;
          ctx.Commit([this, dirName, ctx_target = ctx.TargetName()]() { ForgetUnrestored(dirName, ctx_target, -1); });
          ctx.Succeed();
          return CRnError();
        }
        if (target == nullptr) return ctx.Refuse(R::TARGET_MISSING, FX_HERE);
        if (!target->luns.empty()) return ctx.Refuse(R::TARGET_HAS_LUNS, FX_HERE);
        if (CRnError e = ctx.SetAside()) return e;
        if (CRnError e = m_ptrPlatform ? m_ptrPlatform->DeleteTarget(*target) : NoPlatformError(FX_HERE))
          return ctx.Refuse(R::PLATFORM_DELETE_TARGET, FX_HERE, e);
        ctx.CommitTargetGone();
        ctx.Succeed();
        return CRnError();
      });
}
