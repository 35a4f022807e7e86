// The reconcile's plan: what the engine must be told so that it holds
// exactly the configuration. A pure function of what the engine holds of the
// service's objects (the driver's ListOwned) and of the model: targets, LUNs
// and host bindings the engine lacks are created, those the configuration
// lacks are removed. Objects of other tools never appear in the engine's
// view, so they are never touched; saved objects that could not be restored
// and closed snapshot LUNs are no difference.
//
// Thread safety: a pure function.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "drivers/WzScsiSrvPlatform.h"
#include "drivers/WzScsiSrvRecords.h"

struct WzScsiSrvReconcileAction {
  enum Kind {
    REMOVE_TARGET,  // an orphan target, with everything under it
    REMOVE_LUN,     // an orphan LUN, or one the engine serves from another path
    REMOVE_HOST,    // an orphan binding (lun -1: to the whole target)
    CREATE_TARGET,  // a configured target, with its CHAP
    CREATE_LUN,     // a configured LUN
    MAP_HOST,       // a configured binding (lun -1: every LUN the host is mapped to)
  };
  Kind kind;
  std::string target;
  int32_t lun = -1;
  std::string host;
  std::string what;  // the line of the report ("create LUN iqn.a:0 on /dev/a0")
};

// What the last replay could not restore: the engine may hold it as saved.
struct WzScsiSrvUnrestored {
  std::set<std::string> targetDirs;               // action-log directory names
  std::map<std::string, std::set<int32_t>> luns;  // by target
};

// What the cluster removed while the engine could not follow: the model may
// still hold it until its removal goes through, but nothing of it is
// created or granted again.
struct WzScsiSrvWithheld {
  std::set<std::string> targets;
  std::map<std::string, std::set<int32_t>> luns;  // by target

  bool Target(const std::string& target) const { return targets.count(target) != 0; }
  bool Lun(const std::string& target, int32_t lun) const {
    if (Target(target)) return true;
    auto it = luns.find(target);
    return it != luns.end() && it->second.count(lun) != 0;
  }
  bool Empty() const { return targets.empty() && luns.empty(); }
};

typedef std::map<std::string, WzScsiSrvModelTarget> WzScsiSrvModelTargets;

// Removals first, so that a number or a name the configuration gives another
// object is free before it is created.
std::vector<WzScsiSrvReconcileAction> WzScsiSrvPlanReconcile(const WzScsiSrvEngineView& engine,
                                                             const WzScsiSrvModelTargets& model,
                                                             const WzScsiSrvUnrestored& unrestored,
                                                             const WzScsiSrvWithheld& withheld = WzScsiSrvWithheld());
