// The checks every file-backed store makes before a LUN may sit on a path,
// and the facts it keeps about the file; the thread-specific request flags;
// and the registry in which a store keeps the contexts it hands out.
//
// Thread safety: the functions keep no state; BStorContextRegistry is safe
// for concurrent use.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

#include "hostlib/errors/CRnError.h"
#include "hostlib/util/wz_mutex.h"

namespace wzbstor {

struct BackingFileInfo {
  std::string path;
  uint64_t size = 0;  // bytes
  bool blockDevice = false;
  dev_t device = 0;  // with inode: tells a replaced file from the same one
  ino_t inode = 0;
};

// Smallest LUN worth serving: one 512-byte block.
constexpr uint64_t kMinLunBytes = 512;

// The path must exist, be a regular file or a block device (not a
// directory), open for reading and writing, and hold at least one block.
// Each refusal has its own text naming the path; lib names the caller in the
// error's code location. info is untouched on failure.
CRnError InspectBackingFile(const char* lib, const std::string& path, BackingFileInfo& info);

// Whether the calling thread's <flag>_<thread id> variable reads "1" (the
// service sets it around open-only and close-only requests).
bool ThreadFlagSet(const char* flag);
// "<flag>_<thread id>" of the calling thread.
std::string ThreadFlagName(const char* flag);

// The contexts a store put into LUN records, owned here; a pointer the
// service hands back is looked up before use, so a stranger is refused
// instead of being dereferenced.
template <typename T>
class BStorContextRegistry {
 public:
  BStorContextRegistry() = default;
  BStorContextRegistry(const BStorContextRegistry&) = delete;
  BStorContextRegistry& operator=(const BStorContextRegistry&) = delete;

  T* Add(std::unique_ptr<T> ctx) {
    T* raw = ctx.get();
    WzMutexLock guard(&m_lock);
    m_contexts.emplace(raw, std::move(ctx));
    return raw;
  }
  // Null for a pointer this registry does not hold. The context stays valid
  // until Remove or Clear; the store's callers serialise those.
  T* Find(const void* ctx) const {
    WzMutexLock guard(&m_lock);
    auto it = m_contexts.find(ctx);
    return it == m_contexts.end() ? nullptr : it->second.get();
  }
  bool Remove(const void* ctx) {
    std::unique_ptr<T> doomed;
    WzMutexLock guard(&m_lock);
    auto it = m_contexts.find(ctx);
    if (it == m_contexts.end()) return false;
    doomed = std::move(it->second);
    m_contexts.erase(it);
    return true;
  }
  size_t Clear() {
    std::unordered_map<const void*, std::unique_ptr<T>> doomed;
    WzMutexLock guard(&m_lock);
    doomed.swap(m_contexts);
    return doomed.size();
  }
  size_t Size() const {
    WzMutexLock guard(&m_lock);
    return m_contexts.size();
  }

 private:
  mutable WzMutex m_lock;
  std::unordered_map<const void*, std::unique_ptr<T>> m_contexts WZ_GUARDED_BY(m_lock);
};

}  // namespace wzbstor
