// Refusals with the real engine: each is answered with the service's code and
// text, names its cause in the daemon's log, and leaves the model (lun list),
// the action log and tgtd as they were.
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "tests/e2e/daemon_e2e_support.h"

namespace wze2e {
namespace {

// What a refusal must leave alone.
struct Picture {
  std::string targets;
  std::string luns;
  std::vector<std::string> saved;
  std::map<std::string, TgtdTargetView> tgtd;
};

class DaemonFailureE2eTest : public DaemonE2eTest {
 protected:
  Picture Take() const {
    Picture p;
    p.targets = CtlOk({"target", "list"});
    p.luns = CtlOk({"lun", "list"});
    p.saved = SavedFiles();
    p.tgtd = TgtdTargets();
    return p;
  }
  void ExpectUnchanged(const Picture& before) const {
    const Picture now = Take();
    EXPECT_EQ(before.targets, now.targets);
    EXPECT_EQ(before.luns, now.luns);
    EXPECT_EQ(before.saved, now.saved);
    ASSERT_EQ(before.tgtd.size(), now.tgtd.size()) << m_tgtd.ShowTargets();
    for (const auto& t : before.tgtd) {
      const TgtdTargetView& n = now.tgtd.at(t.first);
      EXPECT_EQ(t.second.luns, n.luns) << t.first;
      EXPECT_EQ(t.second.acls, n.acls) << t.first;
    }
  }
  // The action log's files and what they hold.
  std::map<std::string, std::string> SavedTexts() const {
    std::map<std::string, std::string> texts;
    for (const std::string& f : SavedFiles()) {
      texts[f] = CRnTempDirForTest::ReadText(ActionLogRoot() + "/" + f);
    }
    return texts;
  }
  // A closed snapshot LUN 1 of kTarget (unmapped, as a close needs), holding
  // the pattern at LBA 10; host A stays bound through block LUN 2.
  void ClosedSnapshotLun() {
    const std::string snapshot = SnapshotDir() + "/snap-1";
    std::ofstream(snapshot, std::ios::trunc).close();
    ASSERT_EQ(0, ::truncate(snapshot.c_str(), 16 << 20));
    CtlOk({"target", "create", kTarget});
    CtlOk({"lun", "create", kTarget, "--type", "devsnap", "--ssid", "snap-1", "--serial", "SNAP1"});
    CtlOk({"lun", "create", kTarget, "--type", "blkdev", "--path", MakeFile("keeper.img", 1 << 20), "--serial", "K"});
    CtlOk({"host", "map", kTarget, "2", kHostA});
    ASSERT_EQ(0, ProbeAs(kHostA, 1, {"--write-lba", "10", "--pattern", kPattern}).exitCode);
    CtlOk({"lun", "delete", kTarget, "1", "--close-only"});
    ASSERT_FALSE(HasFailure());
  }
};

TEST_F(DaemonFailureE2eTest, ABackingPathThatIsMissingOrADirectoryIsRefusedAndNothingChanges) {
  CtlOk({"target", "create", kTarget});
  const Picture before = Take();
  const std::string refusal = Refusal("", 3, "BStore CreateLunPrepare failed");

  const std::string missing = Path("missing.img");
  WzCtlRunResult r = Ctl({"lun", "create", kTarget, "--type", "blkdev", "--path", missing, "--serial", "M"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ(refusal, r.err);
  EXPECT_TRUE(Has(DaemonLog(), "backing path " + missing + " does not exist")) << DaemonLog();
  ExpectUnchanged(before);

  r = Ctl({"lun", "create", kTarget, "--type", "blkdev", "--path", SnapshotDir(), "--serial", "D"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ(refusal, r.err);
  EXPECT_TRUE(Has(DaemonLog(), "is a directory, not a file or a block device")) << DaemonLog();
  ExpectUnchanged(before);

  EXPECT_EQ(
      "LUN 1 created on target " + std::string(kTarget) + " (serial prefix OK)\n",
      CtlOk({"lun", "create", kTarget, "--type", "blkdev", "--path", MakeFile("ok.img", 1 << 20), "--serial", "OK"}))
      << "the refusals used up no LUN number";
}

// An administrator put another file under the closed LUN's number with
// tgtadm: the open is refused and tgtd's unit is left alone. Once the unit is
// gone, a restart of wzscsid serves the LUN again (the replay opens it).
TEST_F(DaemonFailureE2eTest, OpeningALunWhoseNumberTgtdHoldsWithAnotherFileIsAConflict) {
  ASSERT_NO_FATAL_FAILURE(ClosedSnapshotLun());
  const int tid = TgtdTargets()[kTarget].tid;
  const std::string other = MakeFile("other.img", 1 << 20);
  TgtdAdmin({"--op", "new", "--mode", "logicalunit", "--tid", std::to_string(tid), "--lun", "1", "-b", other});
  const Picture before = Take();

  WzCtlRunResult r = Ctl({"lun", "open", kTarget, "1"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ(Refusal("target " + std::string(kTarget), 2, "Platform CreateLun failed"), FirstLine(r.err));
  EXPECT_TRUE(
      Has(DaemonLog(), "LUN number conflict: tgtd target " + std::string(kTarget) + " already has LUN 1 on " + other))
      << DaemonLog();
  ExpectUnchanged(before);

  TgtdAdmin({"--op", "delete", "--mode", "logicalunit", "--tid", std::to_string(tid), "--lun", "1"});
  ASSERT_NO_FATAL_FAILURE(StopDaemon());
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  CommandResult opened = ProbeAs(kHostA, 1, {"--read-lba", "10", "--pattern", kPattern});
  EXPECT_EQ(0, opened.exitCode) << opened.output;
  EXPECT_TRUE(Has(opened.output, "read_matches_pattern=1\n")) << opened.output;
}

// A retried open succeeds once the conflicting unit is gone: the platform
// driver reads tgtd again before it reports a conflict, instead of trusting
// its picture of tgtd, which still holds the unit that tgtadm removed (the
// open, and a reload after a replay conflict, would be refused until wzscsid
// restarts).
TEST_F(DaemonFailureE2eTest, ARetriedOpenSucceedsOnceTheConflictingUnitIsGone) {
  ASSERT_NO_FATAL_FAILURE(ClosedSnapshotLun());
  const int tid = TgtdTargets()[kTarget].tid;
  TgtdAdmin({"--op", "new", "--mode", "logicalunit", "--tid", std::to_string(tid), "--lun", "1", "-b",
             MakeFile("other.img", 1 << 20)});
  EXPECT_EQ(1, Ctl({"lun", "open", kTarget, "1"}).exitCode);
  TgtdAdmin({"--op", "delete", "--mode", "logicalunit", "--tid", std::to_string(tid), "--lun", "1"});

  CtlOk({"lun", "open", kTarget, "1"});
  CommandResult opened = ProbeAs(kHostA, 1, {"--read-lba", "10", "--pattern", kPattern});
  EXPECT_EQ(0, opened.exitCode) << opened.output;
  EXPECT_TRUE(Has(opened.output, "read_matches_pattern=1\n")) << opened.output;
}

// tgtd restarted, and before wzscsid came back an administrator gave the
// target's LUN 1 another file: the replay logs the conflict and serves
// neither that LUN nor its mapping, but keeps their saved requests, so that
// a restart once the administrator's unit is gone brings both back.
TEST_F(DaemonFailureE2eTest, AConflictFoundByTheReplayKeepsTheSavedLunForALaterStart) {
  const std::string file = Path("lun.img");
  ASSERT_EQ(1, CreateMappedBlockLun(file));
  ASSERT_EQ(0, ProbeAs(kHostA, 1, {"--write-lba", "1000", "--pattern", kPattern}).exitCode);
  const std::string listing = CtlOk({"lun", "list"});
  const std::vector<std::string> saved = SavedFiles();
  ASSERT_NO_FATAL_FAILURE(StopDaemon());
  std::string error;
  ASSERT_TRUE(m_tgtd.Restart(&error)) << error;
  const std::string other = MakeFile("other.img", 1 << 20);
  TgtdAdmin({"--op", "new", "--mode", "target", "--tid", "1", "-T", kTarget});
  TgtdAdmin({"--op", "new", "--mode", "logicalunit", "--tid", "1", "--lun", "1", "-b", other});

  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  EXPECT_TRUE(
      Has(DaemonLog(), "LUN number conflict: tgtd target " + std::string(kTarget) + " already has LUN 1 on " + other))
      << DaemonLog();
  // Its number stays taken, so that no other LUN gets its saved mappings.
  EXPECT_NE(Ctl({"host", "map", kTarget, "1", kHostB}).err.find("held by a saved LUN that could not be restored"),
            std::string::npos);
  // Listed as what it is: saved, not served.
  const std::string notRestored = "no LUNs\nLUN 1 of target " + std::string(kTarget) +
                                  " NOT RESTORED: its saved configuration failed (wzscsictl status)\n";
  EXPECT_EQ(notRestored, CtlOk({"lun", "list"}));
  EXPECT_EQ(saved, SavedFiles()) << "the replay removes nothing";
  std::map<std::string, TgtdTargetView> targets = TgtdTargets();
  EXPECT_EQ((std::map<int, std::string>{{1, other}}), targets[kTarget].luns);
  EXPECT_TRUE(targets[kTarget].acls.empty()) << "no host is let in to a unit the service does not serve";
  EXPECT_NE(Ctl({"reload"}).err.find("failed 0 targets, 1 LUNs, 1 mappings"), std::string::npos)
      << "the reply says what the replay could not restore";
  EXPECT_EQ(notRestored, CtlOk({"lun", "list"}));
  EXPECT_EQ((std::map<int, std::string>{{1, other}}), TgtdTargets()[kTarget].luns);

  TgtdAdmin({"--op", "delete", "--mode", "logicalunit", "--tid", "1", "--lun", "1"});
  ASSERT_NO_FATAL_FAILURE(StopDaemon());
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  EXPECT_EQ(listing, CtlOk({"lun", "list"}));
  EXPECT_EQ((std::map<int, std::string>{{1, file}}), TgtdTargets()[kTarget].luns);
  CommandResult a = ProbeAs(kHostA, 1, {"--read-lba", "1000", "--pattern", kPattern});
  EXPECT_EQ(0, a.exitCode) << a.output;
  EXPECT_TRUE(Has(a.output, "read_matches_pattern=1\n")) << a.output;
}

TEST_F(DaemonFailureE2eTest, WhileTgtdIsStoppedEveryChangeIsRefusedAndARestartRebuildsWhatWasSaved) {
  const std::string file = Path("lun.img");
  ASSERT_EQ(1, CreateMappedBlockLun(file));
  const std::string targets = CtlOk({"target", "list"});
  const std::string listing = CtlOk({"lun", "list"});
  const std::vector<std::string> saved = SavedFiles();
  m_tgtd.Kill();

  const std::string t2 = "iqn.2024-01.com.example:second";
  WzCtlRunResult r = Ctl({"target", "create", t2});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ(Refusal("target " + t2, 2, "Platform create target error"), FirstLine(r.err));
  EXPECT_NE(r.err.find("\n  next: the engine refused"), std::string::npos) << r.err;
  r = Ctl({"lun", "create", kTarget, "--type", "blkdev", "--path", MakeFile("lun2.img", 1 << 20), "--serial", "L2"});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ(Refusal("target " + std::string(kTarget), 2, "Platform CreateLun failed"), FirstLine(r.err));
  r = Ctl({"host", "map", kTarget, "1", kHostB});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ(Refusal("host " + std::string(kHostB) + ", LUN 1 of target " + kTarget, 2, "Platform MapHost failed"),
            FirstLine(r.err));
  r = Ctl({"host", "unmap", kTarget, "1", kHostA});
  EXPECT_EQ(1, r.exitCode);
  EXPECT_EQ(Refusal("host " + std::string(kHostA) + ", LUN 1 of target " + kTarget, 2, "Platform UnMapHost Failed"),
            FirstLine(r.err));
  EXPECT_TRUE(Has(DaemonLog(), "tgtd is not running or does not listen on " + m_tgtd.ControlSocket())) << DaemonLog();

  EXPECT_TRUE(m_daemon.Running());
  EXPECT_EQ(targets, CtlOk({"target", "list"}));
  EXPECT_EQ(listing, CtlOk({"lun", "list"}));
  EXPECT_EQ(saved, SavedFiles());

  // tgtd comes back empty; the next start of the service replays what was
  // saved, and only that.
  std::string error;
  ASSERT_TRUE(m_tgtd.Restart(&error)) << error;
  ASSERT_NO_FATAL_FAILURE(StopDaemon());
  ASSERT_NO_FATAL_FAILURE(StartDaemon());
  std::map<std::string, TgtdTargetView> now = TgtdTargets();
  ASSERT_EQ(1u, now.size()) << m_tgtd.ShowTargets();
  EXPECT_EQ((std::map<int, std::string>{{1, file}}), now[kTarget].luns);
  EXPECT_EQ(std::vector<std::string>{kHostA}, now[kTarget].acls);
  EXPECT_EQ(listing, CtlOk({"lun", "list"}));
  EXPECT_EQ(0, ProbeAs(kHostA, 1, {"--read-lba", "0"}).exitCode);
}

// A new LUN must not take the number of a closed snapshot LUN: the closed one
// is still configured under it. The platform driver keeps the numbers of
// closed LUNs out of its choice; given number 1, the new LUN's model entry
// and saved request would replace the snapshot LUN's, which could then never
// be opened again.
TEST_F(DaemonFailureE2eTest, ANewLunDoesNotTakeTheNumberOfAClosedSnapshotLun) {
  ASSERT_NO_FATAL_FAILURE(ClosedSnapshotLun());
  const std::map<std::string, std::string> saved = SavedTexts();

  const std::string created =
      CtlOk({"lun", "create", kTarget, "--type", "blkdev", "--path", MakeFile("new.img", 1 << 20), "--serial", "N"});
  EXPECT_EQ("LUN 3 created on target " + std::string(kTarget) + " (serial prefix N)\n", created);
  const std::map<std::string, std::string> now = SavedTexts();
  for (const auto& f : saved) EXPECT_EQ(f.second, now.count(f.first) != 0 ? now.at(f.first) : "(gone)") << f.first;
  CtlOk({"lun", "open", kTarget, "1"});
  CommandResult opened = ProbeAs(kHostA, 1, {"--read-lba", "10", "--pattern", kPattern});
  EXPECT_EQ(0, opened.exitCode) << opened.output;
  EXPECT_TRUE(Has(opened.output, "read_matches_pattern=1\n")) << opened.output;
}

}  // namespace
}  // namespace wze2e
