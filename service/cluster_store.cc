#include "service/cluster_store.h"

#include "actionlog/action_log_writer.h"
#include "cluster/cluster_keys.h"
#include "hostlib/log/LogWriter.h"
#include "service/handler_frame.h"

namespace Keys = WzScsiSrvClusterKeys;
using R = WzScsiSrvRefusal;

namespace {

// What a removal took out of etcd, to be put back when its engine step fails.
class ClusterRemoval : public WzScsiSrvRecordStore::Removal {
 public:
  explicit ClusterRemoval(std::vector<WzEtcdKeyValue> kvs) : removed(std::move(kvs)) {}
  std::vector<WzEtcdKeyValue> removed;
};

}  // namespace

WzScsiSrvClusterStore::WzScsiSrvClusterStore(std::string name, std::unique_ptr<WzScsiSrvEtcdClient> etcd,
                                             std::unique_ptr<WzScsiSrvEtcdClient> quick, WzScsiSrvActionLogStore& cache)
    : m_name(std::move(name)),
      m_prefix(Keys::Prefix(m_name)),
      m_etcd(std::move(etcd)),
      m_quick(std::move(quick)),
      m_cache(cache) {}

void WzScsiSrvClusterStore::NoteStoreRevision(int64_t revision) {
  int64_t known = m_storeRevision.load();
  while (revision > known && !m_storeRevision.compare_exchange_weak(known, revision)) {
  }
}

void WzScsiSrvClusterStore::NoteOwnRevision(int64_t revision) {
  WzMutexLock lock(&m_ownMutex);
  m_ownRevisions.insert(revision);
}

std::set<int64_t> WzScsiSrvClusterStore::TakeOwnRevisions(const std::set<int64_t>& revisions) {
  std::set<int64_t> own;
  WzMutexLock lock(&m_ownMutex);
  for (int64_t revision : revisions)
    if (m_ownRevisions.erase(revision) != 0) own.insert(revision);
  return own;
}

void WzScsiSrvClusterStore::ForgetOwnRevisions() {
  WzMutexLock lock(&m_ownMutex);
  m_ownRevisions.clear();
}

CRnError WzScsiSrvClusterStore::Refuse(WzScsiSrvHandlerContext& ctx, const CRnError& error,
                                       const FXCodeLocation& where) {
  m_available = false;
  return ctx.Refuse(R::CLUSTER_UNAVAILABLE, where, CRnError(), ": " + WzEtcd::Reason(error));
}

CRnError WzScsiSrvClusterStore::Admit(WzScsiSrvHandlerContext& ctx) {
  if (m_fenced.load())
    return ctx.Refuse(R::CLUSTER_UNAVAILABLE, FX_HERE, CRnError(),
                      ": this gateway is fenced until it has caught up with the cluster");
  if (m_available.load()) return CRnError();
  return ctx.Refuse(R::CLUSTER_UNAVAILABLE, FX_HERE, CRnError(), ": no member answered the last probe");
}

CRnError WzScsiSrvClusterStore::Record(WzScsiSrvHandlerContext& ctx) {
  if (CRnError e = Commit(ctx)) return e;
  if (CRnError saved = m_cache.LogAction(ctx))
    WZLOG(-1, "The change of %s is committed to the cluster but not to the local cache: %s", ctx.Subject().c_str(),
          saved.AsString().c_str());
  return CRnError();
}

CRnError WzScsiSrvClusterStore::Commit(WzScsiSrvHandlerContext& ctx) {
  const WzScsiSrvRequestClass& row = ctx.Class();
  if (row.cluster == nullptr)
    return ctx.Refuse(R::INTERNAL_ERROR, FX_HERE, CRnError(), "no cluster key for this request");
  std::string text;
  if (CRnError e = WzScsiSrvActionLogWriter::SavedText(ctx.Request(), text))
    return ctx.Refuse(R::TOO_LARGE_TO_SAVE, FX_HERE, e);
  const int32_t lunId = WzScsiSrvSavedLunId(ctx.Reply());
  WzScsiSrvClusterChange change;
  row.cluster(m_prefix, ctx.TargetName(), ctx.Request(), lunId, change);
  const std::vector<WzEtcdOp> success = {WzEtcdOp::Put(change.key, text),
                                         WzEtcdOp::Put(Keys::SeqKey(m_prefix, ctx.TargetName()), ""),
                                         WzEtcdOp::Put(Keys::RevKey(m_prefix), "")};
  WzEtcdTxnResult result;
  if (CRnError e = m_etcd->Txn(change.compares, success, {}, result)) {
    if (!WzEtcd::IsOutcomeUnknown(e)) return Refuse(ctx, e, FX_HERE);
    // A commit whose answer was lost may have been made: the key tells, if
    // etcd answers soon.
    WzEtcdRange read;
    CRnError reread = m_quick->Get(change.key, read);
    if (reread.IsError() || read.kvs.empty() || read.kvs[0].value != text) {
      if (reread.IsError()) m_available = false;
      return ctx.Refuse(R::CLUSTER_OUTCOME_UNKNOWN, FX_HERE, CRnError(), WzEtcd::Reason(e));
    }
    result.succeeded = true;
    result.revision = read.kvs[0].modRevision;
  }
  m_available = true;
  if (!result.succeeded) return ctx.Refuse(change.conflict, FX_HERE, CRnError(), change.conflictDetail);
  NoteStoreRevision(result.revision);
  NoteOwnRevision(result.revision);
  return CRnError();
}

CRnError WzScsiSrvClusterStore::SetAside(WzScsiSrvHandlerContext& ctx, const std::string& path) {
  if (CRnError e = m_cache.SetAside(ctx, path)) return e;
  if (!path.empty()) return CRnError();
  return Remove(ctx);
}

CRnError WzScsiSrvClusterStore::Remove(WzScsiSrvHandlerContext& ctx) {
  const WzScsiSrvRequestClass& row = ctx.Class();
  if (row.kind != WzScsiSrvChangeKind::ERASE || row.cluster == nullptr) return CRnError();
  WzScsiSrvClusterChange change;
  row.cluster(m_prefix, ctx.TargetName(), ctx.Request(), -1, change);
  if (!change.dependants.empty()) {
    // What is under the object now, and the target's change counter: the
    // removal goes through only if nothing was added since.
    const std::string seqKey = Keys::SeqKey(m_prefix, ctx.TargetName());
    WzEtcdTxnResult read;
    if (CRnError e = m_etcd->Txn({}, {WzEtcdOp::Get(seqKey), WzEtcdOp::GetPrefix(change.dependants)}, {}, read))
      return Refuse(ctx, e, FX_HERE);
    if (read.results.size() == 2 && !read.results[1].kvs.empty()) return ctx.Refuse(R::CLUSTER_DEPENDANTS, FX_HERE);
    const int64_t seqRevision =
        read.results.empty() || read.results[0].kvs.empty() ? 0 : read.results[0].kvs[0].modRevision;
    change.compares.push_back(WzEtcdCompare::ModRevisionIs(seqKey, seqRevision));
  }
  // The cluster's change counter goes with every change, removals too.
  change.ops.push_back(WzEtcdOp::Put(Keys::RevKey(m_prefix), ""));
  WzEtcdTxnResult result;
  if (CRnError e = m_etcd->Txn(change.compares, change.ops, {}, result)) {
    if (!WzEtcd::IsOutcomeUnknown(e)) return Refuse(ctx, e, FX_HERE);
    m_available = false;
    return ctx.Refuse(R::CLUSTER_OUTCOME_UNKNOWN, FX_HERE, CRnError(), WzEtcd::Reason(e));
  }
  m_available = true;
  if (!result.succeeded) return ctx.Refuse(change.conflict, FX_HERE, CRnError(), change.conflictDetail);
  ctx.StoreRemoval() =
      std::make_unique<ClusterRemoval>(result.results.empty() ? std::vector<WzEtcdKeyValue>() : result.results[0].kvs);
  NoteStoreRevision(result.revision);
  NoteOwnRevision(result.revision);
  return CRnError();
}

void WzScsiSrvClusterStore::EndRemoval(WzScsiSrvHandlerContext& ctx, bool done) {
  if (!done) PutBack(ctx);
  m_cache.EndRemoval(ctx, done);
}

void WzScsiSrvClusterStore::PutBack(WzScsiSrvHandlerContext& ctx) {
  auto* removal = dynamic_cast<ClusterRemoval*>(ctx.StoreRemoval().get());
  if (removal == nullptr || removal->removed.empty()) return;
  std::vector<WzEtcdOp> puts;
  for (const WzEtcdKeyValue& kv : removal->removed) puts.push_back(WzEtcdOp::Put(kv.key, kv.value));
  puts.push_back(WzEtcdOp::Put(Keys::SeqKey(m_prefix, ctx.TargetName()), ""));
  puts.push_back(WzEtcdOp::Put(Keys::RevKey(m_prefix), ""));
  WzEtcdTxnResult result;
  if (CRnError e = m_etcd->Txn({}, puts, {}, result)) {
    // The engine still holds the object; the other gateways remove it and
    // this one does at its next resync.
    WZLOG(-1, "The removal of %s failed in the engine and could not be put back into the cluster: %s",
          ctx.Subject().c_str(), e.AsString().c_str());
    return;
  }
  NoteOwnRevision(result.revision);
}
