// The creation sequence of a LUN with a backing store, shared by a new LUN
// and the open of a closed snapshot LUN: the store's prepare, the platform's
// CreateLun, the store's commit; the store's abort when the platform fails,
// the platform's DeleteLun when the commit fails. And its undo, for a LUN
// whose creation cannot be saved.
//
// Thread safety: called under the target's change lock.
#pragma once

#include "change/handler_context.h"
#include "drivers/WzScsiBStorOps.h"
#include "drivers/WzScsiSrvPlatform.h"

// The refusals of one use of the sequence (their texts differ).
struct WzScsiSrvLunSequence {
  WzScsiSrvRefusal prepare;
  WzScsiSrvRefusal platform;
  WzScsiSrvRefusal commit;
};
extern const WzScsiSrvLunSequence kWzScsiSrvCreateSequence;
extern const WzScsiSrvLunSequence kWzScsiSrvOpenSequence;

CRnError WzScsiSrvRunLunSequence(WzScsiSrvHandlerContext& ctx, const WzScsiSrvLunSequence& texts, WzScsiBStorOps* ops,
                                 WzScsiSrvPlatform* platform, WzScsiServer::BStoreDesc& desc, WzScsiSrvLun& lun);
// Takes a LUN that the drivers have just created out of them again; logs
// what fails.
void WzScsiSrvUndoLun(WzScsiSrvLun& lun);
