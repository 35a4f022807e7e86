// Closing and re-opening DevSnap LUNs, and deleting LUNs for good: what the
// drivers see (the thread-specific variables), what the model and the
// action log keep, and the refusals of DeleteLun and of an open.
#include <gtest/gtest.h>

#include "tests/support/service_lun_support.h"

extern char** environ;

using namespace wztest;
using namespace wzluntest;

namespace {

using LunOpenClose = LunFixture;

// Values of every <prefix>_<thread> variable in the environment.
std::vector<std::string> FlagVariableValues(const std::string& prefix) {
  std::vector<std::string> values;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    if (entry.compare(0, prefix.size() + 1, prefix + "_") == 0) values.push_back(entry.substr(entry.find('=') + 1));
  }
  return values;
}

TEST_F(LunOpenClose, DevSnapLunClosesAndOpensWithTheFlagVisibleOnlyInsideTheCalls) {
  const int lun = CreateLun(3, "-ssid snap1 -sp SN1");
  ASSERT_EQ(lun, 0);
  const std::string file = LunFile(*h, kTarget, lun);
  const std::string savedBefore = ReadFile(file);

  h->ClearJournal();
  h->Log().Clear();
  auto closed = h->Send(MakeDeleteLun(kTarget, lun, CloseOnly));
  EXPECT_EQ(ReplyCode(closed), 0);
  EXPECT_EQ(Calls(*h),
            (std::vector<std::string>{"devsnap.DeleteLunPrepare", "platform.DeleteLun", "devsnap.DeleteLunCommit"}));
  for (const std::string& line : h->Journal()) EXPECT_EQ(Field(line, "closeOnly"), "1") << line;
  const std::string context = Field(h->Journal("devsnap.DeleteLunCommit")[0], "ctx");
  EXPECT_NE(context, "unknown");
  EXPECT_EQ(Model().at(kTarget).luns.count(lun), 1u);
  EXPECT_EQ(ReadFile(file), savedBefore);
  EXPECT_TRUE(h->Log().Contains("Lun is closed. Since it is close lun only request, not saved into action log."));
  auto after = FlagVariableValues("CloseOnly");
  ASSERT_FALSE(after.empty());
  for (const std::string& v : after) EXPECT_EQ(v, "");

  h->ClearJournal();
  auto opened = h->Send(MakeCreateLun("IQN.2020-01.TEST:LUNS", 0, "-li 0", OpenOnly));
  EXPECT_EQ(ReplyCode(opened), 0);
  EXPECT_FALSE(AsCreateLunRsp(opened)->hasField(WzScsiServer::Fields::kRspLunId.slot));
  EXPECT_FALSE(AsCreateLunRsp(opened)->hasField(WzScsiServer::Fields::kRspSerialPrefix.slot));
  EXPECT_EQ(Calls(*h),
            (std::vector<std::string>{"devsnap.CreateLunPrepare", "platform.CreateLun", "devsnap.CreateLunCommit"}));
  for (const std::string& line : h->Journal()) EXPECT_EQ(Field(line, "openOnly"), "1") << line;
  EXPECT_EQ(Field(h->Journal("platform.CreateLun")[0], "lunId"), "0");
  EXPECT_EQ(ReadFile(file), savedBefore) << "an open never replaces the creation request";
  EXPECT_TRUE(h->Log().Contains("Lun is opened."));
  EXPECT_TRUE(h->Log().Texts(-1).empty()) << "a close and an open are no errors";
  for (const std::string& v : FlagVariableValues("OpenOnly")) EXPECT_EQ(v, "");

  // The LUN is whole again: it closes and deletes like any other.
  h->ClearJournal();
  EXPECT_EQ(ReplyCode(h->Send(MakeDeleteLun(kTarget, lun))), 0);
  for (const std::string& line : h->Journal()) EXPECT_EQ(Field(line, "closeOnly"), "0") << line;
  EXPECT_EQ(Field(h->Journal("devsnap.DeleteLunCommit")[0], "ctx"), context) << "the context survived the close";
  EXPECT_TRUE(Model().at(kTarget).luns.empty());
  EXPECT_FALSE(CRnPath::Exists(file));
}

TEST_F(LunOpenClose, ANewLunNeverTakesOverTheNumberOfAClosedOne) {
  const int snap = CreateLun(3, "-ssid snap1 -sp SN1");
  ASSERT_EQ(snap, 0);
  const std::string file = LunFile(*h, kTarget, snap);
  const std::string saved = ReadFile(file);
  ASSERT_EQ(ReplyCode(h->Send(MakeDeleteLun(kTarget, snap, CloseOnly))), 0);

  // The double hands out the lowest number it does not hold, the closed one.
  h->ClearJournal();
  auto reply = h->Send(MakeCreateLun(kTarget, 2, Args("-path /dev/new -sp NEW1")));
  EXPECT_EQ(ReplyCode(reply), 2);
  EXPECT_EQ(ReplyText(reply), "Platform CreateLun failed");
  EXPECT_EQ(Calls(*h),
            (std::vector<std::string>{"blkdev.CreateLunPrepare", "platform.CreateLun", "blkdev.CreateLunCommit",
                                      "platform.DeleteLun", "blkdev.DeleteLunPrepare", "blkdev.DeleteLunCommit"}));
  ASSERT_EQ(Model().at(kTarget).luns.size(), 1u);
  EXPECT_EQ(Model().at(kTarget).luns.at(snap).bstorType, WzScsiServer::BSTOR_DEVSNAP);
  EXPECT_EQ(ReadFile(file), saved);

  auto reopened = h->Send(MakeCreateLun(kTarget, 3, Args("-ssid snap1 -sp SN1 -li 0"), OpenOnly));
  EXPECT_EQ(ReplyCode(reopened), 0);
}

TEST_F(LunOpenClose, CloseOnlyOnOtherTypesDeletesForGood) {
  ASSERT_EQ(CreateLun(2), 0);
  ASSERT_EQ(CreateLun(1), 1);
  for (int lun : {0, 1}) {
    h->ClearJournal();
    EXPECT_EQ(ReplyCode(h->Send(MakeDeleteLun(kTarget, lun, CloseOnly))), 0);
    for (const std::string& line : h->Journal()) EXPECT_EQ(Field(line, "closeOnly"), "0") << line;
    EXPECT_FALSE(CRnPath::Exists(LunFile(*h, kTarget, lun)));
  }
  EXPECT_TRUE(Model().at(kTarget).luns.empty());
}

TEST_F(LunOpenClose, OpenRefusals) {
  ASSERT_EQ(CreateLun(2), 0);
  struct Case {
    std::string args;
    const char* text;
  } cases[] = {
      {"-ti x", "Incorrect or no LUN id specified."},
      {"-li x", "Incorrect or no LUN id specified."},
      {"-li 9", "Given target,lun does not exist."},
      {"-li 0", "OpenLun operation not supported for non Devsnap LUN."},
  };
  h->ClearJournal();
  for (const Case& c : cases) {
    auto reply = h->Send(MakeCreateLun(kTarget, 3, c.args, OpenOnly));
    EXPECT_EQ(ReplyCode(reply), 8) << c.args;
    EXPECT_EQ(ReplyText(reply), c.text) << c.args;
  }
  auto noTarget = h->Send(MakeCreateLun("iqn.2020-01.test:none", 3, "-li 0", OpenOnly));
  EXPECT_EQ(ReplyText(noTarget), "Given target,lun does not exist.");
  EXPECT_TRUE(h->Journal().empty());
  EXPECT_TRUE(h->Log().Contains("LUN [0] target [iqn.2020-01.test:luns] is not a DevSnap LUN."));
}

TEST_F(LunOpenClose, DeleteRefusals) {
  ASSERT_EQ(CreateLun(2), 0);
  ASSERT_EQ(ReplyCode(h->Send(MakeMap(kTarget, 0, "host1"))), 0);
  const auto tree = Tree();
  h->ClearJournal();
  struct Case {
    const char* target;
    int64_t lun;
    int64_t code;
    const char* text;
  } cases[] = {
      {"iqn.2020-01.test:none", 9, 8, "Target doesn't exist!"},
      {kTarget, 5, 8, "Lun doesn't exist!"},
      {kTarget, 0, 9, "Lun has host mappings"},
  };
  for (const Case& c : cases) {
    auto reply = h->Send(MakeDeleteLun(c.target, c.lun));
    EXPECT_EQ(ReplyCode(reply), c.code) << c.text;
    EXPECT_EQ(ReplyText(reply), c.text);
  }
  EXPECT_TRUE(h->Journal().empty());
  EXPECT_EQ(Tree(), tree);
  EXPECT_EQ(Model().at(kTarget).luns.at(0).hosts.size(), 1u);

  // The target cannot go while it has LUNs either.
  EXPECT_EQ(ReplyCode(h->Send(MakeDeleteTarget(kTarget))), 9);
}

}  // namespace
