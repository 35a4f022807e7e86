// LUN deletion, and the close of a DevSnap LUN (a DeleteLun with the
// CloseOnly flag: the drivers take the LUN down, the service keeps it in the
// model and in the action log so that an open can bring it back).
#include <optional>

#include "hostlib/log/LogWriter.h"
#include "hostlib/util/FXString.h"
#include "luns/lun_req_flags.h"
#include "service/WzScsiSrv.h"

namespace {

}  // namespace

CRnError WzScsiSrv::DeleteLun(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  if (CRnError e = CheckClass(FX_HERE, message, WzScsiServer::kDeleteLun)) return e;
  auto* request = dynamic_cast<WzScsiServer::DeleteLun*>(message);
  if (request == nullptr) return CheckClass(FX_HERE, nullptr, WzScsiServer::kDeleteLun);
  WzScsiServer::DeleteLunRsp reply;

  CRnError result = RunHandler(conn, message, WzScsiServer::kDeleteLun, reply,
                               [&](WzScsiServer::Error& error, std::string& subject) -> CRnError {
    request->setTargetId(FXString::ToLowerAscii(request->targetId()));
    const std::string name = request->targetId();
    subject = name;
    // The request's 64-bit field carries a 32-bit LUN number.
    const auto number = static_cast<int32_t>(static_cast<uint32_t>(request->lunId()));
    if (WzLogEnabled(1)) WZLOG(1, "Deleting Lun: TargetID [%s], LunID [%d]", name.c_str(), number);

    TargetMap::iterator target;
    if (!TargetExists(name, target)) {
      error.set(WzScsiServer::RC_NOT_FOUND_OR_WRONG_STATE, "Target doesn't exist!");
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Target doesn't exist!");
    }
    auto found = target->second.luns.find(number);
    if (found == target->second.luns.end()) {
      error.set(WzScsiServer::RC_NOT_FOUND_OR_WRONG_STATE, "Lun doesn't exist!");
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "LUN doesn't exist!");
    }
    if (!found->second.hosts.empty()) {
      error.set(WzScsiServer::RC_HAS_DEPENDANTS, "Lun has host mappings");
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "LUN has host mappings");
    }
    if (found->second.bstoreCtx != nullptr) {
      bool keepLun = false;
      return DeleteLunWithBStore(*request, found->second, target, error, keepLun);
    }
    // A LUN the platform serves alone; close-only has no meaning for it.
    if (CRnError e = m_ptrPlatform ? m_ptrPlatform->DeleteLun(&found->second) : NoPlatformError(FX_HERE)) {
      error.set(WzScsiServer::RC_PLATFORM_FAILED, "Platform DeleteLun error");
      return e;
    }
    error.setErrorCode(WzScsiServer::RC_SUCCESS);
    target->second.luns.erase(found);
    return CRnError();
  });
  return result.IsError() ? result.Push(FX_HERE) : CRnError();
}

// Runs prepare, platform delete and commit (abort when the platform fails)
// and updates the model; keepLun tells a close from a deletion. The LUN
// record is erased here on deletion: the caller must not use it afterwards.
CRnError WzScsiSrv::DeleteLunWithBStore(WzScsiServer::DeleteLun& request, Lun& lun, TargetMap::iterator target,
                                        WzScsiServer::Error& error, bool& keepLun) {
  keepLun = false;
  const int64_t flags = request.contextFlags();
  WZLOG(1, "Delete LUN operation flags [%lld]", static_cast<long long>(flags));
  // Exports the CloseOnly variable only when the request asks for it; it
  // lives until the model has been updated.
  std::optional<LunReqFlagHandler> closeOnly;
  if (isDevSnapLun(lun)) closeOnly.emplace(CloseOnly, flags, false);

  void* ctx = lun.bstoreCtx;
  WzScsiBStorOps* ops = lun.bstorOps;
  CRnError prepared = ops != nullptr ? ops->DeleteLunPrepare(ctx)
                                     : FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                                               "LUN has no backing-store operations");
  if (prepared) {
    error.set(WzScsiServer::RC_BSTORE_FAILED, "BStorOps DeleteLunPrepare error: " + prepared.AsString());
    return prepared;
  }
  if (CRnError e = m_ptrPlatform ? m_ptrPlatform->DeleteLun(&lun) : NoPlatformError(FX_HERE)) {
    WZLOG(-1, "Platform DeleteLun failed with error: %s", e.AsString().c_str());
    error.set(WzScsiServer::RC_PLATFORM_FAILED, "Platform DeleteLun error: " + e.AsString());
    if (CRnError aborted = ops->DeleteLunAbort(ctx))
      WZLOG(-1, "Abort DeleteLun failed with error: %s", aborted.AsString().c_str());
    return e;
  }
  if (CRnError e = ops->DeleteLunCommit(ctx)) {
    // The platform LUN is gone already; there is nothing to put back.
    WZLOG(-1, "DeleteLunCommit failed with error: %s", e.AsString().c_str());
    error.set(WzScsiServer::RC_BSTORE_FAILED, "BStorOps DeleteLunCommit error: " + e.AsString());
    return e;
  }
  error.setErrorCode(WzScsiServer::RC_SUCCESS);
  if (closeOnly && closeOnly->isSet()) {
    keepLun = true;
    // The internal result keeps the close out of the action log while the
    // client is told it succeeded.
    return FXErrorUtil::ErrorErrNo(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                   "Lun is closed. Since it is close lun only request, not saved into action log.");
  }
  const int32_t key = lun.lunId;  // lun dies with the entry
  target->second.luns.erase(key);
  return CRnError();
}
