#include "change/handler_context.h"

using namespace WzScsiServer;

WzScsiSrvHandlerContext::WzScsiSrvHandlerContext(WzScsiSrvHandlerServices& services, WzScsiSrvRecordStore& store,
                                                 const WzScsiSrvRequestClass& row, WzScsiSrvChangeKind kind,
                                                 Message& request, WzScsiServer::Reply& reply, bool fromClient)
    : m_services(services),
      m_store(store),
      m_class(row),
      m_kind(kind),
      m_request(request),
      m_reply(reply),
      m_fromClient(fromClient) {}

CRnError WzScsiSrvHandlerContext::Refuse(WzScsiSrvRefusal id, const FXCodeLocation& where, CRnError cause,
                                         const std::string& detail) {
  WzScsiSrvRefusalNames names = m_names;
  if (names.target.empty()) names.target = m_targetName;
  if (m_target != nullptr && names.luns.empty())
    for (const auto& lun : m_target->luns) names.luns += (names.luns.empty() ? "" : ", ") + std::to_string(lun.first);
  return WzScsiSrvRefuse(m_error, id, where, names, std::move(cause), detail);
}

void WzScsiSrvHandlerContext::Succeed() { m_error.setErrorCode(RC_SUCCESS); }

CRnError WzScsiSrvHandlerContext::SetAside() { return SetAsidePath(std::string()); }

CRnError WzScsiSrvHandlerContext::SetAsidePath(const std::string& path) {
  if (m_kind != WzScsiSrvChangeKind::ERASE) return CRnError();
  const auto began = std::chrono::steady_clock::now();
  CRnError result = m_store.SetAside(*this, path);
  m_asideTime += std::chrono::steady_clock::now() - began;
  return result;
}

CRnError WzScsiSrvFindLun(WzScsiSrvHandlerContext& ctx, int32_t lunId, WzScsiSrvModelLun*& lun,
                          WzScsiSrvRefusal noTarget, WzScsiSrvRefusal noLun) {
  lun = nullptr;
  ctx.RefusalNames().lun = lunId;
  if (ctx.Target() == nullptr) return ctx.Refuse(noTarget, FX_HERE);
  if (ctx.Services().GetLun(*ctx.Target(), lunId, lun).IsError()) return ctx.Refuse(noLun, FX_HERE);
  for (const auto& host : lun->hosts)
    ctx.RefusalNames().hosts += (ctx.RefusalNames().hosts.empty() ? "" : ", ") + host.first;
  return CRnError();
}

CRnError NoPlatformError(const FXCodeLocation& where) {
  return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "platform driver is not initialized");
}
