// WzScsiSrvLioPlatform: the platform driver on the Linux kernel's own SCSI
// target (LIO), configured through configfs. It grants access per initiator
// and per LUN: each mapped host gets a node ACL on the target's portal group
// with one mapped LUN per mapping, under the same number the service reports.
//
// Settings (configuration store, section "WzScsiSrvLio"):
//   ConfigfsRoot  the kernel target's configfs directory; default
//                 /sys/kernel/config/target
//   Portal        "address:port" every target listens on ("[addr]:port" for
//                 IPv6); default 0.0.0.0:3260
//
// Mapping onto configfs (plugins/lio/lio_names.h has the paths and the rule
// by which the driver knows its own objects):
// - a target is an iSCSI target of the same name with portal group 1: the
//   portal, authentication off, no ACLs generated for unknown initiators
//   (generate_node_acls=0), the service's marker, enabled;
// - a LUN is a fileio backstore (regular file) or an iblock backstore (block
//   device) with the LUN's unit serial (drivers/unit_serial.h), enabled, and
//   linked as lun_<N> of the portal group. An RBD LUN ("POOL/IMAGE") is an
//   iblock backstore on the block device the kernel's rbd driver maps the
//   image to (plugins/lio/krbd.h), with the gateway's Ceph identity (the
//   LUN's extData); its udev_path names the image, by which a replay adopts
//   it and the reconcile compares it. A mapping of the image that is there
//   already is reused, and removing the backstore unmaps the image unless
//   another backstore serves it. Numbers run from 0 to 255; a new
//   LUN gets the lowest number that is neither in use nor held by a closed
//   snapshot LUN;
// - a mapping is the mapped LUN lun_<N> of the host's node ACL; the ACL is
//   made with the host's first mapping on the target and removed with its
//   last, which ends the host's sessions and refuses its next login.
// - CHAP: the portal group's attrib/authentication is 1 while the target has
//   CHAP on (0 off), and every node ACL of the target carries the target's
//   credentials (auth/userid and auth/password; auth/userid_mutual and
//   auth/password_mutual for mutual CHAP, "NULL" otherwise, which is how
//   the kernel clears them). Credentials go into every ACL before
//   authentication is switched on, and authentication off before they are
//   cleared; a host mapped later gets them in its new ACL before its first
//   mapped LUN. The driver keeps each target's CHAP as CreateTarget and
//   SetTargetAuth last gave it, for those later ACLs. CreateTarget turns
//   CHAP on when target.chap is on but never off on a target it adopts: a
//   replay may set CHAP only after the creation.
// Removal goes in the reverse order. A failed operation takes back what it
// made, so a retry starts from where the engine was.
//
// Reservations: the kernel keeps the persistent reservations that an
// initiator asks to survive a power loss (APTPL) as files in <dbroot>/pr,
// dbroot being the configfs attribute of that name (/var/target on a kernel
// without it), and refuses such a reservation when the directory is missing.
// Init creates it; when it cannot (dbroot not writable), it points dbroot
// at /var/target with its pr directory, which the kernel takes only while
// it has no backstore (older kernels: while no fabric module is loaded).
// When neither works the service still starts, and the log and the status
// (engine.reservations) say why.
//
// Restart: the kernel keeps its configuration across a restart of the
// service, so sessions survive it; a replay adopts what configfs holds (same
// target, same LUN number on the same backing path, same mapped LUN) and
// changes nothing. Objects of other tools are never changed or removed: a
// target of the same name that is not the service's is refused.
//
// Thread safety: all operations may be called from any thread; an internal
// lock serialises them.
#pragma once

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "drivers/WzScsiSrvPlatform.h"
#include "hostlib/util/wz_mutex.h"
#include "plugins/lio/configfs.h"

class WzScsiSrvLioPlatform : public WzScsiSrvPlatform {
 public:
  static constexpr const char* kSection = "WzScsiSrvLio";
  static constexpr const char* kKeyConfigfsRoot = "ConfigfsRoot";
  static constexpr const char* kKeyPortal = "Portal";
  static constexpr const char* kDefaultConfigfsRoot = "/sys/kernel/config/target";
  static constexpr const char* kDefaultPortal = "0.0.0.0:3260";
  // Read by EngineInstance.
  static constexpr const char* kBootIdFile = "/proc/sys/kernel/random/boot_id";
  static constexpr const char* kModulesFile = "/proc/modules";
  // Where the kernel keeps reservations when configfs has no dbroot.
  static constexpr const char* kDefaultDbRoot = "/var/target";

  // fs: the tree to work on; null: the system's.
  explicit WzScsiSrvLioPlatform(std::unique_ptr<WzLioConfigFs> fs = nullptr);
  ~WzScsiSrvLioPlatform() override = default;
  WzScsiSrvLioPlatform(const WzScsiSrvLioPlatform&) = delete;
  WzScsiSrvLioPlatform& operator=(const WzScsiSrvLioPlatform&) = delete;

  // Reads the settings, checks that the kernel target is there (its configfs
  // root exists and the iSCSI fabric loads), and removes backstores of the
  // service that no LUN uses (left by a crash in the middle of a creation).
  CRnError Init() override;
  CRnError CreateTarget(WzScsiSrvModelTarget& target) override;
  CRnError DeleteTarget(WzScsiSrvModelTarget& target) override;
  CRnError CreateLun(WzScsiSrvLun* lun) override;
  CRnError DeleteLun(WzScsiSrvLun* lun) override;
  CRnError MapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) override;
  CRnError UnMapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) override;
  CRnError ListOwned(WzScsiSrvEngineView& view) override;
  CRnError RemoveOrphan(const WzScsiSrvOrphan& orphan) override;
  // Forgets the settings; the kernel keeps serving what it holds.
  CRnError CleanUp() override;
  // Writes the credentials into the target's ACLs and switches
  // authentication on, or off.
  CRnError SetTargetAuth(WzScsiSrvModelTarget& target, const WzScsiSrvChap& chap) override;
  // A hash of the kernel's boot id and of where target_core_mod is loaded
  // (it moves when the module is loaded again, which empties configfs);
  // 0 while the configfs root does not exist.
  uint64_t EngineInstance() override;
  // engine.reservations: "ready: DIR" or "unavailable: WHY", once Init ran.
  void EngineFacts(std::vector<std::string>& lines) override;

 private:
  // One LUN of a portal group as configfs shows it.
  struct TpgLun {
    std::string backstore;  // name of the linked backstore; "" when none is linked
    std::string hbaDir;     // the service's HBA directory holding it; "" when not the service's
  };

  CRnError ReadSettings() WZ_REQUIRES(m_lock);
  CRnError CheckReady(const FXCodeLocation& where) const WZ_REQUIRES(m_lock);
  // Makes <dbroot>/pr, or points dbroot where it can make it; records and
  // logs (when it changed) what came of it. Never fails the start.
  void PrepareReservations() WZ_REQUIRES(m_lock);
  // Makes dir (and its parent) unless it is a directory already.
  CRnError EnsureDir(const std::string& dir) WZ_REQUIRES(m_lock);

  // Paths.
  std::string IscsiDir() const WZ_REQUIRES(m_lock);
  std::string TargetDir(const std::string& targetId) const WZ_REQUIRES(m_lock);
  std::string TpgDir(const std::string& targetId) const WZ_REQUIRES(m_lock);
  std::string TpgLunDir(const std::string& targetId, int32_t lunId) const WZ_REQUIRES(m_lock);
  std::string AclDir(const std::string& targetId, const std::string& host) const WZ_REQUIRES(m_lock);
  std::string HbaDir(bool blockDevice) const WZ_REQUIRES(m_lock);

  // Reading configfs.
  enum class Owner { kAbsent, kOurs, kForeign };
  Owner TargetOwner(const std::string& targetId) WZ_REQUIRES(m_lock);
  CRnError ReadTpgLuns(const std::string& targetId, std::map<int32_t, TpgLun>& luns) WZ_REQUIRES(m_lock);
  // Its directory, "" when absent.
  std::string FindBackstore(const std::string& name) WZ_REQUIRES(m_lock);
  CRnError ReadBackstorePath(const std::string& dir, std::string& path) WZ_REQUIRES(m_lock);
  CRnError CheckOurTarget(const std::string& targetId, bool& exists) WZ_REQUIRES(m_lock);

  // Changing configfs.
  CRnError CreateTargetLocked(const std::string& targetId, const WzScsiSrvChap& chap) WZ_REQUIRES(m_lock);
  // adopted: the portal group was there before the call.
  CRnError ConfigureTpg(const std::string& targetId, const WzScsiSrvChap& chap, bool adopted) WZ_REQUIRES(m_lock);
  // authentication and the credentials of every ACL, in the safe order.
  CRnError ApplyAuthLocked(const std::string& targetId, const WzScsiSrvChap& chap) WZ_REQUIRES(m_lock);
  // Whether the portal group asks for CHAP and an ACL has credentials.
  bool HoldsChap(const std::string& targetId) WZ_REQUIRES(m_lock);
  // One ACL's credentials: chap's when on, cleared when off.
  CRnError WriteAclAuth(const std::string& acl, const WzScsiSrvChap& chap) WZ_REQUIRES(m_lock);
  CRnError EnsurePortal(const std::string& targetId) WZ_REQUIRES(m_lock);
  CRnError RemoveTargetLocked(const std::string& targetId) WZ_REQUIRES(m_lock);
  CRnError CreateLunLocked(WzScsiSrvLun& lun) WZ_REQUIRES(m_lock);
  CRnError ChooseLunNumber(const std::string& targetId, const std::map<int32_t, TpgLun>& luns, int32_t& number)
      WZ_REQUIRES(m_lock);
  CRnError MakeBackstore(const WzScsiSrvLun& lun, const std::string& name, std::string& dir) WZ_REQUIRES(m_lock);
  CRnError RemoveLunLocked(const std::string& targetId, int32_t lunId, const std::string& expectedPath)
      WZ_REQUIRES(m_lock);
  // With an RBD LUN's backstore, the kernel's mapping of its image goes too
  // unless another backstore serves the image.
  CRnError RemoveBackstore(const std::string& dir) WZ_REQUIRES(m_lock);
  // Unmaps image ("POOL/IMAGE") unless a backstore still serves it.
  CRnError UnmapUnusedImage(const std::string& image) WZ_REQUIRES(m_lock);
  CRnError MapHostLocked(const std::string& targetId, int32_t lunId, const std::string& host) WZ_REQUIRES(m_lock);
  CRnError UnMapHostLocked(const std::string& targetId, int32_t lunId, const std::string& host) WZ_REQUIRES(m_lock);
  CRnError RemoveAcl(const std::string& targetId, const std::string& host) WZ_REQUIRES(m_lock);
  CRnError RemoveUnusedBackstores() WZ_REQUIRES(m_lock);
  CRnError ListOwnedLocked(WzScsiSrvEngineView& view) WZ_REQUIRES(m_lock);
  // Removes path when it is there; what is gone already is no error.
  CRnError RemoveDirIfPresent(const std::string& path) WZ_REQUIRES(m_lock);
  CRnError UnlinkIfPresent(const std::string& path) WZ_REQUIRES(m_lock);

  WzMutex m_lock;
  std::unique_ptr<WzLioConfigFs> m_fs WZ_GUARDED_BY(m_lock);
  bool m_ready WZ_GUARDED_BY(m_lock) = false;  // Init succeeded, CleanUp not yet called
  std::string m_root WZ_GUARDED_BY(m_lock);
  std::string m_portal WZ_GUARDED_BY(m_lock);
  // Numbers of closed snapshot LUNs, by target: out of the kernel but still
  // configured, so a new LUN must not take them. Lost at a restart, which
  // does no harm: the replay brings closed LUNs back open.
  std::map<std::string, std::set<int32_t>> m_closedLuns WZ_GUARDED_BY(m_lock);
  // CHAP of the targets that have it on, by target, for the ACLs of hosts
  // mapped later. Lost at a restart; the replay's CreateTarget brings it.
  std::map<std::string, WzScsiSrvChap> m_chap WZ_GUARDED_BY(m_lock);
  // Its own lock: the status reads it while a long change holds m_lock.
  WzMutex m_factsLock WZ_ACQUIRED_AFTER(m_lock);
  std::string m_reservations WZ_GUARDED_BY(m_factsLock);  // "" before Init
};
