// The follower of a cluster: every gateway watches the cluster's prefix in
// etcd and applies the other gateways' changes through the same change path
// a replay uses (every check runs, nothing is recorded again); after a gap
// in the watch (compaction, etcd unreachable) it reads the prefix whole,
// makes its cache, model and engine match it, and watches on from there.
//
// One round of its loop, every second or when the watch ends:
//   Retry         the removals the engine could not take yet;
//   Probe         a linearizable read of the cluster's change counter:
//                 whether etcd has a quorum, and the cluster's latest
//                 revision; this gateway is current when it applied it;
//   Resync        after a gap: read the prefix whole, rewrite the cache,
//                 take out what the cache lacks or holds otherwise, replay
//                 it, reconcile (a failed one is tried again with back-off);
//   Watch         otherwise, a watch from the next revision if none runs;
//   Liveness      a cluster ahead of the watch past the watch deadline
//                 opens the watch again elsewhere, past twice that resyncs;
//                 a gateway not current past ClusterFenceAfterSecs is fenced
//                 (its targets leave the engine) until it is.
// The watch's updates run ApplyEvents: this gateway's own commits are
// skipped, each other event is mirrored into the cache (which follows etcd
// whatever the engine does) and then applied. A removal the engine cannot
// take now leaves the model at once or is withheld from the engine (never
// granted again by a replay or a reconcile) and stays pending, listed by
// status, until the engine step goes through.
//
// Thread safety: Start, Stop and the status may be called from any thread;
// the rounds run on the follower's worker, the updates on the watch's thread,
// each batch of events with no change of a client in progress.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
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
  // A removal of the cluster not through in the engine: nothing of the
  // object is created or granted again while on.
  virtual void Withhold(const WzScsiSrvClusterKeys::Parsed& key, bool on) = 0;
  // Brings the engine to the model (a reconcile); an error unless every
  // difference was fixed.
  virtual CRnError ReconcileEngine(const char* why) = 0;
  // Takes every target of the service out of the engine (on) or brings
  // the engine back to the configuration (off).
  virtual void Fence(bool on) = 0;
  // A copy of the model.
  virtual Model Snapshot() = 0;
  // Takes the object a key names out of the engine alone (the model does
  // not hold it): before a start's replay, what the engine kept of an object
  // the cluster replaced.
  virtual CRnError DropFromEngine(const WzScsiSrvClusterKeys::Parsed& key) = 0;
  // Replays the cache on top of the running configuration and brings the
  // engine back to it.
  virtual void Reload(const char* why) = 0;
  // The service is stopping: no new watch.
  virtual bool Stopping() = 0;
};

struct WzScsiSrvClusterFollowOptions {
  // How long the cluster may be ahead of the watch before it is opened
  // again (twice that: a resync); also when this gateway is called stale.
  int64_t watchDeadlineMs = 5000;
  // Not current for this long: fenced; 0: never.
  int64_t fenceAfterMs = 0;
};

class WzScsiSrvClusterFollower {
 public:
  typedef WzScsiSrvClusterFollowOptions Options;
  typedef WzScsiSrvClusterApplier::Model Model;

  WzScsiSrvClusterFollower(WzScsiSrvClusterStore& store, WzScsiSrvClusterApplier& service,
                           const Options& options = Options());
  ~WzScsiSrvClusterFollower();
  WzScsiSrvClusterFollower(const WzScsiSrvClusterFollower&) = delete;
  WzScsiSrvClusterFollower& operator=(const WzScsiSrvClusterFollower&) = delete;

  // Before the start's replay: the cache brought up to etcd's state, so that
  // the replay restores the cluster's configuration. When etcd cannot be
  // reached the cache is replayed as it is and the first round resyncs.
  // Refused (an error, the cache untouched, the gateway serving it and
  // taking no change) when the cluster's prefix is empty while the cache
  // holds targets (a mistyped ClusterName, a local gateway switched to
  // cluster mode), holds another cluster's marker, or another id than the
  // one this gateway remembers from its first join (the cluster was made
  // again meanwhile).
  CRnError SyncBeforeReplay();
  // A refused start: writes the model's saved requests (the local cache)
  // into the empty prefix by transactions, then follows the cluster.
  CRnError Import(const Model& model, std::string& outcome);
  // Starts and stops the rounds; Stop also ends the watch.
  void Start();
  void Stop();
  // cluster.* lines of the status command.
  void StatusLines(std::vector<std::string>& lines);

  // One batch of the watch's events (also the tests' way in).
  void ApplyEvents(const std::vector<WzEtcdEvent>& events);

 private:
  // A removal the engine has not taken yet.
  struct Pending {
    WzScsiSrvClusterKeys::Parsed key;
    int64_t revision = 0;
    int64_t sinceMs = 0;
    std::string why;
  };

  // The worker's job: one round; returns the wait before the next.
  std::chrono::milliseconds Round();
  bool Probe();
  void RetryPending() WZ_EXCLUDES(m_pendingMutex);
  void NotePending(const WzScsiSrvClusterKeys::Parsed& key, int64_t revision, const CRnError& why)
      WZ_EXCLUDES(m_pendingMutex);
  // After a probe: current or not, stalled or not, fenced or not.
  void CheckCurrent(int64_t probedAtMs, bool probed) WZ_EXCLUDES(m_mutex);
  // A full read of etcd: the cache, the model and the engine made to match.
  CRnError Resync(const char* why);
  // Whether the prefix read is this cluster's: an error says why not. A
  // marker without an id gets one; the id is remembered in the cache.
  CRnError CheckMarker(const WzEtcdRange& range);
  // The cache's copy of the marker of the cluster this gateway joined.
  std::string RememberedMarkerPath() const;
  void RememberMarker(const std::string& marker);
  CRnError Watch() WZ_EXCLUDES(m_mutex);
  void OnUpdate(const WzEtcdWatchUpdate& update) WZ_EXCLUDES(m_mutex);

  // The steps of one event.
  CRnError ApplyEvent(const WzEtcdEvent& event, const WzScsiSrvClusterKeys::Parsed& key);
  void MirrorToCache(const WzEtcdEvent& event, const WzScsiSrvClusterKeys::Parsed& key);
  CRnError ApplyPut(const WzScsiSrvClusterKeys::Parsed& key);
  CRnError ApplyRemoval(const WzScsiSrvClusterKeys::Parsed& key);

  // The steps of a resync.
  // Rewrites the cache to hold exactly what range holds; replaced: the
  // files it held with another content.
  typedef std::map<std::string, WzScsiSrvClusterKeys::Parsed> Replaced;  // by cache path
  CRnError SyncCacheFrom(const WzEtcdRange& range, Replaced* replaced = nullptr);
  // Takes out of the model and the engine what the cache no longer holds,
  // or holds with another content (replaced), so that the replay makes it
  // again as the cluster has it.
  void RemoveWhatTheCacheLacks(const Replaced& replaced);
  // A record under a target the cluster does not hold: logged once; its
  // status line is returned.
  std::string NoteOrphan(const WzScsiSrvClusterKeys::Parsed& key, const std::string& etcdKey) WZ_EXCLUDES(m_mutex);
  void Following(int64_t revision) WZ_EXCLUDES(m_mutex);

  std::string CachePath(const WzScsiSrvClusterKeys::Parsed& key) const;
  std::string TargetDir(const std::string& target) const;

  WzScsiSrvClusterStore& m_store;
  WzScsiSrvClusterApplier& m_service;
  const Options m_options;
  WzPeriodicWorker m_worker;
  std::atomic<int64_t> m_applied{0};  // the revision this gateway follows up to
  // The revision of the cluster's last change, as the last probe read it.
  std::atomic<int64_t> m_clusterRevision{0};
  // When this gateway last confirmed that it applied the cluster's latest
  // revision (WzNowMs).
  std::atomic<int64_t> m_confirmedMs{0};
  std::atomic<int64_t> m_lagSinceMs{0};  // 0: not behind
  std::atomic<bool> m_fenced{false};
  std::atomic<uint64_t> m_eventsApplied{0};
  std::atomic<uint64_t> m_eventsFailed{0};
  // Puts this gateway's checks or engine refused (listed as failures).
  std::atomic<uint64_t> m_eventsRefused{0};
  // Full reads of the cluster after a gap, and what the last one did.
  std::atomic<uint64_t> m_resyncs{0};
  std::string m_lastResync WZ_GUARDED_BY(m_mutex);
  // Records of the cluster under a target it does not hold (never applied),
  // as status failure lines, from the last full read; and those logged.
  std::map<std::string, std::string> m_orphans WZ_GUARDED_BY(m_mutex);  // by etcd key
  std::set<std::string> m_loggedOrphans WZ_GUARDED_BY(m_mutex);
  // The worker's own.
  int64_t m_lastFailureLog = 0;
  bool m_stale = false;
  bool m_rewatched = false;
  int64_t m_resyncBackoffMs = 0;
  int64_t m_nextResyncMs = 0;
  std::string m_avoidEndpoint;
  WzMutex m_pendingMutex;
  std::map<std::string, Pending> m_pending WZ_GUARDED_BY(m_pendingMutex);
  // Why the start was refused ("" when it was not).
  std::string m_refused WZ_GUARDED_BY(m_mutex);
  WzMutex m_mutex;
  std::unique_ptr<WzEtcdWatch> m_watch WZ_GUARDED_BY(m_mutex);
  int64_t m_nextRevision WZ_GUARDED_BY(m_mutex) = 0;
  bool m_needResync WZ_GUARDED_BY(m_mutex) = true;
};
