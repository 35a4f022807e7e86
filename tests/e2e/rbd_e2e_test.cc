// The RBD backing store against a real one-node Ceph cluster (started once
// for the program), connected as the cluster's restricted gateway user; a
// private tgtd serving an image the store made, written through the iSCSI
// probe and read back with librbd; and the whole system: wzscsid on tgtd
// with RBD LUNs made through wzscsictl, across restarts of both. Every test skips, saying why, when Ceph is
// not installed.
//
// No test sends a READ of transfer length 0 to tgtd's rbd LUN: librbd
// asserts on it and tgtd dies.
#include <gtest/gtest.h>
#include <rados/librados.h>
#include <rbd/librbd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "plugins/bstor/rbd_store.h"
#include "tests/e2e/ceph_fixture.h"
#include "tests/e2e/cluster_e2e_support.h"
#include "tests/e2e/daemon_e2e_support.h"
#include "tests/e2e/driver_harness.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"
#include "tests/support/tgtd/tgtd_fixture.h"

namespace wze2e {
namespace {

constexpr uint64_t kMiB = 1ull << 20;

// The cluster, started once: a start takes seconds, the tests milliseconds.
class CephEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    m_missing = MissingCephPrograms();
    if (!m_missing.empty()) return;
    CephTestCluster::Options options;
    options.pools = {"rbd", "other"};
    options.gatewayPools = {"rbd"};
    s_cluster = new CephTestCluster(options);
    m_started = s_cluster->Start(&m_error);
    if (m_started) {
      std::printf("one-node Ceph cluster up in %lld ms (%s)\n", s_cluster->StartMillis(),
                  s_cluster->Directory().c_str());
    }
  }
  void TearDown() override {
    delete s_cluster;
    s_cluster = nullptr;
  }

  static CephEnvironment* s_self;
  static CephTestCluster* s_cluster;
  std::string m_missing;
  std::string m_error;
  bool m_started = false;
};
CephEnvironment* CephEnvironment::s_self = nullptr;
CephTestCluster* CephEnvironment::s_cluster = nullptr;

const ::testing::Environment* const kEnvironment =
    ::testing::AddGlobalTestEnvironment(CephEnvironment::s_self = new CephEnvironment);

#define REQUIRE_CEPH()                                                                                 \
  do {                                                                                                 \
    if (!CephEnvironment::s_self->m_missing.empty()) {                                                 \
      GTEST_SKIP() << "Ceph is not installed (missing: " << CephEnvironment::s_self->m_missing << ")"; \
    }                                                                                                  \
    ASSERT_TRUE(CephEnvironment::s_self->m_started) << CephEnvironment::s_self->m_error;               \
  } while (0)

CephTestCluster& Cluster() { return *CephEnvironment::s_cluster; }

// The test's own Ceph client, as client.admin: it checks what the store did
// and plays the other clients (another gateway holding an image open).
class AdminClient {
 public:
  AdminClient() {
    if (rados_create(&m_cluster, "admin") != 0) return;
    if (rados_conf_read_file(m_cluster, Cluster().ConfFile().c_str()) == 0 && rados_connect(m_cluster) == 0) {
      m_connected = true;
    }
  }
  ~AdminClient() {
    if (m_cluster != nullptr) rados_shutdown(m_cluster);
  }
  AdminClient(const AdminClient&) = delete;
  AdminClient& operator=(const AdminClient&) = delete;
  bool Connected() const { return m_connected; }

  // An open image; the handle is a watcher of the image while it lives.
  class Handle {
   public:
    Handle(rados_t cluster, const std::string& pool, const std::string& image) {
      if (rados_ioctx_create(cluster, pool.c_str(), &m_io) == 0) {
        m_rc = rbd_open(m_io, image.c_str(), &m_image, nullptr);
      }
    }
    ~Handle() {
      if (m_image != nullptr) rbd_close(m_image);
      if (m_io != nullptr) rados_ioctx_destroy(m_io);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    bool Open() const { return m_rc == 0 && m_image != nullptr; }
    uint64_t Size() const {
      uint64_t size = 0;
      return Open() && rbd_get_size(m_image, &size) == 0 ? size : 0;
    }
    bool Write(uint64_t offset, const std::string& data) const {
      return Open() && rbd_write(m_image, offset, data.size(), data.data()) == static_cast<ssize_t>(data.size()) &&
             rbd_flush(m_image) == 0;
    }
    std::string Read(uint64_t offset, size_t length) const {
      std::string out(length, '\0');
      if (!Open() || rbd_read(m_image, offset, length, &out[0]) != static_cast<ssize_t>(length)) return "";
      return out;
    }

   private:
    rados_ioctx_t m_io = nullptr;
    rbd_image_t m_image = nullptr;
    int m_rc = -1;
  };

  std::unique_ptr<Handle> Open(const std::string& pool, const std::string& image) const {
    return std::make_unique<Handle>(m_cluster, pool, image);
  }
  bool Exists(const std::string& pool, const std::string& image) const { return Open(pool, image)->Open(); }
  uint64_t Size(const std::string& pool, const std::string& image) const { return Open(pool, image)->Size(); }
  bool Create(const std::string& pool, const std::string& image, uint64_t size) const {
    rados_ioctx_t io = nullptr;
    if (rados_ioctx_create(m_cluster, pool.c_str(), &io) != 0) return false;
    int order = 0;
    const int rc = rbd_create(io, image.c_str(), size, &order);
    rados_ioctx_destroy(io);
    return rc == 0;
  }
  void Remove(const std::string& pool, const std::string& image) const {
    rados_ioctx_t io = nullptr;
    if (rados_ioctx_create(m_cluster, pool.c_str(), &io) != 0) return;
    rbd_remove(io, image.c_str());
    rados_ioctx_destroy(io);
  }

 private:
  rados_t m_cluster = nullptr;
  bool m_connected = false;
};

WzScsiSrvLun GatewayLun(const std::string& identity) {
  WzScsiSrvLun lun;
  lun.targetId = "iqn.2024-01.test.wz:rbd";
  lun.lunId = -1;
  lun.blockSize = 512;
  lun.bstorType = static_cast<WzScsiServer::BStorType>(7);
  lun.extData = identity;
  return lun;
}

CRnError Prepare(WzScsiBStorOps& store, const std::string& args, WzScsiSrvLun& lun) {
  WzScsiServer::BStoreDesc desc;
  desc.setArgs(args);
  return store.CreateLunPrepare(&desc, &lun);
}

std::string Sized(const std::string& image, uint64_t bytes) {
  return "-ti iqn.2024-01.test.wz:rbd -sp RBD1 -path " + image + " -size " + std::to_string(bytes);
}

bool Mentions(const CRnError& err, const std::string& text) { return err.AsString().find(text) != std::string::npos; }

class RbdStoreE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_CEPH();
    m_admin = std::make_unique<AdminClient>();
    ASSERT_TRUE(m_admin->Connected());
  }
  void TearDown() override {
    if (m_admin == nullptr) return;
    for (const std::string& image : m_made) m_admin->Remove("rbd", image);
  }
  // An image name of this test, removed at its end whatever happened.
  std::string Image(const std::string& name) {
    m_made.push_back(name);
    return name;
  }

  std::unique_ptr<AdminClient> m_admin;
  WzScsiSrvBStorRbd m_store;
  std::vector<std::string> m_made;
};

TEST_F(RbdStoreE2eTest, CreateMakesTheImageAndAbortRemovesIt) {
  const std::string name = Image("created");
  WzScsiSrvLun lun = GatewayLun(Cluster().GatewayIdentity());
  CRnError err = Prepare(m_store, Sized("rbd/" + name, 64 * kMiB), lun);
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  EXPECT_EQ("rbd/" + name, lun.path);
  EXPECT_EQ(64 * kMiB, lun.size);
  EXPECT_EQ(64 * kMiB, m_admin->Size("rbd", name));
  EXPECT_EQ(64 * kMiB, m_store.LunSize(lun.bstoreCtx));

  // The engine failed to take the LUN: the image made for it goes too.
  err = m_store.CreateLunAbort(&lun);
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  EXPECT_EQ(nullptr, lun.bstoreCtx);
  EXPECT_FALSE(m_admin->Exists("rbd", name));
  EXPECT_EQ(0u, m_store.ContextCountForTest());
}

TEST_F(RbdStoreE2eTest, AnImageThatExistsIsNeitherCreatedAgainNorTakenOver) {
  const std::string name = Image("taken");
  ASSERT_TRUE(m_admin->Create("rbd", name, 8 * kMiB));
  ASSERT_TRUE(m_admin->Open("rbd", name)->Write(0, "someone's data"));
  WzScsiSrvLun lun = GatewayLun(Cluster().GatewayIdentity());
  CRnError err = Prepare(m_store, Sized("rbd/" + name, 64 * kMiB), lun);
  ASSERT_TRUE(err.IsError());
  EXPECT_EQ(HRESULT_FROM_ERRNO(EEXIST), err.GetCode()) << err.AsString();
  EXPECT_TRUE(Mentions(err, "exists already; -existing 1 adopts it")) << err.AsString();
  EXPECT_EQ(nullptr, lun.bstoreCtx);
  EXPECT_EQ(8 * kMiB, m_admin->Size("rbd", name));
  EXPECT_EQ("someone's data", m_admin->Open("rbd", name)->Read(0, 14));
}

TEST_F(RbdStoreE2eTest, AdoptionChecksTheSizeAndAnAbortKeepsTheImage) {
  const std::string name = Image("adopted");
  ASSERT_TRUE(m_admin->Create("rbd", name, 32 * kMiB));
  ASSERT_TRUE(m_admin->Open("rbd", name)->Write(4096, "kept"));
  struct Case {
    std::string args;
    const char* refusal;  // nullptr: adopted
  };
  const Case cases[] = {
      {"-path rbd/" + name + " -existing 1 -size " + std::to_string(64 * kMiB), "less than the 67108864 asked for"},
      {"-path rbd/missing-image -existing 1", "the RBD image rbd/missing-image does not exist"},
      {"-path nosuchpool/" + name + " -existing 1", "the Ceph pool nosuchpool does not exist"},
      {"-path rbd/" + name + " -existing 1 -size " + std::to_string(16 * kMiB), nullptr},
      {"-path rbd/" + name + " -existing 1", nullptr},
      // A replay of the creation that made it adopts it too.
      {Sized("rbd/" + name, 32 * kMiB) + " -creationTime 600 -playback", nullptr},
  };
  for (const Case& c : cases) {
    WzScsiSrvLun lun = GatewayLun(Cluster().GatewayIdentity());
    CRnError err = Prepare(m_store, c.args, lun);
    if (c.refusal != nullptr) {
      ASSERT_TRUE(err.IsError()) << c.args;
      EXPECT_TRUE(Mentions(err, c.refusal)) << err.AsString();
      EXPECT_EQ(nullptr, lun.bstoreCtx);
      continue;
    }
    ASSERT_TRUE(err.IsSuccess()) << c.args << ": " << err.AsString();
    EXPECT_EQ(32 * kMiB, lun.size) << "the LUN serves the whole image";
    ASSERT_TRUE(m_store.CreateLunAbort(&lun).IsSuccess());
    EXPECT_EQ("kept", m_admin->Open("rbd", name)->Read(4096, 4)) << "an adopted image outlives an abort";
  }
  EXPECT_EQ(0u, m_store.ContextCountForTest());
  EXPECT_EQ(1u, m_store.ConnectionCountForTest()) << "one connection per identity";
}

TEST_F(RbdStoreE2eTest, DeleteKeepsTheImageUnlessAskedToRemoveIt) {
  const std::string name = Image("deleted");
  WzScsiSrvLun lun = GatewayLun(Cluster().GatewayIdentity());
  ASSERT_TRUE(Prepare(m_store, Sized("rbd/" + name, 16 * kMiB), lun).IsSuccess());
  ASSERT_TRUE(m_store.CreateLunCommit(nullptr, &lun).IsSuccess());
  ASSERT_TRUE(m_store.DeleteLunPrepare(lun.bstoreCtx).IsSuccess());
  ASSERT_TRUE(m_store.DeleteLunCommit(lun.bstoreCtx).IsSuccess());
  EXPECT_TRUE(m_admin->Exists("rbd", name));
  EXPECT_EQ(0u, m_store.ContextCountForTest());

  // Adopted again, then deleted with the removal asked for; an aborted delete
  // forgets the request.
  lun = GatewayLun(Cluster().GatewayIdentity());
  ASSERT_TRUE(Prepare(m_store, "-path rbd/" + name + " -existing 1", lun).IsSuccess());
  ASSERT_TRUE(m_store.CreateLunCommit(nullptr, &lun).IsSuccess());
  {
    ScopedRequestFlag remove(WzScsiSrvBStorRbd::kRemoveImageFlag);
    ASSERT_TRUE(m_store.DeleteLunPrepare(lun.bstoreCtx).IsSuccess());
  }
  ASSERT_TRUE(m_store.DeleteLunAbort(lun.bstoreCtx).IsSuccess());
  ASSERT_TRUE(m_store.DeleteLunPrepare(lun.bstoreCtx).IsSuccess());
  ASSERT_TRUE(m_store.DeleteLunCommit(lun.bstoreCtx).IsSuccess());
  EXPECT_TRUE(m_admin->Exists("rbd", name)) << "the aborted delete's request does not carry over";

  lun = GatewayLun(Cluster().GatewayIdentity());
  ASSERT_TRUE(Prepare(m_store, "-path rbd/" + name + " -existing 1", lun).IsSuccess());
  ASSERT_TRUE(m_store.CreateLunCommit(nullptr, &lun).IsSuccess());
  ScopedRequestFlag remove(WzScsiSrvBStorRbd::kRemoveImageFlag);
  ASSERT_TRUE(m_store.DeleteLunPrepare(lun.bstoreCtx).IsSuccess());
  CRnError err = m_store.DeleteLunCommit(lun.bstoreCtx);
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  EXPECT_FALSE(m_admin->Exists("rbd", name));
  EXPECT_EQ(0u, m_store.ContextCountForTest());
}

TEST_F(RbdStoreE2eTest, AnImageHeldOpenIsNotRemoved) {
  const std::string name = Image("held");
  WzScsiSrvLun lun = GatewayLun(Cluster().GatewayIdentity());
  ASSERT_TRUE(Prepare(m_store, Sized("rbd/" + name, 16 * kMiB), lun).IsSuccess());
  ASSERT_TRUE(m_store.CreateLunCommit(nullptr, &lun).IsSuccess());
  ScopedRequestFlag remove(WzScsiSrvBStorRbd::kRemoveImageFlag);

  // One holder stands for this gateway's engine, the other for another
  // gateway serving the same image: the delete is refused before any step.
  auto engine = m_admin->Open("rbd", name);
  auto otherGateway = m_admin->Open("rbd", name);
  ASSERT_TRUE(engine->Open() && otherGateway->Open());
  CRnError err = m_store.DeleteLunPrepare(lun.bstoreCtx);
  ASSERT_TRUE(err.IsError());
  EXPECT_EQ(HRESULT_FROM_ERRNO(EBUSY), err.GetCode()) << err.AsString();
  EXPECT_TRUE(Mentions(err, "is held open by 2 clients")) << err.AsString();
  ASSERT_TRUE(m_store.DeleteLunAbort(lun.bstoreCtx).IsSuccess());

  // With one holder left, prepare lets the engine step go; when the holder
  // was not this gateway's engine, the removal is refused and the LUN stays.
  otherGateway.reset();
  ASSERT_TRUE(m_store.DeleteLunPrepare(lun.bstoreCtx).IsSuccess());
  err = m_store.DeleteLunCommit(lun.bstoreCtx);
  ASSERT_TRUE(err.IsError());
  EXPECT_EQ(HRESULT_FROM_ERRNO(EBUSY), err.GetCode()) << err.AsString();
  EXPECT_TRUE(Mentions(err, "still held open")) << err.AsString();
  EXPECT_TRUE(m_admin->Exists("rbd", name));
  EXPECT_EQ(1u, m_store.ContextCountForTest()) << "the LUN is kept";

  engine.reset();
  ASSERT_TRUE(m_store.DeleteLunPrepare(lun.bstoreCtx).IsSuccess());
  err = m_store.DeleteLunCommit(lun.bstoreCtx);
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  EXPECT_FALSE(m_admin->Exists("rbd", name));
}

TEST_F(RbdStoreE2eTest, GrowingKeepsTheDataAndNeverShrinks) {
  const std::string name = Image("grown");
  WzScsiSrvLun lun = GatewayLun(Cluster().GatewayIdentity());
  ASSERT_TRUE(Prepare(m_store, Sized("rbd/" + name, 16 * kMiB), lun).IsSuccess());
  ASSERT_TRUE(m_store.CreateLunCommit(nullptr, &lun).IsSuccess());
  // Another client holds the image and has written (it owns the image's
  // lock), as an engine serving it would.
  auto engine = m_admin->Open("rbd", name);
  ASSERT_TRUE(engine->Write(16 * kMiB - 512, "last block"));

  CRnError err = m_store.ResizeLun(lun.bstoreCtx, 48 * kMiB);
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  EXPECT_EQ(48 * kMiB, m_admin->Size("rbd", name));
  EXPECT_EQ(48 * kMiB, m_store.LunSize(lun.bstoreCtx));
  EXPECT_EQ(48 * kMiB, engine->Size()) << "a client holding the image sees the new size";
  EXPECT_EQ("last block", engine->Read(16 * kMiB - 512, 10));
  ASSERT_TRUE(engine->Write(48 * kMiB - 512, "new end"));

  err = m_store.ResizeLun(lun.bstoreCtx, 48 * kMiB);
  EXPECT_TRUE(err.IsSuccess()) << "the size it has: " << err.AsString();
  err = m_store.ResizeLun(lun.bstoreCtx, 32 * kMiB);
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(Mentions(err, "shrinking it to 33554432 would cut off data")) << err.AsString();
  err = m_store.ResizeLun(lun.bstoreCtx, 64 * kMiB + 100);
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(Mentions(err, "not a positive multiple")) << err.AsString();
  EXPECT_EQ(48 * kMiB, m_admin->Size("rbd", name));
  EXPECT_EQ(48 * kMiB, m_store.LunSize(lun.bstoreCtx));
  EXPECT_EQ("new end", engine->Read(48 * kMiB - 512, 7));
}

TEST_F(RbdStoreE2eTest, TheGatewayUserStaysInItsPools) {
  // "other" exists, but the gateway's caps name "rbd" alone.
  WzScsiSrvLun lun = GatewayLun(Cluster().GatewayIdentity());
  CRnError err = Prepare(m_store, Sized("other/outside", 8 * kMiB), lun);
  ASSERT_TRUE(err.IsError());
  EXPECT_EQ(HRESULT_FROM_ERRNO(EPERM), err.GetCode()) << err.AsString();
  EXPECT_TRUE(Mentions(err, "as client." + Cluster().GatewayUser())) << err.AsString();
  EXPECT_FALSE(m_admin->Exists("other", "outside"));
  EXPECT_EQ(0u, m_store.ContextCountForTest());
}

TEST_F(RbdStoreE2eTest, AClusterThatDoesNotAnswerFailsTheRequest) {
  // A configuration whose monitor address nobody listens on: the connection
  // fails after the store's timeout instead of holding the request.
  CRnTempDirForTest dir;
  const std::string conf = dir.Join("silent.conf");
  CRnTempDirForTest::WriteText(conf, "[global]\nmon host = 127.0.0.1:" + std::to_string(FreeLoopbackPort()) +
                                         "\n[client." + Cluster().GatewayUser() +
                                         "]\nkeyring = " + Cluster().GatewayKeyring() + "\n");
  WzScsiSrvBStorRbd store(1);
  WzScsiSrvLun lun = GatewayLun("conf=" + conf + ";id=" + Cluster().GatewayUser());
  CRnError err = Prepare(store, Sized("rbd/" + Image("unreached"), 8 * kMiB), lun);
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(Mentions(err, "cannot connect to the Ceph cluster of " + conf)) << err.AsString();
  EXPECT_EQ(0u, store.ConnectionCountForTest());
  EXPECT_FALSE(m_admin->Exists("rbd", "unreached"));
}

// The pieces of an RBD LUN on tgt: the store's library (through its entry,
// as the service loads it) makes the image as the gateway user, a private
// tgtd serves it with that identity, the initiator's writes land in the
// image, and the image's data reaches the initiator.
TEST_F(RbdStoreE2eTest, TgtdServesTheImageTheStoreMade) {
  if (!TgtdInstalled()) GTEST_SKIP() << "tgtd is not installed";
  if (::access("/usr/lib/tgt/backing-store/bs_rbd.so", R_OK) != 0) {
    GTEST_SKIP() << "tgtd's rbd backing store (tgt-rbd) is not installed";
  }
  LoadedStore store;
  CRnError err = store.Load("libWzScsiSrvBStorRbd.so");
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  const std::string name = Image("served");
  WzScsiSrvLun lun = GatewayLun(Cluster().GatewayIdentity());
  err = Prepare(*store.Get(), Sized("rbd/" + name, 64 * kMiB), lun);
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();

  TgtdProcess tgtd;
  std::string why;
  ASSERT_TRUE(tgtd.Start(&why)) << why;
  const std::string iqn = lun.targetId;
  ASSERT_EQ(0, tgtd.Tgtadm({"--mode", "target", "--op", "new", "--tid", "1", "--targetname", iqn}).exitCode);
  CommandResult added = tgtd.Tgtadm({"--mode", "logicalunit", "--op", "new", "--tid", "1", "--lun", "1", "--bstype",
                                     "rbd", "--backing-store", lun.path, "--bsopts", lun.extData});
  ASSERT_EQ(0, added.exitCode) << added.output << tgtd.LogText();
  ASSERT_TRUE(store->CreateLunCommit(nullptr, &lun).IsSuccess());
  ASSERT_EQ(0, tgtd.Tgtadm({"--mode", "target", "--op", "bind", "--tid", "1", "--initiator-address", "ALL"}).exitCode);

  const std::string initiator = "iqn.2024-01.test.wz:initiator";
  CommandResult written = Probe(tgtd, iqn, initiator, {"--write-lba", "5", "--pattern", "rbd-e2e"});
  ASSERT_EQ(0, written.exitCode) << written.output << tgtd.LogText();
  EXPECT_TRUE(Has(written.output, "capacity_bytes=" + std::to_string(64 * kMiB))) << written.output;
  EXPECT_EQ(PatternBlock("rbd-e2e"), m_admin->Open("rbd", name)->Read(5 * 512, 512));

  ASSERT_TRUE(m_admin->Open("rbd", name)->Write(9 * 512, PatternBlock("from-ceph")));
  CommandResult read = Probe(tgtd, iqn, initiator, {"--read-lba", "9", "--pattern", "from-ceph"});
  ASSERT_EQ(0, read.exitCode) << read.output << tgtd.LogText();
  EXPECT_TRUE(Has(read.output, "read_matches_pattern=1")) << read.output;

  // While tgtd holds the image, removing it with the LUN is refused at the
  // end; once tgtd let go, it goes.
  ScopedRequestFlag remove(WzScsiSrvBStorRbd::kRemoveImageFlag);
  ASSERT_TRUE(store->DeleteLunPrepare(lun.bstoreCtx).IsSuccess());
  err = store->DeleteLunCommit(lun.bstoreCtx);
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(Mentions(err, "still held open")) << err.AsString();
  ASSERT_TRUE(store->DeleteLunPrepare(lun.bstoreCtx).IsSuccess());
  ASSERT_EQ(0, tgtd.Tgtadm({"--mode", "logicalunit", "--op", "delete", "--tid", "1", "--lun", "1"}).exitCode);
  err = store->DeleteLunCommit(lun.bstoreCtx);
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  EXPECT_FALSE(m_admin->Exists("rbd", name));
  ASSERT_EQ(0, tgtd.Tgtadm({"--mode", "target", "--op", "delete", "--tid", "1"}).exitCode);
  EXPECT_TRUE(tgtd.Stop(&why)) << why;
}

// wzscsid on a private tgtd whose settings allow the pool "rbd" to the
// cluster's gateway user; "other" exists but is not allowed.
class RbdDaemonE2eTest : public DaemonE2eTest {
 protected:
  void SetUp() override {
    REQUIRE_CEPH();
    if (::access("/usr/lib/tgt/backing-store/bs_rbd.so", R_OK) != 0) {
      GTEST_SKIP() << "tgtd's rbd backing store (tgt-rbd) is not installed";
    }
    DaemonE2eTest::SetUp();
    if (IsSkipped() || HasFailure()) return;
    m_admin = std::make_unique<AdminClient>();
    ASSERT_TRUE(m_admin->Connected());
    StopDaemon();
    const std::string conf = StateDir() + "/wzscsi.conf";
    std::ifstream in(conf);
    std::stringstream text;
    text << in.rdbuf();
    std::string settings = text.str();
    const std::string section = "[Quellport]\n";
    ASSERT_EQ(0u, settings.find(section)) << settings;
    settings.insert(section.size(), "RbdConfFile=" + Cluster().ConfFile() + "\nRbdUser=" + Cluster().GatewayUser() +
                                        "\nRbdPools=rbd\n");
    CRnTempDirForTest::WriteText(conf, settings);
    StartDaemon();
  }
  void TearDown() override {
    DaemonE2eTest::TearDown();
    if (m_admin == nullptr) return;
    for (const std::string& image : m_made) m_admin->Remove("rbd", image);
  }
  std::string Image(const std::string& name) {
    m_made.push_back(name);
    return name;
  }
  // "lun create --type rbd" on kTarget (made first when missing), mapped to
  // kHostA; the LUN number, -1 with the test failed.
  int CreateMappedRbdLun(const std::vector<std::string>& options) {
    if (TgtdTargets().count(kTarget) == 0) CtlOk({"target", "create", kTarget});
    std::vector<std::string> args{"lun", "create", kTarget, "--type", "rbd", "--serial", "RBD"};
    args.insert(args.end(), options.begin(), options.end());
    const std::string created = CtlOk(args);
    if (created.compare(0, 4, "LUN ") != 0) {
      ADD_FAILURE() << "no LUN number in: " << created;
      return -1;
    }
    const int lun = std::atoi(created.c_str() + 4);
    CtlOk({"host", "map", kTarget, std::to_string(lun), kHostA});
    return HasFailure() ? -1 : lun;
  }

  std::unique_ptr<AdminClient> m_admin;
  std::vector<std::string> m_made;
};

// Through the service: the image is made as the gateway's user, tgtd serves
// it, the initiator's data lands in it and Ceph's reaches the initiator; an
// image outside RbdPools is refused with code 4; an image another client
// holds is not removed; once nobody else holds it, the delete removes it.
TEST_F(RbdDaemonE2eTest, AnRbdLunMadeThroughTheServiceIsServedAndItsImageRemovedOnlyWhenFree) {
  const std::string name = Image("svc");
  const int lun = CreateMappedRbdLun({"--image", "rbd/" + name, "--size", "64M"});
  ASSERT_GT(lun, 0);
  EXPECT_EQ(64 * kMiB, m_admin->Size("rbd", name));
  EXPECT_EQ("rbd/" + name, TgtdTargets()[kTarget].luns[lun]);

  CommandResult written = ProbeAs(kHostA, lun, {"--write-lba", "5", "--pattern", "via-service"});
  ASSERT_EQ(0, written.exitCode) << written.output;
  EXPECT_TRUE(Has(written.output, "capacity_bytes=" + std::to_string(64 * kMiB))) << written.output;
  EXPECT_EQ(PatternBlock("via-service"), m_admin->Open("rbd", name)->Read(5 * 512, 512));
  ASSERT_TRUE(m_admin->Open("rbd", name)->Write(9 * 512, PatternBlock("from-ceph")));
  CommandResult read = ProbeAs(kHostA, lun, {"--read-lba", "9", "--pattern", "from-ceph"});
  ASSERT_EQ(0, read.exitCode) << read.output;
  EXPECT_TRUE(Has(read.output, "read_matches_pattern=1")) << read.output;

  WzCtlRunResult outside = Ctl({"lun", "create", kTarget, "--type", "rbd", "--image", "other/" + Image("outside"),
                                "--size", "8M", "--serial", "RBD"});
  EXPECT_EQ(1, outside.exitCode);
  EXPECT_TRUE(Has(outside.err, "error 4,")) << outside.err;
  EXPECT_TRUE(Has(outside.err, "outside the pools of RbdPools")) << outside.err;
  EXPECT_FALSE(m_admin->Exists("other", "outside"));

  // Another gateway (played by the test's client) holds the image: the
  // removal is refused before the engine lets go, and the LUN is served on.
  CtlOk({"host", "unmap", kTarget, std::to_string(lun), kHostA});
  auto otherGateway = m_admin->Open("rbd", name);
  ASSERT_TRUE(otherGateway->Open());
  WzCtlRunResult held = Ctl({"lun", "delete", kTarget, std::to_string(lun), "--remove-image"});
  EXPECT_EQ(1, held.exitCode);
  EXPECT_TRUE(Has(held.err, "held open by 2 clients")) << held.err;
  EXPECT_EQ("rbd/" + name, TgtdTargets()[kTarget].luns[lun]);
  EXPECT_TRUE(m_admin->Exists("rbd", name));
  otherGateway.reset();
  CtlOk({"lun", "delete", kTarget, std::to_string(lun), "--remove-image"});
  EXPECT_EQ(0u, TgtdTargets()[kTarget].luns.count(lun));
  EXPECT_FALSE(m_admin->Exists("rbd", name));

  // An image that exists is adopted, and a plain delete keeps it.
  const std::string kept = Image("kept");
  ASSERT_TRUE(m_admin->Create("rbd", kept, 16 * kMiB));
  const int adopted = CreateMappedRbdLun({"--image", "rbd/" + kept, "--existing"});
  ASSERT_GT(adopted, 0);
  CommandResult capacity = ProbeAs(kHostA, adopted, {"--read-lba", "0"});
  EXPECT_TRUE(Has(capacity.output, "capacity_bytes=" + std::to_string(16 * kMiB))) << capacity.output;
  CtlOk({"host", "unmap", kTarget, std::to_string(adopted), kHostA});
  CtlOk({"lun", "delete", kTarget, std::to_string(adopted)});
  EXPECT_TRUE(m_admin->Exists("rbd", kept));
}

// A restart of wzscsid adopts the image again (never makes a new one), and
// a tgtd restart is healed by the reconcile with the rbd unit, POOL/IMAGE as
// its path; the data is the image's throughout.
TEST_F(RbdDaemonE2eTest, ReplayAndReconcileBringTheRbdLunBack) {
  const std::string name = Image("replayed");
  const int lun = CreateMappedRbdLun({"--image", "rbd/" + name, "--size", "32M"});
  ASSERT_GT(lun, 0);
  ASSERT_EQ(0, ProbeAs(kHostA, lun, {"--write-lba", "100", "--pattern", kPattern}).exitCode);

  StopDaemon();
  StartDaemon();
  EXPECT_EQ("rbd/" + name, TgtdTargets()[kTarget].luns[lun]);
  CommandResult a = ProbeAs(kHostA, lun, {"--read-lba", "100", "--pattern", kPattern});
  EXPECT_TRUE(Has(a.output, "read_matches_pattern=1")) << a.output;

  std::string error;
  ASSERT_TRUE(m_tgtd.Restart(&error)) << error;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (TgtdTargets()[kTarget].luns.count(lun) == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ("rbd/" + name, TgtdTargets()[kTarget].luns[lun]);
  CommandResult b = ProbeAs(kHostA, lun, {"--read-lba", "100", "--pattern", kPattern});
  EXPECT_TRUE(Has(b.output, "read_matches_pattern=1")) << b.output;
  EXPECT_FALSE(Has(CtlOk({"reconcile", "--dry-run"}), "rbd/" + name)) << "no drift is left";

  // Grown through the service: the image grows, tgtd serves the LUN again
  // under its number, mapped as before, and the initiator sees the size.
  CtlOk({"lun", "resize", kTarget, std::to_string(lun), "48M"});
  EXPECT_EQ(48 * kMiB, m_admin->Size("rbd", name));
  CommandResult grown = ProbeAs(kHostA, lun, {"--read-lba", "100", "--pattern", kPattern});
  EXPECT_TRUE(Has(grown.output, "capacity_bytes=" + std::to_string(48 * kMiB))) << grown.output;
  EXPECT_TRUE(Has(grown.output, "read_matches_pattern=1")) << grown.output;
  EXPECT_TRUE(Has(CtlOk({"lun", "show", kTarget, std::to_string(lun)}), "48.0 MiB")) << "the size it was given";
  WzCtlRunResult shrink = Ctl({"lun", "resize", kTarget, std::to_string(lun), "32M"});
  EXPECT_EQ(1, shrink.exitCode);
  EXPECT_TRUE(Has(shrink.err, "error 4,")) << shrink.err;
  EXPECT_EQ(48 * kMiB, m_admin->Size("rbd", name));
}

// Cluster mode: a LUN created through gateway A is applied by gateway B on
// the same image (adopted, never made again), with the same number and
// serial; what an initiator writes through A it reads through B. Deleting
// the LUN through A lets B go too, and neither removes the image (asked to,
// A refuses).
TEST(RbdClusterE2eTest, TwoGatewaysServeOneImage) {
  REQUIRE_CEPH();
  std::string missing;
  if (!ClusterRig::Installed(&missing)) GTEST_SKIP() << "missing: " << missing;
  if (::access("/usr/lib/tgt/backing-store/bs_rbd.so", R_OK) != 0) GTEST_SKIP() << "tgt-rbd is not installed";
  AdminClient admin;
  ASSERT_TRUE(admin.Connected());
  ClusterRig rig;
  ClusterRigOptions options;
  options.settings =
      "RbdConfFile=" + Cluster().ConfFile() + "\nRbdUser=" + Cluster().GatewayUser() + "\nRbdPools=rbd\n";
  std::string error;
  ASSERT_TRUE(rig.Start(options, &error)) << error;
  const std::string target = "iqn.2024-01.test.wz:rbd-cluster";
  const std::string host = "iqn.2024-01.test.wz:initiator";
  const std::string name = "shared";
  auto ok = [&](size_t g, const std::vector<std::string>& args) {
    WzCtlRunResult r = rig.Ctl(g, args);
    EXPECT_EQ(0, r.exitCode) << r.err << rig.Describe();
    return r.out;
  };
  ok(0, {"target", "create", target});
  ok(0, {"lun", "create", target, "--type", "rbd", "--image", "rbd/" + name, "--size", "32M", "--serial", "CL"});
  ok(0, {"host", "map", target, "1", host});
  ASSERT_TRUE(WaitUntil(
      [&] {
        auto luns = rig.Luns(1);
        return luns.count(target) != 0 && luns[target].count(1) != 0 && luns[target][1].count(host) != 0;
      },
      20000))
      << rig.Describe();
  EXPECT_EQ(32 * kMiB, admin.Size("rbd", name));

  CommandResult written = rig.Probe(0, target, host, 1, {"--write-lba", "7", "--pattern", "through-a"});
  ASSERT_EQ(0, written.exitCode) << written.output;
  CommandResult read = rig.Probe(1, target, host, 1, {"--read-lba", "7", "--pattern", "through-a"});
  ASSERT_EQ(0, read.exitCode) << read.output;
  EXPECT_TRUE(Has(read.output, "read_matches_pattern=1")) << read.output;
  EXPECT_EQ(PatternBlock("through-a"), admin.Open("rbd", name)->Read(7 * 512, 512));

  ok(0, {"host", "unmap", target, "1", host});
  // B may still serve the image whatever A sees of it: no gateway removes a
  // shared image with its LUN.
  WzCtlRunResult removing = rig.Ctl(0, {"lun", "delete", target, "1", "--remove-image"});
  EXPECT_NE(0, removing.exitCode);
  EXPECT_TRUE(Has(removing.err, "other gateways may still serve it")) << removing.err;
  EXPECT_EQ(1u, rig.Luns(0)[target].count(1)) << "a refused delete keeps the LUN";
  ok(0, {"lun", "delete", target, "1"});
  ASSERT_TRUE(WaitUntil([&] { return rig.Luns(1)[target].empty(); }, 20000)) << rig.Describe();
  EXPECT_TRUE(admin.Exists("rbd", name)) << "neither gateway removes it";
  rig.Stop();
  admin.Remove("rbd", name);
}

}  // namespace
}  // namespace wze2e
