#include "plugins/bstor/backing_file.h"

#include "hostlib/util/wz_environment.h"
#include "hostlib/util/wz_fd.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

namespace wzbstor {

CRnError InspectBackingFile(const char* lib, const std::string& path, BackingFileInfo& info) {
  if (path.empty()) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(lib), ERROR_INVALID_PARAMETER, "no backing path given");
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    int err = errno;
    if (err == ENOENT || err == ENOTDIR) {
      return FXErrorUtil::ErrorErrNo(FX_HERE_IN(lib), err, "backing path %s does not exist", path.c_str());
    }
    return FXErrorUtil::ErrorErrNo(FX_HERE_IN(lib), err, "cannot examine backing path %s: %s", path.c_str(),
                                   std::strerror(err));
  }
  if (S_ISDIR(st.st_mode)) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(lib), ERROR_INVALID_PARAMETER,
                                   "backing path %s is a directory, not a file or a block device", path.c_str());
  }
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(lib), ERROR_INVALID_PARAMETER,
                                   "backing path %s is neither a regular file nor a block device", path.c_str());
  }
  WzScopedFd fd(::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY));
  if (fd.Get() < 0) {
    int err = errno;
    return FXErrorUtil::ErrorErrNo(FX_HERE_IN(lib), err, "backing path %s cannot be opened for reading and writing: %s",
                                   path.c_str(), std::strerror(err));
  }
  // Look at what was opened, not at what the name meant a moment ago.
  if (::fstat(fd.Get(), &st) != 0) {
    int err = errno;
    return FXErrorUtil::ErrorErrNo(FX_HERE_IN(lib), err, "cannot examine backing path %s: %s", path.c_str(),
                                   std::strerror(err));
  }
  BackingFileInfo found;
  found.path = path;
  found.blockDevice = S_ISBLK(st.st_mode);
  found.device = st.st_dev;
  found.inode = st.st_ino;
  if (found.blockDevice) {
    uint64_t bytes = 0;
    if (::ioctl(fd.Get(), BLKGETSIZE64, &bytes) != 0) {
      int err = errno;
      return FXErrorUtil::ErrorErrNo(FX_HERE_IN(lib), err, "cannot read the size of block device %s: %s", path.c_str(),
                                     std::strerror(err));
    }
    found.size = bytes;
  } else {
    found.size = static_cast<uint64_t>(st.st_size);
  }
  if (found.size < kMinLunBytes) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(lib), ERROR_INVALID_PARAMETER,
                                   "backing path %s holds %llu bytes, less than one 512-byte block", path.c_str(),
                                   static_cast<unsigned long long>(found.size));
  }
  info = found;
  return CRnError();
}

std::string ThreadFlagName(const char* flag) {
  std::ostringstream name;
  name << flag << '_' << std::this_thread::get_id();
  return name.str();
}

bool ThreadFlagSet(const char* flag) {
  const std::string read = WzEnvironment::Get(ThreadFlagName(flag));
  const char* value = WzEnvironment::Has(ThreadFlagName(flag)) ? read.c_str() : nullptr;
  return value != nullptr && std::strcmp(value, "1") == 0;
}

}  // namespace wzbstor
