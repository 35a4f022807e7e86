// CreateTarget / DeleteTarget through the intake: name rule, case folding,
// codes and texts, driver calls, and what is saved.
#include <gtest/gtest.h>

#include "actionlog/action_log_layout.h"
#include "change/target_names.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"
#include "tests/support/service_harness.h"
#include "tests/support/service_test_peer.h"

using namespace wztest;

namespace {

std::string TargetFile(ServiceHarness& h, const std::string& lowerName) {
  return WzScsiSrvActionLog::TargetFile(WzScsiSrvActionLog::TargetDir(h.ActionLogRoot(), lowerName));
}

}  // namespace

// The iSCSI naming rules for new names, and what older versions saved
// (still restored).
TEST(TargetNameRule, NewNamesFollowTheIscsiRulesSavedOnesMayBeOlder) {
  const std::string longest = "iqn.2024-01.com.example:" + std::string(223 - 24, 'x');
  const struct {
    std::string name;
    bool valid;  // for a new target
    bool saved;  // restored from the saved configuration
  } cases[] = {
      {"iqn.2020-01.example:disk1", true, true},
      {"iqn.2024-12.com.example", true, true},
      {"iqn.1994-05.com.redhat:a-b.c:d", true, true},
      {"iqn.2024-13.com.example:x", false, true},  // no month 13
      {"iqn.2024-00.com.example:x", false, true},
      {"iqn.2024-1.com.example:x", false, true},
      {"iqn.24-01.com.example:x", false, true},
      {"iqn.2024-01:x", false, true},   // no naming authority
      {"iqn.2024-01.:x", false, true},  // an empty one
      {"iqn.2024-01.", false, true},
      {"iqn.a", false, true},
      {"iqn.-", false, true},
      {"iqn.a..b::c", false, true},
      {"eui.0123456789abcdef", true, true},
      {"eui.0123456789abcde", false, false},
      {"eui.0123456789abcdef0", false, false},
      {"eui.0123456789abcdeg", false, false},
      {"naa.0123456789abcdef", true, true},
      {"naa.0123456789abcdef0123456789abcdef", true, true},
      {"naa.0123456789abcdef01234567", false, false},
      {"naa.", false, false},
      {longest, true, true},
      {longest + "x", false, true},  // over 223 bytes
      {"", false, false},
      {"iqn.", false, false},
      {"iqn.2024-01.com.example:a_b", false, false},
      {"iqn.2024-01.com.example:a b", false, false},
      {"iqn.2024-01.com.example:a/b", false, false},
      {"IQN.2024-01.com.example", false, false},  // judged after folding
      {" iqn.2024-01.com.example", false, false},
      {"iqna", false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsValidScsiTargetName(c.name), c.valid) << c.name;
    EXPECT_EQ(IsSavedScsiTargetName(c.name), c.saved) << c.name;
  }
}

TEST(TargetNameRule, HugeNamesAreJudgedWithoutExhaustingTheStack) {
  EXPECT_FALSE(IsValidScsiTargetName("iqn.2024-01.a:" + std::string(1 << 20, 'a')));
  EXPECT_TRUE(IsSavedScsiTargetName("iqn." + std::string(1 << 20, 'a')));
  EXPECT_FALSE(IsSavedScsiTargetName("iqn." + std::string(1 << 20, 'a') + "_"));
}

TEST(Targets, CreateFoldsCaseEverywhereAndSavesTheLowerCaseRequest) {
  ServiceHarness h;
  auto request = MakeCreateTarget("IQN.2020-01.Example:Disk1", "Some Desc");
  request->context().setFlags(5);
  auto reply = h.Send(std::move(request));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->getTagID(), WzScsiServer::kCreateTargetRsp.tagId);
  EXPECT_EQ(ReplyCode(reply), 0);
  auto* rsp = dynamic_cast<WzScsiServer::Reply*>(reply.get());
  ASSERT_NE(rsp, nullptr);
  ASSERT_NE(rsp->getObject(WzScsiServer::Fields::kContext.slot), nullptr);
  EXPECT_EQ(static_cast<const WzScsiServer::RequestContext*>(rsp->getObject(1))->flags(), 5);

  EXPECT_EQ(h.Journal("platform.CreateTarget"),
            std::vector<std::string>{
                "platform.CreateTarget targetId=iqn.2020-01.example:disk1 desc=Some%20Desc openOnly=0 closeOnly=0"});
  auto model = h.Service().SnapshotTargets();
  ASSERT_EQ(model.count("iqn.2020-01.example:disk1"), 1u);
  EXPECT_TRUE(model["iqn.2020-01.example:disk1"].luns.empty());
  EXPECT_EQ(model["iqn.2020-01.example:disk1"].targetDesc, "Some Desc");

  std::string saved = ReadFile(TargetFile(h, "iqn.2020-01.example:disk1"));
  WzScsiServer::CreateTarget readBack;
  ASSERT_EQ(readBack.readXmlFromString(saved), 0) << saved;
  EXPECT_EQ(readBack.targetId(), "iqn.2020-01.example:disk1");
  EXPECT_EQ(readBack.targetDesc(), "Some Desc");

  // Any mix of case finds it again.
  EXPECT_EQ(ReplyCode(h.Send(MakeDeleteTarget("iqn.2020-01.EXAMPLE:disk1"))), 0);
  EXPECT_TRUE(h.Service().SnapshotTargets().empty());
  EXPECT_FALSE(CRnPath::Exists(WzScsiSrvActionLog::TargetDir(h.ActionLogRoot(), "iqn.2020-01.example:disk1")));
}

TEST(Targets, InvalidNamesAreRefusedWithCodeFourBeforeExistence) {
  ServiceHarness h;
  for (const char* bad : {"iqn.", "iqn.a_b", "iqn.a b", "iqn.2024-13.com.example:x", "eui.0123", ""}) {
    auto reply = h.Send(MakeCreateTarget(bad));
    EXPECT_EQ(ReplyCode(reply), 4) << bad;
    EXPECT_EQ(ReplyText(reply), "Invalid iSCSI target name!");
    // The rule is in the reply, for whoever typed the name.
    EXPECT_NE(ReplyLines(reply).find("next: an iSCSI name is iqn.YYYY-MM.reversed.domain"), std::string::npos)
        << ReplyLines(reply);
  }
  EXPECT_TRUE(h.Journal("platform.CreateTarget").empty());
  EXPECT_TRUE(h.Log().Contains("Invalid iSCSI target name. Target name must match regex ^(iqn\\.[0-9]{4}-"));
  EXPECT_FALSE(CRnPath::Exists(h.ActionLogRoot() + "/Targets"));
}

TEST(Targets, CreatingTwiceAnswersSevenAndCallsTheDriverOnce) {
  ServiceHarness h;
  EXPECT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  auto reply = h.Send(MakeCreateTarget("IQN.2000-01.t:A"));
  EXPECT_EQ(ReplyCode(reply), 7);
  EXPECT_EQ(ReplyText(reply), "Target already exists!");
  EXPECT_EQ(h.Journal("platform.CreateTarget").size(), 1u);
  EXPECT_TRUE(h.Log().Contains("create target iqn.2000-01.t:a: refused (code 7): Target already exists!"));
}

TEST(Targets, DriverFailureLeavesNoEntrySoARetryReachesTheDriverAgain) {
  ServiceHarness h;
  h.SetFaults({"platform.CreateTarget"});
  auto reply = h.Send(MakeCreateTarget("iqn.2000-01.t:a"));
  EXPECT_EQ(ReplyCode(reply), 2);
  EXPECT_EQ(ReplyText(reply), "Platform create target error");
  EXPECT_TRUE(h.Service().SnapshotTargets().empty());
  EXPECT_FALSE(CRnPath::Exists(TargetFile(h, "iqn.2000-01.t:a")));
  EXPECT_TRUE(h.Log().Contains("injected fault: platform.CreateTarget"));

  h.SetFaults({});
  EXPECT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  EXPECT_EQ(h.Journal("platform.CreateTarget").size(), 2u);
  EXPECT_TRUE(CRnPath::Exists(TargetFile(h, "iqn.2000-01.t:a")));
}

TEST(Targets, DeleteRefusesMissingTargetsAndTargetsWithLuns) {
  ServiceHarness h;
  auto missing = h.Send(MakeDeleteTarget("iqn.2000-01.t:nothing"));
  EXPECT_EQ(ReplyCode(missing), 8);
  EXPECT_EQ(ReplyText(missing), "Target doesn't exist!");
  EXPECT_EQ(ReplyCode(h.Send(MakeDeleteTarget("not_even_valid"))), 8);

  EXPECT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  WzScsiSrvTestPeer(h.Service()).EditTarget("iqn.2000-01.t:a", [](WzScsiSrv::Target& t) {
    t.luns[0] = WzScsiSrv::Lun();
  });
  auto busy = h.Send(MakeDeleteTarget("iqn.2000-01.t:a"));
  EXPECT_EQ(ReplyCode(busy), 9);
  EXPECT_EQ(ReplyText(busy), "Target has configured LUNs");
  EXPECT_TRUE(h.Journal("platform.DeleteTarget").empty());
  WzScsiSrvTestPeer(h.Service()).EditTarget("iqn.2000-01.t:a", [](WzScsiSrv::Target& t) { t.luns.clear(); });
  EXPECT_EQ(ReplyCode(h.Send(MakeDeleteTarget("iqn.2000-01.t:a"))), 0);
}

TEST(Targets, DriverFailureOnDeleteKeepsTargetAndSavedFile) {
  ServiceHarness h;
  EXPECT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  h.SetFaults({"platform.DeleteTarget"});
  auto reply = h.Send(MakeDeleteTarget("iqn.2000-01.t:a"));
  EXPECT_EQ(ReplyCode(reply), 2);
  EXPECT_EQ(ReplyText(reply), "Platform Delete Target Error");
  EXPECT_EQ(h.Service().SnapshotTargets().count("iqn.2000-01.t:a"), 1u);
  EXPECT_TRUE(CRnPath::Exists(TargetFile(h, "iqn.2000-01.t:a")));
}

TEST(Targets, RequestsBeforeStartAreRefusedAndNothingIsSaved) {
  HarnessOptions o;
  o.start = false;
  ServiceHarness h(o);
  auto request = MakeCreateTarget("iqn.2000-01.t:a");
  request->context().setFlags(9);
  auto reply = h.Send(std::move(request));
  EXPECT_EQ(ReplyCode(reply), 1);
  EXPECT_EQ(ReplyText(reply), "Either service not initialized or initialization is in progress.");
  auto* rsp = dynamic_cast<WzScsiServer::Reply*>(reply.get());
  ASSERT_NE(rsp->getObject(1), nullptr);
  EXPECT_EQ(static_cast<const WzScsiServer::RequestContext*>(rsp->getObject(1))->flags(), 9);
  EXPECT_TRUE(h.Journal("platform.CreateTarget").empty());
  EXPECT_FALSE(CRnPath::Exists(h.ActionLogRoot()));
}

TEST(Targets, WrongClassIsRefusedWithoutReply) {
  ServiceHarness h;
  CWzNetwork* conn = nullptr;
  WznHandle_t handle = h.Net().Connect();
  ASSERT_TRUE(h.Net().AcquireSession(handle, conn).IsSuccess());
  auto wrong = MakeDeleteTarget("iqn.2000-01.t:a");
  CRnError e = h.Service().CreateTarget(conn, wrong.get());
  EXPECT_EQ(e.GetCode(), HRESULT_FROM_WIN32(1627));
  EXPECT_EQ(e.GetText(), "dynamic cast failed CNMessageBase -> WzScsiServer::CreateTarget");
  e = h.Service().DeleteTarget(conn, nullptr);
  EXPECT_EQ(e.GetText(), "dynamic cast failed CNMessageBase -> WzScsiServer::DeleteTarget");
  EXPECT_TRUE(h.Net().Replies(handle).empty());
  CRnError released = h.Net().ReleaseSession(handle);
  (void)released;
}

TEST(Targets, WithoutConnectionNothingIsRepliedSavedOrLoggedAsError) {
  ServiceHarness h;
  auto request = MakeCreateTarget("iqn.2000-01.t:Replayed");
  EXPECT_TRUE(h.Service().CreateTarget(nullptr, request.get()).IsSuccess());
  EXPECT_EQ(request->targetId(), "iqn.2000-01.t:replayed");
  EXPECT_TRUE(h.Log().Contains("Creating Target: TargetID [iqn.2000-01.t:replayed]"));
  EXPECT_FALSE(CRnPath::Exists(TargetFile(h, "iqn.2000-01.t:replayed")));

  CRnError again = h.Service().CreateTarget(nullptr, request.get());
  EXPECT_EQ(again.GetCode(), HRESULT_FROM_WIN32(183));
  EXPECT_FALSE(h.Log().Contains("request from"));
}

namespace {
// Fails every rename: the saved file cannot be put in place.
class FailingRename : public IRnFileSystem {
 public:
  int Rename(const char*, const char*) override {
    errno = EIO;
    return -1;
  }
};
}  // namespace

TEST(Targets, AChangeThatCannotBeSavedIsUndoneAndReported) {
  ServiceHarness h;
  FailingRename fs;
  std::shared_ptr<CNMessageBase> reply;
  {
    CRnFileSystemForTest guard(&fs);
    reply = h.Send(MakeCreateTarget("iqn.2000-01.t:a"));
  }
  EXPECT_EQ(ReplyCode(reply), 1);
  EXPECT_EQ(ReplyText(reply).rfind("Failed to save the change: ", 0), 0u) << ReplyText(reply);
  EXPECT_EQ(h.Service().SnapshotTargets().count("iqn.2000-01.t:a"), 0u);
  EXPECT_FALSE(CRnPath::Exists(TargetFile(h, "iqn.2000-01.t:a")));
  EXPECT_EQ(h.Journal("platform.DeleteTarget targetId=iqn.2000-01.t:a").size(), 1u) << "the engine is undone too";

  // A deletion that cannot be made durable changes nothing.
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:b"))), 0);
  h.ClearJournal();
  {
    CRnFileSystemForTest guard(&fs);
    reply = h.Send(MakeDeleteTarget("iqn.2000-01.t:b"));
  }
  EXPECT_EQ(ReplyCode(reply), 1);
  EXPECT_EQ(h.Service().SnapshotTargets().count("iqn.2000-01.t:b"), 1u);
  EXPECT_TRUE(CRnPath::Exists(TargetFile(h, "iqn.2000-01.t:b")));
  EXPECT_TRUE(h.Journal("platform.DeleteTarget").empty());

  // A deletion the engine refuses puts the saved file back.
  h.SetFaults({"platform.DeleteTarget"});
  EXPECT_EQ(ReplyCode(h.Send(MakeDeleteTarget("iqn.2000-01.t:b"))), 2);
  EXPECT_TRUE(CRnPath::Exists(TargetFile(h, "iqn.2000-01.t:b")));
  h.Restart();
  EXPECT_EQ(h.Service().SnapshotTargets().count("iqn.2000-01.t:b"), 1u);
}
