// The platform driver contract: the object a platform driver library
// ("libWzScsiSrvLio.so" for the Linux kernel target, "libWzScsiSrvTgt.so" for
// tgtd; entry "GetWZScsiPlatformObj") supplies and the service drives to
// configure the SCSI target engine.
//
// Every operation reports success or failure only; on success the service
// changes its own tables. Records passed in stay the service's: the driver
// keeps no reference to them beyond the call. The service never undoes a
// failed CreateTarget, CreateLun, MapHost or UnMapHost; a retry calls the
// same operation again, so operations should tolerate what a failed earlier
// attempt left behind.
//
// Threads: the service calls the operations from its worker threads and its
// engine watch: calls for one target one at a time (its change lock), calls
// for different targets at once; ListOwned and RemoveOrphan while no change
// runs (the change gate); EngineInstance at any time. Init and CleanUp from
// the host's thread.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "drivers/WzScsiSrvRecords.h"
#include "hostlib/errors/CRnError.h"

// What an engine holds of the service's own objects, as a driver reads it
// back (ListOwned). Objects of other tools are never listed.
struct WzScsiSrvEngineLun {
  int32_t lunId = 0;
  std::string path;    // backing file or device
  std::string serial;  // unit serial number (VPD page 0x80) as the engine reports it
  // What the engine derives the designators of VPD page 0x83 from, which
  // initiators group paths by (tgtd's scsi_id, the kernel target's
  // vpd_unit_serial); the service sets it to the unit serial. Empty: the
  // engine does not report it.
  std::string identity;
};
struct WzScsiSrvEngineTarget {
  std::string targetId;  // lower-cased
  std::map<int32_t, WzScsiSrvEngineLun> luns;
  // Initiator name -> LUN numbers it is granted. On an engine that grants
  // whole targets (perLunAccess false) the sets are empty: the binding is
  // to the target.
  std::map<std::string, std::set<int32_t>> hosts;
};
struct WzScsiSrvEngineView {
  bool perLunAccess = true;
  std::map<std::string, WzScsiSrvEngineTarget> targets;  // by lower-cased id
};

// One engine object the configuration lacks, for RemoveOrphan.
struct WzScsiSrvOrphan {
  enum Kind : int32_t { TARGET = 0, LUN = 1, HOST = 2 };
  Kind kind = TARGET;
  std::string targetId;
  int32_t lunId = -1;  // LUN and HOST; -1 for a whole-target binding
  std::string hostId;  // HOST
};

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
  // 8: what the engine holds of this service's objects (targets the driver
  // made or adopted, their LUNs and initiator bindings); for reconcile.
  virtual CRnError ListOwned(WzScsiSrvEngineView& view) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("platform"), 50, "the platform driver cannot list what it holds");
  }
  // 9: removes one object the configuration lacks: a target with everything
  // under it, a LUN, or an initiator's binding. Removing what is already
  // gone succeeds.
  virtual CRnError RemoveOrphan(const WzScsiSrvOrphan& orphan) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("platform"), 50, "the platform driver cannot remove orphans");
  }
  // 10: last call before the service is unloaded; the result is ignored.
  virtual CRnError CleanUp() = 0;
  // 11: an identity of the running engine instance that changes when the
  // engine restarts (tgtd's process id, for one); 0 while the engine cannot
  // be reached. Cheap: the service polls it to notice an engine restart.
  virtual uint64_t EngineInstance() { return 1; }
  // 12: sets (or, chap.enabled false, removes) the target's CHAP
  // authentication, for the initiators bound now and those bound later.
  // target carries the chap the model held before the call.
  virtual CRnError SetTargetAuth(WzScsiSrvModelTarget& target, const WzScsiSrvChap& chap) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("platform"), 50, "the platform driver has no CHAP authentication");
  }
  // 13: "engine.KEY=VALUE" lines about the engine that the service adds to
  // its status, at any time; cheap, it never waits for a change in progress.
  virtual void EngineFacts(std::vector<std::string>& lines) { (void)lines; }
  virtual ~WzScsiSrvPlatform() = default;
};

extern "C" typedef WzScsiSrvPlatform* (*GetWZScsiPlatformObj_t)();
#define WZSCSI_PLATFORM_ENTRY "GetWZScsiPlatformObj"
#define WZSCSI_PLATFORM_LIB_NAME "libWzScsiSrvLio.so"      // the Linux kernel target (LIO)
#define WZSCSI_PLATFORM_TGT_LIB_NAME "libWzScsiSrvTgt.so"  // tgtd
