#include "plugins/tgtd_client/tgt_client.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <utility>

#include "hostlib/log/LogWriter.h"
#include "hostlib/util/wz_fd.h"
#include "plugins/tgtd_client/tgt_state.h"

namespace wztgt {

namespace {

const char* const kFile = "WzScsiSrvTgt";

// Show texts of a thousand targets stay far below this; more means a
// confused peer.
constexpr uint32_t kMaxReplyLength = 256u << 20;

bool SendAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

// false with errno set, or with errno 0 when the peer closed early.
bool RecvAll(int fd, char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ::recv(fd, data, length, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) {
      errno = 0;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

CRnError TransportError(const FXCodeLocation& where, int err, const char* what, const std::string& request,
                        const std::string& socketPath) {
  if (err == 0) {
    return FXErrorUtil::ErrorErrNo(where, EPIPE, "tgtd closed the connection during '%s' (socket %s)", request.c_str(),
                                   socketPath.c_str());
  }
  return FXErrorUtil::ErrorErrNo(where, err, "cannot %s tgtd for '%s' (socket %s): %s", what, request.c_str(),
                                 socketPath.c_str(), std::strerror(err));
}

}  // namespace

TgtClient::TgtClient(std::string socketPath, int timeoutMs)
    : m_socketPath(std::move(socketPath)), m_timeoutMs(timeoutMs) {}

TgtClient TgtClient::ForProcess(pid_t pid) const {
  TgtClient bound(*this);
  bound.m_process = pid;
  return bound;
}

bool TgtProcessChanged(const CRnError& err) { return err.IsError() && err.GetCode() == HRESULT_FROM_ERRNO(ESTALE); }

uint64_t TgtdInstanceOf(pid_t pid) {
  if (pid <= 0) return 0;
  const uint64_t id = static_cast<uint32_t>(pid);
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  // "pid (comm) state ppid ...": the name may hold blanks and parentheses,
  // so fields count from the last ')'; the start time is field 22.
  const size_t close = stat.rfind(')');
  if (close == std::string::npos) return id;
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  for (int n = 3; n <= 22 && (fields >> field); ++n) {
    if (n != 22) continue;
    char* end = nullptr;
    const unsigned long long start = std::strtoull(field.c_str(), &end, 10);
    if (end != nullptr && *end == '\0') return id | (static_cast<uint64_t>(start) << 32);
  }
  return id;
}

CRnError TgtClient::Connect(int& fd) const {
  fd = -1;
  sockaddr_un addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  if (m_socketPath.empty() || m_socketPath.size() >= sizeof(addr.sun_path)) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER,
                                   "tgtd management socket path '%s' is empty or too long", m_socketPath.c_str());
  }
  std::memcpy(addr.sun_path, m_socketPath.data(), m_socketPath.size());
  int s = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (s < 0) {
    int err = errno;
    return FXErrorUtil::ErrorErrNo(FX_HERE_IN(kFile), err, "cannot create a socket: %s", std::strerror(err));
  }
  timeval tv;
  tv.tv_sec = m_timeoutMs / 1000;
  tv.tv_usec = (m_timeoutMs % 1000) * 1000;
  ::setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  int rc;
  do {
    rc = ::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
  } while (rc < 0 && errno == EINTR);
  if (rc < 0) {
    int err = errno;
    ::close(s);
    return FXErrorUtil::ErrorErrNo(FX_HERE_IN(kFile), err, "tgtd is not running or does not listen on %s: %s",
                                   m_socketPath.c_str(), std::strerror(err));
  }
  fd = s;
  return CRnError();
}

CRnError TgtClient::Probe(pid_t& peerPid) const {
  int raw = -1;
  if (CRnError err = Connect(raw)) return err;
  WzScopedFd fd(raw);
  ucred cred;
  socklen_t len = sizeof(cred);
  if (::getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    int err = errno;
    return FXErrorUtil::ErrorErrNo(FX_HERE_IN(kFile), err, "cannot identify tgtd's process on %s: %s",
                                   m_socketPath.c_str(), std::strerror(err));
  }
  peerPid = cred.pid;
  return CRnError();
}

CRnError TgtClient::Execute(const TgtRequest& request, std::string* text, uint32_t* status, pid_t* peerPid) const {
  if (status != nullptr) *status = kTgtSuccess;
  const std::string what = DescribeRequest(request);
  WZLOG(6, "tgtd request: %s", what.c_str());
  int raw = -1;
  if (CRnError err = Connect(raw)) return err.Push(FX_HERE_IN(kFile), "tgtd request '%s' failed", what.c_str());
  WzScopedFd fd(raw);
  if (peerPid != nullptr || m_process != 0) {
    ucred cred;
    socklen_t len = sizeof(cred);
    const pid_t peer = ::getsockopt(fd.Get(), SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 ? cred.pid : 0;
    if (peerPid != nullptr) *peerPid = peer;
    // Before anything is sent: a tid of the old process may name another
    // target in the new one.
    if (m_process != 0 && peer != m_process) {
      return FXErrorUtil::ErrorErrNo(
          FX_HERE_IN(kFile), ESTALE, "tgtd changed: process %d answers on %s, not %d; '%s' was not sent",
          static_cast<int>(peer), m_socketPath.c_str(), static_cast<int>(m_process), what.c_str());
    }
  }
  const std::string bytes = EncodeRequest(request);
  if (!SendAll(fd.Get(), bytes.data(), bytes.size())) {
    return TransportError(FX_HERE_IN(kFile), errno, "send to", what, m_socketPath);
  }
  char header[kReplyHeaderSize];
  if (!RecvAll(fd.Get(), header, sizeof(header))) {
    return TransportError(FX_HERE_IN(kFile), errno, "read the reply of", what, m_socketPath);
  }
  uint32_t replyStatus = 0;
  uint32_t total = 0;
  DecodeReplyHeader(header, sizeof(header), replyStatus, total);
  if (total < kReplyHeaderSize || total > kMaxReplyLength) {
    return FXErrorUtil::ErrorErrNo(FX_HERE_IN(kFile), EPROTO, "tgtd sent a reply of bad length %u for '%s'", total,
                                   what.c_str());
  }
  std::string body(total - kReplyHeaderSize, '\0');
  if (!body.empty() && !RecvAll(fd.Get(), &body[0], body.size())) {
    return TransportError(FX_HERE_IN(kFile), errno, "read the reply of", what, m_socketPath);
  }
  if (replyStatus != kTgtSuccess) {
    if (status != nullptr) *status = replyStatus;
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED, "tgtd: %s [%s]",
                                   TgtStatusText(replyStatus), what.c_str());
  }
  // tgtd pads show texts with NULs at the end.
  size_t used = body.find('\0');
  if (used != std::string::npos) body.resize(used);
  if (text != nullptr) *text = std::move(body);
  return CRnError();
}

CRnError TgtClient::Simple(TgtMode mode, TgtOp op, int32_t tid, uint64_t lun, bool force, const std::string& body,
                           uint32_t* status) const {
  TgtRequest r;
  r.mode = mode;
  r.op = op;
  r.tid = tid;
  r.lun = lun;
  r.force = force;
  r.body = body;
  return Execute(r, nullptr, status, nullptr);
}

CRnError TgtClient::ShowTargets(std::string& text, pid_t* peerPid) const {
  TgtRequest r;
  r.mode = TgtMode::kTarget;
  r.op = TgtOp::kShow;
  return Execute(r, &text, nullptr, peerPid);
}

CRnError TgtClient::ShowPortals(std::vector<std::string>& portals) const {
  TgtRequest r;
  r.mode = TgtMode::kPortal;
  r.op = TgtOp::kShow;
  std::string text;
  if (CRnError err = Execute(r, &text, nullptr, nullptr)) return err;
  portals = ParsePortalShow(text);
  return CRnError();
}

namespace {

CRnError BadValue(const FXCodeLocation& where, const char* key, const std::string& value) {
  return FXErrorUtil::ErrorWin32(where, ERROR_INVALID_PARAMETER,
                                 "tgtd cannot take the %s '%s': it holds a comma or a line break", key, value.c_str());
}

}  // namespace

CRnError TgtClient::NewPortal(const std::string& portal) const {
  // tgtadm's "--param portal=<portal>" travels as "portalOps portal=<portal>,".
  std::string body;
  if (!AppendParam(body, "portalOps portal", portal)) return BadValue(FX_HERE_IN(kFile), "portal", portal);
  body += ',';
  return Simple(TgtMode::kPortal, TgtOp::kNew, kNoTid, kNoLun, false, body, nullptr);
}

CRnError TgtClient::NewTarget(int32_t tid, const std::string& name, uint32_t* status) const {
  std::string body;
  if (!AppendParam(body, "targetname", name)) return BadValue(FX_HERE_IN(kFile), "target name", name);
  return Simple(TgtMode::kTarget, TgtOp::kNew, tid, kNoLun, false, body, status);
}

CRnError TgtClient::DeleteTarget(int32_t tid, bool force, uint32_t* status) const {
  return Simple(TgtMode::kTarget, TgtOp::kDelete, tid, kNoLun, force, std::string(), status);
}

CRnError TgtClient::NewLun(int32_t tid, uint64_t lun, const std::string& path, uint32_t blockSize,
                           uint32_t* status) const {
  std::string body;
  if (!AppendParam(body, "path", path)) return BadValue(FX_HERE_IN(kFile), "backing path", path);
  if (blockSize != 0) AppendParam(body, "blocksize", std::to_string(blockSize));
  return Simple(TgtMode::kLogicalUnit, TgtOp::kNew, tid, lun, false, body, status);
}

CRnError TgtClient::NewLunOn(int32_t tid, uint64_t lun, const std::string& path, const std::string& bstype,
                             const std::string& bsopts, uint32_t* status) const {
  std::string body;
  if (!AppendParam(body, "path", path)) return BadValue(FX_HERE_IN(kFile), "backing path", path);
  if (!AppendParam(body, "bstype", bstype)) return BadValue(FX_HERE_IN(kFile), "backing-store type", bstype);
  if (!AppendParam(body, "bsopts", bsopts)) return BadValue(FX_HERE_IN(kFile), "backing-store options", bsopts);
  return Simple(TgtMode::kLogicalUnit, TgtOp::kNew, tid, lun, false, body, status);
}

CRnError TgtClient::DeleteLun(int32_t tid, uint64_t lun, uint32_t* status) const {
  return Simple(TgtMode::kLogicalUnit, TgtOp::kDelete, tid, lun, false, std::string(), status);
}

CRnError TgtClient::SetUnitSerial(int32_t tid, uint64_t lun, const std::string& serial, uint32_t* status) const {
  std::string body;
  if (!AppendParam(body, "scsi_sn", serial)) return BadValue(FX_HERE_IN(kFile), "unit serial", serial);
  return Simple(TgtMode::kLogicalUnit, TgtOp::kUpdate, tid, lun, false, body, status);
}

CRnError TgtClient::SetUnitIdentity(int32_t tid, uint64_t lun, const std::string& serial, uint32_t* status) const {
  std::string body;
  if (!AppendParam(body, "scsi_id", serial) || !AppendParam(body, "scsi_sn", serial)) {
    return BadValue(FX_HERE_IN(kFile), "unit serial", serial);
  }
  return Simple(TgtMode::kLogicalUnit, TgtOp::kUpdate, tid, lun, false, body, status);
}

CRnError TgtClient::BindInitiatorName(int32_t tid, const std::string& initiator, uint32_t* status) const {
  std::string body;
  if (!AppendParam(body, "initiator-name", initiator)) {
    return BadValue(FX_HERE_IN(kFile), "initiator name", initiator);
  }
  return Simple(TgtMode::kTarget, TgtOp::kBind, tid, kNoLun, false, body, status);
}

CRnError TgtClient::UnbindInitiatorName(int32_t tid, const std::string& initiator, uint32_t* status) const {
  std::string body;
  if (!AppendParam(body, "initiator-name", initiator)) {
    return BadValue(FX_HERE_IN(kFile), "initiator name", initiator);
  }
  return Simple(TgtMode::kTarget, TgtOp::kUnbind, tid, kNoLun, false, body, status);
}

CRnError TgtClient::UnbindInitiatorAddress(int32_t tid, const std::string& address, uint32_t* status) const {
  std::string body;
  if (!AppendParam(body, "initiator-address", address)) {
    return BadValue(FX_HERE_IN(kFile), "initiator address", address);
  }
  return Simple(TgtMode::kTarget, TgtOp::kUnbind, tid, kNoLun, false, body, status);
}

CRnError TgtClient::NewAccount(const std::string& user, const std::string& secret, uint32_t* status) const {
  std::string body;
  if (!AppendParam(body, "user", user)) return BadValue(FX_HERE_IN(kFile), "account user name", user);
  // tgtd takes everything after "password=" as the secret, commas included.
  if (secret.empty() || secret.find_first_of(std::string("\n\r\0", 3)) != std::string::npos) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER,
                                   "tgtd cannot take the secret of account %s: it is empty or holds a NUL or a "
                                   "line break",
                                   user.c_str());
  }
  body += ",password=" + secret;
  return Simple(TgtMode::kAccount, TgtOp::kNew, kNoTid, kNoLun, false, body, status);
}

CRnError TgtClient::DeleteAccount(const std::string& user, uint32_t* status) const {
  return AccountRequest(TgtOp::kDelete, kNoTid, user, TgtAccountDir::kIncoming, status);
}

CRnError TgtClient::BindAccount(int32_t tid, const std::string& user, TgtAccountDir dir, uint32_t* status) const {
  return AccountRequest(TgtOp::kBind, tid, user, dir, status);
}

CRnError TgtClient::UnbindAccount(int32_t tid, const std::string& user, TgtAccountDir dir, uint32_t* status) const {
  return AccountRequest(TgtOp::kUnbind, tid, user, dir, status);
}

CRnError TgtClient::AccountRequest(TgtOp op, int32_t tid, const std::string& user, TgtAccountDir dir,
                                   uint32_t* status) const {
  TgtRequest r;
  r.mode = TgtMode::kAccount;
  r.op = op;
  r.tid = tid;
  r.accountDir = dir;
  if (!AppendParam(r.body, "user", user)) return BadValue(FX_HERE_IN(kFile), "account user name", user);
  return Execute(r, nullptr, status, nullptr);
}

CRnError TgtClient::DeleteSystem(uint32_t* status) const {
  return Simple(TgtMode::kSystem, TgtOp::kDelete, kNoTid, kNoLun, false, std::string(), status);
}

}  // namespace wztgt
