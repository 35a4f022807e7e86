// The listing commands of the Ioctl request: "lt" (targets) and "ll", "llt",
// "llh" (LUNs, all or by target or by host), and "ls" (one detailed record
// per target and LUN). They read the model under the short model lock (never
// waiting for a change in progress) and answer with an IoctlRsp whose results
// are one line per item.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "drivers/unit_serial.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/CCommandLineArguments.h"
#include "hostlib/util/FXString.h"
#include "hostlib/util/RnFiles.h"
#include "luns/lun_args.h"
#include "service/handler_frame.h"
#include "targets/target_names.h"

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

// A value of an "ls" record: every byte but letters, digits and "-._~:/@+"
// as %XX, so that no description, path or host id can hold the blank, "=" or
// "," that separate fields and list items.
std::string Encoded(const std::string& value) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    const unsigned char u = static_cast<unsigned char>(c);
    if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
        std::strchr("-._~:/@+", c) != nullptr) {
      out += c;
    } else {
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

const char* BStorTypeWord(WzScsiServer::BStorType type) {
  switch (type) {
    case WzScsiServer::BSTOR_KERNEL:
      return "kernel";
    case WzScsiServer::BSTOR_BLKDEV:
      return "blkdev";
    case WzScsiServer::BSTOR_DEVSNAP:
      return "devsnap";
    case WzScsiServer::BSTOR_FSBLB:
      return "fsblb";
    default:
      return nullptr;
  }
}

// The size of a backing file or block device now, or "-" when it cannot be
// read (no path, gone, not permitted, neither file nor device).
std::string BackingSize(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return "-";
  if (S_ISREG(st.st_mode)) return std::to_string(static_cast<unsigned long long>(st.st_size));
  if (!S_ISBLK(st.st_mode)) return "-";
  // O_NONBLOCK: a device held by the engine must not make a listing wait.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return "-";
  uint64_t bytes = 0;
  const bool known = ::ioctl(fd, BLKGETSIZE64, &bytes) == 0;
  ::close(fd);
  return known ? std::to_string(static_cast<unsigned long long>(bytes)) : "-";
}

// What an "ls" LUN record needs, copied under the model lock so that the
// sizes are read after it is released.
struct LunDetail {
  std::string target;
  int32_t lunId = 0;
  WzScsiServer::BStorType type = WzScsiServer::BSTOR_INVALID;
  std::string path;
  std::string serial;
  bool closed = false;
  std::vector<std::string> hosts;
  int64_t creationTime = 0;
};

std::string LunRecord(const LunDetail& lun) {
  const char* word = BStorTypeWord(lun.type);
  std::string hosts;
  for (const std::string& host : lun.hosts) hosts += (hosts.empty() ? "" : ",") + Encoded(host);
  return "lun target=" + Encoded(lun.target) + " lun=" + std::to_string(lun.lunId) +
         " type=" + (word != nullptr ? std::string(word) : std::to_string(static_cast<int>(lun.type))) +
         " path=" + Encoded(lun.path) + " size=" + BackingSize(lun.path) + " serial=" + Encoded(lun.serial) +
         " closed=" + (lun.closed ? "yes" : "no") + " hosts=" + hosts +
         " created=" + std::to_string(static_cast<unsigned long long>(lun.creationTime));
}

std::string TargetRecord(const std::string& name, const std::string& desc, const WzScsiSrvChap& chap, size_t luns,
                         const char* restored) {
  // The user names only: secrets never leave the service.
  return "target name=" + Encoded(name) + " desc=" + Encoded(desc) + " chap=" + (chap.enabled ? "on" : "off") +
         " chapUser=" + Encoded(chap.enabled ? chap.user : std::string()) +
         " mutualUser=" + Encoded(chap.enabled ? chap.mutualUser : std::string()) + " luns=" + std::to_string(luns) +
         " restored=" + restored;
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
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_MESSAGE_CLASS,
                                   "dynamic cast failed CNMessageBase -> WzScsiServer::Ioctl");
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
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_MESSAGE_CLASS,
                                   "dynamic cast failed CNMessageBase -> WzScsiServer::Ioctl");

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

CRnError WzScsiSrv::ListDetails(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  auto* request = dynamic_cast<WzScsiServer::Ioctl*>(message);
  if (request == nullptr)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_MESSAGE_CLASS,
                                   "dynamic cast failed CNMessageBase -> WzScsiServer::Ioctl");

  const std::string arguments = request->arguments();
  CCommandLineArguments args(arguments.c_str());
  std::string target, kind;
  if (args.GetOption("ti", target).IsError()) target.clear();
  target = ToLowerTargetName(target);
  if (args.GetOption("kind", kind).IsError()) kind.clear();
  const bool withLun = args.HasOption("li");
  int32_t lunId = 0;
  WzScsiServer::Error error;
  CRnError refused;
  if (withLun && target.empty()) {
    refused = WzScsiSrvRefuse(error, WzScsiSrvRefusal::TARGET_ID_MISSING, FX_HERE);
  } else if ((withLun && GetLunId(arguments, lunId).IsError()) || (kind != "" && kind != "target" && kind != "lun")) {
    refused = WzScsiSrvRefuse(error, WzScsiSrvRefusal::INVALID_IOCTL, FX_HERE, CRnError(), "ls " + arguments);
  }
  if (refused) {
    if (conn != nullptr) {
      WzScsiServer::IoctlRsp reply;
      SendReply(conn, message, reply, error, std::string());
    }
    return refused;
  }
  const bool targets = kind != "lun", luns = kind != "target";

  // What the last replay could not restore, taken first: the report's lock
  // is never held with the model's.
  std::map<std::string, std::set<int32_t>> unrestoredLuns;
  std::vector<std::string> unrestoredTargets;
  {
    WzMutexLock report(&m_reportMutex);
    unrestoredLuns = m_unrestoredLuns;
    for (const ReplayFailure& f : m_report.failures)
      if (f.kind == "target" && !f.target.empty() && (target.empty() || f.target == target) &&
          m_unrestoredTargets.count(CRnPath::GetBaseName(f.file.substr(0, f.file.rfind('/')))) != 0)
        unrestoredTargets.push_back(f.target);
  }

  std::vector<std::string> lines;
  std::vector<LunDetail> details;
  {
    WzReaderLock model(&m_modelMutex);
    for (const auto& entry : m_mapTargets) {
      if (entry.second->state != TargetSlot::LIVE || (!target.empty() && entry.first != target)) continue;
      const Target& t = entry.second->target;
      if (targets) {
        auto missing = unrestoredLuns.find(entry.first);
        const bool partly = missing != unrestoredLuns.end() && !missing->second.empty();
        lines.push_back(TargetRecord(entry.first, t.targetDesc, t.chap, t.luns.size(), partly ? "partly" : "yes"));
      }
      if (!luns) continue;
      for (const auto& lun : t.luns) {
        if (withLun && lun.first != lunId) continue;
        LunDetail d;
        d.target = entry.first;
        d.lunId = lun.first;
        d.type = lun.second.bstorType;
        d.path = lun.second.path;
        d.serial = lun.second.serialPrefix;
        d.closed = lun.second.closed;
        for (const auto& host : lun.second.hosts) d.hosts.push_back(host.first);
        d.creationTime = lun.second.creationTime;
        details.push_back(std::move(d));
      }
    }
  }
  // Sizes and serials outside the lock: stat and the name hash may take a
  // while, and a change must not wait for a listing.
  for (const LunDetail& d : details) {
    LunDetail full = d;
    full.serial = WzScsiSrvUnitSerial(d.serial, d.target, d.lunId);
    lines.push_back(LunRecord(full));
  }
  if (targets && !withLun)
    for (const std::string& name : unrestoredTargets) lines.push_back(TargetRecord(name, "", WzScsiSrvChap(), 0, "no"));
  SendListing(conn, message, std::move(lines), target);
  return CRnError();
}
