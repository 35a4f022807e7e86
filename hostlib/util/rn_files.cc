#include "hostlib/util/RnFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>

#include "hostlib/util/FXString.h"
#include "hostlib/util/wz_latency.h"
#include "hostlib/util/wz_mutex.h"

#define RN_HERE FX_HERE_IN("RnUtils")

namespace {

// The legacy mode arguments of the platform's open call.
constexpr int kLegacyModeCreate = 0x38;
constexpr int kLegacyModeReadOnly = 0x100;
constexpr mode_t kDirectoryMode = 0755;

std::atomic<IRnFileSystem*> g_testFileSystem{nullptr};

std::string ErrnoText(int err) {
  char buf[256];
  // GNU strerror_r: returns the text, which may or may not live in buf.
  return std::string(strerror_r(err, buf, sizeof(buf)));
}

CRnError ErrnoError(const FXCodeLocation& where, int err, const char* what, const std::string& path) {
  return FXErrorUtil::ErrorErrNo(where, err, "%s [%s]: %s", what, path.c_str(), ErrnoText(err).c_str());
}

bool IsDirectory(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string DirName(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  size_t end = path.find_last_not_of('/', slash);
  if (end == std::string::npos) return "/";
  return path.substr(0, end + 1);
}

// Removes a directory tree without following symbolic links: a link is
// removed itself, never what it points to. Goes on after a failure so that
// as much as possible is removed, and reports the first failure.
CRnError RemoveTree(const std::string& path) {
  IRnFileSystem& fs = RnFileSystem::Get();
  CRnError first;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return ErrnoError(RN_HERE, errno, "Failed to open directory", path);
  for (;;) {
    errno = 0;
    struct dirent* ent = ::readdir(dir);
    if (ent == nullptr) {
      if (errno != 0 && !first) first = ErrnoError(RN_HERE, errno, "Failed to read directory", path);
      break;
    }
    if (std::strcmp(ent->d_name, ".") == 0 || std::strcmp(ent->d_name, "..") == 0) continue;
    std::string child = path + "/" + ent->d_name;
    // The entry's type comes with it on most file systems; only where it
    // does not is the entry looked at.
    bool isDir = ent->d_type == DT_DIR;
    if (ent->d_type == DT_UNKNOWN) {
      struct stat st;
      if (::lstat(child.c_str(), &st) != 0) {
        if (errno != ENOENT && !first) first = ErrnoError(RN_HERE, errno, "Failed to stat", child);
        continue;
      }
      isDir = S_ISDIR(st.st_mode);
    }
    CRnError err;
    if (isDir) {
      err = RemoveTree(child);
    } else if (fs.Unlink(child.c_str()) != 0 && errno != ENOENT) {
      err = ErrnoError(RN_HERE, errno, "Failed to remove file", child);
    }
    if (err && !first) first = std::move(err);
  }
  ::closedir(dir);
  if (fs.Rmdir(path.c_str()) != 0 && !first) first = ErrnoError(RN_HERE, errno, "Failed to remove directory", path);
  return first;
}

}  // namespace

// ---------------------------------------------------------------- the seam

IRnFileSystem::~IRnFileSystem() = default;
int IRnFileSystem::Open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
ssize_t IRnFileSystem::Write(int fd, const void* data, size_t length) { return ::write(fd, data, length); }
int IRnFileSystem::Fsync(int fd) { return ::fsync(fd); }
int IRnFileSystem::Rename(const char* from, const char* to) { return ::rename(from, to); }
int IRnFileSystem::Close(int fd) { return ::close(fd); }
int IRnFileSystem::Unlink(const char* path) { return ::unlink(path); }
int IRnFileSystem::Mkdir(const char* path, mode_t mode) { return ::mkdir(path, mode); }
int IRnFileSystem::Rmdir(const char* path) { return ::rmdir(path); }

namespace RnFileSystem {

IRnFileSystem& Get() {
  static IRnFileSystem real;
  IRnFileSystem* fs = g_testFileSystem.load(std::memory_order_acquire);
  return fs != nullptr ? *fs : real;
}

void SetForTest(IRnFileSystem* fs) { g_testFileSystem.store(fs, std::memory_order_release); }

}  // namespace RnFileSystem

// ---------------------------------------------------------------- CRnFile

CRnFile::~CRnFile() {
  if (m_fd >= 0) RnFileSystem::Get().Close(m_fd);
}

CRnError CRnFile::Open(const std::string& path, int flags, int mode) {
  if (m_fd >= 0) (void)Close();
  mode_t bits = static_cast<mode_t>(mode);
  if (mode == kLegacyModeCreate)
    bits = 0644;
  else if (mode == kLegacyModeReadOnly)
    bits = 0;
  int fd = RnFileSystem::Get().Open(path.c_str(), flags | O_CLOEXEC, bits);
  if (fd < 0) return ErrnoError(RN_HERE, errno, "Failed to open file", path);
  m_fd = fd;
  m_path = path;
  return CRnError();
}

CRnError CRnFile::Write(const void* data, size_t length) {
  if (m_fd < 0) return ErrnoError(RN_HERE, EBADF, "Failed to write file", m_path);
  const char* p = static_cast<const char*>(data);
  IRnFileSystem& fs = RnFileSystem::Get();
  while (length > 0) {
    ssize_t n = fs.Write(m_fd, p, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoError(RN_HERE, errno, "Failed to write file", m_path);
    }
    if (n == 0) return ErrnoError(RN_HERE, EIO, "Failed to write file", m_path);
    p += n;
    length -= static_cast<size_t>(n);
  }
  return CRnError();
}

CRnError CRnFile::Sync() {
  if (m_fd < 0) return ErrnoError(RN_HERE, EBADF, "Failed to sync file", m_path);
  const auto began = std::chrono::steady_clock::now();
  const int failure = RnFileSystem::Get().Fsync(m_fd) != 0 ? errno : 0;
  RnFileSystem::FsyncLatency(false).ObserveSince(began);
  if (failure != 0) return ErrnoError(RN_HERE, failure, "Failed to sync file", m_path);
  return CRnError();
}

CRnError CRnFile::Close() {
  if (m_fd < 0) return CRnError();
  int fd = m_fd;
  m_fd = -1;  // never retried: after a failed close(2) the descriptor is gone anyway
  if (RnFileSystem::Get().Close(fd) != 0) return ErrnoError(RN_HERE, errno, "Failed to close file", m_path);
  return CRnError();
}

CRnError CRnFile::ReadAll(std::string& out, size_t limit) const {
  if (m_fd < 0) return ErrnoError(RN_HERE, EBADF, "Failed to read file", m_path);
  std::string data;
  char buf[65536];
  off_t offset = 0;
  for (;;) {
    ssize_t n = ::pread(m_fd, buf, sizeof(buf), offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return ErrnoError(RN_HERE, errno, "Failed to read file", m_path);
    }
    if (n == 0) break;
    if (data.size() + static_cast<size_t>(n) > limit)
      return FXErrorUtil::ErrorErrNo(RN_HERE, EFBIG, "File [%s] is larger than %zu bytes", m_path.c_str(), limit);
    data.append(buf, static_cast<size_t>(n));
    offset += n;
  }
  out.swap(data);
  return CRnError();
}

CRnError CRnFile::Stat(const std::string& path, struct stat& st) {
  if (::stat(path.c_str(), &st) != 0) return ErrnoError(RN_HERE, errno, "Failed to stat", path);
  return CRnError();
}

// ---------------------------------------------------------------- CRnAtomicFile

CRnAtomicFile::~CRnAtomicFile() {
  if (m_open) {
    (void)m_file.Close();
    RnFileSystem::Get().Unlink(m_tempPath.c_str());
  }
}

CRnError CRnAtomicFile::Open(const std::string& finalPath, mode_t mode) {
  if (m_open) {
    (void)m_file.Close();
    RnFileSystem::Get().Unlink(m_tempPath.c_str());
    m_open = false;
  }
  std::string base = CRnPath::GetBaseName(finalPath);
  if (base.empty() || base == "/" || finalPath.back() == '/')
    return FXErrorUtil::ErrorWin32(RN_HERE, ERROR_INVALID_PARAMETER, "Not a file path: [%s]", finalPath.c_str());
  std::string dir = DirName(finalPath);

  // The name only has to be unique among writers of the same directory; a
  // leftover of a crashed process with a reused pid is stepped over.
  static std::atomic<unsigned long> counter{0};
  // The pid of the process that made the name (asked once: glibc does not keep it).
  static const int pid = static_cast<int>(::getpid());
  CRnError err;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string temp =
        FXString::Format("%s/%s%s.%d.%lu", dir.c_str(), FXFile::kTempPrefix, base.c_str(), pid, counter.fetch_add(1));
    err = m_file.Open(temp, O_WRONLY | O_CREAT | O_EXCL, static_cast<int>(mode));
    if (!err) {
      m_finalPath = finalPath;
      m_tempPath = temp;
      m_open = true;
      return CRnError();
    }
    if (err.GetCode() != HRESULT_FROM_ERRNO(EEXIST)) break;
  }
  return err.Push(RN_HERE);
}

CRnError CRnAtomicFile::Commit() {
  if (!m_open) return ErrnoError(RN_HERE, EBADF, "Nothing to commit for", m_finalPath);
  m_open = false;
  IRnFileSystem& fs = RnFileSystem::Get();
  CRnError err = m_file.Sync();
  if (!err) err = m_file.Close();
  if (!err && fs.Rename(m_tempPath.c_str(), m_finalPath.c_str()) != 0)
    err = ErrnoError(RN_HERE, errno, "Failed to rename temporary file over", m_finalPath);
  if (err) {
    (void)m_file.Close();
    fs.Unlink(m_tempPath.c_str());
    return err;
  }
  // The rename is durable only once the directory is; on failure here the new
  // content is in place but may not survive a crash, which the caller learns.
  if (CRnError dirErr = FXFile::SyncDirectory(DirName(m_finalPath))) return dirErr.Push(RN_HERE);
  return CRnError();
}

// ---------------------------------------------------------------- CRnDirectory

CRnDirectory::~CRnDirectory() { Close(); }

CRnError CRnDirectory::Create(const std::string& path, bool recursive) {
  if (path.empty()) return FXErrorUtil::ErrorWin32(RN_HERE, ERROR_INVALID_PARAMETER, "Empty directory path");
  IRnFileSystem& fs = RnFileSystem::Get();
  auto makeOne = [&fs](const std::string& dir) -> CRnError {
    if (fs.Mkdir(dir.c_str(), kDirectoryMode) == 0) return CRnError();
    int err = errno;
    // An existing directory is what was asked for, whatever mkdir said
    // (EEXIST, or EACCES/EROFS for a parent the caller cannot write).
    if (IsDirectory(dir)) return CRnError();
    struct stat st;
    if (err == EEXIST && ::lstat(dir.c_str(), &st) == 0)
      return FXErrorUtil::ErrorErrNo(RN_HERE, ENOTDIR, "Cannot create directory [%s]: a file is in the way",
                                     dir.c_str());
    return ErrnoError(RN_HERE, err, "Failed to create directory", dir);
  };
  if (!recursive) return makeOne(path);

  size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    std::string prefix = path.substr(0, pos);
    if (prefix.empty() || prefix.back() == '/') continue;  // "//" or the root
    if (CRnError err = makeOne(prefix)) return err;
  }
  return CRnError();
}

CRnError CRnDirectory::Remove(const std::string& path, bool recursive, bool followLinks) {
  (void)followLinks;  // links are never followed: removing through one could delete foreign data
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return ErrnoError(RN_HERE, errno, "Failed to remove directory", path);
  if (!S_ISDIR(st.st_mode))
    return FXErrorUtil::ErrorErrNo(RN_HERE, ENOTDIR, "Failed to remove directory [%s]: not a directory", path.c_str());
  if (recursive) return RemoveTree(path);
  if (RnFileSystem::Get().Rmdir(path.c_str()) != 0)
    return ErrnoError(RN_HERE, errno, "Failed to remove directory", path);
  return CRnError();
}

CRnError CRnDirectory::Open(const std::string& path, const std::string& pattern, bool skipDots) {
  Close();
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return ErrnoError(RN_HERE, errno, "Failed to open directory", path);
  m_dir = dir;
  m_path = path;
  m_pattern = pattern;
  m_skipDots = skipDots;
  return CRnError();
}

CRnError CRnDirectory::GetEntry(CRnDirEntry& entry, bool& end) {
  end = false;
  if (m_dir == nullptr) return ErrnoError(RN_HERE, EBADF, "Failed to read directory", m_path);
  for (;;) {
    errno = 0;
    struct dirent* ent = ::readdir(static_cast<DIR*>(m_dir));
    if (ent == nullptr) {
      if (errno != 0) return ErrnoError(RN_HERE, errno, "Failed to read directory", m_path);
      end = true;
      return CRnError();
    }
    const char* name = ent->d_name;
    if (m_skipDots && (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0)) continue;
    if (m_pattern != "*" && ::fnmatch(m_pattern.c_str(), name, 0) != 0) continue;
    entry.name = name;
    return CRnError();
  }
}

void CRnDirectory::Close() {
  if (m_dir != nullptr) {
    ::closedir(static_cast<DIR*>(m_dir));
    m_dir = nullptr;
  }
}

// ---------------------------------------------------------------- paths

namespace CRnPath {

std::string GetBaseName(const std::string& path) {
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return path.empty() ? std::string() : std::string("/");
  size_t slash = path.find_last_of('/', end);
  size_t start = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(start, end + 1 - start);
}

bool Exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

}  // namespace CRnPath

namespace FXPath {

CRnError Append(std::string& path, const std::string& name, int flags) {
  (void)flags;
  if (name.empty() || name.find('/') != std::string::npos)
    return FXErrorUtil::ErrorWin32(RN_HERE, ERROR_INVALID_PARAMETER, "Invalid path component [%s]", name.c_str());
  if (path.empty()) {
    path = name;
    return CRnError();
  }
  size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) {
    path = "/" + name;
  } else {
    path.resize(end + 1);
    path += '/';
    path += name;
  }
  return CRnError();
}

}  // namespace FXPath

namespace FXFile {

bool IsTempName(const std::string& bareName) { return bareName.compare(0, std::strlen(kTempPrefix), kTempPrefix) == 0; }

CRnError RemoveFile(const std::string& path) {
  if (RnFileSystem::Get().Unlink(path.c_str()) != 0) return ErrnoError(RN_HERE, errno, "Failed to remove file", path);
  return CRnError();
}

namespace {

CRnError SyncDirectoryNow(const std::string& dir) {
  IRnFileSystem& fs = RnFileSystem::Get();
  int fd = fs.Open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd < 0) return ErrnoError(RN_HERE, errno, "Failed to open directory for sync", dir);
  CRnError err;
  const auto began = std::chrono::steady_clock::now();
  if (fs.Fsync(fd) != 0) err = ErrnoError(RN_HERE, errno, "Failed to sync directory", dir);
  RnFileSystem::FsyncLatency(true).ObserveSince(began);
  fs.Close(fd);
  return err;
}

// Threads that need one directory made durable at the same time share its
// fsyncs: an fsync that starts after a caller's change covers that change,
// so callers that arrive while one runs wait for it and then share the next
// one (started by one of them). Each gets the result of an fsync that
// started after it arrived, never of an earlier one.
class CDirectorySyncs {
 public:
  CRnError Sync(const std::string& dir) WZ_EXCLUDES(m_lock) {
    // Locked and unlocked by hand: let go around the fsync only.
    m_lock.Lock();
    Dir& d = m_dirs[dir];  // stays in place while it has users
    ++d.users;
    const uint64_t needed = d.started + 1;  // the first fsync to start from now on
    CRnError result;
    for (;;) {
      if (d.finished >= needed) {
        result = d.lastResult;
        break;
      }
      if (!d.running) {
        d.running = true;
        const uint64_t mine = ++d.started;
        m_lock.Unlock();
        CRnError synced = SyncDirectoryNow(dir);
        m_lock.Lock();
        d.running = false;
        d.finished = mine;
        d.lastResult = synced;
        m_done.SignalAll();
        result = synced;
        break;
      }
      m_done.Wait(&m_lock);
    }
    if (--d.users == 0) m_dirs.erase(dir);
    m_lock.Unlock();
    return result;
  }

 private:
  struct Dir {
    uint64_t started = 0;   // fsyncs started
    uint64_t finished = 0;  // the number of the last one that ended
    bool running = false;
    CRnError lastResult;  // of that one
    size_t users = 0;
  };
  WzMutex m_lock;
  WzCondVar m_done{&m_lock};
  std::map<std::string, Dir> m_dirs WZ_GUARDED_BY(m_lock);
};

}  // namespace

CRnError SyncDirectory(const std::string& dir) {
  // Never destroyed: a thread may still sync while the process exits.
  static CDirectorySyncs* const syncs = new CDirectorySyncs();
  return syncs->Sync(dir);
}

}  // namespace FXFile
