// The RBD store's rules that need no Ceph cluster: the texts it reads and
// the refusals it makes before connecting. The store against a real
// one-node cluster is tested in tests/e2e/rbd_e2e_test.cc.
#include "plugins/bstor/rbd_store.h"

#include <gtest/gtest.h>

#include "tests/support/hostlib/rn_test_temp_dir.h"

namespace {

bool Mentions(const CRnError& err, const std::string& text) { return err.AsString().find(text) != std::string::npos; }

TEST(RbdArgs, ImageRefs) {
  struct Case {
    std::string text;
    const char* refusal;  // nullptr: accepted
    std::string pool = "";
    std::string image = "";
  };
  const std::string longName(wzrbd::kMaxNameLength + 1, 'a');
  const Case cases[] = {
      {"rbd/disk1", nullptr, "rbd", "disk1"},
      {"my-pool.2/vm_disk-1.img", nullptr, "my-pool.2", "vm_disk-1.img"},
      {"rbd/" + std::string(wzrbd::kMaxNameLength, 'x'), nullptr, "rbd", std::string(wzrbd::kMaxNameLength, 'x')},
      {"", "not of the form POOL/IMAGE"},
      {"disk1", "not of the form POOL/IMAGE"},
      {"/disk1", "pool name of the RBD image \"/disk1\" is empty"},
      {"rbd/", "image name of the RBD image \"rbd/\" is empty"},
      {"rbd/ns/disk1", "namespaces are not supported"},
      {"rbd/disk1@snap1", "names a snapshot"},
      {"rbd/disk 1", "holds a character other than"},
      {"rbd/disk;1", "holds a character other than"},
      {"rbd/-disk1", "starts with '-'"},
      {"rbd/" + longName, "longer than 127 characters"},
      {longName + "/disk1", "pool name"},
  };
  for (const Case& c : cases) {
    wzrbd::RbdImageRef ref{"keep", "me"};
    CRnError err = wzrbd::ParseImageRef("test", c.text, ref);
    if (c.refusal == nullptr) {
      ASSERT_TRUE(err.IsSuccess()) << c.text << ": " << err.AsString();
      EXPECT_EQ(c.pool, ref.pool);
      EXPECT_EQ(c.image, ref.image);
      EXPECT_EQ(c.text, ref.Path());
    } else {
      ASSERT_TRUE(err.IsError()) << c.text;
      EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_BAD_ARGUMENTS), err.GetCode());
      EXPECT_TRUE(Mentions(err, c.refusal)) << err.AsString();
      EXPECT_EQ("keep/me", ref.Path()) << "untouched on failure";
    }
  }
}

TEST(RbdArgs, Identities) {
  struct Case {
    std::string text;
    const char* refusal;
    std::string conf = "";
    std::string user = "";
  };
  const Case cases[] = {
      {"conf=/etc/ceph/ceph.conf;id=wzgw", nullptr, "/etc/ceph/ceph.conf", "wzgw"},
      {"id=gw.a;conf=/etc/ceph/c.conf;", nullptr, "/etc/ceph/c.conf", "gw.a"},
      {"", "lacks conf=FILE"},
      {"id=wzgw", "lacks conf=FILE"},
      {"conf=/etc/ceph/ceph.conf", "lacks id=USER"},
      {"conf=ceph.conf;id=wzgw", "not an absolute path"},
      {"conf=/etc/ceph/my ceph.conf;id=wzgw", "holds a blank"},
      {"conf=/etc/ceph/a,b.conf;id=wzgw", "holds a blank, ';', ','"},
      {"conf=/etc/ceph/ceph.conf;id=client.wzgw", "without \"client.\" (id=wzgw)"},
      {"conf=/etc/ceph/ceph.conf;id=", "the Ceph user \"\" is empty"},
      {"conf=/etc/ceph/ceph.conf;id=a/b", "holds a character other than"},
      {"conf=/etc/ceph/ceph.conf;id=wzgw;cluster=ceph", "holds \"cluster=ceph\""},
  };
  for (const Case& c : cases) {
    wzrbd::RbdIdentity id{"/keep", "me"};
    CRnError err = wzrbd::ParseIdentity("test", c.text, id);
    if (c.refusal == nullptr) {
      ASSERT_TRUE(err.IsSuccess()) << c.text << ": " << err.AsString();
      EXPECT_EQ(c.conf, id.confFile);
      EXPECT_EQ(c.user, id.user);
      // The text the engine is given reads back as the same identity.
      wzrbd::RbdIdentity again;
      ASSERT_TRUE(wzrbd::ParseIdentity("test", id.ExtData(), again).IsSuccess());
      EXPECT_EQ(id.ExtData(), again.ExtData());
    } else {
      ASSERT_TRUE(err.IsError()) << c.text;
      EXPECT_TRUE(Mentions(err, c.refusal)) << err.AsString();
      EXPECT_EQ("conf=/keep;id=me", id.ExtData()) << "untouched on failure";
    }
  }
}

TEST(RbdArgs, CreationOptions) {
  struct Case {
    std::string args;
    const char* refusal;
    bool adopt = false;
    bool sizeGiven = false;
    uint64_t size = 0;
  };
  const Case cases[] = {
      {"-ti iqn.t -path rbd/a -size 10737418240 -sp AB12", nullptr, false, true, 10737418240ull},
      {"-path rbd/a -existing 1", nullptr, true, false, 0},
      {"-path rbd/a -existing 1 -size 1048576", nullptr, true, true, 1048576},
      {"-path rbd/a -existing -sp AB", nullptr, true, false, 0},
      {"-path rbd/a -existing 0 -size 512", nullptr, false, true, 512},
      // A replayed creation adopts the image its first creation made.
      {"-path rbd/a -size 1048576 -creationTime 600 -usesnapinfocache -playback", nullptr, true, true, 1048576},
      {"-ti iqn.t -sp AB", "needs a -path option"},
      {"-path \"\" -size 512", "needs a -path option"},
      {"-path rbd -size 512", "not of the form POOL/IMAGE"},
      {"-path rbd/a", "needs -size BYTES; -existing 1 adopts"},
      {"-path rbd/a -size 10G", "decimal digits, not \"10G\""},
      {"-path rbd/a -size -5", "decimal digits"},
      {"-path rbd/a -size 99999999999999999999999", "beyond any size"},
      {"-path rbd/a -existing yes", "-existing takes 1"},
  };
  for (const Case& c : cases) {
    wzrbd::RbdCreateArgs out;
    out.size = 42;
    CRnError err = wzrbd::ParseCreateArgs("test", c.args, out);
    if (c.refusal == nullptr) {
      ASSERT_TRUE(err.IsSuccess()) << c.args << ": " << err.AsString();
      EXPECT_EQ("rbd/a", out.ref.Path());
      EXPECT_EQ(c.adopt, out.adopt) << c.args;
      EXPECT_EQ(c.sizeGiven, out.sizeGiven) << c.args;
      if (c.sizeGiven) {
        EXPECT_EQ(c.size, out.size) << c.args;
      }
    } else {
      ASSERT_TRUE(err.IsError()) << c.args;
      EXPECT_TRUE(Mentions(err, c.refusal)) << err.AsString();
      EXPECT_EQ(42u, out.size) << "untouched on failure";
    }
  }
}

WzScsiSrvLun NewLun(const std::string& extData) {
  WzScsiSrvLun lun;
  lun.targetId = "iqn.t";
  lun.lunId = -1;
  lun.blockSize = 512;
  lun.bstorType = static_cast<WzScsiServer::BStorType>(7);
  lun.extData = extData;
  return lun;
}

CRnError Prepare(WzScsiSrvBStorRbd& store, const std::string& args, WzScsiSrvLun& lun) {
  WzScsiServer::BStoreDesc desc;
  desc.setArgs(args);
  return store.CreateLunPrepare(&desc, &lun);
}

// Every refusal that comes before the store talks to Ceph leaves the LUN
// record, the store and the connections as they were.
TEST(RbdStore, RefusalsBeforeConnectingLeaveNothing) {
  CRnTempDirForTest dir;
  const std::string conf = dir.Join("ceph.conf");
  CRnTempDirForTest::WriteText(conf, "[global]\n");
  const std::string identity = "conf=" + conf + ";id=wzgw";
  struct Case {
    std::string args;
    std::string extData;
    std::string refusal;
  };
  const Case cases[] = {
      {"-path rbd/a", identity, "needs -size BYTES"},
      {"-path rbd/a -size 1000", identity, "not a positive multiple of the 512-byte block"},
      {"-path rbd/a -size 0", identity, "not a positive multiple"},
      // The gateway's identity comes from the service; without it nothing connects.
      {"-path rbd/a -size 1048576", "", "the gateway's Ceph identity is not usable"},
      {"-path rbd/a -size 1048576", "conf=" + dir.Join("missing.conf") + ";id=wzgw",
       "cannot read the Ceph configuration file " + dir.Join("missing.conf")},
  };
  WzScsiSrvBStorRbd store;
  for (const Case& c : cases) {
    WzScsiSrvLun lun = NewLun(c.extData);
    lun.path = "untouched";
    CRnError err = Prepare(store, c.args, lun);
    ASSERT_TRUE(err.IsError()) << c.args;
    EXPECT_TRUE(Mentions(err, c.refusal)) << err.AsString();
    EXPECT_TRUE(Mentions(err, "RBD LUN refused")) << err.AsString();
    EXPECT_EQ(nullptr, lun.bstoreCtx);
    EXPECT_EQ("untouched", lun.path);
    EXPECT_EQ(0u, lun.size);
  }
  EXPECT_EQ(0u, store.ContextCountForTest());
  EXPECT_EQ(0u, store.ConnectionCountForTest());
  EXPECT_TRUE(store.CreateLunPrepare(nullptr, nullptr).IsError());
}

TEST(RbdStore, ContextsNotItsOwnAreRefused) {
  WzScsiSrvBStorRbd store;
  int stranger = 0;
  EXPECT_TRUE(store.DeleteLunPrepare(&stranger).IsError());
  EXPECT_TRUE(store.DeleteLunCommit(&stranger).IsError());
  EXPECT_TRUE(store.DeleteLunAbort(&stranger).IsError());
  EXPECT_TRUE(store.DeleteLunCommit(nullptr).IsError());
  EXPECT_TRUE(store.ResizeLun(&stranger, 1 << 20).IsError());
  EXPECT_EQ(0u, store.LunSize(&stranger));
  WzScsiSrvLun lun = NewLun("");
  lun.bstoreCtx = &stranger;
  EXPECT_TRUE(store.CreateLunCommit(nullptr, &lun).IsError());
  EXPECT_TRUE(store.CreateLunAbort(&lun).IsError());
  EXPECT_EQ(&stranger, lun.bstoreCtx) << "a stranger's pointer is not cleared either";
  EXPECT_TRUE(
      store.HandleXDRMessage(CWzNetworkServer::WznCallback_e(), nullptr, WznHandle_t(), 0x4b01, nullptr).IsError());
  EXPECT_TRUE(store.Cleanup().IsSuccess());
}

}  // namespace
