#include "hostlib/config/WZPlatformInfo.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "tests/support/hostlib/rn_test_temp_dir.h"

namespace {

constexpr uint32_t kMissing = HRESULT_FROM_WIN32(ERROR_NOT_FOUND_OR_NOT_ALLOWED);
constexpr uint32_t kInvalid = HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER);

class WZPlatformInfoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = tmp.Join("wzscsi.ini");
    WZPlatformInfo::SetConfigFile(path);
  }
  void TearDown() override {
    WZPlatformInfo::SetConfigFile("");
    WZPlatformInfo::SetAdminConfigFile("");
  }

  CRnError Set(const std::string& section, const std::string& key, const std::string& value) {
    return WZPlatformInfo::setString(section, key, value.data(), value.size());
  }
  std::string Get(const std::string& section, const std::string& key) {
    std::string out = "<untouched>";
    CRnError err = WZPlatformInfo::getString(section, key, out);
    return err ? "<error " + std::to_string(err.GetCode()) + ">" : out;
  }
  std::string FileText() { return CRnTempDirForTest::ReadText(path); }

  CRnTempDirForTest tmp;
  std::string path;
};

TEST_F(WZPlatformInfoTest, MissingFileReadsAsEmptyStore) {
  std::string out = "keep";
  EXPECT_EQ(WZPlatformInfo::getString("Quellport", "sScsiSrvStagingLoc", out).GetCode(), kMissing);
  EXPECT_EQ(out, "keep");
  uint64_t n = 7;
  EXPECT_EQ(WZPlatformInfo::getNumber("Quellport", "nWzScsiSrvInactivityTimeOutInSecs", n).GetCode(), kMissing);
  EXPECT_EQ(n, 7u);
  EXPECT_FALSE(CRnPath::Exists(path));  // reads never create it
}

TEST_F(WZPlatformInfoTest, SetThenGetAndTheValueLength) {
  ASSERT_FALSE(WZPlatformInfo::setString("Quellport", "WzScsiSrvInUse", "Yes", 1));
  EXPECT_EQ(Get("Quellport", "WzScsiSrvInUse"), "Y");
  // A terminator counted in the length is not stored.
  ASSERT_FALSE(WZPlatformInfo::setString("Quellport", "WzScsiSrvInUse", "N", 2));
  EXPECT_EQ(Get("Quellport", "WzScsiSrvInUse"), "N");
  ASSERT_FALSE(Set("Quellport", "sPreInitializeTargets", ""));
  EXPECT_EQ(Get("Quellport", "sPreInitializeTargets"), "");
  EXPECT_EQ(Get("Other", "WzScsiSrvInUse"), "<error " + std::to_string(kMissing) + ">");
  // Names holding dots are plain names, not paths.
  ASSERT_FALSE(Set("a.b", "c.d", "dots"));
  EXPECT_EQ(Get("a.b", "c.d"), "dots");
  EXPECT_EQ(CRnTempDirForTest::List(tmp.Path()), std::vector<std::string>{"wzscsi.ini"});
}

TEST_F(WZPlatformInfoTest, WritesKeepOtherSectionsKeysAndPermissions) {
  CRnTempDirForTest::WriteText(path,
                               "[Host]\nlogLevel = 2\n\n[Quellport]\nsScsiSrvStagingLoc=/srv/stage\n"
                               "nWzScsiSrvInactivityTimeOutInSecs=0\n[Drivers]\ndir=/opt/wz\n");
  chmod(path.c_str(), 0600);
  ASSERT_FALSE(Set("Quellport", "WzScsiSrvInUse", "Y"));
  ASSERT_FALSE(Set("Quellport", "sScsiSrvStagingLoc", "/srv/other"));
  ASSERT_FALSE(Set("New", "k", "v"));
  EXPECT_EQ(Get("Host", "logLevel"), "2");
  EXPECT_EQ(Get("Drivers", "dir"), "/opt/wz");
  EXPECT_EQ(Get("Quellport", "sScsiSrvStagingLoc"), "/srv/other");
  EXPECT_EQ(Get("Quellport", "WzScsiSrvInUse"), "Y");
  EXPECT_EQ(Get("New", "k"), "v");
  uint64_t n = 99;
  ASSERT_FALSE(WZPlatformInfo::getNumber("Quellport", "nWzScsiSrvInactivityTimeOutInSecs", n));
  EXPECT_EQ(n, 0u);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  // Section order is kept.
  std::string text = FileText();
  EXPECT_LT(text.find("[Host]"), text.find("[Quellport]"));
  EXPECT_LT(text.find("[Quellport]"), text.find("[Drivers]"));
}

TEST_F(WZPlatformInfoTest, EveryReadSeesTheFileAsItIsNow) {
  CRnTempDirForTest::WriteText(path, "[Quellport]\nnWzScsiSrvInactivityTimeOutInSecs=600\n");
  uint64_t n = 0;
  ASSERT_FALSE(WZPlatformInfo::getNumber("Quellport", "nWzScsiSrvInactivityTimeOutInSecs", n));
  EXPECT_EQ(n, 600u);
  CRnTempDirForTest::WriteText(path, "[Quellport]\nnWzScsiSrvInactivityTimeOutInSecs=18446744073709551615\n");
  ASSERT_FALSE(WZPlatformInfo::getNumber("Quellport", "nWzScsiSrvInactivityTimeOutInSecs", n));
  EXPECT_EQ(n, UINT64_MAX);
}

TEST_F(WZPlatformInfoTest, NumbersMustBeUnsignedDecimal) {
  for (const char* bad : {"-1", "12a", "0x10", "+5", "1.5", "", "18446744073709551616"}) {
    ASSERT_FALSE(Set("Quellport", "n", bad));
    uint64_t n = 3;
    EXPECT_EQ(WZPlatformInfo::getNumber("Quellport", "n", n).GetCode(), kInvalid) << bad;
    EXPECT_EQ(n, 3u);
  }
}

TEST_F(WZPlatformInfoTest, MalformedFileFailsReadsAndIsNeverOverwritten) {
  const std::string broken = "[Quellport]\nWzScsiSrvInUse=Y\nthis line has no equals sign\n";
  CRnTempDirForTest::WriteText(path, broken);
  std::string out;
  CRnError err = WZPlatformInfo::getString("Quellport", "WzScsiSrvInUse", out);
  ASSERT_TRUE(err);
  EXPECT_EQ(err.GetCode(), kInvalid);
  EXPECT_NE(err.AsString().find(path), std::string::npos) << err.AsString();
  EXPECT_NE(err.AsString().find("malformed"), std::string::npos) << err.AsString();
  EXPECT_TRUE(Set("Quellport", "WzScsiSrvInUse", "Y"));
  EXPECT_EQ(FileText(), broken);

  // Duplicate keys are malformed too: which one would win is unclear.
  CRnTempDirForTest::WriteText(path, "[Quellport]\nk=1\nk=2\n");
  EXPECT_EQ(Get("Quellport", "k"), "<error " + std::to_string(kInvalid) + ">");
}

// The administrator's file wins on reads, is never written (its comments
// and bytes stay as shipped), and a broken one stops every read.
TEST_F(WZPlatformInfoTest, AdminFileLiesOverTheStoreAndIsNeverWritten) {
  const std::string admin = tmp.Join("admin.conf");
  const std::string adminText =
      "# shipped defaults\n[Quellport]\n;sScsiSrvStagingLoc=/var/lib/wzscsi/jobresults\n"
      "nWzScsiSrvInactivityTimeOutInSecs=60\n[WzScsiSrvLio]\nTgtdPortal=127.0.0.1:3260\n";
  CRnTempDirForTest::WriteText(admin, adminText);
  CRnTempDirForTest::WriteText(path, "[Quellport]\nnWzScsiSrvInactivityTimeOutInSecs=5\nsScsiSrvStagingLoc=/srv\n");
  WZPlatformInfo::SetAdminConfigFile(admin);

  EXPECT_EQ(Get("Quellport", "nWzScsiSrvInactivityTimeOutInSecs"), "60");  // the administrator's
  EXPECT_EQ(Get("Quellport", "sScsiSrvStagingLoc"), "/srv");               // commented out there
  EXPECT_EQ(Get("WzScsiSrvLio", "TgtdPortal"), "127.0.0.1:3260");
  ASSERT_FALSE(Set("Quellport", "WzScsiSrvInUse", "Y"));
  ASSERT_FALSE(Set("WzScsiSrvLio", "TgtdPortal", "10.0.0.1:3260"));
  EXPECT_EQ(Get("Quellport", "WzScsiSrvInUse"), "Y");
  EXPECT_EQ(Get("WzScsiSrvLio", "TgtdPortal"), "127.0.0.1:3260");
  EXPECT_EQ(CRnTempDirForTest::ReadText(admin), adminText);
  EXPECT_NE(FileText().find("WzScsiSrvInUse=Y"), std::string::npos);

  CRnTempDirForTest::WriteText(admin, "[Quellport]\nnot a setting\n");
  std::string out;
  CRnError err = WZPlatformInfo::getString("Quellport", "WzScsiSrvInUse", out);
  EXPECT_EQ(err.GetCode(), kInvalid);
  EXPECT_NE(err.AsString().find(admin), std::string::npos) << err.AsString();
}

TEST_F(WZPlatformInfoTest, NamesAndValuesThatDoNotFitAreRefused) {
  ASSERT_FALSE(Set("Quellport", "k", "v"));
  const std::string before = FileText();
  EXPECT_EQ(Set("Quellport", "k", "two\nlines").GetCode(), kInvalid);
  EXPECT_EQ(Set("Quellport", "k=x", "v").GetCode(), kInvalid);
  EXPECT_EQ(Set("Quell]port", "k", "v").GetCode(), kInvalid);
  EXPECT_EQ(Set("", "k", "v").GetCode(), kInvalid);
  EXPECT_EQ(Set("Quellport", "", "v").GetCode(), kInvalid);
  EXPECT_EQ(Set("Quellport", ";k", "v").GetCode(), kInvalid);
  EXPECT_EQ(WZPlatformInfo::setString("Quellport", "k", nullptr, 3).GetCode(), kInvalid);
  EXPECT_EQ(FileText(), before);
  WZPlatformInfo::SetConfigFile("");
  EXPECT_EQ(Set("Quellport", "k", "v").GetCode(), kInvalid);
}

// A failing write leaves the old file whole.
class FailingRename : public IRnFileSystem {
 public:
  int Rename(const char*, const char*) override {
    errno = EIO;
    return -1;
  }
};

TEST_F(WZPlatformInfoTest, FailedWriteKeepsTheOldFile) {
  ASSERT_FALSE(Set("Quellport", "k", "old"));
  FailingRename fs;
  CRnError err;
  {
    CRnFileSystemForTest guard(&fs);
    err = Set("Quellport", "k", "new");
  }
  ASSERT_TRUE(err);
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_ERRNO(EIO));
  EXPECT_EQ(Get("Quellport", "k"), "old");
  EXPECT_EQ(CRnTempDirForTest::List(tmp.Path()), std::vector<std::string>{"wzscsi.ini"});
}

TEST_F(WZPlatformInfoTest, ConcurrentWritersLoseNoKey) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([this, t] {
      for (int i = 0; i < 20; ++i)
        EXPECT_FALSE(Set("S" + std::to_string(t), "k" + std::to_string(i), std::to_string(t * 100 + i)));
    });
  for (std::thread& th : threads) th.join();
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 20; ++i)
      EXPECT_EQ(Get("S" + std::to_string(t), "k" + std::to_string(i)), std::to_string(t * 100 + i));
}

TEST(WZPI_CommClientTest, JobResultsUnderTheStateDirectory) {
  EXPECT_EQ(WZPI_CommClient::getJobResultsDirectory(WZPlatformInfo::getPhysicalMachine()),
            "/var/lib/wzscsi/jobresults");
  WZPI_CommClient::SetStateDirectory("/srv/wz/");
  // The machine name does not move the directory.
  EXPECT_EQ(WZPI_CommClient::getJobResultsDirectory("other-host"), "/srv/wz/jobresults");
  WZPI_CommClient::SetStateDirectory("");
  EXPECT_EQ(WZPI_CommClient::GetStateDirectory(), "/var/lib/wzscsi");
  EXPECT_FALSE(WZPlatformInfo::getPhysicalMachine().empty());
}

}  // namespace
