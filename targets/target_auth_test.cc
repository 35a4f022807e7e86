// SetTargetAuth: the credential rules, what the engine and the saved
// configuration get, that failures change nothing, and that a restart
// restores CHAP before any LUN is served.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "messages/WzScsiServerRequests.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"
#include "tests/support/service_lun_support.h"

using namespace wztest;
using namespace wzluntest;

namespace {

constexpr const char* kSecret = "twelve-chars";
constexpr const char* kOther = "other-secret";

std::unique_ptr<CNMessageBase> Auth(const std::string& target, const std::string& user, const std::string& secret,
                                    const std::string& mutualUser = "", const std::string& mutualSecret = "") {
  return WzScsiServer::NewSetTargetAuth(target, user, secret, mutualUser, mutualSecret, 0);
}

std::string AuthFile(ServiceHarness& h, const std::string& target) {
  return WzScsiSrvActionLog::AuthFile(WzScsiSrvActionLog::TargetDir(h.ActionLogRoot(), target));
}

class TargetAuth : public LunFixture {};

TEST_F(TargetAuth, CredentialsAreCheckedSavedPrivatelyAndNeverLogged) {
  struct Case {
    std::unique_ptr<CNMessageBase> request;
    const char* text;
  };
  Case refused[] = {
      {Auth(kTarget, "alice", "short"), "the secret must be 12 to 16"},
      {Auth(kTarget, "alice", "seventeen-chars!!"), "the secret must be 12 to 16"},
      {Auth(kTarget, "al ice", kSecret), "the user name must be"},
      {Auth(kTarget, "alice", kSecret, "tgt", ""), "a mutual user needs a mutual secret"},
      {Auth(kTarget, "alice", kSecret, "tgt", kSecret), "the mutual secret must differ"},
      {Auth("iqn.2020-01.test:none", "alice", kSecret), "Target doesn't exist!"},
  };
  for (Case& c : refused) {
    auto reply = h->Send(std::move(c.request));
    EXPECT_EQ(ReplyCode(reply), std::string(c.text) == "Target doesn't exist!" ? 8 : 4) << c.text;
    EXPECT_NE(ReplyText(reply).find(c.text), std::string::npos) << ReplyText(reply);
  }
  EXPECT_TRUE(h->Journal("platform.SetTargetAuth").empty());
  EXPECT_FALSE(CRnPath::Exists(AuthFile(*h, kTarget)));

  ASSERT_EQ(ReplyCode(h->Send(Auth(kTarget, "alice", kSecret, "tgt", kOther))), 0);
  EXPECT_EQ(Model().at(kTarget).chap.user, "alice");
  EXPECT_EQ(Model().at(kTarget).chap.mutualSecret, kOther);
  struct stat st {};
  ASSERT_EQ(::stat(AuthFile(*h, kTarget).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // The same again changes nothing.
  ASSERT_EQ(ReplyCode(h->Send(Auth(kTarget, "alice", kSecret, "tgt", kOther))), 0);
  EXPECT_EQ(h->Journal("platform.SetTargetAuth").size(), 1u);

  // A user name has one secret across targets (tgtd keeps one account list).
  ASSERT_EQ(ReplyCode(h->Send(MakeCreateTarget("iqn.2020-01.test:b"))), 0);
  auto clash = h->Send(Auth("iqn.2020-01.test:b", "alice", "another-secret"));
  EXPECT_EQ(ReplyCode(clash), 4);
  EXPECT_NE(ReplyText(clash).find("alice is used by target " + std::string(kTarget)), std::string::npos);
  EXPECT_EQ(ReplyCode(h->Send(Auth("iqn.2020-01.test:b", "tgt", kOther))), 0) << "same user, same secret";

  ASSERT_EQ(ReplyCode(h->Send(Auth(kTarget, "", ""))), 0);
  EXPECT_FALSE(Model().at(kTarget).chap.enabled);
  EXPECT_FALSE(h->Log().Contains(kSecret));
  EXPECT_FALSE(h->Log().Contains(kOther));
}

// Fails every rename: nothing can be saved.
class FailingRename : public IRnFileSystem {
 public:
  int Rename(const char*, const char*) override {
    errno = EIO;
    return -1;
  }
};

TEST_F(TargetAuth, AChangeTheEngineRefusesOrThatCannotBeSavedChangesNothing) {
  h->SetFaults({"platform.SetTargetAuth"});
  auto refused = h->Send(Auth(kTarget, "alice", kSecret));
  EXPECT_EQ(ReplyCode(refused), 2);
  EXPECT_EQ(ReplyText(refused).rfind("Platform SetTargetAuth failed", 0), 0u);
  h->SetFaults({});
  EXPECT_FALSE(Model().at(kTarget).chap.enabled);

  h->ClearJournal();
  FailingRename fs;
  std::shared_ptr<CNMessageBase> reply;
  {
    CRnFileSystemForTest guard(&fs);
    reply = h->Send(Auth(kTarget, "alice", kSecret));
  }
  EXPECT_EQ(ReplyCode(reply), 1);
  EXPECT_FALSE(Model().at(kTarget).chap.enabled);
  EXPECT_FALSE(CRnPath::Exists(AuthFile(*h, kTarget)));
  // Set, then put back: the undo hands the driver the credentials it set.
  const auto calls = h->Journal("platform.SetTargetAuth");
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(Field(calls[0], "enabled"), "1");
  EXPECT_EQ(Field(calls[1], "enabled"), "0");
  EXPECT_EQ(Field(calls[1], "was"), "alice");
}

TEST_F(TargetAuth, ARestartSetsCredentialsBeforeAnyLunAndADamagedFileKeepsTheTargetDown) {
  ASSERT_EQ(ReplyCode(h->Send(Auth(kTarget, "alice", kSecret))), 0);
  ASSERT_EQ(CreateLun(2), 0);
  h->ClearJournal();
  h->Restart();
  EXPECT_EQ(Model().at(kTarget).chap.user, "alice");
  EXPECT_EQ(Model().at(kTarget).chap.secret, kSecret);
  std::vector<std::string> order;
  for (const std::string& call : Calls(*h))
    if (call == "platform.CreateTarget" || call == "platform.SetTargetAuth" || call == "platform.CreateLun")
      order.push_back(call);
  EXPECT_EQ(order, (std::vector<std::string>{"platform.CreateTarget", "platform.SetTargetAuth", "platform.CreateLun"}));

  // Credentials that cannot be restored: the target is not served at all.
  WriteFile(AuthFile(*h, kTarget), "not a saved request");
  h->ClearJournal();
  h->Restart();
  EXPECT_EQ(Model().count(kTarget), 0u);
  EXPECT_EQ(h->Service().LastReplay().targetsFailed, 1u);
  EXPECT_TRUE(h->Journal("platform.CreateLun").empty());
  EXPECT_EQ(h->Journal("platform.DeleteTarget").size(), 1u) << "taken down again";
  EXPECT_EQ(ReplyCode(h->Send(MakeCreateTarget(kTarget))), 7) << "its name stays taken";
}

}  // namespace
