// Placeholders for handlers still being written; each is removed when its
// real implementation lands.
#include "service/WzScsiSrv.h"

namespace {
CRnError NotYet(const FXCodeLocation& where) {
  return FXErrorUtil::ErrorWin32(where, 50, "not implemented yet");
}
}  // namespace

CRnError WzScsiSrv::CreateLun(CWzNetwork*, CNMessageBase*) { return NotYet(FX_HERE); }
CRnError WzScsiSrv::CreateLunInternal(CWzNetwork*, CNMessageBase*, int32_t) { return NotYet(FX_HERE); }
CRnError WzScsiSrv::DeleteLun(CWzNetwork*, CNMessageBase*) { return NotYet(FX_HERE); }
CRnError WzScsiSrv::MapHost(CWzNetwork*, CNMessageBase*) { return NotYet(FX_HERE); }
CRnError WzScsiSrv::UnMapHost(CWzNetwork*, CNMessageBase*) { return NotYet(FX_HERE); }
