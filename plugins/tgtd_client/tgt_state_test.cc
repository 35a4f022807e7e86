#include "plugins/tgtd_client/tgt_state.h"

#include <gtest/gtest.h>

namespace wztgt {
namespace {

// As tgtd 1.0.85 prints it, with a session, the controller LUN, a disk LUN
// on a path with a blank, and access rules by address and by name; the
// second target with CHAP accounts, incoming and outgoing.
const char* const kTwoTargets =
    "Target 1: iqn.2020-01.test:t1\n"
    "    System information:\n"
    "        Driver: iscsi\n"
    "        State: ready\n"
    "    I_T nexus information:\n"
    "        I_T nexus: 2\n"
    "            Initiator: iqn.2020-01.test:hostA alias: none\n"
    "            Connection: 0\n"
    "                IP Address: 127.0.0.1\n"
    "    LUN information:\n"
    "        LUN: 0\n"
    "            Type: controller\n"
    "            SCSI ID: IET     00010000\n"
    "            SCSI SN: beaf10\n"
    "            Backing store type: null\n"
    "            Backing store path: None\n"
    "            Backing store flags: \n"
    "        LUN: 7\n"
    "            Type: disk\n"
    "            SCSI ID: X13F2A9C100007\n"
    "            SCSI SN: X1 3F2A9C100007\n"
    "            Size: 67 MB, Block size: 512\n"
    "            Backing store type: rdwr\n"
    "            Backing store path: /srv/lun files/a.img\n"
    "            Backing store flags: \n"
    "    Account information:\n"
    "    ACL information:\n"
    "        127.0.0.1\n"
    "        iqn.2020-01.test:hostA\n"
    "Target 12: IQN.2020-01.test:T2\n"
    "    System information:\n"
    "        Driver: iscsi\n"
    "    I_T nexus information:\n"
    "    LUN information:\n"
    "        LUN: 0\n"
    "            Type: controller\n"
    "    Account information:\n"
    "        wzscsi.hold\n"
    "        user one\n"
    "        mutual (outgoing)\n"
    "    ACL information:\n";

TEST(TgtTargetShow, ReadsTargetsLunsAclsAndSessions) {
  std::vector<TgtTargetInfo> targets;
  ASSERT_TRUE(ParseTargetShow(kTwoTargets, targets).IsSuccess());
  ASSERT_EQ(2u, targets.size());

  const TgtTargetInfo& t1 = targets[0];
  EXPECT_EQ(1, t1.tid);
  EXPECT_EQ("iqn.2020-01.test:t1", t1.name);
  ASSERT_EQ(2u, t1.luns.size());
  EXPECT_EQ("controller", t1.luns.at(0).type);
  EXPECT_EQ("None", t1.luns.at(0).path);
  EXPECT_EQ("disk", t1.luns.at(7).type);
  EXPECT_EQ("/srv/lun files/a.img", t1.luns.at(7).path);
  EXPECT_EQ("rdwr", t1.luns.at(7).bsType);
  EXPECT_EQ("beaf10", t1.luns.at(0).serial);
  EXPECT_EQ("X1 3F2A9C100007", t1.luns.at(7).serial);
  // tgtd's own scsi_id keeps its inner blanks; the service's is the serial.
  EXPECT_EQ("IET     00010000", t1.luns.at(0).scsiId);
  EXPECT_EQ("X13F2A9C100007", t1.luns.at(7).scsiId);
  EXPECT_EQ((std::set<std::string>{"127.0.0.1", "iqn.2020-01.test:hostA"}), t1.acls);
  ASSERT_EQ(1u, t1.sessions.size());
  EXPECT_EQ(2u, t1.sessions[0].nexus);
  EXPECT_EQ("iqn.2020-01.test:hostA", t1.sessions[0].initiator);
  EXPECT_TRUE(t1.accounts.empty());
  EXPECT_EQ("", t1.outgoingAccount);

  const TgtTargetInfo& t2 = targets[1];
  EXPECT_EQ(12, t2.tid);
  EXPECT_EQ("IQN.2020-01.test:T2", t2.name);
  EXPECT_EQ(1u, t2.luns.size());
  EXPECT_TRUE(t2.acls.empty());
  EXPECT_TRUE(t2.sessions.empty());
  EXPECT_EQ((std::vector<std::string>{"wzscsi.hold", "user one"}), t2.accounts) << "in tgtd's slot order";
  EXPECT_EQ("mutual", t2.outgoingAccount);
}

TEST(TgtTargetShow, EmptyTextMeansNoTargets) {
  std::vector<TgtTargetInfo> targets(1);
  ASSERT_TRUE(ParseTargetShow("", targets).IsSuccess());
  EXPECT_TRUE(targets.empty());
}

TEST(TgtTargetShow, UnreadableLinesFailAndLeaveTheOutputAlone) {
  std::vector<TgtTargetInfo> targets(3);
  CRnError err = ParseTargetShow("Target x: iqn.a\n", targets);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(std::string::npos, err.AsString().find("Target x: iqn.a"));
  EXPECT_EQ(3u, targets.size());

  err = ParseTargetShow("Target 1: iqn.a\n    LUN information:\n        LUN: one\n", targets);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(std::string::npos, err.AsString().find("LUN: one"));
  EXPECT_EQ(3u, targets.size());
}

TEST(TgtPortalShow, DropsThePortalGroupTag) {
  EXPECT_EQ((std::vector<std::string>{"127.0.0.1:3260", "[::1]:3261"}),
            ParsePortalShow("Portal: 127.0.0.1:3260,1\nPortal: [::1]:3261,1\n"));
  EXPECT_TRUE(ParsePortalShow("").empty());
}

TgtTargetInfo Target(int32_t tid, const std::string& name) {
  TgtTargetInfo t;
  t.tid = tid;
  t.name = name;
  return t;
}

TEST(TgtTargetTable, FindsByNameWithoutRegardToCasePreferringAnExactMatch) {
  TgtTargetTable table;
  table.Put(Target(3, "IQN.A"));
  ASSERT_NE(nullptr, table.FindByName("iqn.a"));
  EXPECT_EQ(3, table.FindByName("iqn.a")->tid);

  table.Put(Target(5, "iqn.a"));
  EXPECT_EQ(5, table.FindByName("iqn.a")->tid);
  EXPECT_EQ(3, table.FindByName("IQN.A")->tid);
  EXPECT_EQ(nullptr, table.FindByName("iqn.b"));
}

TEST(TgtTargetTable, PutReplacesAndEraseForgetsTheName) {
  TgtTargetTable table;
  table.Put(Target(1, "iqn.old"));
  table.Put(Target(1, "iqn.new"));
  EXPECT_EQ(nullptr, table.FindByName("iqn.old"));
  ASSERT_NE(nullptr, table.FindByName("iqn.new"));
  table.Erase(1);
  EXPECT_EQ(nullptr, table.FindByName("iqn.new"));
  EXPECT_EQ(nullptr, table.FindByTid(1));
  table.Erase(1);  // absent: harmless
}

TEST(TgtTargetTable, LowestFreeTidFillsGaps) {
  TgtTargetTable table;
  EXPECT_EQ(1, table.LowestFreeTid());
  table.Put(Target(2, "b"));
  EXPECT_EQ(1, table.LowestFreeTid());
  table.Put(Target(1, "a"));
  table.Put(Target(3, "c"));
  table.Put(Target(5, "e"));
  EXPECT_EQ(4, table.LowestFreeTid());
  table.Put(Target(4, "d"));
  EXPECT_EQ(6, table.LowestFreeTid());
}

TgtTargetInfo Target(int32_t tid, const std::string& name, std::set<uint64_t> luns) {
  TgtTargetInfo t;
  t.tid = tid;
  t.name = name;
  for (uint64_t n : luns) t.luns[n].lun = n;
  return t;
}

// A read of tgtd that crosses the driver's own changes must not undo them;
// one that finds another tgtd process keeps nothing of the old one.
TEST(TgtPicture, AReadKeepsChangesBookedWhileItRanUnlessTgtdChanged) {
  TgtPicture picture;
  picture.Install(picture.BeginRead(), 10, 100, {Target(1, "a", {0, 1}), Target(2, "b", {0})});

  const uint64_t ticket = picture.BeginRead();
  // While tgtd answers the show, a LUN of "a" is deleted, "b" gains one and
  // "c" is created; the show predates them all.
  picture.Table().FindByTid(1)->luns.erase(1);
  picture.Touched("a");
  picture.Table().FindByTid(2)->luns[5].lun = 5;
  picture.Touched("b");
  picture.Table().Put(Target(3, "c", {0}));
  picture.Touched("c");
  ASSERT_TRUE(picture.Install(ticket, 10, 100, {Target(1, "a", {0, 1}), Target(2, "b", {0}), Target(4, "d", {0})}));
  EXPECT_EQ(1u, picture.Table().FindByName("a")->luns.size());
  EXPECT_EQ(1u, picture.Table().FindByName("b")->luns.count(5));
  EXPECT_EQ(3, picture.Table().FindByName("c")->tid);
  EXPECT_NE(nullptr, picture.Table().FindByName("d")) << "what others did is taken from the show";

  // Changes booked before a read began are in its show; a later change of
  // "d" is not.
  const uint64_t second = picture.BeginRead();
  const uint64_t third = picture.BeginRead();
  picture.Table().Erase(4);
  picture.Touched("d");
  ASSERT_TRUE(picture.Install(third, 10, 100, {Target(1, "a", {0}), Target(4, "d", {0})}));
  EXPECT_EQ(nullptr, picture.Table().FindByName("d"));
  EXPECT_EQ(nullptr, picture.Table().FindByName("b")) << "b is gone from tgtd and untouched since";
  EXPECT_FALSE(picture.Install(second, 10, 100, {})) << "an older read never replaces a newer one";
  EXPECT_NE(nullptr, picture.Table().FindByName("a"));

  // tgtd restarted: nothing booked for the old process survives.
  const uint64_t restart = picture.BeginRead();
  picture.Table().Put(Target(7, "e", {0}));
  picture.Touched("e");
  ASSERT_TRUE(picture.Install(restart, 11, 200, {}));
  EXPECT_TRUE(picture.Table().Targets().empty());
  EXPECT_EQ(11, picture.Pid());
  EXPECT_EQ(200u, picture.Instance());
}

}  // namespace
}  // namespace wztgt
