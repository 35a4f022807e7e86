// The real driver libraries as the service sees them, for the end-to-end
// tests: loaded from the build's driver directory through the host's library
// loader and their entry symbols, configured through the configuration
// store, and driven in the service's order (backing-store prepare, platform,
// commit or abort).
//
// Thread safety: none; one test thread uses an object.
#pragma once

#include <memory>
#include <string>

#include "drivers/WzScsiBStorOps.h"
#include "drivers/WzScsiSrvPlatform.h"
#include "hostlib/util/CRnLibrary.h"
#include "tests/support/tgtd/tgtd_fixture.h"

namespace wze2e {

// Writes an INI configuration store holding the drivers' sections for this
// tgtd (control socket, portal) and the snapshot directory, and makes it the
// process's store.
void UseDriverConfig(const std::string& file, const TgtdProcess& tgtd, const std::string& snapshotDir);

// libWzScsiSrvTgt.so (the tgt engine) and the platform object it hands out. The object is
// deleted before the library is unloaded.
class LoadedPlatform {
 public:
  LoadedPlatform() = default;
  ~LoadedPlatform() { Unload(); }
  LoadedPlatform(const LoadedPlatform&) = delete;
  LoadedPlatform& operator=(const LoadedPlatform&) = delete;

  // Loads, takes a new object and calls Init.
  CRnError Load();
  // CleanUp, delete, unload: what the service does when it stops.
  void Unload();
  WzScsiSrvPlatform* operator->() const { return m_object.get(); }
  WzScsiSrvPlatform* Get() const { return m_object.get(); }

 private:
  CRnLibrary m_library{false};
  std::unique_ptr<WzScsiSrvPlatform> m_object;
};

// A backing-store library and its operations object (the library's own).
class LoadedStore {
 public:
  LoadedStore() = default;
  ~LoadedStore() { Unload(); }
  LoadedStore(const LoadedStore&) = delete;
  LoadedStore& operator=(const LoadedStore&) = delete;

  CRnError Load(const std::string& fileName);
  void Unload();  // Cleanup, then unload
  WzScsiBStorOps* operator->() const { return m_ops; }
  WzScsiBStorOps* Get() const { return m_ops; }

 private:
  CRnLibrary m_library{false};
  WzScsiBStorOps* m_ops = nullptr;
};

// A LUN record as the service builds it before the drivers see it.
WzScsiSrvLun MakeLun(const std::string& targetId, WzScsiServer::BStorType type, int32_t lunId,
                     WzScsiSrvPlatform* platform, WzScsiBStorOps* ops);

// The service's creation sequence for a store-backed LUN: prepare, platform
// create, commit; abort after a platform failure, platform delete after a
// commit failure.
CRnError CreateStoreLun(WzScsiSrvPlatform& platform, WzScsiBStorOps& ops, const std::string& args, WzScsiSrvLun& lun);
// The deletion sequence: prepare, platform delete, commit (abort on failure).
CRnError DeleteStoreLun(WzScsiSrvPlatform& platform, WzScsiBStorOps& ops, WzScsiSrvLun& lun);

// Sets <flag>_<this thread> to "1" for the life of the object, as the
// service does around open-only and close-only requests.
class ScopedRequestFlag {
 public:
  explicit ScopedRequestFlag(const char* flag);
  ~ScopedRequestFlag();
  ScopedRequestFlag(const ScopedRequestFlag&) = delete;
  ScopedRequestFlag& operator=(const ScopedRequestFlag&) = delete;

 private:
  std::string m_name;
};

// A sparse file of the given size.
std::string MakeSparseFile(const std::string& path, long long size);

// The initiator probe (wz_iscsi_probe) against this tgtd.
CommandResult Probe(const TgtdProcess& tgtd, const std::string& target, const std::string& initiator,
                    const std::vector<std::string>& extraArgs = {});
// The probe against portal and target as initiator on lun, with args.
CommandResult RunProbe(const std::string& portal, const std::string& target, const std::string& initiator, int lun,
                       const std::vector<std::string>& args = {});
// Starts the probe holding its session on lun, reading pattern at lba on
// each request; true once it holds, false with why when it does not.
bool HoldProbeSession(ChildProcess& session, const std::string& portal, const std::string& target,
                      const std::string& initiator, int lun, long long lba, const std::string& pattern,
                      std::string* why);
// One read by a held session: what the probe answered after
// "requested_read=", or why there is no answer.
std::string RequestProbeRead(ChildProcess& session);

// libiscsi's URL of LUN lun of target on portal ("127.0.0.1:3260"), with
// CHAP credentials when user is not empty and the target's own (mutual CHAP)
// when mutualUser is not empty:
//   iscsi://USER%SECRET@PORTAL/TARGET/LUN?target_user=MU&target_password=MS
std::string ChapUrl(const std::string& portal, const std::string& target, int lun, const std::string& user = "",
                    const std::string& secret = "", const std::string& mutualUser = "",
                    const std::string& mutualSecret = "");
// The probe on a URL (ChapUrl) as initiator.
CommandResult ProbeUrl(const std::string& url, const std::string& initiator,
                       const std::vector<std::string>& extraArgs = {});

}  // namespace wze2e
