// The engine setting decides which platform driver library the service
// loads; "auto" (or no setting) follows the kernel target's configfs
// directory.
#include <gtest/gtest.h>

#include "tests/support/service_harness.h"
#include "tests/support/service_test_peer.h"

namespace {

// The library the service tries to load at Initialize, and the refusal of a
// setting that names no engine (before any library is tried).
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
      {"", "/missing", "libWzScsiSrvTgt.so"},
      {" LIO ", "/missing", "libWzScsiSrvLio.so"},
      {"tgt", "", "libWzScsiSrvTgt.so"},
      {"iscsi", "", "setting sScsiEngine of section Quellport is \"iscsi\", not one of lio, tgt, auto"},
  };
  for (const Row& r : rows) {
    wztest::ServiceHarness h(options);
    h.SetConfig("sScsiEngine", r.setting);
    h.SetConfig("ConfigfsRoot", h.Root() + r.configfsRoot, "WzScsiSrvLio");
    CRnError err = h.Initialize();
    ASSERT_TRUE(err.IsError()) << r.setting;
    const bool library = std::string(r.expected).rfind("lib", 0) == 0;
    EXPECT_EQ(err.AsString().find("Failed to load platform library") != std::string::npos, library) << err.AsString();
    EXPECT_NE(err.AsString().find(r.expected), std::string::npos) << err.AsString();
    EXPECT_FALSE(WzScsiSrvTestPeer(h.Service()).Platform());
  }
}

}  // namespace
