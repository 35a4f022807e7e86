#include "service/cluster_follower.h"

#include <algorithm>
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

}  // namespace

WzScsiSrvClusterFollower::WzScsiSrvClusterFollower(WzScsiSrvClusterStore& store, WzScsiSrvClusterApplier& service)
    : m_store(store), m_service(service) {}

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

void WzScsiSrvClusterFollower::SyncBeforeReplay() {
  WzEtcdRange range;
  if (CRnError e = m_store.Etcd().GetPrefix(m_store.Prefix(), range)) {
    m_store.SetAvailable(false);
    WZLOG(0, "The cluster cannot be reached (%s): starting from the local cache", WzEtcd::Reason(e).c_str());
    WzMutexLock lock(&m_mutex);
    m_needResync = true;
    return;
  }
  m_store.SetAvailable(true);
  CRnError ignored = SyncCacheFrom(range);
  (void)ignored;
  Following(range.revision);
}

void WzScsiSrvClusterFollower::Start() {
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
  if (!Probe()) return kProbeInterval;
  bool resync = false;
  {
    WzMutexLock lock(&m_mutex);
    resync = m_needResync;
  }
  CRnError result = resync ? WzNoThrow(FX_HERE, "Cluster resync", [&] { return Resync("after a gap"); }) : Watch();
  if (result.IsError() && WzNowMs() - m_lastFailureLog > kFailureLogIntervalMs) {
    m_lastFailureLog = WzNowMs();
    WZLOG(-1, "Following the cluster failed: %s", result.AsString().c_str());
  }
  return kProbeInterval;
}

bool WzScsiSrvClusterFollower::Probe() {
  // A linearizable read fails at once without quorum.
  WzEtcdRange probe;
  CRnError probed = m_store.Quick().Get(m_store.Prefix() + "probe", probe);
  m_store.SetAvailable(probed.IsSuccess());
  if (probed.IsSuccess()) m_store.NoteStoreRevision(probe.revision);
  return probed.IsSuccess();
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
          m_store.Prefix(), from, [this](const WzEtcdWatchUpdate& u) { OnUpdate(u); }, watch))
    return e;
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
      continue;
    }
    const char* what = event.type == WzEtcdEvent::Type::kPut ? "put" : "removal of";
    if (CRnError applied = ApplyEvent(event, key))
      WZLOG(-1, "Could not apply from the cluster: %s %s (revision %lld): %s", what, Describe(key).c_str(),
            static_cast<long long>(event.kv.modRevision), applied.AsString().c_str());
    else
      WZLOG(1, "Applied from the cluster: %s %s (revision %lld)", what, Describe(key).c_str(),
            static_cast<long long>(event.kv.modRevision));
  }
}

CRnError WzScsiSrvClusterFollower::ApplyEvent(const WzEtcdEvent& event, const Keys::Parsed& key) {
  const bool put = event.type == WzEtcdEvent::Type::kPut;
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
  CRnError synced = SyncCacheFrom(range);
  m_service.WhileNoChangeRuns([this] { RemoveWhatTheCacheLacks(); });
  m_service.Reload("cluster resync");
  Following(range.revision);
  m_store.ForgetOwnRevisions();
  return synced;
}

CRnError WzScsiSrvClusterFollower::SyncCacheFrom(const WzEtcdRange& range) {
  const WzScsiSrvActionLogWriter writer;
  std::set<std::string> wanted;
  CRnError first;
  size_t written = 0;
  for (const WzEtcdKeyValue& kv : range.kvs) {
    const Keys::Parsed p = Keys::Parse(m_store.Prefix(), kv.key);
    const std::string path = CachePath(p);
    if (path.empty()) continue;
    wanted.insert(path);
    std::string current;
    CRnFile in;
    if (in.Open(path, 0, 0).IsSuccess() && in.ReadAll(current, kv.value.size() + 1).IsSuccess() && current == kv.value)
      continue;
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
  return first;
}

void WzScsiSrvClusterFollower::RemoveWhatTheCacheLacks() {
  const WzScsiSrvClusterApplier::Model model = m_service.Snapshot();
  for (const auto& entry : model) {
    const std::string& name = entry.first;
    const WzScsiSrvModelTarget& target = entry.second;
    const std::string dir = TargetDir(name);
    const bool targetGone = !CRnPath::Exists(Layout::TargetFile(dir));
    for (const auto& unit : target.luns) {
      const bool lunGone = targetGone || !CRnPath::Exists(Layout::LunFile(dir, unit.first));
      for (const auto& host : unit.second.hosts) {
        if (!lunGone && CRnPath::Exists(Layout::MappingFile(dir, host.first, unit.first))) continue;
        if (CRnError e = m_service.RemoveMapping(name, unit.first, host.first))
          WZLOG(-1, "Resync: could not unmap %s from LUN %d of %s: %s", host.first.c_str(), unit.first, name.c_str(),
                e.AsString().c_str());
      }
      if (!lunGone) continue;
      if (CRnError e = m_service.RemoveLun(name, unit.first))
        WZLOG(-1, "Resync: could not delete LUN %d of %s: %s", unit.first, name.c_str(), e.AsString().c_str());
    }
    if (targetGone) {
      if (CRnError e = m_service.RemoveTarget(name))
        WZLOG(-1, "Resync: could not delete target %s: %s", name.c_str(), e.AsString().c_str());
    } else if (target.chap.enabled && !CRnPath::Exists(Layout::AuthFile(dir))) {
      if (CRnError e = m_service.TurnChapOff(name))
        WZLOG(-1, "Resync: could not turn CHAP of %s off: %s", name.c_str(), e.AsString().c_str());
    }
  }
}

// ---------------------------------------------------------------- status

void WzScsiSrvClusterFollower::StatusLines(std::vector<std::string>& lines) {
  lines.push_back("cluster.name=" + m_store.Name());
  lines.push_back(std::string("cluster.available=") + (m_store.Available() ? "yes" : "no"));
  const int64_t applied = m_applied.load();
  const int64_t store = m_store.StoreRevision();
  lines.push_back("cluster.revision=" + std::to_string(applied));
  lines.push_back("cluster.storeRevision=" + std::to_string(store));
  lines.push_back("cluster.lag=" + std::to_string(store > applied ? store - applied : 0));
  bool watching = false;
  {
    WzMutexLock lock(&m_mutex);
    watching = m_watch && m_watch->Running();
  }
  lines.push_back(std::string("cluster.watching=") + (watching ? "yes" : "no"));
  std::vector<WzEtcdMember> members;
  if (m_store.Etcd().MemberList(members).IsSuccess()) {
    lines.push_back("cluster.members=" + std::to_string(members.size()));
    for (const WzEtcdMember& m : members)
      lines.push_back("cluster.member=" + m.name + " " + (m.clientUrls.empty() ? std::string("-") : m.clientUrls[0]));
  }
}
