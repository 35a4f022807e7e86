// The service's settings: every value is checked by the one reader, a wrong
// one is refused with the key, the value and the range (never repaired), and
// the table's ranges and defaults agree with what it checks.
#include "service/settings.h"

#include <gtest/gtest.h>

#include <climits>

#include "hostlib/config/WZPlatformInfo.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"

namespace {

class Settings : public ::testing::Test {
 protected:
  Settings() { WZPlatformInfo::SetConfigFile(m_dir.Join("wzscsi.conf")); }
  ~Settings() override { WZPlatformInfo::SetConfigFile(""); }

  void Write(const std::string& lines) { CRnTempDirForTest::WriteText(m_dir.Join("wzscsi.conf"), lines); }

  CRnTempDirForTest m_dir;
};

const WzScsiSrvSettingDef& Def(const std::string& key) {
  for (const WzScsiSrvSettingDef& def : WzScsiSrvSettingsTable())
    if (key == def.key) return def;
  throw std::runtime_error("no setting " + key);
}

TEST_F(Settings, EveryValueIsCheckedAndAWrongOneNamesTheKeyTheValueAndTheRange) {
  struct Row {
    const char* key;
    const char* value;
    const char* stored;   // what the field holds after a good value
    const char* refusal;  // the reason after "is "value", " of a wrong one
  } rows[] = {
      // Once repaired to 32 without a word.
      {"nMaxWorkerThreads", "0", nullptr, "not a number from 1 to 1024"},
      {"nMaxWorkerThreads", "1025", nullptr, "not a number from 1 to 1024"},
      {"nMaxWorkerThreads", "8x", nullptr, "not a number from 1 to 1024"},
      {"nMaxWorkerThreads", "", nullptr, "not a number from 1 to 1024"},
      {"nMaxWorkerThreads", "-1", nullptr, "not a number from 1 to 1024"},
      {"nMaxWorkerThreads", "1024", "1024", nullptr},
      // Once repaired to 2000 below 100, clipped to 60000 above.
      {"ClusterRequestTimeoutMs", "50", nullptr, "not a number from 100 to 60000"},
      {"ClusterRequestTimeoutMs", "60001", nullptr, "not a number from 100 to 60000"},
      {"ClusterRequestTimeoutMs", "100", "100", nullptr},
      // Once cut to its low 32 bits (0 here).
      {"nWzScsiSrvInactivityTimeOutInSecs", "4294967296", nullptr, "not a number from 0 to 2147483647"},
      {"nWzScsiSrvInactivityTimeOutInSecs", "0", "0", nullptr},
      // Once raised to 10.
      {"nEngineWatchPollMs", "5", nullptr, "not a number from 10 to 2147483647"},
      {"nStopTimeoutSecs", "0", "0", nullptr},
      {"nEngineCheckIntervalSecs", "99999999999999999999", nullptr, "not a number from 0 to 2147483647"},
      {"EngineCheckRepairs", "No", "no", nullptr},
      {"EngineCheckRepairs", "sometimes", nullptr, "not one of yes, no"},
      {"sScsiEngine", " LIO ", "lio", nullptr},
      {"sScsiEngine", "", "auto", nullptr},
      {"sScsiEngine", "iscsi", nullptr, "not one of lio, tgt, auto"},
      // Once found only by the replay, which then replayed nothing.
      {"sPreInitializeTargets", "iqn.a, iqn.b c", nullptr,
       "not a comma-separated list: an item holds a blank or a control character"},
      {"sPreInitializeTargets", "iqn.x ,IQN.Y,, iqn.x", "iqn.x ,IQN.Y,, iqn.x", nullptr},
      {"BackingStoreDirs", "/srv/disks,/dev/sd b", nullptr,
       "not a comma-separated list: an item holds a blank or a control character"},
      {"ClusterEndpoints", "http://10.0.0.1:2379, http://10.0.0.2:2379", "http://10.0.0.1:2379, http://10.0.0.2:2379",
       nullptr},
      {"sScsiSrvStagingLoc", "", "", nullptr},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.key) + "=" + r.value);
    Write(std::string("[Quellport]\nClusterName=gw\n") + r.key + "=" + r.value + "\n");
    WzScsiSrvSettings settings;
    settings.maxWorkerThreads = 5;  // what the caller held before
    CRnError e = WzScsiSrvReadSettings(settings);
    if (r.refusal != nullptr) {
      ASSERT_TRUE(e.IsError());
      EXPECT_EQ(e.GetCode(), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
      EXPECT_EQ(e.AsString(),
                std::string("setting ") + r.key + " of section Quellport is \"" + r.value + "\", " + r.refusal);
      EXPECT_EQ(settings.maxWorkerThreads, 5) << "a refused read changes nothing";
    } else {
      ASSERT_TRUE(e.IsSuccess()) << e.AsString();
      EXPECT_EQ(Def(r.key).Show(settings), r.stored);
      EXPECT_TRUE(settings.Given(r.key));
      EXPECT_EQ(settings.clusterName, "gw");
    }
  }
}

TEST_F(Settings, MissingKeysKeepTheirDefaultsAndAnUnreadableFileIsRefused) {
  Write("[Quellport]\nWzScsiSrvInUse=Y\n[wzscsid]\nnMaxWorkerThreads=0\n");
  WzScsiSrvSettings settings;
  settings.maxWorkerThreads = 5;
  ASSERT_TRUE(WzScsiSrvReadSettings(settings).IsSuccess());
  EXPECT_EQ(settings.maxWorkerThreads, 32) << "another section's key is not the service's";
  EXPECT_TRUE(settings.given.empty());
  for (const WzScsiSrvSettingDef& def : WzScsiSrvSettingsTable())
    EXPECT_EQ(def.Show(settings), def.Show(WzScsiSrvSettings())) << def.key;

  Write("[Quellport]\nthis line has no equals sign\n");
  CRnError e = WzScsiSrvReadSettings(settings);
  ASSERT_TRUE(e.IsError());
  EXPECT_EQ(e.AsString().rfind("cannot read setting nWzScsiSrvInactivityTimeOutInSecs of section Quellport: ", 0), 0u)
      << e.AsString();
}

// The range the docs show is the one checked, it fits the field, and every
// default is a value its own check accepts.
TEST(SettingsTable, RangesAreTheOnesCheckedAndDefaultsLieInThem) {
  for (const WzScsiSrvSettingDef& def : WzScsiSrvSettingsTable()) {
    SCOPED_TRACE(def.key);
    WzScsiSrvSettings s;
    EXPECT_TRUE(def.Apply(s, def.Show(WzScsiSrvSettings())).IsSuccess()) << "the default " << def.Show(s);
    EXPECT_NE(std::string(def.doc), "");
    if (def.type != WzScsiSrvSettingDef::NUMBER) {
      EXPECT_NE(def.Values(), "");
      continue;
    }
    EXPECT_LE(def.hi, INT_MAX);
    EXPECT_TRUE(def.Apply(s, std::to_string(def.lo)).IsSuccess());
    EXPECT_EQ(def.Show(s), std::to_string(def.lo));
    EXPECT_TRUE(def.Apply(s, std::to_string(def.hi)).IsSuccess());
    EXPECT_EQ(def.Show(s), std::to_string(def.hi));
    EXPECT_TRUE(def.Apply(s, std::to_string(def.lo - 1)).IsError());
    EXPECT_TRUE(def.Apply(s, std::to_string(def.hi + 1)).IsError());
    EXPECT_EQ(def.Show(s), std::to_string(def.hi)) << "a refused value is not stored";
  }
}

}  // namespace
