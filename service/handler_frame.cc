#include "service/handler_frame.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "change/target_names.h"
#include "hostlib/errors/no_throw.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/wz_environment.h"
#include "service/request_counters.h"

using namespace WzScsiServer;

namespace {

// For the crash tests only: WZSCSI_TEST_CRASH_AT="<request class>:<step>"
// kills the process at that step of that request's frame, as a power loss
// or a SIGKILL would. Steps: "engine" (the drivers have changed, nothing is
// saved), "saved" (the change is saved, the model and the reply not yet).
void TestCrashPoint(const Message& request, const char* step) {
  // Read once: the tests set it before they start the process.
  static const std::string at = WzEnvironment::Get("WZSCSI_TEST_CRASH_AT");
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

}  // namespace

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
    // The first line: the lines after it are the operator's advice.
    const std::string text = WzScsiSrvReplyHeadline(error->errorMessage());
    outcome = "refused (code " + std::to_string(code) + "): " + text;
    if (m_cause.IsError()) {
      const std::string detail = m_cause.AsString();
      if (detail != text) outcome += " [" + detail + "]";
    }
  }
  WZLOG(kWzScsiSrvAuditLevel, "request from %s: %s: %s", Printable(m_conn->PeerName()).c_str(),
        Printable(Describe()).c_str(), Printable(outcome).c_str());
}

std::string WzScsiSrvAuditedConnection::Describe() const {
  if (m_words != nullptr) return m_words;
  if (m_row->describe != nullptr) return m_row->describe(*m_request, *m_reply);
  return std::string(m_request->getTagName()) + " " + m_request->GetString(WzScsiSrvTargetField(m_request->getTagID()));
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

// ---------------------------------------------------------------- target locks

bool WzScsiSrv::SlotLive(const TargetSlot& slot) {
  WzReaderLock model(&m_modelMutex);
  return slot.state == TargetSlot::LIVE;
}

bool WzScsiSrv::LockTarget(const std::string& name, std::shared_ptr<TargetSlot>& slot) {
  for (;;) {
    {
      WzReaderLock model(&m_modelMutex);
      auto it = m_mapTargets.find(name);
      if (it == m_mapTargets.end()) {
        slot.reset();
        return false;
      }
      slot = it->second;
    }
    // A create in progress holds the lock until its target is in place or gone.
    slot->changeLock.Lock();
    if (SlotLive(*slot)) return true;
    slot->changeLock.Unlock();
    // Deleted meanwhile, or a create that failed: the table no longer holds
    // this slot; look again.
  }
}

bool WzScsiSrv::LockNewTarget(const std::string& name, std::shared_ptr<TargetSlot>& slot) {
  for (;;) {
    // Locked before it is visible, so that the change lock is always taken
    // before the model lock.
    slot = std::make_shared<TargetSlot>();
    slot->changeLock.Lock();
    std::shared_ptr<TargetSlot> existing;
    {
      WzWriterLock model(&m_modelMutex);
      auto it = m_mapTargets.find(name);
      if (it == m_mapTargets.end()) {
        m_mapTargets.emplace(name, slot);
        return true;
      }
      existing = it->second;
    }
    slot->changeLock.Unlock();
    // Wait for a change of that name in progress: a create that fails frees it.
    existing->changeLock.Lock();
    const bool live = SlotLive(*existing);
    existing->changeLock.Unlock();
    if (live) {
      slot.reset();
      return false;
    }
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

// ---------------------------------------------------------------- the sequence

CRnError WzScsiSrv::RunHandler(CWzNetwork* conn, CNMessageBase* message, Reply& reply, const WzScsiSrvRequestClass& row,
                               WzScsiSrvWork work) {
  auto* request = dynamic_cast<Message*>(message);
  if (request == nullptr || request->getTagID() != row.cls->tagId)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_MESSAGE_CLASS,
                                   "dynamic cast failed CNMessageBase -> WzScsiServer::%s", row.cls->name);
  const bool fromClient = conn != nullptr;
  const auto began = std::chrono::steady_clock::now();
  // Every answer to a client goes out through the audit, so each request
  // leaves exactly one line whichever path answered it.
  WzScsiSrvAuditedConnection audited(conn, row, *request, reply);
  if (fromClient) conn = &audited;
  if (fromClient && row.refuseIfNotReady && RefuseIfNotReady(conn, message, reply)) {
    WzScsiSrvCountRequest(row.cls->number, row.cls->name, RC_NOT_READY_OR_FAILED, -1);
    return CRnError();
  }

  WzScsiSrvHandlerContext ctx(HandlerServices(), RecordStoreOf(conn), row, row.kind, *request, reply, fromClient);
  NameTarget(ctx);
  CRnError result;
  if (fromClient && m_stopping.load()) {
    // Answered at once, so that a stop is not held up by queued changes.
    result = ctx.Refuse(WzScsiSrvRefusal::STOPPING, FX_HERE);
  } else if (fromClient && row.kind != WzScsiSrvChangeKind::QUERY) {
    // A client's change holds the gate shared; the replay holds it
    // exclusively already and calls the handlers itself.
    WzReaderLock gate(&m_changeGate);
    result = RunOnTarget(ctx, work);
  } else {
    result = RunOnTarget(ctx, work);
  }
  if (fromClient) {
    audited.SetCause(result);
    // Counted before the reply goes out: a client that reads the metrics
    // after its answer finds its request in them.
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - began;
    WzScsiSrvCountRequest(row.cls->number, row.cls->name, ctx.m_error.errorCode(),
                          row.kind != WzScsiSrvChangeKind::QUERY ? took.count() : -1);
    SendReply(conn, message, reply, ctx.m_error, ctx.m_subject);
  }
  return result;
}

CRnError WzScsiSrv::RunChange(const WzScsiSrvRequestClass& row, const std::string& target, WzScsiSrvWork work) {
  std::unique_ptr<CNMessageBase> carrier = CNMessageRegistry::Create(kGroup, row.cls->number);
  std::unique_ptr<CNMessageBase> answer = CNMessageRegistry::Create(kGroup, row.reply->number);
  auto* request = dynamic_cast<Message*>(carrier.get());
  auto* reply = dynamic_cast<Reply*>(answer.get());
  if (request == nullptr || reply == nullptr)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_MESSAGE_CLASS, "no message of class %s", row.cls->name);
  request->SetString(WzScsiSrvTargetField(request->getTagID()), target);
  WzScsiSrvHandlerContext ctx(HandlerServices(), m_noRecords, row, row.kind, *request, *reply, false);
  NameTarget(ctx);
  return RunOnTarget(ctx, work);
}

WzScsiSrvRecordStore& WzScsiSrv::RecordStoreOf(const CWzNetwork* conn) {
  // A client's change is recorded where this gateway keeps its
  // configuration; every other source's is recorded already.
  return conn != nullptr ? *m_clientStore : m_noRecords;
}

void WzScsiSrv::NameTarget(WzScsiSrvHandlerContext& ctx) {
  if (ctx.m_class.lock == WzScsiSrvTargetLock::NO_TARGET) return;
  const FieldId& field = WzScsiSrvTargetField(ctx.m_request.getTagID());
  ctx.m_targetName = ToLowerTargetName(ctx.m_request.GetString(field));
  ctx.m_request.SetString(field, ctx.m_targetName);
  ctx.m_subject = ctx.m_targetName;
}

CRnError WzScsiSrv::RunOnTarget(WzScsiSrvHandlerContext& ctx, WzScsiSrvWork work) {
  std::shared_ptr<TargetSlot> slot;
  switch (ctx.m_class.lock) {
    case WzScsiSrvTargetLock::TARGET:
      if (LockTarget(ctx.m_targetName, slot)) {
        ctx.m_target = &slot->target;
        CRnError result = RunSteps(ctx, work, slot.get());
        slot->changeLock.Unlock();
        return result;
      }
      break;  // no such target: the work refuses
    case WzScsiSrvTargetLock::NEW_TARGET:
      if (LockNewTarget(ctx.m_targetName, slot)) {
        CRnError result = RunSteps(ctx, work, slot.get());
        // A slot that never became a target goes again.
        DropNewTarget(ctx.m_targetName, slot);
        slot->changeLock.Unlock();
        return result;
      }
      ctx.m_taken = true;
      break;
    case WzScsiSrvTargetLock::NO_TARGET:
      break;
  }
  return RunSteps(ctx, work, nullptr);
}

CRnError WzScsiSrv::RunSteps(WzScsiSrvHandlerContext& ctx, WzScsiSrvWork work, TargetSlot* slot) {
  CRnError result = Admit(ctx);
  const bool timed = result.IsSuccess() && ctx.m_fromClient && ctx.m_class.kind != WzScsiSrvChangeKind::QUERY;
  const auto began = std::chrono::steady_clock::now();
  if (result.IsSuccess()) result = RunWork(ctx, work);
  const auto worked = std::chrono::steady_clock::now();
  if (result.IsSuccess() && ctx.m_fromClient) TestCrashPoint(ctx.m_request, "engine");
  if (result.IsSuccess()) result = Record(ctx);
  const bool changed = result.IsSuccess() || ctx.m_keepOnFailure;
  ctx.m_store.EndRemoval(ctx, changed);
  if (timed) WzScsiSrvObserveChangeSteps(&ctx.m_store != &m_actionLogStore, began, worked, ctx.SetAsideTime());
  if (changed && ctx.m_fromClient) TestCrashPoint(ctx.m_request, "saved");
  if (changed) ApplyModel(ctx, slot);
  return result;
}

CRnError WzScsiSrv::Admit(WzScsiSrvHandlerContext& ctx) {
  if (ctx.m_class.kind == WzScsiSrvChangeKind::QUERY) return CRnError();
  if (ctx.m_fromClient && ctx.m_class.kind == WzScsiSrvChangeKind::RECORD) {
    // Refused before anything changes: what cannot be saved cannot be done.
    if (CRnError e = WzScsiSrvActionLogWriter::CheckSavable(ctx.m_request))
      return ctx.Refuse(WzScsiSrvRefusal::TOO_LARGE_TO_SAVE, FX_HERE, e);
  }
  return ctx.m_store.Admit(ctx);
}

CRnError WzScsiSrv::RunWork(WzScsiSrvHandlerContext& ctx, WzScsiSrvWork work) {
  // An exception is a failed request like any other: answered, locks released.
  bool threw = true;
  CRnError result = WzNoThrow(FX_HERE, "The request", [&] {
    CRnError r = work(ctx);
    threw = false;
    return r;
  });
  if (threw) result = ctx.Refuse(WzScsiSrvRefusal::INTERNAL_ERROR, FX_HERE, CRnError(), result.AsString());
  return result;
}

CRnError WzScsiSrv::Record(WzScsiSrvHandlerContext& ctx) {
  if (ctx.m_class.kind != WzScsiSrvChangeKind::RECORD || ctx.m_skipSave) return CRnError();
  CRnError recorded = ctx.m_store.Record(ctx);
  if (recorded.IsSuccess()) return recorded;
  // Not recorded, so not done: the drivers are put back as they were and the
  // client hears why.
  for (auto undo = ctx.m_undos.rbegin(); undo != ctx.m_undos.rend(); ++undo) (*undo)();
  ctx.m_commits.clear();
  WZLOG(-1, "The change of %s could not be recorded and was undone: %s", ctx.m_subject.c_str(),
        recorded.AsString().c_str());
  return recorded;
}

void WzScsiSrv::ApplyModel(WzScsiSrvHandlerContext& ctx, TargetSlot* slot) {
  if (ctx.m_commits.empty() && !ctx.m_newTarget && !ctx.m_targetGone) return;
  WzWriterLock model(&m_modelMutex);
  if (ctx.m_newTarget && slot != nullptr) {
    slot->target = std::move(*ctx.m_newTarget);
    slot->state = TargetSlot::LIVE;
    ++m_nTargets;
  }
  for (const auto& commit : ctx.m_commits) commit();
  if (ctx.m_targetGone && slot != nullptr) {
    slot->state = TargetSlot::GONE;
    m_mapTargets.erase(ctx.m_targetName);
    --m_nTargets;
  }
}
