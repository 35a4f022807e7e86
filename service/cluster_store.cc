#include "service/cluster_store.h"

#include <future>

#include "actionlog/action_log_layout.h"
#include "actionlog/action_log_writer.h"
#include "cluster/cluster_keys.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/RnFiles.h"
#include "service/handler_frame.h"

namespace Keys = WzScsiSrvClusterKeys;
namespace Layout = WzScsiSrvActionLog;
using R = WzScsiSrvRefusal;

namespace {

std::string ParentOf(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? std::string("/") : path.substr(0, slash);
}

// One addition's file in the local cache, written in two steps around its
// commit: Prepare (the directories it needs, durably, and the content under
// a temporary name, synced) runs while the commit travels; Finish (the
// rename and the directory's fsync) only after the commit held; Abandon
// takes out what Prepare made. Only a new file is written so: a file that
// is replaced (a target's CHAP) keeps the one-step save, which needs no undo.
class CacheFile {
 public:
  // targetDir: a new target's (its file and LUN and mapping folders are
  // made); otherwise empty and path names the file.
  CacheFile(std::string path, int mode, std::string targetDir)
      : m_path(std::move(path)), m_mode(mode), m_targetDir(std::move(targetDir)) {}

  void Prepare(const std::string& text) {
    const std::string dir = ParentOf(m_path);
    for (std::string p = dir; p.size() > 1 && !CRnPath::Exists(p); p = ParentOf(p)) m_made.push_back(p);
    m_error = CRnDirectory::Create(dir, true);
    if (m_error.IsSuccess() && !m_targetDir.empty())
      for (const std::string& sub : {Layout::LunsDir(m_targetDir), Layout::MappingsDir(m_targetDir)})
        if (m_error.IsSuccess()) m_error = CRnDirectory::Create(sub, true);
    // The new directories' names are made durable now; the file's own
    // directory is synced by Finish, after the rename.
    for (const std::string& made : m_made)
      if (m_error.IsSuccess()) m_error = FXFile::SyncDirectory(ParentOf(made));
    if (m_error.IsSuccess()) m_error = m_file->Open(m_path, static_cast<mode_t>(m_mode));
    if (m_error.IsSuccess()) m_error = m_file->File().Write(text.data(), text.size());
    if (m_error.IsSuccess()) m_error = m_file->File().Sync();
  }

  CRnError Finish() {
    if (m_error.IsError()) return m_error;
    return m_file->Commit();
  }

  // What Prepare made goes: the temporary file (the atomic file's
  // destructor) and the directories it made, inside the target's only
  // (others may be shared with changes of other targets).
  void Abandon(const std::string& targetDir) {
    m_file.reset();
    for (const std::string& made : m_made)
      if (made.compare(0, targetDir.size(), targetDir) == 0) {
        CRnError ignored = CRnDirectory::Remove(made, true, false);
        (void)ignored;
      }
  }

 private:
  const std::string m_path;
  const int m_mode;
  const std::string m_targetDir;
  std::vector<std::string> m_made;  // innermost first
  std::unique_ptr<CRnAtomicFile> m_file = std::make_unique<CRnAtomicFile>();
  CRnError m_error;
};

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

WzScsiSrvClusterStore::~WzScsiSrvClusterStore() = default;

WzScsiSrvClusterStore::CacheWriters::~CacheWriters() {
  std::vector<std::thread> threads;
  {
    WzMutexLock lock(&m_mutex);
    m_stop = true;
    threads.swap(m_threads);
  }
  m_wake.SignalAll();
  for (std::thread& t : threads) t.join();
}

void WzScsiSrvClusterStore::CacheWriters::Run(std::function<void()> job) {
  WzMutexLock lock(&m_mutex);
  m_jobs.push_back(std::move(job));
  if (m_idle >= m_jobs.size()) {
    m_wake.Signal();
    return;
  }
  m_threads.emplace_back([this] { Loop(); });
}

void WzScsiSrvClusterStore::CacheWriters::Loop() {
  for (;;) {
    std::function<void()> job;
    {
      WzMutexLock lock(&m_mutex);
      while (m_jobs.empty() && !m_stop) {
        ++m_idle;
        m_wake.Wait(&m_mutex);
        --m_idle;
      }
      if (m_jobs.empty()) return;
      job = std::move(m_jobs.front());
      m_jobs.pop_front();
    }
    job();
  }
}

CRnError WzScsiSrvClusterStore::Record(WzScsiSrvHandlerContext& ctx) {
  std::string text;
  if (CRnError e = WzScsiSrvActionLogWriter::SavedText(ctx.Request(), text))
    return ctx.Refuse(R::TOO_LARGE_TO_SAVE, FX_HERE, e);
  const WzScsiSrvRequestClass& row = ctx.Class();
  const std::string targetDir = Layout::TargetDir(ctx.Services().ActionLogRoot(), ctx.TargetName());
  const bool newTarget = row.lock == WzScsiSrvTargetLock::NEW_TARGET;
  const std::string path = row.savedPath == nullptr ? std::string()
                           : newTarget              ? Layout::TargetFile(targetDir)
                                       : row.savedPath(targetDir, ctx.Request(), WzScsiSrvSavedLunId(ctx.Reply()));
  // The cache's file is written while the commit travels, unless it
  // replaces one (undoing that would need the old content).
  std::unique_ptr<CacheFile> cache;
  std::future<void> written;
  if (!path.empty() && !CRnPath::Exists(path)) {
    cache = std::make_unique<CacheFile>(path, row.savedMode, newTarget ? targetDir : std::string());
    auto done = std::make_shared<std::promise<void>>();
    written = done->get_future();
    CacheFile* file = cache.get();
    m_writers.Run([file, &text, done] {
      file->Prepare(text);
      done->set_value();
    });
  }
  CRnError committed = Commit(ctx, text);
  if (cache) written.wait();
  if (committed.IsError()) {
    if (cache) cache->Abandon(targetDir);
    return committed;
  }
  CRnError saved = cache ? cache->Finish() : m_cache.LogAction(ctx);
  if (saved.IsError())
    WZLOG(-1, "The change of %s is committed to the cluster but not to the local cache: %s", ctx.Subject().c_str(),
          saved.AsString().c_str());
  return CRnError();
}

CRnError WzScsiSrvClusterStore::Commit(WzScsiSrvHandlerContext& ctx, const std::string& text) {
  const WzScsiSrvRequestClass& row = ctx.Class();
  if (row.cluster == nullptr)
    return ctx.Refuse(R::INTERNAL_ERROR, FX_HERE, CRnError(), "no cluster key for this request");
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
  // One round trip: the transaction itself checks that nothing is under the
  // object, and its failure branch reads what is, to tell the two refusals
  // apart.
  std::vector<WzEtcdOp> failure;
  if (!change.dependants.empty()) {
    change.compares.push_back(WzEtcdCompare::NoneUnder(change.dependants));
    failure.push_back(WzEtcdOp::GetPrefix(change.dependants));
  }
  // The cluster's change counter goes with every change, removals too.
  change.ops.push_back(WzEtcdOp::Put(Keys::RevKey(m_prefix), ""));
  WzEtcdTxnResult result;
  if (CRnError e = m_etcd->Txn(change.compares, change.ops, failure, result)) {
    if (!WzEtcd::IsOutcomeUnknown(e)) return Refuse(ctx, e, FX_HERE);
    m_available = false;
    return ctx.Refuse(R::CLUSTER_OUTCOME_UNKNOWN, FX_HERE, CRnError(), WzEtcd::Reason(e));
  }
  m_available = true;
  if (!result.succeeded && !failure.empty() && !result.results.empty() && !result.results[0].kvs.empty())
    return ctx.Refuse(R::CLUSTER_DEPENDANTS, FX_HERE);
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
