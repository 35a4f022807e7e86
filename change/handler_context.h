// What a request handler's work sees of its change: the request and reply,
// its target locked for the change, the refusal table, the steps it
// registers with the frame (the model change, the undo of its driver calls,
// the setting aside of what it removes), and the few facts it asks of the
// service (WzScsiSrvHandlerServices). The service's handler frame
// (service/handler_frame.h) makes the context, runs the work and does the
// rest of the one sequence every change takes.
//
// Thread safety: a context is used by the one thread that runs its change;
// the services are safe for concurrent use.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "actionlog/action_log_writer.h"
#include "change/record_store.h"
#include "change/refusals.h"
#include "drivers/WzScsiBStorOps.h"
#include "drivers/WzScsiSrvPlatform.h"
#include "drivers/WzScsiSrvRecords.h"
#include "messages/WzScsiServerMessages.h"

class WzScsiSrv;
class WzScsiSrvBackingClaim;
struct WzScsiSrvRequestClass;

// What a request does to the saved configuration.
enum class WzScsiSrvChangeKind {
  QUERY,   // changes nothing saved (an open, a close, a listing, a reconcile)
  RECORD,  // adds something: recorded after its engine step
  ERASE,   // removes something: its record is set aside before its engine step
};

// Which target a request locks for its change.
enum class WzScsiSrvTargetLock {
  NO_TARGET,   // touches no target
  TARGET,      // the existing target the request names
  NEW_TARGET,  // creates the target the request names (and its saved directory)
};

// What a handler's work may ask of the service beyond its locked target.
// The service object implements it.
class WzScsiSrvHandlerServices {
 public:
  // The platform driver; null when it failed to initialise.
  virtual WzScsiSrvPlatform* Platform() = 0;
  virtual const std::string& ActionLogRoot() const = 0;
  // The backing store of a type, loaded on first use; null when it has no
  // library or it cannot be loaded.
  virtual WzScsiBStorOps* GetUserDefBStoreOps(WzScsiServer::BStorType type) = 0;
  // Fills lun from a CreateLun's argument string (luns/lun_args.h).
  virtual CRnError ProcessCreateLunArgs(const std::string& args, WzScsiSrvLun& lun) = 0;
  // The LUN number of target (locked by the change); an error when it has none.
  virtual CRnError GetLun(WzScsiSrvModelTarget& target, int32_t number, WzScsiSrvModelLun*& lun) = 0;
  // Whether the settings allow lun's backing (BackingStoreDirs for a file or
  // device, RbdPools for an RBD image); the reason when not. A file's path
  // becomes the resolved one that was checked.
  virtual CRnError CheckBackingStore(WzScsiSrvLun& lun) = 0;
  // The other LUN of the service than LUN lun.lunId of target (lower-cased)
  // ("LUN 2 of target iqn...") whose file or device is lun's (same inode, or
  // same device number for a block device), a LUN being created included;
  // empty when there is none. Then claim holds lun's file (null when it has
  // none to hold) until it is released once the model holds the LUN, or
  // destroyed when the create fails: no other create can take it meanwhile.
  virtual std::string BackingStoreUser(const std::string& target, const WzScsiSrvLun& lun,
                                       std::shared_ptr<WzScsiSrvBackingClaim>& claim) = 0;
  // The Ceph identity of this gateway's RBD LUNs ("conf=FILE;id=USER").
  virtual const std::string& RbdIdentity() const = 0;
  // Whether other gateways serve the same configuration (cluster mode): a
  // shared RBD image is then never removed with its LUN, since this gateway
  // cannot know that the others have let go of it.
  virtual bool SharedWithOtherGateways() const = 0;
  // What the last replay could not restore keeps its name or number taken.
  virtual bool IsUnrestoredTarget(const std::string& dirName) = 0;
  virtual bool IsUnrestoredLun(const std::string& target, int32_t lunId) = 0;
  virtual void ForgetUnrestored(const std::string& dirName, const std::string& target, int32_t lunId) = 0;
  // Why chap's user names cannot be used on target (another target has one
  // of them with another secret); empty when they can.
  virtual std::string ChapUserConflict(const std::string& target, const WzScsiSrvChap& chap) = 0;
  // Runs change under the model lock.
  virtual void ChangeModel(const std::function<void()>& change) = 0;

 protected:
  ~WzScsiSrvHandlerServices() = default;
};

class WzScsiSrvHandlerContext {
 public:
  // row: the request class's row (service/request_classes.h), for the record
  // stores; kind: what the change does to the saved configuration.
  WzScsiSrvHandlerContext(WzScsiSrvHandlerServices& services, WzScsiSrvRecordStore& store,
                          const WzScsiSrvRequestClass& row, WzScsiSrvChangeKind kind, WzScsiServer::Message& request,
                          WzScsiServer::Reply& reply, bool fromClient);
  WzScsiSrvHandlerContext(const WzScsiSrvHandlerContext&) = delete;
  WzScsiSrvHandlerContext& operator=(const WzScsiSrvHandlerContext&) = delete;

  WzScsiSrvHandlerServices& Services() { return m_services; }
  WzScsiSrvPlatform* Platform() { return m_services.Platform(); }
  const WzScsiSrvRequestClass& Class() const { return m_class; }
  WzScsiServer::Message& Request() { return m_request; }
  WzScsiServer::Reply& Reply() { return m_reply; }
  WzScsiServer::Error& Error() { return m_error; }
  // A client's request, not a replay, a reconcile or another gateway's change.
  bool FromClient() const { return m_fromClient; }
  // The lower-cased name of the request's target ("" for none).
  const std::string& TargetName() const { return m_targetName; }
  // The target the request names, locked for this change; null when it does
  // not exist (or, for a new target, always).
  WzScsiSrvModelTarget* Target() { return m_target; }
  // A new target's name is taken already (by a target, or by a create of it
  // that finished first).
  bool TargetTaken() const { return m_taken; }
  // The model changes of a new target's creation and of a target's deletion.
  void CommitNewTarget(const WzScsiSrvModelTarget& target) { m_newTarget = target; }
  void CommitTargetGone() { m_targetGone = true; }
  // The name in the frame's log lines (the target's, by default).
  void SetSubject(const std::string& subject) { m_subject = subject; }
  const std::string& Subject() const { return m_subject; }
  // The LUN number and host a refusal names besides the target (the target
  // and its LUN numbers are filled in by Refuse).
  WzScsiSrvRefusalNames& RefusalNames() { return m_names; }

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
  // How long the set-asides took: the record's part of a removal's work.
  std::chrono::steady_clock::duration SetAsideTime() const { return m_asideTime; }

 private:
  friend class WzScsiSrv;  // the frame

  WzScsiSrvHandlerServices& m_services;
  WzScsiSrvRecordStore& m_store;
  const WzScsiSrvRequestClass& m_class;
  const WzScsiSrvChangeKind m_kind;
  WzScsiServer::Message& m_request;
  WzScsiServer::Reply& m_reply;
  const bool m_fromClient;
  WzScsiServer::Error m_error;
  std::string m_targetName;
  std::string m_subject;
  WzScsiSrvRefusalNames m_names;
  WzScsiSrvModelTarget* m_target = nullptr;
  bool m_taken = false;
  std::optional<WzScsiSrvModelTarget> m_newTarget;
  bool m_targetGone = false;
  std::vector<WzScsiSrvSetAside> m_asides;
  std::unique_ptr<WzScsiSrvRecordStore::Removal> m_removal;
  std::chrono::steady_clock::duration m_asideTime{0};
  std::vector<std::function<void()>> m_commits;
  std::vector<std::function<void()>> m_undos;
  bool m_skipSave = false;
  bool m_keepOnFailure = false;
};

// The LUN a request names within the locked target. A missing target or LUN
// is refused with the given rows (target first, then LUN).
CRnError WzScsiSrvFindLun(WzScsiSrvHandlerContext& ctx, int32_t lunId, WzScsiSrvModelLun*& lun,
                          WzScsiSrvRefusal noTarget = WzScsiSrvRefusal::TARGET_MISSING,
                          WzScsiSrvRefusal noLun = WzScsiSrvRefusal::LUN_MISSING);

// The error a handler reports when no platform driver object exists (the
// driver failed to initialise).
CRnError NoPlatformError(const FXCodeLocation& where);
