// Opening a closed DevSnap LUN: a CreateLun with the OpenOnly flag runs the
// backing store's and the platform's create sequence again on the LUN's
// existing record, with the OpenOnly variable exported, and leaves the
// model's tables and the action log as they are. An open is never saved,
// not even when the OpenOnly variable could not be exported: the LUN's saved
// file must keep its creation request, from which replay rebuilds it.
#include "hostlib/log/LogWriter.h"
#include "luns/lun_args.h"
#include "luns/lun_handlers.h"
#include "luns/lun_req_flags.h"
#include "luns/lun_sequence.h"

using namespace WzScsiServer;
using R = WzScsiSrvRefusal;

CRnError WzScsiSrvOpenLunWork(WzScsiServer::CreateLun& request, CreateLunRsp& reply, WzScsiSrvHandlerContext& ctx) {
  int32_t number = -1;
  if (CRnError e = GetLunId(request.bstoreDesc().args(), number)) return ctx.Refuse(R::OPEN_LUN_ID, FX_HERE, e);
  WzScsiSrvModelLun* lun = nullptr;
  if (CRnError e = WzScsiSrvFindLun(ctx, number, lun, R::OPEN_LUN_MISSING, R::OPEN_LUN_MISSING)) return e;
  if (lun->bstorType != BSTOR_DEVSNAP)
    return ctx.Refuse(R::OPEN_NOT_DEVSNAP, FX_HERE,
                      FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                              "LUN [%d] target [%s] is not a DevSnap LUN. OpenLun not supported "
                                              "for non DevSnap LUN.",
                                              number, ctx.TargetName().c_str()));
  if (lun->bstorOps == nullptr)
    return ctx.Refuse(
        R::OPEN_PREPARE, FX_HERE,
        FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "LUN has no backing-store operations"));

  // Exported for as long as the drivers run.
  LunReqFlagHandler openOnly(OpenOnly, request.contextFlags(), false);
  if (!openOnly.isSet())
    WZLOG(-1, "LUN [%s:%d] opened without the OpenOnly variable; the request is not saved", lun->targetId.c_str(),
          lun->lunId);
  // The drivers fill a copy; the record changes under the model lock.
  WzScsiSrvLun opened = *lun;
  if (CRnError e = WzScsiSrvRunLunSequence(ctx, kWzScsiSrvOpenSequence, opened.bstorOps, ctx.Platform(),
                                           request.bstoreDesc(), opened))
    return e;
  ctx.Commit([lun, opened]() {
    static_cast<WzScsiSrvLun&>(*lun) = opened;
    lun->closed = false;
  });
  WZLOG(1, "Lun is opened.");
  // The reply of an open names no LUN, as it always has; only an open
  // without the variable (an odd case) says which it opened.
  if (!openOnly.isSet()) {
    reply.setSerialPrefix(opened.serialPrefix);
    reply.setLunId(opened.lunId);
  }
  return CRnError();
}
