// The action-log tree: names, layout, case folding, removal, and durable
// replacement under failures of every file-system step.
#include <gtest/gtest.h>

#include <functional>

#include "tests/support/service_harness.h"

using namespace wztest;
using namespace WzScsiServer;

namespace {

CRnError SaveLun(ServiceHarness& h, const std::string& target, int32_t lunId, const std::string& args = "-ti t") {
  auto req = MakeCreateLun(target, 2, args);
  CreateLunRsp rsp;
  rsp.setLunId(lunId);
  return h.Service().LogAction(req.get(), &rsp);
}

CRnError Save(ServiceHarness& h, std::unique_ptr<CNMessageBase> req) { return h.Service().LogAction(req.get(), nullptr); }

class ActionLog : public ::testing::Test {
 protected:
  HarnessOptions Options() {
    HarnessOptions o;
    o.start = false;
    return o;
  }
};

}  // namespace

TEST_F(ActionLog, ExampleTreeFileByFile) {
  ServiceHarness h(Options());
  ASSERT_FALSE(CRnPath::Exists(h.ActionLogRoot()));
  ASSERT_TRUE(Save(h, MakeCreateTarget("A")).IsSuccess());  // creates the root and Targets too
  ASSERT_TRUE(SaveLun(h, "A", 0).IsSuccess());
  ASSERT_TRUE(SaveLun(h, "A", 1).IsSuccess());
  ASSERT_TRUE(Save(h, MakeMap("A", 1, "hostA")).IsSuccess());
  ASSERT_TRUE(Save(h, MakeCreateTarget("B")).IsSuccess());
  const std::string ta = Guid("a"), tb = Guid("b"), hh = Guid("hostA");
  std::vector<std::string> expected = {"Targets/",
                                       "Targets/" + ta + "/",
                                       "Targets/" + ta + "/" + ta + ".wzf",
                                       "Targets/" + ta + "/Luns/",
                                       "Targets/" + ta + "/Luns/0000.wzf",
                                       "Targets/" + ta + "/Luns/0001.wzf",
                                       "Targets/" + ta + "/Mappings/",
                                       "Targets/" + ta + "/Mappings/" + hh + "_0001.wzf",
                                       "Targets/" + tb + "/",
                                       "Targets/" + tb + "/" + tb + ".wzf",
                                       "Targets/" + tb + "/Luns/",
                                       "Targets/" + tb + "/Mappings/"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ListTree(h.ActionLogRoot()), expected);

  // Each file holds exactly the request, with the lower-case target name.
  CreateTarget t;
  ASSERT_EQ(t.readXmlFromString(ReadFile(h.ActionLogRoot() + "/Targets/" + ta + "/" + ta + ".wzf")), 0);
  EXPECT_EQ(t.targetId(), "a");
  MapLun2Host m;
  ASSERT_EQ(m.readXmlFromString(ReadFile(h.ActionLogRoot() + "/Targets/" + ta + "/Mappings/" + hh + "_0001.wzf")), 0);
  EXPECT_EQ(m.targetId(), "a");
  EXPECT_EQ(m.hostId(), "hostA");
  EXPECT_EQ(m.lunId(), 1);
}

TEST_F(ActionLog, LunNumbersArePaddedToFourDigits) {
  ServiceHarness h(Options());
  ASSERT_TRUE(SaveLun(h, "iqn.t", 7).IsSuccess());
  ASSERT_TRUE(SaveLun(h, "iqn.t", 12345).IsSuccess());
  std::string luns = h.ActionLogRoot() + "/Targets/" + Guid("iqn.t") + "/Luns";
  EXPECT_EQ(ListTree(luns), (std::vector<std::string>{"0007.wzf", "12345.wzf"}));
}

TEST_F(ActionLog, HostNamesKeepTheirCaseInFileNames) {
  ServiceHarness h(Options());
  ASSERT_TRUE(Save(h, MakeMap("IQN.T", 3, "Host1")).IsSuccess());
  ASSERT_TRUE(Save(h, MakeMap("iqn.t", 3, "host1")).IsSuccess());
  std::string maps = h.ActionLogRoot() + "/Targets/" + Guid("iqn.t") + "/Mappings";
  std::vector<std::string> expected = {Guid("Host1") + "_0003.wzf", Guid("host1") + "_0003.wzf"};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(ListTree(maps), expected);
  ASSERT_TRUE(Save(h, MakeUnMap("iqn.t", 3, "Host1")).IsSuccess());
  EXPECT_EQ(ListTree(maps), std::vector<std::string>{Guid("host1") + "_0003.wzf"});
}

TEST_F(ActionLog, DeletesRemoveFilesAndTheWholeTargetDirectory) {
  ServiceHarness h(Options());
  ASSERT_TRUE(Save(h, MakeCreateTarget("iqn.T")).IsSuccess());
  ASSERT_TRUE(SaveLun(h, "iqn.t", 4).IsSuccess());
  ASSERT_TRUE(Save(h, MakeMap("iqn.t", 4, "h")).IsSuccess());
  ASSERT_TRUE(Save(h, MakeUnMap("iqn.t", 4, "h")).IsSuccess());
  ASSERT_TRUE(Save(h, MakeDeleteLun("iqn.t", 4)).IsSuccess());
  std::string dir = h.ActionLogRoot() + "/Targets/" + Guid("iqn.t");
  std::vector<std::string> left = {"Luns/", "Mappings/", Guid("iqn.t") + ".wzf"};
  std::sort(left.begin(), left.end());
  EXPECT_EQ(ListTree(dir), left);
  // Any case of the name removes exactly that directory, empty subdirectories included.
  ASSERT_TRUE(Save(h, MakeDeleteTarget("IQN.t")).IsSuccess());
  EXPECT_FALSE(CRnPath::Exists(dir));
  EXPECT_TRUE(CRnPath::Exists(h.ActionLogRoot() + "/Targets"));
}

TEST_F(ActionLog, MissingFilesOnDeleteAreLoggedNotFailed) {
  ServiceHarness h(Options());
  EXPECT_TRUE(Save(h, MakeDeleteLun("iqn.t", 2)).IsSuccess());
  EXPECT_TRUE(h.Log().Contains("failed to remove, file=" + h.ActionLogRoot() + "/Targets/" + Guid("iqn.t") +
                               "/Luns/0002.wzf"));
  EXPECT_TRUE(Save(h, MakeDeleteTarget("iqn.t")).IsSuccess());
  EXPECT_TRUE(h.Log().Contains("failed to floder, file="));
  EXPECT_TRUE(Save(h, MakeIoctl("ll")).IsSuccess());
}

TEST_F(ActionLog, AShorterDocumentLeavesNoTailOfTheLongerOne) {
  ServiceHarness h(Options());
  ASSERT_TRUE(SaveLun(h, "iqn.t", 1, "-ti t -path /" + std::string(4000, 'x')).IsSuccess());
  ASSERT_TRUE(SaveLun(h, "iqn.t", 1, "-ti t -path /short").IsSuccess());
  std::string text = ReadFile(h.ActionLogRoot() + "/Targets/" + Guid("iqn.t") + "/Luns/0001.wzf");
  CreateLun l;
  ASSERT_EQ(l.readXmlFromString(text), 0) << text;
  EXPECT_EQ(l.bstoreDesc().args(), "-ti t -path /short");
}

namespace {

// Fails the n-th call of one kind of file-system operation.
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

}  // namespace

TEST_F(ActionLog, EveryFailedStepKeepsThePreviousFileWhole) {
  ServiceHarness h(Options());
  ASSERT_TRUE(SaveLun(h, "iqn.t", 1, "-ti t -path /first").IsSuccess());
  std::string lunsDir = h.ActionLogRoot() + "/Targets/" + Guid("iqn.t") + "/Luns";
  std::string before = ReadFile(lunsDir + "/0001.wzf");
  for (FailingFs::Op op : {FailingFs::kOpen, FailingFs::kWrite, FailingFs::kFsync, FailingFs::kRename}) {
    FailingFs fs(op);
    RnFileSystem::SetForTest(&fs);
    CRnError e = SaveLun(h, "iqn.t", 1, "-ti t -path /second");
    RnFileSystem::SetForTest(nullptr);
    EXPECT_TRUE(e.IsError()) << "step " << op;
    EXPECT_EQ(ReadFile(lunsDir + "/0001.wzf"), before) << "step " << op;
    EXPECT_EQ(ListTree(lunsDir), std::vector<std::string>{"0001.wzf"}) << "no temporary file left, step " << op;
  }
}

TEST_F(ActionLog, DirectoryThatCannotBeCreatedWritesNothing) {
  ServiceHarness h(Options());
  FailingFs fs(FailingFs::kMkdir);
  RnFileSystem::SetForTest(&fs);
  CRnError e = Save(h, MakeCreateTarget("iqn.t"));
  RnFileSystem::SetForTest(nullptr);
  EXPECT_TRUE(e.IsError());
  EXPECT_FALSE(CRnPath::Exists(h.ActionLogRoot()));
}

namespace {
// Counts fsyncs: each durable change needs its own, and no more than it needs.
class CountingFs : public IRnFileSystem {
 public:
  int Fsync(int fd) override {
    ++count;
    return IRnFileSystem::Fsync(fd);
  }
  int count = 0;
};
}  // namespace

TEST_F(ActionLog, EachChangeCostsTheFsyncsItNeedsAndNoMore) {
  ServiceHarness h(Options());
  ASSERT_TRUE(Save(h, MakeCreateTarget("iqn.first")).IsSuccess());  // makes the root and Targets
  CountingFs fs;
  RnFileSystem::SetForTest(&fs);
  auto cost = [&](const std::function<CRnError()>& change) {
    fs.count = 0;
    EXPECT_TRUE(change().IsSuccess());
    return fs.count;
  };
  // File, its directory (which also holds the new Luns/ and Mappings/), and
  // Targets for the new directory.
  EXPECT_EQ(cost([&] { return Save(h, MakeCreateTarget("iqn.t")); }), 3);
  EXPECT_EQ(cost([&] { return SaveLun(h, "iqn.t", 0); }), 2);
  EXPECT_EQ(cost([&] { return Save(h, MakeMap("iqn.t", 0, "h")); }), 2);
  EXPECT_EQ(cost([&] { return Save(h, MakeUnMap("iqn.t", 0, "h")); }), 1);
  EXPECT_EQ(cost([&] { return Save(h, MakeDeleteLun("iqn.t", 0)); }), 1);
  EXPECT_EQ(cost([&] { return Save(h, MakeDeleteTarget("iqn.t")); }), 1);
  RnFileSystem::SetForTest(nullptr);
}
