// The request context flags and their thread-specific variables.
#include "luns/lun_req_flags.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <sstream>
#include <thread>

#include "hostlib/log/LogWriter.h"
#include "tests/support/hostlib/memory_log_writer.h"

namespace {

std::string ThisThreadVar(const char* flag) {
  std::ostringstream s;
  s << flag << "_" << std::this_thread::get_id();
  return s.str();
}

// "<absent>" tells a missing variable from an empty one.
std::string Env(const std::string& name) {
  const char* v = getenv(name.c_str());
  return v != nullptr ? v : "<absent>";
}

class LunReqFlags : public ::testing::Test {
 protected:
  void SetUp() override {
    log = std::make_shared<CMemoryLogWriter>(6);
    g_ptrLogWriter = log;
  }
  void TearDown() override { g_ptrLogWriter.reset(); }
  std::shared_ptr<CMemoryLogWriter> log;
};

TEST_F(LunReqFlags, VariableIsOneWhileTheHandlerLivesAndEmptyAfterOnEveryReuse) {
  const std::string var = ThisThreadVar("OpenOnly");
  for (int round = 0; round < 2; ++round) {
    {
      LunReqFlagHandler handler(OpenOnly, 3, false);  // a bit test: 3 holds OpenOnly
      EXPECT_TRUE(handler.isSet());
      EXPECT_EQ(Env(var), "1");
    }
    EXPECT_EQ(Env(var), "");
  }
  EXPECT_EQ(log->Count("Exported thread specific env var OpenOnly"), 2u);
  EXPECT_EQ(log->Count("Un-set thread specific env var OpenOnly"), 2u);
}

TEST_F(LunReqFlags, FlagsWithoutTheBitExportNothingAndLogNothing) {
  const std::string var = ThisThreadVar("CloseOnly");
  unsetenv(var.c_str());
  {
    LunReqFlagHandler none(CloseOnly, 0, false);
    LunReqFlagHandler other(CloseOnly, 2, false);
    EXPECT_FALSE(none.isSet());
    EXPECT_FALSE(other.isSet());
    EXPECT_EQ(Env(var), "<absent>");
  }
  EXPECT_EQ(Env(var), "<absent>");
  EXPECT_TRUE(log->Records().empty());
}

TEST_F(LunReqFlags, UnknownFlagIsLoggedAndNotExported) {
  LunReqFlagHandler handler(8, 0, true);
  EXPECT_FALSE(handler.isSet());
  EXPECT_TRUE(log->Contains("Unknown lun request context flag 8"));
}

// The RBD delete's flag reaches the store under its own name; a combination
// of flags is no name.
TEST_F(LunReqFlags, RemoveImageIsExportedUnderItsName) {
  EXPECT_EQ(LunReqCtxFlagHelper().FlagToStr(RemoveImage), "RemoveImage");
  EXPECT_EQ(LunReqCtxFlagHelper().FlagToStr(RemoveImage | CloseOnly), "");
  const std::string var = ThisThreadVar("RemoveImage");
  {
    LunReqFlagHandler handler(RemoveImage, RemoveImage | 1, false);
    EXPECT_TRUE(handler.isSet());
    EXPECT_EQ(Env(var), "1");
  }
  EXPECT_EQ(Env(var), "");
}

// The entry must stay valid after the thread that set it is gone (a
// per-thread buffer handed to putenv would dangle here).
TEST_F(LunReqFlags, EntryOutlivesTheThreadThatSetIt) {
  std::string var;
  std::thread worker([&] {
    var = ThisThreadVar("CloseOnly");
    LunReqFlagHandler handler(CloseOnly, 1, false);
    EXPECT_EQ(Env(var), "1");
  });
  worker.join();
  EXPECT_EQ(Env(var), "");
  std::thread([] { std::string filler(4096, 'x'); }).join();
  EXPECT_EQ(Env(var), "");
}

}  // namespace
