// WzLioConfigFs: the kernel target driver's only way to the kernel's
// configuration tree (configfs, /sys/kernel/config/target) and to the few
// /proc files it reads. Everything the driver does to the kernel target is a
// sequence of these calls, so unit tests check the order and contents of
// what it writes against an in-memory tree (no kernel needed); the real one
// makes the system calls.
//
// Paths are absolute. A failed call returns an error whose code is
// HRESULT_FROM_ERRNO of the system call's errno (IsErrno tells which), with
// the operation and the path in its text; configfs refusals (EBUSY for a
// link target still in use, EINVAL for a value the kernel rejects) come back
// that way.
//
// Thread safety: the real tree keeps no state; calls may come from any
// thread. The driver serialises its own calls anyway.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"

class WzLioConfigFs {
 public:
  enum class Kind { kNone, kDir, kFile, kLink };
  struct Entry {
    std::string name;
    Kind kind = Kind::kNone;
  };

  virtual ~WzLioConfigFs() = default;

  virtual CRnError MakeDir(const std::string& path) = 0;
  virtual CRnError RemoveDir(const std::string& path) = 0;
  // Writes value and a line end, as `echo value > path` does, in one write.
  virtual CRnError WriteAttr(const std::string& path, const std::string& value) = 0;
  // Writes value exactly, without a line end, in one write: the kernel keeps
  // CHAP credentials byte for byte, a line end included. Error texts name the
  // path, never the value (it may be a secret).
  virtual CRnError WriteCredential(const std::string& path, const std::string& value) = 0;
  // The whole content, trailing line ends removed.
  virtual CRnError ReadAttr(const std::string& path, std::string& value) = 0;
  // Makes link, pointing at target.
  virtual CRnError Symlink(const std::string& target, const std::string& link) = 0;
  virtual CRnError Unlink(const std::string& path) = 0;
  // Entries of a directory, "." and ".." left out, sorted by name.
  virtual CRnError List(const std::string& dir, std::vector<Entry>& entries) = 0;
  // What path is (not following a link); kNone when it does not exist.
  virtual Kind KindOf(const std::string& path) = 0;
};

// The system's tree.
std::unique_ptr<WzLioConfigFs> WzLioSystemConfigFs();

// Whether err is an error of errno value errnoValue (from a WzLioConfigFs).
bool WzLioIsErrno(const CRnError& err, int errnoValue);
