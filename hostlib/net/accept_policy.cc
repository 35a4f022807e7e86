#include "hostlib/net/accept_policy.h"

#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace Wzn {

namespace {

bool ParseDecimal(const std::string& text, unsigned long long max, unsigned long long& out) {
  if (text.empty() || text.size() > 20) return false;
  unsigned long long v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<unsigned>(c - '0');
    if (v > max) return false;
  }
  out = v;
  return true;
}

// Whether the user (by uid) belongs to the group through the group
// database, which SO_PEERCRED's single gid does not show.
bool UserInGroup(uid_t uid, gid_t gid) {
  long bufSize = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buf(bufSize > 0 ? static_cast<size_t>(bufSize) : 16384);
  struct passwd pwd;
  struct passwd* found = nullptr;
  if (getpwuid_r(uid, &pwd, buf.data(), buf.size(), &found) != 0 || found == nullptr) return false;
  if (pwd.pw_gid == gid) return true;
  int count = 64;
  for (int attempt = 0; attempt < 4; ++attempt) {
    std::vector<gid_t> groups(static_cast<size_t>(count));
    int n = count;
    if (getgrouplist(pwd.pw_name, pwd.pw_gid, groups.data(), &n) >= 0) {
      for (int i = 0; i < n; ++i) {
        if (groups[static_cast<size_t>(i)] == gid) return true;
      }
      return false;
    }
    count = n > count ? n : count * 2;
  }
  return false;
}

}  // namespace

bool TokensEqual(const std::string& expected, const std::string& given) {
  if (expected.empty()) return false;
  unsigned diff = expected.size() == given.size() ? 0u : 1u;
  for (size_t i = 0; i < given.size(); ++i) {
    diff |= static_cast<unsigned char>(given[i]) ^ static_cast<unsigned char>(expected[i % expected.size()]);
  }
  return diff == 0;
}

CRnError ParseHostPort(const std::string& text, std::string& host, uint16_t& port) {
  std::string h;
  std::string p;
  if (!text.empty() && text[0] == '[') {
    const size_t close = text.find(']');
    if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
      return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "bad TCP endpoint \"%s\"", text.c_str());
    }
    h = text.substr(1, close - 1);
    p = text.substr(close + 2);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
      p = text;
    } else {
      if (text.find(':') != colon) {
        return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER,
                                       "bad TCP endpoint \"%s\" (write IPv6 addresses in brackets)", text.c_str());
      }
      h = text.substr(0, colon);
      p = text.substr(colon + 1);
    }
  }
  unsigned long long value = 0;
  if (!ParseDecimal(p, 65535, value)) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "bad port in TCP endpoint \"%s\"", text.c_str());
  }
  host = h.empty() ? "127.0.0.1" : h;
  port = static_cast<uint16_t>(value);
  return CRnError();
}

CRnError SystemdListenFd(const char* listenPid, const char* listenFds, pid_t self, int& fd) {
  unsigned long long pid = 0;
  unsigned long long count = 0;
  if (listenPid == nullptr || !ParseDecimal(listenPid, 0x7FFFFFFF, pid)) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "LISTEN_PID is not set or not a number");
  }
  if (static_cast<pid_t>(pid) != self) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER,
                                   "LISTEN_PID %llu names another process (this is %d)", pid, static_cast<int>(self));
  }
  if (listenFds == nullptr || !ParseDecimal(listenFds, 0x7FFFFFFF, count) || count < 1) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "LISTEN_FDS passes no socket");
  }
  fd = 3;  // SD_LISTEN_FDS_START
  return CRnError();
}

CRnError LookupGroup(const std::string& name, gid_t& gid) {
  long bufSize = sysconf(_SC_GETGR_R_SIZE_MAX);
  std::vector<char> buf(bufSize > 0 ? static_cast<size_t>(bufSize) : 16384);
  struct group grp;
  struct group* found = nullptr;
  for (;;) {
    int rc = getgrnam_r(name.c_str(), &grp, buf.data(), buf.size(), &found);
    if (rc == ERANGE && buf.size() < (1u << 22)) {
      buf.resize(buf.size() * 2);
      continue;
    }
    if (rc != 0) return FXErrorUtil::ErrorErrNo(WZN_HERE, rc, "cannot look up group \"%s\"", name.c_str());
    break;
  }
  if (found == nullptr) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, kErrNotFound, "no group named \"%s\"", name.c_str());
  }
  gid = grp.gr_gid;
  return CRnError();
}

bool PeerAllowed(const PeerCredentials& peer, uid_t selfUid, bool haveGroup, gid_t allowedGid) {
  if (peer.uid == 0 || peer.uid == selfUid) return true;
  if (!haveGroup) return false;
  return peer.gid == allowedGid || UserInGroup(peer.uid, allowedGid);
}

CRnError ReadPeerCredentials(int fd, PeerCredentials& out) {
  struct ucred cred;
  socklen_t len = sizeof(cred);
  if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0) {
    return FXErrorUtil::ErrorErrNo(WZN_HERE, errno, "cannot read the peer's credentials");
  }
  out.pid = cred.pid;
  out.uid = cred.uid;
  out.gid = cred.gid;
  return CRnError();
}

}  // namespace Wzn
