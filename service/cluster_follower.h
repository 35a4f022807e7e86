// The follower of a cluster: every gateway watches the cluster's prefix in
// etcd and applies the other gateways' changes through the same change path
// a replay uses (every check runs, nothing is recorded again); after a gap
// in the watch (compaction, etcd unreachable) it reads the prefix whole,
// makes its cache, model and engine match it, and watches on from there.
//
// One round of its loop, every second or when the watch ends:
//   Probe         a linearizable read: whether etcd has a quorum now;
//   Resync        after a gap: read the prefix whole, rewrite the cache,
//                 take out what the cache lacks, replay it, reconcile;
//   Watch         otherwise, a watch from the next revision if none runs.
// The watch's updates run ApplyEvents: this gateway's own commits are
// skipped, each other event is mirrored into the cache (which follows etcd
// whatever the engine does) and then applied; one that cannot be applied is
// logged (a LUN refused by a check is listed by status as not restored).
//
// Thread safety: Start, Stop and the status may be called from any thread;
// the rounds run on the follower's worker, the updates on the watch's thread,
// each batch of events with no change of a client in progress.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "cluster/cluster_keys.h"
#include "cluster/etcd_client.h"
#include "drivers/WzScsiSrvRecords.h"
#include "hostlib/util/wz_mutex.h"
#include "hostlib/util/wz_periodic_worker.h"
#include "service/cluster_store.h"

// What the follower asks of the service (WzScsiSrv implements it).
class WzScsiSrvClusterApplier {
 public:
  typedef std::map<std::string, WzScsiSrvModelTarget> Model;

  virtual ~WzScsiSrvClusterApplier() = default;
  // The root of the action log: the cluster's local cache.
  virtual const std::string& CacheRoot() const = 0;
  // Runs apply while no change of a client is in progress.
  virtual void WhileNoChangeRuns(const std::function<void()>& apply) = 0;
  // The cache's saved requests of one object, replayed as by a reload: a
  // target (its directory, its CHAP and what it holds), its CHAP alone, a
  // LUN, a mapping.
  virtual CRnError ApplyTarget(const std::string& targetDir) = 0;
  virtual CRnError ApplyAuth(const std::string& targetDir, const std::string& target) = 0;
  virtual CRnError ApplyLun(const std::string& path, const std::string& target) = 0;
  virtual CRnError ApplyMapping(const std::string& path, const std::string& target) = 0;
  // Removals, through the handlers; nothing is recorded.
  virtual CRnError RemoveTarget(const std::string& target) = 0;
  virtual CRnError RemoveLun(const std::string& target, int32_t lun) = 0;
  virtual CRnError RemoveMapping(const std::string& target, int32_t lun, const std::string& host) = 0;
  virtual CRnError TurnChapOff(const std::string& target) = 0;
  // Whether the model holds the object a key names.
  virtual bool Holds(const WzScsiSrvClusterKeys::Parsed& key) = 0;
  // A copy of the model.
  virtual Model Snapshot() = 0;
  // Replays the cache on top of the running configuration and brings the
  // engine back to it.
  virtual void Reload(const char* why) = 0;
  // The service is stopping: no new watch.
  virtual bool Stopping() = 0;
};

class WzScsiSrvClusterFollower {
 public:
  WzScsiSrvClusterFollower(WzScsiSrvClusterStore& store, WzScsiSrvClusterApplier& service);
  ~WzScsiSrvClusterFollower();
  WzScsiSrvClusterFollower(const WzScsiSrvClusterFollower&) = delete;
  WzScsiSrvClusterFollower& operator=(const WzScsiSrvClusterFollower&) = delete;

  // Before the start's replay: the cache brought up to etcd's state, so that
  // the replay restores the cluster's configuration. When etcd cannot be
  // reached the cache is replayed as it is and the first round resyncs.
  void SyncBeforeReplay();
  // Starts and stops the rounds; Stop also ends the watch.
  void Start();
  void Stop();
  // cluster.* lines of the status command.
  void StatusLines(std::vector<std::string>& lines);

  // One batch of the watch's events (also the tests' way in).
  void ApplyEvents(const std::vector<WzEtcdEvent>& events);

 private:
  // The worker's job: one round; returns the wait before the next.
  std::chrono::milliseconds Round();
  bool Probe();
  // A full read of etcd: the cache, the model and the engine made to match.
  CRnError Resync(const char* why);
  CRnError Watch() WZ_EXCLUDES(m_mutex);
  void OnUpdate(const WzEtcdWatchUpdate& update) WZ_EXCLUDES(m_mutex);

  // The steps of one event.
  CRnError ApplyEvent(const WzEtcdEvent& event, const WzScsiSrvClusterKeys::Parsed& key);
  void MirrorToCache(const WzEtcdEvent& event, const WzScsiSrvClusterKeys::Parsed& key);
  CRnError ApplyPut(const WzScsiSrvClusterKeys::Parsed& key);
  CRnError ApplyRemoval(const WzScsiSrvClusterKeys::Parsed& key);

  // The steps of a resync.
  // Rewrites the cache to hold exactly what range holds.
  CRnError SyncCacheFrom(const WzEtcdRange& range);
  // Takes out of the model and the engine what the cache no longer holds.
  void RemoveWhatTheCacheLacks();
  void Following(int64_t revision) WZ_EXCLUDES(m_mutex);

  std::string CachePath(const WzScsiSrvClusterKeys::Parsed& key) const;
  std::string TargetDir(const std::string& target) const;

  WzScsiSrvClusterStore& m_store;
  WzScsiSrvClusterApplier& m_service;
  WzPeriodicWorker m_worker;
  std::atomic<int64_t> m_applied{0};  // the revision this gateway follows up to
  int64_t m_lastFailureLog = 0;       // the worker's own
  WzMutex m_mutex;
  std::unique_ptr<WzEtcdWatch> m_watch WZ_GUARDED_BY(m_mutex);
  int64_t m_nextRevision WZ_GUARDED_BY(m_mutex) = 0;
  bool m_needResync WZ_GUARDED_BY(m_mutex) = true;
};
