// The engine holds exactly the saved configuration, on a real tgtd: after
// wzscsid is killed between the engine step and the save of any change,
// after tgtd restarts under a running wzscsid, after another tool deleted
// the service's objects, and on demand; a target made by hand in the same
// tgtd is never touched.
#include <chrono>
#include <thread>

#include "tests/e2e/daemon_e2e_support.h"
#include "tests/support/process/child_process.h"

namespace wze2e {
namespace {

class DaemonReconcileE2eTest : public DaemonE2eTest {
 protected:
  // tgtd's view of the service's objects as lines, and the listing's.
  std::vector<std::string> EngineLines(const std::string& only = kTarget) {
    std::vector<std::string> lines;
    for (const auto& t : TgtdTargets()) {
      if (!only.empty() && t.first != only) continue;
      lines.push_back(t.first);
      for (const auto& l : t.second.luns) lines.push_back(t.first + ":" + std::to_string(l.first) + " " + l.second);
      for (const std::string& acl : t.second.acls) lines.push_back(t.first + " <- " + acl);
    }
    return lines;
  }
  // wzscsid again with one more setting of section [Quellport].
  void RestartWith(const std::string& setting) {
    ASSERT_NO_FATAL_FAILURE(StopDaemon());
    const std::string conf = StateDir() + "/wzscsi.conf";
    std::string text = wztest::ReadFile(conf);
    const size_t at = text.find("[Quellport]\n");
    ASSERT_NE(std::string::npos, at) << text;
    text.insert(at + 12, setting + "\n");
    CRnTempDirForTest::WriteText(conf, text);
    ASSERT_NO_FATAL_FAILURE(StartDaemon());
  }
  // Polls (bounded) until tgtd holds lines for kTarget.
  bool EngineBecomes(const std::vector<std::string>& lines) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (EngineLines() != lines && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return EngineLines() == lines;
  }
  size_t Count(const std::string& text, const std::string& needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
  }
};

// Killed at each step of each change, then restarted: tgtd holds what the
// listing shows, and the host of an unanswered mapping cannot log in.
TEST_F(DaemonReconcileE2eTest, AChangeCutOffByAKillLeavesTheEngineAsTheListingSays) {
  const std::string file = Path("lun.img");
  ASSERT_EQ(1, CreateMappedBlockLun(file));
  const std::string second = MakeFile("second.img", 1 << 20);
  const std::string t2 = "iqn.2024-01.com.example:cut";

  struct Step {
    const char* crashAt;
    std::vector<std::string> command;
  };
  const std::vector<Step> steps = {
      {"MapLun2Host:engine", {"host", "map", kTarget, "1", kHostB}},
      {"CreateLun:engine", {"lun", "create", kTarget, "--type", "blkdev", "--path", second, "--serial", "C2"}},
      {"CreateTarget:engine", {"target", "create", t2}},
      {"CreateTarget:saved", {"target", "create", t2}},
      {"UnMapLun2Host:engine", {"host", "unmap", kTarget, "1", kHostA}},
      {"DeleteLun:engine", {"lun", "delete", kTarget, "1"}},
      {"DeleteTarget:engine", {"target", "delete", t2}},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.crashAt);
    ASSERT_NO_FATAL_FAILURE(StopDaemon());
    ASSERT_NO_FATAL_FAILURE(StartDaemon({{"WZSCSI_TEST_CRASH_AT", step.crashAt}}));
    WzCtlRunResult r = Ctl(step.command);
    EXPECT_NE(0, r.exitCode) << "no reply comes from a killed daemon: " << r.out;
    EXPECT_NE(-1, m_daemon.Wait(10000)) << "the daemon died at the crash point";
    ASSERT_NO_FATAL_FAILURE(StartDaemon());

    // What tgtd holds of the service equals what the service lists.
    const std::string targets = CtlOk({"target", "list"});
    const std::string listing = CtlOk({"lun", "list"});
    const std::map<std::string, TgtdTargetView> engine = TgtdTargets();
    for (const std::string& target : {std::string(kTarget), t2})
      EXPECT_EQ(Has(targets, target), engine.count(target) == 1) << target << "\n" << targets << m_tgtd.ShowTargets();
    for (const auto& t : engine) {
      for (const auto& l : t.second.luns)
        EXPECT_TRUE(Has(listing, t.first + "  ")) << "LUN " << l.first << " served, not listed:\n" << listing;
      for (const std::string& acl : t.second.acls) EXPECT_TRUE(Has(listing, acl)) << acl << " bound, not listed";
    }
    if (std::string(step.crashAt) == "MapLun2Host:engine") {
      CommandResult b = ProbeAs(kHostB, 1, {"--read-lba", "0"});
      EXPECT_NE(0, b.exitCode) << "the host of an unanswered mapping gets in: " << b.output;
    }
  }
}

TEST_F(DaemonReconcileE2eTest, ATgtdRestartHealsWithoutAWzscsidRestart) {
  const std::string file = Path("lun.img");
  ASSERT_EQ(1, CreateMappedBlockLun(file));
  ASSERT_EQ(0, ProbeAs(kHostA, 1, {"--write-lba", "1000", "--pattern", kPattern}).exitCode);
  const std::vector<std::string> served = EngineLines();

  std::string error;
  ASSERT_TRUE(m_tgtd.Restart(&error)) << error;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (EngineLines() != served && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(served, EngineLines()) << "within 10 s, with no request";
  EXPECT_TRUE(m_daemon.Running());
  CommandResult a = ProbeAs(kHostA, 1, {"--read-lba", "1000", "--pattern", kPattern});
  EXPECT_EQ(0, a.exitCode) << a.output;
  EXPECT_TRUE(Has(a.output, "read_matches_pattern=1\n")) << a.output;
  EXPECT_TRUE(Has(CtlOk({"status"}), "reconcile.why")) << "status tells the last reconcile";
}

// What `tgt-admin --update ALL` of the distribution's tgt.service does to
// targets it does not know, done with tgtadm behind wzscsid's back: the
// periodic check puts the target, its LUN and its binding back, says so once
// at NOTICE level and counts it; the hand-made target stays as it is.
TEST_F(DaemonReconcileE2eTest, WhatAnotherToolDeletedIsRepairedByThePeriodicCheck) {
  ASSERT_NO_FATAL_FAILURE(RestartWith("nEngineCheckIntervalSecs=1"));
  ASSERT_EQ(1, CreateMappedBlockLun(Path("lun.img")));
  const std::vector<std::string> served = EngineLines();
  const std::string byHand = "iqn.2024-01.com.example:by-hand";
  TgtdAdmin({"--op", "new", "--mode", "target", "--tid", "9", "-T", byHand});

  TgtdAdmin({"--op", "delete", "--mode", "target", "--force", "--tid", std::to_string(TgtdTargets()[kTarget].tid)});
  EXPECT_TRUE(EngineBecomes(served)) << "healed with no request";
  const std::string repaired = " NOTICE The engine had drifted from the configuration; repaired: create target " +
                               std::string(kTarget) + "; create LUN " + kTarget + ":1 on ";
  EXPECT_EQ(1u, Count(DaemonLog(), repaired)) << DaemonLog();

  TgtdAdmin({"--op", "unbind", "--mode", "target", "--tid", std::to_string(TgtdTargets()[kTarget].tid),
             "--initiator-name", kHostA});
  EXPECT_TRUE(EngineBecomes(served)) << "the binding is back";
  EXPECT_EQ(1u, Count(DaemonLog(), std::string(" NOTICE The engine had drifted from the configuration; repaired: "
                                               "map host ") +
                                       kHostA + " to target " + kTarget))
      << DaemonLog();
  const std::string status = CtlOk({"--json", "status"});
  EXPECT_TRUE(Has(status, "\"check.repaired\":4,")) << status;
  EXPECT_EQ(1u, TgtdTargets().count(byHand)) << "the hand-made target stays";
  CommandResult a = ProbeAs(kHostA, 1, {"--read-lba", "0"});
  EXPECT_EQ(0, a.exitCode) << a.output;
}

TEST_F(DaemonReconcileE2eTest, ADryRunListsDriftAndATargetMadeByHandIsLeftAlone) {
  // No periodic check repairs the drift before the dry run lists it.
  ASSERT_NO_FATAL_FAILURE(RestartWith("nEngineCheckIntervalSecs=0"));
  const std::string file = Path("lun.img");
  ASSERT_EQ(1, CreateMappedBlockLun(file));
  const std::vector<std::string> served = EngineLines();
  // By hand, in the same tgtd: a target of another tool, and a binding on
  // the service's target that no configuration holds.
  const std::string byHand = "iqn.2024-01.com.example:by-hand";
  TgtdAdmin({"--op", "new", "--mode", "target", "--tid", "9", "-T", byHand});
  TgtdAdmin({"--op", "bind", "--mode", "target", "--tid", "9", "-I", "ALL"});
  TgtdAdmin({"--op", "bind", "--mode", "target", "--tid", std::to_string(TgtdTargets()[kTarget].tid),
             "--initiator-name", "iqn.1994-05.com.example:stranger"});
  const std::vector<std::string> drifted = EngineLines("");

  const std::string dry = CtlOk({"reconcile", "--dry-run"});
  EXPECT_TRUE(Has(dry, "remove host iqn.1994-05.com.example:stranger from target " + std::string(kTarget))) << dry;
  EXPECT_FALSE(Has(dry, byHand)) << dry;
  EXPECT_EQ(drifted, EngineLines("")) << "a dry run changes nothing";

  CtlOk({"reconcile"});
  EXPECT_EQ(served, EngineLines());
  EXPECT_EQ(1u, TgtdTargets().count(byHand)) << "the hand-made target stays";
  EXPECT_EQ(std::vector<std::string>{"ALL"}, TgtdTargets()[byHand].acls);
}

}  // namespace
}  // namespace wze2e
