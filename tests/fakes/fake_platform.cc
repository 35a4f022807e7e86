// Platform driver double: keeps the targets, LUN numbers and host bindings a
// real engine would, numbers new LUNs with the lowest free number from 0, and
// journals every call.
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "drivers/WzScsiSrvPlatform.h"
#include "tests/fakes/fake_common.h"

namespace {

class FakePlatform : public WzScsiSrvPlatform {
 public:
  CRnError Init() override { return wzfake::Call("platform", "Init", {}); }

  CRnError CreateTarget(WzScsiSrvModelTarget& t) override {
    std::lock_guard<std::mutex> g(m_lock);
    if (CRnError e = wzfake::Call("platform", "CreateTarget", {{"targetId", t.targetId}, {"desc", t.targetDesc}}))
      return e;
    if (!m_targets.emplace(t.targetId, Target{}).second)
      return FXErrorUtil::ErrorWin32(FX_HERE_IN("platform"), 183, "fake engine: target %s exists", t.targetId.c_str());
    return CRnError();
  }

  CRnError DeleteTarget(WzScsiSrvModelTarget& t) override {
    std::lock_guard<std::mutex> g(m_lock);
    if (CRnError e = wzfake::Call("platform", "DeleteTarget", {{"targetId", t.targetId}})) return e;
    auto it = m_targets.find(t.targetId);
    if (it == m_targets.end())
      return FXErrorUtil::ErrorWin32(FX_HERE_IN("platform"), 1168, "fake engine: no target %s", t.targetId.c_str());
    if (!it->second.luns.empty())
      return FXErrorUtil::ErrorWin32(FX_HERE_IN("platform"), 5, "fake engine: target %s has LUNs", t.targetId.c_str());
    m_targets.erase(it);
    return CRnError();
  }

  CRnError CreateLun(WzScsiSrvLun* lun) override {
    std::lock_guard<std::mutex> g(m_lock);
    auto it = m_targets.find(lun->targetId);
    int32_t number = lun->lunId;
    if (it != m_targets.end() && number == -1) {
      number = 0;
      while (it->second.luns.count(number) != 0) ++number;
    }
    if (CRnError e = wzfake::Call("platform", "CreateLun",
                                  {{"targetId", lun->targetId}, {"lunId", std::to_string(number)},
                                   {"path", lun->path}, {"size", std::to_string(lun->size)},
                                   {"type", std::to_string(lun->bstorType)},
                                   {"ctx", lun->bstoreCtx != nullptr ? "1" : "0"}}))
      return e;
    if (it == m_targets.end())
      return FXErrorUtil::ErrorWin32(FX_HERE_IN("platform"), 1168, "fake engine: no target %s", lun->targetId.c_str());
    it->second.luns.insert(number);
    lun->lunId = number;
    return CRnError();
  }

  CRnError DeleteLun(WzScsiSrvLun* lun) override {
    std::lock_guard<std::mutex> g(m_lock);
    if (CRnError e = wzfake::Call("platform", "DeleteLun",
                                  {{"targetId", lun->targetId}, {"lunId", std::to_string(lun->lunId)}}))
      return e;
    auto it = m_targets.find(lun->targetId);
    if (it != m_targets.end()) it->second.luns.erase(lun->lunId);
    return CRnError();
  }

  CRnError MapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) override {
    return wzfake::Call("platform", "MapHost",
                        {{"targetId", lun.targetId}, {"lunId", std::to_string(lun.lunId)}, {"hostId", host.hostId},
                         {"hostDesc", host.hostDesc}});
  }

  CRnError UnMapHost(WzScsiSrvModelLun& lun, WzScsiSrvModelHost& host) override {
    return wzfake::Call("platform", "UnMapHost",
                        {{"targetId", lun.targetId}, {"lunId", std::to_string(lun.lunId)}, {"hostId", host.hostId}});
  }

  CRnError CleanUp() override { return wzfake::Call("platform", "CleanUp", {}); }

 private:
  struct Target {
    std::set<int32_t> luns;
  };
  std::mutex m_lock;
  std::map<std::string, Target> m_targets;
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
