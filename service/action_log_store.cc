#include "service/action_log_store.h"

#include "actionlog/action_log_layout.h"
#include "actionlog/action_log_writer.h"
#include "change/target_names.h"
#include "hostlib/log/LogWriter.h"
#include "service/handler_frame.h"

namespace Layout = WzScsiSrvActionLog;
using namespace WzScsiServer;

CRnError WzScsiSrvActionLogStore::LogAction(WzScsiSrvHandlerContext& ctx) {
  return m_service.LogAction(ctx.Request(), ctx.Reply());
}

CRnError WzScsiSrvActionLogStore::Record(WzScsiSrvHandlerContext& ctx) {
  if (CRnError saved = LogAction(ctx)) return ctx.Refuse(WzScsiSrvRefusal::SAVE_FAILED, FX_HERE, saved);
  return CRnError();
}

CRnError WzScsiSrvActionLogStore::SetAside(WzScsiSrvHandlerContext& ctx, const std::string& path) {
  std::string from = path;
  if (from.empty()) {
    const WzScsiSrvRequestClass& row = ctx.Class();
    if (row.kind != WzScsiSrvChangeKind::ERASE || row.savedPath == nullptr) return CRnError();
    from = row.savedPath(Layout::TargetDir(m_service.GetActionLogRoot(), ctx.TargetName()), ctx.Request(), -1);
  }
  WzScsiSrvSetAside aside;
  if (CRnError e = WzScsiSrvActionLogWriter().SetAside(from, aside))
    return ctx.Refuse(WzScsiSrvRefusal::SAVE_FAILED, FX_HERE, e);
  if (aside.Active()) ctx.SetAsides().push_back(aside);
  return CRnError();
}

void WzScsiSrvActionLogStore::EndRemoval(WzScsiSrvHandlerContext& ctx, bool done) {
  const WzScsiSrvActionLogWriter writer;
  std::vector<WzScsiSrvSetAside>& asides = ctx.SetAsides();
  for (auto aside = asides.rbegin(); aside != asides.rend(); ++aside) {
    if (done) {
      writer.Discard(*aside);
    } else if (CRnError e = writer.Restore(*aside)) {
      WZLOG(-1, "The saved request of %s could not be put back after a failed change: %s", ctx.Subject().c_str(),
            e.AsString().c_str());
    }
  }
  asides.clear();
}

CRnError WzScsiSrv::LogAction(Message& request, const Reply& reply) {
  const WzScsiSrvRequestClass* row = WzScsiSrvFindRequestClass(request.getTagID());
  // Nothing is saved for the other requests (Ioctl, the start).
  if (row == nullptr || row->savedPath == nullptr) return CRnError();
  const FieldId& field = WzScsiSrvTargetField(request.getTagID());
  const std::string given = request.GetString(field);
  const std::string target = ToLowerTargetName(given);
  // Every saved file carries the lower-cased name.
  if (target != given) request.SetString(field, target);
  const std::string dir = Layout::TargetDir(m_sActionLogRoot, target);
  const WzScsiSrvActionLogWriter writer;
  if (row->kind == WzScsiSrvChangeKind::ERASE) {
    WzScsiSrvSetAside aside;
    if (CRnError e = writer.SetAside(row->savedPath(dir, request, -1), aside)) return e.Push(FX_HERE);
    writer.Discard(aside);
    return CRnError();
  }
  CRnError saved = row->lock == WzScsiSrvTargetLock::NEW_TARGET
                       ? writer.SaveTarget(dir, request)
                       : writer.Save(row->savedPath(dir, request, WzScsiSrvSavedLunId(reply)), request, row->savedMode);
  return saved.IsError() ? saved.Push(FX_HERE) : CRnError();
}
