#include "hostlib/errors/CRnError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace {

CRnError Inner() { return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_ALREADY_EXISTS, "Target %s exists", "iqn.a"); }

CRnError Outer() {
  CRnError err = Inner();
  if (err) return err.Push(FX_HERE, "Failed to create target");
  return CRnError();
}

TEST(CRnErrorTest, SuccessIsOneNullPointer) {
  static_assert(sizeof(CRnError) == sizeof(void*), "success must cost one word");
  CRnError ok;
  EXPECT_TRUE(ok.IsSuccess());
  EXPECT_FALSE(ok);
  EXPECT_EQ(ok.GetCode(), 0u);
  EXPECT_EQ(ok.GetText(), "");
  EXPECT_EQ(ok.AsString(), "");
  EXPECT_EQ(ok.StackAsString(), "");
  EXPECT_TRUE(ok.GetStack().empty());
  // Pushing onto success keeps it success.
  ok.Push(FX_HERE, "ignored %d", 1);
  EXPECT_TRUE(ok.IsSuccess());
  EXPECT_TRUE(ok.GetMessages().empty());
}

TEST(CRnErrorTest, CodesOfTheThreeMakers) {
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS), 0x800700B7u);
  EXPECT_EQ(HRESULT_FROM_WIN32(0), 0u);
  EXPECT_EQ(FXErrorUtil::ErrorWin32(FX_HERE, 774, "x").GetCode(), 0x80070306u);
  EXPECT_EQ(FXErrorUtil::ErrorInt(FX_HERE, 1, "Failed to release semaphore").GetCode(), 1u);
  // errno values never collide with the Win32 code of the same number.
  CRnError e = FXErrorUtil::ErrorErrNo(FX_HERE, ENOENT, "open: %s", std::strerror(ENOENT));
  EXPECT_EQ(e.GetCode(), HRESULT_FROM_ERRNO(ENOENT));
  EXPECT_NE(e.GetCode(), HRESULT_FROM_WIN32(ENOENT));
  EXPECT_EQ(e.GetText(), "open: No such file or directory");
}

TEST(CRnErrorTest, PushAddsLocationsAndTextsOutermostFirst) {
  CRnError err = Outer();
  ASSERT_TRUE(err);
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS));  // code survives pushes
  EXPECT_EQ(err.GetText(), "Target iqn.a exists");
  ASSERT_EQ(err.GetStack().size(), 2u);
  EXPECT_NE(std::strstr(err.GetStack()[0].function, "Inner"), nullptr);
  EXPECT_NE(std::strstr(err.GetStack()[1].function, "Outer"), nullptr);
  EXPECT_STREQ(err.GetStack()[0].file, "WzScsiSrv");
  EXPECT_EQ(err.AsString(), "Failed to create target: Target iqn.a exists");
  std::string stack = err.StackAsString();
  EXPECT_LT(stack.find("Inner"), stack.find("Outer"));
  EXPECT_EQ(stack.back(), '\n');
  // A push without a text adds a location only.
  err.Push(FX_HERE_IN("RnUtils"));
  EXPECT_EQ(err.GetStack().size(), 3u);
  EXPECT_STREQ(err.GetStack()[2].file, "RnUtils");
  EXPECT_EQ(err.GetMessages().size(), 1u);
}

TEST(CRnErrorTest, AsStringSkipsTextsAnOuterTextAlreadyQuotes) {
  CRnError err = FXErrorUtil::ErrorWin32(FX_HERE, 87, "bad value");
  err.Push(FX_HERE, "Initialization failed with error: [%s]", err.AsString().c_str());
  EXPECT_EQ(err.AsString(), "Initialization failed with error: [bad value]");
  err.Push(FX_HERE, "outer");
  EXPECT_EQ(err.AsString(), "outer: Initialization failed with error: [bad value]");
  // An empty pushed text is not kept.
  err.Push(FX_HERE, "%s", "");
  EXPECT_EQ(err.GetMessages().size(), 2u);
}

TEST(CRnErrorTest, CopiesAreDeepAndMovesEmpty) {
  CRnError a = Outer();
  CRnError b = a;
  b.Push(FX_HERE, "only in b");
  EXPECT_EQ(a.GetMessages().size(), 1u);
  EXPECT_EQ(b.GetMessages().size(), 2u);
  a = b;
  EXPECT_EQ(a.AsString(), b.AsString());
  a = CRnError();
  EXPECT_TRUE(a.IsSuccess());
  CRnError c(std::move(b));
  EXPECT_TRUE(c.IsError());
  EXPECT_TRUE(b.IsSuccess());  // NOLINT: a moved-from error reads as success
  CRnError& alias = c;
  c = alias;  // self-assignment keeps the value
  EXPECT_EQ(c.GetMessages().size(), 2u);
}

TEST(CRnErrorTest, FormattingOfLongAndEmptyTexts) {
  std::string big(5000, 'x');
  CRnError err = FXErrorUtil::ErrorWin32(FX_HERE, 87, "<%s>", big.c_str());
  EXPECT_EQ(err.GetText(), "<" + big + ">");
  CRnError nullFmt = FXErrorUtil::ErrorInt(FX_HERE, 5, nullptr);
  EXPECT_TRUE(nullFmt);
  EXPECT_EQ(nullFmt.GetText(), "");
  EXPECT_EQ(FXCodeLocation("f", "fn", 12).AsString(), "f:fn:12");
}

}  // namespace
