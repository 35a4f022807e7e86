// Backing-store double (built four times: blkdev, devsnap, fsblb, rbd).
// Prepare fills bstoreCtx, path and size as a real store would; a close-only
// delete keeps the context so that an open can reuse it. The rbd double also
// journals the Ceph identity the service gave (extData) and whether a delete
// asks to remove the image.
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "drivers/WzScsiBStorOps.h"
#include "hostlib/util/CCommandLineArguments.h"
#include "tests/fakes/fake_common.h"

#ifndef WZ_FAKE_KIND
#error WZ_FAKE_KIND must name the store
#endif

namespace {

const bool kRbd = std::string(WZ_FAKE_KIND) == "rbd";

struct Ctx {
  int id;
};

class FakeBStor : public WzScsiBStorOps {
 public:
  ~FakeBStor() override {
    for (Ctx* c : m_live) delete c;
  }
  CRnError Cleanup() override {
    std::lock_guard<std::mutex> g(m_lock);
    for (Ctx* c : m_live) delete c;
    m_live.clear();
    return wzfake::Call(WZ_FAKE_KIND, "Cleanup", {});
  }

  CRnError CreateLunPrepare(WzScsiServer::BStoreDesc* desc, WzScsiSrvLun* lun) override {
    std::lock_guard<std::mutex> g(m_lock);
    std::string args = desc != nullptr ? desc->args() : "";
    wzfake::Fields fields{{"targetId", lun->targetId}, {"lunId", std::to_string(lun->lunId)}, {"args", args}};
    if (kRbd) fields.emplace_back("extData", lun->extData);
    if (CRnError e = wzfake::Call(WZ_FAKE_KIND, "CreateLunPrepare", fields)) return e;
    CCommandLineArguments parsed(args.c_str());
    std::string path, ssid, size;
    if (parsed.GetOption("path", path).IsError() || path.empty()) {
      if (parsed.GetOption("ssid", ssid).IsSuccess()) path = "/fake/snapshots/" + ssid;
    }
    // An open names neither: the LUN keeps its backing.
    if (!path.empty() || lun->path.empty()) lun->path = path;
    lun->size = 64ull << 20;
    if (parsed.GetOption("size", size).IsSuccess()) lun->size = strtoull(size.c_str(), nullptr, 10);
    // An open of a closed LUN brings its context back; anything else gets a new one.
    Ctx* ctx = static_cast<Ctx*>(lun->bstoreCtx);
    if (ctx == nullptr || m_live.count(ctx) == 0) {
      ctx = new Ctx{++m_nextId};
      m_live.insert(ctx);
    }
    lun->bstoreCtx = ctx;
    return CRnError();
  }

  CRnError CreateLunCommit(WzScsiServer::BStoreDesc*, WzScsiSrvLun* lun) override {
    return wzfake::Call(WZ_FAKE_KIND, "CreateLunCommit",
                        {{"targetId", lun->targetId}, {"lunId", std::to_string(lun->lunId)}});
  }

  CRnError CreateLunAbort(WzScsiSrvLun* lun) override {
    std::lock_guard<std::mutex> g(m_lock);
    CRnError e = wzfake::Call(WZ_FAKE_KIND, "CreateLunAbort",
                              {{"targetId", lun->targetId}, {"lunId", std::to_string(lun->lunId)}});
    if (e.IsSuccess()) Forget(lun->bstoreCtx);
    return e;
  }

  CRnError DeleteLunPrepare(void* ctx) override {
    std::lock_guard<std::mutex> g(m_lock);
    if (kRbd) {
      return wzfake::Call(WZ_FAKE_KIND, "DeleteLunPrepare",
                          {{"ctx", CtxId(ctx)}, {"removeImage", wzfake::ThreadFlag("RemoveImage")}});
    }
    return wzfake::Call(WZ_FAKE_KIND, "DeleteLunPrepare", {{"ctx", CtxId(ctx)}});
  }

  CRnError DeleteLunCommit(void* ctx) override {
    std::lock_guard<std::mutex> g(m_lock);
    CRnError e = wzfake::Call(WZ_FAKE_KIND, "DeleteLunCommit", {{"ctx", CtxId(ctx)}});
    if (e.IsSuccess() && wzfake::ThreadFlag("CloseOnly") != "1") Forget(ctx);
    return e;
  }

  CRnError DeleteLunAbort(void* ctx) override {
    std::lock_guard<std::mutex> g(m_lock);
    return wzfake::Call(WZ_FAKE_KIND, "DeleteLunAbort", {{"ctx", CtxId(ctx)}});
  }

  CRnError ResizeLun(void* ctx, uint64_t newBytes) override {
    std::lock_guard<std::mutex> g(m_lock);
    return wzfake::Call(WZ_FAKE_KIND, "ResizeLun", {{"ctx", CtxId(ctx)}, {"bytes", std::to_string(newBytes)}});
  }

  CRnError HandleXDRMessage(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer*, WznHandle_t handle,
                            unsigned long id, wzsDatabuf_v2* buffer) override {
    char hex[32];
    snprintf(hex, sizeof(hex), "0x%lX", id);
    return wzfake::Call(WZ_FAKE_KIND, "HandleXDRMessage",
                        {{"kind", std::to_string(kind)},
                         {"handle", std::to_string(handle)},
                         {"id", hex},
                         {"length", std::to_string(buffer != nullptr ? buffer->length : 0)}});
  }

 private:
  // Callers hold m_lock.
  std::string CtxId(void* ctx) {
    Ctx* c = static_cast<Ctx*>(ctx);
    return c != nullptr && m_live.count(c) != 0 ? std::to_string(c->id) : "unknown";
  }
  void Forget(void* ctx) {
    Ctx* c = static_cast<Ctx*>(ctx);
    if (m_live.erase(c) != 0) delete c;
  }

  std::mutex m_lock;
  std::set<Ctx*> m_live;
  int m_nextId = 0;
};

FakeBStor g_ops;

}  // namespace

extern "C" WZ_EXPORT WzScsiBStorOps* GetBstorOps() { return &g_ops; }
