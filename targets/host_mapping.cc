// MapLun2Host and UnMapLun2Host: granting and withdrawing one host's access
// to one LUN. The platform driver is asked first and the model follows its
// success.
#include "change/target_names.h"
#include "hostlib/log/LogWriter.h"
#include "targets/target_handlers.h"

using namespace WzScsiServer;
using R = WzScsiSrvRefusal;

namespace {

// The requests carry the LUN number in the low 32 bits of a 64-bit field.
int32_t LunNumberOf(int64_t field) { return static_cast<int32_t>(static_cast<uint32_t>(field)); }

}  // namespace

CRnError WzScsiSrvMapHostWork(MapLun2Host& request, MapLun2HostRsp&, WzScsiSrvHandlerContext& ctx) {
  const int32_t number = LunNumberOf(request.lunId());
  const std::string hostId = request.hostId();
  ctx.RefusalNames().host = hostId;
  WZLOG(1, "Mapping Host: TargetID [%s], HostID:[%s], LunID [%d]", ctx.TargetName().c_str(), hostId.c_str(), number);
  if (!IsValidHostId(hostId)) return ctx.Refuse(R::INVALID_HOST_ID, FX_HERE);
  if (ctx.Target() != nullptr && ctx.Target()->luns.count(number) == 0 &&
      ctx.Services().IsUnrestoredLun(ctx.TargetName(), number))
    return ctx.Refuse(R::LUN_NOT_RESTORED, FX_HERE);
  WzScsiSrvModelLun* lun = nullptr;
  if (CRnError e = WzScsiSrvFindLun(ctx, number, lun)) return e;
  if (lun->hosts.count(hostId) != 0) return ctx.Refuse(R::HOST_MAPPED, FX_HERE);

  WzScsiSrvModelHost host(hostId, std::string());
  WzScsiSrvPlatform* platform = ctx.Platform();
  if (CRnError e = platform != nullptr ? platform->MapHost(*lun, host) : NoPlatformError(FX_HERE)) {
    WZLOG(-1, "Platform MapHost failed, error=%s", e.AsString().c_str());
    return ctx.Refuse(R::PLATFORM_MAP_HOST, FX_HERE);
  }
  ctx.OnUndo([platform, lun, host]() mutable {
    if (CRnError e = platform->UnMapHost(*lun, host))
      WZLOG(-1, "Undo of the mapping of %s failed: %s", host.hostId.c_str(), e.AsString().c_str());
  });
  ctx.Commit([lun, host]() { lun->hosts[host.hostId] = host; });
  ctx.Succeed();
  return CRnError();
}

CRnError WzScsiSrvUnMapHostWork(UnMapLun2Host& request, UnMapLun2HostRsp&, WzScsiSrvHandlerContext& ctx) {
  const int32_t number = LunNumberOf(request.lunId());
  const std::string hostId = request.hostId();
  ctx.RefusalNames().host = hostId;
  WZLOG(1, "Unmapping Host: TargetID [%s], HostID [%s], LunID [%d]", ctx.TargetName().c_str(), hostId.c_str(), number);
  if (!IsValidHostId(hostId)) return ctx.Refuse(R::INVALID_HOST_ID, FX_HERE);
  WzScsiSrvModelLun* lun = nullptr;
  if (CRnError e = WzScsiSrvFindLun(ctx, number, lun)) return e;
  auto host = lun->hosts.find(hostId);
  if (host == lun->hosts.end()) return ctx.Refuse(R::HOST_NOT_MAPPED, FX_HERE);
  if (CRnError e = ctx.SetAside()) return e;
  WzScsiSrvPlatform* platform = ctx.Platform();
  ctx.Commit([lun, hostId]() { lun->hosts.erase(hostId); });
  if (CRnError e = platform != nullptr ? platform->UnMapHost(*lun, host->second) : NoPlatformError(FX_HERE)) {
    // A revocation of record (another gateway's unmap) leaves the model at
    // once: nothing may grant it again, and the engine step is retried.
    if (!ctx.FromClient()) ctx.KeepChangeOnFailure();
    return ctx.Refuse(R::PLATFORM_UNMAP_HOST, FX_HERE, e);
  }
  ctx.Succeed();
  return CRnError();
}
