// The lines of the listing commands of the Ioctl request: "lt" (targets),
// "ll", "llt", "llh" (LUNs, all or by target or by host) and "ls" (one
// detailed record per target and LUN), and their arguments. The service
// object reads the model under its short lock (never waiting for a change
// in progress) and answers with an IoctlRsp whose results are these lines.
#include "targets/listing.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "change/target_names.h"
#include "drivers/unit_serial.h"
#include "hostlib/util/CCommandLineArguments.h"
#include "hostlib/util/FXString.h"
#include "luns/lun_args.h"

namespace {

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
    case WzScsiServer::BSTOR_RBD:
      return "rbd";
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

// An RBD image is no local file: its path is POOL/IMAGE, so its size is the
// one the service gave it (creation, adoption, resize); reading it from Ceph
// here would make every listing wait on the cluster.
std::string LunSize(const WzScsiSrvLunDetail& lun) {
  if (lun.type == WzScsiServer::BSTOR_RBD)
    return lun.size != 0 ? std::to_string(static_cast<unsigned long long>(lun.size)) : "-";
  return BackingSize(lun.path);
}

}  // namespace

// One line target#host#lun#creationTime, built by appending: a listing of a
// large configuration makes a hundred thousand of them under the model lock.
std::string WzScsiSrvLunLine(const std::string& target, const std::string& host, int32_t lunId, int64_t creationTime) {
  const std::string lun = std::to_string(lunId);
  const std::string time = std::to_string(static_cast<unsigned long long>(creationTime));
  std::string line;
  line.reserve(target.size() + host.size() + lun.size() + time.size() + 3);
  line.append(target).append(1, '#').append(host).append(1, '#').append(lun).append(1, '#').append(time);
  return line;
}

std::string WzScsiSrvLunRecord(const WzScsiSrvLunDetail& lun) {
  const char* word = BStorTypeWord(lun.type);
  std::string hosts;
  for (const std::string& host : lun.hosts) hosts += (hosts.empty() ? "" : ",") + Encoded(host);
  return "lun target=" + Encoded(lun.target) + " lun=" + std::to_string(lun.lunId) +
         " type=" + (word != nullptr ? std::string(word) : std::to_string(static_cast<int>(lun.type))) +
         " path=" + Encoded(lun.path) + " size=" + LunSize(lun) + " serial=" + Encoded(lun.serial) +
         " closed=" + (lun.closed ? "yes" : "no") + " hosts=" + hosts +
         " created=" + std::to_string(static_cast<unsigned long long>(lun.creationTime));
}

std::string WzScsiSrvUnrestoredLunRecord(const std::string& target, int32_t lunId) {
  return "lun target=" + Encoded(target) + " lun=" + std::to_string(lunId) + " restored=no";
}

std::string WzScsiSrvTargetRecord(const std::string& name, const std::string& desc, const WzScsiSrvChap& chap,
                                  size_t luns, const char* restored) {
  // The user names only: secrets never leave the service.
  return "target name=" + Encoded(name) + " desc=" + Encoded(desc) + " chap=" + (chap.enabled ? "on" : "off") +
         " chapUser=" + Encoded(chap.enabled ? chap.user : std::string()) +
         " mutualUser=" + Encoded(chap.enabled ? chap.mutualUser : std::string()) + " luns=" + std::to_string(luns) +
         " restored=" + restored;
}

CRnError WzScsiSrvParseLunQuery(const std::string& arguments, bool byHost, bool byTarget, WzScsiSrvLunQuery& query,
                                WzScsiServer::Error& error) {
  CCommandLineArguments args(arguments.c_str());
  query = WzScsiSrvLunQuery();
  if (args.GetOption("hi", query.host).IsError()) query.host.clear();
  if (args.GetOption("ti", query.target).IsError()) query.target.clear();
  // "llh" and "llt" without what they list by: refused, never left unanswered.
  if (byHost && query.host.empty()) return WzScsiSrvRefuse(error, WzScsiSrvRefusal::HOST_ID_MISSING, FX_HERE);
  if (byTarget && query.target.empty()) return WzScsiSrvRefuse(error, WzScsiSrvRefusal::TARGET_ID_MISSING, FX_HERE);
  return CRnError();
}

void WzScsiSrvAppendLunLines(const std::string& name, const WzScsiSrvModelTarget& target, const std::string& host,
                             std::vector<std::string>& lines) {
  for (const auto& lun : target.luns) {
    // A LUN without hosts shows as "-", but only when no host is asked for.
    if (lun.second.hosts.empty()) {
      if (host.empty()) lines.push_back(WzScsiSrvLunLine(name, "-", lun.first, lun.second.creationTime));
      continue;
    }
    for (const auto& mapped : lun.second.hosts)
      if (WzScsiSrvListingMatches(host, mapped.first))
        lines.push_back(WzScsiSrvLunLine(name, mapped.first, lun.first, lun.second.creationTime));
  }
}

CRnError WzScsiSrvParseDetailQuery(const std::string& arguments, WzScsiSrvDetailQuery& query,
                                   WzScsiServer::Error& error) {
  CCommandLineArguments args(arguments.c_str());
  query = WzScsiSrvDetailQuery();
  std::string kind;
  if (args.GetOption("ti", query.target).IsError()) query.target.clear();
  query.target = ToLowerTargetName(query.target);
  if (args.GetOption("kind", kind).IsError()) kind.clear();
  query.withLun = args.HasOption("li");
  if (query.withLun && query.target.empty())
    return WzScsiSrvRefuse(error, WzScsiSrvRefusal::TARGET_ID_MISSING, FX_HERE);
  if ((query.withLun && GetLunId(arguments, query.lunId).IsError()) ||
      (kind != "" && kind != "target" && kind != "lun"))
    return WzScsiSrvRefuse(error, WzScsiSrvRefusal::INVALID_IOCTL, FX_HERE, CRnError(), "ls " + arguments);
  query.targets = kind != "lun";
  query.luns = kind != "target";
  std::string after;
  if (args.GetOption("after", after).IsSuccess()) {
    // PHASE/TARGET/LUN, as WzScsiSrvDetailMoreLine wrote it; target names
    // hold no "/".
    const size_t first = after.find('/');
    const size_t second = first == std::string::npos ? std::string::npos : after.find('/', first + 1);
    const std::string phase = after.substr(0, first);
    long long lun = 0;
    char* end = nullptr;
    if (second != std::string::npos) lun = std::strtoll(after.c_str() + second + 1, &end, 10);
    if (second == std::string::npos || end == nullptr || *end != '\0' || lun < -1 || lun > INT32_MAX ||
        (phase != "t" && phase != "l" && phase != "u"))
      return WzScsiSrvRefuse(error, WzScsiSrvRefusal::INVALID_IOCTL, FX_HERE, CRnError(), "ls " + arguments);
    query.hasAfter = true;
    query.after.phase = phase == "t" ? 0 : phase == "l" ? 1 : 2;
    query.after.target = after.substr(first + 1, second - first - 1);
    query.after.lunId = static_cast<int32_t>(lun);
  }
  return CRnError();
}

bool WzScsiSrvDetailAfter(const WzScsiSrvDetailPosition& a, const WzScsiSrvDetailPosition& b) {
  if (a.phase != b.phase) return a.phase > b.phase;
  if (a.target != b.target) return a.target > b.target;
  return a.lunId > b.lunId;
}

std::string WzScsiSrvDetailMoreLine(const WzScsiSrvDetailPosition& last) {
  static const char* const kPhases[] = {"t", "l", "u"};
  return std::string("more after=") + kPhases[last.phase] + "/" + last.target + "/" + std::to_string(last.lunId);
}

WzScsiSrvLunDetail WzScsiSrvLunDetailOf(const std::string& target, int32_t number, const WzScsiSrvModelLun& lun) {
  WzScsiSrvLunDetail d;
  d.target = target;
  d.lunId = number;
  d.type = lun.bstorType;
  d.path = lun.path;
  d.size = lun.size;
  d.serial = lun.serialPrefix;
  d.closed = lun.closed;
  for (const auto& host : lun.hosts) d.hosts.push_back(host.first);
  d.creationTime = lun.creationTime;
  return d;
}
