#include "luns/backing_store_dirs.h"

#include <sys/stat.h>

#include <climits>
#include <cstdlib>

#include "hostlib/util/WzScsiUtils.h"

namespace {

const char* const kKey = "BackingStoreDirs";

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
