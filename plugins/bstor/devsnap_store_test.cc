#include "plugins/bstor/devsnap_store.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "hostlib/config/WZPlatformInfo.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"

namespace {

typedef WzScsiSrvBStorDevSnap::State State;

// Sets the calling thread's request flag the way the service does, for the
// life of the object.
class ThreadFlag {
 public:
  explicit ThreadFlag(const char* flag) : m_name(wzbstor::ThreadFlagName(flag)) { ::setenv(m_name.c_str(), "1", 1); }
  ~ThreadFlag() { ::setenv(m_name.c_str(), "", 1); }
  ThreadFlag(const ThreadFlag&) = delete;
  ThreadFlag& operator=(const ThreadFlag&) = delete;

 private:
  std::string m_name;
};

class DevSnapStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_snapDir = m_dir.Join("snaps");
    ASSERT_EQ(0, ::mkdir(m_snapDir.c_str(), 0700));
    m_config = m_dir.Join("config.ini");
    CRnTempDirForTest::WriteText(m_config, "[WzScsiSrvBStorDevSnap]\nSnapshotDir=" + m_snapDir + "/\n");
    WZPlatformInfo::SetConfigFile(m_config);
  }
  void TearDown() override { WZPlatformInfo::SetConfigFile(""); }

  std::string Snapshot(const std::string& ssid, off_t size) {
    std::string path = m_snapDir + "/" + ssid;
    CRnTempDirForTest::WriteText(path, "");
    EXPECT_EQ(0, ::truncate(path.c_str(), size));
    return path;
  }
  CRnError Prepare(const std::string& args, WzScsiSrvLun& lun) {
    WzScsiServer::BStoreDesc desc;
    desc.setArgs(args);
    return m_store.CreateLunPrepare(&desc, &lun);
  }
  State StateOf(const WzScsiSrvLun& lun) {
    State s = State::kCreating;
    EXPECT_TRUE(m_store.StateForTest(lun.bstoreCtx, s));
    return s;
  }
  // A committed LUN on snapshot ssid.
  WzScsiSrvLun Created(const std::string& ssid) {
    WzScsiSrvLun lun;
    lun.targetId = "iqn.t";
    lun.lunId = -1;
    EXPECT_TRUE(Prepare("-ti iqn.t -ssid " + ssid + " -sp S1", lun).IsSuccess());
    lun.lunId = 3;  // as the platform numbers it
    EXPECT_TRUE(m_store.CreateLunCommit(nullptr, &lun).IsSuccess());
    return lun;
  }

  CRnTempDirForTest m_dir;
  std::string m_snapDir;
  std::string m_config;
  WzScsiSrvBStorDevSnap m_store;
};

TEST_F(DevSnapStoreTest, SnapshotIdsLiveInTheSnapshotDirectoryAndPathWins) {
  std::string snap = Snapshot("snap-1", 8 << 20);
  WzScsiSrvLun lun = Created("snap-1");
  EXPECT_EQ(snap, lun.path);
  EXPECT_EQ(8u << 20, lun.size);
  EXPECT_EQ(State::kOpen, StateOf(lun));

  std::string other = m_dir.Join("other.img");
  CRnTempDirForTest::WriteText(other, std::string(1024, 'x'));
  WzScsiSrvLun byPath;
  ASSERT_TRUE(Prepare("-ssid snap-1 -path " + other, byPath).IsSuccess());
  EXPECT_EQ(other, byPath.path);
}

TEST_F(DevSnapStoreTest, BadSnapshotNamesAndMissingSettingsAreRefused) {
  WzScsiSrvLun lun;
  struct Case {
    std::string args;
    const char* expected;
  };
  const Case cases[] = {
      {"-ti iqn.t -sp S1", "-ssid"},
      {"-ssid ../etc", "not a plain file name"},
      {"-ssid a/b", "not a plain file name"},
      {"-ssid nothere", "does not exist"},
  };
  for (const Case& c : cases) {
    CRnError err = Prepare(c.args, lun);
    ASSERT_TRUE(err.IsError()) << c.args;
    EXPECT_NE(std::string::npos, err.AsString().find(c.expected)) << err.AsString();
  }
  CRnTempDirForTest::WriteText(m_config, "[Other]\nkey=1\n");
  Snapshot("s", 4096);
  CRnError err = Prepare("-ssid s", lun);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(std::string::npos, err.AsString().find("SnapshotDir")) << err.AsString();
  EXPECT_EQ(0u, m_store.ContextCountForTest());
}

TEST_F(DevSnapStoreTest, CloseKeepsTheContextAndOpenBringsTheLunBack) {
  Snapshot("s", 1 << 20);
  WzScsiSrvLun lun = Created("s");
  void* ctx = lun.bstoreCtx;
  {
    ThreadFlag closeOnly("CloseOnly");
    ASSERT_TRUE(m_store.DeleteLunPrepare(ctx).IsSuccess());
    ASSERT_TRUE(m_store.DeleteLunCommit(ctx).IsSuccess());
  }
  EXPECT_EQ(State::kClosed, StateOf(lun));

  // The snapshot grew while closed: the open sees the new size.
  ASSERT_EQ(0, ::truncate(lun.path.c_str(), 2 << 20));
  {
    ThreadFlag openOnly("OpenOnly");
    lun.size = 0;
    ASSERT_TRUE(Prepare("-ti iqn.t -li 3", lun).IsSuccess());
    EXPECT_EQ(ctx, lun.bstoreCtx) << "the same context comes back";
    EXPECT_EQ(2u << 20, lun.size);
    EXPECT_EQ(State::kOpening, StateOf(lun));
    ASSERT_TRUE(m_store.CreateLunCommit(nullptr, &lun).IsSuccess());
  }
  EXPECT_EQ(State::kOpen, StateOf(lun));

  // Without the flag a delete is for good; the snapshot file stays.
  ASSERT_TRUE(m_store.DeleteLunPrepare(ctx).IsSuccess());
  ASSERT_TRUE(m_store.DeleteLunCommit(ctx).IsSuccess());
  EXPECT_EQ(0u, m_store.ContextCountForTest());
  EXPECT_EQ(0, ::access(lun.path.c_str(), F_OK));
}

TEST_F(DevSnapStoreTest, FailedStepsReturnTheLunToWhereItWas) {
  Snapshot("s", 1 << 20);
  WzScsiSrvLun lun = Created("s");
  {
    ThreadFlag closeOnly("CloseOnly");
    ASSERT_TRUE(m_store.DeleteLunPrepare(lun.bstoreCtx).IsSuccess());
    ASSERT_TRUE(m_store.DeleteLunAbort(lun.bstoreCtx).IsSuccess());
    EXPECT_EQ(State::kOpen, StateOf(lun));
    ASSERT_TRUE(m_store.DeleteLunPrepare(lun.bstoreCtx).IsSuccess());
    ASSERT_TRUE(m_store.DeleteLunCommit(lun.bstoreCtx).IsSuccess());
  }
  {
    ThreadFlag openOnly("OpenOnly");
    ASSERT_TRUE(Prepare("-li 3", lun).IsSuccess());
    ASSERT_TRUE(m_store.CreateLunAbort(&lun).IsSuccess());
    ASSERT_NE(nullptr, lun.bstoreCtx) << "a failed open keeps the closed LUN's context";
    EXPECT_EQ(State::kClosed, StateOf(lun));
  }
  // A plain delete of the closed LUN that fails in the platform leaves it closed.
  ASSERT_TRUE(m_store.DeleteLunPrepare(lun.bstoreCtx).IsSuccess());
  ASSERT_TRUE(m_store.DeleteLunAbort(lun.bstoreCtx).IsSuccess());
  EXPECT_EQ(State::kClosed, StateOf(lun));

  // A failed creation frees its context.
  WzScsiSrvLun fresh;
  ASSERT_TRUE(Prepare("-ssid s", fresh).IsSuccess());
  ASSERT_TRUE(m_store.CreateLunAbort(&fresh).IsSuccess());
  EXPECT_EQ(nullptr, fresh.bstoreCtx);
  EXPECT_EQ(1u, m_store.ContextCountForTest());
}

TEST_F(DevSnapStoreTest, OpenNeedsAnExistingSnapshotAndAContextOfThisStore) {
  Snapshot("s", 1 << 20);
  WzScsiSrvLun lun = Created("s");
  {
    ThreadFlag openOnly("OpenOnly");
    WzScsiSrvLun stranger;
    CRnError err = Prepare("-li 3", stranger);
    ASSERT_TRUE(err.IsError());
    EXPECT_NE(std::string::npos, err.AsString().find("no snapshot context")) << err.AsString();

    ASSERT_TRUE(Prepare("-li 3", lun).IsSuccess()) << "opening an open LUN is harmless";
    EXPECT_EQ(State::kOpen, StateOf(lun));
  }
  {
    ThreadFlag closeOnly("CloseOnly");
    ASSERT_TRUE(m_store.DeleteLunPrepare(lun.bstoreCtx).IsSuccess());
    ASSERT_TRUE(m_store.DeleteLunCommit(lun.bstoreCtx).IsSuccess());
  }
  ASSERT_EQ(0, ::unlink(lun.path.c_str()));
  ThreadFlag openOnly("OpenOnly");
  CRnError err = Prepare("-li 3", lun);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(std::string::npos, err.AsString().find("does not exist")) << err.AsString();
  EXPECT_EQ(State::kClosed, StateOf(lun));
}

TEST_F(DevSnapStoreTest, ReplayReusesCachedSnapshotInfoOnlyWhenAsked) {
  std::string snap = Snapshot("s", 1 << 20);
  Created("s");
  ASSERT_EQ(0, ::truncate(snap.c_str(), 3 << 20));

  WzScsiSrvLun cached;
  ASSERT_TRUE(Prepare("-ssid s -usesnapinfocache -playback", cached).IsSuccess());
  EXPECT_EQ(1u << 20, cached.size) << "the cached size, not the file's";

  WzScsiSrvLun fresh;
  ASSERT_TRUE(Prepare("-ssid s -playback", fresh).IsSuccess());
  EXPECT_EQ(3u << 20, fresh.size);

  ASSERT_EQ(0, ::unlink(snap.c_str()));
  WzScsiSrvLun gone;
  CRnError err = Prepare("-ssid s -playback", gone);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(std::string::npos, err.AsString().find("saved LUN")) << err.AsString();
}

}  // namespace
