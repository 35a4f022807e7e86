// The LUN creation transaction: the record is built and filled from the
// argument string, then the drivers are driven in the order of the
// backing-store type (platform only; or prepare, platform create, commit
// with abort and clean-up), and only a full success enters the LUN into the
// model (and, through the frame, into the action log).
#include <cstdlib>
#include <ctime>

#include "hostlib/log/LogWriter.h"
#include "hostlib/util/FXString.h"
#include "luns/lun_req_flags.h"
#include "service/WzScsiSrv.h"

namespace {

constexpr uint32_t kDefaultBlockSize = 512;
constexpr uint64_t kDefaultExtParam = 524288;

CRnError NoBStoreOps(WzScsiServer::Error& error) {
  error.set(WzScsiServer::RC_BSTORE_FAILED, "NULL BStorOps by user defined BStore");
  return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "NULL BStoreOps by user defined BStore");
}

// A new LUN of every type carries its creation time in the saved request,
// so that replay gives it back the time it was first created.
void StampCreationTime(WzScsiServer::BStoreDesc& desc, WzScsiSrvLun& lun) {
  const int64_t now = static_cast<int64_t>(::time(nullptr));
  lun.creationTime = now;
  SetLunCreationTime(desc, static_cast<uint64_t>(now));
}

// A LUN the platform driver serves alone (types 1 and 4): its size, if any,
// comes from the "size" option.
CRnError CreatePlatformOnlyLun(const std::string& args, WzScsiSrvPlatform* platform, WzScsiSrvLun& lun,
                               WzScsiServer::Error& error) {
  lun.size = 0;
  CCommandLineArguments parsed(args.c_str());
  std::string size;
  CRnError ignored = parsed.GetOption("size", size);
  (void)ignored;
  if (!size.empty()) lun.size = static_cast<uint64_t>(atoll(size.c_str()));
  if (CRnError e = platform != nullptr ? platform->CreateLun(&lun) : NoPlatformError(FX_HERE)) {
    error.set(WzScsiServer::RC_PLATFORM_FAILED, "Platform CreateLun failed");
    return e;
  }
  error.setErrorCode(WzScsiServer::RC_SUCCESS);
  return CRnError();
}

// Takes a just created LUN out of the drivers again because its number is
// taken; the reply says the platform refused it.
CRnError UndoNumberClash(WzScsiSrvLun& lun, WzScsiServer::Error& error) {
  WZLOG(-1, "The drivers gave the new LUN number %d, which target %s already has; undoing it", lun.lunId,
        lun.targetId.c_str());
  if (lun.platform != nullptr) {
    if (CRnError e = lun.platform->DeleteLun(&lun))
      WZLOG(-1, "Failed to cleanup platform lun, error=%s", e.AsString().c_str());
  }
  if (lun.bstorOps != nullptr && lun.bstoreCtx != nullptr) {
    CRnError e = lun.bstorOps->DeleteLunPrepare(lun.bstoreCtx);
    if (e.IsSuccess()) e = lun.bstorOps->DeleteLunCommit(lun.bstoreCtx);
    if (e.IsError()) WZLOG(-1, "Failed to release the backing store of the new LUN, error=%s", e.AsString().c_str());
  }
  error.set(WzScsiServer::RC_PLATFORM_FAILED, "Platform CreateLun failed");
  return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_ALREADY_EXISTS, "LUN number %d already exists on target %s",
                                 lun.lunId, lun.targetId.c_str());
}

}  // namespace

bool isLunOpenOnlyRequest(CNMessageBase* request) {
  auto* r = dynamic_cast<WzScsiServer::Request*>(request);
  return r != nullptr && LunReqFlagHandler::isLunOpenOnlyFlagSet(r->contextFlags());
}

CRnError WzScsiSrv::CreateLun(CWzNetwork* conn, CNMessageBase* message) {
  return CreateLunInternal(conn, message, -1);
}

CRnError WzScsiSrv::CreateLunInternal(CWzNetwork* conn, CNMessageBase* message, int32_t lunId) {
  WZ_TRACE_SCOPE(6);
  if (CRnError e = CheckClass(FX_HERE, message, WzScsiServer::kCreateLun)) return e;
  auto* request = dynamic_cast<WzScsiServer::CreateLun*>(message);
  if (request == nullptr) return CheckClass(FX_HERE, nullptr, WzScsiServer::kCreateLun);
  const int64_t flags = request->contextFlags();
  if (WzLogEnabled(1)) WZLOG(1, "Create LUN operation flags [%lld]", static_cast<long long>(flags));
  // Opens are served whatever the service state, before the readiness check.
  if (isLunOpenOnlyRequest(message)) return OpenLun(conn, message);

  WzScsiServer::CreateLunRsp reply;
  CRnError result = RunHandler(conn, message, WzScsiServer::kCreateLun, reply,
                               [&](WzScsiServer::Error& error, std::string& subject) -> CRnError {
    request->setTargetId(FXString::ToLowerAscii(request->targetId()));
    const std::string name = request->targetId();
    subject = name;
    const auto type = static_cast<WzScsiServer::BStorType>(static_cast<int32_t>(request->bstorType()));
    WZLOG(1, "Creating Lun: TargetID [%s], BStoreType [%d]", name.c_str(), static_cast<int>(type));

    WzScsiSrvLun lun(name, m_ptrPlatform.get(), type, nullptr, nullptr, std::string(), lunId, std::string(), 0,
                     kDefaultBlockSize, kDefaultExtParam, false, nullptr);
    CRnError created;
    TargetMap::iterator target;
    if (!TargetExists(name, target)) {
      error.set(WzScsiServer::RC_NOT_FOUND_OR_WRONG_STATE, "Target doesn't exists!");
      created = FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Target doesn't exists!");
    } else if (CRnError e = ProcessCreateLunArgs(request->bstoreDesc().args(), lun)) {
      WZLOG(-1, "Failed to process CreateLun arguments, error=%s", e.AsString().c_str());
      error.set(WzScsiServer::RC_NOT_READY_OR_FAILED, "Failed to process CreateLun arguments");
      created = e;
    } else {
      created = CreateLunByType(*request, lun, lunId, error);
      if (created.IsSuccess() && lunId == -1 && target->second.luns.count(lun.lunId) != 0) {
        // The drivers gave a new LUN a number the target already has (a
        // closed snapshot LUN keeps its number while out of the engine).
        // Storing it would overwrite that LUN and its saved request.
        created = UndoNumberClash(lun, error);
      }
      if (created.IsSuccess()) {
        target->second.luns[lun.lunId] = Lun(lun);
        WZLOG(1, "Target=%s Lun=%d, LUN Created", name.c_str(), lun.lunId);
      }
    }
    reply.setSerialPrefix(lun.serialPrefix);
    reply.setLunId(lun.lunId);
    return created;
  });
  return result.IsError() ? result.Push(FX_HERE) : CRnError();
}

CRnError WzScsiSrv::CreateLunByType(WzScsiServer::CreateLun& request, WzScsiSrvLun& lun, int32_t lunId,
                                    WzScsiServer::Error& error) {
  WzScsiServer::BStoreDesc& desc = request.bstoreDesc();
  WzScsiSrvPlatform* platform = m_ptrPlatform.get();
  switch (lun.bstorType) {
    case WzScsiServer::BSTOR_KERNEL:
      if (lunId == -1) StampCreationTime(desc, lun);
      return CreatePlatformOnlyLun(desc.args(), platform, lun, error);
    case WzScsiServer::BSTOR_FSBLB:
      // The FSBLB library must be there, but its LUNs are the platform's.
      if (GetUserDefBStoreOps(WzScsiServer::BSTOR_FSBLB) == nullptr) return NoBStoreOps(error);
      if (lunId == -1) StampCreationTime(desc, lun);
      return CreatePlatformOnlyLun(desc.args(), platform, lun, error);
    case WzScsiServer::BSTOR_BLKDEV:
    case WzScsiServer::BSTOR_DEVSNAP:
    case WzScsiServer::BSTOR_RESERVED5:
      break;
    default:
      error.set(WzScsiServer::RC_INVALID_ARGUMENT, "Invalid Bstore Type");
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Invalid BStore Type");
  }

  WzScsiBStorOps* ops = GetUserDefBStoreOps(lun.bstorType);
  lun.bstorOps = ops;
  if (ops == nullptr) return NoBStoreOps(error);
  if (lunId == -1) StampCreationTime(desc, lun);
  if (CRnError e = ops->CreateLunPrepare(&desc, &lun)) {
    error.set(WzScsiServer::RC_BSTORE_FAILED, "BStore CreateLunPrepare failed");
    return e;
  }
  WZLOG(1, "LunPath: %s, LunSize: %lu, BStoreCtx: %p", lun.path.c_str(), static_cast<unsigned long>(lun.size),
        lun.bstoreCtx);
  if (CRnError e = platform != nullptr ? platform->CreateLun(&lun) : NoPlatformError(FX_HERE)) {
    WZLOG(-1, "CreateLun failed with error: %s, Aborting", e.AsString().c_str());
    if (CRnError aborted = ops->CreateLunAbort(&lun))
      WZLOG(-1, "Abort CreateLun failed with error: %s", aborted.AsString().c_str());
    error.set(WzScsiServer::RC_PLATFORM_FAILED, "Platform CreateLun failed");
    return e;
  }
  if (CRnError e = ops->CreateLunCommit(&desc, &lun)) {
    WZLOG(-1, "Commit failed with error: %s", e.AsString().c_str());
    if (CRnError cleaned = platform->DeleteLun(&lun))
      WZLOG(-1, "Failed to cleanup platform lun, error=%s", cleaned.AsString().c_str());
    error.set(WzScsiServer::RC_PLATFORM_FAILED, "BStore CreateLunCommit failed");
    return e;
  }
  error.setErrorCode(WzScsiServer::RC_SUCCESS);
  return CRnError();
}
