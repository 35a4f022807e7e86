#include "bench/action_log_files.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "actionlog/action_log_layout.h"
#include "bench/bench_requests.h"
#include "hostlib/util/RnFiles.h"
#include "hostlib/util/WzScsiUtils.h"

namespace wzbench {

namespace {

CRnError WriteFileFast(const std::string& path, const CNMessageBase& message) {
  std::string text;
  const int status = message.serialize(text, false);
  if (status != 0)
    return FXErrorUtil::ErrorInt(FX_HERE_IN("bench"), status, "cannot serialize %s: %s", message.getTagName(),
                                 CNXmlStatusText(status));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    const int err = errno;
    return FXErrorUtil::ErrorErrNo(FX_HERE_IN("bench"), err, "open %s: %s", path.c_str(), strerror(err));
  }
  const ssize_t n = ::write(fd, text.data(), text.size());
  const int err = errno;
  ::close(fd);
  if (n != static_cast<ssize_t>(text.size()))
    return FXErrorUtil::ErrorErrNo(FX_HERE_IN("bench"), err, "write %s: %s", path.c_str(), strerror(err));
  return CRnError();
}

CRnError SyncFileSystemOf(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) {
    const int err = errno;
    return FXErrorUtil::ErrorErrNo(FX_HERE_IN("bench"), err, "open %s: %s", dir.c_str(), strerror(err));
  }
  const int rc = ::syncfs(fd);
  const int err = errno;
  ::close(fd);
  if (rc != 0) return FXErrorUtil::ErrorErrNo(FX_HERE_IN("bench"), err, "syncfs %s: %s", dir.c_str(), strerror(err));
  return CRnError();
}

namespace Layout = WzScsiSrvActionLog;

CRnError WriteTarget(const std::string& targetsDir, const ModelShape& shape, int index) {
  const std::string name = TargetName(index);
  const std::string dir = Layout::TargetDir(targetsDir.substr(0, targetsDir.rfind('/')), name);
  if (CRnError e = CRnDirectory::Create(dir, true)) return e;
  if (CRnError e = WriteFileFast(Layout::TargetFile(dir), *CreateTargetRequest(name))) return e;
  if (shape.lunsPerTarget <= 0) return CRnError();

  if (CRnError e = CRnDirectory::Create(Layout::LunsDir(dir), false)) return e;
  if (shape.mapHosts) {
    if (CRnError e = CRnDirectory::Create(Layout::MappingsDir(dir), false)) return e;
  }
  const std::string host = HostName(index);
  const std::string stamp = " -creationTime " + std::to_string(shape.creationTime);
  for (int l = 0; l < shape.lunsPerTarget; ++l) {
    auto lun = CreateLunRequest(name, LunPath(index, l));
    lun->bstoreDesc().setArgs(lun->bstoreDesc().args() + stamp);
    if (CRnError e = WriteFileFast(Layout::LunFile(dir, l), *lun)) return e;
    if (shape.mapHosts) {
      if (CRnError e = WriteFileFast(Layout::MappingFile(dir, host, l), *MapRequest(name, l, host))) return e;
    }
  }
  return CRnError();
}

}  // namespace

size_t ModelShape::Objects() const {
  const size_t luns = static_cast<size_t>(targets) * static_cast<size_t>(lunsPerTarget);
  return static_cast<size_t>(targets) + luns + (mapHosts ? luns : 0);
}

size_t ModelShape::Tuples() const { return static_cast<size_t>(targets) * static_cast<size_t>(lunsPerTarget); }

CRnError WriteActionLog(const std::string& root, const ModelShape& shape) {
  const std::string targetsDir = Layout::TargetsDir(root);
  if (CRnError e = CRnDirectory::Create(targetsDir, true)) return e;
  for (int t = 0; t < shape.targets; ++t)
    if (CRnError e = WriteTarget(targetsDir, shape, t)) return e;
  return SyncFileSystemOf(targetsDir);
}

}  // namespace wzbench
