// The cluster mode's part of the service object: its start from the
// settings, and what the follower (service/cluster_follower.h) asks of the
// service to apply the other gateways' changes. The record of the changes
// of this gateway's clients is the cluster's store (service/cluster_store.h).
#include <algorithm>

#include "hostlib/errors/no_throw.h"
#include "hostlib/log/LogWriter.h"
#include "hostlib/util/RnFiles.h"
#include "hostlib/util/WzScsiUtils.h"
#include "messages/WzScsiServerRequests.h"
#include "service/cluster_follower.h"
#include "service/handler_frame.h"

namespace Keys = WzScsiSrvClusterKeys;
using namespace WzScsiServer;

CRnError WzScsiSrv::InitCluster() {
  m_follower.reset();
  m_cluster.reset();
  m_clientStore = &m_actionLogStore;
  const std::string& endpoints = m_settings.clusterEndpoints;
  if (endpoints.empty()) return CRnError();
  const std::string& clusterName = m_settings.clusterName;
  if (!Keys::ValidName(clusterName))
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER,
                                   "ClusterEndpoints is set, so ClusterName must be 1 to 128 letters, digits, "
                                   "\"-\", \"_\" or \".\" (it is \"%s\")",
                                   clusterName.c_str());
  WzEtcdClientOptions options;
  if (CRnError e = WzScsiUtils::GetCommaSeperatedValues(endpoints, options.endpoints))
    return e.Push(FX_HERE, "ClusterEndpoints cannot be read");
  options.tlsCaFile = m_settings.clusterTlsCaFile;
  options.tlsCertFile = m_settings.clusterTlsCertFile;
  options.tlsKeyFile = m_settings.clusterTlsKeyFile;
  options.requestTimeoutMs = m_settings.clusterRequestTimeoutMs;
  // A watch with nothing to say for this long is opened again: cheap (no
  // full read), and it ends a stream that died without a word.
  options.watchIdleMs = std::max(10000, 4 * m_settings.clusterWatchDeadlineSecs * 1000);
  options.pageKeys = m_settings.clusterReadPageKeys;
  std::unique_ptr<WzScsiSrvEtcdClient> etcd, quick;
  if (CRnError e = WzScsiSrvEtcdClient::Create(options, etcd)) return e.Push(FX_HERE, "ClusterEndpoints is wrong");
  // Probes and the re-read of a commit whose answer was lost wait less, so
  // that a lost quorum is seen within a second and refused within the
  // request deadline and a half.
  options.requestTimeoutMs = std::max(100, options.requestTimeoutMs / 2);
  if (CRnError e = WzScsiSrvEtcdClient::Create(options, quick)) return e.Push(FX_HERE);
  m_cluster = std::make_unique<WzScsiSrvClusterStore>(clusterName, std::move(etcd), std::move(quick), m_actionLogStore);
  WzScsiSrvClusterFollower::Options following;
  following.watchDeadlineMs = static_cast<int64_t>(m_settings.clusterWatchDeadlineSecs) * 1000;
  following.fenceAfterMs = static_cast<int64_t>(m_settings.clusterFenceAfterSecs) * 1000;
  m_follower =
      std::make_unique<WzScsiSrvClusterFollower>(*m_cluster, static_cast<WzScsiSrvClusterApplier&>(*this), following);
  m_clientStore = m_cluster.get();
  WZLOG(0, "Cluster mode: cluster %s on %s (keys under %s)", clusterName.c_str(), endpoints.c_str(),
        m_cluster->Prefix().c_str());
  return CRnError();
}

// ---------------------------------------------------------------- what the follower asks

const std::string& WzScsiSrv::CacheRoot() const { return m_sActionLogRoot; }

void WzScsiSrv::WhileNoChangeRuns(const std::function<void()>& apply) {
  WzWriterLock gate(&m_changeGate);
  CRnError ignored = WzNoThrow(FX_HERE, "Applying the cluster's changes", [&] {
    apply();
    return CRnError();
  });
  (void)ignored;
}

void WzScsiSrv::BeginClusterApply(std::vector<ReplayFailure>& refused) {
  WzMutexLock lock(&m_reportMutex);
  m_clusterRefusals = &refused;
}

CRnError WzScsiSrv::EndClusterApply(CRnError result, const std::vector<ReplayFailure>& refused) {
  {
    WzMutexLock lock(&m_reportMutex);
    m_clusterRefusals = nullptr;
  }
  if (result.IsError() || refused.empty()) return result;
  // The playback logged, listed and skipped what it refused, and said
  // success: the event is not applied, and the follower must say so.
  const std::string kRefusedPrefix = "refused from the cluster: ";
  std::string why;
  for (const ReplayFailure& f : refused) {
    if (!why.empty()) why += "; ";
    why += f.kind + (f.target.empty() ? std::string() : " of " + f.target) +
           (f.lunId >= 0 ? " LUN " + std::to_string(f.lunId) : std::string()) +
           (f.host.empty() ? std::string() : " host " + f.host) + ": " +
           (f.reason.compare(0, kRefusedPrefix.size(), kRefusedPrefix) == 0 ? f.reason.substr(kRefusedPrefix.size())
                                                                            : f.reason);
  }
  return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "%s", why.c_str());
}

CRnError WzScsiSrv::ApplyTarget(const std::string& targetDir) {
  std::vector<ReplayFailure> refused;
  BeginClusterApply(refused);
  return EndClusterApply(PlaybackTarget(targetDir, true), refused);
}

CRnError WzScsiSrv::ApplyAuth(const std::string& targetDir, const std::string& target) {
  std::vector<ReplayFailure> refused;
  BeginClusterApply(refused);
  PlaybackAuth(targetDir, target);
  return EndClusterApply(CRnError(), refused);
}

CRnError WzScsiSrv::ApplyLun(const std::string& path, const std::string& target) {
  std::vector<ReplayFailure> refused;
  BeginClusterApply(refused);
  return EndClusterApply(PlaybackLun(path, target, true), refused);
}

CRnError WzScsiSrv::ApplyMapping(const std::string& path, const std::string& target) {
  std::vector<ReplayFailure> refused;
  BeginClusterApply(refused);
  return EndClusterApply(PlaybackMapping(path, target, true), refused);
}

CRnError WzScsiSrv::RemoveTarget(const std::string& target) {
  WzScsiServer::DeleteTarget request;
  request.setTargetId(target);
  return DeleteTarget(nullptr, &request);
}

CRnError WzScsiSrv::RemoveLun(const std::string& target, int32_t lun) {
  WzScsiServer::DeleteLun request;
  request.setTargetId(target);
  request.setLunId(lun);
  return DeleteLun(nullptr, &request);
}

CRnError WzScsiSrv::RemoveMapping(const std::string& target, int32_t lun, const std::string& host) {
  WzScsiServer::UnMapLun2Host request;
  request.setTargetId(target);
  request.setLunId(lun);
  request.setHostId(host);
  return UnMapHost(nullptr, &request);
}

CRnError WzScsiSrv::TurnChapOff(const std::string& target) {
  auto off = NewSetTargetAuth(target, "", "", "", "", 0);
  return SetTargetAuth(nullptr, off.get());
}

bool WzScsiSrv::Holds(const WzScsiSrvClusterKeys::Parsed& p) {
  WzReaderLock model(&m_modelMutex);
  auto slot = m_mapTargets.find(p.target);
  if (slot == m_mapTargets.end() || slot->second->state != TargetSlot::LIVE) return false;
  if (p.kind == Keys::Parsed::TARGET || p.kind == Keys::Parsed::AUTH) return true;
  auto lun = slot->second->target.luns.find(p.lun);
  if (lun == slot->second->target.luns.end()) return false;
  return p.kind == Keys::Parsed::LUN || lun->second.hosts.count(p.host) != 0;
}

WzScsiSrvClusterApplier::Model WzScsiSrv::Snapshot() { return SnapshotTargets(); }

void WzScsiSrv::Withhold(const WzScsiSrvClusterKeys::Parsed& p, bool on) {
  // A mapping leaves the model at once; a LUN or a target may stay in it
  // until its removal goes through, and is withheld from the engine.
  if (p.kind != Keys::Parsed::LUN && p.kind != Keys::Parsed::TARGET) return;
  WzMutexLock lock(&m_reportMutex);
  if (p.kind == Keys::Parsed::TARGET) {
    if (on) {
      m_withheld.targets.insert(p.target);
    } else {
      m_withheld.targets.erase(p.target);
    }
    return;
  }
  std::set<int32_t>& luns = m_withheld.luns[p.target];
  if (on) {
    luns.insert(p.lun);
  } else {
    luns.erase(p.lun);
  }
  if (luns.empty()) m_withheld.luns.erase(p.target);
}

CRnError WzScsiSrv::DropFromEngine(const WzScsiSrvClusterKeys::Parsed& p) {
  namespace Q = WzScsiSrvRequests;
  WzScsiSrvPlatform* platform = m_ptrPlatform.get();
  if (platform == nullptr) return NoPlatformError(FX_HERE);
  WzScsiSrvEngineView view;
  if (CRnError e = platform->ListOwned(view)) return e.Push(FX_HERE, "cannot read what the engine holds");
  auto held = view.targets.find(p.target);
  if (held == view.targets.end()) return CRnError();
  WzScsiSrvOrphan orphan;
  orphan.targetId = p.target;
  if (p.kind == Keys::Parsed::LUN) {
    if (held->second.luns.count(p.lun) == 0) return CRnError();
    orphan.kind = WzScsiSrvOrphan::LUN;
    orphan.lunId = p.lun;
  } else {
    orphan.kind = WzScsiSrvOrphan::TARGET;
  }
  auto work = [&](WzScsiSrvHandlerContext&) { return platform->RemoveOrphan(orphan); };
  return RunChange(p.kind == Keys::Parsed::LUN ? Q::kReconcileLun : Q::kReconcileTarget, p.target, WzScsiSrvWork(work));
}

CRnError WzScsiSrv::ReconcileEngine(const char* why) {
  ReconcileReport report;
  if (CRnError e = Reconcile(false, why, report)) return e;
  if (report.failed != 0)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "%zu differences with the engine not fixed",
                                   report.failed);
  return CRnError();
}

CRnError WzScsiSrv::ClusterImport(CWzNetwork* conn, CNMessageBase* message) {
  WzScsiServer::Error error;
  std::string outcome;
  CRnError result = m_follower ? CRnError()
                               : FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER,
                                                         "this gateway is not in cluster mode (ClusterEndpoints)");
  if (result.IsSuccess()) {
    // No change runs meanwhile: the import writes what the model holds.
    WzWriterLock gate(&m_changeGate);
    result = m_follower->Import(SnapshotTargets(), outcome);
  }
  if (result.IsError()) {
    error.set(WzScsiServer::RC_NOT_READY_OR_FAILED, "Cluster import failed: " + result.AsString());
  } else {
    error.set(WzScsiServer::RC_SUCCESS, "Cluster import: " + outcome);
  }
  AnswerIoctl(conn, message, error);
  return result;
}

void WzScsiSrv::Fence(bool on) {
  m_fenced = on;
  ReconcileReport report;
  CRnError ignored = Reconcile(false, on ? "fenced" : "current again", report);
  (void)ignored;
}

void WzScsiSrv::Reload(const char* why) {
  CRnError played = Playback(true);
  (void)played;
  ReconcileReport report;
  CRnError reconciled = Reconcile(false, why, report);
  (void)reconciled;
}

bool WzScsiSrv::Stopping() { return m_stopping.load(); }
