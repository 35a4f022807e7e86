// Construction, destruction and the small state accessors of the service.
#include "service/WzScsiSrv.h"

#include "change/target_names.h"
#include "hostlib/log/LogWriter.h"

std::shared_ptr<WzScsiSrv> WzScsiSrv::m_ptrgSingleton;

void WzScsiSrv::SrvDestructor::operator()(WzScsiSrv* p) const {
  if (p != nullptr) delete p;
}

WzScsiSrv::WzScsiSrv() = default;

std::shared_ptr<WzScsiSrv>& WzScsiSrv::Instance() {
  if (!m_ptrgSingleton) m_ptrgSingleton.reset(new WzScsiSrv(), SrvDestructor());
  return m_ptrgSingleton;
}

WzScsiSrv::~WzScsiSrv() {
  WZ_TRACE_SCOPE(6);
  // No worker may still run driver code once the drivers are unloaded; the
  // host normally did this through KillAllJobs already.
  StopEngineWatch();
  if (m_follower) m_follower->Stop();
  // Never unload a driver a worker is inside: wait, however long it takes
  // (a host that cannot wait exits without destroying the service).
  CRnError waited = m_threadPool.waitForAllThreads(true, true, true, 0);
  (void)waited;
  // The driver object's destructor is driver code: release it while its
  // library is still loaded.
  m_ptrPlatform.reset();
  CRnError freed = m_platformLib.Free();
  (void)freed;
  // Nobody else runs any more; the lock is for the rule, not for a race.
  WzMutexLock registry(&m_bstorMutex);
  for (auto& entry : m_mapBStorOps) {
    if (entry.second.second != nullptr) {
      if (CRnError e = entry.second.second->Cleanup()) WZLOG(-1, "Cleanup failed, error=%s", e.AsString().c_str());
    }
    CRnError unloaded = entry.second.first.Free();
    (void)unloaded;
  }
  m_mapBStorOps.clear();
}

void WzScsiSrv::SetStatus(ServiceInitStatus status) {
  WzMutexLock g(&m_mutex);
  m_eStatus = status;
}

WzScsiSrv::ServiceInitStatus WzScsiSrv::GetStatus() { return m_eStatus.load(); }

WzScsiSrv::TargetMap WzScsiSrv::SnapshotTargets() {
  WzReaderLock g(&m_modelMutex);
  TargetMap out;
  for (const auto& entry : m_mapTargets)
    if (entry.second->state == TargetSlot::LIVE) out.emplace(entry.first, entry.second->target);
  return out;
}

bool WzScsiSrv::TargetExists(const std::string& name) {
  WzReaderLock g(&m_modelMutex);
  auto it = m_mapTargets.find(ToLowerTargetName(name));
  return it != m_mapTargets.end() && it->second->state == TargetSlot::LIVE;
}

std::vector<WzScsiServer::BStorType> WzScsiSrv::LoadedBStorTypes() {
  WzMutexLock g(&m_bstorMutex);
  std::vector<WzScsiServer::BStorType> out;
  for (const auto& e : m_mapBStorOps) out.push_back(e.first);
  return out;
}
