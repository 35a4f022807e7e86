// The tests' way into the service's private members (the model, the
// platform object, the host pointers). Nothing but tests includes this.
#pragma once

#include <string>

#include "service/WzScsiSrv.h"

class WzScsiSrvTestPeer {
 public:
  explicit WzScsiSrvTestPeer(WzScsiSrv& service) : m_service(service) {}

  std::shared_ptr<WzScsiSrvPlatform>& Platform() { return m_service.m_ptrPlatform; }
  CRnLibrary& PlatformLib() { return m_service.m_platformLib; }
  IOnDemandSvcApp*& SvcApp() { return m_service.m_pSvcApp; }
  std::string& ActionLogRoot() { return m_service.m_sActionLogRoot; }
  std::string& IdleSemName() { return m_service.m_sIdleSemName; }
  WzThreadPool& Pool() { return m_service.m_threadPool; }
  WzScsiSrvSettings& Settings() { return m_service.m_settings; }
  // Null on a gateway of its own.
  WzScsiSrvClusterFollower* Follower() { return m_service.m_follower.get(); }
  WzScsiSrvClusterStore* ClusterStore() { return m_service.m_cluster.get(); }
  // Changes a target's record straight in the model (no drivers, no save),
  // making the target when it does not exist.
  template <class Edit>
  void EditTarget(const std::string& name, Edit edit) {
    WzWriterLock model(&m_service.m_modelMutex);
    std::shared_ptr<WzScsiSrv::TargetSlot>& slot = m_service.m_mapTargets[name];
    if (!slot) {
      slot = std::make_shared<WzScsiSrv::TargetSlot>();
      slot->target.targetId = name;
      slot->state = WzScsiSrv::TargetSlot::LIVE;
      m_service.m_nTargets = m_service.m_mapTargets.size();
    }
    edit(slot->target);
  }
  // Holds the change gate exclusively (as a replay does) until the returned
  // guard ends.
  WzSharedMutex& ChangeGate() { return m_service.m_changeGate; }

 private:
  WzScsiSrv& m_service;
};
