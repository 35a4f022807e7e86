#include "plugins/platform/tgt_platform.h"

#include <cstdlib>
#include <string>
#include <vector>

#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/FXString.h"
#include "plugins/plugin_guard.h"
#include "plugins/request_flags.h"

using wztgt::TgtTargetInfo;

namespace {

const char* const kFile = "WzScsiSrvTgt";

// A target is looked up again at most this often when tgtd keeps
// answering "already exists" for tids that looked free (another tool is
// creating targets at the same time).
constexpr int kTidAttempts = 4;

CRnError NotInitialised(const FXCodeLocation& where) {
  return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                 "the tgt platform driver is not initialised");
}

// A missing key reads as empty; an unreadable store is an error.
CRnError ReadOptionalSetting(const char* section, const char* key, std::string& value, bool& found) {
  value.clear();
  found = false;
  CRnError err = WZPlatformInfo::getString(section, key, value);
  if (err.IsSuccess()) {
    found = true;
    return CRnError();
  }
  value.clear();
  if (err.GetCode() == HRESULT_FROM_WIN32(ERROR_NOT_FOUND_OR_NOT_ALLOWED)) return CRnError();
  return err.Push(FX_HERE_IN(kFile), "cannot read setting %s of section %s", key, section);
}

// The driver's own section first, then the one older configurations used.
CRnError ReadOptionalSetting(const char* key, std::string& value) {
  bool found = false;
  if (CRnError err = ReadOptionalSetting(WzScsiSrvTgtPlatform::kSection, key, value, found)) return err;
  if (found) return CRnError();
  return ReadOptionalSetting(WzScsiSrvTgtPlatform::kLegacySection, key, value, found);
}

std::string Join(const std::vector<std::string>& items) {
  std::string out;
  for (const std::string& s : items) {
    if (!out.empty()) out += ", ";
    out += s;
  }
  return out.empty() ? std::string("none") : out;
}

}  // namespace

CRnError WzScsiSrvTgtPlatform::ReadSettings(std::string& socketPath, std::string& portal) {
  socketPath.clear();
  portal.clear();
  if (CRnError err = ReadOptionalSetting(kKeyControlSocket, socketPath)) return err.Push(FX_HERE_IN(kFile));
  if (socketPath.empty()) {
    const char* prefix = std::getenv("TGT_IPC_SOCKET");
    socketPath = std::string(prefix != nullptr && *prefix != '\0' ? prefix : wztgt::kDefaultSocketPrefix) + ".0";
  }
  // Without a portal, tgtd's portals are taken as they are.
  if (CRnError err = ReadOptionalSetting(kKeyPortal, portal)) return err.Push(FX_HERE_IN(kFile));
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::Init() {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "Init", [&]() -> CRnError {
    WZ_TRACE_SCOPE(1);
    std::lock_guard<std::mutex> guard(m_lock);
    std::string socketPath;
    std::string portal;
    if (CRnError err = ReadSettings(socketPath, portal)) return err.Push(FX_HERE_IN(kFile));
    m_client.reset(new wztgt::TgtClient(socketPath));
    m_portal = portal;
    m_tgtd.Clear();
    m_hostLuns.clear();
    m_tgtdPid = 0;
    if (CRnError err = ReadTgtd()) {
      m_client.reset();
      return err.Push(FX_HERE_IN(kFile), "cannot use tgtd through %s", socketPath.c_str());
    }
    if (CRnError err = EnsurePortal()) {
      m_client.reset();
      return err.Push(FX_HERE_IN(kFile));
    }
    WZLOG(0, "tgt engine: tgtd (process %d) on %s holds %zu targets; portal %s", static_cast<int>(m_tgtdPid),
          socketPath.c_str(), m_tgtd.Targets().size(), m_portal.empty() ? "not checked" : m_portal.c_str());
    return CRnError();
  });
}

CRnError WzScsiSrvTgtPlatform::EnsurePortal() {
  if (m_portal.empty()) return CRnError();
  std::vector<std::string> portals;
  if (CRnError err = m_client->ShowPortals(portals)) return err.Push(FX_HERE_IN(kFile));
  bool found = false;
  for (const std::string& p : portals) {
    if (p == m_portal) {
      found = true;
    } else {
      WZLOG(0, "tgtd also listens on portal %s", p.c_str());
    }
  }
  if (found) return CRnError();
  if (CRnError err = m_client->NewPortal(m_portal)) {
    return err.Push(FX_HERE_IN(kFile), "tgtd does not listen on the configured portal %s (its portals: %s)",
                    m_portal.c_str(), Join(portals).c_str());
  }
  WZLOG(0, "added portal %s to tgtd", m_portal.c_str());
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::ReadTgtd() {
  std::string text;
  pid_t pid = 0;
  if (CRnError err = m_client->ShowTargets(text, &pid)) return err.Push(FX_HERE_IN(kFile));
  std::vector<TgtTargetInfo> targets;
  if (CRnError err = wztgt::ParseTargetShow(text, targets)) return err.Push(FX_HERE_IN(kFile));
  m_tgtd.Clear();
  for (const TgtTargetInfo& t : targets) m_tgtd.Put(t);
  m_tgtdPid = pid;
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::ReadTgtdIfRestarted() {
  if (!m_client) return NotInitialised(FX_HERE_IN(kFile));
  pid_t pid = 0;
  if (CRnError err = m_client->Probe(pid)) return err.Push(FX_HERE_IN(kFile));
  if (pid == m_tgtdPid) return CRnError();
  WZLOG(0, "tgtd changed (process %d, was %d): reading its configuration again", static_cast<int>(pid),
        static_cast<int>(m_tgtdPid));
  if (CRnError err = ReadTgtd()) return err.Push(FX_HERE_IN(kFile));
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::FindTarget(const std::string& targetId, TgtTargetInfo*& target) {
  target = m_tgtd.FindByName(targetId);
  if (target != nullptr) return CRnError();
  return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                 "target %s does not exist in tgtd", targetId.c_str());
}

CRnError WzScsiSrvTgtPlatform::CreateTarget(WzScsiSrvModelTarget& target) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CreateTarget", [&]() -> CRnError {
    std::lock_guard<std::mutex> guard(m_lock);
    CRnError err = ReadTgtdIfRestarted();
    if (err.IsSuccess()) err = CreateTargetLocked(target.targetId);
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot create target %s", target.targetId.c_str());
    }
    return CRnError();
  });
}

CRnError WzScsiSrvTgtPlatform::CreateTargetLocked(const std::string& name) {
  if (name.empty()) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER, "the target name is empty");
  }
  for (int attempt = 0; attempt < kTidAttempts; ++attempt) {
    if (TgtTargetInfo* existing = m_tgtd.FindByName(name)) {
      WZLOG(1, "Adopting tgtd target %s (tid %d)", existing->name.c_str(), existing->tid);
      return CRnError();
    }
    TgtTargetInfo fresh;
    fresh.tid = m_tgtd.LowestFreeTid();
    fresh.name = name;
    uint32_t status = 0;
    CRnError err = m_client->NewTarget(fresh.tid, name, &status);
    if (err.IsSuccess()) {
      m_tgtd.Put(fresh);
      WZLOG(1, "Created tgtd target %s (tid %d)", name.c_str(), fresh.tid);
      return CRnError();
    }
    // Somebody else took the tid (or the name) meanwhile: look again.
    if (status != wztgt::kTgtTargetExists) return err.Push(FX_HERE_IN(kFile));
    if (CRnError readErr = ReadTgtd()) return readErr.Push(FX_HERE_IN(kFile));
  }
  return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                 "tgtd kept refusing new tids for target %s", name.c_str());
}

CRnError WzScsiSrvTgtPlatform::DeleteTarget(WzScsiSrvModelTarget& target) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "DeleteTarget", [&]() -> CRnError {
    std::lock_guard<std::mutex> guard(m_lock);
    if (CRnError err = ReadTgtdIfRestarted()) {
      return err.Push(FX_HERE_IN(kFile), "cannot delete target %s", target.targetId.c_str());
    }
    TgtTargetInfo* t = m_tgtd.FindByName(target.targetId);
    if (t == nullptr) {
      WZLOG(0, "target %s is not in tgtd: nothing to delete", target.targetId.c_str());
      m_hostLuns.erase(FXString::ToLowerAscii(target.targetId));
      m_closedLuns.erase(FXString::ToLowerAscii(target.targetId));
      return CRnError();
    }
    const int32_t tid = t->tid;
    if (!t->sessions.empty()) {
      WZLOG(0, "deleting target %s ends %zu initiator sessions", t->name.c_str(), t->sessions.size());
    }
    uint32_t status = 0;
    // The service deletes a target only once it has no LUNs and no mappings;
    // sessions still logged in to it serve nothing and must not keep it.
    CRnError err = m_client->DeleteTarget(tid, true, &status);
    if (err.IsError() && status != wztgt::kTgtNoTarget) {
      return err.Push(FX_HERE_IN(kFile), "cannot delete target %s (tid %d)", target.targetId.c_str(), tid);
    }
    m_tgtd.Erase(tid);
    m_hostLuns.erase(FXString::ToLowerAscii(target.targetId));
    m_closedLuns.erase(FXString::ToLowerAscii(target.targetId));
    WZLOG(1, "Deleted tgtd target %s (tid %d)", target.targetId.c_str(), tid);
    return CRnError();
  });
}

CRnError WzScsiSrvTgtPlatform::CreateLun(WzScsiSrvLun* lun) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CreateLun", [&]() -> CRnError {
    if (lun == nullptr) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER, "no LUN record given");
    }
    std::lock_guard<std::mutex> guard(m_lock);
    CRnError err = ReadTgtdIfRestarted();
    if (err.IsSuccess()) err = CreateLunLocked(*lun, true);
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot create LUN %d of target %s on %s", lun->lunId,
                      lun->targetId.c_str(), lun->path.c_str());
    }
    return CRnError();
  });
}

CRnError WzScsiSrvTgtPlatform::CreateLunLocked(WzScsiSrvLun& lun, bool mayReread) {
  TgtTargetInfo* t = nullptr;
  if (CRnError err = FindTarget(lun.targetId, t)) return err.Push(FX_HERE_IN(kFile));
  if (lun.path.empty()) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER, "the LUN has no backing path");
  }
  int32_t number = lun.lunId;
  std::set<int32_t>& closed = m_closedLuns[FXString::ToLowerAscii(lun.targetId)];
  if (number == -1) {
    for (number = 1; number <= kMaxLunNumber &&
                     (t->luns.count(static_cast<uint64_t>(number)) != 0 || closed.count(number) != 0);
         ++number) {
    }
    if (number > kMaxLunNumber) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                     "target %s has no free LUN number (1 to %d are in use)", t->name.c_str(),
                                     kMaxLunNumber);
    }
  } else if (number < 1 || number > kMaxLunNumber) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER,
                                   "LUN number %d is outside 1 to %d (LUN 0 is tgtd's controller)", number,
                                   kMaxLunNumber);
  } else {
    auto existing = t->luns.find(static_cast<uint64_t>(number));
    if (existing != t->luns.end()) {
      if (existing->second.path != lun.path) {
        // The picture may be old (an administrator may have removed the unit
        // with tgtadm since): look again once before refusing.
        if (mayReread) {
          if (CRnError readErr = ReadTgtd()) return readErr.Push(FX_HERE_IN(kFile));
          return CreateLunLocked(lun, false);
        }
        return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                       "LUN number conflict: tgtd target %s already has LUN %d on %s", t->name.c_str(),
                                       number, existing->second.path.c_str());
      }
      WZLOG(1, "Adopting tgtd LUN %d of target %s on %s", number, t->name.c_str(), lun.path.c_str());
      closed.erase(number);
      return CRnError();
    }
  }
  const uint32_t blockSize = lun.blockSize == 512 ? 0 : lun.blockSize;
  uint32_t status = 0;
  CRnError err = m_client->NewLun(t->tid, static_cast<uint64_t>(number), lun.path, blockSize, &status);
  if (err.IsError()) {
    // tgtd knows something the picture lacks: look again once and decide anew.
    if (mayReread && (status == wztgt::kTgtLunExists || status == wztgt::kTgtNoTarget)) {
      if (CRnError readErr = ReadTgtd()) return readErr.Push(FX_HERE_IN(kFile));
      return CreateLunLocked(lun, false);
    }
    return err.Push(FX_HERE_IN(kFile));
  }
  wztgt::TgtLu lu;
  lu.lun = static_cast<uint64_t>(number);
  lu.type = "disk";
  lu.path = lun.path;
  t->luns[lu.lun] = lu;
  closed.erase(number);  // an open (or a replay) brings the closed LUN back
  lun.lunId = number;
  WZLOG(1, "Created tgtd LUN %d of target %s (tid %d) on %s", number, t->name.c_str(), t->tid, lun.path.c_str());
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::DeleteLun(WzScsiSrvLun* lun) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "DeleteLun", [&]() -> CRnError {
    if (lun == nullptr) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER, "no LUN record given");
    }
    std::lock_guard<std::mutex> guard(m_lock);
    CRnError err = ReadTgtdIfRestarted();
    if (err.IsSuccess()) err = DeleteLunLocked(*lun);
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot delete LUN %d of target %s", lun->lunId, lun->targetId.c_str());
    }
    return CRnError();
  });
}

CRnError WzScsiSrvTgtPlatform::DeleteLunLocked(const WzScsiSrvLun& lun) {
  TgtTargetInfo* t = m_tgtd.FindByName(lun.targetId);
  if (t == nullptr || lun.lunId < 1 || t->luns.count(static_cast<uint64_t>(lun.lunId)) == 0) {
    WZLOG(0, "LUN %d of target %s is not in tgtd: nothing to delete", lun.lunId, lun.targetId.c_str());
    return CRnError();
  }
  const uint64_t number = static_cast<uint64_t>(lun.lunId);
  const std::string& tgtdPath = t->luns[number].path;
  // Never take away a unit that serves another file than this LUN's.
  if (!lun.path.empty() && tgtdPath != lun.path) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                   "tgtd's LUN %d of target %s is backed by %s, not %s: left alone", lun.lunId,
                                   t->name.c_str(), tgtdPath.c_str(), lun.path.c_str());
  }
  uint32_t status = 0;
  CRnError err = m_client->DeleteLun(t->tid, number, &status);
  if (err.IsError() && status != wztgt::kTgtNoLun && status != wztgt::kTgtNoTarget) {
    return err.Push(FX_HERE_IN(kFile));
  }
  t->luns.erase(number);
  if (wzplugin::CloseOnlyRequested()) m_closedLuns[FXString::ToLowerAscii(lun.targetId)].insert(lun.lunId);
  WZLOG(1, "Deleted tgtd LUN %d of target %s (tid %d)", lun.lunId, t->name.c_str(), t->tid);
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::MapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "MapHost", [&]() -> CRnError {
    std::lock_guard<std::mutex> guard(m_lock);
    CRnError err = ReadTgtdIfRestarted();
    if (err.IsSuccess()) err = MapHostLocked(lun, host.hostId);
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot map host %s to LUN %d of target %s", host.hostId.c_str(),
                      lun.lunId, lun.targetId.c_str());
    }
    return CRnError();
  });
}

CRnError WzScsiSrvTgtPlatform::MapHostLocked(const WzScsiSrvModelLun& lun, const std::string& host) {
  if (host.empty()) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER, "the host id is empty");
  }
  TgtTargetInfo* t = nullptr;
  if (CRnError err = FindTarget(lun.targetId, t)) return err.Push(FX_HERE_IN(kFile));
  HostLuns& hosts = m_hostLuns[FXString::ToLowerAscii(lun.targetId)];
  std::set<int32_t>& luns = hosts[host];
  const bool added = luns.insert(lun.lunId).second;
  if (t->acls.count(host) != 0) {
    WZLOG(1, "Initiator %s is bound to tgtd target %s already (%zu mapped LUNs)", host.c_str(), t->name.c_str(),
          luns.size());
    return CRnError();
  }
  uint32_t status = 0;
  CRnError err = m_client->BindInitiatorName(t->tid, host, &status);
  if (err.IsError() && status != wztgt::kTgtAclExists) {
    if (added) luns.erase(lun.lunId);
    if (luns.empty()) hosts.erase(host);
    return err.Push(FX_HERE_IN(kFile));
  }
  t->acls.insert(host);
  WZLOG(1, "Bound initiator %s to tgtd target %s (tid %d)", host.c_str(), t->name.c_str(), t->tid);
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::UnMapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "UnMapHost", [&]() -> CRnError {
    std::lock_guard<std::mutex> guard(m_lock);
    CRnError err = ReadTgtdIfRestarted();
    if (err.IsSuccess()) err = UnMapHostLocked(lun, host.hostId);
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot unmap host %s from LUN %d of target %s", host.hostId.c_str(),
                      lun.lunId, lun.targetId.c_str());
    }
    return CRnError();
  });
}

CRnError WzScsiSrvTgtPlatform::UnMapHostLocked(const WzScsiSrvModelLun& lun, const std::string& host) {
  const std::string key = FXString::ToLowerAscii(lun.targetId);
  HostLuns& hosts = m_hostLuns[key];
  auto mapped = hosts.find(host);
  bool removed = false;
  if (mapped != hosts.end()) {
    removed = mapped->second.erase(lun.lunId) != 0;
    if (!mapped->second.empty()) {
      WZLOG(1, "Initiator %s stays bound to target %s: %zu more mapped LUNs", host.c_str(), lun.targetId.c_str(),
            mapped->second.size());
      return CRnError();
    }
  }
  TgtTargetInfo* t = m_tgtd.FindByName(lun.targetId);
  if (t != nullptr) {
    uint32_t status = 0;
    CRnError err = m_client->UnbindInitiatorName(t->tid, host, &status);
    if (err.IsError() && status != wztgt::kTgtAclMissing) {
      if (removed) hosts[host].insert(lun.lunId);
      return err.Push(FX_HERE_IN(kFile));
    }
    t->acls.erase(host);
    WZLOG(1, "Unbound initiator %s from tgtd target %s (tid %d)", host.c_str(), t->name.c_str(), t->tid);
  }
  hosts.erase(host);
  if (hosts.empty()) m_hostLuns.erase(key);
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::CleanUp() {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CleanUp", [&]() -> CRnError {
    WZ_TRACE_SCOPE(1);
    std::lock_guard<std::mutex> guard(m_lock);
    m_client.reset();
    m_tgtd.Clear();
    m_hostLuns.clear();
    m_tgtdPid = 0;
    return CRnError();
  });
}
