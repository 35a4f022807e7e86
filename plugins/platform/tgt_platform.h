// WzScsiSrvTgtPlatform: the platform driver on tgtd, the userspace SCSI
// target daemon, driven through its management socket.
//
// Settings (configuration store, section "WzScsiSrvTgt"; a key missing there
// is read from the section "WzScsiSrvLio", where configurations written
// before the kernel target driver existed keep it):
//   TgtdControlSocket  tgtd's management socket; default: $TGT_IPC_SOCKET
//                      plus ".0" when that variable is set, else
//                      /var/run/tgtd/socket.0
//   TgtdPortal         "address:port" that tgtd must listen on; Init adds it
//                      when tgtd lacks it. Empty: not checked.
//
// Mapping onto tgtd:
// - a target is a tgtd target of the same name; its tid is tgtd's business:
//   the driver takes the lowest free one, or adopts the target tgtd already
//   holds under that name, and persists nothing;
// - a LUN is a tgtd logical unit (numbers 1 to 255; LUN 0 is tgtd's
//   controller) backed by the LUN's path; a new LUN gets the lowest free
//   number, a replayed one its saved number; an existing unit of that number
//   is adopted when its backing file is the same and is a conflict otherwise;
// - tgtd controls access per target, not per LUN, so a host mapped to any LUN
//   of a target is bound to the whole target by initiator name; the driver
//   counts each host's mappings per target and unbinds it when the last one
//   goes. No target is ever opened to all initiators.
//
// Restart: the driver keeps a picture of tgtd (read at Init, kept up to date
// by its own requests, read again whenever tgtd's process changes), so a
// replay after a restart of the service adopts what tgtd holds and changes
// nothing, and initiator sessions survive.
//
// Thread safety: all operations may be called from any thread; an internal
// lock serialises them.
#pragma once

#include <sys/types.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "drivers/WzScsiSrvPlatform.h"
#include "plugins/tgt/tgt_client.h"
#include "plugins/tgt/tgt_state.h"

class WzScsiSrvTgtPlatform : public WzScsiSrvPlatform {
 public:
  static constexpr const char* kSection = "WzScsiSrvTgt";
  static constexpr const char* kLegacySection = "WzScsiSrvLio";
  static constexpr const char* kKeyControlSocket = "TgtdControlSocket";
  static constexpr const char* kKeyPortal = "TgtdPortal";
  static constexpr int32_t kMaxLunNumber = 255;

  WzScsiSrvTgtPlatform() = default;
  ~WzScsiSrvTgtPlatform() override = default;
  WzScsiSrvTgtPlatform(const WzScsiSrvTgtPlatform&) = delete;
  WzScsiSrvTgtPlatform& operator=(const WzScsiSrvTgtPlatform&) = delete;

  // Reads the settings, reaches tgtd (a clear error when it does not run),
  // checks the portal and reads what tgtd holds.
  CRnError Init() override;
  CRnError CreateTarget(WzScsiSrvModelTarget& target) override;
  CRnError DeleteTarget(WzScsiSrvModelTarget& target) override;
  CRnError CreateLun(WzScsiSrvLun* lun) override;
  CRnError DeleteLun(WzScsiSrvLun* lun) override;
  CRnError MapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) override;
  CRnError UnMapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) override;
  // Forgets tgtd; tgtd keeps its configuration (targets are not torn down).
  CRnError CleanUp() override;

 private:
  // Host id -> LUN numbers of one target mapped to it.
  typedef std::map<std::string, std::set<int32_t>> HostLuns;

  CRnError ReadSettings(std::string& socketPath, std::string& portal);
  CRnError EnsurePortal();
  CRnError ReadTgtd();
  CRnError ReadTgtdIfRestarted();
  CRnError FindTarget(const std::string& targetId, wztgt::TgtTargetInfo*& target);
  CRnError CreateTargetLocked(const std::string& name);
  CRnError CreateLunLocked(WzScsiSrvLun& lun, bool mayReread);
  CRnError DeleteLunLocked(const WzScsiSrvLun& lun);
  CRnError MapHostLocked(const WzScsiSrvModelLun& lun, const std::string& host);
  CRnError UnMapHostLocked(const WzScsiSrvModelLun& lun, const std::string& host);

  std::mutex m_lock;
  std::unique_ptr<wztgt::TgtClient> m_client;  // null before Init and after CleanUp
  std::string m_portal;
  pid_t m_tgtdPid = 0;           // the tgtd process m_tgtd describes
  wztgt::TgtTargetTable m_tgtd;  // what tgtd holds, as far as the driver knows
  std::map<std::string, HostLuns> m_hostLuns;  // by lower-cased target name
  // Numbers of closed snapshot LUNs, by lower-cased target name: they are out
  // of tgtd but still configured, so a new LUN must not take their number.
  // Lost at a restart, which does no harm: the replay re-creates closed LUNs
  // under their numbers.
  std::map<std::string, std::set<int32_t>> m_closedLuns;
};
