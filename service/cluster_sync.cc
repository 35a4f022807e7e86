// The cluster mode: several gateways serve one configuration kept in etcd.
//
// A change from a client runs as on a gateway of its own, with etcd as the
// record: an addition is committed to etcd (a transaction that checks that
// its name or number is still free and its parent still there) after the
// engine step and before the reply, and undone in the engine when the
// commit fails; a removal takes its keys out of etcd before the engine step
// and puts them back when that fails. The local action log is kept as a
// cache: written after each commit, rewritten from etcd at every start and
// resync, and replayed alone when etcd cannot be reached at a start.
//
// Every gateway watches the cluster's prefix and applies the others'
// changes through the handlers the replay uses; after a gap in the watch
// (compaction, etcd unreachable) it reads the prefix whole, makes its cache,
// model and engine match it, and watches on from there.
#include "cluster/cluster_keys.h"

#include <algorithm>
#include <chrono>

#include "actionlog/action_log_layout.h"
#include "actionlog/action_log_writer.h"
#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/errors/no_throw.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/RnFiles.h"
#include "hostlib/util/WzScsiUtils.h"
#include "hostlib/util/wz_clock.h"
#include "messages/WzScsiServerRequests.h"
#include "service/handler_frame.h"
#include "targets/target_names.h"

namespace Layout = WzScsiSrvActionLog;
namespace Keys = WzScsiSrvClusterKeys;
using namespace WzScsiServer;

// ---------------------------------------------------------------- settings

namespace {

const char* const kSection = "Quellport";
constexpr int kProbeIntervalMs = 1000;

std::string SettingText(const char* key) {
  std::string value;
  if (WZPlatformInfo::getString(kSection, key, value).IsError()) return std::string();
  return value;
}

// The cache file of a key's object.
std::string CachePath(const std::string& root, const Keys::Parsed& p) {
  const std::string dir = Layout::TargetDir(root, p.target);
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

}  // namespace

CRnError WzScsiSrv::InitCluster() {
  m_cluster.reset();
  m_clientStore = &m_actionLogStore;
  const std::string endpoints = SettingText("ClusterEndpoints");
  if (endpoints.empty()) return CRnError();
  const std::string clusterName = SettingText("ClusterName");
  if (!Keys::ValidName(clusterName))
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER,
                                   "ClusterEndpoints is set, so ClusterName must be 1 to 128 letters, digits, "
                                   "\"-\", \"_\" or \".\" (it is \"%s\")",
                                   clusterName.c_str());
  WzEtcdClientOptions options;
  if (CRnError e = WzScsiUtils::GetCommaSeperatedValues(endpoints, options.endpoints))
    return e.Push(FX_HERE, "ClusterEndpoints cannot be read");
  options.tlsCaFile = SettingText("ClusterTlsCaFile");
  options.tlsCertFile = SettingText("ClusterTlsCertFile");
  options.tlsKeyFile = SettingText("ClusterTlsKeyFile");
  uint64_t timeoutMs = 2000;
  if (WZPlatformInfo::getNumber(kSection, "ClusterRequestTimeoutMs", timeoutMs).IsError() || timeoutMs < 100)
    timeoutMs = 2000;
  options.requestTimeoutMs = static_cast<int>(std::min<uint64_t>(timeoutMs, 60000));
  std::unique_ptr<WzScsiSrvEtcdClient> etcd, quick;
  if (CRnError e = WzScsiSrvEtcdClient::Create(options, etcd)) return e.Push(FX_HERE, "ClusterEndpoints is wrong");
  // Probes and the re-read of a commit whose answer was lost wait less, so
  // that a lost quorum is seen within a second and refused within the
  // request deadline and a half.
  options.requestTimeoutMs = std::max(100, options.requestTimeoutMs / 2);
  if (CRnError e = WzScsiSrvEtcdClient::Create(options, quick)) return e.Push(FX_HERE);
  m_cluster = std::make_unique<WzScsiSrvClusterStore>(clusterName, std::move(etcd), std::move(quick), m_actionLogStore);
  m_clientStore = m_cluster.get();
  WZLOG(0, "Cluster mode: cluster %s on %s (keys under %s)", clusterName.c_str(), endpoints.c_str(),
        m_cluster->Prefix().c_str());
  return CRnError();
}

// ---------------------------------------------------------------- following the others

void WzScsiSrv::ApplyClusterEvents(const std::vector<WzEtcdEvent>& events) {
  const WzScsiSrvActionLogWriter writer;
  // One transaction's events share its revision: this gateway's own are
  // skipped whole, and forgotten once the update is through.
  std::set<int64_t> revisions;
  for (const WzEtcdEvent& event : events) revisions.insert(event.kv.modRevision);
  const std::set<int64_t> own = m_cluster->TakeOwnRevisions(revisions);
  for (const WzEtcdEvent& event : events) {
    if (own.count(event.kv.modRevision) != 0) continue;
    const Keys::Parsed p = Keys::Parse(m_cluster->Prefix(), event.kv.key);
    if (p.kind == Keys::Parsed::NONE || p.kind == Keys::Parsed::SEQ) continue;
    if (event.type == WzEtcdEvent::Type::kDelete && !ModelHolds(p)) {
      // Already gone: this gateway's own removal whose answer came after
      // its event, or a removal a resync made.
      CRnError ignored = p.kind == Keys::Parsed::TARGET
                             ? CRnDirectory::Remove(Layout::TargetDir(m_sActionLogRoot, p.target), true, false)
                             : FXFile::RemoveFile(CachePath(m_sActionLogRoot, p));
      (void)ignored;
      continue;
    }
    const std::string dir = Layout::TargetDir(m_sActionLogRoot, p.target);
    const std::string path = CachePath(m_sActionLogRoot, p);
    CRnError applied;
    if (event.type == WzEtcdEvent::Type::kPut) {
      if (CRnError e = writer.SaveText(path, event.kv.value, p.kind == Keys::Parsed::AUTH ? 0600 : 0644)) {
        WZLOG(-1, "The cluster's %s could not be written to the local cache: %s", Describe(p).c_str(),
              e.AsString().c_str());
      }
      switch (p.kind) {
        case Keys::Parsed::TARGET:
          applied = PlaybackTarget(dir, true);
          break;
        case Keys::Parsed::AUTH:
          PlaybackAuth(dir, p.target);
          break;
        case Keys::Parsed::LUN:
          applied = PlaybackOne(path, Layout::LunFileName(p.lun), p.target, PlaybackKind::LUNS, true);
          break;
        case Keys::Parsed::MAP:
          applied = PlaybackOne(path, Layout::MappingFileName(p.host, p.lun), p.target, PlaybackKind::MAPPINGS, true);
          break;
        default:
          break;
      }
    } else {
      switch (p.kind) {
        case Keys::Parsed::TARGET: {
          WzScsiServer::DeleteTarget request;
          request.setTargetId(p.target);
          applied = DeleteTarget(nullptr, &request);
          CRnError ignored = CRnDirectory::Remove(dir, true, false);
          (void)ignored;
          break;
        }
        case Keys::Parsed::LUN: {
          WzScsiServer::DeleteLun request;
          request.setTargetId(p.target);
          request.setLunId(p.lun);
          applied = DeleteLun(nullptr, &request);
          CRnError ignored = FXFile::RemoveFile(path);
          (void)ignored;
          break;
        }
        case Keys::Parsed::MAP: {
          WzScsiServer::UnMapLun2Host request;
          request.setTargetId(p.target);
          request.setLunId(p.lun);
          request.setHostId(p.host);
          applied = UnMapHost(nullptr, &request);
          CRnError ignored = FXFile::RemoveFile(path);
          (void)ignored;
          break;
        }
        default:
          break;  // CHAP goes with its target
      }
    }
    if (applied)
      WZLOG(-1, "Could not apply from the cluster: %s %s (revision %lld): %s",
            event.type == WzEtcdEvent::Type::kPut ? "put" : "removal of", Describe(p).c_str(),
            static_cast<long long>(event.kv.modRevision), applied.AsString().c_str());
    else
      WZLOG(1, "Applied from the cluster: %s %s (revision %lld)",
            event.type == WzEtcdEvent::Type::kPut ? "put" : "removal of", Describe(p).c_str(),
            static_cast<long long>(event.kv.modRevision));
  }
}

bool WzScsiSrv::ModelHolds(const WzScsiSrvClusterKeys::Parsed& p) {
  WzReaderLock model(&m_modelMutex);
  auto slot = m_mapTargets.find(p.target);
  if (slot == m_mapTargets.end() || slot->second->state != TargetSlot::LIVE) return false;
  if (p.kind == Keys::Parsed::TARGET || p.kind == Keys::Parsed::AUTH) return true;
  auto lun = slot->second->target.luns.find(p.lun);
  if (lun == slot->second->target.luns.end()) return false;
  return p.kind == Keys::Parsed::LUN || lun->second.hosts.count(p.host) != 0;
}

void WzScsiSrv::OnClusterUpdate(const WzEtcdWatchUpdate& update) {
  if (update.kind == WzEtcdWatchUpdate::Kind::kEvents) {
    {
      WzWriterLock gate(&m_changeGate);
      CRnError ignored = WzNoThrow(FX_HERE, "Applying the cluster's changes", [&]() WZ_NO_THREAD_SAFETY_ANALYSIS {
        ApplyClusterEvents(update.events);
        return CRnError();
      });
      (void)ignored;
    }
    int64_t last = update.revision;
    for (const WzEtcdEvent& e : update.events) last = std::max(last, e.kv.modRevision);
    m_clusterApplied = std::max(m_clusterApplied.load(), last);
    m_cluster->NoteStoreRevision(last);
    return;
  }
  WzMutexLock lock(&m_clusterMutex);
  if (update.kind == WzEtcdWatchUpdate::Kind::kCompacted) {
    WZLOG(0, "The cluster's history before revision %lld is compacted: reading it whole",
          static_cast<long long>(update.compactRevision));
    m_clusterNeedResync = true;
  }
  m_clusterWake.SignalAll();
}

CRnError WzScsiSrv::SyncCacheFrom(const WzEtcdRange& range) {
  const WzScsiSrvActionLogWriter writer;
  std::set<std::string> wanted;
  CRnError first;
  size_t written = 0;
  for (const WzEtcdKeyValue& kv : range.kvs) {
    const Keys::Parsed p = Keys::Parse(m_cluster->Prefix(), kv.key);
    const std::string path = CachePath(m_sActionLogRoot, p);
    if (path.empty()) continue;
    wanted.insert(path);
    std::string current;
    CRnFile in;
    if (in.Open(path, 0, 0).IsSuccess() && in.ReadAll(current, kv.value.size() + 1).IsSuccess() && current == kv.value)
      continue;
    if (CRnError e = writer.SaveText(path, kv.value, p.kind == Keys::Parsed::AUTH ? 0600 : 0644)) {
      if (first.IsSuccess()) first = e;
      continue;
    }
    ++written;
  }
  // What the cluster no longer holds leaves the cache.
  size_t removed = 0;
  const std::string targets = Layout::TargetsDir(m_sActionLogRoot);
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

void WzScsiSrv::RemoveWhatTheCacheLacks() {
  const TargetMap model = SnapshotTargets();
  for (const auto& entry : model) {
    const std::string& name = entry.first;
    const Target& target = entry.second;
    const std::string dir = Layout::TargetDir(m_sActionLogRoot, name);
    const bool targetGone = !CRnPath::Exists(Layout::TargetFile(dir));
    for (const auto& unit : target.luns) {
      const bool lunGone = targetGone || !CRnPath::Exists(Layout::LunFile(dir, unit.first));
      for (const auto& host : unit.second.hosts) {
        if (!lunGone && CRnPath::Exists(Layout::MappingFile(dir, host.first, unit.first))) continue;
        WzScsiServer::UnMapLun2Host request;
        request.setTargetId(name);
        request.setLunId(unit.first);
        request.setHostId(host.first);
        if (CRnError e = UnMapHost(nullptr, &request))
          WZLOG(-1, "Resync: could not unmap %s from LUN %d of %s: %s", host.first.c_str(), unit.first, name.c_str(),
                e.AsString().c_str());
      }
      if (!lunGone) continue;
      WzScsiServer::DeleteLun request;
      request.setTargetId(name);
      request.setLunId(unit.first);
      if (CRnError e = DeleteLun(nullptr, &request))
        WZLOG(-1, "Resync: could not delete LUN %d of %s: %s", unit.first, name.c_str(), e.AsString().c_str());
    }
    if (targetGone) {
      WzScsiServer::DeleteTarget request;
      request.setTargetId(name);
      if (CRnError e = DeleteTarget(nullptr, &request))
        WZLOG(-1, "Resync: could not delete target %s: %s", name.c_str(), e.AsString().c_str());
    } else if (target.chap.enabled && !CRnPath::Exists(Layout::AuthFile(dir))) {
      auto off = NewSetTargetAuth(name, "", "", "", "", 0);
      if (CRnError e = SetTargetAuth(nullptr, off.get()))
        WZLOG(-1, "Resync: could not turn CHAP of %s off: %s", name.c_str(), e.AsString().c_str());
    }
  }
}

CRnError WzScsiSrv::ClusterResync(const char* why) {
  {
    std::unique_ptr<WzEtcdWatch> old;
    {
      WzMutexLock lock(&m_clusterMutex);
      old = std::move(m_clusterWatch);
    }
    if (old) old->Stop();
  }
  WzEtcdRange range;
  if (CRnError e = m_cluster->Etcd().GetPrefix(m_cluster->Prefix(), range)) {
    m_cluster->SetAvailable(false);
    return e.Push(FX_HERE);
  }
  m_cluster->SetAvailable(true);
  WZLOG(0, "Cluster resync (%s) at revision %lld", why, static_cast<long long>(range.revision));
  CRnError synced = SyncCacheFrom(range);
  {
    WzWriterLock gate(&m_changeGate);
    RemoveWhatTheCacheLacks();
  }
  CRnError played = Playback(true);
  (void)played;
  ReconcileReport report;
  CRnError reconciled = Reconcile(false, std::string("cluster resync"), report);
  (void)reconciled;
  {
    WzMutexLock lock(&m_clusterMutex);
    m_clusterNextRevision = range.revision + 1;
    m_clusterNeedResync = false;
  }
  m_cluster->ForgetOwnRevisions();
  m_clusterApplied = range.revision;
  return synced;
}

void WzScsiSrv::ClusterStartSync() {
  if (!ClusterMode()) return;
  WzEtcdRange range;
  if (CRnError e = m_cluster->Etcd().GetPrefix(m_cluster->Prefix(), range)) {
    m_cluster->SetAvailable(false);
    WZLOG(0, "The cluster cannot be reached (%s): starting from the local cache", WzEtcd::Reason(e).c_str());
    WzMutexLock lock(&m_clusterMutex);
    m_clusterNeedResync = true;
    return;
  }
  m_cluster->SetAvailable(true);
  CRnError ignored = SyncCacheFrom(range);
  (void)ignored;
  WzMutexLock lock(&m_clusterMutex);
  m_clusterNextRevision = range.revision + 1;
  m_clusterNeedResync = false;
  m_clusterApplied = range.revision;
}

void WzScsiSrv::StartClusterSync() {
  if (!ClusterMode() || m_clusterThread) return;
  {
    WzMutexLock lock(&m_clusterMutex);
    m_clusterStop = false;
  }
  m_clusterThread = std::make_unique<std::thread>([this] { ClusterLoop(); });
}

void WzScsiSrv::StopClusterSync() {
  if (m_clusterThread) {
    {
      WzMutexLock lock(&m_clusterMutex);
      m_clusterStop = true;
    }
    m_clusterWake.SignalAll();
    m_clusterThread->join();
    m_clusterThread.reset();
  }
  std::unique_ptr<WzEtcdWatch> watch;
  {
    WzMutexLock lock(&m_clusterMutex);
    watch = std::move(m_clusterWatch);
  }
  if (watch) watch->Stop();
}

void WzScsiSrv::ClusterLoop() WZ_NO_THREAD_SAFETY_ANALYSIS {
  int64_t lastFailureLog = 0;
  for (;;) {
    bool resync = false;
    bool watching = false;
    int64_t from = 0;
    {
      WzMutexLock lock(&m_clusterMutex);
      if (m_clusterStop) return;
      resync = m_clusterNeedResync;
      watching = m_clusterWatch && m_clusterWatch->Running();
      from = m_clusterWatch ? m_clusterWatch->NextRevision() : m_clusterNextRevision;
    }
    // The probe: a linearizable read fails at once without quorum.
    WzEtcdRange probe;
    CRnError probed = m_cluster->Quick().Get(m_cluster->Prefix() + "probe", probe);
    m_cluster->SetAvailable(probed.IsSuccess());
    if (probed.IsSuccess()) {
      m_cluster->NoteStoreRevision(probe.revision);
      CRnError result;
      if (resync) {
        result = WzNoThrow(FX_HERE, "Cluster resync", [&] { return ClusterResync("after a gap"); });
      } else if (!watching && !m_stopping.load()) {
        std::unique_ptr<WzEtcdWatch> watch;
        result = m_cluster->Etcd().Watch(
            m_cluster->Prefix(), from, [this](const WzEtcdWatchUpdate& u) { OnClusterUpdate(u); }, watch);
        if (result.IsSuccess()) {
          WzMutexLock lock(&m_clusterMutex);
          m_clusterNextRevision = from;
          m_clusterWatch = std::move(watch);
        }
      }
      if (result.IsError() && WzNowMs() - lastFailureLog > 60000) {
        lastFailureLog = WzNowMs();
        WZLOG(-1, "Following the cluster failed: %s", result.AsString().c_str());
      }
    }
    WzMutexLock lock(&m_clusterMutex);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kProbeIntervalMs);
    while (!(m_clusterStop || m_clusterNeedResync || (m_clusterWatch && !m_clusterWatch->Running())) &&
           std::chrono::steady_clock::now() < until)
      m_clusterWake.WaitFor(until - std::chrono::steady_clock::now());
  }
}

void WzScsiSrv::ClusterStatusLines(std::vector<std::string>& lines) {
  if (!ClusterMode()) return;
  lines.push_back("cluster.name=" + m_cluster->Name());
  lines.push_back(std::string("cluster.available=") + (m_cluster->Available() ? "yes" : "no"));
  const int64_t applied = m_clusterApplied.load();
  const int64_t store = m_cluster->StoreRevision();
  lines.push_back("cluster.revision=" + std::to_string(applied));
  lines.push_back("cluster.storeRevision=" + std::to_string(store));
  lines.push_back("cluster.lag=" + std::to_string(store > applied ? store - applied : 0));
  bool watching = false;
  {
    WzMutexLock lock(&m_clusterMutex);
    watching = m_clusterWatch && m_clusterWatch->Running();
  }
  lines.push_back(std::string("cluster.watching=") + (watching ? "yes" : "no"));
  std::vector<WzEtcdMember> members;
  if (m_cluster->Etcd().MemberList(members).IsSuccess()) {
    lines.push_back("cluster.members=" + std::to_string(members.size()));
    for (const WzEtcdMember& m : members)
      lines.push_back("cluster.member=" + m.name + " " + (m.clientUrls.empty() ? std::string("-") : m.clientUrls[0]));
  }
}
