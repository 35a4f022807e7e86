// CRnLibrary: a handle of a shared library loaded at run time (dlopen).
//
// A bare file name (no "/") is looked up first in the driver directory that
// the host sets with SetSearchDirectory, then by the system loader; a name
// with a "/" is loaded as given. Errors carry the loader's own text: Win32
// code 126 when a library cannot be loaded, 127 when a symbol is missing.
//
// Ownership: a handle constructed with autoFree true unloads its library when
// it is destroyed; with false the owner calls Free. Handles move, never copy.
// Thread safety: one handle is used by one thread at a time; the search
// directory is set before other threads start.
#pragma once

#include <string>

#include "hostlib/errors/CRnError.h"

class WZ_EXPORT CRnLibrary {
 public:
  explicit CRnLibrary(bool autoFree = true) : m_autoFree(autoFree) {}
  ~CRnLibrary();
  CRnLibrary(const CRnLibrary&) = delete;
  CRnLibrary& operator=(const CRnLibrary&) = delete;
  CRnLibrary(CRnLibrary&& other) noexcept;
  CRnLibrary& operator=(CRnLibrary&& other) noexcept;

  // global: RTLD_GLOBAL instead of RTLD_LOCAL. Loading over a loaded handle
  // frees the old library first.
  CRnError Load(const std::string& fileName, bool global);
  // Looks a symbol up; *address is null on failure.
  CRnError GetAddress(const char* symbol, void** address) const;
  // Unloads; success when nothing is loaded.
  CRnError Free();
  bool IsLoaded() const { return m_handle != nullptr; }
  // The path the library was loaded from (after the directory look-up).
  const std::string& GetPath() const { return m_path; }

  static void SetSearchDirectory(const std::string& dir);
  static std::string GetSearchDirectory();

 private:
  void* m_handle = nullptr;
  bool m_autoFree;
  std::string m_path;
};
