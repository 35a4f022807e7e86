// The listing commands of the Ioctl request ("lt", "ll", "llt", "llh",
// "ls"): the model read under the short model lock (never waiting for a
// change in progress), the lines made by targets/listing.h, one IoctlRsp.
#include <algorithm>

#include "drivers/unit_serial.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/RnFiles.h"
#include "service/handler_frame.h"
#include "targets/listing.h"

// Pages of the detailed listing made at once: each takes a few copies of a
// page while it is made and serialised, and sixteen clients asking together
// must not multiply that.
constexpr int kMaxListingsAtOnce = 2;

WzScsiSrv::ListingGate::ListingGate(WzScsiSrv& service) : m_service(service) {
  WzMutexLock g(&m_service.m_listingMutex);
  while (m_service.m_listingsAtOnce >= kMaxListingsAtOnce) m_service.m_listingDone.Wait(&m_service.m_listingMutex);
  ++m_service.m_listingsAtOnce;
}

WzScsiSrv::ListingGate::~ListingGate() {
  {
    WzMutexLock g(&m_service.m_listingMutex);
    --m_service.m_listingsAtOnce;
  }
  m_service.m_listingDone.Signal();
}

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

  // One page: records up to kWzScsiSrvDetailPageBytes, then "more after=..."
  // when some are left (the client asks again with -after). So a reply stays
  // small whatever the descriptions, and a client that does not read holds
  // one page, not the whole configuration.
  ListingGate gate(*this);
  std::vector<std::string> lines;
  size_t bytes = 0;
  bool full = false;
  WzScsiSrvDetailPosition last;
  auto wanted = [&](const WzScsiSrvDetailPosition& p) {
    return !query.hasAfter || WzScsiSrvDetailAfter(p, query.after);
  };
  auto take = [&](std::string record, const WzScsiSrvDetailPosition& p) {
    if (!lines.empty() && bytes + record.size() > kWzScsiSrvDetailPageBytes) return false;
    bytes += record.size();
    lines.push_back(std::move(record));
    last = p;
    return true;
  };
  std::vector<WzScsiSrvLunDetail> details;
  std::vector<WzScsiSrvDetailPosition> detailPositions;
  {
    WzReaderLock model(&m_modelMutex);
    for (const auto& entry : m_mapTargets) {
      if (!query.targets || full) break;
      if (entry.second->state != TargetSlot::LIVE || (!query.target.empty() && entry.first != query.target)) continue;
      const WzScsiSrvDetailPosition p{0, entry.first, -1};
      if (!wanted(p)) continue;
      const Target& t = entry.second->target;
      auto missing = unrestoredLuns.find(entry.first);
      const bool partly = missing != unrestoredLuns.end() && !missing->second.empty();
      full =
          !take(WzScsiSrvTargetRecord(entry.first, t.targetDesc, t.chap, t.luns.size(), partly ? "partly" : "yes"), p);
    }
    // LUN records are made outside the lock; what they will take is
    // estimated here from what they hold.
    size_t estimate = bytes;
    for (const auto& entry : m_mapTargets) {
      if (!query.luns || full) break;
      if (entry.second->state != TargetSlot::LIVE || (!query.target.empty() && entry.first != query.target)) continue;
      for (const auto& lun : entry.second->target.luns) {
        if (query.withLun && lun.first != query.lunId) continue;
        const WzScsiSrvDetailPosition p{1, entry.first, lun.first};
        if (!wanted(p)) continue;
        WzScsiSrvLunDetail d = WzScsiSrvLunDetailOf(entry.first, lun.first, lun.second);
        size_t size = 256 + 3 * (d.target.size() + d.path.size());
        for (const std::string& h : d.hosts) size += 3 * h.size() + 1;
        if ((!lines.empty() || !details.empty()) && estimate + size > kWzScsiSrvDetailPageBytes) {
          full = true;
          break;
        }
        estimate += size;
        details.push_back(std::move(d));
        detailPositions.push_back(p);
      }
    }
  }
  // Sizes and serials outside the lock: stat and the name hash may take a
  // while, and a change must not wait for a listing.
  for (size_t i = 0; i < details.size(); ++i) {
    WzScsiSrvLunDetail& d = details[i];
    d.serial = WzScsiSrvUnitSerial(d.serial, d.target, d.lunId);
    std::string record = WzScsiSrvLunRecord(d);
    bytes += record.size();
    lines.push_back(std::move(record));
    last = detailPositions[i];
  }
  // What the last replay could not restore comes last, so that `lun show`
  // never hides what `status` reports: each target (LUN -1) before its LUNs.
  if (!full) {
    std::vector<std::pair<WzScsiSrvDetailPosition, std::string>> unrestored;
    if (query.luns)
      for (const auto& entry : unrestoredLuns)
        if (query.target.empty() || entry.first == query.target)
          for (int32_t number : entry.second)
            if (!query.withLun || number == query.lunId)
              unrestored.push_back(
                  {WzScsiSrvDetailPosition{2, entry.first, number}, WzScsiSrvUnrestoredLunRecord(entry.first, number)});
    if (query.targets && !query.withLun)
      for (const std::string& name : unrestoredTargets)
        unrestored.push_back(
            {WzScsiSrvDetailPosition{2, name, -1}, WzScsiSrvTargetRecord(name, "", WzScsiSrvChap(), 0, "no")});
    std::sort(unrestored.begin(), unrestored.end(),
              [](const auto& a, const auto& b) { return WzScsiSrvDetailAfter(b.first, a.first); });
    for (auto& entry : unrestored) {
      if (!wanted(entry.first)) continue;
      if (!take(std::move(entry.second), entry.first)) {
        full = true;
        break;
      }
    }
  }
  if (full) lines.push_back(WzScsiSrvDetailMoreLine(last));
  SendListing(conn, message, std::move(lines), query.target);
  return CRnError();
}
