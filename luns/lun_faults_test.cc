// Every driver failure of LUN creation, open and deletion, injected through
// the doubles' fault file: the reply's code and text, the model, the action
// log and the sequence of driver calls, checked together.
#include <gtest/gtest.h>

#include "tests/support/service_lun_support.h"

using namespace wztest;
using namespace wzluntest;

namespace {

enum class Op { Create, Open, Delete };

struct FaultRow {
  const char* name;
  Op op;
  int64_t type;
  std::vector<std::string> faults;
  int64_t code;
  std::string text;
  std::vector<std::string> calls;  // "!" marks the injected failure
  std::string logged;              // a further log text, when the row has one
};

const std::vector<FaultRow>& Rows() {
  static const std::vector<FaultRow> rows = {
      {"CreatePrepare",
       Op::Create,
       2,
       {"blkdev.CreateLunPrepare"},
       3,
       "BStore CreateLunPrepare failed",
       {"blkdev.CreateLunPrepare!"},
       ""},
      {"CreatePlatform",
       Op::Create,
       2,
       {"platform.CreateLun"},
       2,
       "Platform CreateLun failed",
       {"blkdev.CreateLunPrepare", "platform.CreateLun!", "blkdev.CreateLunAbort"},
       "CreateLun failed with error: injected fault: platform.CreateLun, Aborting"},
      {"CreatePlatformAndAbort",
       Op::Create,
       3,
       {"platform.CreateLun", "devsnap.CreateLunAbort"},
       2,
       "Platform CreateLun failed",
       {"devsnap.CreateLunPrepare", "platform.CreateLun!", "devsnap.CreateLunAbort!"},
       "Abort CreateLun failed with error: injected fault: devsnap.CreateLunAbort"},
      {"CreateCommit",
       Op::Create,
       2,
       {"blkdev.CreateLunCommit"},
       2,
       "BStore CreateLunCommit failed",
       {"blkdev.CreateLunPrepare", "platform.CreateLun", "blkdev.CreateLunCommit!", "platform.DeleteLun"},
       "Commit failed with error: injected fault: blkdev.CreateLunCommit"},
      {"CreateCommitAndCleanup",
       Op::Create,
       2,
       {"blkdev.CreateLunCommit", "platform.DeleteLun"},
       2,
       "BStore CreateLunCommit failed",
       {"blkdev.CreateLunPrepare", "platform.CreateLun", "blkdev.CreateLunCommit!", "platform.DeleteLun!"},
       "Failed to cleanup platform lun, error=injected fault: platform.DeleteLun"},
      {"CreateKernelPlatform",
       Op::Create,
       1,
       {"platform.CreateLun"},
       2,
       "Platform CreateLun failed",
       {"platform.CreateLun!"},
       ""},
      {"OpenPrepare",
       Op::Open,
       3,
       {"devsnap.CreateLunPrepare"},
       3,
       "OpenLun: CreateLunPrepare failed",
       {"devsnap.CreateLunPrepare!"},
       ""},
      {"OpenPlatform",
       Op::Open,
       3,
       {"platform.CreateLun"},
       2,
       "Platform CreateLun failed",
       {"devsnap.CreateLunPrepare", "platform.CreateLun!", "devsnap.CreateLunAbort"},
       "Platform CreateLun failed with error: injected fault: platform.CreateLun, Aborting"},
      {"OpenPlatformAndAbort",
       Op::Open,
       3,
       {"platform.CreateLun", "devsnap.CreateLunAbort"},
       2,
       "Platform CreateLun failed",
       {"devsnap.CreateLunPrepare", "platform.CreateLun!", "devsnap.CreateLunAbort!"},
       "Abort CreateLun failed with error: injected fault: devsnap.CreateLunAbort"},
      {"OpenCommit",
       Op::Open,
       3,
       {"devsnap.CreateLunCommit"},
       2,
       "OpenLun: CreateLunCommit failed",
       {"devsnap.CreateLunPrepare", "platform.CreateLun", "devsnap.CreateLunCommit!", "platform.DeleteLun"},
       "Commit failed with error: injected fault: devsnap.CreateLunCommit"},
      {"OpenCommitAndCleanup",
       Op::Open,
       3,
       {"devsnap.CreateLunCommit", "platform.DeleteLun"},
       2,
       "OpenLun: CreateLunCommit failed",
       {"devsnap.CreateLunPrepare", "platform.CreateLun", "devsnap.CreateLunCommit!", "platform.DeleteLun!"},
       "Failed to cleanup platform lun, error=injected fault: platform.DeleteLun"},
      {"DeletePrepare",
       Op::Delete,
       2,
       {"blkdev.DeleteLunPrepare"},
       3,
       "BStorOps DeleteLunPrepare error: injected fault: blkdev.DeleteLunPrepare",
       {"blkdev.DeleteLunPrepare!"},
       ""},
      {"DeletePlatform",
       Op::Delete,
       2,
       {"platform.DeleteLun"},
       2,
       "Platform DeleteLun error: injected fault: platform.DeleteLun",
       {"blkdev.DeleteLunPrepare", "platform.DeleteLun!", "blkdev.DeleteLunAbort"},
       "Platform DeleteLun failed with error: injected fault: platform.DeleteLun"},
      {"DeletePlatformAndAbort",
       Op::Delete,
       3,
       {"platform.DeleteLun", "devsnap.DeleteLunAbort"},
       2,
       "Platform DeleteLun error: injected fault: platform.DeleteLun",
       {"devsnap.DeleteLunPrepare", "platform.DeleteLun!", "devsnap.DeleteLunAbort!"},
       "Abort DeleteLun failed with error: injected fault: devsnap.DeleteLunAbort"},
      {"DeleteCommit",
       Op::Delete,
       2,
       {"blkdev.DeleteLunCommit"},
       3,
       "BStorOps DeleteLunCommit error: injected fault: blkdev.DeleteLunCommit",
       {"blkdev.DeleteLunPrepare", "platform.DeleteLun", "blkdev.DeleteLunCommit!", "platform.CreateLun"},
       "DeleteLunCommit failed with error: injected fault: blkdev.DeleteLunCommit"},
      {"DeleteKernelPlatform",
       Op::Delete,
       1,
       {"platform.DeleteLun"},
       2,
       "Platform DeleteLun error",
       {"platform.DeleteLun!"},
       ""},
  };
  return rows;
}

class LunFaults : public LunFixture, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(LunFaults, FailureLeavesModelAndActionLogAsTheyWere) {
  const FaultRow& row = GetParam();
  const std::string rest = row.type == 3 ? "-ssid snap1 -sp SN1" : "-path /dev/x -sp AB12";
  int lun = -1;
  std::unique_ptr<CNMessageBase> request;
  if (row.op == Op::Create) {
    request = MakeCreateLun(kTarget, row.type, Args(rest));
  } else {
    lun = CreateLun(row.type, rest);
    ASSERT_GE(lun, 0);
    if (row.op == Op::Open) {
      ASSERT_EQ(ReplyCode(h->Send(MakeDeleteLun(kTarget, lun, CloseOnly))), 0);
      request = MakeCreateLun(kTarget, 0, "-li " + std::to_string(lun), OpenOnly);
    } else {
      request = MakeDeleteLun(kTarget, lun);
    }
  }
  const auto modelBefore = Model();
  const auto treeBefore = Tree();
  h->ClearJournal();
  h->SetFaults(row.faults);
  h->Log().Clear();

  auto reply = h->Send(std::move(request));
  h->SetFaults({});
  ASSERT_TRUE(reply);
  EXPECT_EQ(ReplyCode(reply), row.code);
  EXPECT_EQ(ReplyText(reply), row.text);
  if (row.op != Op::Delete) {
    // The create reply names the LUN only for a creation, whatever the outcome.
    EXPECT_EQ(AsCreateLunRsp(reply)->hasField(WzScsiServer::Fields::kRspLunId.slot), row.op == Op::Create);
  }

  EXPECT_EQ(Calls(*h), row.calls);
  for (const std::string& line : h->Journal()) {
    EXPECT_EQ(Field(line, "openOnly"), row.op == Op::Open ? "1" : "0") << line;
    EXPECT_EQ(Field(line, "closeOnly"), "0") << line;
  }

  const auto model = Model();
  ASSERT_EQ(model.at(kTarget).luns.size(), modelBefore.at(kTarget).luns.size());
  if (lun >= 0) {
    EXPECT_EQ(model.at(kTarget).luns.count(lun), 1u);
  }
  EXPECT_EQ(Tree(), treeBefore);
  EXPECT_TRUE(h->Log().Contains(std::string(kTarget) + ": refused (code " + std::to_string(row.code) +
                                "): " + row.text + " [injected fault: "));
  if (!row.logged.empty()) {
    EXPECT_TRUE(h->Log().Contains(row.logged)) << row.logged;
  }
}

INSTANTIATE_TEST_SUITE_P(AllRows, LunFaults, ::testing::ValuesIn(Rows()),
                         [](const ::testing::TestParamInfo<FaultRow>& row) { return row.param.name; });

}  // namespace

namespace {

// A deletion whose engine step cannot be taken back (the engine lost the LUN
// and will not take it again) ends the LUN everywhere, and says so: the
// model, the saved configuration and the engine agree.
TEST_F(LunFixture, ADeletionTheEngineCannotUndoEndsTheLunEverywhere) {
  const int lun = CreateLun(2);
  ASSERT_GE(lun, 0);
  h->SetFaults({"blkdev.DeleteLunCommit", "platform.CreateLun"});
  auto reply = h->Send(wztest::MakeDeleteLun(kTarget, lun));
  h->SetFaults({});
  EXPECT_EQ(wztest::ReplyCode(reply), 3);
  EXPECT_NE(wztest::ReplyText(reply).find("no longer served and was removed from the configuration"),
            std::string::npos);
  EXPECT_EQ(Model().at(kTarget).luns.count(lun), 0u);
  EXPECT_FALSE(CRnPath::Exists(LunFile(*h, kTarget, lun)));
}

}  // namespace
