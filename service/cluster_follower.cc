#include "service/cluster_follower.h"

#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <algorithm>
#include <cstdio>
#include <set>

#include "actionlog/action_log_layout.h"
#include "actionlog/action_log_writer.h"
#include "hostlib/errors/no_throw.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/RnFiles.h"
#include "hostlib/util/wz_clock.h"

namespace Layout = WzScsiSrvActionLog;
namespace Keys = WzScsiSrvClusterKeys;

namespace {

constexpr std::chrono::milliseconds kProbeInterval{1000};
// A failing round is logged once a minute, not every second.
constexpr int64_t kFailureLogIntervalMs = 60000;
// A failed resync is tried again after 1 s, 2 s, 4 s... up to this.
constexpr int64_t kMaxResyncBackoffMs = 30000;

std::vector<std::string> ListNames(const std::string& dir) {
  std::vector<std::string> names;
  CRnDirectory listing;
  if (listing.Open(dir, "*", true).IsError()) return names;
  CRnDirEntry entry;
  bool end = false;
  while (listing.GetEntry(entry, end).IsSuccess() && !end) names.push_back(entry.name);
  return names;
}

std::string Join(const std::string& dir, const std::string& name) { return dir + "/" + name; }

std::string Describe(const Keys::Parsed& p) {
  switch (p.kind) {
    case Keys::Parsed::TARGET:
      return "target " + p.target;
    case Keys::Parsed::AUTH:
      return "CHAP of target " + p.target;
    case Keys::Parsed::LUN:
      return "LUN " + std::to_string(p.lun) + " of target " + p.target;
    case Keys::Parsed::MAP:
      return "mapping of host " + p.host + " to LUN " + std::to_string(p.lun) + " of target " + p.target;
    default:
      return "nothing";
  }
}

// CHAP secrets are readable by the daemon's user only, in etcd's cache too.
int CacheMode(const Keys::Parsed& p) { return p.kind == Keys::Parsed::AUTH ? 0600 : 0644; }

std::string PendingName(const Keys::Parsed& p) {
  return std::to_string(static_cast<int>(p.kind)) + "/" + p.target + "/" + std::to_string(p.lun) + "/" + p.host;
}

std::string Seconds(int64_t ms) { return std::to_string(ms / 1000); }

// A marker's field ("name", "id"): its lines are "key=value".
std::string MarkerField(const std::string& marker, const std::string& field) {
  const std::string wanted = field + "=";
  size_t at = 0;
  while (at < marker.size()) {
    size_t end = marker.find('\n', at);
    if (end == std::string::npos) end = marker.size();
    if (marker.compare(at, wanted.size(), wanted) == 0)
      return marker.substr(at + wanted.size(), end - at - wanted.size());
    at = end + 1;
  }
  return std::string();
}

std::string MakeMarker(const std::string& name, const std::string& id) { return "name=" + name + "\nid=" + id + "\n"; }

std::string NewClusterId() { return boost::uuids::to_string(boost::uuids::random_generator()()); }

std::string ReadSmallFile(const std::string& path) {
  std::string text;
  CRnFile in;
  if (in.Open(path, 0, 0).IsError() || in.ReadAll(text, 4096).IsError()) return std::string();
  return text;
}

}  // namespace

WzScsiSrvClusterFollower::WzScsiSrvClusterFollower(WzScsiSrvClusterStore& store, WzScsiSrvClusterApplier& service,
                                                   const Options& options)
    : m_store(store), m_service(service), m_options(options), m_confirmedMs(WzNowMs()) {}

WzScsiSrvClusterFollower::~WzScsiSrvClusterFollower() { Stop(); }

std::string WzScsiSrvClusterFollower::TargetDir(const std::string& target) const {
  return Layout::TargetDir(m_service.CacheRoot(), target);
}

std::string WzScsiSrvClusterFollower::CachePath(const Keys::Parsed& p) const {
  const std::string dir = TargetDir(p.target);
  switch (p.kind) {
    case Keys::Parsed::TARGET:
      return Layout::TargetFile(dir);
    case Keys::Parsed::AUTH:
      return Layout::AuthFile(dir);
    case Keys::Parsed::LUN:
      return Layout::LunFile(dir, p.lun);
    case Keys::Parsed::MAP:
      return Layout::MappingFile(dir, p.host, p.lun);
    default:
      return std::string();
  }
}

// ---------------------------------------------------------------- start and stop

CRnError WzScsiSrvClusterFollower::SyncBeforeReplay() {
  WzEtcdRange range;
  if (CRnError e = m_store.Etcd().GetPrefix(m_store.Prefix(), range)) {
    m_store.SetAvailable(false);
    WZLOG(0, "The cluster cannot be reached (%s): starting from the local cache", WzEtcd::Reason(e).c_str());
    WzMutexLock lock(&m_mutex);
    m_needResync = true;
    return CRnError();
  }
  m_store.SetAvailable(true);
  if (CRnError refused = CheckMarker(range)) {
    // Nothing of the cache is touched: the gateway serves what it holds and
    // takes no change until the operator decides.
    WZLOG(-1, "%s", refused.AsString().c_str());
    m_store.SetFenced(true);
    WzMutexLock lock(&m_mutex);
    m_refused = refused.AsString();
    return refused;
  }
  Replaced replaced;
  CRnError ignored = SyncCacheFrom(range, &replaced);
  (void)ignored;
  // The engine may still hold what this gateway served before (its engine
  // ran on while it was down): a LUN or target the cluster replaced meanwhile
  // leaves the engine, so that the replay makes it as the cluster has it and
  // never adopts the old disk under the same number.
  for (const auto& entry : replaced) {
    if (entry.second.kind != Keys::Parsed::LUN && entry.second.kind != Keys::Parsed::TARGET) continue;
    WZLOG(0, "The cluster replaced %s while this gateway was away: taking the old one out of the engine",
          Describe(entry.second).c_str());
    if (CRnError e = m_service.DropFromEngine(entry.second))
      WZLOG(-1, "Could not take the old %s out of the engine: %s", Describe(entry.second).c_str(),
            e.AsString().c_str());
  }
  Following(range.revision);
  m_confirmedMs = WzNowMs();
  return CRnError();
}

std::string WzScsiSrvClusterFollower::RememberedMarkerPath() const {
  return Layout::ClusterMarkerFile(m_service.CacheRoot());
}

void WzScsiSrvClusterFollower::RememberMarker(const std::string& marker) {
  if (MarkerField(marker, "id").empty() || ReadSmallFile(RememberedMarkerPath()) == marker) return;
  if (CRnError e = WzScsiSrvActionLogWriter().SaveText(RememberedMarkerPath(), marker, 0644))
    WZLOG(-1, "The cluster's id could not be remembered in %s: %s", RememberedMarkerPath().c_str(),
          e.AsString().c_str());
}

CRnError WzScsiSrvClusterFollower::CheckMarker(const WzEtcdRange& range) {
  const std::string markerKey = Keys::MarkerKey(m_store.Prefix());
  const std::string idKey = Keys::ClusterIdKey(m_store.Prefix());
  std::string marker, id;
  bool marked = false, holdsTargets = false;
  for (const WzEtcdKeyValue& kv : range.kvs) {
    if (kv.key == markerKey) {
      marker = kv.value;
      marked = true;
    }
    if (kv.key == idKey) id = kv.value;
    if (Keys::Parse(m_store.Prefix(), kv.key).kind == Keys::Parsed::TARGET) holdsTargets = true;
  }
  if (marked && MarkerField(marker, "name") != m_store.Name())
    return FXErrorUtil::ErrorWin32(
        FX_HERE, ERROR_INVALID_PARAMETER,
        "The cluster's keys %s hold another cluster's marker (\"%s\"): not starting in cluster mode; the local "
        "configuration stays served. Check ClusterName",
        m_store.Prefix().c_str(), marker.substr(0, 200).c_str());
  size_t local = 0;
  for (const std::string& name : ListNames(Layout::TargetsDir(m_service.CacheRoot())))
    if (!Layout::IsTemporaryName(name)) ++local;
  if (!marked && !holdsTargets && local > 0)
    return FXErrorUtil::ErrorWin32(
        FX_HERE, ERROR_INVALID_PARAMETER,
        "The cluster %s has no configuration in etcd (%s is empty) while this gateway holds %zu targets: not "
        "starting in cluster mode, so that they are not removed; they stay served. If this gateway is to bring its "
        "configuration into a new cluster, run \"wzscsictl cluster import\"; otherwise correct ClusterName",
        m_store.Name().c_str(), m_store.Prefix().c_str(), local);
  // The cluster this gateway joined, by the id it remembers: a cluster made
  // again under the same name (etcd's data lost, the keys deleted and
  // written anew) is another configuration, which must not replace this
  // gateway's unasked.
  const std::string rememberedPath = RememberedMarkerPath();
  const std::string rememberedMarker = ReadSmallFile(rememberedPath);
  // A gateway moved to another cluster name on purpose joins that one.
  const std::string remembered =
      MarkerField(rememberedMarker, "name") == m_store.Name() ? MarkerField(rememberedMarker, "id") : std::string();
  if (!remembered.empty() && id != remembered && (marked || holdsTargets))
    return FXErrorUtil::ErrorWin32(
        FX_HERE, ERROR_INVALID_PARAMETER,
        "The cluster %s in etcd is not the one this gateway joined: its id is %s, this gateway's (in %s) is %s: not "
        "starting in cluster mode; the local configuration stays served and takes no change. If the cluster was made "
        "again on purpose and this gateway is to serve its configuration instead of its own, remove %s and restart; "
        "otherwise check ClusterEndpoints and ClusterName",
        m_store.Name().c_str(), id.empty() ? "(none)" : id.c_str(), rememberedPath.c_str(), remembered.c_str(),
        rememberedPath.c_str());
  if (!marked || id.empty()) {
    // The cluster is made now, or predates its marker or its id: the first
    // gateway to get here marks it and gives it an id, once; the others
    // adopt that id. The marker keeps the form every version reads.
    const std::string mine = id.empty() ? NewClusterId() : id;
    std::vector<WzEtcdCompare> compares;
    std::vector<WzEtcdOp> puts;
    if (id.empty()) {
      compares.push_back(WzEtcdCompare::Absent(idKey));
      puts.push_back(WzEtcdOp::Put(idKey, mine));
    }
    if (!marked) puts.push_back(WzEtcdOp::Put(markerKey, "name=" + m_store.Name() + "\n"));
    WzEtcdTxnResult result;
    if (CRnError e = m_store.Etcd().Txn(compares, puts, {WzEtcdOp::Get(idKey)}, result)) {
      // Given at the next start.
      WZLOG(-1, "The cluster could not be marked or given an id: %s", WzEtcd::Reason(e).c_str());
      return CRnError();
    }
    if (result.succeeded) {
      id = mine;
    } else if (!result.results.empty() && !result.results[0].kvs.empty()) {
      id = result.results[0].kvs[0].value;
    }
  }
  RememberMarker(MakeMarker(m_store.Name(), id));
  return CRnError();
}

CRnError WzScsiSrvClusterFollower::Import(const Model& model, std::string& outcome) {
  {
    WzMutexLock lock(&m_mutex);
    if (m_refused.empty())
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER,
                                     "nothing to import: this gateway follows the cluster %s already",
                                     m_store.Name().c_str());
  }
  const std::string prefix = m_store.Prefix();
  const std::string markerKey = Keys::MarkerKey(prefix);
  // Every saved request of the model, as its key and its cache file's text.
  std::vector<WzEtcdOp> puts;
  auto add = [&](const std::string& key, const std::string& path) -> CRnError {
    std::string text;
    CRnFile in;
    if (CRnError e = in.Open(path, 0, 0)) return e.Push(FX_HERE, "cannot read %s", path.c_str());
    if (CRnError e = in.ReadAll(text, 64u << 20)) return e.Push(FX_HERE, "cannot read %s", path.c_str());
    puts.push_back(WzEtcdOp::Put(key, text));
    return CRnError();
  };
  size_t targets = 0, luns = 0, mappings = 0;
  for (const auto& entry : model) {
    const std::string& name = entry.first;
    const std::string dir = TargetDir(name);
    if (CRnError e = add(Keys::TargetKey(prefix, name), Layout::TargetFile(dir))) return e;
    ++targets;
    if (CRnPath::Exists(Layout::AuthFile(dir)))
      if (CRnError e = add(Keys::AuthKey(prefix, name), Layout::AuthFile(dir))) return e;
    for (const auto& unit : entry.second.luns) {
      if (CRnError e = add(Keys::LunKey(prefix, name, unit.first), Layout::LunFile(dir, unit.first))) return e;
      ++luns;
      for (const auto& host : unit.second.hosts) {
        if (CRnError e = add(Keys::MapKey(prefix, name, unit.first, host.first),
                             Layout::MappingFile(dir, host.first, unit.first)))
          return e;
        ++mappings;
      }
    }
    puts.push_back(WzEtcdOp::Put(Keys::SeqKey(prefix, name), ""));
  }
  // The first transaction claims the empty prefix (its marker absent, no
  // change ever made); etcd takes a bounded number of operations per
  // transaction, so the rest follow in batches.
  constexpr size_t kBatch = 100;
  const std::string id = NewClusterId();
  int64_t revision = 0;
  for (size_t at = 0, n = 0; at < puts.size() || n == 0; at += kBatch, ++n) {
    std::vector<WzEtcdOp> batch(puts.begin() + static_cast<std::ptrdiff_t>(std::min(at, puts.size())),
                                puts.begin() + static_cast<std::ptrdiff_t>(std::min(at + kBatch, puts.size())));
    std::vector<WzEtcdCompare> compares;
    if (n == 0) {
      compares = {WzEtcdCompare::Absent(markerKey), WzEtcdCompare::Absent(Keys::RevKey(prefix))};
      batch.push_back(WzEtcdOp::Put(markerKey, "name=" + m_store.Name() + "\n"));
      batch.push_back(WzEtcdOp::Put(Keys::ClusterIdKey(prefix), id));
    }
    batch.push_back(WzEtcdOp::Put(Keys::RevKey(prefix), ""));
    WzEtcdTxnResult result;
    if (CRnError e = m_store.Etcd().Txn(compares, batch, {}, result))
      return e.Push(FX_HERE, "the import into the cluster %s failed after %zu of %zu keys", m_store.Name().c_str(), at,
                    puts.size());
    if (!result.succeeded)
      return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER,
                                     "the cluster %s is no longer empty: another gateway made it; nothing imported",
                                     m_store.Name().c_str());
    m_store.NoteOwnRevision(result.revision);
    revision = result.revision;
  }
  RememberMarker(MakeMarker(m_store.Name(), id));
  {
    WzMutexLock lock(&m_mutex);
    m_refused.clear();
  }
  m_store.SetFenced(false);
  Following(revision);
  m_confirmedMs = WzNowMs();
  outcome = "imported " + std::to_string(targets) + " targets, " + std::to_string(luns) + " LUNs and " +
            std::to_string(mappings) + " mappings into the cluster " + m_store.Name();
  WZLOG(0, "Cluster import: %s (revision %lld)", outcome.c_str(), static_cast<long long>(revision));
  Start();
  return CRnError();
}

void WzScsiSrvClusterFollower::Start() {
  {
    // A refused start follows nothing until its import.
    WzMutexLock lock(&m_mutex);
    if (!m_refused.empty()) return;
  }
  m_worker.Start(kProbeInterval, [this] { return Round(); });
  // The first round at once: the watch starts where the start's read ended.
  m_worker.Wake();
}

void WzScsiSrvClusterFollower::Stop() {
  m_worker.Stop();
  std::unique_ptr<WzEtcdWatch> watch;
  {
    WzMutexLock lock(&m_mutex);
    watch = std::move(m_watch);
  }
  if (watch) watch->Stop();
}

void WzScsiSrvClusterFollower::Following(int64_t revision) {
  {
    WzMutexLock lock(&m_mutex);
    m_nextRevision = revision + 1;
    m_needResync = false;
  }
  m_applied = revision;
}

// ---------------------------------------------------------------- one round

std::chrono::milliseconds WzScsiSrvClusterFollower::Round() {
  // Removals first, whether etcd answers or not: they depend on the engine.
  RetryPending();
  const int64_t probedAt = WzNowMs();
  if (!Probe()) {
    CheckCurrent(probedAt, false);
    return kProbeInterval;
  }
  bool resync = false;
  {
    WzMutexLock lock(&m_mutex);
    resync = m_needResync;
  }
  CRnError result;
  if (resync && WzNowMs() >= m_nextResyncMs) {
    result = WzNoThrow(FX_HERE, "Cluster resync", [&] { return Resync("after a gap"); });
    // A resync that fails (etcd overloaded, an answer too large) is not
    // repeated every second.
    m_resyncBackoffMs =
        result.IsError() ? std::min(kMaxResyncBackoffMs, std::max<int64_t>(1000, m_resyncBackoffMs * 2)) : 0;
    m_nextResyncMs = WzNowMs() + m_resyncBackoffMs;
  } else if (!resync) {
    result = Watch();
  }
  if (result.IsError() && WzNowMs() - m_lastFailureLog > kFailureLogIntervalMs) {
    m_lastFailureLog = WzNowMs();
    WZLOG(-1, "Following the cluster failed: %s", result.AsString().c_str());
  }
  CheckCurrent(probedAt, true);
  return kProbeInterval;
}

bool WzScsiSrvClusterFollower::Probe() {
  // A linearizable read fails at once without quorum; the change counter's
  // revision is the cluster's latest change (0: none yet).
  WzEtcdRange probe;
  CRnError probed = m_store.Quick().Get(Keys::RevKey(m_store.Prefix()), probe);
  m_store.SetAvailable(probed.IsSuccess());
  if (probed.IsSuccess()) {
    m_store.NoteStoreRevision(probe.revision);
    m_clusterRevision = probe.kvs.empty() ? 0 : probe.kvs[0].modRevision;
  }
  return probed.IsSuccess();
}

void WzScsiSrvClusterFollower::CheckCurrent(int64_t probedAtMs, bool probed) {
  const int64_t now = WzNowMs();
  const bool current = probed && m_applied.load() >= m_clusterRevision.load();
  if (current) m_confirmedMs = probedAtMs;
  // Behind the cluster while it answers: the watch delivers nothing (a
  // half-open connection, a member that lost its way) or too slowly.
  if (probed && !current) {
    int64_t since = m_lagSinceMs.load();
    if (since == 0) m_lagSinceMs = since = now;
    const int64_t behind = now - since;
    if (behind > 2 * m_options.watchDeadlineMs) {
      WZLOG(-1, "This gateway is %lld revisions behind the cluster for %s s: reading the cluster whole",
            static_cast<long long>(m_clusterRevision.load() - m_applied.load()), Seconds(behind).c_str());
      WzMutexLock lock(&m_mutex);
      m_needResync = true;
      m_lagSinceMs = now;
    } else if (behind > m_options.watchDeadlineMs && !m_rewatched) {
      m_rewatched = true;
      std::unique_ptr<WzEtcdWatch> stalled;
      {
        WzMutexLock lock(&m_mutex);
        stalled = std::move(m_watch);
      }
      if (stalled) {
        m_avoidEndpoint = stalled->Endpoint();
        const int64_t next = stalled->NextRevision();
        stalled->Stop();
        WzMutexLock lock(&m_mutex);
        m_nextRevision = next;
      }
      WZLOG(-1, "The watch on %s delivered nothing of the cluster's revision %lld for %s s: watching again",
            m_avoidEndpoint.empty() ? "etcd" : m_avoidEndpoint.c_str(),
            static_cast<long long>(m_clusterRevision.load()), Seconds(behind).c_str());
      m_worker.Wake();
    }
  } else if (current) {
    m_lagSinceMs = 0;
    m_rewatched = false;
  }
  const int64_t staleMs = now - m_confirmedMs.load();
  if (!m_stale && staleMs > m_options.watchDeadlineMs) {
    m_stale = true;
    WZLOG(-1, "This gateway is stale: it has not confirmed the cluster's latest revision for %s s (%s)",
          Seconds(staleMs).c_str(), probed ? "its watch is behind" : "etcd does not answer");
  } else if (m_stale && current) {
    m_stale = false;
    WZLOG(0, "This gateway caught up with the cluster (revision %lld)", static_cast<long long>(m_applied.load()));
  }
  if (m_options.fenceAfterMs > 0 && !m_fenced.load() && staleMs > m_options.fenceAfterMs) {
    WZLOG(-1,
          "Fencing this gateway: not current for %s s (ClusterFenceAfterSecs); its targets leave the engine "
          "until it has caught up",
          Seconds(staleMs).c_str());
    m_fenced = true;
    m_store.SetFenced(true);
    m_service.Fence(true);
  } else if (m_fenced.load() && current) {
    WZLOG(0, "This gateway is current again: serving its targets");
    m_fenced = false;
    m_store.SetFenced(false);
    m_service.Fence(false);
  }
}

// ---------------------------------------------------------------- pending removals

void WzScsiSrvClusterFollower::NotePending(const Keys::Parsed& key, int64_t revision, const CRnError& why) {
  if (key.kind == Keys::Parsed::MAP || key.kind == Keys::Parsed::LUN || key.kind == Keys::Parsed::TARGET ||
      key.kind == Keys::Parsed::AUTH) {
    m_service.Withhold(key, true);
  }
  WzMutexLock lock(&m_pendingMutex);
  auto inserted = m_pending.emplace(PendingName(key), Pending());
  if (!inserted.second) return;  // logged already
  inserted.first->second = Pending{key, revision, WzNowMs(), why.AsString()};
  WZLOG(-1,
        "Pending from the cluster: removal of %s (revision %lld): the engine did not take it (%s); it is out of "
        "the configuration and retried until the engine holds it",
        Describe(key).c_str(), static_cast<long long>(revision), why.AsString().c_str());
}

void WzScsiSrvClusterFollower::RetryPending() {
  std::vector<Pending> pending;
  {
    WzMutexLock lock(&m_pendingMutex);
    for (const auto& entry : m_pending) pending.push_back(entry.second);
  }
  if (pending.empty()) return;
  // What the model still holds (a LUN, a target) goes through its handler;
  // what it no longer holds (a mapping) the reconcile takes out of the engine.
  for (const Pending& p : pending) {
    if (!m_service.Holds(p.key)) continue;
    m_service.WhileNoChangeRuns([&] {
      CRnError ignored = ApplyRemoval(p.key);
      (void)ignored;
    });
  }
  CRnError reconciled = m_service.ReconcileEngine("pending removals of the cluster");
  for (const Pending& p : pending) {
    if (reconciled.IsError() || m_service.Holds(p.key)) continue;
    m_service.Withhold(p.key, false);
    {
      WzMutexLock lock(&m_pendingMutex);
      m_pending.erase(PendingName(p.key));
    }
    WZLOG(0, "Applied from the cluster after %s s: removal of %s (revision %lld)",
          Seconds(WzNowMs() - p.sinceMs).c_str(), Describe(p.key).c_str(), static_cast<long long>(p.revision));
  }
}

CRnError WzScsiSrvClusterFollower::Watch() {
  int64_t from = 0;
  {
    WzMutexLock lock(&m_mutex);
    if (m_watch && m_watch->Running()) return CRnError();
    from = m_watch ? m_watch->NextRevision() : m_nextRevision;
  }
  if (m_service.Stopping()) return CRnError();
  std::unique_ptr<WzEtcdWatch> watch;
  if (CRnError e = m_store.Etcd().Watch(
          m_store.Prefix(), from, [this](const WzEtcdWatchUpdate& u) { OnUpdate(u); }, watch, m_avoidEndpoint))
    return e;
  m_avoidEndpoint.clear();
  std::unique_ptr<WzEtcdWatch> ended;
  WzMutexLock lock(&m_mutex);
  m_nextRevision = from;
  ended = std::move(m_watch);
  m_watch = std::move(watch);
  return CRnError();
}

void WzScsiSrvClusterFollower::OnUpdate(const WzEtcdWatchUpdate& update) {
  if (update.kind == WzEtcdWatchUpdate::Kind::kEvents) {
    m_service.WhileNoChangeRuns([&] { ApplyEvents(update.events); });
    int64_t last = update.revision;
    for (const WzEtcdEvent& e : update.events) last = std::max(last, e.kv.modRevision);
    m_applied = std::max(m_applied.load(), last);
    m_store.NoteStoreRevision(last);
    // A fenced gateway applies the cluster's changes to its model, never
    // to its engine.
    if (m_fenced.load()) m_service.Fence(true);
    return;
  }
  if (update.kind == WzEtcdWatchUpdate::Kind::kProgress) {
    m_applied = std::max(m_applied.load(), update.revision);
    m_store.NoteStoreRevision(update.revision);
    return;
  }
  if (update.kind == WzEtcdWatchUpdate::Kind::kCompacted) {
    WZLOG(0, "The cluster's history before revision %lld is compacted: reading it whole",
          static_cast<long long>(update.compactRevision));
    WzMutexLock lock(&m_mutex);
    m_needResync = true;
  }
  // The watch ended: the next round starts another (or resyncs) at once.
  m_worker.Wake();
}

// ---------------------------------------------------------------- the watch's events

void WzScsiSrvClusterFollower::ApplyEvents(const std::vector<WzEtcdEvent>& events) {
  // One transaction's events share its revision: this gateway's own are
  // skipped whole, and forgotten once the update is through.
  std::set<int64_t> revisions;
  for (const WzEtcdEvent& event : events) revisions.insert(event.kv.modRevision);
  const std::set<int64_t> own = m_store.TakeOwnRevisions(revisions);
  for (const WzEtcdEvent& event : events) {
    if (own.count(event.kv.modRevision) != 0) continue;
    const Keys::Parsed key = Keys::Parse(m_store.Prefix(), event.kv.key);
    if (key.kind == Keys::Parsed::NONE || key.kind == Keys::Parsed::SEQ) continue;
    if (event.type == WzEtcdEvent::Type::kDelete && !m_service.Holds(key)) {
      // Already gone: this gateway's own removal whose answer came after its
      // event, or a removal a resync made. Only the cache follows.
      MirrorToCache(event, key);
      WzMutexLock lock(&m_mutex);
      m_orphans.erase(event.kv.key);
      continue;
    }
    const bool removal = event.type == WzEtcdEvent::Type::kDelete;
    const char* what = removal ? "removal of" : "put";
    if (CRnError applied = ApplyEvent(event, key)) {
      ++m_eventsFailed;
      if (removal) {
        NotePending(key, event.kv.modRevision, applied);
      } else {
        // Not applied: the status lists the object as failed.
        ++m_eventsRefused;
        WZLOG(-1, "Could not apply from the cluster: %s %s (revision %lld): %s", what, Describe(key).c_str(),
              static_cast<long long>(event.kv.modRevision), applied.AsString().c_str());
      }
    } else {
      ++m_eventsApplied;
      WZLOG(1, "Applied from the cluster: %s %s (revision %lld)", what, Describe(key).c_str(),
            static_cast<long long>(event.kv.modRevision));
    }
  }
}

CRnError WzScsiSrvClusterFollower::ApplyEvent(const WzEtcdEvent& event, const Keys::Parsed& key) {
  const bool put = event.type == WzEtcdEvent::Type::kPut;
  if (put && key.kind != Keys::Parsed::TARGET && !CRnPath::Exists(Layout::TargetFile(TargetDir(key.target)))) {
    // Under a target the cluster does not hold: the cache has no place for
    // it and nothing can serve it.
    const std::string line = NoteOrphan(key, event.kv.key);
    WzMutexLock lock(&m_mutex);
    m_orphans[event.kv.key] = line;
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "the cluster holds no target %s for it",
                                   key.target.c_str());
  }
  // A put is in the cache before it is applied (the replay reads it there);
  // a removal leaves the cache after it, whatever the engine did: the cache
  // follows etcd.
  if (put) MirrorToCache(event, key);
  CRnError applied = put ? ApplyPut(key) : ApplyRemoval(key);
  if (!put) MirrorToCache(event, key);
  return applied;
}

void WzScsiSrvClusterFollower::MirrorToCache(const WzEtcdEvent& event, const Keys::Parsed& key) {
  if (event.type == WzEtcdEvent::Type::kPut) {
    if (CRnError e = WzScsiSrvActionLogWriter().SaveText(CachePath(key), event.kv.value, CacheMode(key)))
      WZLOG(-1, "The cluster's %s could not be written to the local cache: %s", Describe(key).c_str(),
            e.AsString().c_str());
    return;
  }
  CRnError ignored = key.kind == Keys::Parsed::TARGET ? CRnDirectory::Remove(TargetDir(key.target), true, false)
                                                      : FXFile::RemoveFile(CachePath(key));
  (void)ignored;
}

CRnError WzScsiSrvClusterFollower::ApplyPut(const Keys::Parsed& key) {
  switch (key.kind) {
    case Keys::Parsed::TARGET:
      return m_service.ApplyTarget(TargetDir(key.target));
    case Keys::Parsed::AUTH:
      return m_service.ApplyAuth(TargetDir(key.target), key.target);
    case Keys::Parsed::LUN:
      // Another gateway's LUN runs the replay's create: a LUN type whose
      // storage is shared and made by its creator (an RBD image) opens what
      // exists there instead of making it again.
      return m_service.ApplyLun(CachePath(key), key.target);
    case Keys::Parsed::MAP:
      return m_service.ApplyMapping(CachePath(key), key.target);
    default:
      return CRnError();
  }
}

CRnError WzScsiSrvClusterFollower::ApplyRemoval(const Keys::Parsed& key) {
  switch (key.kind) {
    case Keys::Parsed::TARGET:
      return m_service.RemoveTarget(key.target);
    case Keys::Parsed::LUN:
      return m_service.RemoveLun(key.target, key.lun);
    case Keys::Parsed::MAP:
      return m_service.RemoveMapping(key.target, key.lun, key.host);
    default:
      return CRnError();  // CHAP goes with its target
  }
}

// ---------------------------------------------------------------- resync

CRnError WzScsiSrvClusterFollower::Resync(const char* why) {
  std::unique_ptr<WzEtcdWatch> old;
  {
    WzMutexLock lock(&m_mutex);
    old = std::move(m_watch);
  }
  if (old) old->Stop();
  WzEtcdRange range;
  if (CRnError e = m_store.Etcd().GetPrefix(m_store.Prefix(), range)) {
    m_store.SetAvailable(false);
    return e.Push(FX_HERE);
  }
  m_store.SetAvailable(true);
  WZLOG(0, "Cluster resync (%s) at revision %lld", why, static_cast<long long>(range.revision));
  const int64_t started = WzNowMs();
  Replaced replaced;
  CRnError synced = SyncCacheFrom(range, &replaced);
  m_service.WhileNoChangeRuns([&] { RemoveWhatTheCacheLacks(replaced); });
  m_service.Reload("cluster resync");
  Following(range.revision);
  m_store.ForgetOwnRevisions();
  ++m_resyncs;
  {
    WzMutexLock lock(&m_mutex);
    char seconds[32];
    std::snprintf(seconds, sizeof(seconds), "%.3f", static_cast<double>(WzNowMs() - started) / 1000.0);
    m_lastResync = "revision:" + std::to_string(range.revision) + " keys:" + std::to_string(range.kvs.size()) +
                   " replaced:" + std::to_string(replaced.size()) + " seconds:" + seconds + " why:" + why;
  }
  return synced;
}

CRnError WzScsiSrvClusterFollower::SyncCacheFrom(const WzEtcdRange& range, Replaced* replaced) {
  const WzScsiSrvActionLogWriter writer;
  std::set<std::string> wanted;
  CRnError first;
  size_t written = 0;
  std::set<std::string> targetsHeld;
  for (const WzEtcdKeyValue& kv : range.kvs) {
    const Keys::Parsed p = Keys::Parse(m_store.Prefix(), kv.key);
    if (p.kind == Keys::Parsed::TARGET) targetsHeld.insert(p.target);
  }
  std::map<std::string, std::string> orphans;
  for (const WzEtcdKeyValue& kv : range.kvs) {
    const Keys::Parsed p = Keys::Parse(m_store.Prefix(), kv.key);
    const std::string path = CachePath(p);
    if (path.empty()) continue;
    if (p.kind != Keys::Parsed::TARGET && targetsHeld.count(p.target) == 0) {
      // A record under a target the cluster does not hold (written past the
      // gateways): nothing can serve it, and the cache has no place for it.
      orphans[kv.key] = NoteOrphan(p, kv.key);
      continue;
    }
    wanted.insert(path);
    std::string current;
    CRnFile in;
    const bool held = in.Open(path, 0, 0).IsSuccess() && in.ReadAll(current, kv.value.size() + 1).IsSuccess();
    if (held && current == kv.value) continue;
    // Another object under the same name or number (another backing path,
    // serial prefix, creation time): the running one is replaced.
    if (held && replaced != nullptr) replaced->emplace(path, p);
    if (CRnError e = writer.SaveText(path, kv.value, CacheMode(p))) {
      if (first.IsSuccess()) first = e;
      continue;
    }
    ++written;
  }
  // What the cluster no longer holds leaves the cache.
  size_t removed = 0;
  const std::string targets = Layout::TargetsDir(m_service.CacheRoot());
  for (const std::string& name : ListNames(targets)) {
    const std::string dir = Join(targets, name);
    if (Layout::IsTemporaryName(name)) continue;
    if (wanted.count(Layout::TargetFile(dir)) == 0) {
      if (CRnDirectory::Remove(dir, true, false).IsSuccess()) ++removed;
      continue;
    }
    std::vector<std::string> files = {Layout::AuthFile(dir)};
    for (const std::string& sub : {Layout::LunsDir(dir), Layout::MappingsDir(dir)})
      for (const std::string& file : ListNames(sub))
        if (Layout::IsSavedRequestName(file)) files.push_back(Join(sub, file));
    for (const std::string& file : files)
      if (wanted.count(file) == 0 && CRnPath::Exists(file) && FXFile::RemoveFile(file).IsSuccess()) ++removed;
  }
  WZLOG(0, "Local cache brought up to the cluster's revision %lld: %zu files written, %zu removed",
        static_cast<long long>(range.revision), written, removed);
  {
    WzMutexLock lock(&m_mutex);
    m_orphans = std::move(orphans);
  }
  return first;
}

std::string WzScsiSrvClusterFollower::NoteOrphan(const Keys::Parsed& key, const std::string& etcdKey) {
  static const char* const kKinds[] = {"", "target", "target", "", "LUN", "mapping"};
  const std::string reason = "the cluster holds no target " + key.target + " for it: not applied here";
  WzMutexLock lock(&m_mutex);
  if (m_loggedOrphans.insert(etcdKey).second)
    WZLOG(-1, "The cluster holds %s (key %s) but not its target: not applied here (wzscsictl status lists it)",
          Describe(key).c_str(), etcdKey.c_str());
  return "failure=" + std::string(kKinds[key.kind]) + "\t" + key.target + "\t" +
         (key.lun >= 0 ? std::to_string(key.lun) : std::string()) + "\t" + key.host + "\t" + etcdKey + "\t" + reason;
}

void WzScsiSrvClusterFollower::RemoveWhatTheCacheLacks(const Replaced& replaced) {
  const WzScsiSrvClusterApplier::Model model = m_service.Snapshot();
  // Gone from the cache, or there with another content: out of the model
  // and the engine, so that the replay makes it again as the cluster has it.
  auto gone = [&replaced](const std::string& path) { return replaced.count(path) != 0 || !CRnPath::Exists(path); };
  for (const auto& entry : model) {
    const std::string& name = entry.first;
    const WzScsiSrvModelTarget& target = entry.second;
    const std::string dir = TargetDir(name);
    const bool targetGone = gone(Layout::TargetFile(dir));
    for (const auto& unit : target.luns) {
      const bool lunGone = targetGone || gone(Layout::LunFile(dir, unit.first));
      for (const auto& host : unit.second.hosts) {
        if (!lunGone && !gone(Layout::MappingFile(dir, host.first, unit.first))) continue;
        Keys::Parsed key;
        key.kind = Keys::Parsed::MAP;
        key.target = name;
        key.lun = unit.first;
        key.host = host.first;
        if (CRnError e = m_service.RemoveMapping(name, unit.first, host.first)) NotePending(key, 0, e);
      }
      if (!lunGone) continue;
      Keys::Parsed key;
      key.kind = Keys::Parsed::LUN;
      key.target = name;
      key.lun = unit.first;
      if (CRnError e = m_service.RemoveLun(name, unit.first)) NotePending(key, 0, e);
    }
    if (targetGone) {
      Keys::Parsed key;
      key.kind = Keys::Parsed::TARGET;
      key.target = name;
      if (CRnError e = m_service.RemoveTarget(name)) NotePending(key, 0, e);
    } else if (target.chap.enabled && !CRnPath::Exists(Layout::AuthFile(dir))) {
      if (CRnError e = m_service.TurnChapOff(name))
        WZLOG(-1, "Resync: could not turn CHAP of %s off: %s", name.c_str(), e.AsString().c_str());
    }
  }
}

// ---------------------------------------------------------------- status

void WzScsiSrvClusterFollower::StatusLines(std::vector<std::string>& lines) {
  lines.push_back("cluster.name=" + m_store.Name());
  {
    WzMutexLock lock(&m_mutex);
    if (!m_refused.empty()) lines.push_back("cluster.refused=" + m_refused);
  }
  lines.push_back(std::string("cluster.available=") + (m_store.Available() ? "yes" : "no"));
  const int64_t applied = m_applied.load();
  const int64_t store = m_store.StoreRevision();
  const int64_t cluster = m_clusterRevision.load();
  const int64_t now = WzNowMs();
  lines.push_back("cluster.revision=" + std::to_string(applied));
  lines.push_back("cluster.clusterRevision=" + std::to_string(cluster));
  lines.push_back("cluster.storeRevision=" + std::to_string(store));
  // Against the cluster's own last change: writes of other clusters on the
  // same etcd are no lag.
  lines.push_back("cluster.lag=" + std::to_string(cluster > applied ? cluster - applied : 0));
  bool watching = false;
  {
    WzMutexLock lock(&m_mutex);
    watching = m_watch && m_watch->Running();
  }
  // A watch the cluster has been ahead of past the deadline is not watching.
  const int64_t lagSince = m_lagSinceMs.load();
  if (lagSince != 0 && now - lagSince > m_options.watchDeadlineMs) watching = false;
  lines.push_back(std::string("cluster.watching=") + (watching ? "yes" : "no"));
  lines.push_back("cluster.staleSeconds=" + Seconds(std::max<int64_t>(0, now - m_confirmedMs.load())));
  lines.push_back(std::string("cluster.fenced=") + (m_fenced.load() ? "yes" : "no"));
  lines.push_back("cluster.eventsApplied=" + std::to_string(m_eventsApplied.load()));
  lines.push_back("cluster.eventsFailed=" + std::to_string(m_eventsFailed.load()));
  lines.push_back("cluster.eventsRefused=" + std::to_string(m_eventsRefused.load()));
  lines.push_back("cluster.resyncs=" + std::to_string(m_resyncs.load()));
  {
    WzMutexLock lock(&m_mutex);
    if (!m_lastResync.empty()) lines.push_back("cluster.lastResync=" + m_lastResync);
    lines.push_back("cluster.orphanRecords=" + std::to_string(m_orphans.size()));
    for (const auto& orphan : m_orphans) lines.push_back(orphan.second);
  }
  {
    WzMutexLock lock(&m_pendingMutex);
    lines.push_back("cluster.pendingRemovals=" + std::to_string(m_pending.size()));
    for (const auto& entry : m_pending)
      lines.push_back("cluster.pendingRemoval=" + Describe(entry.second.key) + " (revision " +
                      std::to_string(entry.second.revision) + ", for " + Seconds(now - entry.second.sinceMs) +
                      " s): " + entry.second.why);
  }
  std::vector<WzEtcdMember> members;
  if (m_store.Etcd().MemberList(members).IsSuccess()) {
    lines.push_back("cluster.members=" + std::to_string(members.size()));
    for (const WzEtcdMember& m : members)
      lines.push_back("cluster.member=" + m.name + " " + (m.clientUrls.empty() ? std::string("-") : m.clientUrls[0]));
  }
}
