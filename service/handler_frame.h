// The frame every request handler runs in, shared by the handlers of every
// folder. A handler gives the frame a description of its request
// (WzScsiSrvFrame) and its work; the frame does the rest, in this order:
//   1. the class check (a message of another class is an error, no reply);
//   2. the readiness refusal (code 1 until the service has started);
//   3. the target's name folded to lower case in the request;
//   4. the locks: the change gate (shared) and the target's change lock;
//   5. the work: checks, then the driver calls. It refuses through the
//      context (one table of codes and texts), registers the model change
//      with Commit and, for a change that adds something, the undo of its
//      driver calls with OnUndo; a removal first calls SetAside;
//   6. the durable record: an addition is saved; when the save fails its
//      undo runs and the client hears the failure. A removal's file, set
//      aside before the driver calls, is deleted or, after a failure, put
//      back;
//   7. the model change (so listings show only what is durable);
//   8. the reply, sent after every lock is released.
// Called by the replay (no connection), the frame skips 2, 4's gate and 6.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "actionlog/action_log_writer.h"
#include "service/WzScsiSrv.h"
#include "service/refusals.h"

// What a request class asks of the frame.
struct WzScsiSrvFrame {
  enum Kind {
    QUERY,   // changes nothing saved (an open, a close)
    RECORD,  // adds something: saved after the work
    ERASE,   // removes something: its file is set aside during the work
  };
  enum Lock {
    NO_TARGET,   // touches no target
    TARGET,      // the existing target the request names
    NEW_TARGET,  // creates the target the request names
  };
  const WzScsiServer::ClassId* cls;
  Kind kind;
  Lock lock;
  bool refuseIfNotReady;
};

class WzScsiSrvHandlerContext {
 public:
  WzScsiSrvHandlerContext(WzScsiSrv& service, WzScsiServer::Message& request, WzScsiServer::Reply& reply,
                          const WzScsiSrvFrame& frame, bool fromClient);
  WzScsiSrvHandlerContext(const WzScsiSrvHandlerContext&) = delete;
  WzScsiSrvHandlerContext& operator=(const WzScsiSrvHandlerContext&) = delete;

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
  bool TargetTaken() const { return m_frame.lock == WzScsiSrvFrame::NEW_TARGET && !m_slot; }
  // The model changes of a new target's creation and of a target's deletion.
  void CommitNewTarget(const WzScsiSrv::Target& target);
  void CommitTargetGone();
  bool FromClient() const { return m_fromClient; }
  // The name in the frame's log lines (the target's, by default).
  void SetSubject(const std::string& subject) { m_subject = subject; }
  const std::string& Subject() const { return m_subject; }

  // Sets the reply's Error record from the refusal table and returns the
  // handler's error (the cause's, when given).
  CRnError Refuse(WzScsiSrvRefusal id, const FXCodeLocation& where, CRnError cause = CRnError(),
                  const std::string& detail = std::string());
  // Code 0 in the reply.
  void Succeed();

  // A removal: takes the request's saved file out of the saved
  // configuration before the drivers change anything. A failure is
  // refused with the cause; nothing has changed then.
  CRnError SetAside(const FXCodeLocation& where);
  // The same for one more saved file or directory of the change.
  CRnError SetAsidePath(const std::string& path, const FXCodeLocation& where);
  // The model change of a successful work, applied under the model lock once
  // the change is durable.
  void Commit(std::function<void()> change) { m_commits.push_back(std::move(change)); }
  // Undoes the work's driver calls when the change cannot be saved.
  void OnUndo(std::function<void()> undo) { m_undos.push_back(std::move(undo)); }
  // The request is not saved (an open or a close through a create or delete).
  void SkipSave() { m_skipSave = true; }
  // A failed work whose change happened all the same (the engine lost the
  // object and could not get it back): its model change and removal are
  // applied, and the client still hears the failure.
  void KeepChangeOnFailure() { m_keepOnFailure = true; }
  bool ChangeKeptOnFailure() const { return m_keepOnFailure; }

 private:
  friend class WzScsiSrv;

  WzScsiSrv& m_service;
  WzScsiServer::Message& m_request;
  WzScsiServer::Reply& m_reply;
  const WzScsiSrvFrame& m_frame;
  const bool m_fromClient;
  WzScsiServer::Error m_error;
  std::string m_targetName;
  std::string m_subject;
  WzScsiSrv::Target* m_target = nullptr;
  std::shared_ptr<WzScsiSrv::TargetSlot> m_slot;
  std::vector<WzScsiSrvSetAside> m_asides;
  std::vector<std::function<void()>> m_commits;
  std::vector<std::function<void()>> m_undos;
  bool m_skipSave = false;
  bool m_keepOnFailure = false;
  // Cluster mode: a removal's keys, taken out of etcd before the work.
  std::vector<WzEtcdKeyValue> m_clusterRemoved;
  bool m_clusterRemovedDone = false;
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
  // describe: the request in words ("create LUN 3 on iqn.x"), asked when
  // the reply goes out.
  WzScsiSrvAuditedConnection(CWzNetwork* conn, std::function<std::string()> describe)
      : m_conn(conn), m_describe(std::move(describe)) {}
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

  CWzNetwork* m_conn;
  std::function<std::string()> m_describe;
  CRnError m_cause;
  bool m_audited = false;
};

// The request in the words of its audit line; the request's target name
// must be lower-cased already. Secrets never appear.
std::string WzScsiSrvDescribeChange(const WzScsiServer::Message& request, const WzScsiServer::Reply& reply,
                                    const WzScsiSrvFrame& frame);

// The frames of the request classes.
namespace WzScsiSrvFrames {
extern const WzScsiSrvFrame kCreateTarget;
extern const WzScsiSrvFrame kDeleteTarget;
extern const WzScsiSrvFrame kCreateLun;
extern const WzScsiSrvFrame kOpenLun;
extern const WzScsiSrvFrame kDeleteLun;
extern const WzScsiSrvFrame kMapHost;
extern const WzScsiSrvFrame kUnMapHost;
extern const WzScsiSrvFrame kSetTargetAuth;
}  // namespace WzScsiSrvFrames

template <class Request, class Reply, class Work>
CRnError WzScsiSrv::RunTyped(CWzNetwork* conn, CNMessageBase* message, const WzScsiSrvFrame& frame, Work work) {
  Reply reply;
  auto* request = dynamic_cast<Request*>(message);
  return RunHandler(conn, request != nullptr ? message : nullptr, reply, frame,
                    [&](WzScsiSrvHandlerContext& ctx) { return work(*request, reply, ctx); });
}

// The LUN a request names within the locked target. A missing target or LUN
// is refused with the given rows (target first, then LUN).
CRnError WzScsiSrvFindLun(WzScsiSrvHandlerContext& ctx, int32_t lunId, WzScsiSrv::Lun*& lun,
                          WzScsiSrvRefusal noTarget = WzScsiSrvRefusal::TARGET_MISSING,
                          WzScsiSrvRefusal noLun = WzScsiSrvRefusal::LUN_MISSING);
