// Reconcile: the engine holds exactly the configuration. What the engine
// holds of the service's objects (the driver's ListOwned) is compared with
// the model; targets, LUNs and host bindings the engine lacks are created,
// those the configuration lacks are removed. Objects of other tools never
// appear in the driver's view, so they are never touched.
//
// And the engine watch: a thread that polls the engine's instance and
// reconciles when the engine restarted (or came back), and compares the two
// every so often without changing anything, logging each new difference.
#include <chrono>
#include <ctime>
#include <set>

#include "actionlog/action_log_layout.h"
#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/errors/no_throw.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/FXString.h"
#include "service/handler_frame.h"

namespace {

const char* const kSection = "Quellport";
// Seconds between two comparisons of the engine with the configuration; 0: never.
const char* const kCheckIntervalKey = "nEngineCheckIntervalSecs";
constexpr uint64_t kDefaultCheckIntervalSecs = 60;
// Milliseconds between two looks at the engine's instance.
const char* const kPollKey = "nEngineWatchPollMs";
constexpr uint64_t kDefaultPollMs = 1000;

uint64_t Setting(const char* key, uint64_t fallback) {
  uint64_t value = 0;
  return WZPlatformInfo::getNumber(kSection, key, value).IsSuccess() ? value : fallback;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// One difference and, unless a dry run, its fix.
struct Fix {
  std::string what;
  std::function<CRnError()> apply;
};

std::string LunName(const std::string& target, int32_t lun) { return target + ":" + std::to_string(lun); }

}  // namespace

WzScsiSrv::ReconcileReport WzScsiSrv::LastReconcile() {
  WzMutexLock lock(&m_reportMutex);
  return m_lastReconcile;
}

WzScsiSrv::ReconcileReport WzScsiSrv::LastDriftCheck() {
  WzMutexLock lock(&m_reportMutex);
  return m_lastDriftCheck;
}

CRnError WzScsiSrv::Reconcile(bool dryRun, const std::string& why, ReconcileReport& report) {
  report = ReconcileReport();
  report.ran = true;
  report.dryRun = dryRun;
  report.periodicCheck = why == "periodic check";
  report.why = why;
  report.at = static_cast<int64_t>(::time(nullptr));
  const int64_t started = NowMs();
  CRnError result;
  {
    // No change runs meanwhile: the view and the model stay what was compared.
    WzWriterLock gate(&m_changeGate);
    result =
        WzNoThrow(FX_HERE, "Reconcile", [&]() WZ_NO_THREAD_SAFETY_ANALYSIS { return ReconcileLocked(dryRun, report); });
  }
  report.seconds = static_cast<double>(NowMs() - started) / 1000.0;
  if (result.IsError()) report.error = result.AsString();
  {
    WzMutexLock lock(&m_reportMutex);
    (report.periodicCheck ? m_lastDriftCheck : m_lastReconcile) = report;
  }
  if (!report.periodicCheck && (!report.differences.empty() || result.IsError()))
    WZLOG(result.IsError() || report.failed != 0 ? -1 : 0,
          "Reconcile (%s)%s: %zu differences, %zu not fixed%s%s, %.3f s", why.c_str(), dryRun ? ", dry run" : "",
          report.differences.size(), report.failed, result.IsError() ? "; " : "",
          result.IsError() ? report.error.c_str() : "", report.seconds);
  return result;
}

CRnError WzScsiSrv::ReconcileLocked(bool dryRun, ReconcileReport& report) {
  WzScsiSrvPlatform* platform = m_ptrPlatform.get();
  if (platform == nullptr) return NoPlatformError(FX_HERE);
  WzScsiSrvEngineView view;
  if (CRnError e = platform->ListOwned(view)) return e.Push(FX_HERE, "cannot read what the engine holds");
  const TargetMap model = SnapshotTargets();
  std::set<std::string> unrestoredTargets;
  std::map<std::string, std::set<int32_t>> unrestoredLuns;
  {
    WzMutexLock lock(&m_reportMutex);
    unrestoredTargets = m_unrestoredTargets;
    unrestoredLuns = m_unrestoredLuns;
  }
  auto unrestoredLun = [&](const std::string& target, int32_t lun) {
    auto it = unrestoredLuns.find(target);
    return it != unrestoredLuns.end() && it->second.count(lun) != 0;
  };

  // Removals first, so that a number or a name the configuration gives
  // another object is free before it is created.
  std::vector<Fix> removals, creations;
  auto orphan = [&](WzScsiSrvOrphan::Kind kind, const std::string& target, int32_t lun, const std::string& host) {
    WzScsiSrvOrphan o;
    o.kind = kind;
    o.targetId = target;
    o.lunId = lun;
    o.hostId = host;
    return [platform, o]() { return platform->RemoveOrphan(o); };
  };

  for (const auto& held : view.targets) {
    const std::string& name = held.first;
    if (model.count(name) != 0) continue;
    // Saved but not restored: the engine holding it matches the saved
    // configuration, which a reload restores.
    if (unrestoredTargets.count(WzScsiSrvActionLog::TargetDirName(name)) != 0) continue;
    removals.push_back({"remove target " + name + " (not in the configuration)",
                        orphan(WzScsiSrvOrphan::TARGET, name, -1, std::string())});
  }

  for (const auto& configured : model) {
    const std::string& name = configured.first;
    const Target& target = configured.second;
    static const WzScsiSrvEngineTarget kNothing;
    auto heldIt = view.targets.find(name);
    const bool targetHeld = heldIt != view.targets.end();
    const WzScsiSrvEngineTarget& held = targetHeld ? heldIt->second : kNothing;
    if (!targetHeld) {
      Target bare(static_cast<const WzScsiSrvTarget&>(target));
      bare.chap = target.chap;  // the engine gets the credentials with the target, before any binding
      creations.push_back(
          {"create target " + name, [platform, bare]() mutable { return platform->CreateTarget(bare); }});
    }

    // LUNs.
    for (const auto& unit : held.luns) {
      auto mine = target.luns.find(unit.first);
      if (mine == target.luns.end()) {
        if (unrestoredLun(name, unit.first)) continue;
        removals.push_back({"remove LUN " + LunName(name, unit.first) + " (not in the configuration)",
                            orphan(WzScsiSrvOrphan::LUN, name, unit.first, std::string())});
      } else if (!mine->second.closed && !mine->second.path.empty() && !unit.second.path.empty() &&
                 unit.second.path != mine->second.path) {
        removals.push_back({"remove LUN " + LunName(name, unit.first) + " (the engine serves " + unit.second.path +
                                " instead of " + mine->second.path + ")",
                            orphan(WzScsiSrvOrphan::LUN, name, unit.first, std::string())});
        WzScsiSrvLun lun = mine->second;
        creations.push_back({"create LUN " + LunName(name, unit.first) + " on " + lun.path,
                             [platform, lun]() mutable { return platform->CreateLun(&lun); }});
      }
    }
    for (const auto& unit : target.luns) {
      if (unit.second.closed || held.luns.count(unit.first) != 0) continue;
      WzScsiSrvLun lun = unit.second;
      creations.push_back({"create LUN " + LunName(name, unit.first) + " on " + lun.path,
                           [platform, lun]() mutable { return platform->CreateLun(&lun); }});
    }

    // Host bindings.
    if (view.perLunAccess) {
      for (const auto& host : held.hosts)
        for (int32_t lun : host.second) {
          auto mine = target.luns.find(lun);
          if (mine != target.luns.end() && mine->second.hosts.count(host.first) != 0) continue;
          if (mine == target.luns.end() && unrestoredLun(name, lun)) continue;
          removals.push_back(
              {"remove host " + host.first + " from LUN " + LunName(name, lun) + " (not in the configuration)",
               orphan(WzScsiSrvOrphan::HOST, name, lun, host.first)});
        }
      for (const auto& unit : target.luns) {
        if (unit.second.closed) continue;
        for (const auto& host : unit.second.hosts) {
          auto hostHeld = held.hosts.find(host.first);
          if (hostHeld != held.hosts.end() && hostHeld->second.count(unit.first) != 0) continue;
          Lun lun = unit.second;
          Host h = host.second;
          creations.push_back({"map host " + host.first + " to LUN " + LunName(name, unit.first),
                               [platform, lun, h]() mutable { return platform->MapHost(lun, h); }});
        }
      }
    } else {
      // The engine grants whole targets: a host belongs while it is mapped
      // to any LUN of the target.
      std::map<std::string, std::vector<int32_t>> wanted;
      for (const auto& unit : target.luns)
        for (const auto& host : unit.second.hosts) wanted[host.first].push_back(unit.first);
      for (const auto& host : held.hosts) {
        if (wanted.count(host.first) != 0) continue;
        removals.push_back({"remove host " + host.first + " from target " + name + " (not in the configuration)",
                            orphan(WzScsiSrvOrphan::HOST, name, -1, host.first)});
      }
      for (const auto& host : wanted) {
        if (held.hosts.count(host.first) != 0) continue;
        std::vector<Lun> luns;
        for (int32_t n : host.second) luns.push_back(target.luns.at(n));
        Host h = target.luns.at(host.second.front()).hosts.at(host.first);
        creations.push_back({"map host " + host.first + " to target " + name, [platform, luns, h]() mutable {
                               // Every mapping, so that the driver counts them all.
                               for (Lun& lun : luns)
                                 if (CRnError e = platform->MapHost(lun, h)) return e;
                               return CRnError();
                             }});
      }
    }
  }

  for (std::vector<Fix>* fixes : {&removals, &creations}) {
    for (Fix& fix : *fixes) {
      if (m_stopping.load()) return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "stopped");
      if (dryRun) {
        report.differences.push_back(fix.what);
        continue;
      }
      CRnError e = WzNoThrow(FX_HERE, "A reconcile step", fix.apply);
      if (e.IsError()) {
        ++report.failed;
        report.differences.push_back(fix.what + ": failed: " + e.AsString());
        WZLOG(-1, "Reconcile: %s failed: %s", fix.what.c_str(), e.AsString().c_str());
      } else {
        report.differences.push_back(fix.what + ": done");
        WZLOG(1, "Reconcile: %s", fix.what.c_str());
      }
    }
  }
  return CRnError();
}

// ---------------------------------------------------------------- the engine watch

void WzScsiSrv::StartEngineWatch() {
  if (m_watchThread || !m_ptrPlatform) return;
  {
    WzMutexLock lock(&m_watchMutex);
    m_watchStop = false;
  }
  m_engineInstance = m_ptrPlatform->EngineInstance();
  m_watchThread = std::make_unique<std::thread>([this] { EngineWatchLoop(); });
}

void WzScsiSrv::StopEngineWatch() {
  if (!m_watchThread) return;
  {
    WzMutexLock lock(&m_watchMutex);
    m_watchStop = true;
  }
  m_watchWake.SignalAll();
  m_watchThread->join();
  m_watchThread.reset();
}

void WzScsiSrv::EngineWatchLoop() WZ_NO_THREAD_SAFETY_ANALYSIS {
  const uint64_t pollMs = std::max<uint64_t>(10, Setting(kPollKey, kDefaultPollMs));
  const uint64_t checkSecs = Setting(kCheckIntervalKey, kDefaultCheckIntervalSecs);
  int64_t nextCheck = NowMs() + static_cast<int64_t>(checkSecs * 1000);
  std::set<std::string> logged;  // drift already reported once
  for (;;) {
    {
      WzMutexLock lock(&m_watchMutex);
      const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(pollMs);
      while (!m_watchStop && std::chrono::steady_clock::now() < until)
        m_watchWake.WaitFor(&m_watchMutex, until - std::chrono::steady_clock::now());
      if (m_watchStop) return;
    }
    const uint64_t before = m_engineInstance.load();
    const uint64_t now = m_ptrPlatform->EngineInstance();
    m_engineInstance = now;
    if (now == 0 && before != 0) WZLOG(-1, "The SCSI target engine cannot be reached; changes fail until it is back");
    if (now != 0 && now != before) {
      // A new engine holds nothing of what the old one held (or the engine
      // came back): bring it back to the configuration, with no request.
      WZLOG(0, before == 0 ? "The SCSI target engine is back; reconciling"
                           : "The SCSI target engine restarted; reconciling");
      ReconcileReport report;
      CRnError ignored = Reconcile(false, "engine restart", report);
      (void)ignored;
      logged.clear();
    }
    if (checkSecs != 0 && NowMs() >= nextCheck && now != 0) {
      nextCheck = NowMs() + static_cast<int64_t>(checkSecs * 1000);
      ReconcileReport report;
      if (Reconcile(true, "periodic check", report).IsSuccess()) {
        std::set<std::string> current(report.differences.begin(), report.differences.end());
        for (const std::string& difference : current)
          if (logged.count(difference) == 0)
            WZLOG(-1, "The engine differs from the configuration: %s (wzscsictl reconcile fixes it)",
                  difference.c_str());
        logged.swap(current);
      }
    }
  }
}
