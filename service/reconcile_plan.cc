#include "service/reconcile_plan.h"

#include "actionlog/action_log_layout.h"
#include "drivers/unit_serial.h"

namespace {

typedef WzScsiSrvReconcileAction A;

// What tells one disk from another, as far as the engine reports it: a LUN
// the engine serves under the same number with another identity is another
// disk and is replaced. A field the engine does not report is empty and
// matches anything.
struct LunIdentity {
  std::string path;
  std::string serial;

  static LunIdentity Of(const WzScsiSrvEngineLun& held) { return LunIdentity{held.path, held.serial}; }
  static LunIdentity Of(const WzScsiSrvModelLun& mine) {
    return LunIdentity{mine.path, WzScsiSrvUnitSerial(mine.serialPrefix, mine.targetId, mine.lunId)};
  }
  // Why other is another disk ("" when it is the same).
  std::string Differs(const LunIdentity& other) const {
    auto differs = [](const std::string& a, const std::string& b) { return !a.empty() && !b.empty() && a != b; };
    if (differs(path, other.path)) return "the engine serves " + path + " instead of " + other.path;
    if (differs(serial, other.serial)) return "the engine serves unit serial " + serial + " instead of " + other.serial;
    return std::string();
  }
};

std::string LunName(const std::string& target, int32_t lun) { return target + ":" + std::to_string(lun); }

// The plan of one configured target (and what the engine holds of it).
class TargetPlan {
 public:
  TargetPlan(const std::string& name, const WzScsiSrvModelTarget& target, const WzScsiSrvEngineTarget& held,
             bool targetHeld, const WzScsiSrvUnrestored& unrestored, const WzScsiSrvWithheld& withheld,
             std::vector<A>& removals, std::vector<A>& creations)
      : m_name(name),
        m_target(target),
        m_held(held),
        m_targetHeld(targetHeld),
        m_unrestored(unrestored),
        m_withheld(withheld),
        m_removals(removals),
        m_creations(creations) {}

  void Make(bool perLunAccess) {
    if (!m_targetHeld) {
      // Removed by the cluster, its removal not through yet: never again.
      if (m_withheld.Target(m_name)) return;
      Add(m_creations, A::CREATE_TARGET, -1, std::string(), "create target " + m_name);
    }
    Luns();
    if (perLunAccess) {
      LunBindings();
    } else {
      TargetBindings();
    }
  }

 private:
  bool Unrestored(int32_t lun) const {
    auto it = m_unrestored.luns.find(m_name);
    return it != m_unrestored.luns.end() && it->second.count(lun) != 0;
  }

  void Add(std::vector<A>& to, A::Kind kind, int32_t lun, const std::string& host, std::string what) {
    to.push_back(A{kind, m_name, lun, host, std::move(what)});
  }

  void Luns() {
    for (const auto& unit : m_held.luns) {
      auto mine = m_target.luns.find(unit.first);
      const std::string name = LunName(m_name, unit.first);
      if (mine == m_target.luns.end()) {
        if (Unrestored(unit.first)) continue;
        Add(m_removals, A::REMOVE_LUN, unit.first, std::string(), "remove LUN " + name + " (not in the configuration)");
      } else if (!mine->second.closed) {
        const std::string why = LunIdentity::Of(unit.second).Differs(LunIdentity::Of(mine->second));
        if (!why.empty()) {
          Add(m_removals, A::REMOVE_LUN, unit.first, std::string(), "remove LUN " + name + " (" + why + ")");
          if (m_withheld.Lun(m_name, unit.first)) continue;
          Add(m_creations, A::CREATE_LUN, unit.first, std::string(), "create LUN " + name + " on " + mine->second.path);
        } else if (!unit.second.identity.empty() &&
                   unit.second.identity != WzScsiSrvUnitSerial(mine->second.serialPrefix, m_name, unit.first) &&
                   !m_withheld.Lun(m_name, unit.first)) {
          // The same disk under another SCSI identity: initiators would take
          // the paths for different disks. The driver adopts the unit and
          // sets its identity again, sessions kept.
          Add(m_creations, A::CREATE_LUN, unit.first, std::string(),
              "create LUN " + name + " on " + mine->second.path + " (the engine reports identity " +
                  unit.second.identity + ")");
        }
      }
    }
    for (const auto& unit : m_target.luns) {
      if (unit.second.closed || m_held.luns.count(unit.first) != 0) continue;
      if (m_withheld.Lun(m_name, unit.first)) continue;
      Add(m_creations, A::CREATE_LUN, unit.first, std::string(),
          "create LUN " + LunName(m_name, unit.first) + " on " + unit.second.path);
    }
  }

  void LunBindings() {
    for (const auto& host : m_held.hosts)
      for (int32_t lun : host.second) {
        auto mine = m_target.luns.find(lun);
        if (mine != m_target.luns.end() && mine->second.hosts.count(host.first) != 0) continue;
        if (mine == m_target.luns.end() && Unrestored(lun)) continue;
        Add(m_removals, A::REMOVE_HOST, lun, host.first,
            "remove host " + host.first + " from LUN " + LunName(m_name, lun) + " (not in the configuration)");
      }
    for (const auto& unit : m_target.luns) {
      if (unit.second.closed || m_withheld.Lun(m_name, unit.first)) continue;
      for (const auto& host : unit.second.hosts) {
        auto held = m_held.hosts.find(host.first);
        if (held != m_held.hosts.end() && held->second.count(unit.first) != 0) continue;
        Add(m_creations, A::MAP_HOST, unit.first, host.first,
            "map host " + host.first + " to LUN " + LunName(m_name, unit.first));
      }
    }
  }

  // The engine grants whole targets: a host belongs while it is mapped to
  // any LUN of the target.
  void TargetBindings() {
    std::set<std::string> wanted;
    for (const auto& unit : m_target.luns) {
      if (m_withheld.Lun(m_name, unit.first)) continue;
      for (const auto& host : unit.second.hosts) wanted.insert(host.first);
    }
    for (const auto& host : m_held.hosts) {
      if (wanted.count(host.first) != 0) continue;
      Add(m_removals, A::REMOVE_HOST, -1, host.first,
          "remove host " + host.first + " from target " + m_name + " (not in the configuration)");
    }
    for (const std::string& host : wanted) {
      if (m_held.hosts.count(host) != 0) continue;
      Add(m_creations, A::MAP_HOST, -1, host, "map host " + host + " to target " + m_name);
    }
  }

  const std::string& m_name;
  const WzScsiSrvModelTarget& m_target;
  const WzScsiSrvEngineTarget& m_held;
  const bool m_targetHeld;
  const WzScsiSrvUnrestored& m_unrestored;
  const WzScsiSrvWithheld& m_withheld;
  std::vector<A>& m_removals;
  std::vector<A>& m_creations;
};

}  // namespace

std::vector<WzScsiSrvReconcileAction> WzScsiSrvPlanReconcile(const WzScsiSrvEngineView& engine,
                                                             const WzScsiSrvModelTargets& model,
                                                             const WzScsiSrvUnrestored& unrestored,
                                                             const WzScsiSrvWithheld& withheld) {
  std::vector<A> removals, creations;
  for (const auto& held : engine.targets) {
    const std::string& name = held.first;
    if (model.count(name) != 0) continue;
    // Saved but not restored: the engine holding it matches the saved
    // configuration, which a reload restores.
    if (unrestored.targetDirs.count(WzScsiSrvActionLog::TargetDirName(name)) != 0) continue;
    removals.push_back(
        A{A::REMOVE_TARGET, name, -1, std::string(), "remove target " + name + " (not in the configuration)"});
  }
  static const WzScsiSrvEngineTarget kNothing;
  for (const auto& configured : model) {
    auto held = engine.targets.find(configured.first);
    const bool targetHeld = held != engine.targets.end();
    TargetPlan(configured.first, configured.second, targetHeld ? held->second : kNothing, targetHeld, unrestored,
               withheld, removals, creations)
        .Make(engine.perLunAccess);
  }
  removals.insert(removals.end(), creations.begin(), creations.end());
  return removals;
}
