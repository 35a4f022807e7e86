// WzScsiSrv: the SCSI target service, the one service object of the plug-in
// library libWzScsiSrv.so. It owns the configuration model (targets, their
// LUNs, the hosts mapped to each LUN), validates requests, drives the
// platform driver and the backing stores in order with compensation, answers
// requests, and records every change (in the action log, or in a cluster's
// etcd with the action log as its cache) to replay it at start.
//
// Locks, in the order they are taken (never the other way round):
//   m_mutex         the service lock: Initialize, the start state, the XDR
//                   callback, each handler's readiness re-check. Never held
//                   while sending or waiting on the network.
//   m_changeGate    shared by every change of a client; exclusive for the
//                   replay (start, reload), a reconcile and a batch of the
//                   cluster's changes, which therefore see no other change
//                   and call the handlers themselves without it.
//   a target's      held across that target's driver calls and action-log
//   change lock     write, so changes of one target are strictly ordered and
//                   changes of different targets run in parallel.
//   m_modelMutex    short: guards the target table and every record in it.
//                   Exclusive only to change the tables (after the change is
//                   durable), shared for lookups and listings, so a listing
//                   never waits for a driver call or an fsync.
//   m_bstorMutex    the backing-store registry alone (XDR routing uses it
//                   without any of the locks above).
// A target's record is changed only under its change lock and m_modelMutex
// exclusive, so a handler holding the change lock may read its own target's
// record without m_modelMutex.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cluster/cluster_keys.h"
#include "cluster/etcd_client.h"

#include "change/handler_context.h"
#include "drivers/WzScsiBStorOps.h"
#include "drivers/WzScsiSrvPlatform.h"
#include "drivers/WzScsiSrvRecords.h"
#include "hostlib/net/WzNetwork.h"
#include "hostlib/pool/WzThreadPool.h"
#include "hostlib/svchost/IOnDemandSvcInterface.h"
#include "hostlib/util/CRnLibrary.h"
#include "hostlib/util/wz_mutex.h"
#include "hostlib/util/wz_periodic_worker.h"
#include "luns/backing_store_dirs.h"
#include "messages/WzScsiServerMessages.h"
#include "service/action_log_store.h"
#include "service/cluster_follower.h"
#include "service/cluster_store.h"
#include "service/reconcile_plan.h"
#include "service/settings.h"

class WzScsiSrvHandlerContext;
class WzScsiSrvTestPeer;
class WzScsiSrvWork;
struct WzScsiSrvRequestClass;
struct WzScsiSrvReconcileAction;
struct WzScsiSrvPlaybackWords;

class WzScsiSrv : public IOnDemandSvcInterface, private WzScsiSrvHandlerServices, private WzScsiSrvClusterApplier {
 public:
  typedef WzScsiSrvModelTarget Target;
  typedef WzScsiSrvModelLun Lun;
  typedef WzScsiSrvModelHost Host;
  typedef std::map<std::string, Target> TargetMap;
  typedef std::map<WzScsiServer::BStorType, std::pair<CRnLibrary, WzScsiBStorOps*>> BStorOpsMap;

  enum ServiceInitStatus : int32_t {
    SVC_NOT_INITIALIZED = 0,
    SVC_INIT_IN_PROGRESS = 1,
    SVC_INITIALIZED = 2,
  };

  enum ListLunsBy : int32_t {
    LUNS_ALL = 0,
    LUNS_BY_TARGET = 1,
    LUNS_BY_HOST = 2,
  };

  // One dispatched message on its way to a worker.
  struct WzScsiSrvWorkItem {
    WzScsiSrv* service = nullptr;
    CWzNetworkServer* server = nullptr;
    WznHandle_t handle = 0;
    CNMessageBase* message = nullptr;
    // The handler bound to service; null for a message that is not served.
    CRnError (WzScsiSrv::*handler)(CWzNetwork*, CNMessageBase*) = nullptr;
  };

  // Deletes the service through its virtual destructor.
  struct SrvDestructor {
    void operator()(WzScsiSrv* p) const;
  };

  // The host obtains the object through Instance (GetOnDemandSvcLibInstance);
  // tests construct their own.
  WzScsiSrv();
  ~WzScsiSrv() override;
  WzScsiSrv(const WzScsiSrv&) = delete;
  WzScsiSrv& operator=(const WzScsiSrv&) = delete;

  static std::shared_ptr<WzScsiSrv>& Instance();

  // IOnDemandSvcInterface (lifecycle).
  CRnError Initialize(int argc, char** argv, std::string& semName, int& inactivityTimeoutSecs,
                      IOnDemandSvcApp* app) override;
  CRnError SubmitJob(std::string& job, CNSession::OnDemandServiceStatusType& status,
                     CNSession::OnDemandServiceMode mode) override;
  CRnError IncomingMsgXMLCallback(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server, WznHandle_t handle,
                                  CNMessageBase* message) override;
  CRnError IncomingMsgXDRCallback(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server, WznHandle_t handle,
                                  unsigned long messageId, wzsDatabuf_v2* buffer) override;
  // Stops: refuses new changes, ends a replay or reconcile between two
  // objects (the next start resumes it), and waits for the workers, however
  // long a driver call takes, up to nStopTimeoutSecs (section Quellport,
  // default 300). Past that it fails with ERROR_BUSY (Win32 170) and the
  // drivers stay loaded: a worker is still inside one, so the host must exit
  // without unloading anything.
  CRnError KillAllJobs() override;
  void CleanUp() override;

  void SetStatus(ServiceInitStatus status);
  ServiceInitStatus GetStatus();
  CRnError UpdateJobCompletedStatus();

  // Platform driver binding.
  std::string GetPlatformLibName() const;
  CRnError InitPlatform();

  // Backing-store registry. Null when the type has no library or it cannot
  // be loaded (nothing is cached then; the next call tries again).
  WzScsiBStorOps* GetUserDefBStoreOps(WzScsiServer::BStorType type) override WZ_EXCLUDES(m_bstorMutex);
  // The store that handles an XDR message id (by its group).
  WzScsiBStorOps* GetUserDefBStoreOps(unsigned long messageId, unsigned long reserved);
  static WzScsiServer::BStorType GetXDRMsgHandlingBStorType(unsigned long messageId);
  // The subsystem id (the group in its canonical form) of an XDR message id.
  static uint64_t XdrSubsystemId(unsigned long messageId);
  // Logs a dropped XDR message once per group and interval, with a count: a
  // peer sending messages of an unserved group must not fill the log.
  void NoteUnservedXdr(uint64_t subsystem, const char* reason) WZ_REQUIRES(m_mutex);

  // Request handlers (service/handlers.cc binds each request class to its
  // work in targets/ and luns/). The connection is null when the replay, a
  // cluster event or the resync calls them (no readiness test, no reply,
  // nothing recorded; every check runs).
  CRnError StartScsiService(CWzNetwork* conn, CNMessageBase* message);
  CRnError CreateTarget(CWzNetwork* conn, CNMessageBase* message);
  CRnError DeleteTarget(CWzNetwork* conn, CNMessageBase* message);
  CRnError CreateLun(CWzNetwork* conn, CNMessageBase* message);
  // lunId -1: a new LUN, numbered by the drivers; otherwise the saved number (replay).
  CRnError CreateLunInternal(CWzNetwork* conn, CNMessageBase* message, int32_t lunId);
  CRnError DeleteLun(CWzNetwork* conn, CNMessageBase* message);
  CRnError MapHost(CWzNetwork* conn, CNMessageBase* message);
  CRnError UnMapHost(CWzNetwork* conn, CNMessageBase* message);
  CRnError SetTargetAuth(CWzNetwork* conn, CNMessageBase* message);
  CRnError ResizeLun(CWzNetwork* conn, CNMessageBase* message);
  CRnError Ioctl(CWzNetwork* conn, CNMessageBase* message);
  CRnError ListTargets(CWzNetwork* conn, CNMessageBase* message);
  CRnError ListLuns(CWzNetwork* conn, CNMessageBase* message, ListLunsBy by);
  // "ls": one key=value record per target and LUN, with what an operator
  // looks at (backing path, size, serial, closed, CHAP user, never a secret).
  CRnError ListDetails(CWzNetwork* conn, CNMessageBase* message);
  CRnError OpenLun(CWzNetwork* conn, CNMessageBase* message);

  // Fills lun (target, path, serial prefix, a replayed LUN's creation time)
  // from a CreateLun's argument string; only a fully valid string changes it.
  CRnError ProcessCreateLunArgs(const std::string& args, WzScsiSrvLun& lun) override;
  // The LUN number of target; an error naming both when target has none.
  // lun points into the model: a handler holds target's change lock.
  CRnError GetLun(Target& target, int32_t number, Lun*& lun) override;

  // The action-log record step: saves the request of a change that adds
  // something (its request class says where), or removes the saved file of
  // one that removes something. The target name is folded to lower case in
  // the request first, so every saved file carries the lower-cased name.
  CRnError LogAction(WzScsiServer::Message& request, const WzScsiServer::Reply& reply);

  // What the last replay restored, and each object it could not restore.
  struct ReplayFailure {
    std::string kind;    // "target", "LUN", "mapping"
    std::string target;  // lower-cased name; "" when its file could not be read
    int32_t lunId = -1;
    std::string host;
    std::string file;
    std::string reason;
    // An event of the cluster refused here, not the replay's: listed with
    // the replay's failures, counted by the follower.
    bool fromCluster = false;
  };
  struct ReplayReport {
    bool ran = false;
    bool reload = false;
    int64_t startedAt = 0;  // seconds since 1970
    double seconds = 0;
    size_t targets = 0, targetsFailed = 0;
    size_t luns = 0, lunsFailed = 0;
    size_t mappings = 0, mappingsFailed = 0;
    size_t present = 0;                   // found in place already (reload)
    std::vector<ReplayFailure> failures;  // the first kMaxReportedFailures
    std::string logError;                 // the action log could not be read
    bool Failed() const { return targetsFailed + lunsFailed + mappingsFailed != 0 || !logError.empty(); }
    // "restored 40 targets, 310 LUNs, 97 mappings; failed 1 target, 1 LUN, 2 mappings"
    std::string Summary() const;
  };
  static constexpr size_t kMaxReportedFailures = 1000;
  ReplayReport LastReplay() WZ_EXCLUDES(m_reportMutex);

  // Replays the action log: into an empty model at start, on top of the
  // running configuration on reload (what is in place already is no failure).
  // A saved target or LUN that cannot be restored keeps its name or number
  // taken until a reload restores it or it is deleted, so that its saved
  // files never attach to another object.
  CRnError Playback(bool reload) WZ_EXCLUDES(m_changeGate);
  // The loop over the saved target directories, in GetTargetDirs' order.
  CRnError PlaybackTargets(bool reload) WZ_REQUIRES(m_changeGate);
  // The saved LUNs, and the saved host mappings, of one target's directory
  // (the full path). target: the lower-cased name of the target the
  // directory belongs to, read from its own saved file when empty.
  CRnError PlaybackLuns(const std::string& targetDir, bool reload, const std::string& target = std::string())
      WZ_REQUIRES(m_changeGate);
  CRnError PlaybackLunMapping(const std::string& targetDir, bool reload, const std::string& target = std::string())
      WZ_REQUIRES(m_changeGate);
  // Reconcile: compares what the engine holds of the service's objects with
  // the model and, unless dryRun, converges the engine: creates what it
  // lacks, removes what the configuration lacks, and never touches objects
  // of other tools. Saved objects that could not be restored and closed
  // snapshot LUNs are no difference. Holds the change gate exclusively.
  struct ReconcileReport {
    bool ran = false;
    bool dryRun = false;
    bool periodicCheck = false;
    int64_t at = 0;  // seconds since 1970
    double seconds = 0;
    std::string why;                       // "start", "request", "engine restart", "periodic check"
    std::string error;                     // the engine could not be read
    std::vector<std::string> differences;  // one line each, with its outcome unless a dry run
    size_t failed = 0;                     // differences that could not be fixed
    // Unless a dry run: each difference fixed, and each not fixed with why.
    std::vector<std::string> repaired;
    std::map<std::string, std::string> unfixed;
  };
  CRnError Reconcile(bool dryRun, const std::string& why, ReconcileReport& report) WZ_EXCLUDES(m_changeGate);
  ReconcileReport LastReconcile() WZ_EXCLUDES(m_reportMutex);
  ReconcileReport LastDriftCheck() WZ_EXCLUDES(m_reportMutex);
  ReconcileReport LastDryRun() WZ_EXCLUDES(m_reportMutex);
  // The engine watch: a periodic worker that notices an engine restart (its
  // instance changes) and reconciles, and compares the engine with the model
  // every nEngineCheckIntervalSecs (0: never), repairing what differs of the
  // service's own objects (EngineCheckRepairs=no: only logging it).
  // Started at the end of the start request; stopped by KillAllJobs.
  void StartEngineWatch();
  void StopEngineWatch();

  // The target directories of the action log in replay order (pre-initialised
  // targets first).
  std::vector<std::string> GetTargetDirs();

  // Read access for tests, tools and the listing: a copy of the model.
  TargetMap SnapshotTargets() WZ_EXCLUDES(m_modelMutex);
  bool TargetExists(const std::string& name) WZ_EXCLUDES(m_modelMutex);
  std::vector<WzScsiServer::BStorType> LoadedBStorTypes() WZ_EXCLUDES(m_bstorMutex);
  const std::string& GetActionLogRoot() const { return m_sActionLogRoot; }

  static std::shared_ptr<WzScsiSrv> m_ptrgSingleton;

 private:
  friend class WzScsiSrvTestPeer;

  // One target of the table: its record and the lock that orders its changes.
  struct TargetSlot {
    enum State { PENDING, LIVE, GONE };
    WzMutex changeLock;
    State state = PENDING;  // guarded by m_modelMutex
    Target target;          // see the lock rules above
  };
  typedef std::map<std::string, std::shared_ptr<TargetSlot>> TargetSlots;

  // The common handler frame (service/handler_frame.cc): class check,
  // readiness refusal, the target's lock, the work, the record of a change
  // (or the undo of the change when it cannot be recorded), the model
  // change, the reply sent after every lock is released.
  CRnError RunHandler(CWzNetwork* conn, CNMessageBase* message, WzScsiServer::Reply& reply,
                      const WzScsiSrvRequestClass& row, WzScsiSrvWork work);
  // RunHandler with the request and reply of their own classes:
  // work(Request&, Reply&, WzScsiSrvHandlerContext&). Defined in
  // service/handler_frame.h.
  template <class Request, class Reply, class Work>
  CRnError RunTyped(CWzNetwork* conn, CNMessageBase* message, const WzScsiSrvRequestClass& row, Work work);
  // The steps of the frame.
  WzScsiSrvRecordStore& RecordStoreOf(const CWzNetwork* conn);
  void NameTarget(WzScsiSrvHandlerContext& ctx);
  CRnError RunOnTarget(WzScsiSrvHandlerContext& ctx, WzScsiSrvWork work) WZ_EXCLUDES(m_modelMutex);
  CRnError RunSteps(WzScsiSrvHandlerContext& ctx, WzScsiSrvWork work, TargetSlot* slot) WZ_EXCLUDES(m_modelMutex);
  CRnError Admit(WzScsiSrvHandlerContext& ctx);
  CRnError RunWork(WzScsiSrvHandlerContext& ctx, WzScsiSrvWork work);
  CRnError Record(WzScsiSrvHandlerContext& ctx);
  void ApplyModel(WzScsiSrvHandlerContext& ctx, TargetSlot* slot) WZ_EXCLUDES(m_modelMutex);
  // Readiness refusal: true when the request was refused and answered.
  bool RefuseIfNotReady(CWzNetwork* conn, CNMessageBase* message, WzScsiServer::Reply& reply) WZ_EXCLUDES(m_mutex);
  // Fills context and error and sends; logs a send failure. Returns whether
  // the reply was sent.
  bool SendReply(CWzNetwork* conn, CNMessageBase* request, WzScsiServer::Reply& reply, const WzScsiServer::Error& error,
                 const std::string& subject);

  // Whether a slot holds a target (not one being created, nor one gone).
  bool SlotLive(const TargetSlot& slot) WZ_EXCLUDES(m_modelMutex);
  // The slot of a target, waited for until no change of it is in progress,
  // and its change lock taken; false when no such target exists (slot then
  // holds nothing).
  bool LockTarget(const std::string& name, std::shared_ptr<TargetSlot>& slot) WZ_TRY_ACQUIRE(true, slot->changeLock)
      WZ_EXCLUDES(m_modelMutex);
  // A new slot for a target that does not exist yet, its change lock taken;
  // false when the target exists (or another create of it finished first).
  bool LockNewTarget(const std::string& name, std::shared_ptr<TargetSlot>& slot) WZ_TRY_ACQUIRE(true, slot->changeLock)
      WZ_EXCLUDES(m_modelMutex);
  // Ends a new slot that never became a target.
  void DropNewTarget(const std::string& name, const std::shared_ptr<TargetSlot>& slot) WZ_EXCLUDES(m_modelMutex);
  // What the handlers' works ask of the service (WzScsiSrvHandlerServices;
  // GetUserDefBStoreOps, ProcessCreateLunArgs and GetLun are public).
  WzScsiSrvHandlerServices& HandlerServices() { return *this; }
  WzScsiSrvPlatform* Platform() override;
  const std::string& ActionLogRoot() const override;
  CRnError CheckBackingStore(WzScsiSrvLun& lun) override;
  std::string BackingStoreUser(const std::string& target, const WzScsiSrvLun& lun,
                               std::shared_ptr<WzScsiSrvBackingClaim>& claim) override WZ_EXCLUDES(m_modelMutex);
  const std::string& RbdIdentity() const override { return m_backingStores.rbdIdentity; }
  bool SharedWithOtherGateways() const override { return ClusterMode(); }
  void ChangeModel(const std::function<void()>& change) override WZ_EXCLUDES(m_modelMutex);
  std::string ChapUserConflict(const std::string& targetName, const WzScsiSrvChap& chap) override
      WZ_EXCLUDES(m_modelMutex);

  // Replay pieces (actionlog/).
  CRnError PlaybackTarget(const std::string& dir, bool reload) WZ_REQUIRES(m_changeGate);
  // Restores a target's CHAP; false (recorded as a failure) when it cannot.
  bool PlaybackAuth(const std::string& dir, const std::string& target) WZ_REQUIRES(m_changeGate);
  // One saved file of a target's LUN or mapping folder; dirTarget: the
  // lower-cased name of the target whose directory holds it.
  typedef CRnError (WzScsiSrv::*PlaybackFile)(const std::string& path, const std::string& dirTarget, bool reload);
  CRnError PlaybackLun(const std::string& path, const std::string& dirTarget, bool reload) WZ_REQUIRES(m_changeGate);
  CRnError PlaybackMapping(const std::string& path, const std::string& dirTarget, bool reload)
      WZ_REQUIRES(m_changeGate);
  // The saved files of one folder, each through one.
  CRnError PlaybackFolder(const std::string& dir, const std::string& target, const WzScsiSrvPlaybackWords& words,
                          PlaybackFile one, bool reload) WZ_REQUIRES(m_changeGate);
  // The lower-cased name the target's own saved file names ("" when it
  // cannot be read).
  static std::string SavedTargetOf(const std::string& targetDir);
  // GetTargetDirs with the reason when the list could not be built although
  // the log exists (dirs then holds what was found before the failure).
  CRnError CollectTargetDirs(std::vector<std::string>& dirs);
  void CountPlayback(size_t ReplayReport::*counter) WZ_EXCLUDES(m_reportMutex);
  void RecordReplayFailure(size_t ReplayReport::*counter, ReplayFailure failure) WZ_EXCLUDES(m_reportMutex);
  void LogPlaybackProgress(const char* what) WZ_EXCLUDES(m_reportMutex);
  // Whether a saved target (by its directory name) or LUN could not be
  // restored and so still holds its name or number.
  bool IsUnrestoredTarget(const std::string& dirName) override WZ_EXCLUDES(m_reportMutex);
  bool IsUnrestoredLun(const std::string& target, int32_t lunId) override WZ_EXCLUDES(m_reportMutex);
  void ForgetUnrestored(const std::string& dirName, const std::string& target, int32_t lunId) override
      WZ_EXCLUDES(m_reportMutex);
  // The start and reload replies: the text of a replay's outcome.
  std::string ReplayOutcomeText(bool reload, const CRnError& played) WZ_EXCLUDES(m_reportMutex);
  // The "status" and "reconcile" commands.
  CRnError ReportStatus(CWzNetwork* conn, CNMessageBase* message);
  CRnError ReconcileCommand(CWzNetwork* conn, CNMessageBase* message);
  // Writes the local configuration into an empty cluster (service/cluster_sync.cc).
  CRnError ClusterImport(CWzNetwork* conn, CNMessageBase* message);
  // The differences between the engine's view and the model, and their fixes.
  CRnError ReconcileLocked(bool dryRun, ReconcileReport& report) WZ_REQUIRES(m_changeGate);
  // One action of the plan, through the change path.
  CRnError ReconcileStep(const WzScsiSrvReconcileAction& action, const TargetMap& model);
  // The change path for a source with no request of its own (a reconcile):
  // row's class carries target; nothing is recorded.
  CRnError RunChange(const WzScsiSrvRequestClass& row, const std::string& target, WzScsiSrvWork work);
  // What the engine watch keeps between its rounds (its own thread's).
  struct EngineWatchState {
    int64_t checkMs = 0;           // between two comparisons; 0: never
    int64_t nextCheck = 0;         // WzNowMs of the next
    bool repair = true;            // EngineCheckRepairs
    std::set<std::string> logged;  // drift already reported once
  };
  std::chrono::milliseconds EngineWatchRound(EngineWatchState& state);
  // The log lines of one periodic check, and its repairs counted.
  void EngineCheckLog(EngineWatchState& state, const ReconcileReport& report) WZ_EXCLUDES(m_reportMutex);

  // Cluster mode (service/cluster_sync.cc).
 public:
  bool ClusterMode() const { return m_cluster != nullptr; }

 private:
  // Reads the cluster settings and makes the cluster's store and follower
  // (Initialize).
  CRnError InitCluster();
  // What the follower asks of the service (WzScsiSrvClusterApplier).
  const std::string& CacheRoot() const override;
  void WhileNoChangeRuns(const std::function<void()>& apply) override WZ_EXCLUDES(m_changeGate);
  CRnError ApplyTarget(const std::string& targetDir) override WZ_REQUIRES(m_changeGate);
  CRnError ApplyAuth(const std::string& targetDir, const std::string& target) override WZ_REQUIRES(m_changeGate);
  CRnError ApplyLun(const std::string& path, const std::string& target) override WZ_REQUIRES(m_changeGate);
  CRnError ApplyMapping(const std::string& path, const std::string& target) override WZ_REQUIRES(m_changeGate);
  CRnError RemoveTarget(const std::string& target) override;
  CRnError RemoveLun(const std::string& target, int32_t lun) override;
  CRnError RemoveMapping(const std::string& target, int32_t lun, const std::string& host) override;
  CRnError TurnChapOff(const std::string& target) override;
  bool Holds(const WzScsiSrvClusterKeys::Parsed& key) override WZ_EXCLUDES(m_modelMutex);
  void Withhold(const WzScsiSrvClusterKeys::Parsed& key, bool on) override WZ_EXCLUDES(m_reportMutex);
  CRnError DropFromEngine(const WzScsiSrvClusterKeys::Parsed& key) override;
  CRnError ReconcileEngine(const char* why) override WZ_EXCLUDES(m_changeGate);
  void Fence(bool on) override WZ_EXCLUDES(m_changeGate);
  Model Snapshot() override WZ_EXCLUDES(m_modelMutex);
  void Reload(const char* why) override WZ_EXCLUDES(m_changeGate);
  // Around one replay step for an event of the cluster: what the playback
  // refuses (it logs, lists and skips such a file, and goes on) is
  // collected in refused, counted by the follower, not as the replay's,
  // and the step's result is an error that says what was refused.
  void BeginClusterApply(std::vector<ReplayFailure>& refused) WZ_EXCLUDES(m_reportMutex);
  CRnError EndClusterApply(CRnError result, const std::vector<ReplayFailure>& refused) WZ_EXCLUDES(m_reportMutex);
  bool Stopping() override;

  // The Ioctl commands (service/control.cc, service/listing.cc).
  CRnError ReloadConfig(CWzNetwork* conn, CNMessageBase* message);
  CRnError RefuseIoctl(CWzNetwork* conn, CNMessageBase* message, const std::string& command);
  // The Ioctl a command was given; an error for a message of another class.
  static CRnError IoctlOf(CNMessageBase* message, WzScsiServer::Ioctl*& request);
  // Answers an Ioctl with error (and results), when there is a connection.
  void AnswerIoctl(CWzNetwork* conn, CNMessageBase* message, const WzScsiServer::Error& error,
                   std::vector<std::string> results = std::vector<std::string>());
  // Sends a listing's IoctlRsp (code 0, the lines as results).
  // Held while a page of the detailed listing is made and sent (few at once).
  class ListingGate {
   public:
    explicit ListingGate(WzScsiSrv& service);
    ~ListingGate();
    ListingGate(const ListingGate&) = delete;
    ListingGate& operator=(const ListingGate&) = delete;

   private:
    WzScsiSrv& m_service;
  };
  void SendListing(CWzNetwork* conn, CNMessageBase* message, std::vector<std::string>&& lines,
                   const std::string& subject);

  // Members in declaration order.
  CRnLibrary m_platformLib{true};
  std::shared_ptr<WzScsiSrvPlatform> m_ptrPlatform;
  BStorOpsMap m_mapBStorOps WZ_GUARDED_BY(m_bstorMutex);
  TargetSlots m_mapTargets WZ_GUARDED_BY(m_modelMutex);
  // Size of the target table, so that the job-completed step never waits
  // for a lock.
  std::atomic<size_t> m_nTargets{0};
  WzMutex m_mutex WZ_ACQUIRED_BEFORE(m_changeGate);
  WzSharedMutex m_changeGate WZ_ACQUIRED_BEFORE(m_modelMutex);
  WzSharedMutex m_modelMutex WZ_ACQUIRED_BEFORE(m_bstorMutex);
  WzMutex m_bstorMutex;
  struct XdrDropWindow {
    std::chrono::steady_clock::time_point start;
    size_t dropped = 0;  // after the logged one
  };
  std::map<uint64_t, XdrDropWindow> m_xdrDrops WZ_GUARDED_BY(m_mutex);
  WzMutex m_listingMutex;
  WzCondVar m_listingDone{&m_listingMutex};
  int m_listingsAtOnce WZ_GUARDED_BY(m_listingMutex) = 0;
  std::string m_sIdleSemName;
  IOnDemandSvcApp* m_pSvcApp = nullptr;
  std::string m_sActionLogRoot;
  // Section Quellport, read by Initialize before any request or thread of the
  // service; read-only afterwards.
  WzScsiSrvSettings m_settings;
  // Atomic so that the unlocked first readiness test is not a data race; every
  // change still happens under m_mutex.
  std::atomic<ServiceInitStatus> m_eStatus{SVC_NOT_INITIALIZED};
  // Set by KillAllJobs: replays and reconciles end between two objects, new
  // changes are refused.
  std::atomic<bool> m_stopping{false};
  // A worker was still inside a driver when the stop gave up waiting: the
  // libraries must never be unloaded.
  std::atomic<bool> m_driversInUse{false};
  WzThreadPool m_threadPool;
  // Where new LUNs may be backed (read by Initialize).
  WzScsiSrvBackingStorePolicy m_backingStores;
  // The backing files of the LUNs being created.
  WzScsiSrvBackingClaims m_backingClaims;
  // The last replay's report, and what it could not restore.
  WzMutex m_reportMutex;
  ReplayReport m_report WZ_GUARDED_BY(m_reportMutex);
  // While an event of the cluster is applied: what it could not restore
  // (nothing of it is counted as the replay's).
  std::vector<ReplayFailure>* m_clusterRefusals WZ_GUARDED_BY(m_reportMutex) = nullptr;
  int64_t m_replayStartedMs WZ_GUARDED_BY(m_reportMutex) = 0;
  std::set<std::string> m_unrestoredTargets WZ_GUARDED_BY(m_reportMutex);                  // directory names
  std::map<std::string, std::set<int32_t>> m_unrestoredLuns WZ_GUARDED_BY(m_reportMutex);  // by target
  ReconcileReport m_lastReconcile WZ_GUARDED_BY(m_reportMutex);
  ReconcileReport m_lastDriftCheck WZ_GUARDED_BY(m_reportMutex);
  ReconcileReport m_lastDryRun WZ_GUARDED_BY(m_reportMutex);  // a dry run changes nothing: kept apart
  // What the periodic checks repaired since the start, and when last.
  uint64_t m_checkRepaired WZ_GUARDED_BY(m_reportMutex) = 0;
  int64_t m_checkLastRepairAt WZ_GUARDED_BY(m_reportMutex) = 0;
  // What the cluster removed and the engine has not taken yet: never
  // created or granted again (service/cluster_sync.cc).
  WzScsiSrvWithheld m_withheld WZ_GUARDED_BY(m_reportMutex);
  // A fenced gateway's engine holds none of the service's targets.
  std::atomic<bool> m_fenced{false};
  std::atomic<uint64_t> m_engineInstance{0};
  // The engine watch (StartEngineWatch).
  WzPeriodicWorker m_engineWatch;

  // Where the changes of clients are recorded: the action log, or the
  // cluster's store (null on a gateway of its own). Set by Initialize, before
  // any request.
  WzScsiSrvActionLogStore m_actionLogStore{*this};
  WzScsiSrvNoRecordStore m_noRecords;
  std::unique_ptr<WzScsiSrvClusterStore> m_cluster;
  WzScsiSrvRecordStore* m_clientStore = &m_actionLogStore;
  std::unique_ptr<WzScsiSrvClusterFollower> m_follower;
};

// Pool worker functions.
extern "C" void* WzScsiSrvHandleMessage(void* item);
extern "C" void* WzScsiSrvIgnoreMessage(void* item);

// Exported entry of the plug-in.
extern "C" WZ_EXPORT IOnDemandSvcInterface* GetOnDemandSvcLibInstance();
