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
// path, or for an RBD LUN the pool of its "POOL/IMAGE".
CRnError WzScsiSrvCheckLunBacking(const WzScsiSrvBackingStorePolicy& policy, const WzScsiSrvLun& lun);
