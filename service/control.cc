// Ioctl: the control channel. The command word (any letter case) selects a
// row of one table: a listing ("llh", "llt", "ll", "lt", "ls"), which answers
// itself, or "rc", which replays the action log into the running service.
// Anything else is refused with code 4.
#include "hostlib/errors/no_throw.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/CCommandLineArguments.h"
#include "hostlib/util/FXString.h"
#include "service/handler_frame.h"
#include "service/request_counters.h"

namespace {

typedef CRnError (*IoctlHandler)(WzScsiSrv& service, CWzNetwork* conn, CNMessageBase* message);

struct IoctlRow {
  const char* command;
  bool servedBeforeStart;  // answered while the service is not started yet
  IoctlHandler handler;
  // A command that changes something: its words in the audit line.
  const char* change = nullptr;
};

// A reconcile that only lists the differences changes nothing.
bool IsDryRun(const WzScsiServer::Ioctl& request) {
  const std::string arguments = request.arguments();
  return CCommandLineArguments(arguments.c_str()).HasOption("dry-run");
}

}  // namespace

// Defined as a member so that it reaches the private pieces; the table is
// read top to bottom.
CRnError WzScsiSrv::Ioctl(CWzNetwork* conn, CNMessageBase* message) {
  static const IoctlRow kCommands[] = {
      {"llh", false, [](WzScsiSrv& s, CWzNetwork* c, CNMessageBase* m) { return s.ListLuns(c, m, LUNS_BY_HOST); }},
      {"llt", false, [](WzScsiSrv& s, CWzNetwork* c, CNMessageBase* m) { return s.ListLuns(c, m, LUNS_BY_TARGET); }},
      {"ll", false, [](WzScsiSrv& s, CWzNetwork* c, CNMessageBase* m) { return s.ListLuns(c, m, LUNS_ALL); }},
      {"lt", false, [](WzScsiSrv& s, CWzNetwork* c, CNMessageBase* m) { return s.ListTargets(c, m); }},
      {"ls", false, [](WzScsiSrv& s, CWzNetwork* c, CNMessageBase* m) { return s.ListDetails(c, m); }},
      {"rc", false, [](WzScsiSrv& s, CWzNetwork* c, CNMessageBase* m) { return s.ReloadConfig(c, m); }, "reload"},
      // Answered at any time, the replay included: it is how an operator
      // follows a long start.
      {"status", true, [](WzScsiSrv& s, CWzNetwork* c, CNMessageBase* m) { return s.ReportStatus(c, m); }},
      // The counters a monitoring system reads (wzscsid's metrics endpoint).
      {"metrics", true,
       [](WzScsiSrv& s, CWzNetwork* c, CNMessageBase* m) {
         std::vector<std::string> lines;
         WzScsiSrvCounterLines(lines);
         s.SendListing(c, m, std::move(lines), std::string());
         return CRnError();
       }},
      {"reconcile", false, [](WzScsiSrv& s, CWzNetwork* c, CNMessageBase* m) { return s.ReconcileCommand(c, m); },
       "reconcile"},
      {"clusterimport", false, [](WzScsiSrv& s, CWzNetwork* c, CNMessageBase* m) { return s.ClusterImport(c, m); },
       "cluster import"},
  };

  WzScsiServer::Ioctl* request = nullptr;
  if (CRnError e = IoctlOf(message, request)) return e;
  const std::string command = request->command();
  const IoctlRow* row = nullptr;
  for (const IoctlRow& r : kCommands)
    if (FXString::CompareNoCase(command, r.command) == 0) row = &r;

  // A command that changes something leaves one audit line.
  WzScsiSrvAuditedConnection audited(conn, row != nullptr ? row->change : nullptr);
  if (conn != nullptr && row != nullptr && row->change != nullptr && !IsDryRun(*request)) conn = &audited;
  WzScsiServer::IoctlRsp refusal;
  if ((row == nullptr || !row->servedBeforeStart) && RefuseIfNotReady(conn, message, refusal)) {
    WzScsiSrvCountRequest(WzScsiServer::kIoctl.number, WzScsiServer::kIoctl.name, WzScsiServer::RC_NOT_READY_OR_FAILED,
                          -1);
    return CRnError();
  }
  if (row == nullptr) return RefuseIoctl(conn, message, command);
  if (row->change == nullptr && conn != nullptr) WzScsiSrvCountListing(row->command);
  CRnError e = row->handler(*this, conn, message);
  return e.IsError() ? e.Push(FX_HERE, "Ioctl %s failed", row->command) : CRnError();
}

CRnError WzScsiSrv::ReloadConfig(CWzNetwork* conn, CNMessageBase* message) {
  WZLOG(0, "#### Reloading iSCSI service configuration. ####");
  CRnError played = WzNoThrow(FX_HERE, "Playback", [&] { return Playback(true); });
  // What the model holds already but the engine lost is created again too:
  // one command after fixing a fault.
  ReconcileReport reconciled;
  CRnError reconcileFailed = Reconcile(false, "reload", reconciled);
  if (played.IsSuccess() && (reconcileFailed.IsError() || reconciled.failed != 0))
    played =
        FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                "the engine could not be brought back to the configuration (%zu of %zu "
                                "differences not fixed)%s%s",
                                reconciled.failed, reconciled.differences.size(), reconcileFailed.IsError() ? ": " : "",
                                reconcileFailed.IsError() ? reconcileFailed.AsString().c_str() : "");

  WzScsiServer::Error error;
  if (played.IsSuccess() && !LastReplay().Failed()) {
    error.set(WzScsiServer::RC_SUCCESS, "iSCSI service configuration reloaded successfully.");
    WZLOG(0, "iSCSI service reload configuration completed successfully: %s", LastReplay().Summary().c_str());
  } else {
    error.set(WzScsiServer::RC_NOT_READY_OR_FAILED,
              LastReplay().Failed() ? ReplayOutcomeText(true, played)
                                    : "iSCSI service configuration reload failed: " + played.AsString());
    WZLOG(-1, "%s", error.errorMessage().c_str());
    if (played.IsSuccess())
      played = FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "%s", error.errorMessage().c_str());
  }
  AnswerIoctl(conn, message, error);
  if (played.IsSuccess()) return CRnError();
  const std::string text = played.AsString();
  return played.Push(FX_HERE, "Reload configuration Playback failed with error: [%s]", text.c_str());
}

CRnError WzScsiSrv::RefuseIoctl(CWzNetwork* conn, CNMessageBase* message, const std::string& command) {
  WzScsiServer::Error error;
  CRnError result = WzScsiSrvRefuse(error, WzScsiSrvRefusal::INVALID_IOCTL, FX_HERE, CRnError(), command);
  if (conn != nullptr) {
    WZLOG(-1, "Error: %s %d %s %s", "", static_cast<int>(error.errorCode()), error.errorMessage().c_str(),
          result.AsString().c_str());
    AnswerIoctl(conn, message, error);
  }
  return result.Push(FX_HERE);
}

CRnError WzScsiSrv::ReportStatus(CWzNetwork* conn, CNMessageBase* message) {
  static const char* const kStates[] = {"not started", "starting", "started"};
  const ReplayReport r = LastReplay();
  std::vector<std::string> lines;
  lines.push_back(std::string("state=") + kStates[static_cast<int>(m_eStatus.load()) % 3]);
  lines.push_back("targets=" + std::to_string(m_nTargets.load()));
  size_t luns = 0, mappings = 0;
  {
    WzReaderLock model(&m_modelMutex);
    for (const auto& target : m_mapTargets) {
      if (target.second->state != TargetSlot::LIVE) continue;
      luns += target.second->target.luns.size();
      for (const auto& lun : target.second->target.luns) mappings += lun.second.hosts.size();
    }
  }
  lines.push_back("luns=" + std::to_string(luns));
  lines.push_back("mappings=" + std::to_string(mappings));
  if (r.ran) {
    lines.push_back(std::string("replay=") + (r.reload ? "reload" : "start"));
    lines.push_back("replay.startedAt=" + std::to_string(r.startedAt));
    lines.push_back(FXString::Format("replay.seconds=%.3f", r.seconds));
    lines.push_back(FXString::Format("replay.restored=targets:%zu luns:%zu mappings:%zu present:%zu", r.targets, r.luns,
                                     r.mappings, r.present));
    lines.push_back(FXString::Format("replay.failed=targets:%zu luns:%zu mappings:%zu", r.targetsFailed, r.lunsFailed,
                                     r.mappingsFailed));
    if (!r.logError.empty()) lines.push_back("replay.error=" + r.logError);
    // kind, target, LUN, host, file, reason: tab-separated (no field holds a tab).
    for (const ReplayFailure& f : r.failures) {
      std::string reason = f.reason;
      for (char& c : reason)
        if (c == '\t' || c == '\n') c = ' ';
      lines.push_back("failure=" + f.kind + "\t" + f.target + "\t" + (f.lunId >= 0 ? std::to_string(f.lunId) : "") +
                      "\t" + f.host + "\t" + f.file + "\t" + reason);
    }
  } else {
    lines.push_back("replay=none");
  }
  if (m_ptrPlatform) {
    const uint64_t instance = m_engineInstance.load();
    lines.push_back(std::string("engine.reachable=") + (instance != 0 ? "yes" : "no"));
    m_ptrPlatform->EngineFacts(lines);
  } else {
    lines.push_back("engine.reachable=no driver");
  }
  if (m_follower) m_follower->StatusLines(lines);
  for (const ReconcileReport& rec : {LastReconcile(), LastDryRun(), LastDriftCheck()}) {
    if (!rec.ran) continue;
    const std::string key = rec.periodicCheck ? "check" : rec.dryRun ? "dryRun" : "reconcile";
    lines.push_back(key + ".startedAt=" + std::to_string(rec.at));
    lines.push_back(key + ".why=" + rec.why);
    lines.push_back(key + ".seconds=" + FXString::Format("%.3f", rec.seconds));
    lines.push_back(key + ".differences=" + std::to_string(rec.differences.size()));
    if (!rec.dryRun) lines.push_back(key + ".failed=" + std::to_string(rec.failed));
    if (!rec.error.empty()) lines.push_back(key + ".error=" + rec.error);
    for (const std::string& d : rec.differences) lines.push_back(key + ".difference=" + d);
    if (rec.periodicCheck) {
      WzMutexLock lock(&m_reportMutex);
      lines.push_back("check.repaired=" + std::to_string(m_checkRepaired));
      if (m_checkLastRepairAt != 0) lines.push_back("check.lastRepairAt=" + std::to_string(m_checkLastRepairAt));
    }
  }
  SendListing(conn, message, std::move(lines), std::string());
  return CRnError();
}

CRnError WzScsiSrv::ReconcileCommand(CWzNetwork* conn, CNMessageBase* message) {
  WzScsiServer::Ioctl* request = nullptr;
  if (CRnError e = IoctlOf(message, request)) return e;
  const bool dryRun = IsDryRun(*request);
  ReconcileReport report;
  CRnError result = Reconcile(dryRun, "request", report);
  WzScsiServer::Error error;
  if (result.IsError()) {
    error.set(WzScsiServer::RC_PLATFORM_FAILED, "Reconcile failed: " + report.error);
  } else if (report.failed != 0) {
    error.set(WzScsiServer::RC_PLATFORM_FAILED,
              FXString::Format("Reconcile fixed %zu of %zu differences", report.differences.size() - report.failed,
                               report.differences.size()));
    result = FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "%s", error.errorMessage().c_str());
  } else {
    error.set(WzScsiServer::RC_SUCCESS,
              FXString::Format(dryRun ? "%zu differences" : "%zu differences fixed", report.differences.size()));
  }
  AnswerIoctl(conn, message, error, report.differences);
  return result;
}

CRnError WzScsiSrv::IoctlOf(CNMessageBase* message, WzScsiServer::Ioctl*& request) {
  request = dynamic_cast<WzScsiServer::Ioctl*>(message);
  if (request != nullptr) return CRnError();
  return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_MESSAGE_CLASS,
                                 "dynamic cast failed CNMessageBase -> WzScsiServer::Ioctl");
}

void WzScsiSrv::AnswerIoctl(CWzNetwork* conn, CNMessageBase* message, const WzScsiServer::Error& error,
                            std::vector<std::string> results) {
  if (conn == nullptr) return;
  // A control command that is no listing, or any refused one.
  WzScsiSrvCountRequest(WzScsiServer::kIoctl.number, WzScsiServer::kIoctl.name, error.errorCode(), -1);
  WzScsiServer::IoctlRsp reply;
  if (!results.empty()) reply.setResults(std::move(results));
  SendReply(conn, message, reply, error, std::string());
}
