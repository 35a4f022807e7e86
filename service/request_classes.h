// The request classes: one row per class holds every fact about it that is
// not its handler's own work, read top to bottom:
//   - its tag, the class of its reply, the handler the dispatcher binds and
//     the pool worker that runs it (a row without a worker is a variant of
//     another row's class: an open is a CreateLun with the OpenOnly flag);
//   - its frame: what it does to the saved configuration (nothing, adds or
//     removes), which target it locks, whether it waits for the start;
//   - what it records: the action-log file it saves or takes out, and its
//     keys and conditions in a cluster's etcd;
//   - how it is undone: an addition's engine step is undone by the undo its
//     work registers; a removal's record, set aside before the engine step,
//     is put back;
//   - the words of its audit line.
// A tag id is dispatched by one row at most (tables_test.cc).
//
// Thread safety: constant data and pure functions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "change/handler_context.h"
#include "change/refusals.h"
#include "cluster/etcd_types.h"
#include "hostlib/pool/WzThreadPool.h"
#include "messages/WzScsiServerMessages.h"

class WzScsiSrv;
class CWzNetwork;

// A change in a cluster's etcd, as its request class writes it.
//   An addition puts key (and the target's change counter) under the
//   conditions compares; conflict (with conflictDetail) when they fail.
//   A removal runs ops (a Get before each Delete, so that what it takes out
//   can be put back) under compares, once dependants (a key prefix) holds
//   nothing: what was added under the object meanwhile.
struct WzScsiSrvClusterChange {
  std::string key;
  std::vector<WzEtcdCompare> compares;
  std::vector<WzEtcdOp> ops;
  std::string dependants;
  WzScsiSrvRefusal conflict = WzScsiSrvRefusal::CLUSTER_CONFLICT;
  std::string conflictDetail;
};

struct WzScsiSrvRequestClass {
  typedef CRnError (WzScsiSrv::*Handler)(CWzNetwork*, CNMessageBase*);

  const WzScsiServer::ClassId* cls;
  const WzScsiServer::ClassId* reply;
  Handler handler;        // null: recognised but not served (answered with an error)
  WzWorkFunction worker;  // null: not dispatched by this row
  WzScsiSrvChangeKind kind;
  WzScsiSrvTargetLock lock;
  bool refuseIfNotReady;
  // The saved file (a removed target: its directory) in the target's
  // directory; lunId is the new LUN's number (-1 for other classes). Null:
  // nothing saved.
  std::string (*savedPath)(const std::string& targetDir, const WzScsiServer::Message& request, int32_t lunId);
  int savedMode;  // 0600 for what holds secrets
  // The change in etcd: keys under prefix for target (lower-cased). Null:
  // nothing in etcd.
  void (*cluster)(const std::string& prefix, const std::string& target, const WzScsiServer::Message& request,
                  int32_t lunId, WzScsiSrvClusterChange& change);
  // The request in the words of its audit line (the target name folded
  // already). Secrets never appear.
  std::string (*describe)(const WzScsiServer::Message& request, const WzScsiServer::Reply& reply);
};

namespace WzScsiSrvRequests {
extern const WzScsiSrvRequestClass kCreateTarget;
extern const WzScsiSrvRequestClass kDeleteTarget;
extern const WzScsiSrvRequestClass kCreateLun;
extern const WzScsiSrvRequestClass kOpenLun;
extern const WzScsiSrvRequestClass kDeleteLun;
extern const WzScsiSrvRequestClass kMapHost;
extern const WzScsiSrvRequestClass kUnMapHost;
extern const WzScsiSrvRequestClass kSetTargetAuth;
extern const WzScsiSrvRequestClass kResizeLun;
extern const WzScsiSrvRequestClass kStartScsiService;
extern const WzScsiSrvRequestClass kIoctl;
// What a reconcile tells the engine about one target, LUN or binding, carried
// by the request of its object's class: nothing is recorded and the model
// does not change (it holds the configuration already).
extern const WzScsiSrvRequestClass kReconcileTarget;
extern const WzScsiSrvRequestClass kReconcileLun;
extern const WzScsiSrvRequestClass kReconcileHost;
}  // namespace WzScsiSrvRequests

// Every row, and their number.
const WzScsiSrvRequestClass* const* WzScsiSrvRequestClasses(size_t& count);
// The row that dispatches a tag id; null for a message this service does
// not recognise.
const WzScsiSrvRequestClass* WzScsiSrvFindRequestClass(uint32_t tagId);
// The field that names a request's target.
const WzScsiServer::FieldId& WzScsiSrvTargetField(uint32_t tagId);
// The LUN number a CreateLunRsp carries (-1 for other replies).
int32_t WzScsiSrvSavedLunId(const WzScsiServer::Reply& reply);
