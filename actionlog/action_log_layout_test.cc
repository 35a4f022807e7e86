// The action log's names are a stored format: these pin them.
#include "actionlog/action_log_layout.h"

#include <gtest/gtest.h>

#include "hostlib/util/WzScsiUtils.h"

namespace Layout = WzScsiSrvActionLog;

namespace {

std::string Id(const std::string& name) {
  std::string id;
  EXPECT_TRUE(GetGUID(name.data(), static_cast<int>(name.size()), id).IsSuccess());
  return id;
}

TEST(ActionLogLayout, NamesNeverChange) {
  const std::string t = Id("iqn.t");
  EXPECT_EQ(Layout::TargetsDir("/r"), "/r/Targets");
  EXPECT_EQ(Layout::TargetDirName("iqn.t"), t);
  EXPECT_EQ(Layout::TargetDir("/r", "iqn.t"), "/r/Targets/" + t);
  EXPECT_EQ(Layout::TargetFile("/r/Targets/" + t), "/r/Targets/" + t + "/" + t + ".wzf");
  EXPECT_EQ(Layout::AuthFile("/d"), "/d/Auth.wzf");
  EXPECT_EQ(Layout::LunsDir("/d"), "/d/Luns");
  EXPECT_EQ(Layout::MappingsDir("/d"), "/d/Mappings");
  EXPECT_EQ(Layout::LunFile("/d", 7), "/d/Luns/0007.wzf");
  EXPECT_EQ(Layout::LunFileName(12345), "12345.wzf");
  EXPECT_EQ(Layout::MappingFile("/d", "Host1", 3), "/d/Mappings/" + Id("Host1") + "_0003.wzf");
  // Host ids keep their case: two hosts, two files.
  EXPECT_NE(Layout::MappingFileName("Host1", 3), Layout::MappingFileName("host1", 3));
  // The name id under this system's fixed namespace (UUIDv5).
  EXPECT_EQ(t.size(), 36u);
}

TEST(ActionLogLayout, ParsesOnlyItsOwnNames) {
  int32_t lun = -1;
  EXPECT_TRUE(Layout::ParseLunFileName("0007.wzf", lun));
  EXPECT_EQ(lun, 7);
  EXPECT_TRUE(Layout::ParseLunFileName("12345.WZF", lun));
  EXPECT_EQ(lun, 12345);
  for (const char* bad :
       {"notes.wzf", "7x.wzf", ".wzf", "0007.wzf.bak", "0007", "99999999999.wzf", ".wztmp-0007.wzf.1", "-001.wzf"})
    EXPECT_FALSE(Layout::ParseLunFileName(bad, lun)) << bad;

  std::string host;
  const std::string name = Layout::MappingFileName("Host1", 3);
  ASSERT_TRUE(Layout::ParseMappingFileName(name, host, lun));
  EXPECT_EQ(host, Id("Host1"));
  EXPECT_EQ(lun, 3);
  for (const char* bad : {"_0003.wzf", "h_x.wzf", "h0003.wzf", "h_0003.txt"})
    EXPECT_FALSE(Layout::ParseMappingFileName(bad, host, lun)) << bad;

  EXPECT_TRUE(Layout::IsSavedRequestName("a.WZF"));
  EXPECT_FALSE(Layout::IsSavedRequestName(".wztmp-a.wzf.1"));
  EXPECT_FALSE(Layout::IsSavedRequestName("a.wzf.del"));
  EXPECT_TRUE(Layout::IsTemporaryName(".wztmp-a.wzf.del"));
}

}  // namespace
