// WzScsiSrv: the SCSI target service, the one service object of the plug-in
// library libWzScsiSrv.so. It owns the configuration model (targets, their
// LUNs, the hosts mapped to each LUN), validates requests, drives the
// platform driver and the backing stores in order with compensation, answers
// requests, and persists every change in the action log that it replays at
// start.
//
// Locks. m_mutex, the service lock, guards Initialize, the start state
// (SetStatus, the start request's test-and-set), the XDR callback and each
// handler's readiness re-check. m_modelMutex, the model lock, serialises
// every read and change of the model (m_mapTargets and everything below it)
// together with the driver calls of a change and the action-log write that
// records it. It is recursive because replay calls the handlers from inside a
// handler. m_bstorMutex guards the backing-store registry alone, so that an
// XDR message never waits for a replay. Order: m_mutex, then m_modelMutex,
// then m_bstorMutex; never the other way round. Requests refused for
// readiness never wait for the model lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "drivers/WzScsiBStorOps.h"
#include "drivers/WzScsiSrvPlatform.h"
#include "drivers/WzScsiSrvRecords.h"
#include "hostlib/net/WzNetwork.h"
#include "hostlib/pool/WzThreadPool.h"
#include "hostlib/svchost/IOnDemandSvcInterface.h"
#include "hostlib/util/CCommandLineArguments.h"
#include "hostlib/util/CRnLibrary.h"
#include "messages/WzScsiServerMessages.h"

// An ordered set of target identifiers (ascending byte order, no duplicates).
typedef std::set<std::string> TargetList;

// printf format of one LUN listing line: target#host#lun#creationTime.
#define LunTupleFmt "%s#%s#%d#%llu"

// The name of the LUN argument option carrying the creation time.
#define LUN_CREATIONTIME_ARG "creationTime"

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
  CRnError IncomingMsgXMLCallback(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server,
                                  WznHandle_t handle, CNMessageBase* message) override;
  CRnError IncomingMsgXDRCallback(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server,
                                  WznHandle_t handle, unsigned long messageId, wzsDatabuf_v2* buffer) override;
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

  // Request handlers: connection null during playback.
  CRnError StartScsiService(CWzNetwork* conn, CNMessageBase* message);
  CRnError CreateTarget(CWzNetwork* conn, CNMessageBase* message);
  CRnError DeleteTarget(CWzNetwork* conn, CNMessageBase* message);
  CRnError CreateLun(CWzNetwork* conn, CNMessageBase* message);
  CRnError CreateLunInternal(CWzNetwork* conn, CNMessageBase* message, int32_t lunId);
  CRnError DeleteLun(CWzNetwork* conn, CNMessageBase* message);
  CRnError MapHost(CWzNetwork* conn, CNMessageBase* message);
  CRnError UnMapHost(CWzNetwork* conn, CNMessageBase* message);
  CRnError Ioctl(CWzNetwork* conn, CNMessageBase* message);
  CRnError ListTargets(CWzNetwork* conn, CNMessageBase* message);
  CRnError ListLuns(CWzNetwork* conn, CNMessageBase* message, ListLunsBy by);
  CRnError OpenLun(CWzNetwork* conn, CNMessageBase* message);

  // Target helpers.
  bool TargetExists(const std::string& name);
  bool TargetExists(const std::string& name, TargetMap::iterator& position);

  // LUN helpers.
  CRnError ProcessCreateLunArgs(const std::string& args, WzScsiSrvLun& lun);
  CRnError GetLun(const std::string& targetName, int32_t lunId, Lun*& lun);

  // Action log and playback.
  CRnError LogAction(CNMessageBase* request, CNMessageBase* reply);
  CRnError Playback(bool reload);
  CRnError PlaybackTargets(bool reload);
  CRnError PlaybackLuns(const std::string& targetDir, bool reload);
  CRnError PlaybackLunMapping(const std::string& targetDir, bool reload);
  std::vector<std::string> GetTargetDirs();

  // Read access for tests, tools and the listing (copies, taken under the
  // model lock).
  TargetMap SnapshotTargets();
  std::vector<WzScsiServer::BStorType> LoadedBStorTypes();
  const std::string& GetActionLogRoot() const { return m_sActionLogRoot; }
  std::recursive_mutex& ModelMutex() { return m_modelMutex; }

 private:
  // The common handler frame. `work` runs under the model lock, fills the
  // Error record (and the reply's own fields), sets `subject` (the name in
  // the frame's log lines) and returns the handler's result. With a
  // connection: a failure is logged "Error: %s %d %s %s"; a success is saved
  // with LogAction while the model lock is still held; then the reply gets
  // the request's context and the Error record and is sent.
  typedef std::function<CRnError(WzScsiServer::Error& error, std::string& subject)> HandlerWork;
  // What a handler may leave out of the frame: the open of a closed LUN is
  // served before the service is ready and is never saved.
  struct FrameOptions {
    bool refuseIfNotReady;
    bool saveOnSuccess;
  };
  CRnError RunHandler(CWzNetwork* conn, CNMessageBase* message, const WzScsiServer::ClassId& cls,
                      WzScsiServer::Reply& reply, const HandlerWork& work);
  CRnError RunHandler(CWzNetwork* conn, CNMessageBase* message, const WzScsiServer::ClassId& cls,
                      WzScsiServer::Reply& reply, const HandlerWork& work, const FrameOptions& options);
  // Class check: error 1627 "dynamic cast failed CNMessageBase -> WzScsiServer::<word>".
  static CRnError CheckClass(const FXCodeLocation& where, CNMessageBase* message,
                             const WzScsiServer::ClassId& cls);
  // Readiness refusal: true when the request was refused and answered.
  bool RefuseIfNotReady(CWzNetwork* conn, CNMessageBase* message, WzScsiServer::Reply& reply);
  // Fills context and error and sends; logs a send failure with `subject`.
  // Returns whether the reply was sent.
  bool SendReply(CWzNetwork* conn, CNMessageBase* request, WzScsiServer::Reply& reply,
                 const WzScsiServer::Error& error, const std::string& subject, bool withSubject);

  // Pieces of the handlers, one per step where the step is long.
  CRnError CreateLunByType(WzScsiServer::CreateLun& request, WzScsiSrvLun& lun, int32_t lunId,
                           WzScsiServer::Error& error);
  CRnError DeleteLunWithBStore(WzScsiServer::DeleteLun& request, Lun& lun, TargetMap::iterator target,
                               WzScsiServer::Error& error, bool& keepLun);

  // Playback counters for the progress lines of large replays.
  struct PlaybackStats {
    size_t targets = 0, targetsFailed = 0;
    size_t luns = 0, lunsFailed = 0;
    size_t mappings = 0, mappingsFailed = 0;
    size_t present = 0;         // found in place already (reload)
    int64_t startedMs = 0;      // steady clock, when the replay began
  };

  // Replay pieces (actionlog/). CollectTargetDirs is GetTargetDirs with the
  // reason when the list could not be built although the log exists (then
  // dirs holds what was found before the failure, or nothing).
  CRnError CollectTargetDirs(std::vector<std::string>& dirs);
  // Bare names of an action-log directory in listing order, without "." and
  // ".." and without the durable writer's temporary files. opened tells an
  // open failure from one part-way (names then holds the entries read).
  static CRnError ListActionLogDir(const std::string& dir, std::vector<std::string>& names, bool& opened);
  // Counts one replayed or failed object and logs progress every so often.
  void CountPlayback(size_t PlaybackStats::*counter);
  void LogPlaybackProgress(const char* what);
  // The "rc" command and the refusal of an unknown command.
  CRnError ReloadConfig(CWzNetwork* conn, CNMessageBase* message, WzScsiServer::IoctlRsp& reply);
  CRnError RefuseIoctl(CWzNetwork* conn, CNMessageBase* message, WzScsiServer::IoctlRsp& reply,
                       const std::string& command);
  // Sends a listing's IoctlRsp (code 0, the lines as results).
  void SendListing(CWzNetwork* conn, CNMessageBase* message, std::vector<std::string>&& lines,
                   const std::string& subject);

 public:
  // Members in declaration order.
  CRnLibrary m_platformLib{true};
  std::shared_ptr<WzScsiSrvPlatform> m_ptrPlatform;
  BStorOpsMap m_mapBStorOps;
  TargetMap m_mapTargets;
  // Size of m_mapTargets, kept by the two handlers that change it, so that the
  // job-completed step never waits for the model lock (a replay holds it).
  std::atomic<size_t> m_nTargets{0};
  std::mutex m_mutex;
  std::recursive_mutex m_modelMutex;
  std::mutex m_bstorMutex;
  std::string m_sIdleSemName;
  IOnDemandSvcApp* m_pSvcApp = nullptr;
  std::string m_sActionLogRoot;
  // Atomic so that the unlocked first readiness test is not a data race; every
  // change still happens under m_mutex.
  std::atomic<ServiceInitStatus> m_eStatus{SVC_NOT_INITIALIZED};
  WzThreadPool m_threadPool;

  static std::shared_ptr<WzScsiSrv> m_ptrgSingleton;

 private:
  PlaybackStats m_playbackStats;  // guarded by m_modelMutex
};

// Free functions shared by the handlers.
// The error a handler reports when no platform driver object exists (the
// driver failed to initialise).
CRnError NoPlatformError(const FXCodeLocation& where);
bool IsValidScsiTargetName(const std::string& name);
std::string GetTargetGUID(const std::string& name);
std::string GetBStorLibName(WzScsiServer::BStorType type);
WzScsiBStorOps* GetBStoreOps(const std::string& fileName, CRnLibrary& library);
bool isLunOpenOnlyRequest(CNMessageBase* request);
bool isDevSnapLun(const WzScsiSrvLun& lun);
CRnError GetLunId(const std::string& args, int32_t& lunId);
void ReadLunCreationTime(const CCommandLineArguments& args, WzScsiSrvLun& lun);
void SetLunCreationTime(WzScsiServer::BStoreDesc& desc, uint64_t time);
void SetBstorProperty(WzScsiServer::BStoreDesc& desc, const std::string& name, const std::string& value);
CRnError GetPreInitTargets(TargetList& targets);
std::string GetPreInitTargetRegKeyValue();
CRnError GetPreInitTargetList(const std::string& value, std::vector<std::string>& names);

// Pool worker functions.
extern "C" void* WzScsiSrvHandleMessage(void* item);
extern "C" void* WzScsiSrvIgnoreMessage(void* item);

// Exported entry of the plug-in.
extern "C" WZ_EXPORT IOnDemandSvcInterface* GetOnDemandSvcLibInstance();
