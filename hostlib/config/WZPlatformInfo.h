// The host platform's configuration store: an INI file (sections and keys)
// whose path the host sets once at start. Every read reads the file again, so
// an administrator's edit is seen by the next read; every write rewrites the
// whole file atomically (temporary file, fsync, rename, fsync of the
// directory). A missing file reads as empty. A malformed file (a line that
// is neither a section, a key=value nor a comment, or a duplicate key) fails
// every read with Win32 code 87 and is never overwritten. Comments are not
// kept when the file is rewritten.
//
// An administrator's file (the package's /etc/wzscsi/wzscsi.conf) may lie
// over the store: reads look there first, writes never touch it, so its
// comments stay and a package manager finds it as shipped or as edited.
//
// Thread safety: all functions may be called from any thread; writes are
// serialised within the process.
#pragma once

#include <cstdint>
#include <string>

#include "hostlib/errors/CRnError.h"

class WZ_EXPORT WZPlatformInfo {
 public:
  // "" (the default): no store; reads find nothing and writes fail.
  static void SetConfigFile(const std::string& path);
  static std::string GetConfigFile();
  // The administrator's file, read before the store and never written; a
  // key it sets is read from it even after a write of that key to the store.
  // "" (the default): none. Missing reads as empty, malformed fails reads.
  static void SetAdminConfigFile(const std::string& path);
  static std::string GetAdminConfigFile();

  // value: the first length bytes are stored (up to a NUL). Fails (87) when
  // no file is set, or when the section, key or value cannot be written as
  // INI text (line breaks, "]" in a section, "=" in a key).
  static CRnError setString(const std::string& section, const std::string& key, const char* value, size_t length);
  // Fails (Win32 code 774) when the key is missing, or (87) when the value is
  // not an unsigned decimal number; out untouched then.
  static CRnError getNumber(const std::string& section, const std::string& key, uint64_t& out);
  // Fails (774) when the key is missing; out untouched then.
  static CRnError getString(const std::string& section, const std::string& key, std::string& out);
  // The machine's host name.
  static std::string getPhysicalMachine();
};

// Where the platform keeps job results: "<state directory>/jobresults" under
// the state directory that the host sets. The machine name is accepted for
// the platform's signature but not used, so that renaming the machine never
// moves (and so loses) the saved configuration.
class WZ_EXPORT WZPI_CommClient {
 public:
  // "" restores the default, "/var/lib/wzscsi".
  static void SetStateDirectory(const std::string& dir);
  static std::string GetStateDirectory();
  static std::string getJobResultsDirectory(const std::string& machineName);
};
