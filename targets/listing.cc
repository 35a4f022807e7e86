// The listing commands of the Ioctl request: "lt" (targets) and "ll", "llt",
// "llh" (LUNs, all or by target or by host). They read the model under the
// model lock and answer with an IoctlRsp whose results are one line per item.
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/CCommandLineArguments.h"
#include "hostlib/util/FXString.h"
#include "service/WzScsiSrv.h"

namespace {

// An empty filter matches everything; otherwise names match ignoring case.
bool Matches(const std::string& filter, const std::string& name) {
  return filter.empty() || FXString::CompareNoCase(filter, name) == 0;
}

// One LunTupleFmt line, built by appending: a listing of a large
// configuration makes a hundred thousand of them under the model lock.
std::string LunLine(const std::string& target, const std::string& host, int32_t lunId, int64_t creationTime) {
  const std::string lun = std::to_string(lunId);
  const std::string time = std::to_string(static_cast<unsigned long long>(creationTime));
  std::string line;
  line.reserve(target.size() + host.size() + lun.size() + time.size() + 3);
  line.append(target).append(1, '#').append(host).append(1, '#').append(lun).append(1, '#').append(time);
  return line;
}

}  // namespace

void WzScsiSrv::SendListing(CWzNetwork* conn, CNMessageBase* message, std::vector<std::string>&& lines,
                            const std::string& subject) {
  WzScsiServer::IoctlRsp reply;
  reply.setResults(std::move(lines));
  WzScsiServer::Error error;
  error.setErrorCode(WzScsiServer::RC_SUCCESS);
  if (conn == nullptr) return;
  // An Ioctl is never recorded; the call keeps the frame's shape.
  if (CRnError saved = LogAction(message, &reply)) WZLOG(-1, "Failed to save, error=%s", saved.AsString().c_str());
  if (!SendReply(conn, message, reply, error, subject, true)) {
    // The requester must not wait for a reply that never comes (a listing
    // too large to send, for one): tell it, if the connection still works.
    WzScsiServer::IoctlRsp failed;
    WzScsiServer::Error refused;
    refused.setErrorCode(WzScsiServer::RC_NOT_READY_OR_FAILED);
    refused.setErrorMessage("Failed to send the listing; narrow it with -ti or -hi");
    SendReply(conn, message, failed, refused, subject, true);
  }
}

CRnError WzScsiSrv::ListTargets(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  if (CRnError e = CheckClass(FX_HERE, message, WzScsiServer::kIoctl)) return e;
  std::vector<std::string> lines;
  {
    std::lock_guard<std::recursive_mutex> model(m_modelMutex);
    lines.reserve(m_mapTargets.size());
    for (const auto& target : m_mapTargets) lines.push_back(target.first);
  }
  SendListing(conn, message, std::move(lines), std::string());
  return CRnError();
}

CRnError WzScsiSrv::ListLuns(CWzNetwork* conn, CNMessageBase* message, ListLunsBy by) {
  WZ_TRACE_SCOPE(6);
  if (CRnError e = CheckClass(FX_HERE, message, WzScsiServer::kIoctl)) return e;
  auto* request = dynamic_cast<WzScsiServer::Ioctl*>(message);
  if (request == nullptr) return CheckClass(FX_HERE, nullptr, WzScsiServer::kIoctl);

  const std::string arguments = request->arguments();
  CCommandLineArguments args(arguments.c_str());
  std::string hostFilter, targetFilter;
  if (CRnError e = args.GetOption("hi", hostFilter)) {
    if (by == LUNS_BY_HOST) return e.Push(FX_HERE, "Host id not specified");
    hostFilter.clear();
  }
  if (CRnError e = args.GetOption("ti", targetFilter)) {
    if (by == LUNS_BY_TARGET) return e.Push(FX_HERE, "Target id not specified");
    targetFilter.clear();
  }

  std::vector<std::string> lines;
  {
    std::lock_guard<std::recursive_mutex> model(m_modelMutex);
    for (const auto& target : m_mapTargets) {
      if (!Matches(targetFilter, target.first)) continue;
      for (const auto& lun : target.second.luns) {
        // A LUN without hosts shows as "-", but only when no host is asked for.
        if (lun.second.hosts.empty()) {
          if (hostFilter.empty()) lines.push_back(LunLine(target.first, "-", lun.first, lun.second.creationTime));
          continue;
        }
        for (const auto& host : lun.second.hosts)
          if (Matches(hostFilter, host.first))
            lines.push_back(LunLine(target.first, host.first, lun.first, lun.second.creationTime));
      }
    }
  }
  SendListing(conn, message, std::move(lines), targetFilter);
  return CRnError();
}
