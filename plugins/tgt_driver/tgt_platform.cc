#include "plugins/tgt_driver/tgt_platform.h"

#include <algorithm>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

#include "drivers/unit_serial.h"
#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/FXString.h"
#include "hostlib/util/wz_environment.h"
#include "plugins/common/chap_rules.h"
#include "plugins/common/plugin_guard.h"
#include "plugins/common/request_flags.h"
#include "plugins/tgt_driver/tgt_driver_util.h"

using wztgt::TgtTargetInfo;
using wztgtdriver::Gone;
using wztgtdriver::JoinNames;
using wztgtdriver::kFile;
using wztgtdriver::Lower;
using wztgtdriver::Marked;

namespace {

// A target is looked up again at most this often when tgtd keeps
// answering "already exists" for tids that looked free (another tool is
// creating targets at the same time).
constexpr int kTidAttempts = 4;

// A unit's identity (drivers/unit_serial.h): every designator an initiator
// groups paths by comes from the unit serial, never from the tid, which
// differs between gateways and across re-creations of a target.
bool HasIdentity(const wztgt::TgtLu& unit, const std::string& serial) {
  return unit.serial == serial && unit.scsiId == serial;
}
CRnError SetIdentity(const wztgt::TgtClient& client, int32_t tid, uint64_t unit, const std::string& serial) {
  return client.SetUnitIdentity(tid, unit, serial);
}

CRnError NotInitialised(const FXCodeLocation& where) {
  return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "the tgt platform driver is not initialised");
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

// The unit on tgtd's backing store for the LUN's type: an RBD image through
// tgtd's rbd module, with the gateway's Ceph identity (the LUN's extData,
// set by the service) as its options; a file or device through the default.
CRnError NewEngineLun(const wztgt::TgtClient& client, int32_t tid, uint64_t unit, const WzScsiSrvLun& lun,
                      uint32_t* status) {
  if (lun.bstorType == WzScsiServer::BSTOR_RBD) return client.NewLunOn(tid, unit, lun.path, "rbd", lun.extData, status);
  const uint32_t blockSize = lun.blockSize == 512 ? 0 : lun.blockSize;
  return client.NewLun(tid, unit, lun.path, blockSize, status);
}

}  // namespace

std::string WzScsiSrvTgtPlatform::OwnerMark(const std::string& name) {
  return WzScsiSrvUnitSerial(kOwnerMarkPrefix, Lower(name), 0);
}

// ---------------------------------------------------------------- settings and life

CRnError WzScsiSrvTgtPlatform::ReadSettings(std::string& socketPath, std::string& portal) {
  socketPath.clear();
  portal.clear();
  if (CRnError err = ReadOptionalSetting(kKeyControlSocket, socketPath)) return err.Push(FX_HERE_IN(kFile));
  if (socketPath.empty()) {
    // Through WzEnvironment: other threads' requests set variables meanwhile.
    const std::string prefix = WzEnvironment::Get("TGT_IPC_SOCKET");
    socketPath = (prefix.empty() ? std::string(wztgt::kDefaultSocketPrefix) : prefix) + ".0";
  }
  // Without a portal, tgtd's portals are taken as they are.
  if (CRnError err = ReadOptionalSetting(kKeyPortal, portal)) return err.Push(FX_HERE_IN(kFile));
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::Init() {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "Init", [&]() -> CRnError {
    WZ_TRACE_SCOPE(1);
    std::string socketPath;
    std::string portal;
    if (CRnError err = ReadSettings(socketPath, portal)) return err.Push(FX_HERE_IN(kFile));
    auto client = std::make_shared<const wztgt::TgtClient>(socketPath);
    {
      WzMutexLock auth(&m_authLock);
      m_chap.clear();
      m_accounts.clear();
      m_accountsInstance = 0;
    }
    {
      WzMutexLock guard(&m_lock);
      m_client.reset();
      m_probe.reset();
      m_picture.Clear();
      m_newTids.clear();
      m_hostLuns.clear();
      m_closedLuns.clear();
    }
    m_portal = portal;
    if (CRnError err = ReadTgtd(*client)) {
      return err.Push(FX_HERE_IN(kFile), "cannot use tgtd through %s", socketPath.c_str());
    }
    if (CRnError err = EnsurePortal(*client)) return err.Push(FX_HERE_IN(kFile));
    WzMutexLock guard(&m_lock);
    m_client = client;
    m_probe = std::make_shared<const wztgt::TgtClient>(socketPath, kProbeTimeoutMs);
    WZLOG(0, "tgt engine: tgtd (process %d) on %s holds %zu targets; portal %s", static_cast<int>(m_picture.Pid()),
          socketPath.c_str(), m_picture.Table().Targets().size(), m_portal.empty() ? "not checked" : m_portal.c_str());
    return CRnError();
  });
}

CRnError WzScsiSrvTgtPlatform::EnsurePortal(const wztgt::TgtClient& client) {
  if (m_portal.empty()) return CRnError();
  std::vector<std::string> portals;
  if (CRnError err = client.ShowPortals(portals)) return err.Push(FX_HERE_IN(kFile));
  bool found = false;
  for (const std::string& p : portals) {
    if (p == m_portal) {
      found = true;
    } else {
      WZLOG(0, "tgtd also listens on portal %s", p.c_str());
    }
  }
  if (found) return CRnError();
  if (CRnError err = client.NewPortal(m_portal)) {
    return err.Push(FX_HERE_IN(kFile), "tgtd does not listen on the configured portal %s (its portals: %s)",
                    m_portal.c_str(), JoinNames(portals).c_str());
  }
  WZLOG(0, "added portal %s to tgtd", m_portal.c_str());
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::CleanUp() {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CleanUp", [&]() -> CRnError {
    WZ_TRACE_SCOPE(1);
    {
      WzMutexLock auth(&m_authLock);
      m_chap.clear();
      m_accounts.clear();
      m_accountsInstance = 0;
    }
    WzMutexLock guard(&m_lock);
    m_client.reset();
    m_probe.reset();
    m_picture.Clear();
    m_newTids.clear();
    m_hostLuns.clear();
    m_closedLuns.clear();
    return CRnError();
  });
}

uint64_t WzScsiSrvTgtPlatform::EngineInstance() {
  std::shared_ptr<const wztgt::TgtClient> probe;
  {
    WzMutexLock guard(&m_lock);
    probe = m_probe;
  }
  pid_t pid = 0;
  if (!probe || probe->Probe(pid).IsError()) return 0;
  // tgtd in a process namespace this one cannot see: reachable, identity
  // unknown.
  return pid > 0 ? wztgt::TgtdInstanceOf(pid) : 1;
}

// ---------------------------------------------------------------- the picture of tgtd

CRnError WzScsiSrvTgtPlatform::ReadTgtd(const wztgt::TgtClient& client, std::vector<TgtTargetInfo>* shown) {
  uint64_t ticket = 0;
  {
    WzMutexLock guard(&m_lock);
    ticket = m_picture.BeginRead();
  }
  std::string text;
  pid_t pid = 0;
  std::vector<TgtTargetInfo> targets;
  CRnError err = client.ShowTargets(text, &pid);
  if (err.IsSuccess()) err = wztgt::ParseTargetShow(text, targets);
  const uint64_t instance = wztgt::TgtdInstanceOf(pid);
  WzMutexLock guard(&m_lock);
  if (err.IsError()) {
    m_picture.Abandon(ticket);
    return err.Push(FX_HERE_IN(kFile));
  }
  m_picture.Install(ticket, pid, instance, targets);
  if (shown != nullptr) shown->swap(targets);
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::Connect(std::optional<TgtdLink>& link) {
  std::shared_ptr<const wztgt::TgtClient> client;
  uint64_t known = 0;
  {
    WzMutexLock guard(&m_lock);
    client = m_client;
    known = m_picture.Instance();
  }
  if (!client) return NotInitialised(FX_HERE_IN(kFile));
  pid_t pid = 0;
  if (CRnError err = client->Probe(pid)) return err.Push(FX_HERE_IN(kFile));
  const uint64_t instance = wztgt::TgtdInstanceOf(pid);
  if (instance == 0 || instance != known) {
    WZLOG(0, "tgtd changed (process %d, instance %llx, was %llx): reading its configuration again",
          static_cast<int>(pid), static_cast<unsigned long long>(instance), static_cast<unsigned long long>(known));
    if (CRnError err = ReadTgtd(*client)) return err.Push(FX_HERE_IN(kFile));
  }
  WzMutexLock guard(&m_lock);
  link = TgtdLink{client, client->ForProcess(m_picture.Pid()), m_picture.Instance()};
  return CRnError();
}

template <typename Body>
CRnError WzScsiSrvTgtPlatform::WithLink(Body&& body) {
  CRnError err;
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::optional<TgtdLink> link;
    err = Connect(link);
    if (err.IsSuccess()) err = body(*link);
    if (!wztgt::TgtProcessChanged(err)) break;
  }
  return err;
}

WzScsiSrvTgtPlatform::TargetCopy WzScsiSrvTgtPlatform::CopyTarget(const std::string& name) {
  TargetCopy copy;
  WzMutexLock guard(&m_lock);
  if (TgtTargetInfo* t = m_picture.Table().FindByName(name)) {
    copy.found = true;
    copy.marked = Marked(*t);
    copy.info = *t;
  }
  return copy;
}

TgtTargetInfo* WzScsiSrvTgtPlatform::BookedTarget(uint64_t instance, int32_t tid, const std::string& name) {
  if (m_picture.Instance() != instance) return nullptr;
  TgtTargetInfo* t = m_picture.Table().FindByTid(tid);
  return t != nullptr && t->name == name ? t : nullptr;
}

CRnError WzScsiSrvTgtPlatform::RefuseForeign(const FXCodeLocation& where, const TargetCopy& t) const {
  return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                 "tgtd target %s (tid %d) is not the service's (its LUN 0 lacks the service's "
                                 "serial mark): left alone",
                                 t.info.name.c_str(), t.info.tid);
}

// ---------------------------------------------------------------- targets

CRnError WzScsiSrvTgtPlatform::CreateTarget(WzScsiSrvModelTarget& target) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CreateTarget", [&]() -> CRnError {
    CRnError err = wzplugin::CheckChap(FX_HERE_IN(kFile), target.chap);
    if (err.IsSuccess()) {
      err = WithLink([&](const TgtdLink& link) -> CRnError {
        if (CRnError created = CreateTargetOnce(link, target.targetId)) return created;
        if (!target.chap.enabled) {
          // Never turned off here: a replay may set CHAP only after the
          // creation, and an initiator must not get in meanwhile.
          const TargetCopy t = CopyTarget(target.targetId);
          if (!t.info.accounts.empty()) {
            WZLOG(0,
                  "tgtd target %s binds CHAP accounts (%s) that the configuration lacks: kept until CHAP is "
                  "turned off",
                  t.info.name.c_str(), JoinNames(t.info.accounts).c_str());
          }
          return CRnError();
        }
        // Before any host is mapped, so that no initiator logs in without CHAP.
        return ChangeChap(link, target, target.chap);
      });
    }
    if (err.IsError()) return err.Push(FX_HERE_IN(kFile), "cannot create target %s", target.targetId.c_str());
    return CRnError();
  });
}

CRnError WzScsiSrvTgtPlatform::CreateTargetOnce(const TgtdLink& link, const std::string& name) {
  if (name.empty()) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER, "the target name is empty");
  }
  for (int attempt = 0; attempt < kTidAttempts; ++attempt) {
    TargetCopy existing;
    TgtTargetInfo fresh;
    {
      WzMutexLock guard(&m_lock);
      wztgt::TgtTargetTable& table = m_picture.Table();
      if (TgtTargetInfo* t = table.FindByName(name)) {
        existing.found = true;
        existing.marked = Marked(*t);
        existing.info = *t;
      } else {
        // Creations in flight hold their tids until tgtd has answered.
        fresh.tid = 1;
        while (table.FindByTid(fresh.tid) != nullptr || m_newTids.count(fresh.tid) != 0) ++fresh.tid;
        m_newTids.insert(fresh.tid);
      }
    }
    if (existing.found) {
      if (existing.marked) {
        WZLOG(1, "Adopting tgtd target %s (tid %d)", existing.info.name.c_str(), existing.info.tid);
        return CRnError();
      }
      if (CRnError err = MarkTarget(link, existing.info)) return err.Push(FX_HERE_IN(kFile));
      WZLOG(0, "Adopted tgtd target %s (tid %d), which lacked the service's mark: marked", existing.info.name.c_str(),
            existing.info.tid);
      return CRnError();
    }
    fresh.name = name;
    uint32_t status = 0;
    CRnError err = link.client.NewTarget(fresh.tid, name, &status);
    if (err.IsSuccess()) {
      err = link.client.SetUnitSerial(fresh.tid, 0, OwnerMark(name));
      // An unmarked target would be nobody's: take it back.
      if (err.IsError() && link.client.DeleteTarget(fresh.tid, true).IsError()) {
        WZLOG(-1, "cannot take back tgtd target %s (tid %d), left unmarked", name.c_str(), fresh.tid);
      }
    }
    {
      WzMutexLock guard(&m_lock);
      m_newTids.erase(fresh.tid);
      if (err.IsSuccess() && m_picture.Instance() == link.instance) {
        wztgt::TgtLu controller;
        controller.lun = 0;
        controller.type = "controller";
        controller.path = "None";
        controller.serial = OwnerMark(name);
        fresh.luns[0] = controller;
        m_picture.Table().Put(fresh);
        m_picture.Touched(name);
      }
    }
    if (err.IsSuccess()) {
      WZLOG(1, "Created tgtd target %s (tid %d)", name.c_str(), fresh.tid);
      return CRnError();
    }
    // Somebody else took the tid (or the name) meanwhile: look again.
    if (status != wztgt::kTgtTargetExists) return err.Push(FX_HERE_IN(kFile));
    if (CRnError readErr = ReadTgtd(*link.any)) return readErr.Push(FX_HERE_IN(kFile));
  }
  return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                 "tgtd kept refusing new tids for target %s", name.c_str());
}

CRnError WzScsiSrvTgtPlatform::MarkTarget(const TgtdLink& link, const TgtTargetInfo& target) {
  if (CRnError err = link.client.SetUnitSerial(target.tid, 0, OwnerMark(target.name))) {
    return err.Push(FX_HERE_IN(kFile), "cannot mark tgtd target %s (tid %d) as the service's", target.name.c_str(),
                    target.tid);
  }
  WzMutexLock guard(&m_lock);
  if (TgtTargetInfo* t = BookedTarget(link.instance, target.tid, target.name)) {
    t->luns[0].serial = OwnerMark(target.name);
    m_picture.Touched(target.name);
  }
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::DeleteTarget(WzScsiSrvModelTarget& target) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "DeleteTarget", [&]() -> CRnError {
    CRnError err = WithLink([&](const TgtdLink& link) { return DeleteTargetOnce(link, target.targetId, false); });
    if (err.IsError()) return err.Push(FX_HERE_IN(kFile), "cannot delete target %s", target.targetId.c_str());
    return CRnError();
  });
}

// Removes the target with whatever it holds, ending its sessions. The
// service deletes a target only once it has no LUNs and no mappings;
// sessions still logged in to it serve nothing and must not keep it.
CRnError WzScsiSrvTgtPlatform::DeleteTargetOnce(const TgtdLink& link, const std::string& name, bool orphan) {
  const TargetCopy t = CopyTarget(name);
  if (t.found && !t.marked) return RefuseForeign(FX_HERE_IN(kFile), t);
  if (t.found) {
    if (!t.info.sessions.empty()) {
      WZLOG(0, "deleting target %s ends %zu initiator sessions", t.info.name.c_str(), t.info.sessions.size());
    }
    if (orphan && t.info.luns.size() > 1) {
      WZLOG(0, "removing orphan target %s takes its %zu LUNs", t.info.name.c_str(), t.info.luns.size() - 1);
    }
    uint32_t status = 0;
    CRnError err = link.client.DeleteTarget(t.info.tid, true, &status);
    if (!Gone(err, status, wztgt::kTgtNoTarget)) {
      return err.Push(FX_HERE_IN(kFile), "cannot delete target %s (tid %d)", name.c_str(), t.info.tid);
    }
  } else {
    WZLOG(0, "target %s is not in tgtd: nothing to delete", name.c_str());
  }
  {
    WzMutexLock guard(&m_lock);
    if (t.found && BookedTarget(link.instance, t.info.tid, t.info.name) != nullptr) {
      m_picture.Table().Erase(t.info.tid);
      m_picture.Touched(t.info.name);
    }
    m_hostLuns.erase(Lower(name));
    m_closedLuns.erase(Lower(name));
    if (t.found) WZLOG(1, "Deleted tgtd target %s (tid %d)", name.c_str(), t.info.tid);
  }
  // tgtd keeps the accounts of a deleted target.
  ForgetTargetAuth(link, name, t.found ? &t.info : nullptr);
  return CRnError();
}

// ---------------------------------------------------------------- LUNs

CRnError WzScsiSrvTgtPlatform::CreateLun(WzScsiSrvLun* lun) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CreateLun", [&]() -> CRnError {
    if (lun == nullptr) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER, "no LUN record given");
    }
    CRnError err = WithLink([&](const TgtdLink& link) { return CreateLunOnce(link, *lun, true); });
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot create LUN %d of target %s on %s", lun->lunId, lun->targetId.c_str(),
                      lun->path.c_str());
    }
    return CRnError();
  });
}

CRnError WzScsiSrvTgtPlatform::CreateLunOnce(const TgtdLink& link, WzScsiSrvLun& lun, bool mayReread) {
  if (lun.path.empty()) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER, "the LUN has no backing path");
  }
  // tgtd opens a relative path against its own working directory, not the
  // service's, and would serve another file than the one checked.
  if (lun.bstorType != WzScsiServer::BSTOR_RBD && lun.path[0] != '/') {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER,
                                   "the backing path \"%s\" is not absolute", lun.path.c_str());
  }
  const std::string key = Lower(lun.targetId);
  TargetCopy t;
  int32_t number = lun.lunId;
  {
    WzMutexLock guard(&m_lock);
    if (TgtTargetInfo* held = m_picture.Table().FindByName(lun.targetId)) {
      t.found = true;
      t.marked = Marked(*held);
      t.info = *held;
    }
    if (t.found && t.marked && number == -1) {
      const std::set<int32_t>& closed = m_closedLuns[key];
      for (number = 1; number <= kMaxLunNumber &&
                       (t.info.luns.count(static_cast<uint64_t>(number)) != 0 || closed.count(number) != 0);
           ++number) {
      }
    }
  }
  if (!t.found) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                   "target %s does not exist in tgtd", lun.targetId.c_str());
  }
  if (!t.marked) return RefuseForeign(FX_HERE_IN(kFile), t);
  if (lun.lunId == -1 && number > kMaxLunNumber) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                   "target %s has no free LUN number (1 to %d are in use)", t.info.name.c_str(),
                                   kMaxLunNumber);
  }
  if (number < 1 || number > kMaxLunNumber) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER,
                                   "LUN number %d is outside 1 to %d (LUN 0 is tgtd's controller)", number,
                                   kMaxLunNumber);
  }
  const std::string serial = WzScsiSrvUnitSerial(lun.serialPrefix, lun.targetId, number);
  const uint64_t unit = static_cast<uint64_t>(number);
  auto existing = t.info.luns.find(unit);
  if (existing != t.info.luns.end()) {
    if (existing->second.path != lun.path) {
      // The picture may be old (an administrator may have removed the unit
      // with tgtadm since): look again once before refusing.
      if (mayReread) {
        if (CRnError readErr = ReadTgtd(*link.any)) return readErr.Push(FX_HERE_IN(kFile));
        return CreateLunOnce(link, lun, false);
      }
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                     "LUN number conflict: tgtd target %s already has LUN %d on %s",
                                     t.info.name.c_str(), number, existing->second.path.c_str());
    }
    // A unit made before the driver set identities (or changed by hand)
    // reports tgtd's own, which depends on the tid.
    if (!HasIdentity(existing->second, serial)) {
      if (CRnError err = SetIdentity(link.client, t.info.tid, unit, serial)) return err.Push(FX_HERE_IN(kFile));
      WZLOG(0, "LUN %d of tgtd target %s reported unit serial %s and SCSI id %s: now %s", number, t.info.name.c_str(),
            existing->second.serial.c_str(), existing->second.scsiId.c_str(), serial.c_str());
    }
    WZLOG(1, "Adopting tgtd LUN %d of target %s on %s", number, t.info.name.c_str(), lun.path.c_str());
  } else {
    uint32_t status = 0;
    CRnError err = NewEngineLun(link.client, t.info.tid, unit, lun, &status);
    if (err.IsError()) {
      // tgtd knows something the picture lacks: look again once and decide anew.
      if (mayReread && (status == wztgt::kTgtLunExists || status == wztgt::kTgtNoTarget)) {
        if (CRnError readErr = ReadTgtd(*link.any)) return readErr.Push(FX_HERE_IN(kFile));
        return CreateLunOnce(link, lun, false);
      }
      return err.Push(FX_HERE_IN(kFile));
    }
    // tgtd takes the identity only by an update: right after the creation,
    // before an initiator rescans on the unit attention. A unit that cannot
    // report it is taken back.
    if (CRnError serialErr = SetIdentity(link.client, t.info.tid, unit, serial)) {
      if (link.client.DeleteLun(t.info.tid, unit).IsError()) {
        WZLOG(-1, "cannot take back tgtd LUN %d of target %s, which reports tgtd's serial", number,
              t.info.name.c_str());
      }
      return serialErr.Push(FX_HERE_IN(kFile));
    }
    WZLOG(1, "Created tgtd LUN %d of target %s (tid %d) on %s, serial %s", number, t.info.name.c_str(), t.info.tid,
          lun.path.c_str(), serial.c_str());
  }
  WzMutexLock guard(&m_lock);
  if (TgtTargetInfo* booked = BookedTarget(link.instance, t.info.tid, t.info.name)) {
    wztgt::TgtLu& lu = booked->luns[unit];
    lu.lun = unit;
    lu.type = "disk";
    lu.path = lun.path;
    lu.serial = serial;
    lu.scsiId = serial;
    m_picture.Touched(t.info.name);
  }
  m_closedLuns[key].erase(number);  // an open (or a replay) brings the closed LUN back
  lun.lunId = number;
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::DeleteLun(WzScsiSrvLun* lun) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "DeleteLun", [&]() -> CRnError {
    if (lun == nullptr) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER, "no LUN record given");
    }
    const bool closeOnly = wzplugin::CloseOnlyRequested();
    CRnError err = WithLink([&](const TgtdLink& link) { return DeleteLunOnce(link, *lun, closeOnly); });
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot delete LUN %d of target %s", lun->lunId, lun->targetId.c_str());
    }
    return CRnError();
  });
}

// A close takes the unit out of tgtd and keeps its number taken; a delete
// for good (a closed LUN's too, which tgtd no longer holds) gives it back.
CRnError WzScsiSrvTgtPlatform::DeleteLunOnce(const TgtdLink& link, const WzScsiSrvLun& lun, bool closeOnly) {
  const TargetCopy t = CopyTarget(lun.targetId);
  const uint64_t number = static_cast<uint64_t>(lun.lunId);
  const bool held = t.found && lun.lunId >= 1 && t.info.luns.count(number) != 0;
  if (held && !t.marked) return RefuseForeign(FX_HERE_IN(kFile), t);
  if (held) {
    const std::string& tgtdPath = t.info.luns.at(number).path;
    // Never take away a unit that serves another file than this LUN's.
    if (!lun.path.empty() && tgtdPath != lun.path) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                     "tgtd's LUN %d of target %s is backed by %s, not %s: left alone", lun.lunId,
                                     t.info.name.c_str(), tgtdPath.c_str(), lun.path.c_str());
    }
    uint32_t status = 0;
    CRnError err = link.client.DeleteLun(t.info.tid, number, &status);
    if (!Gone(err, status, wztgt::kTgtNoLun)) return err.Push(FX_HERE_IN(kFile));
  } else {
    WZLOG(0, "LUN %d of target %s is not in tgtd: nothing to delete", lun.lunId, lun.targetId.c_str());
  }
  WzMutexLock guard(&m_lock);
  if (held) {
    if (TgtTargetInfo* booked = BookedTarget(link.instance, t.info.tid, t.info.name)) {
      booked->luns.erase(number);
      m_picture.Touched(t.info.name);
    }
  }
  std::set<int32_t>& closed = m_closedLuns[Lower(lun.targetId)];
  if (closeOnly) {
    closed.insert(lun.lunId);
  } else {
    closed.erase(lun.lunId);
  }
  if (closed.empty()) m_closedLuns.erase(Lower(lun.targetId));
  if (held) WZLOG(1, "Deleted tgtd LUN %d of target %s (tid %d)", lun.lunId, t.info.name.c_str(), t.info.tid);
  return CRnError();
}

// ---------------------------------------------------------------- host mappings

CRnError WzScsiSrvTgtPlatform::MapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "MapHost", [&]() -> CRnError {
    CRnError err = WithLink([&](const TgtdLink& link) { return MapHostOnce(link, lun, host.hostId); });
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot map host %s to LUN %d of target %s", host.hostId.c_str(), lun.lunId,
                      lun.targetId.c_str());
    }
    return CRnError();
  });
}

CRnError WzScsiSrvTgtPlatform::MapHostOnce(const TgtdLink& link, const WzScsiSrvModelLun& lun,
                                           const std::string& host) {
  if (host.empty()) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER, "the host id is empty");
  }
  const std::string key = Lower(lun.targetId);
  TargetCopy t;
  bool added = false;
  size_t mapped = 0;
  {
    WzMutexLock guard(&m_lock);
    if (TgtTargetInfo* held = m_picture.Table().FindByName(lun.targetId)) {
      t.found = true;
      t.marked = Marked(*held);
      t.info = *held;
    }
    // Counted before tgtd answers so that a concurrent unmap of another
    // LUN of this host sees the binding still needed.
    if (t.found && t.marked) {
      std::set<int32_t>& luns = m_hostLuns[key][host];
      added = luns.insert(lun.lunId).second;
      mapped = luns.size();
    }
  }
  if (!t.found) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                   "target %s does not exist in tgtd", lun.targetId.c_str());
  }
  if (!t.marked) return RefuseForeign(FX_HERE_IN(kFile), t);
  if (t.info.acls.count(host) != 0) {
    WZLOG(1, "Initiator %s is bound to tgtd target %s already (%zu mapped LUNs)", host.c_str(), t.info.name.c_str(),
          mapped);
    return CRnError();
  }
  uint32_t status = 0;
  CRnError err = link.client.BindInitiatorName(t.info.tid, host, &status);
  WzMutexLock guard(&m_lock);
  if (err.IsError() && status != wztgt::kTgtAclExists) {
    HostLuns& hosts = m_hostLuns[key];
    if (added) hosts[host].erase(lun.lunId);
    if (hosts[host].empty()) hosts.erase(host);
    if (hosts.empty()) m_hostLuns.erase(key);
    return err.Push(FX_HERE_IN(kFile));
  }
  if (TgtTargetInfo* booked = BookedTarget(link.instance, t.info.tid, t.info.name)) {
    booked->acls.insert(host);
    m_picture.Touched(t.info.name);
  }
  WZLOG(1, "Bound initiator %s to tgtd target %s (tid %d)", host.c_str(), t.info.name.c_str(), t.info.tid);
  return CRnError();
}

CRnError WzScsiSrvTgtPlatform::UnMapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "UnMapHost", [&]() -> CRnError {
    CRnError err =
        WithLink([&](const TgtdLink& link) { return UnMapHostOnce(link, lun.targetId, lun.lunId, host.hostId); });
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot unmap host %s from LUN %d of target %s", host.hostId.c_str(),
                      lun.lunId, lun.targetId.c_str());
    }
    return CRnError();
  });
}

CRnError WzScsiSrvTgtPlatform::UnMapHostOnce(const TgtdLink& link, const std::string& targetId, int32_t lunId,
                                             const std::string& host) {
  const std::string key = Lower(targetId);
  TargetCopy t;
  bool removed = false;
  {
    WzMutexLock guard(&m_lock);
    if (TgtTargetInfo* held = m_picture.Table().FindByName(targetId)) {
      t.found = true;
      t.marked = Marked(*held);
      t.info = *held;
    }
    if (t.found && !t.marked) return RefuseForeign(FX_HERE_IN(kFile), t);
    HostLuns& hosts = m_hostLuns[key];
    auto mapped = hosts.find(host);
    if (mapped != hosts.end() && lunId >= 0) {
      removed = mapped->second.erase(lunId) != 0;
      if (!mapped->second.empty()) {
        WZLOG(1, "Initiator %s stays bound to target %s: %zu more mapped LUNs", host.c_str(), targetId.c_str(),
              mapped->second.size());
        return CRnError();
      }
    }
  }
  if (t.found) {
    uint32_t status = 0;
    CRnError err = link.client.UnbindInitiatorName(t.info.tid, host, &status);
    // tgtd lists rules by name and by address alike: an orphan may be either.
    if (err.IsError() && status == wztgt::kTgtAclMissing && lunId < 0) {
      err = link.client.UnbindInitiatorAddress(t.info.tid, host, &status);
    }
    if (!Gone(err, status, wztgt::kTgtAclMissing)) {
      WzMutexLock guard(&m_lock);
      if (removed) m_hostLuns[key][host].insert(lunId);
      return err.Push(FX_HERE_IN(kFile));
    }
  }
  WzMutexLock guard(&m_lock);
  if (t.found) {
    if (TgtTargetInfo* booked = BookedTarget(link.instance, t.info.tid, t.info.name)) {
      booked->acls.erase(host);
      m_picture.Touched(t.info.name);
    }
    WZLOG(1, "Unbound initiator %s from tgtd target %s (tid %d)", host.c_str(), t.info.name.c_str(), t.info.tid);
  }
  auto hosts = m_hostLuns.find(key);
  if (hosts != m_hostLuns.end()) {
    hosts->second.erase(host);
    if (hosts->second.empty()) m_hostLuns.erase(hosts);
  }
  return CRnError();
}

// ---------------------------------------------------------------- CHAP (tgt_chap.cc)

CRnError WzScsiSrvTgtPlatform::SetTargetAuth(WzScsiSrvModelTarget& target, const WzScsiSrvChap& chap) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "SetTargetAuth", [&]() -> CRnError {
    CRnError err = wzplugin::CheckChap(FX_HERE_IN(kFile), chap);
    if (err.IsSuccess()) {
      err = WithLink([&](const TgtdLink& link) { return ChangeChap(link, target, chap); });
    }
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot turn CHAP of target %s %s", target.targetId.c_str(),
                      chap.enabled ? "on" : "off");
    }
    WZLOG(1, "CHAP of tgtd target %s: %s", target.targetId.c_str(), wzplugin::DescribeChap(chap).c_str());
    return CRnError();
  });
}

// ---------------------------------------------------------------- reconcile

CRnError WzScsiSrvTgtPlatform::ListOwned(WzScsiSrvEngineView& view) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "ListOwned", [&]() -> CRnError {
    std::shared_ptr<const wztgt::TgtClient> client;
    {
      WzMutexLock guard(&m_lock);
      client = m_client;
    }
    if (!client) return NotInitialised(FX_HERE_IN(kFile));
    // Read afresh: reconcile follows what tgtd holds, and the picture gains
    // the read too.
    std::vector<TgtTargetInfo> shown;
    if (CRnError err = ReadTgtd(*client, &shown)) {
      return err.Push(FX_HERE_IN(kFile), "cannot list tgtd's targets of the service");
    }
    view.perLunAccess = false;
    view.targets.clear();
    for (const TgtTargetInfo& t : shown) {
      if (!Marked(t)) continue;
      WzScsiSrvEngineTarget& owned = view.targets[Lower(t.name)];
      owned.targetId = Lower(t.name);
      for (const auto& unit : t.luns) {
        if (unit.first == 0 || unit.first > static_cast<uint64_t>(kMaxLunNumber)) continue;
        WzScsiSrvEngineLun& l = owned.luns[static_cast<int32_t>(unit.first)];
        l.lunId = static_cast<int32_t>(unit.first);
        l.path = unit.second.path;
        l.serial = unit.second.serial;
        l.identity = unit.second.scsiId;
      }
      for (const std::string& acl : t.acls) owned.hosts[acl];
    }
    return CRnError();
  });
}

CRnError WzScsiSrvTgtPlatform::RemoveOrphan(const WzScsiSrvOrphan& orphan) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "RemoveOrphan", [&]() -> CRnError {
    CRnError err = WithLink([&](const TgtdLink& link) -> CRnError {
      switch (orphan.kind) {
        case WzScsiSrvOrphan::TARGET:
          return DeleteTargetOnce(link, orphan.targetId, true);
        case WzScsiSrvOrphan::LUN:
          return RemoveLunOrphan(link, orphan.targetId, orphan.lunId);
        case WzScsiSrvOrphan::HOST:
          return UnMapHostOnce(link, orphan.targetId, orphan.lunId, orphan.hostId);
      }
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER, "unknown orphan kind %d",
                                     static_cast<int>(orphan.kind));
    });
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot remove the orphan (kind %d, LUN %d, host %s) of target %s",
                      static_cast<int>(orphan.kind), orphan.lunId, orphan.hostId.c_str(), orphan.targetId.c_str());
    }
    WZLOG(1, "Removed orphan (kind %d, LUN %d, host %s) of tgtd target %s", static_cast<int>(orphan.kind), orphan.lunId,
          orphan.hostId.c_str(), orphan.targetId.c_str());
    return CRnError();
  });
}

// Whatever backs it: the configuration lacks the LUN. Its number is free
// again, and no host counts it as mapped.
CRnError WzScsiSrvTgtPlatform::RemoveLunOrphan(const TgtdLink& link, const std::string& targetId, int32_t lunId) {
  if (lunId < 1 || lunId > kMaxLunNumber) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER,
                                   "LUN %d is not a LUN of the service (1 to %d; LUN 0 is tgtd's controller)", lunId,
                                   kMaxLunNumber);
  }
  WzScsiSrvLun lun;
  lun.targetId = targetId;
  lun.lunId = lunId;
  if (CRnError err = DeleteLunOnce(link, lun, false)) return err.Push(FX_HERE_IN(kFile));
  WzMutexLock guard(&m_lock);
  auto hosts = m_hostLuns.find(Lower(targetId));
  if (hosts == m_hostLuns.end()) return CRnError();
  for (auto h = hosts->second.begin(); h != hosts->second.end();) {
    h->second.erase(lunId);
    h = h->second.empty() ? hosts->second.erase(h) : std::next(h);
  }
  if (hosts->second.empty()) m_hostLuns.erase(hosts);
  return CRnError();
}
