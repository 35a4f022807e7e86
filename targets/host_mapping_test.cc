// MapLun2Host / UnMapLun2Host: exact-case host ids, the LUN number in the
// low 32 bits, codes and texts, what the driver receives, what is saved.
#include <gtest/gtest.h>

#include "tests/support/service_lun_support.h"

using namespace wztest;
using namespace wzluntest;

namespace {

class HostMapping : public LunFixture {
 protected:
  void SetUp() override {
    LunFixture::SetUp();
    ASSERT_EQ(CreateLun(2), 0);
    ASSERT_EQ(CreateLun(2), 1);
    h->ClearJournal();
  }
};

TEST_F(HostMapping, HostIdsKeepTheirCaseAndTheLunNumberIsTheLow32Bits) {
  EXPECT_EQ(ReplyCode(h->Send(MakeMap("IQN.2020-01.TEST:Luns", (int64_t{1} << 32) + 1, "Host1"))), 0);
  EXPECT_EQ(ReplyCode(h->Send(MakeMap(kTarget, 1, "host1"))), 0);
  EXPECT_EQ(
      h->Journal("platform.MapHost"),
      (std::vector<std::string>{
          "platform.MapHost targetId=iqn.2020-01.test:luns lunId=1 hostId=Host1 hostDesc= openOnly=0 closeOnly=0",
          "platform.MapHost targetId=iqn.2020-01.test:luns lunId=1 hostId=host1 hostDesc= openOnly=0 closeOnly=0"}));
  const auto hosts = Model().at(kTarget).luns.at(1).hosts;
  ASSERT_EQ(hosts.size(), 2u);
  EXPECT_EQ(hosts.at("Host1").hostId, "Host1");
  EXPECT_EQ(hosts.at("Host1").hostDesc, "");

  // Saved per host as sent, under the lower-case target; the request keeps
  // the lower-case name.
  WzScsiServer::MapLun2Host saved;
  ASSERT_EQ(saved.readXmlFromString(ReadFile(MappingFile(*h, kTarget, "Host1", 1))), 0);
  EXPECT_EQ(saved.targetId(), kTarget);
  EXPECT_TRUE(CRnPath::Exists(MappingFile(*h, kTarget, "host1", 1)));

  auto wrongCase = h->Send(MakeUnMap(kTarget, 1, "HOST1"));
  EXPECT_EQ(ReplyCode(wrongCase), 8);
  EXPECT_EQ(ReplyText(wrongCase), "Host is not mapped to the lun");

  EXPECT_EQ(ReplyCode(h->Send(MakeUnMap(kTarget, 1, "Host1"))), 0);
  EXPECT_EQ(Field(h->Journal("platform.UnMapHost")[0], "hostId"), "Host1");
  EXPECT_FALSE(CRnPath::Exists(MappingFile(*h, kTarget, "Host1", 1)));
  EXPECT_TRUE(CRnPath::Exists(MappingFile(*h, kTarget, "host1", 1)));
  EXPECT_EQ(Model().at(kTarget).luns.at(1).hosts.count("host1"), 1u);
}

TEST_F(HostMapping, SecondMapIsRefusedWithTheCodeReplayRecognises) {
  ASSERT_EQ(ReplyCode(h->Send(MakeMap(kTarget, 0, "h"))), 0);
  auto again = h->Send(MakeMap(kTarget, 0, "h"));
  EXPECT_EQ(ReplyCode(again), 8);
  EXPECT_EQ(ReplyText(again), "Host is already mapped to the lun");
  EXPECT_EQ(h->Journal("platform.MapHost").size(), 1u);

  auto replayed = MakeMap(kTarget, 0, "h");
  EXPECT_EQ(h->Service().MapHost(nullptr, replayed.get()).GetCode(), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));
  auto missing = MakeMap(kTarget, 9, "h");
  EXPECT_EQ(h->Service().MapHost(nullptr, missing.get()).GetCode(), HRESULT_FROM_WIN32(ERROR_NOT_FOUND_OR_NOT_ALLOWED));
}

TEST_F(HostMapping, LookupsFailInTheOrderTargetLunHost) {
  struct Case {
    bool map;
    const char* target;
    int64_t lun;
    const char* text;
  } cases[] = {
      {true, "iqn.2020-01.test:none", 9, "Target doesn't exist!"},  {true, kTarget, 9, "Lun doesn't exist!"},
      {false, "iqn.2020-01.test:none", 9, "Target doesn't exist!"}, {false, kTarget, 9, "Lun doesn't exist!"},
      {false, kTarget, 0, "Host is not mapped to the lun"},
  };
  const auto tree = Tree();
  for (const Case& c : cases) {
    auto reply = c.map ? h->Send(MakeMap(c.target, c.lun, "h")) : h->Send(MakeUnMap(c.target, c.lun, "h"));
    EXPECT_EQ(ReplyCode(reply), 8) << c.text;
    EXPECT_EQ(ReplyText(reply), c.text);
  }
  EXPECT_TRUE(h->Journal().empty());
  EXPECT_EQ(Tree(), tree);
}

TEST_F(HostMapping, DriverFailuresLeaveTheModelAndTheLog) {
  h->SetFaults({"platform.MapHost"});
  auto mapped = h->Send(MakeMap(kTarget, 0, "h"));
  EXPECT_EQ(ReplyCode(mapped), 2);
  EXPECT_EQ(ReplyText(mapped), "Platform MapHost failed");
  auto direct = MakeMap(kTarget, 0, "h");
  EXPECT_EQ(h->Service().MapHost(nullptr, direct.get()).GetText(), "Platform MapHost failed");
  EXPECT_TRUE(Model().at(kTarget).luns.at(0).hosts.empty());
  EXPECT_FALSE(CRnPath::Exists(MappingFile(*h, kTarget, "h", 0)));

  h->SetFaults({});
  ASSERT_EQ(ReplyCode(h->Send(MakeMap(kTarget, 0, "h"))), 0);
  h->SetFaults({"platform.UnMapHost"});
  auto unmapped = h->Send(MakeUnMap(kTarget, 0, "h"));
  EXPECT_EQ(ReplyCode(unmapped), 2);
  EXPECT_EQ(ReplyText(unmapped), "Platform UnMapHost Failed");
  EXPECT_EQ(Model().at(kTarget).luns.at(0).hosts.size(), 1u);
  EXPECT_TRUE(CRnPath::Exists(MappingFile(*h, kTarget, "h", 0)));
  // Without a client, the unmap is one the configuration of record made
  // already (another gateway's): the grant leaves the model even though the
  // engine refused, and the caller retries the engine step.
  auto directUnmap = MakeUnMap(kTarget, 0, "h");
  EXPECT_EQ(h->Service().UnMapHost(nullptr, directUnmap.get()).GetText(), "injected fault: platform.UnMapHost");
  EXPECT_TRUE(Model().at(kTarget).luns.at(0).hosts.empty());
  h->SetFaults({});
}

}  // namespace
