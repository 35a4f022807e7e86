#include "plugins/lio/configfs.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "hostlib/util/wz_fd.h"

namespace {

const char* const kFile = "WzScsiSrvLio";

CRnError SysError(const FXCodeLocation& where, int err, const char* op, const std::string& path) {
  return FXErrorUtil::ErrorErrNo(where, err, "%s %s: %s", op, path.c_str(), std::strerror(err));
}

// A directory stream closed on scope exit.
class Dir {
 public:
  explicit Dir(DIR* d) : m_dir(d) {}
  ~Dir() {
    if (m_dir != nullptr) ::closedir(m_dir);
  }
  Dir(const Dir&) = delete;
  Dir& operator=(const Dir&) = delete;
  DIR* Get() const { return m_dir; }

 private:
  DIR* m_dir;
};

class SystemConfigFs : public WzLioConfigFs {
 public:
  CRnError MakeDir(const std::string& path) override {
    if (::mkdir(path.c_str(), 0755) != 0) return SysError(FX_HERE_IN(kFile), errno, "mkdir", path);
    return CRnError();
  }

  CRnError RemoveDir(const std::string& path) override {
    if (::rmdir(path.c_str()) != 0) return SysError(FX_HERE_IN(kFile), errno, "rmdir", path);
    return CRnError();
  }

  CRnError WriteAttr(const std::string& path, const std::string& value) override {
    WzScopedFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.Get() < 0) return SysError(FX_HERE_IN(kFile), errno, "open", path);
    // configfs hands the kernel one write at a time: the value must go whole.
    const std::string line = value + "\n";
    ssize_t n = ::write(fd.Get(), line.data(), line.size());
    if (n < 0) {
      const int err = errno;
      return FXErrorUtil::ErrorErrNo(FX_HERE_IN(kFile), err, "write \"%s\" to %s: %s", value.c_str(), path.c_str(),
                                     std::strerror(err));
    }
    if (static_cast<size_t>(n) != line.size()) {
      return FXErrorUtil::ErrorErrNo(FX_HERE_IN(kFile), EIO, "write \"%s\" to %s: only %zd bytes taken", value.c_str(),
                                     path.c_str(), n);
    }
    return CRnError();
  }

  CRnError WriteCredential(const std::string& path, const std::string& value) override {
    WzScopedFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC));
    if (fd.Get() < 0) return SysError(FX_HERE_IN(kFile), errno, "open", path);
    ssize_t n = ::write(fd.Get(), value.data(), value.size());
    if (n < 0) return SysError(FX_HERE_IN(kFile), errno, "write", path);
    if (static_cast<size_t>(n) != value.size()) {
      return FXErrorUtil::ErrorErrNo(FX_HERE_IN(kFile), EIO, "write %s: only %zd bytes taken", path.c_str(), n);
    }
    return CRnError();
  }

  CRnError ReadAttr(const std::string& path, std::string& value) override {
    value.clear();
    WzScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (fd.Get() < 0) return SysError(FX_HERE_IN(kFile), errno, "open", path);
    char buf[4096];
    for (;;) {
      ssize_t n = ::read(fd.Get(), buf, sizeof buf);
      if (n < 0) {
        if (errno == EINTR) continue;
        return SysError(FX_HERE_IN(kFile), errno, "read", path);
      }
      if (n == 0) break;
      value.append(buf, static_cast<size_t>(n));
    }
    while (!value.empty() && (value.back() == '\n' || value.back() == '\0')) value.pop_back();
    return CRnError();
  }

  CRnError Symlink(const std::string& target, const std::string& link) override {
    if (::symlink(target.c_str(), link.c_str()) != 0) {
      const int err = errno;
      return FXErrorUtil::ErrorErrNo(FX_HERE_IN(kFile), err, "symlink %s -> %s: %s", link.c_str(), target.c_str(),
                                     std::strerror(err));
    }
    return CRnError();
  }

  CRnError Unlink(const std::string& path) override {
    if (::unlink(path.c_str()) != 0) return SysError(FX_HERE_IN(kFile), errno, "unlink", path);
    return CRnError();
  }

  CRnError List(const std::string& dir, std::vector<Entry>& entries) override {
    entries.clear();
    Dir d(::opendir(dir.c_str()));
    if (d.Get() == nullptr) return SysError(FX_HERE_IN(kFile), errno, "opendir", dir);
    for (;;) {
      errno = 0;
      const dirent* e = ::readdir(d.Get());
      if (e == nullptr) {
        if (errno != 0) return SysError(FX_HERE_IN(kFile), errno, "readdir", dir);
        break;
      }
      if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
      Entry entry;
      entry.name = e->d_name;
      switch (e->d_type) {
        case DT_DIR:
          entry.kind = Kind::kDir;
          break;
        case DT_LNK:
          entry.kind = Kind::kLink;
          break;
        case DT_REG:
          entry.kind = Kind::kFile;
          break;
        default:
          entry.kind = KindOf(dir + "/" + entry.name);
          break;
      }
      entries.push_back(entry);
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
    return CRnError();
  }

  Kind KindOf(const std::string& path) override {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return Kind::kNone;
    if (S_ISDIR(st.st_mode)) return Kind::kDir;
    if (S_ISLNK(st.st_mode)) return Kind::kLink;
    return Kind::kFile;
  }
};

}  // namespace

std::unique_ptr<WzLioConfigFs> WzLioSystemConfigFs() { return std::unique_ptr<WzLioConfigFs>(new SystemConfigFs()); }

bool WzLioIsErrno(const CRnError& err, int errnoValue) {
  return err.IsError() && err.GetCode() == HRESULT_FROM_ERRNO(errnoValue);
}
