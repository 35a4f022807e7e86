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
//      (service/record_store.h); when that fails its undo runs and the
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

#include "actionlog/action_log_writer.h"
#include "service/WzScsiSrv.h"
#include "service/record_store.h"
#include "service/refusals.h"
#include "service/request_classes.h"

// One change as its handler's work sees it.
//
// Thread safety: used by the one thread that runs the change.
class WzScsiSrvHandlerContext {
 public:
  WzScsiSrvHandlerContext(WzScsiSrv& service, WzScsiSrvRecordStore& store, const WzScsiSrvRequestClass& row,
                          WzScsiServer::Message& request, WzScsiServer::Reply& reply, bool fromClient);
  WzScsiSrvHandlerContext(const WzScsiSrvHandlerContext&) = delete;
  WzScsiSrvHandlerContext& operator=(const WzScsiSrvHandlerContext&) = delete;

  WzScsiSrv& Service() { return m_service; }
  const WzScsiSrvRequestClass& Class() const { return m_class; }
  WzScsiServer::Message& Request() { return m_request; }
  WzScsiServer::Reply& Reply() { return m_reply; }
  WzScsiServer::Error& Error() { return m_error; }
  // The lower-cased name of the request's target ("" for none).
  const std::string& TargetName() const { return m_targetName; }
  // The target the request names, locked for this change; null when it does
  // not exist (or, for a new target, always).
  WzScsiSrv::Target* Target() { return m_target; }
  // A new target's name is taken already (by a target, or by a create of it
  // that finished first).
  bool TargetTaken() const { return m_taken; }
  // The model changes of a new target's creation and of a target's deletion.
  void CommitNewTarget(const WzScsiSrv::Target& target) { m_newTarget = target; }
  void CommitTargetGone() { m_targetGone = true; }
  // The name in the frame's log lines (the target's, by default).
  void SetSubject(const std::string& subject) { m_subject = subject; }
  const std::string& Subject() const { return m_subject; }

  // Sets the reply's Error record from the refusal table and returns the
  // handler's error (the cause's, when given).
  CRnError Refuse(WzScsiSrvRefusal id, const FXCodeLocation& where, CRnError cause = CRnError(),
                  const std::string& detail = std::string());
  // Code 0 in the reply.
  void Succeed();

  // A removal: takes the request's record out of the saved configuration
  // before the drivers change anything. A failure is refused with the
  // cause; nothing has changed then.
  CRnError SetAside();
  // The same for one more saved file or directory of the change.
  CRnError SetAsidePath(const std::string& path);
  // The model change of a successful work, applied under the model lock once
  // the change is recorded.
  void Commit(std::function<void()> change) { m_commits.push_back(std::move(change)); }
  // Undoes the work's driver calls when the change cannot be recorded.
  void OnUndo(std::function<void()> undo) { m_undos.push_back(std::move(undo)); }
  // The request is not recorded (an open or a close through a create or
  // delete, a change to what is in place already).
  void SkipSave() { m_skipSave = true; }
  // A failed work whose change happened all the same (the engine lost the
  // object and could not get it back): its model change and removal are
  // applied, and the client still hears the failure.
  void KeepChangeOnFailure() { m_keepOnFailure = true; }
  bool ChangeKeptOnFailure() const { return m_keepOnFailure; }

  // The record store's state of this change: the action-log files it set
  // aside, and what else a removal took out.
  std::vector<WzScsiSrvSetAside>& SetAsides() { return m_asides; }
  std::unique_ptr<WzScsiSrvRecordStore::Removal>& StoreRemoval() { return m_removal; }

 private:
  friend class WzScsiSrv;

  WzScsiSrv& m_service;
  WzScsiSrvRecordStore& m_store;
  const WzScsiSrvRequestClass& m_class;
  WzScsiServer::Message& m_request;
  WzScsiServer::Reply& m_reply;
  const bool m_fromClient;
  WzScsiServer::Error m_error;
  std::string m_targetName;
  std::string m_subject;
  WzScsiSrv::Target* m_target = nullptr;
  bool m_taken = false;
  std::optional<WzScsiSrv::Target> m_newTarget;
  bool m_targetGone = false;
  std::vector<WzScsiSrvSetAside> m_asides;
  std::unique_ptr<WzScsiSrvRecordStore::Removal> m_removal;
  std::vector<std::function<void()>> m_commits;
  std::vector<std::function<void()>> m_undos;
  bool m_skipSave = false;
  bool m_keepOnFailure = false;
};

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

// The LUN a request names within the locked target. A missing target or LUN
// is refused with the given rows (target first, then LUN).
CRnError WzScsiSrvFindLun(WzScsiSrvHandlerContext& ctx, int32_t lunId, WzScsiSrv::Lun*& lun,
                          WzScsiSrvRefusal noTarget = WzScsiSrvRefusal::TARGET_MISSING,
                          WzScsiSrvRefusal noLun = WzScsiSrvRefusal::LUN_MISSING);
