// Where LUNs may be backed: the setting BackingStoreDirs of section
// Quellport, a comma-separated list of directories and block devices. A new
// LUN's file or device must resolve, after following links, to a path under
// one of the directories or to one of the devices (named explicitly; "/dev"
// as a whole is never a directory of the list). Without the setting any path
// is allowed, as before, and the start logs a warning.
//
// Thread safety: pure functions of the file system.
#pragma once

#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"

struct WzScsiSrvBackingStorePolicy {
  bool restricted = false;
  std::vector<std::string> dirs;     // resolved, each ending in "/"
  std::vector<std::string> devices;  // resolved
};

// The policy of the setting's value (WzScsiSrvSettings::backingStoreDirs, as
// Initialize read it; "" allows any path). A listed entry that does not exist
// is an error (a mistyped directory would otherwise refuse everything
// silently).
CRnError WzScsiSrvReadBackingStorePolicy(const std::string& value, WzScsiSrvBackingStorePolicy& policy);
// Success when the policy allows path; the refusal's reason otherwise.
CRnError WzScsiSrvCheckBackingStore(const WzScsiSrvBackingStorePolicy& policy, const std::string& path);
