// Crash consistency of every change: the power goes off after each
// file-system step of the change in turn, what the disk did not sync is
// dropped, and the service replays what is left. The replay must find the
// configuration as it was before the change or as it is after it, never
// anything else, and always the latter once the client was told success.
#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <functional>
#include <sstream>

#include "luns/lun_req_flags.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"
#include "tests/support/power_loss_fs.h"
#include "tests/support/service_harness.h"

using namespace wztest;

namespace {

// The double itself: a disk keeps what an fsync covered and nothing else.
TEST(PowerLossFs, KeepsWhatWasSyncedAndDropsTheRest) {
  CRnTempDirForTest tmp;
  PowerLossFs fs;
  CRnFileSystemForTest guard(&fs);
  IRnFileSystem& seam = RnFileSystem::Get();
  auto write = [&](const std::string& name, const std::string& text, bool sync) {
    int fd = seam.Open(tmp.Join(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(seam.Write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    if (sync) {
      ASSERT_EQ(seam.Fsync(fd), 0);
    }
    ASSERT_EQ(seam.Close(fd), 0);
  };
  ASSERT_TRUE(CRnDirectory::Create(tmp.Join("sub"), false).IsSuccess());
  CRnTempDirForTest::WriteText(tmp.Join("old"), "old");
  CRnTempDirForTest::WriteText(tmp.Join("gone"), "gone");
  CRnTempDirForTest::WriteText(tmp.Join("sub/file"), "file");
  fs.Track(tmp.Path());

  write("nodata", "never synced", false);
  write("synced", "synced", true);
  ASSERT_TRUE(FXFile::SyncDirectory(tmp.Path()).IsSuccess());  // both names durable, one file's data
  write("nodir", "synced, name not", true);
  ASSERT_EQ(seam.Rename(tmp.Join("old").c_str(), tmp.Join("renamed").c_str()), 0);
  ASSERT_EQ(seam.Rename(tmp.Join("sub").c_str(), tmp.Join("sub2").c_str()), 0);
  ASSERT_EQ(seam.Unlink(tmp.Join("gone").c_str()), 0);
  ASSERT_EQ(seam.Mkdir(tmp.Join("newdir").c_str(), 0755), 0);
  fs.LosePowerAfter(fs.Steps());
  const int late = seam.Mkdir(tmp.Join("late").c_str(), 0755);
  const int lateErr = errno;
  EXPECT_EQ(late, -1);
  EXPECT_EQ(lateErr, EIO);
  fs.DropUnsyncedData();

  EXPECT_EQ(CRnTempDirForTest::List(tmp.Path()), (std::vector<std::string>{"gone", "nodata", "old", "sub", "synced"}));
  EXPECT_EQ(ReadFile(tmp.Join("nodata")), "");
  EXPECT_EQ(ReadFile(tmp.Join("synced")), "synced");
  EXPECT_EQ(ReadFile(tmp.Join("old")), "old");
  EXPECT_EQ(ReadFile(tmp.Join("gone")), "gone");
  EXPECT_EQ(ReadFile(tmp.Join("sub/file")), "file");
}

const std::string kTarget = "iqn.2024-01.test:power";
const std::string kHost = "iqn.2024-01.test:host";

std::string Args(const std::string& rest) { return "-ti " + kTarget + " " + rest; }

using MakeRequest = std::function<std::unique_ptr<CNMessageBase>()>;

struct Row {
  const char* name;
  std::vector<MakeRequest> setup;
  MakeRequest change;
  bool saved;  // false: the change never reaches the saved configuration
};

const MakeRequest kCreateTarget = [] { return MakeCreateTarget(kTarget, "power loss"); };
const MakeRequest kCreateBlkLun = [] { return MakeCreateLun(kTarget, 2, Args("-path /dev/x -sp AB12")); };
const MakeRequest kCreateSnapLun = [] { return MakeCreateLun(kTarget, 3, Args("-ssid snap1 -sp SN1")); };
const MakeRequest kMap = [] { return MakeMap(kTarget, 0, kHost); };
const MakeRequest kClose = [] { return MakeDeleteLun(kTarget, 0, CloseOnly); };

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows = {
      {"CreateTarget", {}, kCreateTarget, true},
      {"DeleteTarget", {kCreateTarget}, [] { return MakeDeleteTarget(kTarget); }, true},
      {"CreateLun", {kCreateTarget}, kCreateBlkLun, true},
      {"DeleteLun", {kCreateTarget, kCreateBlkLun}, [] { return MakeDeleteLun(kTarget, 0); }, true},
      {"CloseLun", {kCreateTarget, kCreateSnapLun}, kClose, false},
      {"OpenLun",
       {kCreateTarget, kCreateSnapLun, kClose},
       [] { return MakeCreateLun(kTarget, 0, "-li 0", OpenOnly); },
       false},
      {"Map", {kCreateTarget, kCreateBlkLun}, kMap, true},
      {"Unmap", {kCreateTarget, kCreateBlkLun, kMap}, [] { return MakeUnMap(kTarget, 0, kHost); }, true},
  };
  return rows;
}

// The model as a replay restores it: everything a saved file carries but the
// creation time, which follows the clock from one run's setup to the next.
std::string Describe(const WzScsiSrv::TargetMap& model) {
  std::ostringstream out;
  for (const auto& t : model) {
    out << "target " << t.first << " [" << t.second.targetDesc << "]\n";
    for (const auto& l : t.second.luns) {
      const WzScsiSrv::Lun& lun = l.second;
      out << "  lun " << l.first << " type " << lun.bstorType << " path " << lun.path << " serial " << lun.serialPrefix
          << " size " << lun.size << (lun.closed ? " closed" : "") << "\n";
      for (const auto& host : lun.hosts) out << "    host " << host.first << "\n";
    }
  }
  return out.str();
}

struct ChangeRun {
  std::string before;     // the replayed setup
  int64_t code = -1;      // the change's reply
  size_t steps = 0;       // file-system steps the change ran
  int64_t replayed = -1;  // the start after the power loss
  std::string after;      // what that replay restored
};

// A fresh service holding the row's setup (replayed once, so that every run
// changes the same replayed state), the change with the power going off
// after lossAfter steps, and a start on what the disk kept. kNever: no power
// loss, a plain restart.
ChangeRun RunChange(PowerLossFs& fs, const Row& row, size_t lossAfter) {
  ChangeRun run;
  ServiceHarness h;
  for (const MakeRequest& request : row.setup) EXPECT_EQ(ReplyCode(h.Send(request())), 0) << row.name << " setup";
  h.Restart();
  run.before = Describe(h.Service().SnapshotTargets());

  fs.Track(h.StateDir());
  fs.LosePowerAfter(lossAfter);
  run.code = ReplyCode(h.Send(row.change()));
  h.Drain();
  run.steps = fs.Steps();
  h.Stop();
  if (lossAfter == PowerLossFs::kNever) {
    fs.StopTracking();
  } else {
    fs.DropUnsyncedData();
  }

  h.Restart(false);
  run.replayed = h.Start();
  run.after = Describe(h.Service().SnapshotTargets());
  return run;
}

void PrintTo(const Row& row, std::ostream* out) { *out << row.name; }

class PowerLoss : public ::testing::TestWithParam<Row> {
 protected:
  PowerLossFs fs;
  CRnFileSystemForTest guard{&fs};
};

TEST_P(PowerLoss, ReplayFindsTheOldStateOrTheNewOneAndTheNewOneAfterASuccess) {
  const Row& row = GetParam();
  const ChangeRun whole = RunChange(fs, row, PowerLossFs::kNever);
  ASSERT_EQ(whole.code, 0);
  ASSERT_EQ(whole.replayed, 0);
  const std::string& oldState = whole.before;
  const std::string& newState = whole.after;
  if (row.saved) {
    EXPECT_NE(oldState, newState);
    EXPECT_GT(whole.steps, 0u);
  } else {
    EXPECT_EQ(oldState, newState) << "a close or an open is never saved";
    EXPECT_EQ(whole.steps, 0u);
  }

  for (size_t n = 0; n <= whole.steps; ++n) {
    SCOPED_TRACE(std::string(row.name) + ", power lost after step " + std::to_string(n) + " of " +
                 std::to_string(whole.steps));
    const ChangeRun run = RunChange(fs, row, n);
    ASSERT_EQ(run.before, oldState);
    EXPECT_EQ(run.steps, n) << "the change ran other steps than without the power loss";
    EXPECT_EQ(run.replayed, 0) << "the replay met a damaged saved file";
    EXPECT_TRUE(run.after == oldState || run.after == newState) << "replayed:\n" << run.after;
    if (run.code == 0) {
      EXPECT_EQ(run.after, newState) << "the client was told success";
    }
    if (n == whole.steps) {
      EXPECT_EQ(run.code, 0) << "the power went off only after the last step";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryChange, PowerLoss, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<Row>& row) { return row.param.name; });

}  // namespace
