// The frame every request handler runs in, shared by the handlers of every
// folder: one sequence, whatever the source of the change (a client, the
// replay, a cluster event, a reconcile re-creation). A handler gives the
// frame its request class's row (service/request_classes.h) and its work;
// the frame does the rest, in this order:
//   1. the class check (a message of another class is an error, no reply);
//   2. for a client: the readiness refusal (code 1 until the service has
//      started) and the stop refusal;
//   3. the target's name folded to lower case in the request;
//   4. the locks: a client's change holds the change gate shared, and the
//      target's change lock is taken;
//   5. admission: a client's addition must fit in a saved file, and the
//      record store must be able to record now;
//   6. the work: the checks, which every source passes alike, then the
//      engine step (the driver calls). It refuses through the context (one
//      table of codes and texts), registers the model change with Commit
//      and, for an addition, the undo of its driver calls with OnUndo; a
//      removal first sets its record aside (SetAside);
//   7. the record: an addition is recorded in the source's record store
//      (change/record_store.h); when that fails its undo runs and the
//      client hears the failure. A removal's record, set aside before the
//      engine step, is deleted or, after a failure, put back;
//   8. the model change (so listings show only what is recorded);
//   9. for a client: the reply, sent after every lock is released, and its
//      audit line.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "change/handler_context.h"
#include "service/WzScsiSrv.h"
#include "service/request_classes.h"

// A handler's work as the frame calls it: a plain call through a pointer to
// the caller's callable, nothing allocated.
class WzScsiSrvWork {
 public:
  template <class Function>
  explicit WzScsiSrvWork(Function& function)
      : m_function(&function),
        m_call([](void* f, WzScsiSrvHandlerContext& ctx) { return (*static_cast<Function*>(f))(ctx); }) {}
  CRnError operator()(WzScsiSrvHandlerContext& ctx) const { return m_call(m_function, ctx); }

 private:
  void* m_function;
  CRnError (*m_call)(void*, WzScsiSrvHandlerContext&);
};

// The log level of the audit lines: the default level, so that every change
// a client asks for leaves one line in a default log.
constexpr int kWzScsiSrvAuditLevel = 0;

// A client's connection as the handler of a change request sees it. It
// forwards everything to the connection and writes the request's one audit
// line,
//   request from <peer>: <what>: done | refused (code N): <text> [<cause>]
// when the first reply goes out, whichever path answered: the outcome is
// final then, and a client that has its answer finds the line in the log.
//
// Thread safety: used by the one worker that serves the request.
class WzScsiSrvAuditedConnection : public CWzNetwork {
 public:
  // A change: the words of its request class, asked when the reply goes out.
  WzScsiSrvAuditedConnection(CWzNetwork* conn, const WzScsiSrvRequestClass& row, const WzScsiServer::Message& request,
                             const WzScsiServer::Reply& reply)
      : m_conn(conn), m_row(&row), m_request(&request), m_reply(&reply) {}
  // A command in fixed words ("reload").
  WzScsiSrvAuditedConnection(CWzNetwork* conn, const char* words) : m_conn(conn), m_words(words) {}
  WzScsiSrvAuditedConnection(const WzScsiSrvAuditedConnection&) = delete;
  WzScsiSrvAuditedConnection& operator=(const WzScsiSrvAuditedConnection&) = delete;

  // The handler's error, shown with a refusal when it adds to the reply's
  // text (it names the failed step or driver).
  void SetCause(const CRnError& cause) { m_cause = cause; }

  CRnError SendXMLMessage(CNMessageBase* message, int flags, int timeoutSecs, bool& disconnected) override;
  CRnError ReplyDisconnect(int timeoutSecs, bool& disconnected) override {
    return m_conn->ReplyDisconnect(timeoutSecs, disconnected);
  }
  CRnError AbortConnection(const WznStatus_t& status, int timeoutSecs, bool& disconnected) override {
    return m_conn->AbortConnection(status, timeoutSecs, disconnected);
  }
  bool IsConnectionGood() override { return m_conn->IsConnectionGood(); }
  std::string PeerName() const override { return m_conn->PeerName(); }

 private:
  void Audit(const CNMessageBase& reply);
  std::string Describe() const;

  CWzNetwork* m_conn;
  const WzScsiSrvRequestClass* m_row = nullptr;
  const WzScsiServer::Message* m_request = nullptr;
  const WzScsiServer::Reply* m_reply = nullptr;
  const char* m_words = nullptr;
  CRnError m_cause;
  bool m_audited = false;
};

template <class Request, class Reply, class Work>
CRnError WzScsiSrv::RunTyped(CWzNetwork* conn, CNMessageBase* message, const WzScsiSrvRequestClass& row, Work work) {
  Reply reply;
  auto* request = dynamic_cast<Request*>(message);
  auto typed = [&](WzScsiSrvHandlerContext& ctx) { return work(*request, reply, ctx); };
  return RunHandler(conn, request != nullptr ? message : nullptr, reply, row, WzScsiSrvWork(typed));
}
