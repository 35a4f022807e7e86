#include "service/handler_frame.h"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "hostlib/errors/no_throw.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/CCommandLineArguments.h"
#include "hostlib/util/wz_environment.h"
#include "targets/target_names.h"

using namespace WzScsiServer;

namespace WzScsiSrvFrames {
const WzScsiSrvFrame kCreateTarget{&WzScsiServer::kCreateTarget, WzScsiSrvFrame::RECORD, WzScsiSrvFrame::NEW_TARGET,
                                   true};
const WzScsiSrvFrame kDeleteTarget{&WzScsiServer::kDeleteTarget, WzScsiSrvFrame::ERASE, WzScsiSrvFrame::TARGET, true};
const WzScsiSrvFrame kCreateLun{&WzScsiServer::kCreateLun, WzScsiSrvFrame::RECORD, WzScsiSrvFrame::TARGET, true};
// Opens are served whatever the service state.
const WzScsiSrvFrame kOpenLun{&WzScsiServer::kCreateLun, WzScsiSrvFrame::QUERY, WzScsiSrvFrame::TARGET, false};
const WzScsiSrvFrame kDeleteLun{&WzScsiServer::kDeleteLun, WzScsiSrvFrame::ERASE, WzScsiSrvFrame::TARGET, true};
const WzScsiSrvFrame kMapHost{&WzScsiServer::kMapLun2Host, WzScsiSrvFrame::RECORD, WzScsiSrvFrame::TARGET, true};
const WzScsiSrvFrame kSetTargetAuth{&WzScsiServer::kSetTargetAuth, WzScsiSrvFrame::RECORD, WzScsiSrvFrame::TARGET,
                                    true};
const WzScsiSrvFrame kUnMapHost{&WzScsiServer::kUnMapLun2Host, WzScsiSrvFrame::ERASE, WzScsiSrvFrame::TARGET, true};
}  // namespace WzScsiSrvFrames

namespace {

// The field that names a request's target.
const FieldId& TargetFieldOf(uint32_t tag) {
  return tag == kMapLun2Host.tagId || tag == kUnMapLun2Host.tagId ? Fields::kMapTargetId : Fields::kTargetId;
}

// A client's change holds the gate shared; the replay holds it exclusively
// already and calls the handlers itself.
class WZ_SCOPED_CAPABILITY ChangeGate {
 public:
  ChangeGate(WzSharedMutex* gate, bool take) WZ_NO_THREAD_SAFETY_ANALYSIS : m_gate(take ? gate : nullptr) {
    if (m_gate != nullptr) m_gate->LockShared();
  }
  ~ChangeGate() WZ_NO_THREAD_SAFETY_ANALYSIS {
    if (m_gate != nullptr) m_gate->UnlockShared();
  }
  ChangeGate(const ChangeGate&) = delete;
  ChangeGate& operator=(const ChangeGate&) = delete;

 private:
  WzSharedMutex* m_gate;
};

// For the crash tests only: WZSCSI_TEST_CRASH_AT="<request class>:<step>"
// kills the process at that step of that request's frame, as a power loss
// or a SIGKILL would. Steps: "engine" (the drivers have changed, nothing is
// saved), "saved" (the change is saved, the model and the reply not yet).
void TestCrashPoint(const Message& request, const char* step) {
  const std::string at = WzEnvironment::Get("WZSCSI_TEST_CRASH_AT");
  if (at.empty()) return;
  if (at == std::string(request.getTagName()) + ":" + step) {
    WZLOG(-1, "Crashing at %s on request (WZSCSI_TEST_CRASH_AT)", at.c_str());
    ::raise(SIGKILL);
  }
}

// Names and texts from a request go into a log line as they are, except
// control characters: a host id holding a line end must not forge a line.
std::string Printable(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", u);
      out += hex;
    } else {
      out += c;
    }
  }
  return out;
}

// The "-li N" of an open's argument string, as given.
std::string OpenedLunNumber(const CreateLun& request) {
  const CNMessageBase* desc = request.getObject(Fields::kBStoreDesc.slot);
  if (desc == nullptr || desc->getTagID() != kBStoreDesc.tagId) return "?";
  const std::string args =
      desc->getstring(Fields::kBStoreArgs.number, Fields::kBStoreArgs.slot, kBStoreDesc.tagId, Fields::kBStoreArgs.key);
  CCommandLineArguments parsed(args.c_str());
  std::string number;
  if (parsed.GetOption("li", number).IsError() || number.empty()) return "?";
  return number;
}

int32_t SavedLunId(const Reply& reply) {
  auto* created = dynamic_cast<const CreateLunRsp*>(&reply);
  return created != nullptr ? static_cast<int32_t>(created->lunId()) : -1;
}

}  // namespace

CRnError NoPlatformError(const FXCodeLocation& where) {
  return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "platform driver is not initialized");
}

WzScsiSrvHandlerContext::WzScsiSrvHandlerContext(WzScsiSrv& service, Message& request, WzScsiServer::Reply& reply,
                                                 const WzScsiSrvFrame& frame, bool fromClient)
    : m_service(service), m_request(request), m_reply(reply), m_frame(frame), m_fromClient(fromClient) {}

CRnError WzScsiSrvHandlerContext::Refuse(WzScsiSrvRefusal id, const FXCodeLocation& where, CRnError cause,
                                         const std::string& detail) {
  return WzScsiSrvRefuse(m_error, id, where, std::move(cause), detail);
}

void WzScsiSrvHandlerContext::Succeed() { m_error.setErrorCode(RC_SUCCESS); }

CRnError WzScsiSrvHandlerContext::SetAside(const FXCodeLocation& where) {
  if (!m_fromClient || m_frame.kind != WzScsiSrvFrame::ERASE) return CRnError();
  WzScsiSrvActionLogWriter writer(m_service.m_sActionLogRoot);
  WzScsiSrvSetAside aside;
  if (CRnError e = writer.SetAside(m_request, aside)) return Refuse(WzScsiSrvRefusal::SAVE_FAILED, where, e);
  m_asides.push_back(aside);
  // In a cluster the removal is the cluster's first: no other gateway may
  // add under the object meanwhile.
  if (m_service.ClusterMode()) return m_service.ClusterRemove(*this);
  return CRnError();
}

CRnError WzScsiSrvHandlerContext::SetAsidePath(const std::string& path, const FXCodeLocation& where) {
  if (!m_fromClient || m_frame.kind != WzScsiSrvFrame::ERASE) return CRnError();
  WzScsiSrvActionLogWriter writer(m_service.m_sActionLogRoot);
  WzScsiSrvSetAside aside;
  if (CRnError e = writer.SetAsidePath(path, aside)) return Refuse(WzScsiSrvRefusal::SAVE_FAILED, where, e);
  m_asides.push_back(aside);
  return CRnError();
}

void WzScsiSrvHandlerContext::CommitNewTarget(const WzScsiSrv::Target& target) {
  Commit([this, target]() WZ_NO_THREAD_SAFETY_ANALYSIS {
    m_slot->target = target;
    m_slot->state = WzScsiSrv::TargetSlot::LIVE;
    ++m_service.m_nTargets;
  });
}

void WzScsiSrvHandlerContext::CommitTargetGone() {
  Commit([this]() WZ_NO_THREAD_SAFETY_ANALYSIS {
    m_slot->state = WzScsiSrv::TargetSlot::GONE;
    m_service.m_mapTargets.erase(m_targetName);
    --m_service.m_nTargets;
  });
}

CRnError WzScsiSrvFindLun(WzScsiSrvHandlerContext& ctx, int32_t lunId, WzScsiSrv::Lun*& lun, WzScsiSrvRefusal noTarget,
                          WzScsiSrvRefusal noLun) {
  lun = nullptr;
  if (ctx.Target() == nullptr) return ctx.Refuse(noTarget, FX_HERE);
  auto found = ctx.Target()->luns.find(lunId);
  if (found == ctx.Target()->luns.end()) return ctx.Refuse(noLun, FX_HERE);
  lun = &found->second;
  return CRnError();
}

CRnError WzScsiSrvAuditedConnection::SendXMLMessage(CNMessageBase* message, int flags, int timeoutSecs,
                                                    bool& disconnected) {
  if (!m_audited && message != nullptr) {
    m_audited = true;
    Audit(*message);
  }
  return m_conn->SendXMLMessage(message, flags, timeoutSecs, disconnected);
}

void WzScsiSrvAuditedConnection::Audit(const CNMessageBase& reply) {
  if (!WzLogEnabled(kWzScsiSrvAuditLevel)) return;
  const auto* typed = dynamic_cast<const Reply*>(&reply);
  const Error* error = typed != nullptr ? typed->error() : nullptr;
  const int64_t code = error != nullptr ? error->errorCode() : RC_SUCCESS;
  std::string outcome = "done";
  if (code != RC_SUCCESS) {
    const std::string text = error->errorMessage();
    outcome = "refused (code " + std::to_string(code) + "): " + text;
    if (m_cause.IsError()) {
      const std::string detail = m_cause.AsString();
      if (detail != text) outcome += " [" + detail + "]";
    }
  }
  WZLOG(kWzScsiSrvAuditLevel, "request from %s: %s: %s", Printable(m_conn->PeerName()).c_str(),
        Printable(m_describe()).c_str(), Printable(outcome).c_str());
}

std::string WzScsiSrvDescribeChange(const Message& request, const Reply& reply, const WzScsiSrvFrame& frame) {
  const std::string lun = " LUN ";
  if (auto* r = dynamic_cast<const WzScsiServer::CreateTarget*>(&request)) return "create target " + r->targetId();
  if (auto* r = dynamic_cast<const WzScsiServer::DeleteTarget*>(&request)) return "delete target " + r->targetId();
  if (auto* r = dynamic_cast<const CreateLun*>(&request)) {
    if (&frame == &WzScsiSrvFrames::kOpenLun) return "open" + lun + OpenedLunNumber(*r) + " on " + r->targetId();
    const int32_t created = SavedLunId(reply);
    return "create" + (created >= 0 ? lun + std::to_string(created) : std::string(" LUN")) + " on " + r->targetId();
  }
  if (auto* r = dynamic_cast<const DeleteLun*>(&request)) {
    // The close-only flag (1) makes the delete a close of a snapshot LUN.
    const bool close = (r->contextFlags() & 1) != 0;
    return (close ? "close" : "delete") + lun + std::to_string(r->lunId()) + " on " + r->targetId();
  }
  if (auto* r = dynamic_cast<const MapLun2Host*>(&request))
    return "map" + lun + std::to_string(r->lunId()) + " of " + r->targetId() + " to host " + r->hostId();
  if (auto* r = dynamic_cast<const UnMapLun2Host*>(&request))
    return "unmap" + lun + std::to_string(r->lunId()) + " of " + r->targetId() + " from host " + r->hostId();
  if (auto* r = dynamic_cast<const SetTargetAuth*>(&request)) {
    if (!r->enabled() || r->user().empty()) return "turn CHAP off on target " + r->targetId();
    std::string users = "user " + r->user();
    if (!r->mutualUser().empty()) users += ", mutual user " + r->mutualUser();
    return "turn CHAP on on target " + r->targetId() + " (" + users + ")";
  }
  return std::string(request.getTagName()) + " " + request.GetString(TargetFieldOf(request.getTagID()));
}

bool WzScsiSrv::RefuseIfNotReady(CWzNetwork* conn, CNMessageBase* message, Reply& reply) {
  if (conn == nullptr || m_eStatus.load() == SVC_INITIALIZED) return false;
  {
    WzMutexLock g(&m_mutex);
    if (m_eStatus.load() == SVC_INITIALIZED) return false;
  }
  // Sent without the service lock: a client that does not read must never
  // hold up the callers of that lock.
  WzScsiServer::Error error;
  CRnError refused = WzScsiSrvRefuse(error, WzScsiSrvRefusal::NOT_READY, FX_HERE);
  (void)refused;
  SendReply(conn, message, reply, error, std::string());
  return true;
}

bool WzScsiSrv::SendReply(CWzNetwork* conn, CNMessageBase* request, Reply& reply, const WzScsiServer::Error& error,
                          const std::string& subject) {
  reply.setContextFrom(*request);
  reply.setError(error);
  bool disconnected = false;
  if (CRnError e = conn->SendXMLMessage(&reply, 0, 60, disconnected)) {
    WZLOG(-1, "%s SendXMLMessage error %s", subject.c_str(), e.AsString().c_str());
    return false;
  }
  return true;
}

std::shared_ptr<WzScsiSrv::TargetSlot> WzScsiSrv::LockTarget(const std::string& name) WZ_NO_THREAD_SAFETY_ANALYSIS {
  for (;;) {
    std::shared_ptr<TargetSlot> slot;
    {
      WzReaderLock model(&m_modelMutex);
      auto it = m_mapTargets.find(name);
      if (it == m_mapTargets.end()) return nullptr;
      slot = it->second;
    }
    // A create in progress holds the lock until its target is in place or gone.
    slot->changeLock.Lock();
    TargetSlot::State state;
    {
      WzReaderLock model(&m_modelMutex);
      state = slot->state;
    }
    if (state == TargetSlot::LIVE) return slot;
    slot->changeLock.Unlock();
    // Deleted meanwhile, or a create that failed: the table no longer holds
    // this slot; look again.
  }
}

std::shared_ptr<WzScsiSrv::TargetSlot> WzScsiSrv::LockNewTarget(const std::string& name) WZ_NO_THREAD_SAFETY_ANALYSIS {
  for (;;) {
    // Locked before it is visible, so that the change lock is always taken
    // before the model lock.
    auto slot = std::make_shared<TargetSlot>();
    slot->changeLock.Lock();
    std::shared_ptr<TargetSlot> existing;
    {
      WzWriterLock model(&m_modelMutex);
      auto it = m_mapTargets.find(name);
      if (it == m_mapTargets.end()) {
        m_mapTargets.emplace(name, slot);
        return slot;
      }
      existing = it->second;
    }
    slot->changeLock.Unlock();
    existing->changeLock.Lock();
    TargetSlot::State state;
    {
      WzReaderLock model(&m_modelMutex);
      state = existing->state;
    }
    existing->changeLock.Unlock();
    if (state == TargetSlot::LIVE) return nullptr;
  }
}

void WzScsiSrv::DropNewTarget(const std::string& name, const std::shared_ptr<TargetSlot>& slot) {
  WzWriterLock model(&m_modelMutex);
  if (slot->state != TargetSlot::PENDING) return;
  slot->state = TargetSlot::GONE;
  auto it = m_mapTargets.find(name);
  if (it != m_mapTargets.end() && it->second == slot) m_mapTargets.erase(it);
}

void WzScsiSrv::ChangeModel(const std::function<void()>& change) {
  WzWriterLock model(&m_modelMutex);
  change();
}

CRnError WzScsiSrv::RunHandler(CWzNetwork* conn, CNMessageBase* message, Reply& reply, const WzScsiSrvFrame& frame,
                               const HandlerWork& work) WZ_NO_THREAD_SAFETY_ANALYSIS {
  auto* request = dynamic_cast<Message*>(message);
  if (request == nullptr || request->getTagID() != frame.cls->tagId)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_MESSAGE_CLASS,
                                   "dynamic cast failed CNMessageBase -> WzScsiServer::%s", frame.cls->name);
  const bool fromClient = conn != nullptr;
  // Every answer to a client goes out through the audit, so each request
  // leaves exactly one line whichever path answered it.
  WzScsiSrvAuditedConnection audited(conn, [&] { return WzScsiSrvDescribeChange(*request, reply, frame); });
  if (fromClient) conn = &audited;
  if (fromClient && frame.refuseIfNotReady && RefuseIfNotReady(conn, message, reply)) return CRnError();

  WzScsiSrvHandlerContext ctx(*this, *request, reply, frame, fromClient);
  if (frame.lock != WzScsiSrvFrame::NO_TARGET) {
    const FieldId& field = TargetFieldOf(request->getTagID());
    ctx.m_targetName = ToLowerTargetName(request->GetString(field));
    request->SetString(field, ctx.m_targetName);
    ctx.m_subject = ctx.m_targetName;
  }

  CRnError result;
  if (fromClient && m_stopping.load()) {
    // Answered at once, so that a stop is not held up by queued changes.
    result = ctx.Refuse(WzScsiSrvRefusal::STOPPING, FX_HERE);
    audited.SetCause(result);
    SendReply(conn, message, reply, ctx.m_error, ctx.m_subject);
    return result;
  }
  {
    ChangeGate gate(&m_changeGate, fromClient && frame.kind != WzScsiSrvFrame::QUERY);
    if (frame.lock == WzScsiSrvFrame::TARGET) {
      ctx.m_slot = LockTarget(ctx.m_targetName);
    } else if (frame.lock == WzScsiSrvFrame::NEW_TARGET) {
      ctx.m_slot = LockNewTarget(ctx.m_targetName);
    }
    if (ctx.m_slot && frame.lock == WzScsiSrvFrame::TARGET) ctx.m_target = &ctx.m_slot->target;

    if (fromClient && frame.kind == WzScsiSrvFrame::RECORD) {
      // Refused before anything changes: what cannot be saved cannot be done.
      if (CRnError e = WzScsiSrvActionLogWriter::CheckSavable(*request))
        result = ctx.Refuse(WzScsiSrvRefusal::TOO_LARGE_TO_SAVE, FX_HERE, e);
    }
    if (result.IsSuccess() && fromClient && frame.kind != WzScsiSrvFrame::QUERY && ClusterMode() &&
        !m_clusterAvailable.load()) {
      // Refused at once, without a wait for etcd's deadline on each change.
      result =
          ctx.Refuse(WzScsiSrvRefusal::CLUSTER_UNAVAILABLE, FX_HERE, CRnError(), ": no member answered the last probe");
    }
    if (result.IsSuccess()) {
      // An exception is a failed request like any other: answered, locks released.
      bool threw = true;
      result = WzNoThrow(FX_HERE, "The request", [&] {
        CRnError r = work(ctx);
        threw = false;
        return r;
      });
      if (threw) result = ctx.Refuse(WzScsiSrvRefusal::INTERNAL_ERROR, FX_HERE, CRnError(), result.AsString());
    }
    const WzScsiSrvActionLogWriter writer(m_sActionLogRoot);
    if (result.IsSuccess() && fromClient) TestCrashPoint(*request, "engine");
    if (result.IsSuccess() && fromClient && frame.kind == WzScsiSrvFrame::RECORD && !ctx.m_skipSave && ClusterMode()) {
      // The cluster holds the record; the local file is its cache.
      if (CRnError committed = ClusterCommit(ctx, SavedLunId(reply))) {
        for (auto undo = ctx.m_undos.rbegin(); undo != ctx.m_undos.rend(); ++undo) (*undo)();
        ctx.m_commits.clear();
        WZLOG(-1, "The change of %s was not committed to the cluster and was undone: %s", ctx.m_subject.c_str(),
              committed.AsString().c_str());
        result = committed;
      } else if (CRnError saved = writer.Save(*request, SavedLunId(reply))) {
        WZLOG(-1, "The change of %s is committed to the cluster but not to the local cache: %s", ctx.m_subject.c_str(),
              saved.AsString().c_str());
      }
    } else if (result.IsSuccess() && fromClient && frame.kind == WzScsiSrvFrame::RECORD && !ctx.m_skipSave) {
      if (CRnError saved = writer.Save(*request, SavedLunId(reply))) {
        // Not durable, so not done: the drivers are put back as they were
        // and the client hears why.
        for (auto undo = ctx.m_undos.rbegin(); undo != ctx.m_undos.rend(); ++undo) (*undo)();
        ctx.m_commits.clear();
        WZLOG(-1, "The change of %s could not be saved and was undone: %s", ctx.m_subject.c_str(),
              saved.AsString().c_str());
        result = ctx.Refuse(WzScsiSrvRefusal::SAVE_FAILED, FX_HERE, saved);
      }
    }
    const bool changed = result.IsSuccess() || ctx.m_keepOnFailure;
    if (!changed && ClusterMode()) ClusterPutBack(ctx);
    for (auto aside = ctx.m_asides.rbegin(); aside != ctx.m_asides.rend(); ++aside) {
      if (changed) {
        writer.Discard(*aside);
      } else if (CRnError e = writer.Restore(*aside)) {
        WZLOG(-1, "The saved request of %s could not be put back after a failed change: %s", ctx.m_subject.c_str(),
              e.AsString().c_str());
      }
    }
    if (changed && fromClient) TestCrashPoint(*request, "saved");
    if (changed && !ctx.m_commits.empty()) {
      WzWriterLock model(&m_modelMutex);
      for (const auto& commit : ctx.m_commits) commit();
    }
    if (ctx.m_slot) {
      if (frame.lock == WzScsiSrvFrame::NEW_TARGET) DropNewTarget(ctx.m_targetName, ctx.m_slot);
      ctx.m_slot->changeLock.Unlock();
    }
  }

  if (fromClient) {
    audited.SetCause(result);
    SendReply(conn, message, reply, ctx.m_error, ctx.m_subject);
  }
  return result;
}
