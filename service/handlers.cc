// The request handlers of the service object: each binds its request class's
// row (service/request_classes.h) to its work (targets/, luns/) and runs
// them in the handler frame; and what the works ask of the service
// (WzScsiSrvHandlerServices).
#include <map>

#include "hostlib/log/LogWriter.h"
#include "luns/backing_store_dirs.h"
#include "luns/lun_args.h"
#include "luns/lun_handlers.h"
#include "luns/lun_req_flags.h"
#include "service/handler_frame.h"
#include "targets/target_handlers.h"

using namespace WzScsiServer;
namespace Q = WzScsiSrvRequests;

CRnError WzScsiSrv::CreateTarget(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  return RunTyped<WzScsiServer::CreateTarget, CreateTargetRsp>(conn, message, Q::kCreateTarget,
                                                               WzScsiSrvCreateTargetWork);
}

CRnError WzScsiSrv::DeleteTarget(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  return RunTyped<WzScsiServer::DeleteTarget, DeleteTargetRsp>(conn, message, Q::kDeleteTarget,
                                                               WzScsiSrvDeleteTargetWork);
}

CRnError WzScsiSrv::MapHost(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  return RunTyped<MapLun2Host, MapLun2HostRsp>(conn, message, Q::kMapHost, WzScsiSrvMapHostWork);
}

CRnError WzScsiSrv::UnMapHost(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  return RunTyped<UnMapLun2Host, UnMapLun2HostRsp>(conn, message, Q::kUnMapHost, WzScsiSrvUnMapHostWork);
}

CRnError WzScsiSrv::SetTargetAuth(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  return RunTyped<WzScsiServer::SetTargetAuth, SetTargetAuthRsp>(conn, message, Q::kSetTargetAuth,
                                                                 WzScsiSrvSetTargetAuthWork);
}

CRnError WzScsiSrv::ResizeLun(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  return RunTyped<WzScsiServer::ResizeLun, ResizeLunRsp>(conn, message, Q::kResizeLun, WzScsiSrvResizeLunWork);
}

CRnError WzScsiSrv::CreateLun(CWzNetwork* conn, CNMessageBase* message) { return CreateLunInternal(conn, message, -1); }

CRnError WzScsiSrv::CreateLunInternal(CWzNetwork* conn, CNMessageBase* message, int32_t lunId) {
  WZ_TRACE_SCOPE(6);
  auto* create = dynamic_cast<WzScsiServer::CreateLun*>(message);
  if (create != nullptr) {
    if (WzLogEnabled(1)) WZLOG(1, "Create LUN operation flags [%lld]", static_cast<long long>(create->contextFlags()));
    // Opens are served whatever the service state, before the readiness check.
    if (LunReqFlagHandler::isLunOpenOnlyFlagSet(create->contextFlags())) return OpenLun(conn, message);
  }
  return RunTyped<WzScsiServer::CreateLun, CreateLunRsp>(
      conn, message, Q::kCreateLun,
      [lunId](WzScsiServer::CreateLun& request, CreateLunRsp& reply, WzScsiSrvHandlerContext& ctx) {
        return WzScsiSrvCreateLunWork(request, reply, ctx, lunId);
      });
}

CRnError WzScsiSrv::OpenLun(CWzNetwork* conn, CNMessageBase* message) {
  return RunTyped<WzScsiServer::CreateLun, CreateLunRsp>(conn, message, Q::kOpenLun, WzScsiSrvOpenLunWork);
}

CRnError WzScsiSrv::DeleteLun(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  return RunTyped<WzScsiServer::DeleteLun, DeleteLunRsp>(conn, message, Q::kDeleteLun, WzScsiSrvDeleteLunWork);
}

// ---------------------------------------------------------------- what the works ask

WzScsiSrvPlatform* WzScsiSrv::Platform() { return m_ptrPlatform.get(); }

const std::string& WzScsiSrv::ActionLogRoot() const { return m_sActionLogRoot; }

CRnError WzScsiSrv::ProcessCreateLunArgs(const std::string& args, WzScsiSrvLun& lun) {
  return ::ProcessCreateLunArgs(args, lun);
}

CRnError WzScsiSrv::GetLun(Target& target, int32_t number, Lun*& lun) {
  auto found = target.luns.find(number);
  if (found == target.luns.end()) {
    lun = nullptr;
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "LUN [%d] target [%s] does not exist.",
                                   number, target.targetId.c_str());
  }
  lun = &found->second;
  return CRnError();
}

CRnError WzScsiSrv::CheckBackingStore(WzScsiSrvLun& lun) { return WzScsiSrvCheckLunBacking(m_backingStores, lun); }

std::string WzScsiSrv::BackingStoreUser(const std::string& target, const WzScsiSrvLun& lun,
                                        std::shared_ptr<WzScsiSrvBackingClaim>& claim) {
  claim.reset();
  WzScsiSrvBackingId wanted;
  if (lun.path.empty() || lun.bstorType == WzScsiServer::BSTOR_RBD || !WzScsiSrvBackingIdOf(lun.path, wanted))
    return std::string();
  // Claimed before the model is looked at: a create that held the file let
  // go of it only once the model held its LUN, so the look below sees it.
  std::shared_ptr<WzScsiSrvBackingClaim> mine;
  if (std::string creating = m_backingClaims.Claim(wanted, lun.path, target, lun.lunId, mine); !creating.empty())
    return creating;
  // The paths are copied and looked at outside the lock: a stat may hang on
  // a dead network file system.
  std::vector<std::pair<std::string, std::string>> others;  // the LUN's name, its path
  {
    WzReaderLock model(&m_modelMutex);
    for (const auto& entry : m_mapTargets) {
      if (entry.second->state != TargetSlot::LIVE) continue;
      for (const auto& unit : entry.second->target.luns) {
        const Lun& other = unit.second;
        // The same LUN again (a replay or another gateway's event) is no other user.
        if ((entry.first == target && unit.first == lun.lunId) || other.path.empty() ||
            other.bstorType == WzScsiServer::BSTOR_RBD)
          continue;
        others.emplace_back("LUN " + std::to_string(unit.first) + " of target " + entry.first, other.path);
      }
    }
  }
  for (const auto& other : others) {
    WzScsiSrvBackingId id;
    if (WzScsiSrvBackingIdOf(other.second, id) && id == wanted) return other.first + " (" + other.second + ")";
  }
  claim = std::move(mine);
  return std::string();
}

std::string WzScsiSrv::ChapUserConflict(const std::string& targetName, const WzScsiSrvChap& chap) {
  if (!chap.enabled) return std::string();
  std::map<std::string, std::string> wanted{{chap.user, chap.secret}};
  if (!chap.mutualUser.empty()) wanted[chap.mutualUser] = chap.mutualSecret;
  WzReaderLock model(&m_modelMutex);
  for (const auto& entry : m_mapTargets) {
    if (entry.first == targetName || entry.second->state != TargetSlot::LIVE) continue;
    const WzScsiSrvChap& other = entry.second->target.chap;
    if (!other.enabled) continue;
    for (const auto& account : wanted) {
      if ((account.first == other.user && account.second != other.secret) ||
          (account.first == other.mutualUser && account.second != other.mutualSecret))
        return "the user name " + account.first + " is used by target " + entry.first +
               " with another secret (a user name has one secret on every target)";
    }
  }
  return std::string();
}
