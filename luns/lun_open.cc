// Opening a closed DevSnap LUN: a CreateLun with the OpenOnly flag runs the
// backing store's and the platform's create sequence again on the LUN's
// existing record, with the OpenOnly variable exported, and leaves the
// model's tables and the action log as they are.
#include <cerrno>
#include <climits>
#include <cstdlib>

#include "hostlib/log/LogWriter.h"
#include "hostlib/util/FXString.h"
#include "luns/lun_req_flags.h"
#include "service/WzScsiSrv.h"

bool isDevSnapLun(const WzScsiSrvLun& lun) { return lun.bstorType == WzScsiServer::BSTOR_DEVSNAP; }

CRnError GetLunId(const std::string& args, int32_t& lunId) {
  CCommandLineArguments parsed(args.c_str());
  std::string value;
  if (CRnError e = parsed.GetOption("li", value)) return e.Push(FX_HERE, "No LUN id specified");
  // Leading blanks and a sign are accepted; parsing stops at the first non-digit.
  const char* begin = value.c_str();
  char* end = nullptr;
  errno = 0;
  long long number = strtoll(begin, &end, 10);
  if (end == begin || errno == ERANGE || number < INT32_MIN || number > INT32_MAX)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Incorrect LUN id specified.");
  lunId = static_cast<int32_t>(number);
  return CRnError();
}

CRnError WzScsiSrv::GetLun(const std::string& targetName, int32_t lunId, Lun*& lun) {
  std::lock_guard<std::recursive_mutex> model(m_modelMutex);
  TargetMap::iterator target;
  if (!TargetExists(targetName, target))
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Target [%s] doesn't exist",
                                   targetName.c_str());
  auto found = target->second.luns.find(lunId);
  if (found == target->second.luns.end())
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "LUN [%d] target [%s] does not exist.",
                                   lunId, targetName.c_str());
  lun = &found->second;
  return CRnError();
}

namespace {

// The create sequence on an existing DevSnap LUN's record, with the
// OpenOnly variable exported for as long as the drivers run.
CRnError ReopenDevSnapLun(WzScsiServer::CreateLun& request, WzScsiSrvLun& lun, WzScsiSrvPlatform* platform,
                          WzScsiServer::Error& error) {
  LunReqFlagHandler openOnly(OpenOnly, request.contextFlags(), false);
  WzScsiBStorOps* ops = lun.bstorOps;
  CRnError prepared = ops != nullptr ? ops->CreateLunPrepare(&request.bstoreDesc(), &lun)
                                     : FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                                               "LUN has no backing-store operations");
  if (prepared) {
    error.setErrorCode(WzScsiServer::RC_BSTORE_FAILED);
    error.setErrorMessage("OpenLun: CreateLunPrepare failed");
    return prepared;
  }
  if (CRnError created = platform != nullptr ? platform->CreateLun(&lun) : NoPlatformError(FX_HERE)) {
    WZLOG(-1, "Platform CreateLun failed with error: %s, Aborting", created.AsString().c_str());
    if (CRnError aborted = ops->CreateLunAbort(&lun))
      WZLOG(-1, "Abort CreateLun failed with error: %s", aborted.AsString().c_str());
    error.setErrorCode(WzScsiServer::RC_PLATFORM_FAILED);
    error.setErrorMessage("Platform CreateLun failed");
    return created;
  }
  if (CRnError committed = ops->CreateLunCommit(&request.bstoreDesc(), &lun)) {
    WZLOG(-1, "Commit failed with error: %s", committed.AsString().c_str());
    if (CRnError cleaned = platform->DeleteLun(&lun))
      WZLOG(-1, "Failed to cleanup platform lun, error=%s", cleaned.AsString().c_str());
    error.setErrorCode(WzScsiServer::RC_PLATFORM_FAILED);
    error.setErrorMessage("OpenLun: CreateLunCommit failed");
    return committed;
  }
  error.setErrorCode(WzScsiServer::RC_SUCCESS);
  // The internal result keeps the open out of the action log while the
  // client is told it succeeded.
  if (openOnly.isSet())
    return FXErrorUtil::ErrorErrNo(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Lun is opened.");
  WZLOG(-1, "LUN [%s:%d] opened without the OpenOnly variable; the request is not saved", lun.targetId.c_str(),
        lun.lunId);
  return CRnError();
}

}  // namespace

// An open is never saved, not even when the OpenOnly variable could not be
// exported and the open therefore ends in success: the LUN's saved file
// must keep its creation request, from which replay rebuilds it (an open
// request would rebuild nothing). The frame is told not to save.
CRnError WzScsiSrv::OpenLun(CWzNetwork* conn, CNMessageBase* message) {
  auto* request = dynamic_cast<WzScsiServer::CreateLun*>(message);
  if (request == nullptr) return CheckClass(FX_HERE, nullptr, WzScsiServer::kCreateLun);
  WzScsiServer::CreateLunRsp reply;
  const FrameOptions options{false, false};

  CRnError result = RunHandler(conn, message, WzScsiServer::kCreateLun, reply,
                               [&](WzScsiServer::Error& error, std::string& subject) -> CRnError {
    request->setTargetId(FXString::ToLowerAscii(request->targetId()));
    const std::string name = request->targetId();
    subject = name;

    int32_t number = -1;
    if (CRnError e = GetLunId(request->bstoreDesc().args(), number)) {
      error.setErrorCode(WzScsiServer::RC_NOT_FOUND_OR_WRONG_STATE);
      error.setErrorMessage("Incorrect or no LUN id specified.");
      return e;
    }
    Lun* lun = nullptr;
    if (CRnError e = GetLun(name, number, lun)) {
      error.setErrorCode(WzScsiServer::RC_NOT_FOUND_OR_WRONG_STATE);
      error.setErrorMessage("Given target,lun does not exist.");
      return e;
    }
    if (!isDevSnapLun(*lun)) {
      error.setErrorCode(WzScsiServer::RC_NOT_FOUND_OR_WRONG_STATE);
      error.setErrorMessage("OpenLun operation not supported for non Devsnap LUN.");
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                     "LUN [%d] target [%s] is not a DevSnap LUN. OpenLun not supported for non DevSnap LUN.",
                                     number, name.c_str());
    }
    CRnError opened = ReopenDevSnapLun(*request, *lun, m_ptrPlatform.get(), error);
    if (opened.IsSuccess()) {
      reply.setSerialPrefix(lun->serialPrefix);
      reply.setLunId(lun->lunId);
    }
    return opened;
  }, options);
  return result.IsError() ? result.Push(FX_HERE) : CRnError();
}
