#include "plugins/lio/lio_platform.h"

#include <errno.h>
#include <sys/stat.h>

#include <cstdlib>
#include <sstream>

#include "drivers/unit_serial.h"
#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/FXString.h"
#include "plugins/common/chap_rules.h"
#include "plugins/common/plugin_guard.h"
#include "plugins/common/rbd_args.h"
#include "plugins/common/request_flags.h"
#include "plugins/lio/krbd.h"
#include "plugins/lio/lio_names.h"

using Kind = WzLioConfigFs::Kind;
using Entry = WzLioConfigFs::Entry;

namespace {

const char* const kFile = "WzScsiSrvLio";

// What the kernel target holds does not allow the operation.
CRnError Refused(const FXCodeLocation& where, const std::string& text) {
  return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "%s", text.c_str());
}

CRnError Invalid(const FXCodeLocation& where, const std::string& text) {
  return FXErrorUtil::ErrorWin32(where, ERROR_INVALID_PARAMETER, "%s", text.c_str());
}

// A missing key reads as empty; an unreadable store is an error.
CRnError ReadOptionalSetting(const char* key, std::string& value) {
  value.clear();
  CRnError err = WZPlatformInfo::getString(WzScsiSrvLioPlatform::kSection, key, value);
  if (err.IsSuccess()) return CRnError();
  value.clear();
  if (err.GetCode() == HRESULT_FROM_WIN32(ERROR_NOT_FOUND_OR_NOT_ALLOWED)) return CRnError();
  return err.Push(FX_HERE_IN(kFile), "cannot read setting %s of section %s", key, WzScsiSrvLioPlatform::kSection);
}

// "address:port" or "[address]:port", port 1 to 65535: the name of a portal
// directory (np/) of a portal group.
bool ValidPortal(const std::string& portal) {
  const size_t colon = portal.rfind(':');
  if (colon == std::string::npos || colon == 0 || colon + 1 >= portal.size() || colon + 6 < portal.size()) {
    return false;
  }
  if (portal.find('/') != std::string::npos) return false;
  if (portal[0] == '[' && portal[colon - 1] != ']') return false;
  long port = 0;
  for (size_t i = colon + 1; i < portal.size(); ++i) {
    if (portal[i] < '0' || portal[i] > '9') return false;
    port = port * 10 + (portal[i] - '0');
  }
  return port >= 1 && port <= 65535;
}

// A name that configfs takes as one directory name.
bool ValidDirName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\n') == std::string::npos;
}

bool StartsWith(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// The kernel takes a value beginning with "NULL" as "cleared".
CRnError CheckKernelChap(const FXCodeLocation& where, const WzScsiSrvChap& chap) {
  if (CRnError err = wzplugin::CheckChap(where, chap)) return err;
  if (!chap.enabled) return CRnError();
  for (const std::string* value : {&chap.user, &chap.secret, &chap.mutualUser, &chap.mutualSecret}) {
    if (StartsWith(*value, "NULL")) {
      return FXErrorUtil::ErrorWin32(where, ERROR_INVALID_PARAMETER,
                                     "the kernel target takes a CHAP user name or secret beginning with \"NULL\" "
                                     "as none: choose another (user %s)",
                                     chap.user.c_str());
    }
  }
  return CRnError();
}

// "T10 VPD Unit Serial Number: ABC" -> "ABC".
std::string SerialFromVpdText(const std::string& text) {
  const size_t colon = text.find(": ");
  return colon == std::string::npos ? text : text.substr(colon + 2);
}

uint64_t Fnv1a(const std::string& text) {
  uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

CRnError NotInitialised(const FXCodeLocation& where) {
  return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                 "the kernel target platform driver is not initialised");
}

}  // namespace

WzScsiSrvLioPlatform::WzScsiSrvLioPlatform(std::unique_ptr<WzLioConfigFs> fs)
    : m_fs(fs ? std::move(fs) : WzLioSystemConfigFs()) {}

// ---------------------------------------------------------------- paths

std::string WzScsiSrvLioPlatform::IscsiDir() const { return m_root + "/iscsi"; }

std::string WzScsiSrvLioPlatform::TargetDir(const std::string& targetId) const { return IscsiDir() + "/" + targetId; }

std::string WzScsiSrvLioPlatform::TpgDir(const std::string& targetId) const {
  return TargetDir(targetId) + "/" + wzlio::kTpg;
}

std::string WzScsiSrvLioPlatform::TpgLunDir(const std::string& targetId, int32_t lunId) const {
  return TpgDir(targetId) + "/lun/" + wzlio::LunDirName(lunId);
}

std::string WzScsiSrvLioPlatform::AclDir(const std::string& targetId, const std::string& host) const {
  return TpgDir(targetId) + "/acls/" + host;
}

std::string WzScsiSrvLioPlatform::HbaDir(bool blockDevice) const {
  return m_root + "/core/" + (blockDevice ? "iblock_" : "fileio_") + wzlio::kHbaIndex;
}

// ---------------------------------------------------------------- settings and life

CRnError WzScsiSrvLioPlatform::ReadSettings() {
  std::string root;
  std::string portal;
  if (CRnError err = ReadOptionalSetting(kKeyConfigfsRoot, root)) return err.Push(FX_HERE_IN(kFile));
  if (CRnError err = ReadOptionalSetting(kKeyPortal, portal)) return err.Push(FX_HERE_IN(kFile));
  if (root.empty()) root = kDefaultConfigfsRoot;
  while (root.size() > 1 && root.back() == '/') root.pop_back();
  if (portal.empty()) portal = kDefaultPortal;
  if (!ValidPortal(portal)) {
    return Invalid(FX_HERE_IN(kFile), "setting Portal of section WzScsiSrvLio is \"" + portal + "\", not address:port");
  }
  m_root = root;
  m_portal = portal;
  return CRnError();
}

CRnError WzScsiSrvLioPlatform::CheckReady(const FXCodeLocation& where) const {
  return m_ready ? CRnError() : NotInitialised(where);
}

CRnError WzScsiSrvLioPlatform::EnsureDir(const std::string& dir) {
  if (m_fs->KindOf(dir) == Kind::kDir) return CRnError();
  const std::string parent = dir.substr(0, dir.rfind('/'));
  if (!parent.empty() && m_fs->KindOf(parent) == Kind::kNone) {
    CRnError err = m_fs->MakeDir(parent);
    if (err.IsError() && !WzLioIsErrno(err, EEXIST)) return err.Push(FX_HERE_IN(kFile));
  }
  CRnError err = m_fs->MakeDir(dir);
  if (err.IsError() && !(WzLioIsErrno(err, EEXIST) && m_fs->KindOf(dir) == Kind::kDir)) {
    return err.Push(FX_HERE_IN(kFile));
  }
  return CRnError();
}

void WzScsiSrvLioPlatform::PrepareReservations() {
  const std::string attr = m_root + "/dbroot";
  std::string dbroot;
  const bool exposed = m_fs->KindOf(attr) == Kind::kFile && m_fs->ReadAttr(attr, dbroot).IsSuccess();
  while (dbroot.size() > 1 && dbroot.back() == '/') dbroot.pop_back();
  if (dbroot.empty()) dbroot = kDefaultDbRoot;
  std::string state;
  CRnError err = EnsureDir(dbroot + "/pr");
  if (err.IsSuccess()) {
    state = "ready: " + dbroot + "/pr";
  } else if (exposed && dbroot != kDefaultDbRoot) {
    // The kernel checks the new dbroot exists and takes it only while it
    // has no backstore.
    CRnError moved = EnsureDir(std::string(kDefaultDbRoot) + "/pr");
    if (moved.IsSuccess()) moved = m_fs->WriteAttr(attr, kDefaultDbRoot);
    if (moved.IsSuccess()) {
      state = "ready: " + std::string(kDefaultDbRoot) + "/pr (dbroot moved from " + dbroot + ")";
    } else {
      state =
          "unavailable: " + err.GetText() + "; and dbroot cannot move to " + kDefaultDbRoot + ": " + moved.GetText();
    }
  } else {
    state = "unavailable: " + err.GetText();
  }
  WzMutexLock facts(&m_factsLock);
  if (state == m_reservations) return;
  m_reservations = state;
  if (StartsWith(state, "ready")) {
    WZLOG(0, "kernel target reservations that persist through power loss (APTPL): %s", state.c_str());
  } else {
    WZLOG(0,
          "WARNING: kernel target reservations that persist through power loss (APTPL) are %s; the kernel "
          "refuses them until the directory exists",
          state.c_str());
  }
}

void WzScsiSrvLioPlatform::EngineFacts(std::vector<std::string>& lines) {
  WzMutexLock facts(&m_factsLock);
  if (!m_reservations.empty()) lines.push_back("engine.reservations=" + m_reservations);
}

CRnError WzScsiSrvLioPlatform::Init() {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "Init", [&]() -> CRnError {
    WZ_TRACE_SCOPE(1);
    WzMutexLock guard(&m_lock);
    m_ready = false;
    m_closedLuns.clear();
    m_chap.clear();
    if (CRnError err = ReadSettings()) return err.Push(FX_HERE_IN(kFile));
    if (m_fs->KindOf(m_root) != Kind::kDir) {
      return Refused(FX_HERE_IN(kFile), "the kernel target is not available: " + m_root +
                                            " does not exist (load target_core_mod and mount configfs on "
                                            "/sys/kernel/config)");
    }
    // The first directory under iscsi/ loads the iSCSI fabric module: better
    // to learn at start that it is missing than at the first target.
    if (m_fs->KindOf(IscsiDir()) != Kind::kDir) {
      CRnError err = m_fs->MakeDir(IscsiDir());
      if (err.IsError() && !WzLioIsErrno(err, EEXIST)) {
        return err.Push(FX_HERE_IN(kFile), "the kernel target has no iSCSI fabric (module iscsi_target_mod)");
      }
    }
    if (CRnError err = RemoveUnusedBackstores()) return err.Push(FX_HERE_IN(kFile));
    PrepareReservations();
    WzScsiSrvEngineView view;
    if (CRnError err = ListOwnedLocked(view)) return err.Push(FX_HERE_IN(kFile));
    m_ready = true;
    WZLOG(0, "kernel target engine: configfs %s holds %zu targets of the service; portal %s", m_root.c_str(),
          view.targets.size(), m_portal.c_str());
    return CRnError();
  });
}

CRnError WzScsiSrvLioPlatform::CleanUp() {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CleanUp", [&]() -> CRnError {
    WZ_TRACE_SCOPE(1);
    WzMutexLock guard(&m_lock);
    m_ready = false;
    m_closedLuns.clear();
    m_chap.clear();
    return CRnError();
  });
}

uint64_t WzScsiSrvLioPlatform::EngineInstance() {
  WzMutexLock guard(&m_lock);
  const std::string root = m_root.empty() ? std::string(kDefaultConfigfsRoot) : m_root;
  if (m_fs->KindOf(root) != Kind::kDir) return 0;
  std::string bootId;
  std::string modules;
  CRnError ignored = m_fs->ReadAttr(kBootIdFile, bootId);
  ignored = m_fs->ReadAttr(kModulesFile, modules);
  (void)ignored;
  // "target_core_mod 450560 3 iscsi_target_mod,... Live 0xffffffffc0516000"
  std::string address = "builtin";
  std::istringstream lines(modules);
  for (std::string line; std::getline(lines, line);) {
    if (!StartsWith(line, "target_core_mod ")) continue;
    address = line.substr(line.rfind(' ') + 1);
    break;
  }
  const uint64_t id = Fnv1a(bootId + "|" + address);
  return id != 0 ? id : 1;
}

// ---------------------------------------------------------------- reading configfs

WzScsiSrvLioPlatform::Owner WzScsiSrvLioPlatform::TargetOwner(const std::string& targetId) {
  if (m_fs->KindOf(TargetDir(targetId)) != Kind::kDir) return Owner::kAbsent;
  const std::string tpg = TpgDir(targetId);
  if (m_fs->KindOf(tpg) != Kind::kDir) {
    // Another portal group means another tool's target; none at all is a
    // bare name (a creation cut off by a crash) that exposes nothing.
    std::vector<Entry> entries;
    if (m_fs->List(TargetDir(targetId), entries).IsError()) return Owner::kForeign;
    for (const Entry& e : entries) {
      if (StartsWith(e.name, "tpgt_")) return Owner::kForeign;
    }
    return Owner::kOurs;
  }
  std::string alias;
  if (m_fs->ReadAttr(tpg + "/param/TargetAlias", alias).IsSuccess() && alias == wzlio::kMarker) return Owner::kOurs;
  // A portal group without portal, LUN or ACL exposes nothing either.
  for (const char* sub : {"/np", "/lun", "/acls"}) {
    std::vector<Entry> entries;
    if (m_fs->List(tpg + sub, entries).IsError()) return Owner::kForeign;
    for (const Entry& e : entries) {
      if (e.kind == Kind::kDir) return Owner::kForeign;
    }
  }
  return Owner::kOurs;
}

CRnError WzScsiSrvLioPlatform::CheckOurTarget(const std::string& targetId, bool& exists) {
  exists = false;
  switch (TargetOwner(targetId)) {
    case Owner::kAbsent:
      return CRnError();
    case Owner::kOurs:
      exists = true;
      return CRnError();
    case Owner::kForeign:
      break;
  }
  return Refused(FX_HERE_IN(kFile), "target " + targetId +
                                        " exists in the kernel target but is not the service's (its portal group "
                                        "lacks the " +
                                        wzlio::kMarker + " marker): left alone");
}

std::string WzScsiSrvLioPlatform::FindBackstore(const std::string& name) {
  for (bool block : {false, true}) {
    const std::string dir = HbaDir(block) + "/" + name;
    if (m_fs->KindOf(dir) == Kind::kDir) return dir;
  }
  return std::string();
}

CRnError WzScsiSrvLioPlatform::ReadBackstorePath(const std::string& dir, std::string& path) {
  return m_fs->ReadAttr(dir + "/udev_path", path);
}

CRnError WzScsiSrvLioPlatform::ReadTpgLuns(const std::string& targetId, std::map<int32_t, TpgLun>& luns) {
  luns.clear();
  const std::string lunRoot = TpgDir(targetId) + "/lun";
  if (m_fs->KindOf(lunRoot) != Kind::kDir) return CRnError();
  std::vector<Entry> entries;
  if (CRnError err = m_fs->List(lunRoot, entries)) return err.Push(FX_HERE_IN(kFile));
  const std::string prefix = wzlio::BackstorePrefix(targetId);
  for (const Entry& e : entries) {
    const int32_t number = wzlio::ParseLunDirName(e.name);
    if (e.kind != Kind::kDir || number < 0) continue;
    std::vector<Entry> inside;
    if (CRnError err = m_fs->List(lunRoot + "/" + e.name, inside)) return err.Push(FX_HERE_IN(kFile));
    TpgLun lun;
    for (const Entry& i : inside) {
      if (i.kind == Kind::kLink) lun.backstore = i.name;
    }
    if (StartsWith(lun.backstore, prefix)) lun.hbaDir = FindBackstore(lun.backstore);
    luns[number] = lun;
  }
  return CRnError();
}

CRnError WzScsiSrvLioPlatform::ListOwnedLocked(WzScsiSrvEngineView& view) {
  view.perLunAccess = true;
  view.targets.clear();
  if (m_fs->KindOf(IscsiDir()) != Kind::kDir) return CRnError();
  std::vector<Entry> targets;
  if (CRnError err = m_fs->List(IscsiDir(), targets)) return err.Push(FX_HERE_IN(kFile));
  for (const Entry& t : targets) {
    if (t.kind != Kind::kDir || t.name == "discovery_auth" || TargetOwner(t.name) != Owner::kOurs) continue;
    WzScsiSrvEngineTarget owned;
    owned.targetId = FXString::ToLowerAscii(t.name);
    std::map<int32_t, TpgLun> luns;
    if (CRnError err = ReadTpgLuns(t.name, luns)) return err.Push(FX_HERE_IN(kFile));
    for (const auto& l : luns) {
      WzScsiSrvEngineLun lun;
      lun.lunId = l.first;
      if (!l.second.hbaDir.empty()) {
        CRnError ignored = ReadBackstorePath(l.second.hbaDir, lun.path);
        std::string vpd;
        ignored = m_fs->ReadAttr(l.second.hbaDir + "/wwn/vpd_unit_serial", vpd);
        (void)ignored;
        lun.serial = SerialFromVpdText(vpd);
        // No identity: the kernel derives its NAA designator from this
        // serial, which the driver writes before the backstore is enabled
        // and which cannot change afterwards, so there is nothing to repair
        // in place.
      }
      owned.luns[l.first] = lun;
    }
    const std::string aclRoot = TpgDir(t.name) + "/acls";
    std::vector<Entry> acls;
    if (m_fs->KindOf(aclRoot) == Kind::kDir) {
      if (CRnError err = m_fs->List(aclRoot, acls)) return err.Push(FX_HERE_IN(kFile));
    }
    for (const Entry& a : acls) {
      if (a.kind != Kind::kDir) continue;
      std::set<int32_t>& mapped = owned.hosts[a.name];
      std::vector<Entry> inside;
      if (CRnError err = m_fs->List(aclRoot + "/" + a.name, inside)) return err.Push(FX_HERE_IN(kFile));
      for (const Entry& m : inside) {
        const int32_t number = wzlio::ParseLunDirName(m.name);
        if (m.kind != Kind::kDir || number < 0) continue;
        std::vector<Entry> links;
        if (CRnError err = m_fs->List(aclRoot + "/" + a.name + "/" + m.name, links)) return err.Push(FX_HERE_IN(kFile));
        for (const Entry& link : links) {
          if (link.kind == Kind::kLink) mapped.insert(number);
        }
      }
    }
    view.targets[owned.targetId] = owned;
  }
  return CRnError();
}

// ---------------------------------------------------------------- small changes

CRnError WzScsiSrvLioPlatform::RemoveDirIfPresent(const std::string& path) {
  CRnError err = m_fs->RemoveDir(path);
  if (err.IsError() && !WzLioIsErrno(err, ENOENT)) return err.Push(FX_HERE_IN(kFile));
  return CRnError();
}

CRnError WzScsiSrvLioPlatform::UnlinkIfPresent(const std::string& path) {
  CRnError err = m_fs->Unlink(path);
  if (err.IsError() && !WzLioIsErrno(err, ENOENT)) return err.Push(FX_HERE_IN(kFile));
  return CRnError();
}

namespace {

// Writes value unless the attribute holds it already: an enabled portal
// group takes some writes badly, and a replay must change nothing.
CRnError EnsureAttr(WzLioConfigFs& fs, const std::string& path, const std::string& value) {
  std::string current;
  if (fs.ReadAttr(path, current).IsSuccess() && current == value) return CRnError();
  return fs.WriteAttr(path, value);
}

}  // namespace

CRnError WzScsiSrvLioPlatform::RemoveBackstore(const std::string& dir) {
  // An RBD LUN's backstore names its image: the kernel's mapping goes with it.
  std::string image;
  const std::string blockHba = HbaDir(true) + "/";
  if (dir.compare(0, blockHba.size(), blockHba) != 0 || ReadBackstorePath(dir, image).IsError() || image.empty() ||
      image[0] == '/') {
    image.clear();
  }
  if (CRnError err = RemoveDirIfPresent(dir)) return err.Push(FX_HERE_IN(kFile));
  if (!image.empty()) {
    if (CRnError err = UnmapUnusedImage(image)) return err.Push(FX_HERE_IN(kFile));
  }
  // The HBA goes with its last backstore; while other backstores live in it
  // the kernel refuses, which is fine.
  const std::string hba = dir.substr(0, dir.rfind('/'));
  CRnError err = m_fs->RemoveDir(hba);
  if (err.IsError() && !WzLioIsErrno(err, ENOENT) && !WzLioIsErrno(err, ENOTEMPTY) && !WzLioIsErrno(err, EBUSY)) {
    WZLOG(0, "cannot remove the emptied backstore HBA %s: %s", hba.c_str(), err.AsString().c_str());
  }
  return CRnError();
}

CRnError WzScsiSrvLioPlatform::UnmapUnusedImage(const std::string& image) {
  wzrbd::RbdImageRef ref;
  if (wzrbd::ParseImageRef(kFile, image, ref).IsError()) return CRnError();  // never mapped by this driver
  const std::string hba = HbaDir(true);
  if (m_fs->KindOf(hba) == Kind::kDir) {
    std::vector<Entry> stores;
    if (CRnError err = m_fs->List(hba, stores)) return err.Push(FX_HERE_IN(kFile));
    for (const Entry& s : stores) {
      std::string path;
      if (s.kind == Kind::kDir && ReadBackstorePath(hba + "/" + s.name, path).IsSuccess() && path == image) {
        return CRnError();  // another LUN still serves it
      }
    }
  }
  return wzkrbd::Unmap(*m_fs, ref);
}

CRnError WzScsiSrvLioPlatform::RemoveUnusedBackstores() {
  std::set<std::string> linked;
  std::vector<Entry> targets;
  if (m_fs->KindOf(IscsiDir()) == Kind::kDir) {
    if (CRnError err = m_fs->List(IscsiDir(), targets)) return err.Push(FX_HERE_IN(kFile));
  }
  for (const Entry& t : targets) {
    if (t.kind != Kind::kDir || t.name == "discovery_auth") continue;
    std::map<int32_t, TpgLun> luns;
    if (CRnError err = ReadTpgLuns(t.name, luns)) return err.Push(FX_HERE_IN(kFile));
    for (const auto& l : luns) linked.insert(l.second.backstore);
  }
  for (bool block : {false, true}) {
    const std::string hba = HbaDir(block);
    if (m_fs->KindOf(hba) != Kind::kDir) continue;
    std::vector<Entry> stores;
    if (CRnError err = m_fs->List(hba, stores)) return err.Push(FX_HERE_IN(kFile));
    for (const Entry& s : stores) {
      if (s.kind != Kind::kDir || !StartsWith(s.name, wzlio::kBackstorePrefix) || linked.count(s.name) != 0) continue;
      WZLOG(0, "removing backstore %s/%s: no LUN uses it (left by an interrupted creation)", hba.c_str(),
            s.name.c_str());
      if (CRnError err = RemoveBackstore(hba + "/" + s.name)) {
        WZLOG(0, "cannot remove backstore %s/%s: %s", hba.c_str(), s.name.c_str(), err.AsString().c_str());
      }
    }
  }
  return CRnError();
}

// ---------------------------------------------------------------- targets

CRnError WzScsiSrvLioPlatform::CreateTarget(WzScsiSrvModelTarget& target) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CreateTarget", [&]() -> CRnError {
    WzMutexLock guard(&m_lock);
    CRnError err = CheckReady(FX_HERE_IN(kFile));
    if (err.IsSuccess()) err = CheckKernelChap(FX_HERE_IN(kFile), target.chap);
    if (err.IsSuccess()) err = CreateTargetLocked(target.targetId, target.chap);
    if (err.IsError()) return err.Push(FX_HERE_IN(kFile), "cannot create target %s", target.targetId.c_str());
    if (target.chap.enabled) {
      m_chap[target.targetId] = target.chap;
    } else {
      m_chap.erase(target.targetId);
    }
    return CRnError();
  });
}

CRnError WzScsiSrvLioPlatform::CreateTargetLocked(const std::string& targetId, const WzScsiSrvChap& chap) {
  if (!ValidDirName(targetId)) return Invalid(FX_HERE_IN(kFile), "\"" + targetId + "\" cannot name a kernel target");
  if (m_fs->KindOf(IscsiDir()) != Kind::kDir) {
    CRnError err = m_fs->MakeDir(IscsiDir());
    if (err.IsError() && !WzLioIsErrno(err, EEXIST)) return err.Push(FX_HERE_IN(kFile));
  }
  bool exists = false;
  if (CRnError err = CheckOurTarget(targetId, exists)) return err.Push(FX_HERE_IN(kFile));
  if (exists) {
    if (CRnError err = ConfigureTpg(targetId, chap, true)) return err.Push(FX_HERE_IN(kFile));
    WZLOG(1, "Adopted kernel target %s", targetId.c_str());
    return CRnError();
  }
  if (CRnError err = m_fs->MakeDir(TargetDir(targetId))) return err.Push(FX_HERE_IN(kFile));
  // Only what this call made is taken back.
  if (CRnError err = ConfigureTpg(targetId, chap, false)) {
    if (CRnError undo = RemoveTargetLocked(targetId)) {
      WZLOG(-1, "cannot take back the half-made kernel target %s: %s", targetId.c_str(), undo.AsString().c_str());
    }
    return err.Push(FX_HERE_IN(kFile));
  }
  WZLOG(1, "Created kernel target %s (portal %s)", targetId.c_str(), m_portal.c_str());
  return CRnError();
}

CRnError WzScsiSrvLioPlatform::ConfigureTpg(const std::string& targetId, const WzScsiSrvChap& chap, bool adopted) {
  const std::string tpg = TpgDir(targetId);
  if (m_fs->KindOf(tpg) != Kind::kDir) {
    if (CRnError err = m_fs->MakeDir(tpg)) return err.Push(FX_HERE_IN(kFile));
  }
  // The marker first: from here on the target is known as the service's.
  if (CRnError err = EnsureAttr(*m_fs, tpg + "/param/TargetAlias", wzlio::kMarker)) return err.Push(FX_HERE_IN(kFile));
  // CHAP is never turned off here: a replay may set it only after the
  // creation, and no initiator may get in meanwhile.
  if (!chap.enabled && adopted && HoldsChap(targetId)) {
    WZLOG(0, "kernel target %s has CHAP on, which the configuration lacks: kept until CHAP is turned off",
          targetId.c_str());
  } else if (CRnError err = ApplyAuthLocked(targetId, chap)) {
    return err.Push(FX_HERE_IN(kFile));
  }
  // Only initiators with an ACL log in: no ACL is ever made up for others.
  if (CRnError err = EnsureAttr(*m_fs, tpg + "/attrib/generate_node_acls", "0")) return err.Push(FX_HERE_IN(kFile));
  if (CRnError err = EnsureAttr(*m_fs, tpg + "/attrib/demo_mode_write_protect", "1")) {
    return err.Push(FX_HERE_IN(kFile));
  }
  if (CRnError err = EnsurePortal(targetId)) return err.Push(FX_HERE_IN(kFile));
  if (CRnError err = EnsureAttr(*m_fs, tpg + "/enable", "1")) return err.Push(FX_HERE_IN(kFile));
  return CRnError();
}

CRnError WzScsiSrvLioPlatform::EnsurePortal(const std::string& targetId) {
  const std::string np = TpgDir(targetId) + "/np/" + m_portal;
  if (m_fs->KindOf(np) == Kind::kDir) return CRnError();
  if (CRnError err = m_fs->MakeDir(np)) {
    return err.Push(FX_HERE_IN(kFile), "the kernel target cannot listen on portal %s", m_portal.c_str());
  }
  return CRnError();
}

CRnError WzScsiSrvLioPlatform::DeleteTarget(WzScsiSrvModelTarget& target) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "DeleteTarget", [&]() -> CRnError {
    WzMutexLock guard(&m_lock);
    bool exists = false;
    CRnError err = CheckReady(FX_HERE_IN(kFile));
    if (err.IsSuccess()) err = CheckOurTarget(target.targetId, exists);
    if (err.IsSuccess() && !exists) {
      WZLOG(0, "target %s is not in the kernel target: nothing to delete", target.targetId.c_str());
      m_closedLuns.erase(target.targetId);
      m_chap.erase(target.targetId);
      return CRnError();
    }
    if (err.IsSuccess()) err = RemoveTargetLocked(target.targetId);
    if (err.IsError()) return err.Push(FX_HERE_IN(kFile), "cannot delete target %s", target.targetId.c_str());
    WZLOG(1, "Deleted kernel target %s", target.targetId.c_str());
    return CRnError();
  });
}

CRnError WzScsiSrvLioPlatform::RemoveTargetLocked(const std::string& targetId) {
  const std::string tpg = TpgDir(targetId);
  if (m_fs->KindOf(tpg) == Kind::kDir) {
    // ACLs first: removing one ends its sessions (some kernels refuse to
    // disable a portal group that still has sessions), so no initiator
    // watches its LUNs go.
    std::vector<Entry> acls;
    if (m_fs->KindOf(tpg + "/acls") == Kind::kDir) {
      if (CRnError err = m_fs->List(tpg + "/acls", acls)) return err.Push(FX_HERE_IN(kFile));
    }
    for (const Entry& a : acls) {
      if (a.kind != Kind::kDir) continue;
      if (CRnError err = RemoveAcl(targetId, a.name)) return err.Push(FX_HERE_IN(kFile));
    }
    std::map<int32_t, TpgLun> luns;
    if (CRnError err = ReadTpgLuns(targetId, luns)) return err.Push(FX_HERE_IN(kFile));
    for (const auto& l : luns) {
      if (CRnError err = RemoveLunLocked(targetId, l.first, std::string())) return err.Push(FX_HERE_IN(kFile));
    }
    std::string enabled;
    if (m_fs->ReadAttr(tpg + "/enable", enabled).IsSuccess() && enabled == "1") {
      if (CRnError err = m_fs->WriteAttr(tpg + "/enable", "0")) return err.Push(FX_HERE_IN(kFile));
    }
    std::vector<Entry> portals;
    if (m_fs->KindOf(tpg + "/np") == Kind::kDir) {
      if (CRnError err = m_fs->List(tpg + "/np", portals)) return err.Push(FX_HERE_IN(kFile));
    }
    for (const Entry& p : portals) {
      if (p.kind != Kind::kDir) continue;
      if (CRnError err = RemoveDirIfPresent(tpg + "/np/" + p.name)) return err.Push(FX_HERE_IN(kFile));
    }
    if (CRnError err = RemoveDirIfPresent(tpg)) return err.Push(FX_HERE_IN(kFile));
  }
  if (CRnError err = RemoveDirIfPresent(TargetDir(targetId))) return err.Push(FX_HERE_IN(kFile));
  // Backstores of the target that no LUN linked (an interrupted creation).
  const std::string prefix = wzlio::BackstorePrefix(targetId);
  for (bool block : {false, true}) {
    const std::string hba = HbaDir(block);
    if (m_fs->KindOf(hba) != Kind::kDir) continue;
    std::vector<Entry> stores;
    if (CRnError err = m_fs->List(hba, stores)) return err.Push(FX_HERE_IN(kFile));
    for (const Entry& s : stores) {
      if (s.kind != Kind::kDir || !StartsWith(s.name, prefix)) continue;
      if (CRnError err = RemoveBackstore(hba + "/" + s.name)) return err.Push(FX_HERE_IN(kFile));
    }
  }
  m_closedLuns.erase(targetId);
  m_chap.erase(targetId);
  return CRnError();
}

// ---------------------------------------------------------------- LUNs

CRnError WzScsiSrvLioPlatform::CreateLun(WzScsiSrvLun* lun) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CreateLun", [&]() -> CRnError {
    if (lun == nullptr) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER, "no LUN record given");
    }
    WzMutexLock guard(&m_lock);
    CRnError err = CheckReady(FX_HERE_IN(kFile));
    if (err.IsSuccess()) err = CreateLunLocked(*lun);
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot create LUN %d of target %s on %s", lun->lunId, lun->targetId.c_str(),
                      lun->path.c_str());
    }
    return CRnError();
  });
}

CRnError WzScsiSrvLioPlatform::CreateLunLocked(WzScsiSrvLun& lun) {
  bool exists = false;
  if (CRnError err = CheckOurTarget(lun.targetId, exists)) return err.Push(FX_HERE_IN(kFile));
  if (!exists) return Refused(FX_HERE_IN(kFile), "target " + lun.targetId + " is not in the kernel target");
  if (lun.bstorType == WzScsiServer::BSTOR_RBD) {
    // The image and the gateway's identity are checked before anything is
    // mapped; the kernel's client connects with that identity alone.
    wzrbd::RbdImageRef ref;
    wzrbd::RbdIdentity identity;
    if (CRnError err = wzrbd::ParseImageRef(kFile, lun.path, ref)) return err.Push(FX_HERE_IN(kFile));
    if (CRnError err = wzrbd::ParseIdentity(kFile, lun.extData, identity)) {
      return err.Push(FX_HERE_IN(kFile), "the RBD LUN carries no usable Ceph identity of the gateway");
    }
  } else if (lun.path.empty() || lun.path[0] != '/') {
    return Invalid(FX_HERE_IN(kFile), "the backing path \"" + lun.path + "\" is not absolute");
  }
  // The kernel reads the path out of a comma-separated option line.
  if (lun.path.find_first_of(",\n") != std::string::npos) {
    return Invalid(FX_HERE_IN(kFile),
                   "the kernel target cannot take a backing path with a comma or a line end: " + lun.path);
  }
  std::map<int32_t, TpgLun> luns;
  if (CRnError err = ReadTpgLuns(lun.targetId, luns)) return err.Push(FX_HERE_IN(kFile));
  int32_t number = lun.lunId;
  if (number == -1) {
    if (CRnError err = ChooseLunNumber(lun.targetId, luns, number)) return err.Push(FX_HERE_IN(kFile));
  } else if (number < 0 || number > wzlio::kMaxLunNumber) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER, "LUN number %d is outside 0 to %d",
                                   number, wzlio::kMaxLunNumber);
  } else {
    auto existing = luns.find(number);
    if (existing != luns.end()) {
      std::string path;
      const TpgLun& held = existing->second;
      if (held.backstore == wzlio::BackstoreName(lun.targetId, number) && !held.hbaDir.empty() &&
          ReadBackstorePath(held.hbaDir, path).IsSuccess() && path == lun.path) {
        WZLOG(1, "Adopted kernel LUN %d of target %s on %s", number, lun.targetId.c_str(), lun.path.c_str());
        m_closedLuns[lun.targetId].erase(number);
        return CRnError();
      }
      const std::string what = !path.empty()            ? path
                               : held.backstore.empty() ? std::string("no backstore")
                                                        : "backstore " + held.backstore;
      return Refused(FX_HERE_IN(kFile), "LUN number conflict: kernel target " + lun.targetId + " already has LUN " +
                                            std::to_string(number) + " on " + what);
    }
  }
  const std::string name = wzlio::BackstoreName(lun.targetId, number);
  const std::string leftover = FindBackstore(name);
  if (!leftover.empty()) {
    if (CRnError err = RemoveBackstore(leftover)) return err.Push(FX_HERE_IN(kFile));
  }
  const int32_t requested = lun.lunId;
  lun.lunId = number;  // the unit serial depends on it
  std::string dir;
  CRnError err = MakeBackstore(lun, name, dir);
  const std::string lunDir = TpgLunDir(lun.targetId, number);
  if (err.IsSuccess()) {
    err = m_fs->MakeDir(lunDir);
    if (err.IsSuccess()) {
      err = m_fs->Symlink(dir, lunDir + "/" + name);
      if (err.IsError()) {
        CRnError undo = RemoveDirIfPresent(lunDir);
        (void)undo;
      }
    }
    if (err.IsError()) {
      CRnError undo = RemoveBackstore(dir);
      (void)undo;
    }
  }
  if (err.IsError()) {
    lun.lunId = requested;
    return err.Push(FX_HERE_IN(kFile));
  }
  m_closedLuns[lun.targetId].erase(number);
  WZLOG(1, "Created kernel LUN %d of target %s on %s (%s)", number, lun.targetId.c_str(), lun.path.c_str(),
        dir.c_str());
  return CRnError();
}

CRnError WzScsiSrvLioPlatform::ChooseLunNumber(const std::string& targetId, const std::map<int32_t, TpgLun>& luns,
                                               int32_t& number) {
  const std::set<int32_t>& closed = m_closedLuns[targetId];
  for (number = 0; number <= wzlio::kMaxLunNumber; ++number) {
    if (luns.count(number) == 0 && closed.count(number) == 0) return CRnError();
  }
  number = -1;
  return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                 "target %s has no free LUN number (0 to %d are in use)", targetId.c_str(),
                                 wzlio::kMaxLunNumber);
}

CRnError WzScsiSrvLioPlatform::MakeBackstore(const WzScsiSrvLun& lun, const std::string& name, std::string& dir) {
  // An RBD image is served as the block device the kernel maps it to; the
  // backstore's udev_path names the image, not the device, whose number
  // differs from one mapping to the next.
  const bool rbd = lun.bstorType == WzScsiServer::BSTOR_RBD;
  wzrbd::RbdImageRef ref;
  std::string device = lun.path;
  bool mapped = false;
  if (rbd) {
    wzrbd::RbdIdentity identity;
    CRnError err = wzrbd::ParseImageRef(kFile, lun.path, ref);
    if (err.IsSuccess()) err = wzrbd::ParseIdentity(kFile, lun.extData, identity);
    if (err.IsSuccess()) err = wzkrbd::Map(*m_fs, ref, identity, device, mapped);
    if (err.IsError()) return err.Push(FX_HERE_IN(kFile));
  }
  // Only a mapping this call made is taken back. The lambda gets the tree
  // by reference: the lock this function holds is not seen inside it.
  WzLioConfigFs& fs = *m_fs;
  auto unmapMade = [&]() {
    if (!mapped) return;
    if (CRnError undo = wzkrbd::Unmap(fs, ref)) {
      WZLOG(-1, "cannot take back the kernel's mapping of %s: %s", ref.Path().c_str(), undo.AsString().c_str());
    }
  };
  struct stat st {};
  bool block = rbd;
  if (!rbd) {
    if (::stat(lun.path.c_str(), &st) != 0) {
      const int err = errno;
      return FXErrorUtil::ErrorErrNo(FX_HERE_IN(kFile), err, "cannot examine %s", lun.path.c_str());
    }
    block = S_ISBLK(st.st_mode);
    if (!block && !S_ISREG(st.st_mode)) {
      return Invalid(FX_HERE_IN(kFile), lun.path + " is neither a regular file nor a block device");
    }
  }
  std::string control;
  if (block) {
    control = "udev_path=" + device;
  } else {
    const uint64_t size = lun.size != 0 ? lun.size : static_cast<uint64_t>(st.st_size);
    if (size == 0) return Invalid(FX_HERE_IN(kFile), lun.path + " is empty: a LUN needs at least one block");
    control = "fd_dev_name=" + lun.path + ",fd_dev_size=" + std::to_string(size);
  }
  const std::string hba = HbaDir(block);
  if (m_fs->KindOf(hba) != Kind::kDir) {
    CRnError err = m_fs->MakeDir(hba);
    if (err.IsError() && !WzLioIsErrno(err, EEXIST)) {
      unmapMade();
      return err.Push(FX_HERE_IN(kFile));
    }
  }
  dir = hba + "/" + name;
  CRnError err = m_fs->MakeDir(dir);
  if (err.IsError()) {
    unmapMade();
    return err.Push(FX_HERE_IN(kFile));
  }
  err = m_fs->WriteAttr(dir + "/control", control);
  if (err.IsSuccess()) err = m_fs->WriteAttr(dir + "/udev_path", lun.path);
  // The serial goes in before the backstore serves: the kernel refuses to
  // change it under an exported LUN.
  if (err.IsSuccess()) {
    err = m_fs->WriteAttr(dir + "/wwn/vpd_unit_serial", WzScsiSrvUnitSerial(lun.serialPrefix, lun.targetId, lun.lunId));
  }
  if (err.IsSuccess()) err = m_fs->WriteAttr(dir + "/enable", "1");
  if (err.IsSuccess() && lun.blockSize != 0 && lun.blockSize != 512) {
    err = m_fs->WriteAttr(dir + "/attrib/block_size", std::to_string(lun.blockSize));
  }
  if (err.IsError()) {
    // Its udev_path may not name the image yet: the mapping is taken back
    // here.
    CRnError undo = RemoveBackstore(dir);
    (void)undo;
    unmapMade();
    return err.Push(FX_HERE_IN(kFile));
  }
  return CRnError();
}

CRnError WzScsiSrvLioPlatform::DeleteLun(WzScsiSrvLun* lun) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "DeleteLun", [&]() -> CRnError {
    if (lun == nullptr) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER, "no LUN record given");
    }
    WzMutexLock guard(&m_lock);
    bool exists = false;
    CRnError err = CheckReady(FX_HERE_IN(kFile));
    if (err.IsSuccess()) err = CheckOurTarget(lun->targetId, exists);
    if (err.IsSuccess() && exists) {
      // Never take away a LUN that serves another file than this one.
      err = RemoveLunLocked(lun->targetId, lun->lunId, lun->path.empty() ? std::string("*") : lun->path);
    }
    // Again when a delete failed after the backstore went: the retry still
    // lets go of the image.
    if (err.IsSuccess() && lun->bstorType == WzScsiServer::BSTOR_RBD) err = UnmapUnusedImage(lun->path);
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot delete LUN %d of target %s", lun->lunId, lun->targetId.c_str());
    }
    if (wzplugin::CloseOnlyRequested()) m_closedLuns[lun->targetId].insert(lun->lunId);
    return CRnError();
  });
}

// expectedPath: "" removes whatever the LUN links; "*" only a backstore of
// the service; anything else only the service's backstore of that path.
CRnError WzScsiSrvLioPlatform::RemoveLunLocked(const std::string& targetId, int32_t lunId,
                                               const std::string& expectedPath) {
  const std::string lunDir = TpgLunDir(targetId, lunId);
  if (lunId < 0 || m_fs->KindOf(lunDir) != Kind::kDir) {
    WZLOG(0, "LUN %d of target %s is not in the kernel target: nothing to delete", lunId, targetId.c_str());
    const std::string leftover = lunId < 0 ? std::string() : FindBackstore(wzlio::BackstoreName(targetId, lunId));
    if (!leftover.empty()) return RemoveBackstore(leftover);
    return CRnError();
  }
  std::map<int32_t, TpgLun> luns;
  if (CRnError err = ReadTpgLuns(targetId, luns)) return err.Push(FX_HERE_IN(kFile));
  const TpgLun held = luns[lunId];
  if (!expectedPath.empty()) {
    if (held.hbaDir.empty() && !held.backstore.empty()) {
      return Refused(FX_HERE_IN(kFile), "LUN " + std::to_string(lunId) + " of kernel target " + targetId +
                                            " links backstore " + held.backstore + ", not the service's: left alone");
    }
    std::string path;
    if (expectedPath != "*" && !held.hbaDir.empty() && ReadBackstorePath(held.hbaDir, path).IsSuccess() &&
        path != expectedPath) {
      return Refused(FX_HERE_IN(kFile), "LUN " + std::to_string(lunId) + " of kernel target " + targetId +
                                            " is backed by " + path + ", not this LUN's file: left alone");
    }
  }
  // Mapped LUNs of the ACLs go first: the kernel keeps a LUN that one links.
  const std::string aclRoot = TpgDir(targetId) + "/acls";
  std::vector<Entry> acls;
  if (m_fs->KindOf(aclRoot) == Kind::kDir) {
    if (CRnError err = m_fs->List(aclRoot, acls)) return err.Push(FX_HERE_IN(kFile));
  }
  for (const Entry& a : acls) {
    if (a.kind != Kind::kDir || m_fs->KindOf(aclRoot + "/" + a.name + "/" + wzlio::LunDirName(lunId)) != Kind::kDir) {
      continue;
    }
    WZLOG(0, "LUN %d of target %s is still mapped to %s: mapping removed", lunId, targetId.c_str(), a.name.c_str());
    if (CRnError err = UnMapHostLocked(targetId, lunId, a.name)) return err.Push(FX_HERE_IN(kFile));
  }
  if (!held.backstore.empty()) {
    if (CRnError err = UnlinkIfPresent(lunDir + "/" + held.backstore)) return err.Push(FX_HERE_IN(kFile));
  }
  if (CRnError err = RemoveDirIfPresent(lunDir)) return err.Push(FX_HERE_IN(kFile));
  if (!held.hbaDir.empty()) {
    if (CRnError err = RemoveBackstore(held.hbaDir)) return err.Push(FX_HERE_IN(kFile));
  }
  WZLOG(1, "Deleted kernel LUN %d of target %s", lunId, targetId.c_str());
  return CRnError();
}

// ---------------------------------------------------------------- host mappings

CRnError WzScsiSrvLioPlatform::MapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "MapHost", [&]() -> CRnError {
    WzMutexLock guard(&m_lock);
    CRnError err = CheckReady(FX_HERE_IN(kFile));
    if (err.IsSuccess()) err = MapHostLocked(lun.targetId, lun.lunId, host.hostId);
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot map host %s to LUN %d of target %s", host.hostId.c_str(), lun.lunId,
                      lun.targetId.c_str());
    }
    return CRnError();
  });
}

CRnError WzScsiSrvLioPlatform::MapHostLocked(const std::string& targetId, int32_t lunId, const std::string& host) {
  if (!ValidDirName(host)) return Invalid(FX_HERE_IN(kFile), "\"" + host + "\" cannot name a kernel target ACL");
  bool exists = false;
  if (CRnError err = CheckOurTarget(targetId, exists)) return err.Push(FX_HERE_IN(kFile));
  if (!exists) return Refused(FX_HERE_IN(kFile), "target " + targetId + " is not in the kernel target");
  const std::string tpgLun = TpgLunDir(targetId, lunId);
  if (lunId < 0 || m_fs->KindOf(tpgLun) != Kind::kDir) {
    return Refused(FX_HERE_IN(kFile),
                   "LUN " + std::to_string(lunId) + " of target " + targetId + " is not in the kernel target");
  }
  const std::string acl = AclDir(targetId, host);
  const std::string mapped = acl + "/" + wzlio::LunDirName(lunId);
  bool madeAcl = false;
  bool madeMapped = false;
  if (m_fs->KindOf(acl) != Kind::kDir) {
    if (CRnError err = m_fs->MakeDir(acl)) return err.Push(FX_HERE_IN(kFile));
    madeAcl = true;
  }
  // Credentials before the first mapped LUN: with authentication on, an
  // ACL without them logs in nowhere, and one with them serves at once.
  auto chap = m_chap.find(targetId);
  if (chap != m_chap.end()) {
    if (CRnError err = WriteAclAuth(acl, chap->second)) {
      if (madeAcl) {
        CRnError undo = RemoveDirIfPresent(acl);
        (void)undo;
      }
      return err.Push(FX_HERE_IN(kFile));
    }
  }
  if (m_fs->KindOf(mapped) == Kind::kDir) {
    std::vector<Entry> inside;
    if (CRnError err = m_fs->List(mapped, inside)) return err.Push(FX_HERE_IN(kFile));
    for (const Entry& e : inside) {
      if (e.kind == Kind::kLink) {
        WZLOG(1, "Adopted kernel mapping of LUN %d of target %s to %s", lunId, targetId.c_str(), host.c_str());
        return CRnError();
      }
    }
  } else {
    CRnError err = m_fs->MakeDir(mapped);
    if (err.IsError()) {
      if (madeAcl) {
        CRnError undo = RemoveDirIfPresent(acl);
        (void)undo;
      }
      return err.Push(FX_HERE_IN(kFile));
    }
    madeMapped = true;
  }
  if (CRnError err = m_fs->Symlink(tpgLun, mapped + "/" + wzlio::kMappedLunLink)) {
    if (madeMapped) {
      CRnError undo = RemoveDirIfPresent(mapped);
      (void)undo;
    }
    if (madeAcl) {
      CRnError undo = RemoveDirIfPresent(acl);
      (void)undo;
    }
    return err.Push(FX_HERE_IN(kFile));
  }
  WZLOG(1, "Mapped LUN %d of kernel target %s to %s", lunId, targetId.c_str(), host.c_str());
  return CRnError();
}

CRnError WzScsiSrvLioPlatform::UnMapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "UnMapHost", [&]() -> CRnError {
    WzMutexLock guard(&m_lock);
    bool exists = false;
    CRnError err = CheckReady(FX_HERE_IN(kFile));
    if (err.IsSuccess()) err = CheckOurTarget(lun.targetId, exists);
    if (err.IsSuccess() && exists) err = UnMapHostLocked(lun.targetId, lun.lunId, host.hostId);
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot unmap host %s from LUN %d of target %s", host.hostId.c_str(),
                      lun.lunId, lun.targetId.c_str());
    }
    return CRnError();
  });
}

CRnError WzScsiSrvLioPlatform::UnMapHostLocked(const std::string& targetId, int32_t lunId, const std::string& host) {
  if (!ValidDirName(host)) return CRnError();  // no such ACL can exist
  const std::string acl = AclDir(targetId, host);
  if (m_fs->KindOf(acl) != Kind::kDir) return CRnError();
  const std::string mapped = acl + "/" + wzlio::LunDirName(lunId);
  if (m_fs->KindOf(mapped) == Kind::kDir) {
    std::vector<Entry> inside;
    if (CRnError err = m_fs->List(mapped, inside)) return err.Push(FX_HERE_IN(kFile));
    for (const Entry& e : inside) {
      if (e.kind != Kind::kLink) continue;
      if (CRnError err = UnlinkIfPresent(mapped + "/" + e.name)) return err.Push(FX_HERE_IN(kFile));
    }
    if (CRnError err = RemoveDirIfPresent(mapped)) return err.Push(FX_HERE_IN(kFile));
  }
  // The ACL lives as long as the host has a mapped LUN: without one it would
  // still log in (and see a placeholder LUN 0).
  std::vector<Entry> rest;
  if (CRnError err = m_fs->List(acl, rest)) return err.Push(FX_HERE_IN(kFile));
  for (const Entry& e : rest) {
    if (e.kind == Kind::kDir && wzlio::ParseLunDirName(e.name) >= 0) {
      WZLOG(1, "Unmapped LUN %d of kernel target %s from %s", lunId, targetId.c_str(), host.c_str());
      return CRnError();
    }
  }
  if (CRnError err = RemoveDirIfPresent(acl)) return err.Push(FX_HERE_IN(kFile));
  WZLOG(1, "Unmapped LUN %d of kernel target %s from %s, its last: ACL removed", lunId, targetId.c_str(), host.c_str());
  return CRnError();
}

CRnError WzScsiSrvLioPlatform::RemoveAcl(const std::string& targetId, const std::string& host) {
  const std::string acl = AclDir(targetId, host);
  if (m_fs->KindOf(acl) != Kind::kDir) return CRnError();
  std::vector<Entry> inside;
  if (CRnError err = m_fs->List(acl, inside)) return err.Push(FX_HERE_IN(kFile));
  for (const Entry& e : inside) {
    const int32_t number = wzlio::ParseLunDirName(e.name);
    if (e.kind != Kind::kDir || number < 0) continue;
    // Unmapping the last mapped LUN removes the ACL too.
    if (CRnError err = UnMapHostLocked(targetId, number, host)) return err.Push(FX_HERE_IN(kFile));
  }
  return RemoveDirIfPresent(acl);
}

// ---------------------------------------------------------------- CHAP

namespace {

// Writes value unless the attribute holds it already, never showing it.
CRnError EnsureCredential(WzLioConfigFs& fs, const std::string& path, const std::string& value) {
  std::string current;
  if (fs.ReadAttr(path, current).IsSuccess() && current == value) return CRnError();
  return fs.WriteCredential(path, value);
}

}  // namespace

CRnError WzScsiSrvLioPlatform::SetTargetAuth(WzScsiSrvModelTarget& target, const WzScsiSrvChap& chap) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "SetTargetAuth", [&]() -> CRnError {
    WzMutexLock guard(&m_lock);
    bool exists = false;
    CRnError err = CheckReady(FX_HERE_IN(kFile));
    if (err.IsSuccess()) err = CheckKernelChap(FX_HERE_IN(kFile), chap);
    if (err.IsSuccess()) err = CheckOurTarget(target.targetId, exists);
    if (err.IsSuccess() && !exists)
      err = Refused(FX_HERE_IN(kFile), "target " + target.targetId + " is not in the kernel target");
    if (err.IsSuccess()) err = ApplyAuthLocked(target.targetId, chap);
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot turn CHAP of target %s %s", target.targetId.c_str(),
                      chap.enabled ? "on" : "off");
    }
    if (chap.enabled) {
      m_chap[target.targetId] = chap;
    } else {
      m_chap.erase(target.targetId);
    }
    WZLOG(1, "CHAP of kernel target %s: %s", target.targetId.c_str(), wzplugin::DescribeChap(chap).c_str());
    return CRnError();
  });
}

// On: every ACL gets the credentials, then authentication goes on, so no
// ACL logs in without CHAP once it is on and none without credentials is
// left. Off: authentication goes off first, so no ACL is refused meanwhile.
// A failure part way leaves CHAP on where it was on, or asked for.
CRnError WzScsiSrvLioPlatform::ApplyAuthLocked(const std::string& targetId, const WzScsiSrvChap& chap) {
  const std::string tpg = TpgDir(targetId);
  if (!chap.enabled) {
    if (CRnError err = EnsureAttr(*m_fs, tpg + "/attrib/authentication", "0")) return err.Push(FX_HERE_IN(kFile));
  }
  std::vector<Entry> acls;
  if (m_fs->KindOf(tpg + "/acls") == Kind::kDir) {
    if (CRnError err = m_fs->List(tpg + "/acls", acls)) return err.Push(FX_HERE_IN(kFile));
  }
  for (const Entry& a : acls) {
    if (a.kind != Kind::kDir) continue;
    if (CRnError err = WriteAclAuth(tpg + "/acls/" + a.name, chap)) return err.Push(FX_HERE_IN(kFile));
  }
  if (chap.enabled) {
    if (CRnError err = EnsureAttr(*m_fs, tpg + "/attrib/authentication", "1")) return err.Push(FX_HERE_IN(kFile));
  }
  return CRnError();
}

bool WzScsiSrvLioPlatform::HoldsChap(const std::string& targetId) {
  const std::string tpg = TpgDir(targetId);
  std::string on;
  if (m_fs->ReadAttr(tpg + "/attrib/authentication", on).IsError() || on != "1") return false;
  std::vector<Entry> acls;
  if (m_fs->KindOf(tpg + "/acls") != Kind::kDir || m_fs->List(tpg + "/acls", acls).IsError()) return false;
  for (const Entry& a : acls) {
    std::string user;
    if (a.kind == Kind::kDir && m_fs->ReadAttr(tpg + "/acls/" + a.name + "/auth/userid", user).IsSuccess() &&
        !user.empty() && user != "NULL") {
      return true;
    }
  }
  return false;
}

CRnError WzScsiSrvLioPlatform::WriteAclAuth(const std::string& acl, const WzScsiSrvChap& chap) {
  const std::string auth = acl + "/auth/";
  const bool mutual = chap.enabled && !chap.mutualUser.empty();
  const std::pair<const char*, std::string> values[] = {
      {"userid", chap.enabled ? chap.user : "NULL"},
      {"password", chap.enabled ? chap.secret : "NULL"},
      {"userid_mutual", mutual ? chap.mutualUser : "NULL"},
      {"password_mutual", mutual ? chap.mutualSecret : "NULL"},
  };
  for (const auto& v : values) {
    // A fresh ACL holds nothing, which is as good as "NULL".
    std::string current;
    if (v.second == "NULL" && m_fs->ReadAttr(auth + v.first, current).IsSuccess() && current.empty()) continue;
    if (CRnError err = EnsureCredential(*m_fs, auth + v.first, v.second)) return err.Push(FX_HERE_IN(kFile));
  }
  return CRnError();
}

// ---------------------------------------------------------------- reconcile

CRnError WzScsiSrvLioPlatform::ListOwned(WzScsiSrvEngineView& view) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "ListOwned", [&]() -> CRnError {
    WzMutexLock guard(&m_lock);
    CRnError err = CheckReady(FX_HERE_IN(kFile));
    if (err.IsSuccess()) err = ListOwnedLocked(view);
    if (err.IsError()) return err.Push(FX_HERE_IN(kFile), "cannot list the kernel target's objects of the service");
    return CRnError();
  });
}

CRnError WzScsiSrvLioPlatform::RemoveOrphan(const WzScsiSrvOrphan& orphan) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "RemoveOrphan", [&]() -> CRnError {
    WzMutexLock guard(&m_lock);
    const std::string targetId = FXString::ToLowerAscii(orphan.targetId);
    bool exists = false;
    CRnError err = CheckReady(FX_HERE_IN(kFile));
    if (err.IsSuccess()) err = CheckOurTarget(targetId, exists);
    if (err.IsSuccess() && exists) {
      switch (orphan.kind) {
        case WzScsiSrvOrphan::TARGET:
          err = RemoveTargetLocked(targetId);
          break;
        case WzScsiSrvOrphan::LUN:
          err = RemoveLunLocked(targetId, orphan.lunId, std::string());
          if (err.IsSuccess()) m_closedLuns[targetId].erase(orphan.lunId);
          break;
        case WzScsiSrvOrphan::HOST:
          err = orphan.lunId < 0 ? RemoveAcl(targetId, orphan.hostId)
                                 : UnMapHostLocked(targetId, orphan.lunId, orphan.hostId);
          break;
      }
    }
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "cannot remove the orphan (kind %d, LUN %d, host %s) of target %s",
                      static_cast<int>(orphan.kind), orphan.lunId, orphan.hostId.c_str(), targetId.c_str());
    }
    if (exists) {
      WZLOG(1, "Removed orphan (kind %d, LUN %d, host %s) of kernel target %s", static_cast<int>(orphan.kind),
            orphan.lunId, orphan.hostId.c_str(), targetId.c_str());
    }
    return CRnError();
  });
}
