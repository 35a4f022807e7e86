// The listing commands of the Ioctl request: "lt" (targets) and "ll", "llt",
// "llh" (LUNs, all or by target or by host). They read the model under the
// short model lock (never waiting for a change in progress) and answer with
// an IoctlRsp whose results are one line per item.
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/CCommandLineArguments.h"
#include "hostlib/util/FXString.h"
#include "service/handler_frame.h"

namespace {

// An empty filter matches everything; otherwise names match ignoring case.
bool Matches(const std::string& filter, const std::string& name) {
  return filter.empty() || FXString::CompareNoCase(filter, name) == 0;
}

// One line target#host#lun#creationTime, built by appending: a listing of a
// large configuration makes a hundred thousand of them under the model lock.
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
  if (conn == nullptr) return;
  WzScsiServer::IoctlRsp reply;
  reply.setResults(std::move(lines));
  WzScsiServer::Error error;
  error.setErrorCode(WzScsiServer::RC_SUCCESS);
  if (!SendReply(conn, message, reply, error, subject)) {
    // The requester must not wait for a reply that never comes (a listing
    // too large to send, for one): tell it, if the connection still works.
    WzScsiServer::IoctlRsp failed;
    WzScsiServer::Error refused;
    CRnError ignored = WzScsiSrvRefuse(refused, WzScsiSrvRefusal::LISTING_NOT_SENT, FX_HERE);
    (void)ignored;
    SendReply(conn, message, failed, refused, subject);
  }
}

CRnError WzScsiSrv::ListTargets(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  if (message == nullptr || message->getTagID() != WzScsiServer::kIoctl.tagId)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_MESSAGE_CLASS, "dynamic cast failed CNMessageBase -> WzScsiServer::Ioctl");
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
  auto* request = dynamic_cast<WzScsiServer::Ioctl*>(message);
  if (request == nullptr)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_MESSAGE_CLASS, "dynamic cast failed CNMessageBase -> WzScsiServer::Ioctl");

  const std::string arguments = request->arguments();
  CCommandLineArguments args(arguments.c_str());
  std::string hostFilter, targetFilter;
  if (args.GetOption("hi", hostFilter).IsError()) hostFilter.clear();
  if (args.GetOption("ti", targetFilter).IsError()) targetFilter.clear();
  // "llh" and "llt" without what they list by: refused, never left unanswered.
  if ((by == LUNS_BY_HOST && hostFilter.empty()) || (by == LUNS_BY_TARGET && targetFilter.empty())) {
    WzScsiServer::Error error;
    CRnError refused = WzScsiSrvRefuse(
        error, by == LUNS_BY_HOST ? WzScsiSrvRefusal::HOST_ID_MISSING : WzScsiSrvRefusal::TARGET_ID_MISSING, FX_HERE);
    if (conn != nullptr) {
      WzScsiServer::IoctlRsp reply;
      SendReply(conn, message, reply, error, std::string());
    }
    return refused;
  }

  std::vector<std::string> lines;
  {
    WzReaderLock model(&m_modelMutex);
    for (const auto& entry : m_mapTargets) {
      if (entry.second->state != TargetSlot::LIVE || !Matches(targetFilter, entry.first)) continue;
      for (const auto& lun : entry.second->target.luns) {
        // A LUN without hosts shows as "-", but only when no host is asked for.
        if (lun.second.hosts.empty()) {
          if (hostFilter.empty()) lines.push_back(LunLine(entry.first, "-", lun.first, lun.second.creationTime));
          continue;
        }
        for (const auto& host : lun.second.hosts)
          if (Matches(hostFilter, host.first))
            lines.push_back(LunLine(entry.first, host.first, lun.first, lun.second.creationTime));
      }
    }
  }
  SendListing(conn, message, std::move(lines), targetFilter);
  return CRnError();
}
