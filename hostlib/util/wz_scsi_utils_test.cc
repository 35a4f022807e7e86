#include "hostlib/util/WzScsiUtils.h"

#include <gtest/gtest.h>

#include <set>

namespace {

std::string Guid(const std::string& name) {
  std::string out;
  EXPECT_FALSE(GetGUID(name.data(), static_cast<int>(name.size()), out));
  return out;
}

// These values name directories already on disk: if this test fails, saved
// configurations would no longer be found. Computed independently as
// RFC 4122 version-5 UUIDs under 1231974e-aae6-43e3-958d-c39824607745.
TEST(GetGUIDTest, IdentifiersNeverChange) {
  EXPECT_EQ(Guid("iqn.a"), "12a50da2-38a0-5ca3-88d6-4d85b4b0693b");
  EXPECT_EQ(Guid("iqn.2024-01.com.example:t1"), "574d40cc-0d2b-5bec-9b8e-8b5946a747b2");
  EXPECT_EQ(Guid("IQN.A"), "60b1220b-2ae2-57c0-b523-a48fd210f270");
  EXPECT_EQ(Guid(""), "f4f51b61-e28d-5df7-8750-1658ce83c7fd");
}

TEST(GetGUIDTest, UsesExactlyTheGivenBytes) {
  std::string withNul("ab\0cd", 5);
  std::string out;
  ASSERT_FALSE(GetGUID(withNul.data(), 2, out));
  EXPECT_EQ(out, Guid("ab"));
  ASSERT_FALSE(GetGUID(withNul.data(), 5, out));
  EXPECT_NE(out, Guid("ab"));
  std::set<std::string> distinct;
  for (const char* n : {"host", "Host", "HOST", "host ", "hos"}) {
    std::string id = Guid(n);
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(id.find('/'), std::string::npos);
    distinct.insert(id);
  }
  EXPECT_EQ(distinct.size(), 5u);
  out = "untouched";
  EXPECT_EQ(GetGUID("x", -1, out).GetCode(), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(GetGUID(nullptr, 3, out).GetCode(), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(out, "untouched");
}

TEST(CommaSeparatedValuesTest, TrimsAndDropsEmptyItems) {
  std::vector<std::string> out{"old"};
  ASSERT_FALSE(WzScsiUtils::GetCommaSeperatedValues(" iqn.a, iqn.b ,,\tiqn.c\t, ", out));
  EXPECT_EQ(out, (std::vector<std::string>{"iqn.a", "iqn.b", "iqn.c"}));
  ASSERT_FALSE(WzScsiUtils::GetCommaSeperatedValues("", out));
  EXPECT_TRUE(out.empty());
  ASSERT_FALSE(WzScsiUtils::GetCommaSeperatedValues("single", out));
  EXPECT_EQ(out, std::vector<std::string>{"single"});
}

TEST(CommaSeparatedValuesTest, RefusesNamesNoTargetCanHave) {
  for (const char* bad : {"iqn.a, iqn b",
                          "iqn.a,iqn\x01"
                          "b",
                          "iqn\x7f"}) {
    std::vector<std::string> out{"old"};
    CRnError err = WzScsiUtils::GetCommaSeperatedValues(bad, out);
    EXPECT_EQ(err.GetCode(), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER)) << bad;
    EXPECT_EQ(out, std::vector<std::string>{"old"});
  }
}

}  // namespace
