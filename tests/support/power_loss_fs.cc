#include "tests/support/power_loss_fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace wztest {

namespace {

// A double that cannot follow the disk makes every verdict after it
// meaningless: the test fails (from whichever thread saw it; no exception
// may cross the service's frames).
void Broken(const std::string& what, const std::string& path) {
  ADD_FAILURE() << "PowerLossFs: " << what << " [" << path << "]: " << std::strerror(errno);
}

std::string ReadAll(int fd, const std::string& path) {
  std::string data;
  char buf[65536];
  for (off_t offset = 0;;) {
    ssize_t n = ::pread(fd, buf, sizeof(buf), offset);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Broken("read", path);
    if (n <= 0) return data;
    data.append(buf, static_cast<size_t>(n));
    offset += n;
  }
}

// The entries of an open directory with what each names, "." and ".." left out.
std::map<std::string, struct stat> ListDir(int dirFd, const std::string& path) {
  std::map<std::string, struct stat> out;
  int fd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = fd >= 0 ? ::fdopendir(fd) : nullptr;
  if (dir == nullptr) {
    Broken("list", path);
    if (fd >= 0) ::close(fd);
    return out;
  }
  while (dirent* e = ::readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (::fstatat(::dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0) out[name] = st;
  }
  ::closedir(dir);
  return out;
}

void RemoveTree(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    ::chmod(path.c_str(), 0700);
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
      for (const auto& entry : ListDir(fd, path)) RemoveTree(path + "/" + entry.first);
      ::close(fd);
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}

}  // namespace

void PowerLossFs::Track(const std::string& root) {
  std::lock_guard<std::mutex> g(m_lock);
  StopTrackingLocked();
  struct stat st;
  if (::lstat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    Broken("no directory to track", root);
    return;
  }
  m_sRoot = root;
  Snapshot(root, st);
}

size_t PowerLossFs::Snapshot(const std::string& path, const struct stat& st) {
  const size_t node = NewNode(st);
  if (S_ISDIR(st.st_mode)) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      Broken("open", path);
      return node;
    }
    std::map<std::string, struct stat> entries = ListDir(fd, path);
    ::close(fd);
    for (const auto& entry : entries) {
      const size_t child = Snapshot(path + "/" + entry.first, entry.second);
      m_vecNodes[node].entries[entry.first] = child;
    }
  } else if (S_ISREG(st.st_mode)) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      Broken("open", path);
      return node;
    }
    m_vecNodes[node].data = ReadAll(fd, path);
    ::close(fd);
  }
  return node;
}

void PowerLossFs::LosePowerAfter(size_t steps) {
  std::lock_guard<std::mutex> g(m_lock);
  m_nLossAfter = steps;
}

size_t PowerLossFs::Steps() {
  std::lock_guard<std::mutex> g(m_lock);
  return m_nSteps;
}

bool PowerLossFs::PowerLost() {
  std::lock_guard<std::mutex> g(m_lock);
  return m_nSteps >= m_nLossAfter;
}

void PowerLossFs::DropUnsyncedData() {
  std::lock_guard<std::mutex> g(m_lock);
  if (m_sRoot.empty()) return;
  // Built beside the lost tree and swapped in, so that the rebuilt tree
  // holds nothing of the old one but what the image names.
  const std::string lost = m_sRoot + ".powerloss-lost";
  RemoveTree(lost);
  if (::rename(m_sRoot.c_str(), lost.c_str()) != 0) {
    Broken("rename", m_sRoot);
  } else {
    std::set<size_t> above;
    Build(0, m_sRoot, above);
    RemoveTree(lost);
  }
  StopTrackingLocked();
}

void PowerLossFs::StopTracking() {
  std::lock_guard<std::mutex> g(m_lock);
  StopTrackingLocked();
}

void PowerLossFs::StopTrackingLocked() {
  m_sRoot.clear();
  m_vecNodes.clear();
  m_mapLive.clear();
  m_setTreeFds.clear();
  m_nSteps = 0;
  m_nLossAfter = kNever;
}

void PowerLossFs::Build(size_t node, const std::string& path, std::set<size_t>& above) const {
  const Node& n = m_vecNodes[node];
  if (n.isDir) {
    // A directory entry durable on both sides of a cross-directory rename
    // could name an ancestor; a disk never holds such a loop.
    if (!above.insert(node).second) return;
    if (::mkdir(path.c_str(), 0700) != 0) {
      Broken("mkdir", path);
      return;
    }
    for (const auto& entry : n.entries) Build(entry.second, path + "/" + entry.first, above);
    ::chmod(path.c_str(), n.mode);
    above.erase(node);
    return;
  }
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, n.mode);
  if (fd < 0) {
    Broken("create", path);
    return;
  }
  if (!n.data.empty() && ::write(fd, n.data.data(), n.data.size()) != static_cast<ssize_t>(n.data.size()))
    Broken("write", path);
  ::fchmod(fd, n.mode);  // open's mode went through the umask
  ::close(fd);
}

bool PowerLossFs::Step(bool onTree) {
  if (m_nSteps >= m_nLossAfter) {
    errno = EIO;
    return false;
  }
  if (onTree && !m_sRoot.empty()) ++m_nSteps;
  return true;
}

bool PowerLossFs::OnTree(const char* path) const {
  if (m_sRoot.empty()) return false;
  std::string p = path;
  return p.compare(0, m_sRoot.size(), m_sRoot) == 0 && (p.size() == m_sRoot.size() || p[m_sRoot.size()] == '/');
}

size_t PowerLossFs::NewNode(const struct stat& st) {
  Node n;
  n.isDir = S_ISDIR(st.st_mode);
  n.mode = st.st_mode & 07777;
  m_vecNodes.push_back(n);
  m_mapLive[st.st_ino] = m_vecNodes.size() - 1;
  return m_vecNodes.size() - 1;
}

size_t PowerLossFs::NodeOf(const struct stat& st) {
  auto it = m_mapLive.find(st.st_ino);
  if (it != m_mapLive.end() && m_vecNodes[it->second].isDir == S_ISDIR(st.st_mode)) return it->second;
  return NewNode(st);
}

void PowerLossFs::SyncFile(int fd, size_t node) {
  // The descriptor may be write-only: read through a second one.
  const std::string self = "/proc/self/fd/" + std::to_string(fd);
  int in = ::open(self.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    Broken("reopen", self);
    return;
  }
  m_vecNodes[node].data = ReadAll(in, self);
  ::close(in);
}

void PowerLossFs::SyncDir(int fd, size_t node) {
  std::map<std::string, size_t> entries;
  for (const auto& entry : ListDir(fd, "fd " + std::to_string(fd))) entries[entry.first] = NodeOf(entry.second);
  m_vecNodes[node].entries.swap(entries);
}

int PowerLossFs::Open(const char* path, int flags, mode_t mode) {
  std::lock_guard<std::mutex> g(m_lock);
  const bool onTree = OnTree(path);
  if (!Step(onTree)) return -1;
  struct stat before;
  const bool existed = ::lstat(path, &before) == 0;
  int fd = IRnFileSystem::Open(path, flags, mode);
  if (fd >= 0 && onTree) {
    m_setTreeFds.insert(fd);
    struct stat st;
    if (!existed && ::fstat(fd, &st) == 0) NewNode(st);
  }
  return fd;
}

ssize_t PowerLossFs::Write(int fd, const void* data, size_t length) {
  std::lock_guard<std::mutex> g(m_lock);
  if (!Step(m_setTreeFds.count(fd) != 0)) return -1;
  return IRnFileSystem::Write(fd, data, length);
}

int PowerLossFs::Fsync(int fd) {
  std::lock_guard<std::mutex> g(m_lock);
  const bool onTree = m_setTreeFds.count(fd) != 0;
  if (!Step(onTree)) return -1;
  int rc = IRnFileSystem::Fsync(fd);
  struct stat st;
  if (rc != 0 || !onTree || ::fstat(fd, &st) != 0) return rc;
  const size_t node = NodeOf(st);
  if (S_ISDIR(st.st_mode)) {
    SyncDir(fd, node);
  } else {
    SyncFile(fd, node);
  }
  return rc;
}

int PowerLossFs::Rename(const char* from, const char* to) {
  std::lock_guard<std::mutex> g(m_lock);
  if (!Step(OnTree(from) || OnTree(to))) return -1;
  return IRnFileSystem::Rename(from, to);
}

int PowerLossFs::Close(int fd) {
  std::lock_guard<std::mutex> g(m_lock);
  const bool onTree = m_setTreeFds.erase(fd) != 0;
  if (!Step(onTree)) {
    ::close(fd);
    errno = EIO;
    return -1;
  }
  return IRnFileSystem::Close(fd);
}

int PowerLossFs::Unlink(const char* path) {
  std::lock_guard<std::mutex> g(m_lock);
  if (!Step(OnTree(path))) return -1;
  return IRnFileSystem::Unlink(path);
}

int PowerLossFs::Mkdir(const char* path, mode_t mode) {
  std::lock_guard<std::mutex> g(m_lock);
  const bool onTree = OnTree(path);
  if (!Step(onTree)) return -1;
  int rc = IRnFileSystem::Mkdir(path, mode);
  struct stat st;
  if (rc == 0 && onTree && ::lstat(path, &st) == 0) NewNode(st);
  return rc;
}

int PowerLossFs::Rmdir(const char* path) {
  std::lock_guard<std::mutex> g(m_lock);
  if (!Step(OnTree(path))) return -1;
  return IRnFileSystem::Rmdir(path);
}

}  // namespace wztest
