// The LUN creation transaction: the record is built and filled from the
// argument string, then the drivers are driven in the order of the
// backing-store type (platform only; or prepare, platform create, commit
// with abort and clean-up), and only a full success that is saved enters the
// LUN into the model.
#include <cstdlib>
#include <ctime>

#include "change/target_names.h"
#include "hostlib/log/LogWriter.h"
#include "luns/backing_store_dirs.h"
#include "luns/lun_args.h"
#include "luns/lun_handlers.h"
#include "luns/lun_sequence.h"

using namespace WzScsiServer;
using R = WzScsiSrvRefusal;

namespace {

constexpr uint32_t kDefaultBlockSize = 512;
constexpr uint64_t kDefaultExtParam = 524288;

// A new LUN of every type carries its creation time in the saved request,
// so that replay gives it back the time it was first created.
void StampCreationTime(BStoreDesc& desc, WzScsiSrvLun& lun) {
  const int64_t now = static_cast<int64_t>(::time(nullptr));
  lun.creationTime = now;
  SetLunCreationTime(desc, static_cast<uint64_t>(now));
}

// A LUN the platform driver serves alone (types 1 and 4): its size, if any,
// comes from the "size" option.
CRnError CreatePlatformOnlyLun(WzScsiSrvHandlerContext& ctx, const std::string& args, WzScsiSrvPlatform* platform,
                               WzScsiSrvLun& lun) {
  lun.size = 0;
  CCommandLineArguments parsed(args.c_str());
  std::string size;
  CRnError ignored = parsed.GetOption("size", size);
  (void)ignored;
  if (!size.empty()) lun.size = static_cast<uint64_t>(atoll(size.c_str()));
  if (CRnError e = platform != nullptr ? platform->CreateLun(&lun) : NoPlatformError(FX_HERE))
    return ctx.Refuse(R::PLATFORM_CREATE_LUN, FX_HERE, e);
  ctx.Succeed();
  return CRnError();
}

// Checks lun's backing and, when the path was a link or not in canonical
// form, puts the resolved path that was checked into the request: the
// backing store reads it from there, and the saved request gives a replay
// the same file whatever the link points to by then. (A block device keeps
// its name, checked again at every use: see WzScsiSrvCheckLunBacking.)
CRnError CheckedPath(WzScsiSrvHandlerServices& services, BStoreDesc& desc, WzScsiSrvLun& lun) {
  const std::string typed = lun.path;
  if (CRnError e = services.CheckBackingStore(lun)) return e;
  if (lun.path != typed) {
    WZLOG(1, "Backing path %s resolves to %s", typed.c_str(), lun.path.c_str());
    SetBstorProperty(desc, "path", CCommandLineArguments::Quote(lun.path));
  }
  return CRnError();
}

}  // namespace

namespace {

CRnError CreateLunByType(WzScsiSrvHandlerContext& ctx, WzScsiServer::CreateLun& request, WzScsiSrvLun& lun,
                         int32_t lunId);

}  // namespace

CRnError WzScsiSrvCreateLunWork(WzScsiServer::CreateLun& request, CreateLunRsp& reply, WzScsiSrvHandlerContext& ctx,
                                int32_t lunId) {
  const std::string& name = ctx.TargetName();
  const auto type = static_cast<BStorType>(static_cast<int32_t>(request.bstorType()));
  WZLOG(1, "Creating Lun: TargetID [%s], BStoreType [%d]", name.c_str(), static_cast<int>(type));

  WzScsiSrvHandlerServices& services = ctx.Services();
  WzScsiSrvLun lun(name, ctx.Platform(), type, nullptr, nullptr, std::string(), lunId, std::string(), 0,
                   kDefaultBlockSize, kDefaultExtParam, false, nullptr);
  CRnError created;
  // The file held from the check until the model holds the LUN; a failed
  // create lets go of it when the last copy goes.
  std::shared_ptr<WzScsiSrvBackingClaim> claim;
  WzScsiSrvModelTarget* target = ctx.Target();
  if (target == nullptr) {
    created = ctx.Refuse(R::TARGET_MISSING_FOR_LUN, FX_HERE);
  } else if (CRnError e = services.ProcessCreateLunArgs(request.bstoreDesc().args(), lun)) {
    // The client's mistake, answered with the reason: not a service error.
    WZLOG(1, "Failed to process CreateLun arguments, error=%s", e.AsString().c_str());
    created = ctx.Refuse(R::LUN_ARGS, FX_HERE, e);
  } else if (WzScsiSrvLunPathFault(lun) == WzScsiSrvPathFault::BLANKS) {
    created = ctx.Refuse(R::PATH_BLANKS, FX_HERE);
  } else if (WzScsiSrvLunPathFault(lun) == WzScsiSrvPathFault::RELATIVE) {
    // Relative to whose directory? The service's and the engine's differ.
    created = ctx.Refuse(R::PATH_RELATIVE, FX_HERE, CRnError(), lun.path);
  } else if (CRnError outside = CheckedPath(services, request.bstoreDesc(), lun)) {
    // Only where the operator allows, whoever asks: a client, a saved
    // file or another gateway must not export any file of the host, nor an
    // image of any pool.
    created = ctx.Refuse(R::PATH_NOT_ALLOWED, FX_HERE, outside);
  } else if (ToLowerTargetName(lun.targetId) != name) {
    // The drivers would put the LUN on the target -ti names while the
    // model lists it under the request's.
    created = ctx.Refuse(R::TARGET_OPTION_MISMATCH, FX_HERE, CRnError(), lun.targetId + " is not " + name);
  } else if (std::string user = services.BackingStoreUser(name, lun, claim); !user.empty()) {
    // Two initiators writing through two LUNs would overwrite each other.
    created = ctx.Refuse(R::BACKING_IN_USE, FX_HERE, CRnError(), user);
  } else {
    lun.targetId = name;
    created = CreateLunByType(ctx, request, lun, lunId);
    if (created.IsSuccess() && lunId == -1 && target->luns.count(lun.lunId) == 0 &&
        services.IsUnrestoredLun(name, lun.lunId)) {
      // That number's saved LUN and mappings would attach to this one.
      WZLOG(-1,
            "The drivers gave the new LUN number %d, held by a saved LUN of target %s that could not be "
            "restored; undoing it",
            lun.lunId, name.c_str());
      WzScsiSrvUndoLun(lun);
      created = ctx.Refuse(R::LUN_NOT_RESTORED, FX_HERE);
    } else if (created.IsSuccess() && lunId == -1 && target->luns.count(lun.lunId) != 0) {
      // The drivers gave a new LUN a number the target already has (a
      // closed snapshot LUN keeps its number while out of the engine).
      // Storing it would overwrite that LUN and its saved request.
      WZLOG(-1, "The drivers gave the new LUN number %d, which target %s already has; undoing it", lun.lunId,
            name.c_str());
      WzScsiSrvUndoLun(lun);
      created = ctx.Refuse(R::LUN_NUMBER_TAKEN, FX_HERE);
    }
    if (created.IsSuccess()) {
      ctx.OnUndo([lun]() mutable { WzScsiSrvUndoLun(lun); });
      ctx.Commit([target, lun, claim]() {
        target->luns[lun.lunId] = WzScsiSrvModelLun(lun);
        if (claim) claim->Release();
      });
      WZLOG(1, "Target=%s Lun=%d, LUN Created", name.c_str(), lun.lunId);
    }
  }
  reply.setSerialPrefix(lun.serialPrefix);
  reply.setLunId(lun.lunId);
  return created;
}

namespace {

CRnError CreateLunByType(WzScsiSrvHandlerContext& ctx, WzScsiServer::CreateLun& request, WzScsiSrvLun& lun,
                         int32_t lunId) {
  BStoreDesc& desc = request.bstoreDesc();
  WzScsiSrvPlatform* platform = ctx.Platform();
  switch (lun.bstorType) {
    case BSTOR_KERNEL:
      if (lunId == -1) StampCreationTime(desc, lun);
      return CreatePlatformOnlyLun(ctx, desc.args(), platform, lun);
    case BSTOR_FSBLB:
      // The FSBLB library must be there, but its LUNs are the platform's.
      if (ctx.Services().GetUserDefBStoreOps(BSTOR_FSBLB) == nullptr) return ctx.Refuse(R::BSTORE_MISSING, FX_HERE);
      if (lunId == -1) StampCreationTime(desc, lun);
      return CreatePlatformOnlyLun(ctx, desc.args(), platform, lun);
    case BSTOR_RBD:
      // The gateway's own Ceph identity, whatever the request carries.
      lun.extData = ctx.Services().RbdIdentity();
      break;
    case BSTOR_BLKDEV:
    case BSTOR_DEVSNAP:
    case BSTOR_RESERVED5:
      break;
    default:
      return ctx.Refuse(R::BSTORE_TYPE, FX_HERE);
  }

  WzScsiBStorOps* ops = ctx.Services().GetUserDefBStoreOps(lun.bstorType);
  lun.bstorOps = ops;
  if (ops == nullptr) return ctx.Refuse(R::BSTORE_MISSING, FX_HERE);
  if (lunId == -1) StampCreationTime(desc, lun);
  return WzScsiSrvRunLunSequence(ctx, kWzScsiSrvCreateSequence, ops, platform, desc, lun);
}

}  // namespace
