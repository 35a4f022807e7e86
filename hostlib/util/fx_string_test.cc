#include "hostlib/util/FXString.h"

#include <gtest/gtest.h>

namespace {

TEST(FXStringTest, FormatHandlesLongResults) {
  EXPECT_EQ(FXString::Format("%s%c%04d", "/r/Sub", '/', 7), "/r/Sub/0007");
  EXPECT_EQ(FXString::Format("%s%c%04d", "/r/Sub", '/', 12345), "/r/Sub/12345");
  std::string big(1000, 'a');
  EXPECT_EQ(FXString::Format("<%s>", big.c_str()), "<" + big + ">");
}

TEST(FXStringTest, CaseInsensitiveOperationsAreAsciiOnly) {
  EXPECT_EQ(FXString::CompareNoCase("IQN.A", "iqn.a"), 0);
  EXPECT_LT(FXString::CompareNoCase("abc", "ABD"), 0);
  EXPECT_GT(FXString::CompareNoCase("abcd", "ABC"), 0);
  EXPECT_LT(FXString::CompareNoCase("", "a"), 0);
  // Bytes above 0x7f compare by value and are never folded.
  EXPECT_NE(FXString::CompareNoCase("\xc3\x84", "\xc3\xa4"), 0);
  EXPECT_EQ(FXString::ToLowerAscii("IQN.2024-01.COM:T\xc3\x84"), "iqn.2024-01.com:t\xc3\x84");

  EXPECT_EQ(FXString::FindString("/r/Sub/0007.XML", ".xml", true), 11u);
  EXPECT_EQ(FXString::FindString("/r/Sub/0007.XML", ".xml", false), std::string::npos);
  EXPECT_EQ(FXString::FindString("a.xml.xml", ".XML", true), 1u);
  EXPECT_EQ(FXString::FindString("short", ".xml", true), std::string::npos);
  EXPECT_EQ(FXString::FindString("", "", true), 0u);
}

}  // namespace
