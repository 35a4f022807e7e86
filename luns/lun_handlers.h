// The work of the LUN requests: each runs inside the service's handler frame
// (which answers, records and changes the model) and sees only its context
// (change/handler_context.h). The service object's CreateLunInternal,
// OpenLun and DeleteLun bind them to their request classes.
//
// Thread safety: each runs under its target's change lock.
#pragma once

#include <cstdint>

#include "change/handler_context.h"
#include "messages/WzScsiServerMessages.h"

// The creation transaction: the record built and filled from the argument
// string, the checks every source passes (the target, the arguments, the
// backing path, the -ti option), then the drivers in the order of the
// backing-store type. lunId -1: a new LUN, numbered by the drivers;
// otherwise the saved number (a replay).
CRnError WzScsiSrvCreateLunWork(WzScsiServer::CreateLun& request, WzScsiServer::CreateLunRsp& reply,
                                WzScsiSrvHandlerContext& ctx, int32_t lunId);
// Opening a closed DevSnap LUN (a CreateLun with the OpenOnly flag).
CRnError WzScsiSrvOpenLunWork(WzScsiServer::CreateLun& request, WzScsiServer::CreateLunRsp& reply,
                              WzScsiSrvHandlerContext& ctx);
// Growing a LUN (luns/lun_resize.cc).
CRnError WzScsiSrvResizeLunWork(WzScsiServer::ResizeLun& request, WzScsiServer::ResizeLunRsp& reply,
                                WzScsiSrvHandlerContext& ctx);
// Deleting a LUN, or closing a DevSnap LUN (the CloseOnly flag).
CRnError WzScsiSrvDeleteLunWork(WzScsiServer::DeleteLun& request, WzScsiServer::DeleteLunRsp& reply,
                                WzScsiSrvHandlerContext& ctx);
