#include "luns/backing_store_dirs.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>

#include "hostlib/util/WzScsiUtils.h"

namespace {

const char* const kKey = "BackingStoreDirs";

const char* const kPoolsKey = "RbdPools";

// Pool and user names as the RBD store takes them.
bool CephName(const std::string& name) {
  if (name.empty() || name.size() > 127 || name[0] == '-') return false;
  for (char c : name) {
    const bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool Resolve(const std::string& path, std::string& resolved) {
  char buf[PATH_MAX];
  if (::realpath(path.c_str(), buf) == nullptr) return false;
  resolved = buf;
  return true;
}

}  // namespace

CRnError WzScsiSrvReadBackingStorePolicy(const std::string& value, WzScsiSrvBackingStorePolicy& policy) {
  policy = WzScsiSrvBackingStorePolicy();
  if (value.empty()) return CRnError();
  std::vector<std::string> entries;
  if (CRnError e = WzScsiUtils::GetCommaSeperatedValues(value, entries))
    return e.Push(FX_HERE, "setting %s cannot be read", kKey);
  policy.restricted = true;
  for (const std::string& entry : entries) {
    std::string resolved;
    struct stat st;
    if (!Resolve(entry, resolved) || ::stat(resolved.c_str(), &st) != 0)
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER, "%s names %s, which does not exist", kKey,
                                     entry.c_str());
    if (S_ISDIR(st.st_mode)) {
      if (resolved == "/dev" || resolved.compare(0, 5, "/dev/") == 0)
        return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER,
                                       "%s names the directory %s: name each device instead", kKey, entry.c_str());
      policy.dirs.push_back(resolved == "/" ? resolved : resolved + "/");
    } else {
      policy.devices.push_back(resolved);
    }
  }
  return CRnError();
}

CRnError WzScsiSrvCheckBackingStore(const WzScsiSrvBackingStorePolicy& policy, const std::string& path) {
  if (!policy.restricted) return CRnError();
  std::string resolved;
  if (!Resolve(path, resolved))
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER, "%s does not exist", path.c_str());
  for (const std::string& device : policy.devices)
    if (resolved == device) return CRnError();
  struct stat st;
  if (::stat(resolved.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER,
                                   "%s is a directory: a LUN is backed by a file or a block device", path.c_str());
  for (const std::string& dir : policy.dirs)
    if (resolved.compare(0, dir.size(), dir) == 0 && resolved.size() > dir.size()) return CRnError();
  std::string allowed;
  for (const std::string& dir : policy.dirs) allowed += (allowed.empty() ? "" : ", ") + dir;
  for (const std::string& device : policy.devices) allowed += (allowed.empty() ? "" : ", ") + device;
  return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER,
                                 "%s (%s) is outside the directories and devices of BackingStoreDirs (%s)",
                                 path.c_str(), resolved.c_str(), allowed.c_str());
}

WzScsiSrvPathFault WzScsiSrvLunPathFault(const WzScsiSrvLun& lun) {
  const std::string& path = lun.path;
  if (path.empty()) return WzScsiSrvPathFault::NONE;
  if (path.front() == ' ' || path.back() == ' ') return WzScsiSrvPathFault::BLANKS;
  for (char c : path) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7f) return WzScsiSrvPathFault::BLANKS;
  }
  if (lun.bstorType != WzScsiServer::BSTOR_RBD && path.front() != '/') return WzScsiSrvPathFault::RELATIVE;
  return WzScsiSrvPathFault::NONE;
}

bool WzScsiSrvBackingIdOf(const std::string& path, WzScsiSrvBackingId& id) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  id = WzScsiSrvBackingId();
  if (S_ISBLK(st.st_mode)) {
    id.blockDevice = true;
    id.dev = static_cast<uint64_t>(st.st_rdev);
  } else {
    id.dev = static_cast<uint64_t>(st.st_dev);
    id.ino = static_cast<uint64_t>(st.st_ino);
  }
  return true;
}

CRnError WzScsiSrvReadRbdPolicy(const std::string& confFile, const std::string& user, const std::string& pools,
                                WzScsiSrvBackingStorePolicy& policy) {
  std::vector<std::string> names;
  if (CRnError e = WzScsiUtils::GetCommaSeperatedValues(pools, names))
    return e.Push(FX_HERE, "setting %s cannot be read", kPoolsKey);
  for (const std::string& name : names) {
    if (!CephName(name))
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER,
                                     "%s names \"%s\", not a pool name (letters, digits, '.', '_', '-')", kPoolsKey,
                                     name.c_str());
  }
  // The identity travels as "conf=FILE;id=USER" to librados and to tgtd's
  // option string, where ';', ',' and blanks would split it.
  if (confFile.empty() || confFile[0] != '/' || confFile.find_first_of(" \t;,=") != std::string::npos)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER,
                                   "RbdConfFile is \"%s\", not an absolute file name without blanks, ';', ',' or '='",
                                   confFile.c_str());
  if (user.compare(0, 7, "client.") == 0 || !CephName(user))
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER,
                                   "RbdUser is \"%s\", not a Ceph user name without \"client.\"", user.c_str());
  policy.rbdPools = names;
  policy.rbdIdentity = "conf=" + confFile + ";id=" + user;
  return CRnError();
}

CRnError WzScsiSrvCheckLunBacking(const WzScsiSrvBackingStorePolicy& policy, WzScsiSrvLun& lun) {
  if (lun.bstorType != WzScsiServer::BSTOR_RBD) {
    if (lun.path.empty()) return CRnError();
    if (CRnError e = WzScsiSrvCheckBackingStore(policy, lun.path)) return e;
    // A block device keeps its name (/dev/disk/by-id/...): /dev/sdX may be
    // another disk after a reboot or on another gateway, and only udev
    // changes those links.
    std::string resolved;
    struct stat st;
    if (Resolve(lun.path, resolved) && !(::stat(resolved.c_str(), &st) == 0 && S_ISBLK(st.st_mode)))
      lun.path = resolved;
    return CRnError();
  }
  if (policy.rbdPools.empty())
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER,
                                   "%s: this gateway serves no RBD image (RbdPools is empty)", lun.path.c_str());
  const size_t slash = lun.path.find('/');
  const std::string pool = slash == std::string::npos ? std::string() : lun.path.substr(0, slash);
  for (const std::string& allowed : policy.rbdPools)
    if (pool == allowed) return CRnError();
  return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER, "%s is outside the pools of %s", lun.path.c_str(),
                                 kPoolsKey);
}

void WzScsiSrvBackingClaim::Release() {
  if (m_released) return;
  m_released = true;
  m_table.Release(m_id);
}

std::string WzScsiSrvBackingClaims::Claim(const WzScsiSrvBackingId& id, const std::string& path,
                                          const std::string& target, int32_t lunId,
                                          std::shared_ptr<WzScsiSrvBackingClaim>& claim) {
  claim.reset();
  {
    WzMutexLock lock(&m_mutex);
    Holder& holder = m_held[KeyOf(id)];
    if (holder.count > 0 && !(lunId != -1 && holder.target == target && holder.lunId == lunId)) {
      return (holder.lunId == -1
                  ? "a LUN being created on target " + holder.target
                  : "LUN " + std::to_string(holder.lunId) + " of target " + holder.target + ", being created") +
             " (" + holder.path + ")";
    }
    holder.target = target;
    holder.path = path;
    holder.lunId = lunId;
    ++holder.count;
  }
  claim = std::make_shared<WzScsiSrvBackingClaim>(*this, id);
  return std::string();
}

void WzScsiSrvBackingClaims::Release(const WzScsiSrvBackingId& id) {
  WzMutexLock lock(&m_mutex);
  auto held = m_held.find(KeyOf(id));
  if (held != m_held.end() && --held->second.count <= 0) m_held.erase(held);
}
