#include "plugins/bstor/blkdev_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/hostlib/rn_test_temp_dir.h"

namespace {

std::string Sized(const CRnTempDirForTest& dir, const std::string& name, off_t size) {
  std::string path = dir.Join(name);
  CRnTempDirForTest::WriteText(path, "");
  EXPECT_EQ(0, ::truncate(path.c_str(), size));
  return path;
}

WzScsiSrvLun NewLun() {
  WzScsiSrvLun lun;
  lun.targetId = "iqn.t";
  lun.lunId = -1;
  lun.bstorType = WzScsiServer::BSTOR_BLKDEV;
  return lun;
}

CRnError Prepare(WzScsiSrvBStorBlkDev& store, const std::string& args, WzScsiSrvLun& lun) {
  WzScsiServer::BStoreDesc desc;
  desc.setArgs(args);
  return store.CreateLunPrepare(&desc, &lun);
}

TEST(BackingFile, EachRefusalNamesThePathAndTheReason) {
  CRnTempDirForTest dir;
  wzbstor::BackingFileInfo info;
  info.size = 42;
  struct Case {
    std::string path;
    const char* expected;
  };
  std::string fifo = dir.Join("fifo");
  ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
  const Case cases[] = {
      {"", "no backing path given"},
      {dir.Join("missing.img"), "does not exist"},
      {dir.Join("missing/below.img"), "does not exist"},
      {dir.Path(), "is a directory"},
      {fifo, "neither a regular file nor a block device"},
      {Sized(dir, "tiny.img", 100), "less than one 512-byte block"},
  };
  for (const Case& c : cases) {
    CRnError err = wzbstor::InspectBackingFile("test", c.path, info);
    ASSERT_TRUE(err.IsError()) << c.path;
    EXPECT_NE(std::string::npos, err.AsString().find(c.expected)) << err.AsString();
    EXPECT_NE(std::string::npos, err.AsString().find(c.path)) << err.AsString();
    EXPECT_EQ(42u, info.size) << "untouched on failure";
  }
}

TEST(BackingFile, ReadOnlyFilesAreRefused) {
  if (::geteuid() == 0) GTEST_SKIP() << "root opens read-only files for writing";
  CRnTempDirForTest dir;
  std::string path = Sized(dir, "ro.img", 4096);
  ASSERT_EQ(0, ::chmod(path.c_str(), 0444));
  wzbstor::BackingFileInfo info;
  CRnError err = wzbstor::InspectBackingFile("test", path, info);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(std::string::npos, err.AsString().find("cannot be opened for reading and writing")) << err.AsString();
}

TEST(BlkDevStore, PrepareFillsTheLunAndAbortForgetsIt) {
  CRnTempDirForTest dir;
  std::string path = Sized(dir, "lun.img", 64 << 20);
  WzScsiSrvBStorBlkDev store;
  WzScsiSrvLun lun = NewLun();
  ASSERT_TRUE(Prepare(store, "-ti iqn.t -path " + path + " -sp AB12", lun).IsSuccess());
  EXPECT_EQ(path, lun.path);
  EXPECT_EQ(64u << 20, lun.size);
  ASSERT_NE(nullptr, lun.bstoreCtx);
  EXPECT_EQ(1u, store.ContextCountForTest());

  ASSERT_TRUE(store.CreateLunAbort(&lun).IsSuccess());
  EXPECT_EQ(nullptr, lun.bstoreCtx);
  EXPECT_EQ(0u, store.ContextCountForTest());
}

TEST(BlkDevStore, RefusalsLeaveNoContext) {
  CRnTempDirForTest dir;
  WzScsiSrvBStorBlkDev store;
  WzScsiSrvLun lun = NewLun();
  CRnError err = Prepare(store, "-ti iqn.t -ssid s1 -sp AB", lun);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(std::string::npos, err.AsString().find("-path")) << err.AsString();
  err = Prepare(store, "-ti iqn.t -path " + dir.Path() + " -sp AB", lun);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(std::string::npos, err.AsString().find("is a directory")) << err.AsString();
  EXPECT_EQ(nullptr, lun.bstoreCtx);
  EXPECT_TRUE(lun.path.empty());
  EXPECT_EQ(0u, store.ContextCountForTest());
}

TEST(BlkDevStore, DeleteFreesTheContextAndKeepsTheData) {
  CRnTempDirForTest dir;
  std::string path = dir.Join("data.img");
  const std::string data(4096, 'd');
  CRnTempDirForTest::WriteText(path, data);
  WzScsiSrvBStorBlkDev store;
  WzScsiSrvLun lun = NewLun();
  ASSERT_TRUE(Prepare(store, "-path " + path, lun).IsSuccess());
  ASSERT_TRUE(store.CreateLunCommit(nullptr, &lun).IsSuccess());

  ASSERT_TRUE(store.DeleteLunPrepare(lun.bstoreCtx).IsSuccess());
  ASSERT_TRUE(store.DeleteLunAbort(lun.bstoreCtx).IsSuccess());
  EXPECT_EQ(1u, store.ContextCountForTest()) << "an aborted delete keeps the LUN";
  ASSERT_TRUE(store.DeleteLunPrepare(lun.bstoreCtx).IsSuccess());
  ASSERT_TRUE(store.DeleteLunCommit(lun.bstoreCtx).IsSuccess());
  EXPECT_EQ(0u, store.ContextCountForTest());
  EXPECT_EQ(data, CRnTempDirForTest::ReadText(path));

  // A context the store no longer (or never) held is refused, not used.
  EXPECT_TRUE(store.DeleteLunCommit(lun.bstoreCtx).IsError());
  int stranger = 0;
  EXPECT_TRUE(store.DeleteLunPrepare(&stranger).IsError());
}

TEST(BlkDevStore, CleanupReleasesEveryContext) {
  CRnTempDirForTest dir;
  std::string path = Sized(dir, "lun.img", 1 << 20);
  WzScsiSrvBStorBlkDev store;
  WzScsiSrvLun a = NewLun();
  WzScsiSrvLun b = NewLun();
  ASSERT_TRUE(Prepare(store, "-path " + path, a).IsSuccess());
  ASSERT_TRUE(Prepare(store, "-path " + path, b).IsSuccess());
  EXPECT_NE(a.bstoreCtx, b.bstoreCtx);
  ASSERT_TRUE(store.Cleanup().IsSuccess());
  EXPECT_EQ(0u, store.ContextCountForTest());
}

}  // namespace
