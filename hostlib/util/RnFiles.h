// Files, directories and paths, with every system call that changes the disk
// going through one seam (IRnFileSystem) that a test can replace to fail an
// open, a write, an fsync or a rename.
//
// Errors: made with the errno (FXErrorUtil::ErrorErrNo), their text holds the
// path and the system's reason.
// Thread safety: the functions and distinct objects may be used from several
// threads at once. The seam is replaced only by tests, before threads start.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <string>

#include "hostlib/errors/CRnError.h"

// The operating system behind the file functions. Each call returns what the
// system call returns and leaves errno set on failure. Tests derive from it
// and override what they want to fail.
class WZ_EXPORT IRnFileSystem {
 public:
  virtual ~IRnFileSystem();
  virtual int Open(const char* path, int flags, mode_t mode);
  virtual ssize_t Write(int fd, const void* data, size_t length);
  virtual int Fsync(int fd);
  virtual int Rename(const char* from, const char* to);
  virtual int Close(int fd);
  virtual int Unlink(const char* path);
  virtual int Mkdir(const char* path, mode_t mode);
  virtual int Rmdir(const char* path);
};

namespace RnFileSystem {
WZ_EXPORT IRnFileSystem& Get();
// For tests: replace the seam (null restores the real one). Not owned.
WZ_EXPORT void SetForTest(IRnFileSystem* fs);
}  // namespace RnFileSystem

// An open file descriptor, closed on destruction.
class WZ_EXPORT CRnFile {
 public:
  CRnFile() = default;
  ~CRnFile();
  CRnFile(const CRnFile&) = delete;
  CRnFile& operator=(const CRnFile&) = delete;

  // flags as open(2) (O_RDONLY is 0); mode: permission bits for a new file.
  // The platform's legacy mode argument 0x38 / 0x100 is accepted and mapped
  // to 0644 / read-only; any other value is used as given.
  CRnError Open(const std::string& path, int flags, int mode);
  CRnError Write(const void* data, size_t length);  // writes all of it
  CRnError Sync();
  CRnError Close();
  CRnError ReadAll(std::string& out, size_t limit) const;  // error when the file exceeds limit
  int Fd() const { return m_fd; }
  const std::string& Path() const { return m_path; }
  static CRnError Stat(const std::string& path, struct stat& st);

 private:
  int m_fd = -1;
  std::string m_path;
};

// Replaces a file so that a crash at any instant leaves either the old file
// or the new one: the content goes to a temporary file in the same directory
// (named with kTempPrefix), which Commit fsyncs, renames over the final name,
// and then fsyncs the directory. Destroying an uncommitted object removes the
// temporary file. A failure before the rename leaves the old file untouched
// and removes the temporary file; a failure of the directory's fsync (after
// the rename) is reported too, and the new content is then in place but may
// not survive a crash.
class WZ_EXPORT CRnAtomicFile {
 public:
  CRnAtomicFile() = default;
  ~CRnAtomicFile();
  CRnAtomicFile(const CRnAtomicFile&) = delete;
  CRnAtomicFile& operator=(const CRnAtomicFile&) = delete;

  CRnError Open(const std::string& finalPath, mode_t mode = 0644);
  CRnFile& File() { return m_file; }
  CRnError Commit();

 private:
  CRnFile m_file;
  std::string m_finalPath;
  std::string m_tempPath;
  bool m_open = false;
};

struct CRnDirEntry {
  std::string name;  // bare name, no directory
};

class WZ_EXPORT CRnDirectory {
 public:
  CRnDirectory() = default;
  ~CRnDirectory();
  CRnDirectory(const CRnDirectory&) = delete;
  CRnDirectory& operator=(const CRnDirectory&) = delete;

  // recursive: create missing parents too (mode 0755 before the umask). An
  // existing directory is success; anything else in the way is an error.
  static CRnError Create(const std::string& path, bool recursive);
  // recursive: remove the contents too. followLinks is accepted for the
  // platform's signature; symbolic links are never followed (a link inside is
  // removed itself; a path that is not a directory, a link included, fails).
  // A recursive removal goes on after a failure and reports the first one.
  static CRnError Remove(const std::string& path, bool recursive, bool followLinks);

  // Lists a directory. pattern: "*" for everything, or a glob (fnmatch);
  // skipDots: never yield "." and "..".
  CRnError Open(const std::string& path, const std::string& pattern, bool skipDots);
  // Next entry; at the end, end is true and the entry is untouched.
  CRnError GetEntry(CRnDirEntry& entry, bool& end);
  void Close();

 private:
  void* m_dir = nullptr;  // DIR*
  std::string m_path;
  std::string m_pattern;
  bool m_skipDots = true;
};

namespace CRnPath {
// Last component of a path, ignoring trailing slashes ("/a/b/" -> "b").
WZ_EXPORT std::string GetBaseName(const std::string& path);
WZ_EXPORT bool Exists(const std::string& path);
}  // namespace CRnPath

namespace FXPath {
// Joins with exactly one "/" between path and name (an empty path becomes
// name). flags: 0. Fails (Win32 code 87, path unchanged) when name is empty
// or contains a "/".
WZ_EXPORT CRnError Append(std::string& path, const std::string& name, int flags);
}  // namespace FXPath

namespace FXFile {
// Prefix of the temporary files of CRnAtomicFile; readers skip such names.
constexpr const char* kTempPrefix = ".wztmp-";
WZ_EXPORT bool IsTempName(const std::string& bareName);
WZ_EXPORT CRnError RemoveFile(const std::string& path);
// fsyncs a directory (after a rename or an unlink in it).
WZ_EXPORT CRnError SyncDirectory(const std::string& dir);
}  // namespace FXFile
