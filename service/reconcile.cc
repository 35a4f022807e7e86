// Reconcile: the engine holds exactly the configuration. The plan
// (service/reconcile_plan.h) says what the engine must be told; each of its
// actions then runs through the change path every change takes (the
// target's lock, the checks a client's request passes, the engine step),
// recording nothing: the model holds the configuration already.
//
// And the engine watch: a periodic worker that polls the engine's instance
// and reconciles when the engine restarted (or came back), and every few
// seconds reconciles what drifted (another tool deleted one of the service's
// targets, a `tgt-admin --update ALL` dropped a binding): the engine decides
// who reads which disk, so a drift left in place until someone looks is an
// outage or an exposure. Only the service's own objects are listed, so what
// other tools made is never touched.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <set>

#include "actionlog/action_log_layout.h"
#include "change/target_names.h"
#include "hostlib/errors/no_throw.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/FXString.h"
#include "hostlib/util/wz_clock.h"
#include "luns/backing_store_dirs.h"
#include "service/handler_frame.h"
#include "service/reconcile_plan.h"
#include "service/request_counters.h"

WzScsiSrv::ReconcileReport WzScsiSrv::LastReconcile() {
  WzMutexLock lock(&m_reportMutex);
  return m_lastReconcile;
}

WzScsiSrv::ReconcileReport WzScsiSrv::LastDriftCheck() {
  WzMutexLock lock(&m_reportMutex);
  return m_lastDriftCheck;
}

WzScsiSrv::ReconcileReport WzScsiSrv::LastDryRun() {
  WzMutexLock lock(&m_reportMutex);
  return m_lastDryRun;
}

CRnError WzScsiSrv::Reconcile(bool dryRun, const std::string& why, ReconcileReport& report) {
  report = ReconcileReport();
  report.ran = true;
  report.dryRun = dryRun;
  report.periodicCheck = why == "periodic check";
  report.why = why;
  report.at = static_cast<int64_t>(::time(nullptr));
  const int64_t started = WzNowMs();
  CRnError result;
  {
    // No change runs meanwhile: the view and the model stay what was compared.
    result = WzNoThrow(FX_HERE, "Reconcile", [&] {
      WzWriterLock gate(&m_changeGate);
      return ReconcileLocked(dryRun, report);
    });
  }
  report.seconds = static_cast<double>(WzNowMs() - started) / 1000.0;
  if (result.IsError()) report.error = result.AsString();
  {
    WzMutexLock lock(&m_reportMutex);
    (report.periodicCheck ? m_lastDriftCheck : dryRun ? m_lastDryRun : m_lastReconcile) = report;
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
  // A fenced gateway serves nothing: the engine is brought to an empty
  // configuration, and back to the model once it is current.
  const bool fenced = m_fenced.load();
  const TargetMap model = fenced ? TargetMap() : SnapshotTargets();
  WzScsiSrvUnrestored unrestored;
  WzScsiSrvWithheld withheld;
  if (!fenced) {
    WzMutexLock lock(&m_reportMutex);
    unrestored.targetDirs = m_unrestoredTargets;
    unrestored.luns = m_unrestoredLuns;
    withheld = m_withheld;
  }
  for (const WzScsiSrvReconcileAction& action : WzScsiSrvPlanReconcile(view, model, unrestored, withheld)) {
    if (m_stopping.load()) return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "stopped");
    if (dryRun) {
      report.differences.push_back(action.what);
      continue;
    }
    // The periodic check logs once what it repaired and what it could not,
    // not at every round.
    if (CRnError e = ReconcileStep(action, model)) {
      ++report.failed;
      report.differences.push_back(action.what + ": failed: " + e.AsString());
      report.unfixed[action.what] = e.AsString();
      if (!report.periodicCheck) WZLOG(-1, "Reconcile: %s failed: %s", action.what.c_str(), e.AsString().c_str());
    } else {
      report.differences.push_back(action.what + ": done");
      report.repaired.push_back(action.what);
      if (!report.periodicCheck) WZLOG(1, "Reconcile: %s", action.what.c_str());
    }
  }
  return CRnError();
}

CRnError WzScsiSrv::ReconcileStep(const WzScsiSrvReconcileAction& action, const TargetMap& model) {
  typedef WzScsiSrvReconcileAction A;
  namespace Q = WzScsiSrvRequests;
  WzScsiSrvPlatform* platform = m_ptrPlatform.get();
  switch (action.kind) {
    case A::REMOVE_TARGET:
    case A::REMOVE_LUN:
    case A::REMOVE_HOST: {
      WzScsiSrvOrphan orphan;
      orphan.kind = action.kind == A::REMOVE_TARGET ? WzScsiSrvOrphan::TARGET
                    : action.kind == A::REMOVE_LUN  ? WzScsiSrvOrphan::LUN
                                                    : WzScsiSrvOrphan::HOST;
      orphan.targetId = action.target;
      orphan.lunId = action.lun;
      orphan.hostId = action.host;
      auto work = [&](WzScsiSrvHandlerContext&) { return platform->RemoveOrphan(orphan); };
      return RunChange(action.kind == A::REMOVE_TARGET ? Q::kReconcileTarget
                       : action.kind == A::REMOVE_LUN  ? Q::kReconcileLun
                                                       : Q::kReconcileHost,
                       action.target, WzScsiSrvWork(work));
    }
    case A::CREATE_TARGET: {
      const Target& target = model.at(action.target);
      auto work = [&](WzScsiSrvHandlerContext& ctx) -> CRnError {
        if (!IsSavedScsiTargetName(action.target)) return ctx.Refuse(WzScsiSrvRefusal::INVALID_TARGET_NAME, FX_HERE);
        Target bare(static_cast<const WzScsiSrvTarget&>(target));
        bare.chap = target.chap;  // the engine gets the credentials with the target, before any binding
        return platform->CreateTarget(bare);
      };
      return RunChange(Q::kReconcileTarget, action.target, WzScsiSrvWork(work));
    }
    case A::CREATE_LUN: {
      WzScsiSrvLun lun = model.at(action.target).luns.at(action.lun);
      auto work = [&](WzScsiSrvHandlerContext& ctx) -> CRnError {
        if (CRnError outside = WzScsiSrvCheckLunBacking(m_backingStores, lun))
          return ctx.Refuse(WzScsiSrvRefusal::PATH_NOT_ALLOWED, FX_HERE, outside);
        return platform->CreateLun(&lun);
      };
      return RunChange(Q::kReconcileLun, action.target, WzScsiSrvWork(work));
    }
    case A::MAP_HOST: {
      // One LUN, or on an engine that grants whole targets every LUN the
      // host is mapped to, so that the driver counts them all.
      std::vector<Lun> luns;
      for (const auto& unit : model.at(action.target).luns)
        if ((action.lun < 0 || unit.first == action.lun) && unit.second.hosts.count(action.host) != 0)
          luns.push_back(unit.second);
      if (luns.empty()) return CRnError();
      Host host = luns.front().hosts.at(action.host);
      auto work = [&](WzScsiSrvHandlerContext& ctx) -> CRnError {
        if (!IsValidHostId(action.host)) return ctx.Refuse(WzScsiSrvRefusal::INVALID_HOST_ID, FX_HERE);
        for (Lun& lun : luns)
          if (CRnError e = platform->MapHost(lun, host)) return e;
        return CRnError();
      };
      return RunChange(Q::kReconcileHost, action.target, WzScsiSrvWork(work));
    }
  }
  return CRnError();
}

// ---------------------------------------------------------------- the engine watch

void WzScsiSrv::StartEngineWatch() {
  if (!m_ptrPlatform) return;
  m_engineInstance = m_ptrPlatform->EngineInstance();
  const uint64_t pollMs = static_cast<uint64_t>(m_settings.engineWatchPollMs);
  const uint64_t checkSecs = static_cast<uint64_t>(m_settings.engineCheckIntervalSecs);
  EngineWatchState state;
  state.checkMs = static_cast<int64_t>(checkSecs * 1000);
  state.repair = m_settings.engineCheckRepairs == "yes";
  state.nextCheck = WzNowMs() + state.checkMs;
  m_engineWatch.Start(std::chrono::milliseconds(pollMs), [this, state]() mutable { return EngineWatchRound(state); });
}

void WzScsiSrv::StopEngineWatch() { m_engineWatch.Stop(); }

std::chrono::milliseconds WzScsiSrv::EngineWatchRound(EngineWatchState& state) {
  const uint64_t before = m_engineInstance.load();
  const uint64_t now = m_ptrPlatform->EngineInstance();
  m_engineInstance = now;
  if (now == 0 && before != 0) WZLOG(-1, "The SCSI target engine cannot be reached; changes fail until it is back");
  if (now != before) WzScsiSrvCountEngineEvent(now != 0);
  if (now != 0 && now != before) {
    // A new engine holds nothing of what the old one held (or the engine
    // came back): bring it back to the configuration, with no request.
    WZLOG(0, before == 0 ? "The SCSI target engine is back; reconciling"
                         : "The SCSI target engine restarted; reconciling");
    ReconcileReport report;
    CRnError ignored = Reconcile(false, "engine restart", report);
    (void)ignored;
    state.logged.clear();
  }
  if (state.checkMs != 0 && WzNowMs() >= state.nextCheck && now != 0) {
    state.nextCheck = WzNowMs() + state.checkMs;
    ReconcileReport report;
    if (Reconcile(!state.repair, "periodic check", report).IsSuccess()) EngineCheckLog(state, report);
  }
  return std::chrono::milliseconds(0);  // the poll interval
}

void WzScsiSrv::EngineCheckLog(EngineWatchState& state, const ReconcileReport& report) {
  if (!report.repaired.empty()) {
    std::string objects;
    for (const std::string& what : report.repaired) objects += (objects.empty() ? "" : "; ") + what;
    WZLOG(0, "The engine had drifted from the configuration; repaired: %s", objects.c_str());
    WzMutexLock lock(&m_reportMutex);
    m_checkRepaired += report.repaired.size();
    m_checkLastRepairAt = report.at;
  }
  // What is left is logged once, until it changes: a repair that keeps
  // failing (a backing file gone) is retried every round without a flood.
  std::set<std::string> current;
  if (state.repair) {
    for (const auto& left : report.unfixed) {
      current.insert(left.first);
      if (state.logged.count(left.first) == 0)
        WZLOG(-1, "The engine differs from the configuration and the repair failed: %s: %s", left.first.c_str(),
              left.second.c_str());
    }
  } else {
    for (const std::string& difference : report.differences) {
      current.insert(difference);
      if (state.logged.count(difference) == 0)
        WZLOG(-1, "The engine differs from the configuration: %s (wzscsictl reconcile fixes it)", difference.c_str());
    }
  }
  state.logged.swap(current);
}
