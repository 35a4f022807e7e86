// Growing a LUN: its backing store grows (an RBD image through its store; a
// regular file backing a block-device LUN, by extending the file), then the
// engine is made to serve the new size. tgtd reads a unit's size only when
// the unit is added, so the LUN is taken out of the engine and added again
// under its number, with its identity (serial prefix, number) and its host
// mappings, all inside the target's change lock; initiators see the unit
// missing for that moment and then a capacity change. Nothing is saved: the
// size is the backing store's, and a replay reads it from there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "hostlib/log/LogWriter.h"
#include "luns/lun_handlers.h"

using namespace WzScsiServer;
using R = WzScsiSrvRefusal;

namespace {

constexpr uint64_t kBlockBytes = 512;

// Extends the regular file at path to bytes (a file already that long is
// left as it is); a block device cannot be grown here.
CRnError GrowFile(const std::string& path, uint64_t bytes) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot open %s: %s", path.c_str(), std::strerror(errno));
  struct stat st;
  CRnError result;
  if (::fstat(fd, &st) != 0) {
    result = FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot read the size of %s", path.c_str());
  } else if (!S_ISREG(st.st_mode)) {
    result = FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                     "%s is not a regular file: grow the device itself", path.c_str());
  } else if (static_cast<uint64_t>(st.st_size) < bytes &&
             (::ftruncate(fd, static_cast<off_t>(bytes)) != 0 || ::fsync(fd) != 0)) {
    result = FXErrorUtil::ErrorErrNo(FX_HERE, errno, "cannot extend %s: %s", path.c_str(), std::strerror(errno));
  }
  ::close(fd);
  return result;
}

// The LUN out of the engine and back with its number, identity and hosts.
CRnError ServeAgain(WzScsiSrvPlatform& platform, WzScsiSrvModelLun& lun) {
  if (CRnError e = platform.DeleteLun(&lun)) return e;
  if (CRnError e = platform.CreateLun(&lun)) return e;
  for (auto& host : lun.hosts)
    if (CRnError e = platform.MapHost(lun, host.second)) return e;
  return CRnError();
}

}  // namespace

CRnError WzScsiSrvResizeLunWork(WzScsiServer::ResizeLun& request, ResizeLunRsp&, WzScsiSrvHandlerContext& ctx) {
  const auto number = static_cast<int32_t>(static_cast<uint32_t>(request.lunId()));
  WzScsiSrvModelLun* lun = nullptr;
  if (CRnError e = WzScsiSrvFindLun(ctx, number, lun)) return e;
  const int64_t asked = request.size();
  const uint64_t bytes = asked > 0 ? static_cast<uint64_t>(asked) : 0;
  WZLOG(1, "Resizing LUN %d of target %s from %llu to %lld bytes", number, ctx.TargetName().c_str(),
        static_cast<unsigned long long>(lun->size), static_cast<long long>(asked));
  if (bytes == 0 || bytes % kBlockBytes != 0)
    return ctx.Refuse(R::RESIZE_INVALID, FX_HERE, CRnError(),
                      std::to_string(asked) + " bytes is not a positive multiple of 512");
  if (bytes < lun->size)
    return ctx.Refuse(R::RESIZE_INVALID, FX_HERE, CRnError(),
                      "it holds " + std::to_string(lun->size) + " bytes; shrinking would cut off data");
  if (lun->closed) return ctx.Refuse(R::RESIZE_INVALID, FX_HERE, CRnError(), "the LUN is closed; open it first");

  CRnError grown;
  if (lun->bstorType == BSTOR_RBD && lun->bstorOps != nullptr) {
    grown = lun->bstorOps->ResizeLun(lun->bstoreCtx, bytes);
  } else if (lun->bstorType == BSTOR_BLKDEV && !lun->path.empty()) {
    grown = GrowFile(lun->path, bytes);
  } else {
    return ctx.Refuse(R::RESIZE_INVALID, FX_HERE, CRnError(),
                      "only RBD LUNs and block-device LUNs on a regular file can grow");
  }
  if (grown.IsError()) return ctx.Refuse(R::RESIZE_BSTORE, FX_HERE, grown);

  WzScsiSrvPlatform* platform = ctx.Platform();
  WzScsiSrvModelLun served = *lun;
  served.size = bytes;
  CRnError again = platform != nullptr ? ServeAgain(*platform, served) : NoPlatformError(FX_HERE);
  if (again.IsError()) {
    // The reconcile puts back what the engine lacks; the model says the size
    // the backing store has now either way.
    WZLOG(-1, "LUN %d of target %s grew to %llu bytes but the engine did not take it: %s", number,
          ctx.TargetName().c_str(), static_cast<unsigned long long>(bytes), again.AsString().c_str());
  }
  WzScsiSrvModelTarget* target = ctx.Target();
  ctx.Commit([target, number, bytes]() { target->luns[number].size = bytes; });
  if (again.IsError()) {
    ctx.KeepChangeOnFailure();
    return ctx.Refuse(R::RESIZE_ENGINE, FX_HERE, again);
  }
  ctx.Succeed();
  return CRnError();
}
