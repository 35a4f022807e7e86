#include "hostlib/util/CCommandLineArguments.h"

#include <gtest/gtest.h>

namespace {

std::string Get(const CCommandLineArguments& args, const std::string& name) {
  std::string value = "<unset>";
  CRnError err = args.GetOption(name, value);
  if (err) return "<error " + std::to_string(err.GetCode()) + ">";
  return value;
}

const std::string kMissing = "<error " + std::to_string(HRESULT_FROM_WIN32(ERROR_BAD_ARGUMENTS)) + ">";

TEST(CommandLineArgumentsTest, StringsTheServiceWrites) {
  CCommandLineArguments basic(" -ti t1 -path /p -sp AB12");
  EXPECT_EQ(Get(basic, "ti"), "t1");
  EXPECT_EQ(Get(basic, "path"), "/p");
  EXPECT_EQ(Get(basic, "sp"), "AB12");
  EXPECT_EQ(Get(basic, "ssid"), kMissing);
  EXPECT_EQ(basic.Options().size(), 3u);

  CCommandLineArguments stamped(" -ti t1 -path /p -sp AB12 -creationTime 600");
  EXPECT_EQ(Get(stamped, "creationTime"), "600");

  // Arguments ending in a blank, then the appended option: two blanks.
  CCommandLineArguments twoBlanks("-ti t1 -path /p -sp AB12  -creationTime 5");
  EXPECT_EQ(Get(twoBlanks, "sp"), "AB12");
  EXPECT_EQ(Get(twoBlanks, "creationTime"), "5");

  // Playback's value-less flags, followed by nothing or by another option.
  CCommandLineArguments replay(" -ti t1 -ssid s9 -sp X -creationTime 5 -usesnapinfocache  -playback ");
  EXPECT_EQ(Get(replay, "usesnapinfocache"), "");
  EXPECT_EQ(Get(replay, "playback"), "");
  EXPECT_TRUE(replay.HasOption("playback"));
  EXPECT_EQ(Get(replay, "creationTime"), "5");
  EXPECT_EQ(Get(replay, "ssid"), "s9");
}

TEST(CommandLineArgumentsTest, ValuesThatLookLikeOptions) {
  // A dash followed by a digit is a value.
  CCommandLineArguments negative(" -ti t1 -li -5 -sp AB");
  EXPECT_EQ(Get(negative, "li"), "-5");
  EXPECT_EQ(Get(negative, "sp"), "AB");
  // A dash followed by a letter starts the next option: -path is a flag.
  CCommandLineArguments flag(" -path -ssid s1");
  EXPECT_EQ(Get(flag, "path"), "");
  EXPECT_EQ(Get(flag, "ssid"), "s1");
  // A quoted dash is a value.
  CCommandLineArguments quoted(" -path \"-x\"");
  EXPECT_EQ(Get(quoted, "path"), "-x");
}

TEST(CommandLineArgumentsTest, QuotingAndEscapes) {
  CCommandLineArguments args(" -path \"/a b/c\" -note \"say \\\"hi\\\" \\\\ end\" -empty \"\" -win C:\\dir\t-tab\tv");
  EXPECT_EQ(Get(args, "path"), "/a b/c");
  EXPECT_EQ(Get(args, "note"), "say \"hi\" \\ end");
  EXPECT_EQ(Get(args, "empty"), "");
  EXPECT_EQ(Get(args, "win"), "C:\\dir");  // backslashes outside quotes are plain
  EXPECT_EQ(Get(args, "tab"), "v");
  // What Quote writes reads back whole, and plain values stay plain.
  for (const std::string value : {"", "-x", "/a b", "say \"hi\"", "C:\\dir", "tab\there", "plain", "-5"}) {
    const std::string text = " -v " + CCommandLineArguments::Quote(value) + " -next n";
    CCommandLineArguments written(text.c_str());
    EXPECT_EQ(Get(written, "v"), value);
    EXPECT_EQ(Get(written, "next"), "n");
  }
  EXPECT_EQ(CCommandLineArguments::Quote("/plain/path"), "/plain/path");
  // A quote that is never closed runs to the end.
  CCommandLineArguments open(" -path \"/a b");
  EXPECT_EQ(Get(open, "path"), "/a b");
}

TEST(CommandLineArgumentsTest, RepeatsStrayValuesAndCase) {
  CCommandLineArguments args("stray -creationTime 5 extra -CreationTime 7 -creationTime 9");
  EXPECT_EQ(Get(args, "creationTime"), "9");  // the last occurrence wins
  EXPECT_EQ(Get(args, "CreationTime"), "7");  // names are case-sensitive
  EXPECT_EQ(Get(args, "creationtime"), kMissing);
  EXPECT_EQ(Get(args, "stray"), kMissing);
  EXPECT_EQ(Get(args, "extra"), kMissing);
  EXPECT_EQ(args.Options().size(), 3u);
  EXPECT_EQ(args.Options()[0].first, "creationTime");
}

TEST(CommandLineArgumentsTest, EmptyInputs) {
  for (const char* text : {"", "   ", static_cast<const char*>(nullptr)}) {
    CCommandLineArguments args(text);
    EXPECT_TRUE(args.Options().empty());
    std::string value = "untouched";
    CRnError err = args.GetOption("ti", value);
    EXPECT_EQ(err.GetCode(), HRESULT_FROM_WIN32(ERROR_BAD_ARGUMENTS));
    EXPECT_EQ(value, "untouched");
    EXPECT_FALSE(args.HasOption("ti"));
  }
}

}  // namespace
