// Where LUNs may be backed: the setting BackingStoreDirs of section
// Quellport, a comma-separated list of directories and block devices. A new
// LUN's file or device must resolve, after following links, to a path under
// one of the directories or to one of the devices (named explicitly; "/dev"
// as a whole is never a directory of the list). Without the setting any path
// is allowed, as before, and the start logs a warning.
//
// An RBD LUN's path is "POOL/IMAGE" instead: its pool must be one of the
// setting RbdPools (none: no RBD LUN), and the Ceph identity its store and
// engine connect with comes from RbdConfFile and RbdUser, never from a
// client.
//
// Thread safety: pure functions of the file system, but the claim table
// (WzScsiSrvBackingClaims), which locks itself.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "drivers/WzScsiSrvRecords.h"
#include "hostlib/errors/CRnError.h"
#include "hostlib/util/wz_mutex.h"

struct WzScsiSrvBackingStorePolicy {
  bool restricted = false;
  std::vector<std::string> dirs;     // resolved, each ending in "/"
  std::vector<std::string> devices;  // resolved
  std::vector<std::string> rbdPools;
  std::string rbdIdentity;  // "conf=FILE;id=USER", an RBD LUN's extData
};

// The policy of the setting's value (WzScsiSrvSettings::backingStoreDirs, as
// Initialize read it; "" allows any path). A listed entry that does not exist
// is an error (a mistyped directory would otherwise refuse everything
// silently).
CRnError WzScsiSrvReadBackingStorePolicy(const std::string& value, WzScsiSrvBackingStorePolicy& policy);
// Success when the policy allows path; the refusal's reason otherwise.
CRnError WzScsiSrvCheckBackingStore(const WzScsiSrvBackingStorePolicy& policy, const std::string& path);

// Reads RbdConfFile, RbdUser and RbdPools into policy. The names must be
// ones every tool on the path passes unquoted (letters, digits, '.', '_',
// '-'); the file must be an absolute name. The file itself is read only when
// an RBD LUN connects (Ceph may be installed after the gateway).
CRnError WzScsiSrvReadRbdPolicy(const std::string& confFile, const std::string& user, const std::string& pools,
                                WzScsiSrvBackingStorePolicy& policy);
// Success when the policy allows lun's backing: the file or device of its
// path, or for an RBD LUN the pool of its "POOL/IMAGE". A file or device
// path is replaced by its resolved form (links followed), which is what was
// checked: the engine and the saved request get that one, so a link changed
// after the check cannot point a later re-creation elsewhere. A block
// device keeps the name given (a stable /dev/disk/by-id name), and a path
// that does not resolve is left as it is when the policy allows any path.
CRnError WzScsiSrvCheckLunBacking(const WzScsiSrvBackingStorePolicy& policy, WzScsiSrvLun& lun);

// Why a LUN's path cannot be used whatever the policy; NONE when it can.
enum class WzScsiSrvPathFault { NONE, RELATIVE, BLANKS };
// The fault of lun's path (an empty path has none): a file or device path
// must be absolute (the service's and the engine's working directories
// differ), and no path may start or end with a blank or hold a control
// character (the engine's listings trim them, so the LUN would never match).
WzScsiSrvPathFault WzScsiSrvLunPathFault(const WzScsiSrvLun& lun);

// The identity of a backing file or device: for a block device its device
// number, for anything else its file system's device and inode.
struct WzScsiSrvBackingId {
  bool blockDevice = false;
  uint64_t dev = 0;
  uint64_t ino = 0;
  bool operator==(const WzScsiSrvBackingId& other) const {
    return blockDevice == other.blockDevice && dev == other.dev && ino == other.ino;
  }
};
// False when path cannot be stat'ed.
bool WzScsiSrvBackingIdOf(const std::string& path, WzScsiSrvBackingId& id);

class WzScsiSrvBackingClaims;

// A backing file held for a LUN being created, from the check that it is
// free until the model holds the LUN (Release, under the model lock) or the
// create failed (the claim is destroyed).
class WzScsiSrvBackingClaim {
 public:
  WzScsiSrvBackingClaim(WzScsiSrvBackingClaims& table, const WzScsiSrvBackingId& id) : m_table(table), m_id(id) {}
  WzScsiSrvBackingClaim(const WzScsiSrvBackingClaim&) = delete;
  WzScsiSrvBackingClaim& operator=(const WzScsiSrvBackingClaim&) = delete;
  ~WzScsiSrvBackingClaim() { Release(); }
  // Idempotent.
  void Release();

 private:
  WzScsiSrvBackingClaims& m_table;
  const WzScsiSrvBackingId m_id;
  bool m_released = false;  // used by the one thread of the create
};

// The backing files of the LUNs being created. Creates on different targets
// run at once: without a claim taken at the check, two of them could both
// find a file free and both export it. The table outlives every claim (the
// service owns it; its creates end before it goes).
class WzScsiSrvBackingClaims {
 public:
  // Claims id, named path, for LUN lunId of target (-1: a new LUN, not
  // numbered yet). Empty when claimed (claim holds it); else the LUN being
  // created that holds it ("a LUN being created on target T (its path)"),
  // and claim is null. The same LUN again (the same target and a number) is
  // no other user.
  std::string Claim(const WzScsiSrvBackingId& id, const std::string& path, const std::string& target, int32_t lunId,
                    std::shared_ptr<WzScsiSrvBackingClaim>& claim) WZ_EXCLUDES(m_mutex);

 private:
  friend class WzScsiSrvBackingClaim;
  using Key = std::tuple<bool, uint64_t, uint64_t>;
  struct Holder {
    std::string target;
    std::string path;
    int32_t lunId = -1;
    int count = 0;
  };
  static Key KeyOf(const WzScsiSrvBackingId& id) { return Key(id.blockDevice, id.dev, id.ino); }
  void Release(const WzScsiSrvBackingId& id) WZ_EXCLUDES(m_mutex);

  WzMutex m_mutex;
  std::map<Key, Holder> m_held WZ_GUARDED_BY(m_mutex);
};
