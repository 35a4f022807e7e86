#include "hostlib/util/RnFiles.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "hostlib/util/wz_fd.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"

namespace {

// A seam that records the calls and fails the chosen one.
class FaultFs : public IRnFileSystem {
 public:
  enum Op { kNone, kOpen, kWrite, kFsync, kRename, kClose, kUnlink, kMkdir, kRmdir };

  // Fails the n-th (1-based) call of op with err; n 0: every call.
  void Fail(Op op, int err, int nth = 0) {
    m_failOp = op;
    m_failErr = err;
    m_failNth = nth;
    m_seen = 0;
  }
  size_t maxWriteChunk = 0;  // 0: no limit
  int eintrWrites = 0;       // that many writes fail with EINTR first
  std::vector<std::string> calls;

  int Open(const char* path, int flags, mode_t mode) override {
    lastOpenFlags = flags;
    calls.push_back(std::string("open ") + path);
    if (Hit(kOpen)) return -1;
    return IRnFileSystem::Open(path, flags, mode);
  }
  ssize_t Write(int fd, const void* data, size_t length) override {
    calls.push_back("write");
    if (eintrWrites > 0) {
      --eintrWrites;
      errno = EINTR;
      return -1;
    }
    if (Hit(kWrite)) return -1;
    if (maxWriteChunk != 0 && length > maxWriteChunk) length = maxWriteChunk;
    return IRnFileSystem::Write(fd, data, length);
  }
  int Fsync(int fd) override {
    calls.push_back("fsync");
    if (Hit(kFsync)) return -1;
    return IRnFileSystem::Fsync(fd);
  }
  int Rename(const char* from, const char* to) override {
    calls.push_back(std::string("rename ") + to);
    if (Hit(kRename)) return -1;
    return IRnFileSystem::Rename(from, to);
  }
  int Close(int fd) override {
    calls.push_back("close");
    if (Hit(kClose)) {
      IRnFileSystem::Close(fd);  // the descriptor is gone either way
      return -1;
    }
    return IRnFileSystem::Close(fd);
  }
  int Unlink(const char* path) override {
    calls.push_back(std::string("unlink ") + path);
    if (Hit(kUnlink)) return -1;
    return IRnFileSystem::Unlink(path);
  }
  int Mkdir(const char* path, mode_t mode) override {
    calls.push_back(std::string("mkdir ") + path);
    if (Hit(kMkdir)) return -1;
    return IRnFileSystem::Mkdir(path, mode);
  }
  int Rmdir(const char* path) override {
    calls.push_back(std::string("rmdir ") + path);
    if (Hit(kRmdir)) return -1;
    return IRnFileSystem::Rmdir(path);
  }

  int lastOpenFlags = 0;

 private:
  bool Hit(Op op) {
    if (op != m_failOp) return false;
    ++m_seen;
    if (m_failNth != 0 && m_seen != m_failNth) return false;
    errno = m_failErr;
    return true;
  }
  Op m_failOp = kNone;
  int m_failErr = 0;
  int m_failNth = 0;
  int m_seen = 0;
};

class RnFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { m_guard = std::make_unique<CRnFileSystemForTest>(&fs); }
  void TearDown() override { m_guard.reset(); }
  std::unique_ptr<CRnFileSystemForTest> m_guard;

  static std::vector<std::string> Names(const std::string& dir) { return CRnTempDirForTest::List(dir); }
  static std::string Read(const std::string& p) { return CRnTempDirForTest::ReadText(p); }

  FaultFs fs;
  CRnTempDirForTest tmp;
};

std::string Contains(const std::string& haystack, const std::string& needle) {
  return haystack.find(needle) != std::string::npos ? "" : "[" + needle + "] not in [" + haystack + "]";
}

// ------------------------------------------------------------------ CRnFile

TEST_F(RnFilesTest, OpenMapsLegacyModesAndSetsCloexec) {
  mode_t old = umask(022);
  std::string path = tmp.Join("created");
  {
    CRnFile f;
    ASSERT_FALSE(f.Open(path, O_RDWR | O_CREAT, 0x38));
    EXPECT_NE(fs.lastOpenFlags & O_CLOEXEC, 0);
    EXPECT_NE(fcntl(f.Fd(), F_GETFD) & FD_CLOEXEC, 0);
    ASSERT_FALSE(f.Write("abc", 3));
  }
  struct stat st;
  ASSERT_FALSE(CRnFile::Stat(path, st));
  EXPECT_EQ(st.st_mode & 0777, 0644u);

  CRnFile ro;
  ASSERT_FALSE(ro.Open(path, O_RDONLY, 0x100));
  std::string text;
  ASSERT_FALSE(ro.ReadAll(text, 100));
  EXPECT_EQ(text, "abc");
  // Other mode values are taken as permission bits.
  CRnFile other;
  ASSERT_FALSE(other.Open(tmp.Join("private"), O_WRONLY | O_CREAT, 0600));
  ASSERT_FALSE(CRnFile::Stat(tmp.Join("private"), st));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  umask(old);
}

TEST_F(RnFilesTest, OpenFailureNamesPathAndReason) {
  CRnFile f;
  CRnError err = f.Open(tmp.Join("missing/file"), O_RDONLY, 0x100);
  ASSERT_TRUE(err);
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_ERRNO(ENOENT));
  EXPECT_EQ(Contains(err.AsString(), tmp.Join("missing/file")), "");
  EXPECT_EQ(Contains(err.AsString(), "No such file or directory"), "");
  EXPECT_EQ(f.Fd(), -1);
}

TEST_F(RnFilesTest, WriteCompletesShortAndInterruptedWrites) {
  fs.maxWriteChunk = 3;
  fs.eintrWrites = 2;
  std::string payload(100, 'x');
  payload += "end";
  CRnFile f;
  ASSERT_FALSE(f.Open(tmp.Join("f"), O_WRONLY | O_CREAT, 0644));
  ASSERT_FALSE(f.Write(payload.data(), payload.size()));
  ASSERT_FALSE(f.Close());
  EXPECT_EQ(Read(tmp.Join("f")), payload);
}

TEST_F(RnFilesTest, WriteAndSyncFailuresAreReported) {
  CRnFile f;
  ASSERT_FALSE(f.Open(tmp.Join("f"), O_WRONLY | O_CREAT, 0644));
  fs.Fail(FaultFs::kWrite, ENOSPC);
  CRnError err = f.Write("abc", 3);
  ASSERT_TRUE(err);
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_ERRNO(ENOSPC));
  EXPECT_EQ(Contains(err.AsString(), "No space left on device"), "");
  fs.Fail(FaultFs::kFsync, EIO);
  EXPECT_EQ(f.Sync().GetCode(), HRESULT_FROM_ERRNO(EIO));
  // Closed and unopened files refuse work instead of touching fd -1.
  ASSERT_FALSE(f.Close());
  EXPECT_TRUE(f.Write("a", 1));
  EXPECT_TRUE(f.Sync());
  EXPECT_FALSE(f.Close());
}

TEST_F(RnFilesTest, ReadAllHonoursLimitAndLeavesOutputOnFailure) {
  CRnTempDirForTest::WriteText(tmp.Join("ten"), "0123456789");
  CRnFile f;
  ASSERT_FALSE(f.Open(tmp.Join("ten"), O_RDONLY, 0x100));
  std::string out = "keep";
  EXPECT_TRUE(f.ReadAll(out, 9));
  EXPECT_EQ(out, "keep");
  ASSERT_FALSE(f.ReadAll(out, 10));
  EXPECT_EQ(out, "0123456789");
}

// ------------------------------------------------------------ CRnAtomicFile

class AtomicFileTest : public RnFilesTest {
 protected:
  void SetUp() override {
    RnFilesTest::SetUp();
    target = tmp.Join("config.ini");
    CRnTempDirForTest::WriteText(target, "old content");
  }
  // Runs a whole replacement; returns the error of the first failing step.
  CRnError Replace(const std::string& text) {
    CRnAtomicFile file;
    if (CRnError err = file.Open(target)) return err;
    if (CRnError err = file.File().Write(text.data(), text.size())) return err;
    return file.Commit();
  }
  std::string target;
};

TEST_F(AtomicFileTest, CommitReplacesDurablyInOrder) {
  ASSERT_FALSE(Replace("new content"));
  EXPECT_EQ(Read(target), "new content");
  EXPECT_EQ(Names(tmp.Path()), std::vector<std::string>{"config.ini"});
  // fsync of the file, then the rename, then an fsync of the directory.
  std::vector<std::string> order;
  for (const std::string& c : fs.calls)
    if (c == "fsync" || c.rfind("rename", 0) == 0 || c == "open " + tmp.Path()) order.push_back(c);
  EXPECT_EQ(order, (std::vector<std::string>{"fsync", "rename " + target, "open " + tmp.Path(), "fsync"}));
}

TEST_F(AtomicFileTest, TempFileIsExclusiveAndNamedForReaders) {
  CRnAtomicFile file;
  ASSERT_FALSE(file.Open(target));
  EXPECT_NE(fs.lastOpenFlags & O_EXCL, 0);
  EXPECT_NE(fs.lastOpenFlags & O_CREAT, 0);
  std::vector<std::string> names = Names(tmp.Path());
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0].rfind(".wztmp-config.ini.", 0), 0u) << names[0];
  EXPECT_TRUE(FXFile::IsTempName(names[0]));
  EXPECT_FALSE(FXFile::IsTempName("config.ini"));
  EXPECT_EQ(CRnPath::GetBaseName(file.File().Path()), names[0]);
}

TEST_F(AtomicFileTest, EachFailureBeforeRenameKeepsOldFileAndRemovesTemp) {
  struct Case {
    FaultFs::Op op;
    int nth;
    int err;
  };
  // open: the temp file; fsync 1: the file; close 1: the temp file; rename.
  const Case cases[] = {{FaultFs::kOpen, 1, EACCES},
                        {FaultFs::kWrite, 1, ENOSPC},
                        {FaultFs::kFsync, 1, EIO},
                        {FaultFs::kClose, 1, EIO},
                        {FaultFs::kRename, 1, EXDEV}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.op);
    fs.Fail(c.op, c.err, c.nth);
    CRnError err = Replace("new content");
    ASSERT_TRUE(err);
    EXPECT_EQ(err.GetCode(), HRESULT_FROM_ERRNO(c.err));
    EXPECT_EQ(Read(target), "old content");
    EXPECT_EQ(Names(tmp.Path()), std::vector<std::string>{"config.ini"});
  }
}

TEST_F(AtomicFileTest, DirectorySyncFailureIsReportedAfterTheRename) {
  fs.Fail(FaultFs::kFsync, EIO, 2);  // the directory's fsync
  CRnError err = Replace("new content");
  ASSERT_TRUE(err);
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_ERRNO(EIO));
  EXPECT_EQ(Contains(err.AsString(), tmp.Path()), "");
  // The rename had happened: the new content is in place, no temp is left.
  EXPECT_EQ(Read(target), "new content");
  EXPECT_EQ(Names(tmp.Path()), std::vector<std::string>{"config.ini"});
}

// Directory syncs of several threads are shared, but a caller never takes
// the result of an fsync that started before it came: the first fsync here
// is held, then fails, while others ask for the same directory.
class HeldFsyncFs : public IRnFileSystem {
 public:
  int Fsync(int fd) override {
    if (fsyncs.fetch_add(1) == 0) {
      entered.set_value();
      release.get_future().wait();
      errno = EIO;
      return -1;
    }
    return IRnFileSystem::Fsync(fd);
  }
  std::atomic<int> fsyncs{0};
  std::promise<void> entered, release;
};

TEST(DirectorySyncTest, LaterCallersShareAnFsyncThatStartedAfterThem) {
  CRnTempDirForTest tmp;
  HeldFsyncFs fs;
  CRnFileSystemForTest guard(&fs);
  CRnError first;
  std::thread held([&] { first = FXFile::SyncDirectory(tmp.Path()); });
  fs.entered.get_future().wait();
  std::vector<CRnError> later(4);
  std::vector<std::thread> threads;
  for (CRnError& e : later) threads.emplace_back([&e, &tmp] { e = FXFile::SyncDirectory(tmp.Path()); });
  fs.release.set_value();
  held.join();
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(first.GetCode(), HRESULT_FROM_ERRNO(EIO));
  for (const CRnError& e : later) EXPECT_TRUE(e.IsSuccess()) << e.AsString();
  EXPECT_GE(fs.fsyncs.load(), 2);
  EXPECT_LE(fs.fsyncs.load(), 5);
}

TEST_F(AtomicFileTest, AbandonedOrReopenedWriteLeavesNothingBehind) {
  {
    CRnAtomicFile file;
    ASSERT_FALSE(file.Open(target));
    ASSERT_FALSE(file.File().Write("partial", 7));
    ASSERT_FALSE(file.Open(target));  // the first temp file goes
    EXPECT_EQ(Names(tmp.Path()).size(), 2u);
  }
  EXPECT_EQ(Read(target), "old content");
  EXPECT_EQ(Names(tmp.Path()), std::vector<std::string>{"config.ini"});
  CRnAtomicFile never;
  EXPECT_TRUE(never.Commit());
}

TEST_F(AtomicFileTest, CreatesANewFileAndRefusesDirectoryPaths) {
  std::string fresh = tmp.Join("fresh.xml");
  CRnAtomicFile file;
  ASSERT_FALSE(file.Open(fresh, 0600));
  ASSERT_FALSE(file.File().Write("x", 1));
  ASSERT_FALSE(file.Commit());
  struct stat st;
  ASSERT_FALSE(CRnFile::Stat(fresh, st));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  CRnAtomicFile bad;
  EXPECT_EQ(bad.Open(tmp.Path() + "/").GetCode(), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
}

// ------------------------------------------------------------- CRnDirectory

TEST_F(RnFilesTest, CreateRecursiveMakesEveryMissingParentOnce) {
  std::string deep = tmp.Join("root/Targets/abc");
  ASSERT_FALSE(CRnDirectory::Create(deep, true));
  EXPECT_TRUE(CRnPath::Exists(deep));
  EXPECT_FALSE(CRnDirectory::Create(deep, true));  // existing: success
  EXPECT_FALSE(CRnDirectory::Create(deep, false));
  EXPECT_FALSE(CRnDirectory::Create(deep + "//x/", true));
  EXPECT_TRUE(CRnPath::Exists(deep + "/x"));
}

TEST_F(RnFilesTest, CreateFailures) {
  // Non-recursive with a missing parent.
  EXPECT_EQ(CRnDirectory::Create(tmp.Join("a/b"), false).GetCode(), HRESULT_FROM_ERRNO(ENOENT));
  // A file in the way, at the end or in the middle.
  CRnTempDirForTest::WriteText(tmp.Join("file"), "x");
  CRnError err = CRnDirectory::Create(tmp.Join("file"), true);
  ASSERT_TRUE(err);
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_ERRNO(ENOTDIR));
  EXPECT_TRUE(CRnDirectory::Create(tmp.Join("file/sub"), true));
  // A failing mkdir, with the path and the reason in the text.
  fs.Fail(FaultFs::kMkdir, EACCES);
  err = CRnDirectory::Create(tmp.Join("denied/x"), true);
  ASSERT_TRUE(err);
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_ERRNO(EACCES));
  EXPECT_EQ(Contains(err.AsString(), tmp.Join("denied")), "");
  EXPECT_EQ(Contains(err.AsString(), "Permission denied"), "");
  EXPECT_FALSE(CRnPath::Exists(tmp.Join("denied")));
}

TEST_F(RnFilesTest, RemoveRecursiveNeverFollowsLinks) {
  std::string outside = tmp.Join("outside");
  ASSERT_FALSE(CRnDirectory::Create(outside, false));
  CRnTempDirForTest::WriteText(outside + "/precious", "keep");
  std::string tree = tmp.Join("tree");
  ASSERT_FALSE(CRnDirectory::Create(tree + "/Sub/deeper", true));
  CRnTempDirForTest::WriteText(tree + "/T.xml", "x");
  CRnTempDirForTest::WriteText(tree + "/Sub/0001.xml", "x");
  ASSERT_EQ(symlink(outside.c_str(), (tree + "/link").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/precious").c_str(), (tree + "/Sub/filelink").c_str()), 0);

  ASSERT_FALSE(CRnDirectory::Remove(tree, true, true));
  EXPECT_FALSE(CRnPath::Exists(tree));
  EXPECT_EQ(Read(outside + "/precious"), "keep");

  // A link given as the directory itself is not removed through.
  ASSERT_EQ(symlink(outside.c_str(), tmp.Join("dirlink").c_str()), 0);
  EXPECT_EQ(CRnDirectory::Remove(tmp.Join("dirlink"), true, true).GetCode(), HRESULT_FROM_ERRNO(ENOTDIR));
  EXPECT_EQ(Read(outside + "/precious"), "keep");
}

TEST_F(RnFilesTest, RemoveFailures) {
  EXPECT_EQ(CRnDirectory::Remove(tmp.Join("missing"), true, false).GetCode(), HRESULT_FROM_ERRNO(ENOENT));
  std::string dir = tmp.Join("d");
  ASSERT_FALSE(CRnDirectory::Create(dir, false));
  CRnTempDirForTest::WriteText(dir + "/a", "x");
  CRnTempDirForTest::WriteText(dir + "/b", "x");
  EXPECT_EQ(CRnDirectory::Remove(dir, false, false).GetCode(), HRESULT_FROM_ERRNO(ENOTEMPTY));
  // One file cannot go: the error names it, the rest is removed.
  fs.Fail(FaultFs::kUnlink, EPERM, 1);
  CRnError err = CRnDirectory::Remove(dir, true, false);
  ASSERT_TRUE(err);
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_ERRNO(EPERM));
  EXPECT_EQ(Names(dir).size(), 1u);
  fs.Fail(FaultFs::kNone, 0);
  EXPECT_FALSE(CRnDirectory::Remove(dir, true, false));
  EXPECT_FALSE(CRnPath::Exists(dir));
}

TEST_F(RnFilesTest, ListingSkipsDotsAndFiltersByPattern) {
  std::string dir = tmp.Join("Sub");
  ASSERT_FALSE(CRnDirectory::Create(dir, false));
  for (const char* n : {"0000.xml", "0001.XML", "notes.txt", ".wztmp-0002.xml.1.2"})
    CRnTempDirForTest::WriteText(dir + "/" + n, "x");

  auto list = [&](const std::string& pattern, bool skipDots) {
    std::vector<std::string> names;
    CRnDirectory d;
    EXPECT_FALSE(d.Open(dir, pattern, skipDots));
    CRnDirEntry e;
    bool end = false;
    for (;;) {
      e.name = "untouched";
      EXPECT_FALSE(d.GetEntry(e, end));
      if (end) break;
      names.push_back(e.name);
    }
    EXPECT_EQ(e.name, "untouched");
    std::sort(names.begin(), names.end());
    return names;
  };
  EXPECT_EQ(list("*", true), (std::vector<std::string>{".wztmp-0002.xml.1.2", "0000.xml", "0001.XML", "notes.txt"}));
  EXPECT_EQ(list("*", false).size(), 6u);
  EXPECT_EQ(list("*.xml", true), (std::vector<std::string>{"0000.xml"}));

  CRnDirectory d;
  EXPECT_EQ(d.Open(tmp.Join("none"), "*", true).GetCode(), HRESULT_FROM_ERRNO(ENOENT));
  CRnDirEntry e;
  bool end = false;
  EXPECT_TRUE(d.GetEntry(e, end));
}

// ------------------------------------------------------------ paths, files

TEST(RnPathTest, BaseNameAndAppend) {
  EXPECT_EQ(CRnPath::GetBaseName("/a/b"), "b");
  EXPECT_EQ(CRnPath::GetBaseName("/a/b//"), "b");
  EXPECT_EQ(CRnPath::GetBaseName("b"), "b");
  EXPECT_EQ(CRnPath::GetBaseName("/"), "/");
  EXPECT_EQ(CRnPath::GetBaseName(""), "");

  struct Case {
    const char* path;
    const char* name;
    const char* joined;
  };
  for (const Case& c : {Case{"/r", "Targets", "/r/Targets"}, Case{"/r/", "T", "/r/T"}, Case{"/r//", "T", "/r/T"},
                        Case{"/", "T", "/T"}, Case{"", "T", "T"}, Case{"rel", "T.xml", "rel/T.xml"}}) {
    std::string p = c.path;
    EXPECT_FALSE(FXPath::Append(p, c.name, 0));
    EXPECT_EQ(p, c.joined);
  }
  std::string p = "/r";
  EXPECT_EQ(FXPath::Append(p, "a/b", 0).GetCode(), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  EXPECT_TRUE(FXPath::Append(p, "", 0));
  EXPECT_EQ(p, "/r");
}

TEST_F(RnFilesTest, RemoveFileGoesThroughTheSeam) {
  CRnTempDirForTest::WriteText(tmp.Join("f"), "x");
  fs.Fail(FaultFs::kUnlink, EROFS);
  CRnError err = FXFile::RemoveFile(tmp.Join("f"));
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_ERRNO(EROFS));
  EXPECT_TRUE(CRnPath::Exists(tmp.Join("f")));
  fs.Fail(FaultFs::kNone, 0);
  EXPECT_FALSE(FXFile::RemoveFile(tmp.Join("f")));
  EXPECT_FALSE(CRnPath::Exists(tmp.Join("f")));
  err = FXFile::RemoveFile(tmp.Join("f"));
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_ERRNO(ENOENT));
  EXPECT_EQ(Contains(err.AsString(), tmp.Join("f")), "");
}

// Whether fd is open in this process.
bool IsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

// A descriptor is closed exactly once, by its last owner: a second close
// would close whatever the number was given to since.
TEST(WzScopedFdTest, ClosesOnceByItsLastOwner) {
  int raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(raw, 0);
  {
    WzScopedFd first(raw);
    WzScopedFd second(std::move(first));
    // The moved-from owner is checked on purpose: it must hold nothing.
    EXPECT_FALSE(first.Valid());  // NOLINT(bugprone-use-after-move)
    EXPECT_EQ(second.Get(), raw);
    WzScopedFd third;
    third = std::move(second);
    EXPECT_EQ(second.Get(), -1);  // NOLINT(bugprone-use-after-move)
    EXPECT_TRUE(IsOpen(raw));
  }
  EXPECT_FALSE(IsOpen(raw));

  raw = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(raw, 0);
  {
    WzScopedFd held(raw);
    EXPECT_EQ(held.Release(), raw);
  }
  EXPECT_TRUE(IsOpen(raw));
  int other = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(other, 0);
  {
    WzScopedFd held(raw);
    held.Reset(other);
    EXPECT_FALSE(IsOpen(raw));
    EXPECT_TRUE(IsOpen(other));
  }
  EXPECT_FALSE(IsOpen(other));
}

}  // namespace
