// The cluster's record store: several gateways serve one configuration kept
// in etcd, under /wzscsi/<cluster>/ (cluster/cluster_keys.h).
//
// A change of a client runs as on a gateway of its own, with etcd as the
// record: an addition is committed to etcd (a transaction that checks that
// its name or number is still free and its parent still there) after the
// engine step and before the reply, and undone in the engine when the
// commit fails; a removal takes its keys out of etcd before the engine step
// and puts them back when that fails. The local action log is kept as a
// cache: written after each commit, rewritten from etcd at every start and
// resync, and replayed alone when etcd cannot be reached at a start.
//
// The store also holds what the gateway's follower (service/cluster_follower.h)
// shares with the changes: whether etcd answers, the revisions of this
// gateway's own commits (whose watch events are skipped) and etcd's revision.
//
// Thread safety: safe for concurrent use.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "change/record_store.h"
#include "cluster/etcd_client.h"
#include "hostlib/util/wz_mutex.h"
#include "service/action_log_store.h"

class WzScsiSrvClusterStore : public WzScsiSrvRecordStore {
 public:
  // etcd: the client of the changes; quick: the same members with half the
  // deadline (probes, the re-read of a commit whose answer was lost).
  // cache: the store that writes the local action log.
  WzScsiSrvClusterStore(std::string name, std::unique_ptr<WzScsiSrvEtcdClient> etcd,
                        std::unique_ptr<WzScsiSrvEtcdClient> quick, WzScsiSrvActionLogStore& cache);
  ~WzScsiSrvClusterStore() override;
  WzScsiSrvClusterStore(const WzScsiSrvClusterStore&) = delete;
  WzScsiSrvClusterStore& operator=(const WzScsiSrvClusterStore&) = delete;

  // Refused at once, without a wait for etcd's deadline, while no member
  // answered the last probe.
  CRnError Admit(WzScsiSrvHandlerContext& ctx) override;
  // Committed to etcd while the local cache's file is written and synced
  // under a temporary name; the file takes its place once the commit holds
  // and is removed when it does not, so a refused or lost commit leaves
  // nothing in the cache, even after a crash. A cache that cannot be
  // written is only logged: the cluster holds the record.
  CRnError Record(WzScsiSrvHandlerContext& ctx) override;
  // The cache file set aside; for the request's own record, its keys taken
  // out of etcd too: the removal is the cluster's first, so no other gateway
  // may add under the object meanwhile.
  CRnError SetAside(WzScsiSrvHandlerContext& ctx, const std::string& path) override;
  // After a failed removal the keys go back into etcd.
  void EndRemoval(WzScsiSrvHandlerContext& ctx, bool done) override;

  const std::string& Name() const { return m_name; }
  const std::string& Prefix() const { return m_prefix; }
  WzScsiSrvEtcdClient& Etcd() { return *m_etcd; }
  WzScsiSrvEtcdClient& Quick() { return *m_quick; }

  // Whether etcd answered the last probe or change.
  bool Available() const { return m_available.load(); }
  void SetAvailable(bool available) { m_available = available; }
  // A fenced gateway takes no change of a client: it is not current.
  bool Fenced() const { return m_fenced.load(); }
  void SetFenced(bool fenced) { m_fenced = fenced; }
  // etcd's revision as last seen (a probe, a commit, an event).
  int64_t StoreRevision() const { return m_storeRevision.load(); }
  void NoteStoreRevision(int64_t revision);
  // The revisions of this gateway's own commits.
  void NoteOwnRevision(int64_t revision) WZ_EXCLUDES(m_ownMutex);
  // Which of these revisions are this gateway's own; they are forgotten.
  std::set<int64_t> TakeOwnRevisions(const std::set<int64_t>& revisions) WZ_EXCLUDES(m_ownMutex);
  void ForgetOwnRevisions() WZ_EXCLUDES(m_ownMutex);

 private:
  // Threads that write the cache while a commit travels to etcd: started
  // as changes run at once, kept for the next ones.
  class CacheWriters {
   public:
    CacheWriters() = default;
    ~CacheWriters() WZ_EXCLUDES(m_mutex);
    CacheWriters(const CacheWriters&) = delete;
    CacheWriters& operator=(const CacheWriters&) = delete;
    void Run(std::function<void()> job) WZ_EXCLUDES(m_mutex);

   private:
    void Loop() WZ_EXCLUDES(m_mutex);
    WzMutex m_mutex;
    WzCondVar m_wake{&m_mutex};
    std::deque<std::function<void()>> m_jobs WZ_GUARDED_BY(m_mutex);
    size_t m_idle WZ_GUARDED_BY(m_mutex) = 0;
    bool m_stop WZ_GUARDED_BY(m_mutex) = false;
    std::vector<std::thread> m_threads WZ_GUARDED_BY(m_mutex);
  };

  CRnError Refuse(WzScsiSrvHandlerContext& ctx, const CRnError& error, const FXCodeLocation& where);
  CRnError Commit(WzScsiSrvHandlerContext& ctx, const std::string& text);
  CRnError Remove(WzScsiSrvHandlerContext& ctx);
  void PutBack(WzScsiSrvHandlerContext& ctx);

  const std::string m_name;
  const std::string m_prefix;
  std::unique_ptr<WzScsiSrvEtcdClient> m_etcd;
  std::unique_ptr<WzScsiSrvEtcdClient> m_quick;
  WzScsiSrvActionLogStore& m_cache;
  std::atomic<bool> m_available{false};
  std::atomic<bool> m_fenced{false};
  std::atomic<int64_t> m_storeRevision{0};
  WzMutex m_ownMutex;
  std::set<int64_t> m_ownRevisions WZ_GUARDED_BY(m_ownMutex);
  CacheWriters m_writers;
};
