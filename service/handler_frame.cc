// The frame every request handler runs in: class check, readiness refusal,
// the work under the model lock, the action-log record of a success, and
// the reply.
#include "hostlib/log/LogWriter.h"
#include "service/WzScsiSrv.h"

namespace {
const char* const kNotReadyText = "Either service not initialized or initialization is in progress.";
}

CRnError NoPlatformError(const FXCodeLocation& where) {
  return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "platform driver is not initialized");
}

CRnError WzScsiSrv::CheckClass(const FXCodeLocation& where, CNMessageBase* message, const WzScsiServer::ClassId& cls) {
  if (message == nullptr || message->getTagID() != cls.tagId)
    return FXErrorUtil::ErrorWin32(where, ERROR_INVALID_MESSAGE_CLASS, "dynamic cast failed CNMessageBase -> WzScsiServer::%s",
                                   cls.name);
  return CRnError();
}

bool WzScsiSrv::RefuseIfNotReady(CWzNetwork* conn, CNMessageBase* message, WzScsiServer::Reply& reply) {
  if (conn == nullptr || m_eStatus.load() == SVC_INITIALIZED) return false;
  std::lock_guard<std::mutex> g(m_mutex);
  if (m_eStatus.load() == SVC_INITIALIZED) return false;
  WzScsiServer::Error error;
  error.setErrorCode(WzScsiServer::RC_NOT_READY_OR_FAILED);
  error.setErrorMessage(kNotReadyText);
  SendReply(conn, message, reply, error, std::string(), false);
  return true;
}

bool WzScsiSrv::SendReply(CWzNetwork* conn, CNMessageBase* request, WzScsiServer::Reply& reply,
                          const WzScsiServer::Error& error, const std::string& subject, bool withSubject) {
  reply.setContextFrom(*request);
  reply.setError(error);
  bool disconnected = false;
  if (CRnError e = conn->SendXMLMessage(&reply, 0, 60, disconnected)) {
    if (withSubject)
      WZLOG(-1, "%s SendXMLMessage error %s", subject.c_str(), e.AsString().c_str());
    else
      WZLOG(-1, "SendXMLMessage error %s", e.AsString().c_str());
    return false;
  }
  return true;
}

CRnError WzScsiSrv::RunHandler(CWzNetwork* conn, CNMessageBase* message, const WzScsiServer::ClassId& cls,
                               WzScsiServer::Reply& reply, const HandlerWork& work) {
  return RunHandler(conn, message, cls, reply, work, FrameOptions{true, true});
}

CRnError WzScsiSrv::RunHandler(CWzNetwork* conn, CNMessageBase* message, const WzScsiServer::ClassId& cls,
                               WzScsiServer::Reply& reply, const HandlerWork& work, const FrameOptions& options) {
  (void)cls;
  if (options.refuseIfNotReady && RefuseIfNotReady(conn, message, reply)) return CRnError();

  WzScsiServer::Error error;
  std::string subject;
  CRnError result;
  {
    // The change and its record are one step for every other handler.
    std::lock_guard<std::recursive_mutex> model(m_modelMutex);
    result = work(error, subject);
    if (conn != nullptr && result.IsSuccess() && options.saveOnSuccess) {
      if (CRnError saved = LogAction(message, &reply)) WZLOG(-1, "Failed to save, error=%s", saved.AsString().c_str());
    }
  }
  if (conn != nullptr) {
    if (result)
      WZLOG(-1, "Error: %s %d %s %s", subject.c_str(), static_cast<int>(error.errorCode()),
            error.errorMessage().c_str(), result.AsString().c_str());
    SendReply(conn, message, reply, error, subject, true);
  }
  return result;
}
