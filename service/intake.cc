// Request intake: the network thread's callback, the dispatch table and the
// two pool worker functions.
#include <new>

#include "change/refusals.h"
#include "hostlib/errors/no_throw.h"
#include "hostlib/log/LogWriter.h"
#include "service/WzScsiSrv.h"
#include "service/request_classes.h"
#include "service/request_counters.h"

namespace {

using namespace WzScsiServer;

// Answers a request that gets no handler's reply: one the service does not
// serve, or one whose handler failed by an exception. The reply is of the
// class that answers the request (an IoctlRsp for what is no request).
void AnswerWithError(CWzNetwork* conn, CNMessageBase* request, const ClassId& replyClass, WzScsiSrvRefusal why,
                     const std::string& detail) {
  std::unique_ptr<CNMessageBase> made = CNMessageRegistry::Create(kGroup, replyClass.number);
  auto* reply = dynamic_cast<Reply*>(made.get());
  if (reply == nullptr) return;
  Error error;
  CRnError refused = WzScsiSrvRefuse(error, why, FX_HERE, CRnError(), detail);
  (void)refused;
  reply->setContextFrom(*request);
  reply->setError(error);
  const WzScsiSrvRequestClass* row = WzScsiSrvFindRequestClass(request->getTagID());
  WzScsiSrvCountRequest(row != nullptr ? row->cls->number : -1, row != nullptr ? row->cls->name : nullptr,
                        error.errorCode(), -1);
  bool disconnected = false;
  if (CRnError e = conn->SendXMLMessage(reply, 0, 60, disconnected))
    WZLOG(-1, "SendXMLMessage error %s", e.AsString().c_str());
}

// Answers a disconnect or abort notice on the network thread.
CRnError AnswerControl(CWzNetworkServer* server, WznHandle_t handle, CNMessageBase*& message, bool abort) {
  CWzNetwork* conn = nullptr;
  if (CRnError e = server->AcquireSession(handle, conn)) {
    // The notice is freed all the same: the network layer counts it in work until then.
    server->CleanXmlBuffer(message);
    return e.Push(FX_HERE, "Failed acquire session");
  }
  bool disconnected = false;
  if (abort) {
    WznStatus_t status;
    status.status = 0;
    status.subStatus = 0;
    status.reason = 2;
    CRnError ignored = conn->AbortConnection(status, 30, disconnected);
    (void)ignored;
  } else {
    CRnError ignored = conn->ReplyDisconnect(120, disconnected);
    (void)ignored;
  }
  if (CRnError e = server->ReleaseSession(handle)) return e.Push(FX_HERE, "Failed release session");
  server->CleanXmlBuffer(message);
  return CRnError();
}

}  // namespace

CRnError WzScsiSrv::IncomingMsgXMLCallback(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server,
                                           WznHandle_t handle, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  if (server == nullptr) {
    WZLOG(1, "Received NULL session server.");
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_BAD_ARGUMENTS, "Received NULL session server.");
  }
  if (message == nullptr) return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_BAD_ARGUMENTS, "Received NULL message.");
  WZLOG(2, "Received msg: [%s]", message->getTagName());

  if (message->getTagID() == WZN_TAG_DISCONNECT) return AnswerControl(server, handle, message, false);
  if (message->getTagID() == WZN_TAG_ABORT) return AnswerControl(server, handle, message, true);

  WzScsiSrvWorkItem* item = new (std::nothrow) WzScsiSrvWorkItem();
  if (item == nullptr) {
    std::string name = message->getTagName();
    server->CleanXmlBuffer(message);
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_MESSAGE_CLASS,
                                   "Failed allocate memory, message %s can not be handles now", name.c_str());
  }
  item->server = server;
  item->handle = handle;
  item->message = message;
  item->service = this;
  WzWorkFunction worker = WzScsiSrvHandleMessage;

  if (kind != CWzNetworkServer::WZN_CB_RECEIVED) {
    // Not a received message: the network layer keeps the message.
    delete item;
    return CRnError();
  }

  if (m_pSvcApp != nullptr && m_pSvcApp->NotifyActivity != nullptr) m_pSvcApp->NotifyActivity();
  const WzScsiSrvRequestClass* row = WzScsiSrvFindRequestClass(message->getTagID());
  if (row == nullptr) {
    // A reply class, or a class of another group: no request of this
    // service. The worker answers it (the client must not wait).
    WZLOG(-1, "Unknown message: %s", message->getTagName());
    worker = WzScsiSrvIgnoreMessage;
  } else {
    item->handler = row->handler;
    worker = row->worker;
  }
  WZLOG(1, "Handle %s", message->getTagName());
  if (CRnError e = m_threadPool.doWork(worker, item)) {
    // The pool refused the item (it is stopping): nobody else will free it.
    WZLOG(-1, "Failed to queue message %s, error=%s", message->getTagName(), e.AsString().c_str());
    server->CleanXmlBuffer(item->message);
    delete item;
    return e.Push(FX_HERE);
  }
  return CRnError();
}

extern "C" void* WzScsiSrvHandleMessage(void* arg) {
  if (arg == nullptr) {
    WZLOG(-1, "Null argument passed");
    return nullptr;
  }
  std::unique_ptr<WzScsiSrv::WzScsiSrvWorkItem> item(static_cast<WzScsiSrv::WzScsiSrvWorkItem*>(arg));
  CWzNetwork* conn = nullptr;
  CRnError acquired = item->server->AcquireSession(item->handle, conn);
  if (acquired.IsError() || conn == nullptr || !conn->IsConnectionGood()) {
    WZLOG(-1, "Failed to acquire session from handle [%llu], err [%s]", static_cast<unsigned long long>(item->handle),
          acquired.IsError() ? acquired.AsString().c_str() : "connection is not good");
    // A session that was acquired is given back even though its connection
    // is gone, so the network layer can free it.
    if (acquired.IsSuccess()) {
      CRnError released = item->server->ReleaseSession(item->handle);
      (void)released;
    }
    item->server->CleanXmlBuffer(item->message);
    return nullptr;
  }
  // A handler never lets an exception out; should one escape all the same,
  // the request is still answered and its session released.
  bool thrown = true;
  CRnError handled = WzNoThrow(FX_HERE, "The handler", [&]() -> CRnError {
    CRnError result = item->handler != nullptr
                          ? (item->service->*item->handler)(conn, item->message)
                          : FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_MESSAGE_CLASS, "no handler");
    thrown = false;
    return result;
  });
  if (thrown) {
    const WzScsiSrvRequestClass* row = WzScsiSrvFindRequestClass(item->message->getTagID());
    AnswerWithError(conn, item->message, row != nullptr ? *row->reply : kIoctlRsp, WzScsiSrvRefusal::INTERNAL_ERROR,
                    handled.AsString());
  }
  // A refusal was answered (and a change's audit line tells it): an error
  // line only when the handler threw.
  if (handled)
    WZLOG(thrown ? -1 : 1, "Failed to handle incoming message [%llu], err [%s]",
          static_cast<unsigned long long>(item->handle), handled.AsString().c_str());
  if (CRnError e = item->server->ReleaseSession(item->handle))
    WZLOG(-1, "Failed to release session for handle [%llu], err [%s]", static_cast<unsigned long long>(item->handle),
          e.AsString().c_str());
  CRnError done = item->service->UpdateJobCompletedStatus();
  (void)done;
  item->server->CleanXmlBuffer(item->message);
  return nullptr;
}

extern "C" void* WzScsiSrvIgnoreMessage(void* arg) {
  if (arg == nullptr) {
    WZLOG(-1, "Null argument passed");
    return nullptr;
  }
  std::unique_ptr<WzScsiSrv::WzScsiSrvWorkItem> item(static_cast<WzScsiSrv::WzScsiSrvWorkItem*>(arg));
  const std::string name = item->message->getTagName();
  WZLOG(-1, "Message %s is not yet supported.", name.c_str());
  CWzNetwork* conn = nullptr;
  if (item->server->AcquireSession(item->handle, conn).IsSuccess()) {
    if (conn != nullptr && conn->IsConnectionGood())
      AnswerWithError(conn, item->message, kIoctlRsp, WzScsiSrvRefusal::NOT_SERVED, name);
    CRnError released = item->server->ReleaseSession(item->handle);
    (void)released;
  }
  CRnError done = item->service->UpdateJobCompletedStatus();
  (void)done;
  item->server->CleanXmlBuffer(item->message);
  return nullptr;
}
