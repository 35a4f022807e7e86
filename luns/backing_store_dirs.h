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
// Thread safety: pure functions of the file system.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "drivers/WzScsiSrvRecords.h"
#include "hostlib/errors/CRnError.h"

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
