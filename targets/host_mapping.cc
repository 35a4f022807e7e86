// MapLun2Host and UnMapLun2Host: granting and withdrawing one host's access
// to one LUN. Host ids are compared exactly (Host1 and host1 are two hosts);
// the platform driver is asked first and the model follows its success.
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/FXString.h"
#include "service/WzScsiSrv.h"

namespace {

// The requests carry the LUN number in the low 32 bits of a 64-bit field.
int32_t LunNumberOf(int64_t field) { return static_cast<int32_t>(static_cast<uint32_t>(field)); }

// The LUN a mapping request names; a missing target or LUN fills the reply's
// Error and returns the handler's error (target first, then LUN).
CRnError FindMappedLun(WzScsiSrv& service, const std::string& name, int32_t number, WzScsiServer::Error& error,
                       WzScsiSrv::Lun*& lun) {
  WzScsiSrv::TargetMap::iterator target;
  if (!service.TargetExists(name, target)) {
    error.set(WzScsiServer::RC_NOT_FOUND_OR_WRONG_STATE, "Target doesn't exist!");
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Target doesn't exist!");
  }
  auto found = target->second.luns.find(number);
  if (found == target->second.luns.end()) {
    error.set(WzScsiServer::RC_NOT_FOUND_OR_WRONG_STATE, "Lun doesn't exist!");
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Lun doesn't exist!");
  }
  lun = &found->second;
  return CRnError();
}

}  // namespace

CRnError WzScsiSrv::MapHost(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  if (CRnError e = CheckClass(FX_HERE, message, WzScsiServer::kMapLun2Host)) return e;
  auto* request = dynamic_cast<WzScsiServer::MapLun2Host*>(message);
  if (request == nullptr) return CheckClass(FX_HERE, nullptr, WzScsiServer::kMapLun2Host);
  WzScsiServer::MapLun2HostRsp reply;

  CRnError result = RunHandler(conn, message, WzScsiServer::kMapLun2Host, reply,
                               [&](WzScsiServer::Error& error, std::string& subject) -> CRnError {
    request->setTargetId(FXString::ToLowerAscii(request->targetId()));
    const std::string name = request->targetId();
    subject = name;
    const int32_t number = LunNumberOf(request->lunId());
    const std::string hostId = request->hostId();
    WZLOG(1, "Mapping Host: TargetID [%s], HostID:[%s], LunID [%d]", name.c_str(), hostId.c_str(), number);

    Lun* lun = nullptr;
    if (CRnError e = FindMappedLun(*this, name, number, error, lun)) return e;
    if (lun->hosts.count(hostId) != 0) {
      // Code 183: replay after a reload counts this as "already in place".
      error.set(WzScsiServer::RC_NOT_FOUND_OR_WRONG_STATE, "Host is already mapped to the lun");
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_ALREADY_EXISTS, "Host is already mapped to the lun");
    }
    Host host(hostId, std::string());
    if (CRnError e = m_ptrPlatform ? m_ptrPlatform->MapHost(*lun, host) : NoPlatformError(FX_HERE)) {
      WZLOG(-1, "Platform MapHost failed, error=%s", e.AsString().c_str());
      error.set(WzScsiServer::RC_PLATFORM_FAILED, "Platform MapHost failed");
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Platform MapHost failed");
    }
    lun->hosts[hostId] = host;
    error.setErrorCode(WzScsiServer::RC_SUCCESS);
    return CRnError();
  });
  return result.IsError() ? result.Push(FX_HERE) : CRnError();
}

CRnError WzScsiSrv::UnMapHost(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  if (CRnError e = CheckClass(FX_HERE, message, WzScsiServer::kUnMapLun2Host)) return e;
  auto* request = dynamic_cast<WzScsiServer::UnMapLun2Host*>(message);
  if (request == nullptr) return CheckClass(FX_HERE, nullptr, WzScsiServer::kUnMapLun2Host);
  WzScsiServer::UnMapLun2HostRsp reply;

  CRnError result = RunHandler(conn, message, WzScsiServer::kUnMapLun2Host, reply,
                               [&](WzScsiServer::Error& error, std::string& subject) -> CRnError {
    request->setTargetId(FXString::ToLowerAscii(request->targetId()));
    const std::string name = request->targetId();
    subject = name;
    const int32_t number = LunNumberOf(request->lunId());
    const std::string hostId = request->hostId();
    WZLOG(1, "Unmapping Host: TargetID [%s], HostID [%s], LunID [%d]", name.c_str(), hostId.c_str(), number);

    Lun* lun = nullptr;
    if (CRnError e = FindMappedLun(*this, name, number, error, lun)) return e;
    auto host = lun->hosts.find(hostId);
    if (host == lun->hosts.end()) {
      error.set(WzScsiServer::RC_NOT_FOUND_OR_WRONG_STATE, "Host is not mapped to the lun");
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Host is not mapped to the lun");
    }
    if (CRnError e = m_ptrPlatform ? m_ptrPlatform->UnMapHost(*lun, host->second) : NoPlatformError(FX_HERE)) {
      error.set(WzScsiServer::RC_PLATFORM_FAILED, "Platform UnMapHost Failed");
      return e;
    }
    lun->hosts.erase(host);
    error.setErrorCode(WzScsiServer::RC_SUCCESS);
    return CRnError();
  });
  return result.IsError() ? result.Push(FX_HERE) : CRnError();
}
