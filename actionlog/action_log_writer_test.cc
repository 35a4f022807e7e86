// The action-log writer: the tree it writes, the undoable removal, and
// durable replacement under failures of every file-system step.
#include "actionlog/action_log_writer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "actionlog/action_log_layout.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"
#include "tests/support/service_harness.h"

using namespace wztest;
using namespace WzScsiServer;
namespace Layout = WzScsiSrvActionLog;

namespace {

class ActionLog : public ::testing::Test {
 protected:
  std::string Root() const { return tmp.Join("log"); }
  std::string Dir(const std::string& target) const { return Layout::TargetDir(Root(), target); }
  CRnError SaveTarget(const std::string& target) { return Writer().SaveTarget(Dir(target), *MakeCreateTarget(target)); }
  CRnError SaveLun(const std::string& target, int32_t lunId, const std::string& args = "-ti t") {
    return Writer().Save(Layout::LunFile(Dir(target), lunId), *MakeCreateLun(target, 2, args));
  }
  CRnError SaveMap(const std::string& target, int32_t lunId, const std::string& host) {
    return Writer().Save(Layout::MappingFile(Dir(target), host, lunId), *MakeMap(target, lunId, host));
  }
  // A removal that goes through: set aside, then discarded.
  CRnError Remove(const std::string& path) {
    WzScsiSrvSetAside aside;
    if (CRnError e = Writer().SetAside(path, aside)) return e;
    Writer().Discard(aside);
    return CRnError();
  }
  WzScsiSrvActionLogWriter Writer() const { return WzScsiSrvActionLogWriter(); }

  CRnTempDirForTest tmp;
};

// Fails every call of one kind of file-system operation.
class FailingFs : public IRnFileSystem {
 public:
  enum Op { kOpen, kWrite, kFsync, kRename, kMkdir };
  explicit FailingFs(Op op) : m_op(op) {}
  int Open(const char* p, int f, mode_t m) override { return Fail(kOpen) ? -1 : IRnFileSystem::Open(p, f, m); }
  ssize_t Write(int fd, const void* d, size_t n) override { return Fail(kWrite) ? -1 : IRnFileSystem::Write(fd, d, n); }
  int Fsync(int fd) override { return Fail(kFsync) ? -1 : IRnFileSystem::Fsync(fd); }
  int Rename(const char* a, const char* b) override { return Fail(kRename) ? -1 : IRnFileSystem::Rename(a, b); }
  int Mkdir(const char* p, mode_t m) override { return Fail(kMkdir) ? -1 : IRnFileSystem::Mkdir(p, m); }

 private:
  bool Fail(Op op) {
    if (op != m_op) return false;
    errno = EIO;
    return true;
  }
  Op m_op;
};

// Counts fsyncs (each durable change needs its own, and no more than it
// needs) and mkdirs (a directory that exists is not made again).
class CountingFs : public IRnFileSystem {
 public:
  int Fsync(int fd) override {
    ++count;
    return IRnFileSystem::Fsync(fd);
  }
  int Mkdir(const char* path, mode_t mode) override {
    ++mkdirs;
    return IRnFileSystem::Mkdir(path, mode);
  }
  int count = 0;
  int mkdirs = 0;
};

std::string Rel(const std::string& root, const std::string& path) { return path.substr(root.size() + 1); }

}  // namespace

TEST_F(ActionLog, ExampleTreeFileByFile) {
  ASSERT_TRUE(SaveTarget("a").IsSuccess());  // creates the root and Targets too
  ASSERT_TRUE(SaveLun("a", 0).IsSuccess());
  ASSERT_TRUE(SaveLun("a", 1).IsSuccess());
  ASSERT_TRUE(SaveMap("a", 1, "hostA").IsSuccess());
  ASSERT_TRUE(SaveTarget("b").IsSuccess());
  const std::string a = Dir("a"), b = Dir("b"), r = Root();
  std::vector<std::string> expected = {Rel(r, Layout::TargetsDir(r)) + "/",
                                       Rel(r, a) + "/",
                                       Rel(r, Layout::TargetFile(a)),
                                       Rel(r, Layout::LunsDir(a)) + "/",
                                       Rel(r, Layout::LunFile(a, 0)),
                                       Rel(r, Layout::LunFile(a, 1)),
                                       Rel(r, Layout::MappingsDir(a)) + "/",
                                       Rel(r, Layout::MappingFile(a, "hostA", 1)),
                                       Rel(r, b) + "/",
                                       Rel(r, Layout::TargetFile(b)),
                                       Rel(r, Layout::LunsDir(b)) + "/",
                                       Rel(r, Layout::MappingsDir(b)) + "/"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ListTree(r), expected);

  // Each file holds exactly the request.
  MapLun2Host m;
  ASSERT_EQ(m.readXmlFromString(ReadFile(Layout::MappingFile(a, "hostA", 1))), 0);
  EXPECT_EQ(m.hostId(), "hostA");
  EXPECT_EQ(m.lunId(), 1);
}

TEST_F(ActionLog, RemovalsTakeOutExactlyTheirFileAndCanBeUndone) {
  ASSERT_TRUE(SaveTarget("iqn.t").IsSuccess());
  ASSERT_TRUE(SaveLun("iqn.t", 4).IsSuccess());
  ASSERT_TRUE(SaveMap("iqn.t", 4, "Host1").IsSuccess());
  ASSERT_TRUE(SaveMap("iqn.t", 4, "host1").IsSuccess());
  const std::string dir = Dir("iqn.t");

  // Set aside and put back: the file is there again, nothing else is left.
  WzScsiSrvSetAside aside;
  ASSERT_TRUE(Writer().SetAside(Layout::MappingFile(dir, "Host1", 4), aside).IsSuccess());
  EXPECT_FALSE(CRnPath::Exists(Layout::MappingFile(dir, "Host1", 4)));
  ASSERT_TRUE(Writer().Restore(aside).IsSuccess());
  const std::vector<std::string> both = ListTree(Layout::MappingsDir(dir));
  EXPECT_EQ(both.size(), 2u);
  for (const std::string& name : both) EXPECT_FALSE(Layout::IsTemporaryName(name)) << name;

  ASSERT_TRUE(Remove(Layout::MappingFile(dir, "Host1", 4)).IsSuccess());
  EXPECT_EQ(ListTree(Layout::MappingsDir(dir)), std::vector<std::string>{Layout::MappingFileName("host1", 4)});
  ASSERT_TRUE(Remove(Layout::MappingFile(dir, "host1", 4)).IsSuccess());
  ASSERT_TRUE(Remove(Layout::LunFile(dir, 4)).IsSuccess());
  EXPECT_TRUE(ListTree(Layout::LunsDir(dir)).empty());
  ASSERT_TRUE(Remove(dir).IsSuccess());
  EXPECT_FALSE(CRnPath::Exists(dir));
  EXPECT_TRUE(ListTree(Layout::TargetsDir(Root())).empty());

  // A leftover of a crash under the name set aside is replaced, a file by a
  // directory and a full directory by a file.
  ASSERT_TRUE(SaveTarget("iqn.t").IsSuccess());
  ASSERT_TRUE(SaveLun("iqn.t", 4).IsSuccess());
  const std::string leftover =
      Layout::TargetsDir(Root()) + "/" + FXFile::kTempPrefix + CRnPath::GetBaseName(dir) + ".del";
  WriteFile(leftover, "garbage");
  const std::string lunLeftover = Layout::LunsDir(dir) + "/" + FXFile::kTempPrefix + Layout::LunFileName(4) + ".del";
  ASSERT_TRUE(CRnDirectory::Create(lunLeftover + "/sub", true).IsSuccess());
  ASSERT_TRUE(Remove(Layout::LunFile(dir, 4)).IsSuccess());
  // A target removed with a LUN still saved in it goes whole too.
  ASSERT_TRUE(SaveLun("iqn.t", 5).IsSuccess());
  ASSERT_TRUE(Remove(dir).IsSuccess());
  EXPECT_TRUE(ListTree(Layout::TargetsDir(Root())).empty());

  // Nothing saved: nothing to remove, and no failure.
  EXPECT_TRUE(Remove(Layout::LunFile(dir, 2)).IsSuccess());
  EXPECT_TRUE(Remove(dir).IsSuccess());
}

TEST_F(ActionLog, AShorterDocumentLeavesNoTailOfTheLongerOne) {
  ASSERT_TRUE(SaveLun("iqn.t", 1, "-ti t -path /" + std::string(4000, 'x')).IsSuccess());
  ASSERT_TRUE(SaveLun("iqn.t", 1, "-ti t -path /short").IsSuccess());
  std::string text = ReadFile(Layout::LunFile(Dir("iqn.t"), 1));
  CreateLun l;
  ASSERT_EQ(l.readXmlFromString(text), 0) << text;
  EXPECT_EQ(l.bstoreDesc().args(), "-ti t -path /short");
}

TEST_F(ActionLog, EveryFailedStepKeepsThePreviousFileWhole) {
  ASSERT_TRUE(SaveLun("iqn.t", 1, "-ti t -path /first").IsSuccess());
  const std::string lunsDir = Layout::LunsDir(Dir("iqn.t"));
  const std::string file = Layout::LunFile(Dir("iqn.t"), 1);
  const std::string before = ReadFile(file);
  for (FailingFs::Op op : {FailingFs::kOpen, FailingFs::kWrite, FailingFs::kFsync, FailingFs::kRename}) {
    FailingFs fs(op);
    CRnError e;
    {
      CRnFileSystemForTest guard(&fs);
      e = SaveLun("iqn.t", 1, "-ti t -path /second");
    }
    EXPECT_TRUE(e.IsError()) << "step " << op;
    EXPECT_EQ(ReadFile(file), before) << "step " << op;
    EXPECT_EQ(ListTree(lunsDir), std::vector<std::string>{Layout::LunFileName(1)}) << "no temporary file, step " << op;
  }
  // A removal whose rename or fsync fails leaves the file where it was.
  for (FailingFs::Op op : {FailingFs::kFsync, FailingFs::kRename}) {
    FailingFs fs(op);
    WzScsiSrvSetAside aside;
    CRnError e;
    {
      CRnFileSystemForTest guard(&fs);
      e = Writer().SetAside(file, aside);
    }
    EXPECT_TRUE(e.IsError()) << "step " << op;
    EXPECT_FALSE(aside.Active());
    EXPECT_EQ(ReadFile(file), before) << "step " << op;
  }
}

TEST_F(ActionLog, DirectoryThatCannotBeCreatedWritesNothing) {
  FailingFs fs(FailingFs::kMkdir);
  CRnError e;
  {
    CRnFileSystemForTest guard(&fs);
    e = SaveTarget("iqn.t");
  }
  EXPECT_TRUE(e.IsError());
  EXPECT_FALSE(CRnPath::Exists(Root()));
}

TEST_F(ActionLog, ARequestTooLargeForASavedFileIsRefusedUnsaved) {
  auto big = MakeCreateTarget("iqn.t", std::string(CNMessageBase::kMaxXmlBytes, 'd'));
  EXPECT_TRUE(WzScsiSrvActionLogWriter::CheckSavable(*big).IsError());
  EXPECT_TRUE(Writer().SaveTarget(Dir("iqn.t"), *big).IsError());
  EXPECT_FALSE(CRnPath::Exists(Layout::TargetFile(Dir("iqn.t"))));
}

TEST_F(ActionLog, EachChangeCostsTheFsyncsItNeedsAndNoMore) {
  ASSERT_TRUE(SaveTarget("iqn.first").IsSuccess());  // makes the root and Targets
  CountingFs fs;
  CRnFileSystemForTest guard(&fs);
  auto cost = [&](const std::function<CRnError()>& change, int mkdirs) {
    fs.count = 0;
    fs.mkdirs = 0;
    EXPECT_TRUE(change().IsSuccess());
    EXPECT_EQ(fs.mkdirs, mkdirs);
    return fs.count;
  };
  // File, its directory (which also holds the new LUN and mapping folders), and
  // Targets for the new directory.
  EXPECT_EQ(cost([&] { return SaveTarget("iqn.t"); }, 3), 3);
  EXPECT_EQ(cost([&] { return SaveLun("iqn.t", 0); }, 0), 2);
  EXPECT_EQ(cost([&] { return SaveMap("iqn.t", 0, "h"); }, 0), 2);
  // A removal: the directory that loses the name, once.
  EXPECT_EQ(cost([&] { return Remove(Layout::MappingFile(Dir("iqn.t"), "h", 0)); }, 0), 1);
  EXPECT_EQ(cost([&] { return Remove(Layout::LunFile(Dir("iqn.t"), 0)); }, 0), 1);
  EXPECT_EQ(cost([&] { return Remove(Dir("iqn.t")); }, 0), 1);
}

// The service's record step: a request is saved where its class says, under
// the lower-cased target name whatever case it was sent in, and a removal
// takes its file out.
TEST(LogAction, SavesUnderTheLowerCasedNameAndRemovesWhatARemovalNames) {
  ServiceHarness h;
  const std::string dir = Layout::TargetDir(h.ActionLogRoot(), "iqn.a");
  MapLun2HostRsp mapped;
  auto map = MakeMap("IQN.A", 1, "HostA");
  ASSERT_TRUE(h.Service().LogAction(*map, mapped).IsSuccess());
  MapLun2Host saved;
  ASSERT_EQ(saved.readXmlFromString(ReadFile(Layout::MappingFile(dir, "HostA", 1))), 0);
  EXPECT_EQ(saved.targetId(), "iqn.a");
  EXPECT_EQ(saved.hostId(), "HostA") << "host ids keep their case";

  UnMapLun2HostRsp unmapped;
  ASSERT_TRUE(h.Service().LogAction(*MakeUnMap("Iqn.A", 1, "HostA"), unmapped).IsSuccess());
  EXPECT_FALSE(CRnPath::Exists(Layout::MappingFile(dir, "HostA", 1)));
  IoctlRsp listed;
  EXPECT_TRUE(h.Service().LogAction(*MakeIoctl("lt"), listed).IsSuccess()) << "nothing to save";
}
