// StartScsiService: brings the service into service. The first start request
// replays the action log and then marks the service started, whatever the
// replay found; later ones only answer.
//
//   state before   reply                                            replay  state after
//   0              0 "Scsi Service started!!!" (1 and the counts when   yes     2 (1 meanwhile)
//                  anything could not be restored)
//   1              1 "Scsi service initialization is in progress..."  no      1
//   2              0 "Scsi Service started!!!"                        no      2
#include "hostlib/errors/no_throw.h"
#include "hostlib/log/LogWriter.h"
#include "service/WzScsiSrv.h"

CRnError WzScsiSrv::StartScsiService(CWzNetwork* conn, CNMessageBase* message) {
  WZ_TRACE_SCOPE(6);
  if (message == nullptr || message->getTagID() != WzScsiServer::kStartScsiService.tagId)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_MESSAGE_CLASS,
                                   "dynamic cast failed CNMessageBase -> WzScsiServer::StartScsiService");

  WzScsiServer::StartScsiServiceRsp reply;
  reply.setContextFrom(*message);
  WzScsiServer::Error error;
  error.setErrorCode(WzScsiServer::RC_SUCCESS);
  error.setErrorMessage("Scsi Service started!!!");

  bool replay = false;
  if (m_eStatus.load() != SVC_INITIALIZED) {
    // Only one start request may move the state from 0 to 1 and replay.
    WzMutexLock g(&m_mutex);
    if (m_eStatus.load() == SVC_INIT_IN_PROGRESS) {
      error.setErrorCode(WzScsiServer::RC_NOT_READY_OR_FAILED);
      error.setErrorMessage("Scsi service initialization is in progress...");
    } else if (m_eStatus.load() != SVC_INITIALIZED) {
      m_eStatus = SVC_INIT_IN_PROGRESS;
      replay = true;
    }
  }

  if (replay) {
    // Without m_mutex: requests arriving meanwhile are refused by their own
    // readiness test instead of waiting for the replay.
    // A refused cluster start serves the local configuration as it is and
    // says why in the start's answer.
    CRnError refused = m_follower ? m_follower->SyncBeforeReplay() : CRnError();
    CRnError played = WzNoThrow(FX_HERE, "Playback", [&] { return Playback(false); });
    // A start that could not restore everything says so, with the counts:
    // the objects that were restored are served all the same.
    if (played.IsError() || LastReplay().Failed()) {
      error.setErrorCode(WzScsiServer::RC_NOT_READY_OR_FAILED);
      error.setErrorMessage(ReplayOutcomeText(false, played));
      WZLOG(-1, "%s", error.errorMessage().c_str());
    } else {
      WZLOG(0, "Restored the saved configuration: %s", LastReplay().Summary().c_str());
    }
    if (refused.IsError()) {
      error.setErrorCode(WzScsiServer::RC_NOT_READY_OR_FAILED);
      error.setErrorMessage(refused.AsString());
    }
    // The replay adopts what the engine holds; what the configuration lacks
    // (a change cut off by a crash between the engine and its save) goes now.
    ReconcileReport reconciled;
    CRnError ignored = Reconcile(false, "start", reconciled);
    (void)ignored;
    // The objects that were recreated stay in service even after a failure.
    SetStatus(SVC_INITIALIZED);
    StartEngineWatch();
    if (m_follower) m_follower->Start();
  }

  if (conn != nullptr) SendReply(conn, message, reply, error, "StartScsiService");
  return CRnError();
}
