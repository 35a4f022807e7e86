// Ioctl: the control channel. The command word (any letter case) selects a
// listing ("llh", "llt", "ll", "lt"), which answers itself, or "rc", which
// replays the action log into the running service; anything else is refused
// with code 4.
#include <exception>

#include "hostlib/log/LogWriter.h"
#include "hostlib/util/FXString.h"
#include "service/WzScsiSrv.h"

CRnError WzScsiSrv::Ioctl(CWzNetwork* conn, CNMessageBase* message) {
  if (CRnError e = CheckClass(FX_HERE, message, WzScsiServer::kIoctl)) return e;
  auto* request = dynamic_cast<WzScsiServer::Ioctl*>(message);
  if (request == nullptr) return CheckClass(FX_HERE, nullptr, WzScsiServer::kIoctl);
  WzScsiServer::IoctlRsp reply;
  if (RefuseIfNotReady(conn, message, reply)) return CRnError();

  const std::string command = request->command();
  if (FXString::CompareNoCase(command, "llh") == 0) {
    CRnError e = ListLuns(conn, message, LUNS_BY_HOST);
    return e.IsError() ? e.Push(FX_HERE, "Host not specified") : CRnError();
  }
  if (FXString::CompareNoCase(command, "llt") == 0) {
    CRnError e = ListLuns(conn, message, LUNS_BY_TARGET);
    return e.IsError() ? e.Push(FX_HERE) : CRnError();
  }
  if (FXString::CompareNoCase(command, "ll") == 0) {
    CRnError e = ListLuns(conn, message, LUNS_ALL);
    return e.IsError() ? e.Push(FX_HERE) : CRnError();
  }
  if (FXString::CompareNoCase(command, "lt") == 0) {
    CRnError e = ListTargets(conn, message);
    return e.IsError() ? e.Push(FX_HERE, "Failed to list targets") : CRnError();
  }
  if (FXString::CompareNoCase(command, "rc") == 0) return ReloadConfig(conn, message, reply);
  return RefuseIoctl(conn, message, reply, command);
}

CRnError WzScsiSrv::ReloadConfig(CWzNetwork* conn, CNMessageBase* message, WzScsiServer::IoctlRsp& reply) {
  WZLOG(0, "#### Reloading iSCSI service configuration. ####");
  CRnError played;
  try {
    played = Playback(true);
  } catch (const std::exception& ex) {
    played = FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Playback stopped by exception: %s",
                                     ex.what());
  } catch (...) {
    played = FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "Playback stopped by an unknown exception");
  }

  WzScsiServer::Error error;
  if (played.IsSuccess()) {
    error.setErrorCode(WzScsiServer::RC_SUCCESS);
    error.setErrorMessage("iSCSI service configuration reloaded successfully.");
    WZLOG(0, "iSCSI service reload configuration completed successfully.");
  } else {
    error.setErrorCode(WzScsiServer::RC_NOT_READY_OR_FAILED);
    error.setErrorMessage("iSCSI service configuration reload failed.");
    WZLOG(0, "iSCSI service reload configuration completed with error [%s].", played.AsString().c_str());
  }
  if (conn != nullptr) SendReply(conn, message, reply, error, std::string(), false);
  if (played.IsSuccess()) return CRnError();
  const std::string text = played.AsString();
  return played.Push(FX_HERE, "Reload configuration Playback failed with error: [%s]", text.c_str());
}

CRnError WzScsiSrv::RefuseIoctl(CWzNetwork* conn, CNMessageBase* message, WzScsiServer::IoctlRsp& reply,
                                const std::string& command) {
  WzScsiServer::Error error;
  error.setErrorCode(WzScsiServer::RC_INVALID_ARGUMENT);
  error.setErrorMessage(FXString::Format("Invalid IOCTL, cmd=%s", command.c_str()));
  CRnError result = FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER, "Invalid IOCTL, cmd=%s", command.c_str());
  if (conn != nullptr) {
    WZLOG(-1, "Error: %s %d %s %s", "", static_cast<int>(error.errorCode()), error.errorMessage().c_str(),
          result.AsString().c_str());
    SendReply(conn, message, reply, error, std::string(), true);
  }
  return result.Push(FX_HERE);
}
