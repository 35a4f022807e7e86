#include "plugins/bstor/rbd_store.h"

#include <rados/librados.h>
#include <rbd/librbd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "hostlib/log/LogWriter.h"
#include "plugins/common/plugin_guard.h"

namespace wzrbd {

namespace {

const char* const kFile = "WzScsiSrvBStorRbd";

// A librados or librbd result (a negative errno) as an error naming what
// failed.
CRnError CephError(const FXCodeLocation& where, int rc, const std::string& what) {
  const int err = rc < 0 ? -rc : rc;
  return FXErrorUtil::ErrorErrNo(where, err, "%s: %s", what.c_str(), std::strerror(err));
}

class IoCtx {
 public:
  IoCtx() = default;
  ~IoCtx() {
    if (m_io != nullptr) rados_ioctx_destroy(m_io);
  }
  IoCtx(const IoCtx&) = delete;
  IoCtx& operator=(const IoCtx&) = delete;
  rados_ioctx_t* Out() { return &m_io; }
  rados_ioctx_t Get() const { return m_io; }

 private:
  rados_ioctx_t m_io = nullptr;
};

class Image {
 public:
  Image() = default;
  ~Image() {
    if (m_image != nullptr) rbd_close(m_image);
  }
  Image(const Image&) = delete;
  Image& operator=(const Image&) = delete;
  rbd_image_t* Out() { return &m_image; }
  rbd_image_t Get() const { return m_image; }

 private:
  rbd_image_t m_image = nullptr;
};

int NoProgress(uint64_t, uint64_t, void*) { return 0; }

}  // namespace

// One Ceph client connected as one identity. librados reconnects by itself
// when the cluster comes back, so a connection lives until Cleanup.
class RbdCluster {
 public:
  RbdCluster() = default;
  ~RbdCluster() {
    if (m_cluster != nullptr) rados_shutdown(m_cluster);
  }
  RbdCluster(const RbdCluster&) = delete;
  RbdCluster& operator=(const RbdCluster&) = delete;

  CRnError Connect(const RbdIdentity& identity, int timeoutSeconds) {
    // A clear word for the commonest mistake, before librados says ENOENT.
    if (::access(identity.confFile.c_str(), R_OK) != 0) {
      return CephError(FX_HERE_IN(kFile), -errno, "cannot read the Ceph configuration file " + identity.confFile);
    }
    const std::string who = "client." + identity.user;
    int rc = rados_create(&m_cluster, identity.user.c_str());
    if (rc < 0) {
      m_cluster = nullptr;
      return CephError(FX_HERE_IN(kFile), rc, "cannot make a Ceph client for " + who);
    }
    rc = rados_conf_read_file(m_cluster, identity.confFile.c_str());
    if (rc < 0) return CephError(FX_HERE_IN(kFile), rc, "cannot read the Ceph configuration " + identity.confFile);
    const std::string timeout = std::to_string(timeoutSeconds);
    for (const char* option : {"client_mount_timeout", "rados_mon_op_timeout", "rados_osd_op_timeout"}) {
      rc = rados_conf_set(m_cluster, option, timeout.c_str());
      if (rc < 0) return CephError(FX_HERE_IN(kFile), rc, std::string("cannot set the Ceph option ") + option);
    }
    rc = rados_connect(m_cluster);
    if (rc < 0) {
      return CephError(FX_HERE_IN(kFile), rc,
                       "cannot connect to the Ceph cluster of " + identity.confFile + " as " + who);
    }
    m_identity = identity;
    return CRnError();
  }

  // The pool's I/O context; a pool that does not exist is named as such.
  CRnError OpenPool(const RbdImageRef& ref, IoCtx& io) const {
    int rc = rados_ioctx_create(m_cluster, ref.pool.c_str(), io.Out());
    if (rc == -ENOENT) {
      return FXErrorUtil::ErrorErrNo(FX_HERE_IN(kFile), ENOENT, "the Ceph pool %s does not exist (image %s)",
                                     ref.pool.c_str(), ref.Path().c_str());
    }
    if (rc < 0) return CephError(FX_HERE_IN(kFile), rc, "cannot open the Ceph pool " + ref.pool);
    return CRnError();
  }

  CRnError OpenImage(const RbdImageRef& ref, IoCtx& io, Image& image, bool readOnly) const {
    if (CRnError err = OpenPool(ref, io)) return err;
    int rc = readOnly ? rbd_open_read_only(io.Get(), ref.image.c_str(), image.Out(), nullptr)
                      : rbd_open(io.Get(), ref.image.c_str(), image.Out(), nullptr);
    if (rc == -ENOENT) {
      return FXErrorUtil::ErrorErrNo(FX_HERE_IN(kFile), ENOENT, "the RBD image %s does not exist", ref.Path().c_str());
    }
    if (rc < 0) return CephError(FX_HERE_IN(kFile), rc, "cannot open the RBD image " + ref.Path() + " as " + Who());
    return CRnError();
  }

  CRnError ImageSize(const RbdImageRef& ref, uint64_t& size) const {
    IoCtx io;
    Image image;
    if (CRnError err = OpenImage(ref, io, image, true)) return err;
    int rc = rbd_get_size(image.Get(), &size);
    if (rc < 0) return CephError(FX_HERE_IN(kFile), rc, "cannot read the size of the RBD image " + ref.Path());
    return CRnError();
  }

  CRnError CreateImage(const RbdImageRef& ref, uint64_t size) const {
    IoCtx io;
    if (CRnError err = OpenPool(ref, io)) return err;
    rbd_image_options_t options;
    rbd_image_options_create(&options);
    int rc = rbd_create4(io.Get(), ref.image.c_str(), size, options);
    rbd_image_options_destroy(options);
    if (rc == -EEXIST) {
      return FXErrorUtil::ErrorErrNo(FX_HERE_IN(kFile), EEXIST,
                                     "the RBD image %s exists already; -existing 1 adopts it as it is",
                                     ref.Path().c_str());
    }
    if (rc < 0) return CephError(FX_HERE_IN(kFile), rc, "cannot create the RBD image " + ref.Path() + " as " + Who());
    return CRnError();
  }

  // The addresses of the clients that hold the image open.
  CRnError Watchers(const RbdImageRef& ref, std::vector<std::string>& addresses) const {
    IoCtx io;
    Image image;
    if (CRnError err = OpenImage(ref, io, image, true)) return err;
    std::vector<rbd_image_watcher_t> list(8);
    for (;;) {
      size_t count = list.size();
      int rc = rbd_watchers_list(image.Get(), list.data(), &count);
      if (rc == -ERANGE) {
        list.resize(count > list.size() ? count : 2 * list.size());
        continue;
      }
      if (rc < 0) return CephError(FX_HERE_IN(kFile), rc, "cannot list who holds the RBD image " + ref.Path());
      addresses.clear();
      for (size_t i = 0; i < count; ++i) addresses.emplace_back(list[i].addr != nullptr ? list[i].addr : "?");
      rbd_watchers_list_cleanup(list.data(), count);
      return CRnError();
    }
  }

  // Removes the image; one that is gone already counts as removed.
  CRnError RemoveImage(const RbdImageRef& ref) const {
    IoCtx io;
    if (CRnError err = OpenPool(ref, io)) return err;
    int rc = rbd_remove(io.Get(), ref.image.c_str());
    if (rc == -ENOENT) return CRnError();
    if (rc == -EBUSY) {
      return FXErrorUtil::ErrorErrNo(FX_HERE_IN(kFile), EBUSY,
                                     "the RBD image %s is still held open by a client (a gateway serving it); "
                                     "it is kept",
                                     ref.Path().c_str());
    }
    if (rc == -ENOTEMPTY) {
      return FXErrorUtil::ErrorErrNo(FX_HERE_IN(kFile), ENOTEMPTY, "the RBD image %s has snapshots; it is kept",
                                     ref.Path().c_str());
    }
    if (rc < 0) return CephError(FX_HERE_IN(kFile), rc, "cannot remove the RBD image " + ref.Path() + " as " + Who());
    return CRnError();
  }

  // Grows the image to size; the size it has already is a success.
  CRnError GrowImage(const RbdImageRef& ref, uint64_t size) const {
    IoCtx io;
    Image image;
    if (CRnError err = OpenImage(ref, io, image, false)) return err;
    uint64_t current = 0;
    int rc = rbd_get_size(image.Get(), &current);
    if (rc < 0) return CephError(FX_HERE_IN(kFile), rc, "cannot read the size of the RBD image " + ref.Path());
    if (size < current) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_BAD_ARGUMENTS,
                                     "the RBD image %s holds %llu bytes; shrinking it to %llu would cut off data",
                                     ref.Path().c_str(), static_cast<unsigned long long>(current),
                                     static_cast<unsigned long long>(size));
    }
    if (size == current) return CRnError();
    rc = rbd_resize2(image.Get(), size, false, NoProgress, nullptr);
    if (rc < 0) return CephError(FX_HERE_IN(kFile), rc, "cannot grow the RBD image " + ref.Path());
    return CRnError();
  }

 private:
  std::string Who() const { return "client." + m_identity.user; }

  rados_t m_cluster = nullptr;
  RbdIdentity m_identity;
};

}  // namespace wzrbd

namespace {

const char* const kFile = "WzScsiSrvBStorRbd";

CRnError UnknownContext(const FXCodeLocation& where, const void* ctx) {
  return FXErrorUtil::ErrorWin32(where, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "RBD context %p is not one of this store's",
                                 ctx);
}

constexpr uint64_t kBlockBytes = 512;

std::string Bytes(uint64_t n) { return std::to_string(n); }

}  // namespace

WzScsiSrvBStorRbd::WzScsiSrvBStorRbd(int timeoutSeconds) : m_timeoutSeconds(timeoutSeconds) {}

WzScsiSrvBStorRbd::~WzScsiSrvBStorRbd() = default;

size_t WzScsiSrvBStorRbd::ConnectionCountForTest() const {
  WzMutexLock lock(&m_lock);
  return m_clusters.size();
}

CRnError WzScsiSrvBStorRbd::Connection(const wzrbd::RbdIdentity& identity, std::shared_ptr<wzrbd::RbdCluster>& out) {
  const auto key = std::make_pair(identity.confFile, identity.user);
  {
    WzMutexLock lock(&m_lock);
    auto it = m_clusters.find(key);
    if (it != m_clusters.end()) {
      out = it->second;
      return CRnError();
    }
  }
  // Connecting may take up to the timeout: other identities go on meanwhile.
  auto made = std::make_shared<wzrbd::RbdCluster>();
  if (CRnError err = made->Connect(identity, m_timeoutSeconds)) return err;
  std::shared_ptr<wzrbd::RbdCluster> spare;
  {
    WzMutexLock lock(&m_lock);
    auto inserted = m_clusters.emplace(key, made);
    out = inserted.first->second;
    if (!inserted.second) spare = std::move(made);  // another thread connected first
  }
  WZLOG(1, "RBD store connected to %s as client.%s", identity.confFile.c_str(), identity.user.c_str());
  return CRnError();
}

CRnError WzScsiSrvBStorRbd::Cleanup() {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "Cleanup", [&]() -> CRnError {
    size_t n = m_contexts.Clear();
    std::map<std::pair<std::string, std::string>, std::shared_ptr<wzrbd::RbdCluster>> doomed;
    {
      WzMutexLock lock(&m_lock);
      doomed.swap(m_clusters);
    }
    WZLOG(1, "RBD store released %zu LUN contexts and %zu Ceph connections", n, doomed.size());
    return CRnError();
  });
}

CRnError WzScsiSrvBStorRbd::CreateLunPrepare(WzScsiServer::BStoreDesc* desc, WzScsiSrvLun* lun) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CreateLunPrepare", [&]() -> CRnError {
    if (desc == nullptr || lun == nullptr) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_INVALID_PARAMETER,
                                     "no backing-store description or LUN record given");
    }
    wzrbd::RbdCreateArgs args;
    if (CRnError err = wzrbd::ParseCreateArgs(kFile, desc->args(), args)) {
      return err.Push(FX_HERE_IN(kFile), "RBD LUN refused");
    }
    auto ctx = std::make_unique<LunContext>();
    if (CRnError err = wzrbd::ParseIdentity(kFile, lun->extData, ctx->identity)) {
      return err.Push(FX_HERE_IN(kFile), "RBD LUN refused: the gateway's Ceph identity is not usable");
    }
    const uint64_t block = lun->blockSize != 0 ? lun->blockSize : kBlockBytes;
    if (args.sizeGiven && (args.size == 0 || args.size % block != 0)) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_BAD_ARGUMENTS,
                                     "RBD LUN refused: -size %s is not a positive multiple of the %llu-byte block",
                                     Bytes(args.size).c_str(), static_cast<unsigned long long>(block));
    }
    std::shared_ptr<wzrbd::RbdCluster> cluster;
    if (CRnError err = Connection(ctx->identity, cluster)) return err.Push(FX_HERE_IN(kFile), "RBD LUN refused");
    ctx->ref = args.ref;
    if (args.adopt) {
      if (CRnError err = cluster->ImageSize(args.ref, ctx->size)) {
        return err.Push(FX_HERE_IN(kFile), "RBD LUN refused");
      }
      if (ctx->size < block) {
        return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_BAD_ARGUMENTS,
                                       "RBD LUN refused: the image %s holds %s bytes, less than one block",
                                       args.ref.Path().c_str(), Bytes(ctx->size).c_str());
      }
      if (args.sizeGiven && ctx->size < args.size) {
        return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_BAD_ARGUMENTS,
                                       "RBD LUN refused: the image %s holds %s bytes, less than the %s asked for",
                                       args.ref.Path().c_str(), Bytes(ctx->size).c_str(), Bytes(args.size).c_str());
      }
    } else {
      if (CRnError err = cluster->CreateImage(args.ref, args.size)) {
        return err.Push(FX_HERE_IN(kFile), "RBD LUN refused");
      }
      ctx->size = args.size;
      ctx->created = true;
    }
    lun->path = ctx->ref.Path();
    lun->size = ctx->size;
    WZLOG(1, "RBD LUN of target %s on %s (%s), %llu bytes", lun->targetId.c_str(), lun->path.c_str(),
          ctx->created ? "created" : "adopted", static_cast<unsigned long long>(lun->size));
    lun->bstoreCtx = m_contexts.Add(std::move(ctx));
    return CRnError();
  });
}

CRnError WzScsiSrvBStorRbd::CreateLunCommit(WzScsiServer::BStoreDesc* desc, WzScsiSrvLun* lun) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CreateLunCommit", [&]() -> CRnError {
    LunContext* ctx = lun == nullptr ? nullptr : m_contexts.Find(lun->bstoreCtx);
    if (ctx == nullptr) return UnknownContext(FX_HERE_IN(kFile), lun == nullptr ? nullptr : lun->bstoreCtx);
    ctx->committed = true;
    return CRnError();
  });
}

CRnError WzScsiSrvBStorRbd::CreateLunAbort(WzScsiSrvLun* lun) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "CreateLunAbort", [&]() -> CRnError {
    LunContext* ctx = lun == nullptr ? nullptr : m_contexts.Find(lun->bstoreCtx);
    if (ctx == nullptr) return UnknownContext(FX_HERE_IN(kFile), lun == nullptr ? nullptr : lun->bstoreCtx);
    CRnError result;
    if (ctx->created) {
      // The image was made for this LUN alone: it goes with the LUN.
      std::shared_ptr<wzrbd::RbdCluster> cluster;
      result = Connection(ctx->identity, cluster);
      if (result.IsSuccess()) result = cluster->RemoveImage(ctx->ref);
      if (result.IsError()) {
        result.Push(FX_HERE_IN(kFile), "the RBD image %s made for the aborted LUN is left behind",
                    ctx->ref.Path().c_str());
      }
    }
    m_contexts.Remove(lun->bstoreCtx);
    lun->bstoreCtx = nullptr;
    return result;
  });
}

CRnError WzScsiSrvBStorRbd::DeleteLunPrepare(void* bstoreCtx) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "DeleteLunPrepare", [&]() -> CRnError {
    LunContext* ctx = m_contexts.Find(bstoreCtx);
    if (ctx == nullptr) return UnknownContext(FX_HERE_IN(kFile), bstoreCtx);
    ctx->removeOnDelete = false;
    if (!wzbstor::ThreadFlagSet(kRemoveImageFlag)) return CRnError();
    std::shared_ptr<wzrbd::RbdCluster> cluster;
    std::vector<std::string> holders;
    CRnError err = Connection(ctx->identity, cluster);
    if (err.IsSuccess()) err = cluster->Watchers(ctx->ref, holders);
    if (err.IsError()) {
      return err.Push(FX_HERE_IN(kFile), "the RBD image %s cannot be removed", ctx->ref.Path().c_str());
    }
    // One holder may be this LUN in this gateway's engine, which lets go in
    // the platform step; any other is a client the removal would cut off.
    if (holders.size() > 1) {
      std::string list;
      for (const std::string& h : holders) list += (list.empty() ? "" : ", ") + h;
      return FXErrorUtil::ErrorErrNo(FX_HERE_IN(kFile), EBUSY,
                                     "the RBD image %s is held open by %zu clients (%s); it cannot be removed while "
                                     "another gateway or client serves it",
                                     ctx->ref.Path().c_str(), holders.size(), list.c_str());
    }
    ctx->removeOnDelete = true;
    return CRnError();
  });
}

CRnError WzScsiSrvBStorRbd::DeleteLunCommit(void* bstoreCtx) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "DeleteLunCommit", [&]() -> CRnError {
    LunContext* ctx = m_contexts.Find(bstoreCtx);
    if (ctx == nullptr) return UnknownContext(FX_HERE_IN(kFile), bstoreCtx);
    if (ctx->removeOnDelete) {
      std::shared_ptr<wzrbd::RbdCluster> cluster;
      CRnError err = Connection(ctx->identity, cluster);
      if (err.IsSuccess()) err = cluster->RemoveImage(ctx->ref);
      if (err.IsError()) {
        // The LUN stays configured: a later delete may try again.
        ctx->removeOnDelete = false;
        return err.Push(FX_HERE_IN(kFile), "the LUN on RBD image %s is kept", ctx->ref.Path().c_str());
      }
      WZLOG(1, "RBD image %s removed with its LUN", ctx->ref.Path().c_str());
    }
    m_contexts.Remove(bstoreCtx);
    return CRnError();
  });
}

CRnError WzScsiSrvBStorRbd::DeleteLunAbort(void* bstoreCtx) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "DeleteLunAbort", [&]() -> CRnError {
    LunContext* ctx = m_contexts.Find(bstoreCtx);
    if (ctx == nullptr) return UnknownContext(FX_HERE_IN(kFile), bstoreCtx);
    ctx->removeOnDelete = false;
    return CRnError();
  });
}

CRnError WzScsiSrvBStorRbd::ResizeLun(void* bstoreCtx, uint64_t newBytes) {
  return wzplugin::Guarded(FX_HERE_IN(kFile), "ResizeLun", [&]() -> CRnError {
    LunContext* ctx = m_contexts.Find(bstoreCtx);
    if (ctx == nullptr) return UnknownContext(FX_HERE_IN(kFile), bstoreCtx);
    if (newBytes == 0 || newBytes % kBlockBytes != 0) {
      return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_BAD_ARGUMENTS,
                                     "%s bytes is not a positive multiple of the %llu-byte block",
                                     Bytes(newBytes).c_str(), static_cast<unsigned long long>(kBlockBytes));
    }
    std::shared_ptr<wzrbd::RbdCluster> cluster;
    CRnError err = Connection(ctx->identity, cluster);
    if (err.IsSuccess()) err = cluster->GrowImage(ctx->ref, newBytes);
    if (err.IsError()) return err.Push(FX_HERE_IN(kFile), "the RBD image %s keeps its size", ctx->ref.Path().c_str());
    WZLOG(1, "RBD image %s grown from %llu to %llu bytes", ctx->ref.Path().c_str(),
          static_cast<unsigned long long>(ctx->size), static_cast<unsigned long long>(newBytes));
    ctx->size = newBytes;
    return CRnError();
  });
}

uint64_t WzScsiSrvBStorRbd::LunSize(const void* bstoreCtx) const {
  const LunContext* ctx = m_contexts.Find(bstoreCtx);
  return ctx == nullptr ? 0 : ctx->size;
}

CRnError WzScsiSrvBStorRbd::HandleXDRMessage(CWzNetworkServer::WznCallback_e, CWzNetworkServer*, WznHandle_t,
                                             unsigned long messageId, wzsDatabuf_v2*) {
  return FXErrorUtil::ErrorWin32(FX_HERE_IN(kFile), ERROR_NOT_FOUND_OR_NOT_ALLOWED,
                                 "the RBD store takes no XDR messages (id 0x%lx)", messageId);
}
