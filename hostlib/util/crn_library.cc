#include "hostlib/util/CRnLibrary.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <string>

#include "hostlib/util/wz_mutex.h"

namespace {

constexpr long kErrorModNotFound = 126;   // ERROR_MOD_NOT_FOUND
constexpr long kErrorProcNotFound = 127;  // ERROR_PROC_NOT_FOUND
constexpr long kErrorInvalidHandle = 6;   // ERROR_INVALID_HANDLE

struct SearchDirectory {
  WzMutex lock;
  std::string dir WZ_GUARDED_BY(lock);
};

SearchDirectory& TheSearchDirectory() {
  static SearchDirectory search;
  return search;
}

std::string LastDlError(const char* fallback) {
  const char* text = dlerror();
  return text != nullptr ? std::string(text) : std::string(fallback);
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

CRnLibrary::~CRnLibrary() {
  if (m_autoFree) (void)Free();
}

CRnLibrary::CRnLibrary(CRnLibrary&& other) noexcept
    : m_handle(other.m_handle), m_autoFree(other.m_autoFree), m_path(std::move(other.m_path)) {
  other.m_handle = nullptr;
  other.m_path.clear();
}

CRnLibrary& CRnLibrary::operator=(CRnLibrary&& other) noexcept {
  if (this != &other) {
    if (m_autoFree) (void)Free();
    m_handle = other.m_handle;
    m_autoFree = other.m_autoFree;
    m_path = std::move(other.m_path);
    other.m_handle = nullptr;
    other.m_path.clear();
  }
  return *this;
}

CRnError CRnLibrary::Load(const std::string& fileName, bool global) {
  if (CRnError err = Free()) return err.Push(FX_HERE_IN("RnUtils"));

  std::string path = fileName;
  if (fileName.find('/') == std::string::npos) {
    std::string dir = GetSearchDirectory();
    if (!dir.empty()) {
      std::string candidate = dir.back() == '/' ? dir + fileName : dir + "/" + fileName;
      // Only an existing file is taken from the driver directory, so that a
      // system library of the same name still loads when none is installed.
      if (IsRegularFile(candidate)) path = candidate;
    }
  }

  void* handle = dlopen(path.c_str(), RTLD_NOW | (global ? RTLD_GLOBAL : RTLD_LOCAL));
  if (handle == nullptr)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("RnUtils"), kErrorModNotFound, "%s",
                                   LastDlError("dlopen failed").c_str());
  m_handle = handle;
  m_path = path;
  return CRnError();
}

CRnError CRnLibrary::GetAddress(const char* symbol, void** address) const {
  if (address != nullptr) *address = nullptr;
  if (symbol == nullptr || address == nullptr)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("RnUtils"), ERROR_INVALID_PARAMETER,
                                   "GetAddress needs a symbol name and an out pointer");
  if (m_handle == nullptr)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("RnUtils"), kErrorProcNotFound, "Cannot look up %s: no library is loaded",
                                   symbol);
  (void)dlerror();  // clear a stale error so that the test below is about this call
  void* found = dlsym(m_handle, symbol);
  if (const char* text = dlerror())
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("RnUtils"), kErrorProcNotFound, "%s", text);
  if (found == nullptr)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("RnUtils"), kErrorProcNotFound, "%s: symbol %s is null", m_path.c_str(),
                                   symbol);
  *address = found;
  return CRnError();
}

CRnError CRnLibrary::Free() {
  if (m_handle == nullptr) return CRnError();
  void* handle = m_handle;
  std::string path = std::move(m_path);
  m_handle = nullptr;
  m_path.clear();
  if (dlclose(handle) != 0)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("RnUtils"), kErrorInvalidHandle, "Failed to unload %s: %s", path.c_str(),
                                   LastDlError("dlclose failed").c_str());
  return CRnError();
}

void CRnLibrary::SetSearchDirectory(const std::string& dir) {
  SearchDirectory& search = TheSearchDirectory();
  WzMutexLock guard(&search.lock);
  search.dir = dir;
}

std::string CRnLibrary::GetSearchDirectory() {
  SearchDirectory& search = TheSearchDirectory();
  WzMutexLock guard(&search.lock);
  return search.dir;
}
