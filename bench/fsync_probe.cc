#include "bench/fsync_probe.h"

#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "hostlib/util/wz_fd.h"

namespace wzbench {

namespace {

// Removes the probe's files when the probe ends, however it ends.
class ProbeFiles {
 public:
  ProbeFiles(std::string temp, std::string final) : m_temp(std::move(temp)), m_final(std::move(final)) {}
  ~ProbeFiles() {
    ::unlink(m_temp.c_str());
    ::unlink(m_final.c_str());
  }
  ProbeFiles(const ProbeFiles&) = delete;
  ProbeFiles& operator=(const ProbeFiles&) = delete;
  const std::string& Temp() const { return m_temp; }
  const std::string& Final() const { return m_final; }

 private:
  std::string m_temp;
  std::string m_final;
};

CRnError SysError(const char* what, const std::string& path) {
  const int err = errno;
  return FXErrorUtil::ErrorErrNo(FX_HERE_IN("bench"), err, "%s %s: %s", what, path.c_str(), strerror(err));
}

CRnError ReplaceOnce(const ProbeFiles& files, int dirFd, const std::string& content) {
  WzScopedFd fd(::open(files.Temp().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.Get() < 0) return SysError("open", files.Temp());
  if (::write(fd.Get(), content.data(), content.size()) != static_cast<ssize_t>(content.size()))
    return SysError("write", files.Temp());
  if (::fsync(fd.Get()) != 0) return SysError("fsync", files.Temp());
  if (::close(fd.Release()) != 0) return SysError("close", files.Temp());
  if (::rename(files.Temp().c_str(), files.Final().c_str()) != 0) return SysError("rename", files.Final());
  if (::fsync(dirFd) != 0) return SysError("fsync directory of", files.Final());
  return CRnError();
}

}  // namespace

CRnError ProbeFsyncRename(const std::string& dir, double minSeconds, size_t minOperations, size_t fileBytes,
                          FsyncProbeResult& result) {
  result = FsyncProbeResult();
  WzScopedFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.Get() < 0) return SysError("open directory", dir);
  const std::string tag = std::to_string(::getpid());
  ProbeFiles files(dir + "/.fsync-probe-" + tag + ".tmp", dir + "/.fsync-probe-" + tag);
  const std::string content(fileBytes, 'x');

  typedef std::chrono::steady_clock Clock;
  const Clock::time_point start = Clock::now();
  double elapsed = 0;
  size_t done = 0;
  while (done < minOperations || elapsed < minSeconds) {
    if (CRnError e = ReplaceOnce(files, dirFd.Get(), content)) return e;
    ++done;
    elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  }
  result.operations = done;
  result.seconds = elapsed;
  return CRnError();
}

CRnError ProbeFsyncRenameParallel(const std::string& dir, int streams, double minSeconds, size_t minOperations,
                                  size_t fileBytes, FsyncProbeResult& result) {
  result = FsyncProbeResult();
  if (streams < 1) return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 87, "no streams");
  const std::string tag = std::to_string(::getpid());
  std::vector<std::string> dirs;
  for (int i = 0; i < streams; ++i) {
    dirs.push_back(dir + "/.fsync-probe-" + tag + "-" + std::to_string(i));
    if (::mkdir(dirs.back().c_str(), 0755) != 0 && errno != EEXIST) {
      CRnError e = SysError("mkdir", dirs.back());
      for (const std::string& d : dirs) ::rmdir(d.c_str());
      return e;
    }
  }
  std::vector<FsyncProbeResult> results(static_cast<size_t>(streams));
  std::vector<CRnError> errors(static_cast<size_t>(streams));
  std::vector<std::thread> threads;
  for (size_t i = 0; i < dirs.size(); ++i)
    threads.emplace_back(
        [&, i] { errors[i] = ProbeFsyncRename(dirs[i], minSeconds, minOperations, fileBytes, results[i]); });
  for (std::thread& t : threads) t.join();
  for (const std::string& d : dirs) ::rmdir(d.c_str());
  for (const CRnError& e : errors)
    if (e.IsError()) return e;
  for (const FsyncProbeResult& r : results) {
    result.operations += r.operations;
    result.seconds = std::max(result.seconds, r.seconds);
  }
  return CRnError();
}

}  // namespace wzbench
