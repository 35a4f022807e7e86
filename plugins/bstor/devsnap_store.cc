#include "plugins/bstor/devsnap_store.h"

#include <memory>
#include <string>

#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/CCommandLineArguments.h"
#include "plugins/common/plugin_guard.h"

namespace {

const char* const kFile = "WzScsiSrvBStorDevSnap";

CRnError UnknownContext(const FXCodeLocation& where, const void* ctx) {
  return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                 "snapshot context %p is not one of this store's", ctx);
}

// A snapshot id names one file inside the snapshot directory, nothing else.
bool IsPlainName(const std::string& s) {
  return !s.empty() && s != "." && s != ".." && s.find('/') == std::string::npos && s.find('\0') == std::string::npos;
}

}  // namespace

bool WzScsiSrvBStorDevSnap::StateForTest(const void* ctx, State& state) const {
  const LunContext* c = m_contexts.Find(ctx);
  if (c == nullptr) return false;
  state = c->state;
  return true;
}

CRnError WzScsiSrvBStorDevSnap::Cleanup() {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "Cleanup", [&]() -> CRnError {
    size_t n = m_contexts.Clear();
    WzMutexLock guard(&m_cacheLock);
    m_snapInfoCache.clear();
    WZLOG(1, "snapshot store released %zu LUN contexts", n);
    return CRnError();
  });
}

CRnError WzScsiSrvBStorDevSnap::ResolveSnapshot(const std::string& args, std::string& path, std::string& ssid,
                                                bool& useCache, bool& playback) const {
  CCommandLineArguments parsed(args.c_str());
  useCache = parsed.HasOption("usesnapinfocache");
  playback = parsed.HasOption("playback");
  path.clear();
  ssid.clear();
  if (parsed.GetOption("path", path).IsSuccess() && !path.empty()) return CRnError();
  path.clear();
  if (parsed.GetOption("ssid", ssid).IsError() || ssid.empty()) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_BAD_ARGUMENTS,
                                   "a snapshot LUN needs -ssid (a snapshot id) or -path");
  }
  if (!IsPlainName(ssid)) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER,
                                   "snapshot id '%s' is not a plain file name", ssid.c_str());
  }
  std::string dir;
  CRnError readErr = WZPlatformInfo::getString(kSection, kKeySnapshotDir, dir);
  if (readErr.IsError() && readErr.GetCode() != HRESULT_FROM_WIN32(ERROR_NOT_FOUND_OR_NOT_ALLOWED)) {
    return readErr.Push(FX_HERE_IN(kFile), "cannot read the snapshot directory setting");
  }
  if (readErr.IsError() || dir.empty()) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                   "snapshot id %s given, but no snapshot directory is configured "
                                   "(section %s, key %s)",
                                   ssid.c_str(), kSection, kKeySnapshotDir);
  }
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  path = dir + "/" + ssid;
  return CRnError();
}

CRnError WzScsiSrvBStorDevSnap::Inspect(const std::string& path, bool useCache, wzbstor::BackingFileInfo& info) {
  if (useCache) {
    WzMutexLock guard(&m_cacheLock);
    auto it = m_snapInfoCache.find(path);
    if (it != m_snapInfoCache.end()) {
      info = it->second;
      WZLOG(1, "snapshot %s: cached info reused (%llu bytes)", path.c_str(),
            static_cast<unsigned long long>(info.size));
      return CRnError();
    }
  }
  if (CRnError err = wzbstor::InspectBackingFile(kFile, path, info)) return err;
  WzMutexLock guard(&m_cacheLock);
  m_snapInfoCache[path] = info;
  return CRnError();
}

CRnError WzScsiSrvBStorDevSnap::CreateLunPrepare(WzScsiServer::BStoreDesc* desc, WzScsiSrvLun* lun) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CreateLunPrepare", [&]() -> CRnError {
    if (desc == nullptr || lun == nullptr) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER,
                                     "no backing-store description or LUN record given");
    }
    if (wzbstor::ThreadFlagSet("OpenOnly")) return PrepareOpen(*lun);
    return PrepareCreate(*desc, *lun);
  });
}

CRnError WzScsiSrvBStorDevSnap::PrepareCreate(WzScsiServer::BStoreDesc& desc, WzScsiSrvLun& lun) {
  std::string path;
  std::string ssid;
  bool useCache = false;
  bool playback = false;
  if (CRnError err = ResolveSnapshot(desc.args(), path, ssid, useCache, playback)) {
    return err.Push(FX_HERE_IN(kFile), "snapshot LUN refused");
  }
  auto ctx = std::make_unique<LunContext>();
  if (CRnError err = Inspect(path, useCache, ctx->file)) {
    if (playback) return err.Push(FX_HERE_IN(kFile), "snapshot of a saved LUN cannot be served again");
    return err.Push(FX_HERE_IN(kFile), "snapshot LUN refused");
  }
  ctx->ssid = ssid;
  ctx->state = State::kCreating;
  lun.path = ctx->file.path;
  lun.size = ctx->file.size;
  lun.bstoreCtx = m_contexts.Add(std::move(ctx));
  WZLOG(1, "snapshot LUN of target %s on %s, %llu bytes%s", lun.targetId.c_str(), lun.path.c_str(),
        static_cast<unsigned long long>(lun.size), playback ? " (replayed)" : "");
  return CRnError();
}

CRnError WzScsiSrvBStorDevSnap::PrepareOpen(WzScsiSrvLun& lun) {
  LunContext* ctx = m_contexts.Find(lun.bstoreCtx);
  if (ctx == nullptr) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                   "LUN %d of target %s has no snapshot context to open", lun.lunId,
                                   lun.targetId.c_str());
  }
  if (ctx->state == State::kOpen) {
    WZLOG(0, "LUN %d of target %s is open already", lun.lunId, lun.targetId.c_str());
    return CRnError();
  }
  if (ctx->state != State::kClosed) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                   "LUN %d of target %s is in the middle of another change", lun.lunId,
                                   lun.targetId.c_str());
  }
  // The snapshot may have changed while the LUN was closed: look again.
  wzbstor::BackingFileInfo now;
  if (CRnError err = wzbstor::InspectBackingFile(kFile, ctx->file.path, now)) {
    return err.Push(FX_HERE_IN(kFile), "cannot open LUN %d of target %s", lun.lunId, lun.targetId.c_str());
  }
  if (now.device != ctx->file.device || now.inode != ctx->file.inode) {
    WZLOG(0, "snapshot %s was replaced while LUN %d of target %s was closed", now.path.c_str(), lun.lunId,
          lun.targetId.c_str());
  }
  ctx->file = now;
  ctx->state = State::kOpening;
  lun.path = now.path;
  lun.size = now.size;
  return CRnError();
}

CRnError WzScsiSrvBStorDevSnap::CreateLunCommit(WzScsiServer::BStoreDesc*, WzScsiSrvLun* lun) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CreateLunCommit", [&]() -> CRnError {
    LunContext* ctx = lun == nullptr ? nullptr : m_contexts.Find(lun->bstoreCtx);
    if (ctx == nullptr) return UnknownContext(FX_HERE_IN(kFile), lun == nullptr ? nullptr : lun->bstoreCtx);
    if (ctx->state == State::kOpening) {
      WZLOG(1, "LUN %d of target %s opened on %s", lun->lunId, lun->targetId.c_str(), ctx->file.path.c_str());
    }
    ctx->state = State::kOpen;
    return CRnError();
  });
}

CRnError WzScsiSrvBStorDevSnap::CreateLunAbort(WzScsiSrvLun* lun) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CreateLunAbort", [&]() -> CRnError {
    LunContext* ctx = lun == nullptr ? nullptr : m_contexts.Find(lun->bstoreCtx);
    if (ctx == nullptr) return UnknownContext(FX_HERE_IN(kFile), lun == nullptr ? nullptr : lun->bstoreCtx);
    switch (ctx->state) {
      case State::kCreating:
        m_contexts.Remove(lun->bstoreCtx);
        lun->bstoreCtx = nullptr;
        break;
      case State::kOpening:
        // The LUN record stays configured (closed) and keeps its context.
        ctx->state = State::kClosed;
        break;
      default:
        break;
    }
    return CRnError();
  });
}

CRnError WzScsiSrvBStorDevSnap::DeleteLunPrepare(void* bstoreCtx) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "DeleteLunPrepare", [&]() -> CRnError {
    LunContext* ctx = m_contexts.Find(bstoreCtx);
    if (ctx == nullptr) return UnknownContext(FX_HERE_IN(kFile), bstoreCtx);
    if (ctx->state != State::kOpen && ctx->state != State::kClosed) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                     "snapshot LUN on %s is in the middle of another change", ctx->file.path.c_str());
    }
    ctx->beforeDelete = ctx->state;
    ctx->state = wzbstor::ThreadFlagSet("CloseOnly") ? State::kClosing : State::kDeleting;
    return CRnError();
  });
}

CRnError WzScsiSrvBStorDevSnap::DeleteLunCommit(void* bstoreCtx) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "DeleteLunCommit", [&]() -> CRnError {
    LunContext* ctx = m_contexts.Find(bstoreCtx);
    if (ctx == nullptr) return UnknownContext(FX_HERE_IN(kFile), bstoreCtx);
    if (ctx->state == State::kClosing) {
      ctx->state = State::kClosed;
      WZLOG(1, "snapshot LUN on %s closed; kept for a later open", ctx->file.path.c_str());
      return CRnError();
    }
    // Only the context goes; the snapshot itself stays.
    m_contexts.Remove(bstoreCtx);
    return CRnError();
  });
}

CRnError WzScsiSrvBStorDevSnap::DeleteLunAbort(void* bstoreCtx) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "DeleteLunAbort", [&]() -> CRnError {
    LunContext* ctx = m_contexts.Find(bstoreCtx);
    if (ctx == nullptr) return UnknownContext(FX_HERE_IN(kFile), bstoreCtx);
    // The platform left the engine as it was.
    if (ctx->state == State::kClosing || ctx->state == State::kDeleting) ctx->state = ctx->beforeDelete;
    return CRnError();
  });
}

CRnError WzScsiSrvBStorDevSnap::HandleXDRMessage(CWzNetworkServer::WznCallback_e, CWzNetworkServer*, WznHandle_t,
                                                 unsigned long messageId, wzsDatabuf_v2*) {
  return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                 "the snapshot store takes no XDR messages (id 0x%lx)", messageId);
}
