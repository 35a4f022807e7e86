#include "tests/e2e/driver_harness.h"

#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#include "hostlib/config/WZPlatformInfo.h"

#ifndef WZ_TEST_DRIVERS_DIR
#error "WZ_TEST_DRIVERS_DIR must name the directory of the built drivers"
#endif
#ifndef WZ_TEST_PROBE
#error "WZ_TEST_PROBE must name the initiator probe"
#endif

namespace wze2e {

namespace {

const char* const kFile = "e2e";
// Generous: the machine is shared, and a slow start is not what is tested.
constexpr int kProbeWaitMs = 60000;

std::string DriverPath(const std::string& fileName) { return std::string(WZ_TEST_DRIVERS_DIR) + "/" + fileName; }

std::vector<std::string> ProbeArgv(const std::string& portal, const std::string& target, const std::string& initiator,
                                   const std::vector<std::string>& args) {
  std::vector<std::string> argv = {WZ_TEST_PROBE, "--portal", portal, "--target", target, "--initiator", initiator};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

}  // namespace

void UseDriverConfig(const std::string& file, const TgtdProcess& tgtd, const std::string& snapshotDir) {
  std::ofstream out(file, std::ios::trunc);
  out << "[WzScsiSrvTgt]\n"
      << "TgtdControlSocket=" << tgtd.ControlSocket() << "\n"
      << "TgtdPortal=" << tgtd.Portal() << "\n"
      << "[WzScsiSrvBStorDevSnap]\n"
      << "SnapshotDir=" << snapshotDir << "\n";
  out.close();
  WZPlatformInfo::SetConfigFile(file);
}

CRnError LoadedPlatform::Load() {
  Unload();
  if (CRnError err = m_library.Load(DriverPath(WZSCSI_PLATFORM_TGT_LIB_NAME), false)) return err;
  void* entry = nullptr;
  if (CRnError err = m_library.GetAddress(WZSCSI_PLATFORM_ENTRY, &entry)) return err;
  m_object.reset(reinterpret_cast<GetWZScsiPlatformObj_t>(entry)());
  if (!m_object) return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED, "no object");
  return m_object->Init();
}

void LoadedPlatform::Unload() {
  if (m_object) (void)m_object->CleanUp();
  m_object.reset();
  (void)m_library.Free();
}

CRnError LoadedStore::Load(const std::string& fileName) {
  Unload();
  if (CRnError err = m_library.Load(DriverPath(fileName), false)) return err;
  void* entry = nullptr;
  if (CRnError err = m_library.GetAddress(WZSCSI_BSTOR_ENTRY, &entry)) return err;
  m_ops = reinterpret_cast<GetBstorOps_t>(entry)();
  if (m_ops == nullptr) return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED, "no ops");
  return CRnError();
}

void LoadedStore::Unload() {
  if (m_ops != nullptr) (void)m_ops->Cleanup();
  m_ops = nullptr;
  (void)m_library.Free();
}

WzScsiSrvLun MakeLun(const std::string& targetId, WzScsiServer::BStorType type, int32_t lunId,
                     WzScsiSrvPlatform* platform, WzScsiBStorOps* ops) {
  return WzScsiSrvLun(targetId, platform, type, nullptr, ops, "", lunId, "", 0, 512, 524288, false, nullptr);
}

CRnError CreateStoreLun(WzScsiSrvPlatform& platform, WzScsiBStorOps& ops, const std::string& args, WzScsiSrvLun& lun) {
  WzScsiServer::BStoreDesc desc;
  desc.setArgs(args);
  if (CRnError err = ops.CreateLunPrepare(&desc, &lun)) return err;
  if (CRnError err = platform.CreateLun(&lun)) {
    (void)ops.CreateLunAbort(&lun);
    return err;
  }
  if (CRnError err = ops.CreateLunCommit(&desc, &lun)) {
    (void)platform.DeleteLun(&lun);
    return err;
  }
  return CRnError();
}

CRnError DeleteStoreLun(WzScsiSrvPlatform& platform, WzScsiBStorOps& ops, WzScsiSrvLun& lun) {
  if (CRnError err = ops.DeleteLunPrepare(lun.bstoreCtx)) return err;
  if (CRnError err = platform.DeleteLun(&lun)) {
    (void)ops.DeleteLunAbort(lun.bstoreCtx);
    return err;
  }
  return ops.DeleteLunCommit(lun.bstoreCtx);
}

ScopedRequestFlag::ScopedRequestFlag(const char* flag) {
  std::ostringstream name;
  name << flag << '_' << std::this_thread::get_id();
  m_name = name.str();
  ::setenv(m_name.c_str(), "1", 1);
}

ScopedRequestFlag::~ScopedRequestFlag() { ::setenv(m_name.c_str(), "", 1); }

std::string MakeSparseFile(const std::string& path, long long size) {
  std::ofstream(path, std::ios::trunc).close();
  if (::truncate(path.c_str(), size) != 0) return std::string();
  return path;
}

CommandResult Probe(const TgtdProcess& tgtd, const std::string& target, const std::string& initiator,
                    const std::vector<std::string>& extraArgs) {
  return RunCommand(ProbeArgv(tgtd.Portal(), target, initiator, extraArgs));
}

CommandResult RunProbe(const std::string& portal, const std::string& target, const std::string& initiator, int lun,
                       const std::vector<std::string>& args) {
  std::vector<std::string> extra = {"--lun", std::to_string(lun)};
  extra.insert(extra.end(), args.begin(), args.end());
  return RunCommand(ProbeArgv(portal, target, initiator, extra));
}

bool HoldProbeSession(ChildProcess& session, const std::string& portal, const std::string& target,
                      const std::string& initiator, int lun, long long lba, const std::string& pattern,
                      std::string* why) {
  const std::vector<std::string> argv = ProbeArgv(
      portal, target, initiator,
      {"--lun", std::to_string(lun), "--read-lba", std::to_string(lba), "--pattern", pattern, "--hold-until-eof"});
  if (!session.Start(argv, {}, why)) return false;
  if (session.WaitForLine("holding=1", kProbeWaitMs)) return true;
  *why = session.Output();
  return false;
}

std::string RequestProbeRead(ChildProcess& session) {
  if (!session.WriteInput("\n")) return "no session";
  std::string line;
  if (!session.WaitForLine("requested_read=", kProbeWaitMs, &line)) return "no answer: " + session.Output();
  return line.substr(line.find('=') + 1);
}

std::string ChapUrl(const std::string& portal, const std::string& target, int lun, const std::string& user,
                    const std::string& secret, const std::string& mutualUser, const std::string& mutualSecret) {
  std::string url = "iscsi://";
  if (!user.empty()) url += user + "%" + secret + "@";
  url += portal + "/" + target + "/" + std::to_string(lun);
  if (!mutualUser.empty()) url += "?target_user=" + mutualUser + "&target_password=" + mutualSecret;
  return url;
}

CommandResult ProbeUrl(const std::string& url, const std::string& initiator,
                       const std::vector<std::string>& extraArgs) {
  std::vector<std::string> argv = {WZ_TEST_PROBE, "--url", url, "--initiator", initiator};
  argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
  return RunCommand(argv);
}

}  // namespace wze2e
