// The platform driver contract: the object a platform driver library
// ("libWzScsiSrvLio.so", entry "GetWZScsiPlatformObj") supplies and the
// service drives to configure the SCSI target engine.
//
// Every operation reports success or failure only; on success the service
// changes its own tables. Records passed in stay the service's: the driver
// keeps no reference to them beyond the call. The service never undoes a
// failed CreateTarget, CreateLun, MapHost or UnMapHost; a retry calls the
// same operation again, so operations should tolerate what a failed earlier
// attempt left behind.
//
// Threads: the service calls the operations from its worker threads, one
// call at a time (the service's model lock serialises them); Init and
// CleanUp from the host's thread.
#pragma once

#include "drivers/WzScsiSrvRecords.h"
#include "hostlib/errors/CRnError.h"

class WZ_EXPORT WzScsiSrvPlatform {
 public:
  // 1: once, right after the object is obtained.
  virtual CRnError Init() = 0;
  // 2: target is the new record (empty LUN table), not yet in the table.
  virtual CRnError CreateTarget(WzScsiSrvModelTarget& target) = 0;
  // 3: the stored record; its LUN table is empty.
  virtual CRnError DeleteTarget(WzScsiSrvModelTarget& target) = 0;
  // 4: the LUN being created, with bstoreCtx, path and size filled in. When
  // lun->lunId is -1 the driver assigns the number (sets lunId); otherwise it
  // uses the given number (replay).
  virtual CRnError CreateLun(WzScsiSrvLun* lun) = 0;
  // 5: the LUN record; also the roll-back of a CreateLun whose backing-store
  // commit failed.
  virtual CRnError DeleteLun(WzScsiSrvLun* lun) = 0;
  // 6: host not yet in the LUN's host table.
  virtual CRnError MapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) = 0;
  // 7: the stored host record.
  virtual CRnError UnMapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) = 0;
  // 8, 9: not called by the service; reserved for the driver's own use.
  virtual CRnError Reserved8() { return CRnError(); }
  virtual CRnError Reserved9() { return CRnError(); }
  // 10: last call before the service is unloaded; the result is ignored.
  virtual CRnError CleanUp() = 0;
  virtual ~WzScsiSrvPlatform() = default;
};

extern "C" typedef WzScsiSrvPlatform* (*GetWZScsiPlatformObj_t)();
#define WZSCSI_PLATFORM_ENTRY "GetWZScsiPlatformObj"
#define WZSCSI_PLATFORM_LIB_NAME "libWzScsiSrvLio.so"
