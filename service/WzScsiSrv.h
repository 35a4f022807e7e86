// WzScsiSrv: the SCSI target service, the one service object of the plug-in
// library libWzScsiSrv.so. It owns the configuration model (targets, their
// LUNs, the hosts mapped to each LUN), validates requests, drives the
// platform driver and the backing stores in order with compensation, answers
// requests, and persists every change in the action log that it replays at
// start.
//
// Locks, in the order they are taken (never the other way round):
//   m_mutex         the service lock: Initialize, the start state, the XDR
//                   callback, each handler's readiness re-check. Never held
//                   while sending or waiting on the network.
//   m_changeGate    shared by every change of a client; exclusive for the
//                   replay (start, reload), which therefore sees no other
//                   change and calls the handlers itself without it.
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
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cluster/etcd_client.h"
#include "service/cluster_sync.h"

#include "drivers/WzScsiBStorOps.h"
#include "drivers/WzScsiSrvPlatform.h"
#include "drivers/WzScsiSrvRecords.h"
#include "hostlib/net/WzNetwork.h"
#include "hostlib/pool/WzThreadPool.h"
#include "hostlib/svchost/IOnDemandSvcInterface.h"
#include "hostlib/util/CRnLibrary.h"
#include "hostlib/util/wz_mutex.h"
#include "luns/backing_store_dirs.h"
#include "messages/WzScsiServerMessages.h"
#include "service/settings.h"

class WzScsiSrvHandlerContext;
class WzScsiSrvTestPeer;
struct WzScsiSrvFrame;

class WzScsiSrv : public IOnDemandSvcInterface {
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
    std::function<CRnError(CWzNetwork*, CNMessageBase*)> handler;
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
  WzScsiBStorOps* GetUserDefBStoreOps(WzScsiServer::BStorType type);
  // The store that handles an XDR message id (by its group).
  WzScsiBStorOps* GetUserDefBStoreOps(unsigned long messageId, unsigned long reserved);
  static WzScsiServer::BStorType GetXDRMsgHandlingBStorType(unsigned long messageId);

  // Request handlers, each in the folder of its subject. The connection is
  // null when the replay calls them (no readiness test, no reply, no save).
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
  CRnError Ioctl(CWzNetwork* conn, CNMessageBase* message);
  CRnError ListTargets(CWzNetwork* conn, CNMessageBase* message);
  CRnError ListLuns(CWzNetwork* conn, CNMessageBase* message, ListLunsBy by);
  // "ls": one key=value record per target and LUN, with what an operator
  // looks at (backing path, size, serial, closed, CHAP user, never a secret).
  CRnError ListDetails(CWzNetwork* conn, CNMessageBase* message);
  CRnError OpenLun(CWzNetwork* conn, CNMessageBase* message);

  // What the last replay restored, and each object it could not restore.
  struct ReplayFailure {
    std::string kind;    // "target", "LUN", "mapping"
    std::string target;  // lower-cased name; "" when its file could not be read
    int32_t lunId = -1;
    std::string host;
    std::string file;
    std::string reason;
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
  };
  CRnError Reconcile(bool dryRun, const std::string& why, ReconcileReport& report) WZ_EXCLUDES(m_changeGate);
  ReconcileReport LastReconcile() WZ_EXCLUDES(m_reportMutex);
  ReconcileReport LastDriftCheck() WZ_EXCLUDES(m_reportMutex);
  // The engine watch: a thread that notices an engine restart (its instance
  // changes) and reconciles, and compares the engine with the model every
  // intervalSecs (0: never) without changing anything. Started at the end of
  // the start request; stopped by KillAllJobs.
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
  friend class WzScsiSrvHandlerContext;
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
  // readiness refusal, the target's lock, the work, the durable record of a
  // change (or the undo of the change when it cannot be made durable), the
  // model change, the reply sent after every lock is released.
  typedef std::function<CRnError(WzScsiSrvHandlerContext&)> HandlerWork;
  CRnError RunHandler(CWzNetwork* conn, CNMessageBase* message, WzScsiServer::Reply& reply, const WzScsiSrvFrame& frame,
                      const HandlerWork& work);
  // RunHandler with the request and reply of their own classes:
  // work(Request&, Reply&, WzScsiSrvHandlerContext&). Defined in
  // service/handler_frame.h.
  template <class Request, class Reply, class Work>
  CRnError RunTyped(CWzNetwork* conn, CNMessageBase* message, const WzScsiSrvFrame& frame, Work work);
  // Readiness refusal: true when the request was refused and answered.
  bool RefuseIfNotReady(CWzNetwork* conn, CNMessageBase* message, WzScsiServer::Reply& reply) WZ_EXCLUDES(m_mutex);
  // Fills context and error and sends; logs a send failure. Returns whether
  // the reply was sent.
  bool SendReply(CWzNetwork* conn, CNMessageBase* request, WzScsiServer::Reply& reply, const WzScsiServer::Error& error,
                 const std::string& subject);

  // The slot of a target, waited for until no change of it is in progress
  // and locked; null when no such target exists (slot then holds nothing).
  std::shared_ptr<TargetSlot> LockTarget(const std::string& name) WZ_EXCLUDES(m_modelMutex);
  // A new, locked slot for a target that does not exist yet; null when the
  // target exists (or another create of it finished first).
  std::shared_ptr<TargetSlot> LockNewTarget(const std::string& name) WZ_EXCLUDES(m_modelMutex);
  // Ends a new slot that never became a target.
  void DropNewTarget(const std::string& name, const std::shared_ptr<TargetSlot>& slot) WZ_EXCLUDES(m_modelMutex);
  // Applies a model change under m_modelMutex.
  void ChangeModel(const std::function<void()>& change) WZ_EXCLUDES(m_modelMutex);
  // Why chap's user names cannot be used on targetName (another target has
  // one of them with another secret); empty when they can.
  std::string ChapUserConflict(const std::string& targetName, const WzScsiSrvChap& chap) WZ_EXCLUDES(m_modelMutex);

  // Pieces of the LUN handlers (luns/).
  CRnError CreateLunByType(WzScsiSrvHandlerContext& ctx, WzScsiServer::CreateLun& request, WzScsiSrvLun& lun,
                           int32_t lunId);
  CRnError DeleteLunWithBStore(WzScsiSrvHandlerContext& ctx, WzScsiServer::DeleteLun& request, Lun& lun, bool& closed);
  CRnError DeleteUnrestoredLun(WzScsiSrvHandlerContext& ctx, int32_t number);

  // Replay pieces (actionlog/).
  enum class PlaybackKind { LUNS, MAPPINGS };
  CRnError PlaybackTargets(bool reload) WZ_REQUIRES(m_changeGate);
  CRnError PlaybackTarget(const std::string& dir, bool reload) WZ_REQUIRES(m_changeGate);
  // Restores a target's CHAP; false (recorded as a failure) when it cannot.
  bool PlaybackAuth(const std::string& dir, const std::string& target) WZ_REQUIRES(m_changeGate);
  // The saved requests of one folder of a target (its LUNs or its mappings).
  // target: the lower-cased name of the target the folder belongs to.
  CRnError PlaybackFolder(const std::string& targetDir, const std::string& target, PlaybackKind kind, bool reload)
      WZ_REQUIRES(m_changeGate);
  CRnError PlaybackOne(const std::string& path, const std::string& name, const std::string& target, PlaybackKind kind,
                       bool reload) WZ_REQUIRES(m_changeGate);
  // GetTargetDirs with the reason when the list could not be built although
  // the log exists (dirs then holds what was found before the failure).
  CRnError CollectTargetDirs(std::vector<std::string>& dirs);
  void CountPlayback(size_t ReplayReport::*counter) WZ_EXCLUDES(m_reportMutex);
  void RecordReplayFailure(size_t ReplayReport::*counter, ReplayFailure failure) WZ_EXCLUDES(m_reportMutex);
  void LogPlaybackProgress(const char* what) WZ_EXCLUDES(m_reportMutex);
  // Whether a saved target (by its directory name) or LUN could not be
  // restored and so still holds its name or number.
  bool IsUnrestoredTarget(const std::string& dirName) WZ_EXCLUDES(m_reportMutex);
  bool IsUnrestoredLun(const std::string& target, int32_t lunId) WZ_EXCLUDES(m_reportMutex);
  void ForgetUnrestored(const std::string& dirName, const std::string& target, int32_t lunId)
      WZ_EXCLUDES(m_reportMutex);
  // The start and reload replies: the text of a replay's outcome.
  std::string ReplayOutcomeText(bool reload, const CRnError& played) WZ_EXCLUDES(m_reportMutex);
  // The "status" and "reconcile" commands.
  CRnError ReportStatus(CWzNetwork* conn, CNMessageBase* message);
  CRnError ReconcileCommand(CWzNetwork* conn, CNMessageBase* message);
  // The differences between the engine's view and the model, and their fixes.
  CRnError ReconcileLocked(bool dryRun, ReconcileReport& report) WZ_REQUIRES(m_changeGate);
  void EngineWatchLoop();

  // Cluster mode (service/cluster_sync.cc).
 public:
  bool ClusterMode() const { return m_etcd != nullptr; }

 private:
  friend class WzScsiSrvHandlerContext;
  // Reads the cluster settings and makes the etcd client (Initialize).
  CRnError InitCluster();
  // Before the start's replay: the local cache brought up to etcd's state
  // (nothing happens when etcd cannot be reached: the cache is replayed).
  void ClusterStartSync() WZ_EXCLUDES(m_changeGate);
  void StartClusterSync();
  void StopClusterSync();
  void ClusterLoop();
  void OnClusterUpdate(const WzEtcdWatchUpdate& update);
  void ApplyClusterEvents(const std::vector<WzEtcdEvent>& events) WZ_REQUIRES(m_changeGate);
  // A full read of etcd: the cache, the model and the engine made to match.
  CRnError ClusterResync(const char* why) WZ_EXCLUDES(m_changeGate);
  // Rewrites the cache to hold exactly what range holds.
  CRnError SyncCacheFrom(const WzEtcdRange& range);
  // Takes out of the model and the engine what the cache no longer holds.
  void RemoveWhatTheCacheLacks() WZ_REQUIRES(m_changeGate);
  // The frame's steps: commit an addition, remove a removal's keys, put
  // them back after a failed removal.
  CRnError ClusterCommit(WzScsiSrvHandlerContext& ctx, int32_t lunId);
  CRnError ClusterRemove(WzScsiSrvHandlerContext& ctx);
  void ClusterPutBack(WzScsiSrvHandlerContext& ctx);
  CRnError ClusterRefuse(WzScsiSrvHandlerContext& ctx, const CRnError& error, const FXCodeLocation& where);
  void ClusterStatusLines(std::vector<std::string>& lines);
  // Whether the model holds the object a key names.
  bool ModelHolds(const WzScsiSrvClusterKeys::Parsed& p) WZ_EXCLUDES(m_modelMutex);
  void NoteStoreRevision(int64_t revision);

  // The Ioctl commands (actionlog/control.cc, targets/listing.cc).
  CRnError ReloadConfig(CWzNetwork* conn, CNMessageBase* message);
  CRnError RefuseIoctl(CWzNetwork* conn, CNMessageBase* message, const std::string& command);
  // Sends a listing's IoctlRsp (code 0, the lines as results).
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
  // The last replay's report, and what it could not restore.
  WzMutex m_reportMutex;
  ReplayReport m_report WZ_GUARDED_BY(m_reportMutex);
  int64_t m_replayStartedMs WZ_GUARDED_BY(m_reportMutex) = 0;
  std::set<std::string> m_unrestoredTargets WZ_GUARDED_BY(m_reportMutex);                  // directory names
  std::map<std::string, std::set<int32_t>> m_unrestoredLuns WZ_GUARDED_BY(m_reportMutex);  // by target
  ReconcileReport m_lastReconcile WZ_GUARDED_BY(m_reportMutex);
  ReconcileReport m_lastDriftCheck WZ_GUARDED_BY(m_reportMutex);
  std::atomic<uint64_t> m_engineInstance{0};
  // The engine watch thread and how it is told to stop.
  WzMutex m_watchMutex;
  WzCondVar m_watchWake{&m_watchMutex};
  bool m_watchStop WZ_GUARDED_BY(m_watchMutex) = false;
  std::unique_ptr<std::thread> m_watchThread;

  // Cluster mode (service/cluster_sync.cc); m_etcd is null on a gateway of
  // its own. Set by Initialize, before any request.
  std::unique_ptr<WzScsiSrvEtcdClient> m_etcd;
  std::unique_ptr<WzScsiSrvEtcdClient> m_etcdQuick;  // half the deadline: probes, re-reads
  std::string m_clusterName;
  std::string m_clusterPrefix;
  // Whether etcd answered the last probe or change; changes are refused at
  // once while it does not.
  std::atomic<bool> m_clusterAvailable{false};
  std::atomic<int64_t> m_clusterApplied{0};        // the revision this gateway follows up to
  std::atomic<int64_t> m_clusterStoreRevision{0};  // etcd's, at the last probe
  WzMutex m_clusterMutex;
  std::unique_ptr<WzEtcdWatch> m_clusterWatch WZ_GUARDED_BY(m_clusterMutex);
  int64_t m_clusterNextRevision WZ_GUARDED_BY(m_clusterMutex) = 0;
  bool m_clusterNeedResync WZ_GUARDED_BY(m_clusterMutex) = true;
  // Revisions of this gateway's own commits: their watch events are skipped.
  std::set<int64_t> m_clusterOwnRevisions WZ_GUARDED_BY(m_clusterMutex);
  bool m_clusterStop WZ_GUARDED_BY(m_clusterMutex) = false;
  WzCondVar m_clusterWake{&m_clusterMutex};
  std::unique_ptr<std::thread> m_clusterThread;
};

// The error a handler reports when no platform driver object exists (the
// driver failed to initialise).
CRnError NoPlatformError(const FXCodeLocation& where);

// Pool worker functions.
extern "C" void* WzScsiSrvHandleMessage(void* item);
extern "C" void* WzScsiSrvIgnoreMessage(void* item);

// Exported entry of the plug-in.
extern "C" WZ_EXPORT IOnDemandSvcInterface* GetOnDemandSvcLibInstance();
