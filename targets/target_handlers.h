// The work of the target and host-mapping requests: each runs inside the
// service's handler frame (which answers, records and changes the model) and
// sees only its context (change/handler_context.h). The service object's
// CreateTarget, DeleteTarget, MapHost, UnMapHost and SetTargetAuth bind
// them to their request classes.
//
// Thread safety: each runs under its target's change lock.
#pragma once

#include "change/handler_context.h"
#include "messages/WzScsiServerMessages.h"

// A target: the name rule, then the platform's CreateTarget; its undo takes
// the target down again when the change cannot be recorded.
CRnError WzScsiSrvCreateTargetWork(WzScsiServer::CreateTarget& request, WzScsiServer::CreateTargetRsp& reply,
                                   WzScsiSrvHandlerContext& ctx);
// Only a target without LUNs goes; a target saved but never restored loses
// only its saved configuration.
CRnError WzScsiSrvDeleteTargetWork(WzScsiServer::DeleteTarget& request, WzScsiServer::DeleteTargetRsp& reply,
                                   WzScsiSrvHandlerContext& ctx);
// One host's access to one LUN. Host ids are compared exactly (Host1 and
// host1 are two hosts).
CRnError WzScsiSrvMapHostWork(WzScsiServer::MapLun2Host& request, WzScsiServer::MapLun2HostRsp& reply,
                              WzScsiSrvHandlerContext& ctx);
CRnError WzScsiSrvUnMapHostWork(WzScsiServer::UnMapLun2Host& request, WzScsiServer::UnMapLun2HostRsp& reply,
                                WzScsiSrvHandlerContext& ctx);
// CHAP of one target (secrets never reach a log line).
CRnError WzScsiSrvSetTargetAuthWork(WzScsiServer::SetTargetAuth& request, WzScsiServer::SetTargetAuthRsp& reply,
                                    WzScsiSrvHandlerContext& ctx);
