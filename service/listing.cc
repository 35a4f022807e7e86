// The listing commands of the Ioctl request ("lt", "ll", "llt", "llh",
// "ls"): the model read under the short model lock (never waiting for a
// change in progress), the lines made by targets/listing.h, one IoctlRsp.
#include "targets/listing.h"
#include "drivers/unit_serial.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/RnFiles.h"
#include "service/handler_frame.h"

void WzScsiSrv::SendListing(CWzNetwork* conn, CNMessageBase* message, std::vector<std::string>&& lines,
                            const std::string& subject) {
  if (conn == nullptr) return;
  WzScsiServer::IoctlRsp reply;
  reply.setResults(std::move(lines));
  WzScsiServer::Error error;
  error.setErrorCode(WzScsiServer::RC_SUCCESS);
  if (!SendReply(conn, message, reply, error, subject)) {
    // The requester must not wait for a reply that never comes (a listing
    // too large to send, for one): tell it, if the connection still works.
    WzScsiServer::Error refused;
    CRnError ignored = WzScsiSrvRefuse(refused, WzScsiSrvRefusal::LISTING_NOT_SENT, FX_HERE);
    (void)ignored;
    AnswerIoctl(conn, message, refused);
  }
}

CRnError WzScsiSrv::ListTargets(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  WzScsiServer::Ioctl* request = nullptr;
  if (CRnError e = IoctlOf(message, request)) return e;
  std::vector<std::string> lines;
  {
    WzReaderLock model(&m_modelMutex);
    lines.reserve(m_mapTargets.size());
    for (const auto& target : m_mapTargets)
      if (target.second->state == TargetSlot::LIVE) lines.push_back(target.first);
  }
  SendListing(conn, message, std::move(lines), std::string());
  return CRnError();
}

CRnError WzScsiSrv::ListLuns(CWzNetwork* conn, CNMessageBase* message, ListLunsBy by) {
  WZ_TRACE_SCOPE(6);
  WzScsiServer::Ioctl* request = nullptr;
  if (CRnError e = IoctlOf(message, request)) return e;
  WzScsiSrvLunQuery query;
  WzScsiServer::Error error;
  if (CRnError refused =
          WzScsiSrvParseLunQuery(request->arguments(), by == LUNS_BY_HOST, by == LUNS_BY_TARGET, query, error)) {
    AnswerIoctl(conn, message, error);
    return refused;
  }
  std::vector<std::string> lines;
  {
    WzReaderLock model(&m_modelMutex);
    for (const auto& entry : m_mapTargets)
      if (entry.second->state == TargetSlot::LIVE && WzScsiSrvListingMatches(query.target, entry.first))
        WzScsiSrvAppendLunLines(entry.first, entry.second->target, query.host, lines);
  }
  SendListing(conn, message, std::move(lines), query.target);
  return CRnError();
}

CRnError WzScsiSrv::ListDetails(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  WzScsiServer::Ioctl* request = nullptr;
  if (CRnError e = IoctlOf(message, request)) return e;
  WzScsiSrvDetailQuery query;
  WzScsiServer::Error error;
  if (CRnError refused = WzScsiSrvParseDetailQuery(request->arguments(), query, error)) {
    AnswerIoctl(conn, message, error);
    return refused;
  }

  // What the last replay could not restore, taken first: the report's lock
  // is never held with the model's.
  std::map<std::string, std::set<int32_t>> unrestoredLuns;
  std::vector<std::string> unrestoredTargets;
  {
    WzMutexLock report(&m_reportMutex);
    unrestoredLuns = m_unrestoredLuns;
    for (const ReplayFailure& f : m_report.failures)
      if (f.kind == "target" && !f.target.empty() && (query.target.empty() || f.target == query.target) &&
          m_unrestoredTargets.count(CRnPath::GetBaseName(f.file.substr(0, f.file.rfind('/')))) != 0)
        unrestoredTargets.push_back(f.target);
  }

  std::vector<std::string> lines;
  std::vector<WzScsiSrvLunDetail> details;
  {
    WzReaderLock model(&m_modelMutex);
    for (const auto& entry : m_mapTargets) {
      if (entry.second->state != TargetSlot::LIVE || (!query.target.empty() && entry.first != query.target)) continue;
      const Target& t = entry.second->target;
      if (query.targets) {
        auto missing = unrestoredLuns.find(entry.first);
        const bool partly = missing != unrestoredLuns.end() && !missing->second.empty();
        lines.push_back(
            WzScsiSrvTargetRecord(entry.first, t.targetDesc, t.chap, t.luns.size(), partly ? "partly" : "yes"));
      }
      if (!query.luns) continue;
      for (const auto& lun : t.luns)
        if (!query.withLun || lun.first == query.lunId)
          details.push_back(WzScsiSrvLunDetailOf(entry.first, lun.first, lun.second));
    }
  }
  // Sizes and serials outside the lock: stat and the name hash may take a
  // while, and a change must not wait for a listing.
  for (WzScsiSrvLunDetail& d : details) {
    d.serial = WzScsiSrvUnitSerial(d.serial, d.target, d.lunId);
    lines.push_back(WzScsiSrvLunRecord(d));
  }
  // A LUN that failed to restore is listed too, so that `lun show` never
  // hides what `status` reports.
  if (query.luns)
    for (const auto& entry : unrestoredLuns)
      if (query.target.empty() || entry.first == query.target)
        for (int32_t number : entry.second)
          if (!query.withLun || number == query.lunId)
            lines.push_back(WzScsiSrvUnrestoredLunRecord(entry.first, number));
  if (query.targets && !query.withLun)
    for (const std::string& name : unrestoredTargets)
      lines.push_back(WzScsiSrvTargetRecord(name, "", WzScsiSrvChap(), 0, "no"));
  SendListing(conn, message, std::move(lines), query.target);
  return CRnError();
}
