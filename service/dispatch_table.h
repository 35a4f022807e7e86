// The dispatch table: which request class each tag id is, and who serves it.
// One table, read top to bottom; a tag id occurs in it at most once.
//
// Thread safety: constant data.
#pragma once

#include <cstddef>
#include <cstdint>

#include "hostlib/pool/WzThreadPool.h"
#include "service/WzScsiSrv.h"

struct WzScsiSrvDispatchRow {
  typedef CRnError (WzScsiSrv::*Handler)(CWzNetwork*, CNMessageBase*);
  const WzScsiServer::ClassId* cls;
  Handler handler;  // null: recognised but not served (answered with an error)
  WzWorkFunction worker;
  const WzScsiServer::ClassId* reply;  // the class that answers it
};

// The rows, and their number.
const WzScsiSrvDispatchRow* WzScsiSrvDispatchRows(size_t& count);
// The row of a tag id; null for a message this service does not recognise.
const WzScsiSrvDispatchRow* WzScsiSrvFindDispatchRow(uint32_t tagId);
