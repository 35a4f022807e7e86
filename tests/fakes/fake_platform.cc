// Platform driver double: keeps the targets, LUN numbers and host bindings a
// real engine would (per LUN), numbers new LUNs with the lowest free number
// from 0, and journals every call. The engine "restarts" empty when the
// number in the file named by WZSCSI_FAKE_ENGINE changes (0: unreachable).
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "drivers/WzScsiSrvPlatform.h"
#include "hostlib/util/wz_environment.h"
#include "tests/fakes/fake_common.h"

namespace {

class FakePlatform : public WzScsiSrvPlatform {
 public:
  CRnError Init() override { return wzfake::Call("platform", "Init", {}); }

  CRnError CreateTarget(WzScsiSrvModelTarget& t) override {
    if (CRnError e = wzfake::Call("platform", "CreateTarget", {{"targetId", t.targetId}, {"desc", t.targetDesc}}))
      return e;
    // Engine state under the lock; the call itself (and its delay) outside,
    // so that calls for different targets overlap as on a real engine.
    std::lock_guard<std::mutex> g(m_lock);
    Follow();
    if (!m_targets.emplace(t.targetId, Target{}).second)
      return FXErrorUtil::ErrorWin32(FX_HERE_IN("platform"), 183, "fake engine: target %s exists", t.targetId.c_str());
    return CRnError();
  }

  CRnError DeleteTarget(WzScsiSrvModelTarget& t) override {
    if (CRnError e = wzfake::Call("platform", "DeleteTarget", {{"targetId", t.targetId}})) return e;
    std::lock_guard<std::mutex> g(m_lock);
    Follow();
    auto it = m_targets.find(t.targetId);
    if (it == m_targets.end())
      return FXErrorUtil::ErrorWin32(FX_HERE_IN("platform"), 1168, "fake engine: no target %s", t.targetId.c_str());
    if (!it->second.luns.empty())
      return FXErrorUtil::ErrorWin32(FX_HERE_IN("platform"), 5, "fake engine: target %s has LUNs", t.targetId.c_str());
    m_targets.erase(it);
    return CRnError();
  }

  CRnError CreateLun(WzScsiSrvLun* lun) override {
    int32_t number = lun->lunId;
    {
      std::lock_guard<std::mutex> g(m_lock);
      Follow();
      auto it = m_targets.find(lun->targetId);
      if (it != m_targets.end() && number == -1) {
        number = 0;
        while (it->second.luns.count(number) != 0) ++number;
      }
    }
    if (CRnError e = wzfake::Call("platform", "CreateLun",
                                  {{"targetId", lun->targetId},
                                   {"lunId", std::to_string(number)},
                                   {"path", lun->path},
                                   {"size", std::to_string(lun->size)},
                                   {"type", std::to_string(lun->bstorType)},
                                   {"ctx", lun->bstoreCtx != nullptr ? "1" : "0"}}))
      return e;
    std::lock_guard<std::mutex> g(m_lock);
    Follow();
    auto it = m_targets.find(lun->targetId);
    if (it == m_targets.end())
      return FXErrorUtil::ErrorWin32(FX_HERE_IN("platform"), 1168, "fake engine: no target %s", lun->targetId.c_str());
    it->second.luns[number] = lun->path;
    lun->lunId = number;
    return CRnError();
  }

  CRnError DeleteLun(WzScsiSrvLun* lun) override {
    if (CRnError e =
            wzfake::Call("platform", "DeleteLun", {{"targetId", lun->targetId}, {"lunId", std::to_string(lun->lunId)}}))
      return e;
    std::lock_guard<std::mutex> g(m_lock);
    Follow();
    auto it = m_targets.find(lun->targetId);
    if (it != m_targets.end()) {
      it->second.luns.erase(lun->lunId);
      for (auto& host : it->second.hosts) host.second.erase(lun->lunId);
    }
    return CRnError();
  }

  CRnError MapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) override {
    if (CRnError e = wzfake::Call("platform", "MapHost",
                                  {{"targetId", lun.targetId},
                                   {"lunId", std::to_string(lun.lunId)},
                                   {"hostId", host.hostId},
                                   {"hostDesc", host.hostDesc}}))
      return e;
    std::lock_guard<std::mutex> g(m_lock);
    Follow();
    auto it = m_targets.find(lun.targetId);
    if (it != m_targets.end()) it->second.hosts[host.hostId].insert(lun.lunId);
    return CRnError();
  }

  CRnError UnMapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) override {
    if (CRnError e =
            wzfake::Call("platform", "UnMapHost",
                         {{"targetId", lun.targetId}, {"lunId", std::to_string(lun.lunId)}, {"hostId", host.hostId}}))
      return e;
    std::lock_guard<std::mutex> g(m_lock);
    Follow();
    Unbind(lun.targetId, lun.lunId, host.hostId);
    return CRnError();
  }

  CRnError ListOwned(WzScsiSrvEngineView& view) override {
    std::lock_guard<std::mutex> g(m_lock);
    Follow();
    if (CRnError e = wzfake::Call("platform", "ListOwned", {})) return e;
    view = WzScsiSrvEngineView();
    for (const auto& t : m_targets) {
      WzScsiSrvEngineTarget& held = view.targets[t.first];
      held.targetId = t.first;
      for (const auto& lun : t.second.luns) {
        held.luns[lun.first].lunId = lun.first;
        held.luns[lun.first].path = lun.second;
      }
      for (const auto& host : t.second.hosts)
        if (!host.second.empty()) held.hosts[host.first] = host.second;
    }
    return CRnError();
  }

  CRnError RemoveOrphan(const WzScsiSrvOrphan& o) override {
    std::lock_guard<std::mutex> g(m_lock);
    Follow();
    static const char* const kKinds[] = {"target", "lun", "host"};
    if (CRnError e = wzfake::Call("platform", "RemoveOrphan",
                                  {{"kind", kKinds[o.kind % 3]},
                                   {"targetId", o.targetId},
                                   {"lunId", std::to_string(o.lunId)},
                                   {"hostId", o.hostId}}))
      return e;
    auto it = m_targets.find(o.targetId);
    if (it == m_targets.end()) return CRnError();
    if (o.kind == WzScsiSrvOrphan::TARGET) {
      m_targets.erase(it);
    } else if (o.kind == WzScsiSrvOrphan::LUN) {
      it->second.luns.erase(o.lunId);
      for (auto& host : it->second.hosts) host.second.erase(o.lunId);
    } else if (o.lunId < 0) {
      it->second.hosts.erase(o.hostId);
    } else {
      Unbind(o.targetId, o.lunId, o.hostId);
    }
    return CRnError();
  }

  // Journals the user names, never the secrets.
  CRnError SetTargetAuth(WzScsiSrvModelTarget& t, const WzScsiSrvChap& chap) override {
    if (CRnError e = wzfake::Call("platform", "SetTargetAuth",
                                  {{"targetId", t.targetId},
                                   {"enabled", chap.enabled ? "1" : "0"},
                                   {"user", chap.user},
                                   {"mutualUser", chap.mutualUser},
                                   {"was", t.chap.enabled ? t.chap.user : "-"}}))
      return e;
    std::lock_guard<std::mutex> g(m_lock);
    Follow();
    if (m_targets.count(t.targetId) == 0)
      return FXErrorUtil::ErrorWin32(FX_HERE_IN("platform"), 1168, "fake engine: no target %s", t.targetId.c_str());
    return CRnError();
  }

  // Not journalled: the service asks every second.
  uint64_t EngineInstance() override {
    std::lock_guard<std::mutex> g(m_lock);
    Follow();
    return m_instance;
  }

  CRnError CleanUp() override { return wzfake::Call("platform", "CleanUp", {}); }

 private:
  struct Target {
    std::map<int32_t, std::string> luns;             // number -> path
    std::map<std::string, std::set<int32_t>> hosts;  // initiator -> LUN numbers
  };

  void Unbind(const std::string& target, int32_t lun, const std::string& host) {
    auto it = m_targets.find(target);
    if (it == m_targets.end()) return;
    auto h = it->second.hosts.find(host);
    if (h == it->second.hosts.end()) return;
    h->second.erase(lun);
    if (h->second.empty()) it->second.hosts.erase(h);
  }

  // An engine restart (the number in WZSCSI_FAKE_ENGINE changed) loses all.
  void Follow() {
    const std::string file = WzEnvironment::Get("WZSCSI_FAKE_ENGINE");
    if (file.empty()) return;
    std::ifstream in(file);
    uint64_t instance = 1;
    if (!(in >> instance)) return;
    if (instance != m_instance) m_targets.clear();
    m_instance = instance;
  }

  std::mutex m_lock;
  std::map<std::string, Target> m_targets;
  uint64_t m_instance = 1;
};

}  // namespace

#if !defined(WZ_FAKE_NO_ENTRY)
extern "C" WZ_EXPORT WzScsiSrvPlatform* GetWZScsiPlatformObj() {
#if defined(WZ_FAKE_NULL_ENTRY)
  return nullptr;
#else
  return new FakePlatform();
#endif
}
#endif
