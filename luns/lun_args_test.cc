// The LUN argument string: the rules ProcessCreateLunArgs enforces, the
// creation time read back from it, the appended option and the "li" option.
#include <gtest/gtest.h>

#include <ctime>

#include "hostlib/log/LogWriter.h"
#include "luns/lun_args.h"
#include "tests/support/hostlib/memory_log_writer.h"

namespace {

class LunArgs : public ::testing::Test {
 protected:
  void SetUp() override {
    log = std::make_shared<CMemoryLogWriter>(6);
    g_ptrLogWriter = log;
  }
  void TearDown() override { g_ptrLogWriter.reset(); }

  // A record as the create handler builds it, with marker values that a
  // failed parse must leave alone.
  static WzScsiSrvLun Record(int32_t lunId) {
    const int64_t marker = 42;
    return WzScsiSrvLun("iqn.x", nullptr, WzScsiServer::BSTOR_BLKDEV, nullptr, nullptr, "OLD", lunId, "/old", 0, 512,
                        524288, false, &marker);
  }

  std::shared_ptr<CMemoryLogWriter> log;
};

TEST_F(LunArgs, ValidStringsFillTheRecord) {
  WzScsiSrvLun lun = Record(-1);
  ASSERT_TRUE(ProcessCreateLunArgs("-ti t1 -path /p -sp AB12", lun).IsSuccess());
  EXPECT_EQ(lun.targetId, "t1");
  EXPECT_EQ(lun.path, "/p");
  EXPECT_EQ(lun.serialPrefix, "AB12");
  EXPECT_EQ(lun.creationTime, 42) << "a new LUN keeps the time it was built with";

  // An empty path with an ssid is accepted and leaves the path empty; an
  // empty prefix passes both prefix rules; 16 characters is the limit.
  lun = Record(-1);
  ASSERT_TRUE(ProcessCreateLunArgs("-ti t1 -path \"\" -ssid s9 -sp \"\"", lun).IsSuccess());
  EXPECT_EQ(lun.path, "");
  EXPECT_EQ(lun.serialPrefix, "");
  EXPECT_TRUE(ProcessCreateLunArgs("-ti t1 -path /p -sp ABCDEFGHIJ123456", lun).IsSuccess());
}

TEST_F(LunArgs, EachRuleFailsWithItsOwnTextAndLeavesTheRecordAlone) {
  struct Case {
    const char* args;
    const char* text;
  } cases[] = {
      {"-path /p -sp AB", "targetid is not set"},
      {"-sp AB", "targetid is not set"},  // ti is looked at first
      {"-ti t1 -sp AB", "BStor path/ssid is not set"},
      {"-ti t1 -path \"\" -sp AB", "BStor path/ssid is not set"},
      {"-ti t1 -path /p", "Lun serial prefix is not set"},
      {"-ti t1 -path /p -sp ABCDEFGHIJ1234567",
       "Lun serial number prefix len exceeding the max length allowed, SerialPrefix=ABCDEFGHIJ1234567, LenAllowed=16"},
      // Length is judged before the characters.
      {"-ti t1 -path /p -sp ab-cdefghij123456",
       "Lun serial number prefix len exceeding the max length allowed, SerialPrefix=ab-cdefghij123456, LenAllowed=16"},
      {"-ti t1 -path /p -sp ab-c", "Lun serial number prefix should be alpha-numeric, SerialPrefix=ab-c"},
      {"-ti t1 -path /p -sp ab\xC3\xA9", "Lun serial number prefix should be alpha-numeric"},
  };
  for (const Case& c : cases) {
    WzScsiSrvLun lun = Record(7);
    CRnError e = ProcessCreateLunArgs(c.args, lun);
    ASSERT_TRUE(e.IsError()) << c.args;
    EXPECT_NE(e.AsString().find(c.text), std::string::npos) << c.args << " -> " << e.AsString();
    EXPECT_EQ(lun.targetId, "iqn.x") << c.args;
    EXPECT_EQ(lun.serialPrefix, "OLD") << c.args;
    EXPECT_EQ(lun.path, "/old") << c.args;
    EXPECT_EQ(lun.creationTime, 42) << c.args;
  }
  WzScsiSrvLun lun = Record(-1);
  EXPECT_EQ(ProcessCreateLunArgs("-ti t1 -path /p -sp a.b", lun).GetCode(),
            HRESULT_FROM_WIN32(ERROR_NOT_FOUND_OR_NOT_ALLOWED));
}

TEST_F(LunArgs, CreationTimeOfARecreatedLunComesFromTheOptionOrFallsBackToNow) {
  WzScsiSrvLun lun = Record(7);
  ASSERT_TRUE(ProcessCreateLunArgs("-ti t1 -path /p -sp A -creationTime 600", lun).IsSuccess());
  EXPECT_EQ(lun.creationTime, 600);
  EXPECT_TRUE(log->Contains("Lun [t1:7] creation time: [1970-01-01T00:10:00Z]"));

  lun = Record(7);
  ASSERT_TRUE(ProcessCreateLunArgs("-ti t1 -path /p -sp A -creationTime 123x", lun).IsSuccess());
  EXPECT_EQ(lun.creationTime, 123);

  for (const char* args : {"-ti t1 -path /p -sp A -creationTime abc", "-ti t1 -path /p -sp A",
                           "-ti t1 -path /p -sp A -creationTime 99999999999999999999"}) {
    log->Clear();
    lun = Record(7);
    const int64_t before = ::time(nullptr);
    ASSERT_TRUE(ProcessCreateLunArgs(args, lun).IsSuccess()) << args;
    EXPECT_GE(lun.creationTime, before) << args;
    EXPECT_LE(lun.creationTime, ::time(nullptr)) << args;
    ASSERT_EQ(log->Texts(-1).size(), 1u) << args;
  }
  EXPECT_NE(log->Texts(-1)[0].find("Exception ["), std::string::npos);
  EXPECT_TRUE(log->Contains("while parsing creation time for lun [t1:7]. Resetting creation time to current time ["));

  log->Clear();
  lun = Record(7);
  ASSERT_TRUE(ProcessCreateLunArgs("-ti t1 -path /p -sp A", lun).IsSuccess());
  EXPECT_TRUE(log->Contains("LUN creation time is not set for lun [t1:7]. Setting it to current time ["));

  // A new LUN ignores the option.
  lun = Record(-1);
  ASSERT_TRUE(ProcessCreateLunArgs("-ti t1 -path /p -sp A -creationTime 600", lun).IsSuccess());
  EXPECT_EQ(lun.creationTime, 42);
}

TEST_F(LunArgs, AppendedOptionsAreReadBack) {
  WzScsiServer::BStoreDesc desc;
  desc.setArgs("-ti t1 -path /p -sp A ");
  SetLunCreationTime(desc, 1700000000);
  EXPECT_EQ(desc.args(), "-ti t1 -path /p -sp A  -creationTime 1700000000");
  SetBstorProperty(desc, kLunCreationTimeArg, "5");
  WzScsiSrvLun lun = Record(3);
  ASSERT_TRUE(ProcessCreateLunArgs(desc.args(), lun).IsSuccess());
  EXPECT_EQ(lun.creationTime, 5) << "the last occurrence wins";
}

TEST(LunIdOption, ParsesDecimalNumbersAndRefusesTheRest) {
  int32_t id = 99;
  ASSERT_TRUE(GetLunId("-li 12", id).IsSuccess());
  EXPECT_EQ(id, 12);
  ASSERT_TRUE(GetLunId("-li 7x", id).IsSuccess());
  EXPECT_EQ(id, 7);
  ASSERT_TRUE(GetLunId("-li -3", id).IsSuccess());
  EXPECT_EQ(id, -3);
  id = 99;
  CRnError missing = GetLunId("-ti t", id);
  EXPECT_NE(missing.AsString().find("No LUN id specified"), std::string::npos);
  for (const char* bad : {"-li x", "-li 2147483648", "-li"}) {
    CRnError e = GetLunId(bad, id);
    ASSERT_TRUE(e.IsError()) << bad;
    EXPECT_EQ(id, 99) << bad;
  }
  EXPECT_EQ(GetLunId("-li x", id).GetText(), "Incorrect LUN id specified.");
}

}  // namespace
