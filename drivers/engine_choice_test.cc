// The engine setting decides which platform driver library the service
// loads; "auto" follows the kernel target's configfs directory.
#include "drivers/engine_choice.h"

#include <gtest/gtest.h>

#include "tests/support/service_harness.h"

namespace {

TEST(EngineChoice, SettingAndKernelTargetPickTheLibrary) {
  struct Row {
    const char* setting;
    bool present;
    const char* lib;  // null: refused
  } rows[] = {
      {"", true, "libWzScsiSrvLio.so"},        {"", false, "libWzScsiSrvTgt.so"},
      {"auto", true, "libWzScsiSrvLio.so"},    {" Auto ", false, "libWzScsiSrvTgt.so"},
      {"lio", false, "libWzScsiSrvLio.so"},    {"TGT", true, "libWzScsiSrvTgt.so"},
      {"kernel", true, nullptr},               {"lio,tgt", true, nullptr},
  };
  for (const Row& r : rows) {
    WzScsiSrvEngineChoice choice;
    choice.libName = "untouched";
    CRnError err = WzScsiSrvChooseEngine(r.setting, r.present, "/cfg/target", choice);
    if (r.lib == nullptr) {
      ASSERT_TRUE(err.IsError()) << r.setting;
      EXPECT_EQ(err.GetCode(), HRESULT_FROM_WIN32(ERROR_INVALID_PARAMETER));
      EXPECT_NE(err.AsString().find("not one of lio, tgt, auto"), std::string::npos) << err.AsString();
      EXPECT_EQ(choice.libName, "untouched");
    } else {
      ASSERT_TRUE(err.IsSuccess()) << r.setting << ": " << err.AsString();
      EXPECT_EQ(choice.libName, r.lib) << "\"" << r.setting << "\" " << r.present;
    }
  }
}

// Through the service: the library it tries to load, and the refusal of a
// setting that names no engine, both at Initialize.
TEST(EngineChoice, InitializeLoadsTheChosenLibraryAndRefusesAnUnknownEngine) {
  wztest::HarnessOptions options;
  options.initialize = false;
  options.driverDir = "/nonexistent-driver-dir";
  struct Row {
    const char* setting;
    const char* configfsRoot;  // under the harness's root
    const char* expected;
  } rows[] = {
      {"auto", "", "libWzScsiSrvLio.so"},
      {"auto", "/missing", "libWzScsiSrvTgt.so"},
      {"tgt", "", "libWzScsiSrvTgt.so"},
      {"iscsi", "", "setting sScsiEngine of section Quellport is \"iscsi\", not one of lio, tgt, auto"},
  };
  for (const Row& r : rows) {
    wztest::ServiceHarness h(options);
    h.SetConfig("sScsiEngine", r.setting);
    h.SetConfig("ConfigfsRoot", h.Root() + r.configfsRoot, "WzScsiSrvLio");
    CRnError err = h.Initialize();
    ASSERT_TRUE(err.IsError()) << r.setting;
    EXPECT_NE(err.AsString().find("Failed to load platform library"), std::string::npos) << err.AsString();
    EXPECT_NE(err.AsString().find(r.expected), std::string::npos) << err.AsString();
    EXPECT_FALSE(h.Service().m_ptrPlatform);
  }
}

}  // namespace
