// XDR routing: the message id's group decides the backing store; group 75
// goes to the FSBLB store, in every service state; other callback kinds do
// nothing at all.
#include <gtest/gtest.h>

#include <atomic>

#include "tests/support/service_harness.h"
#include "tests/support/service_test_peer.h"

using namespace wztest;

namespace {

std::atomic<int> g_activity{0};
void CountActivity() { ++g_activity; }

class CountingApp : public IOnDemandSvcApp {
 public:
  CountingApp() { NotifyActivity = &CountActivity; }
};

HarnessOptions NotStarted() {
  HarnessOptions o;
  o.start = false;
  return o;
}

}  // namespace

TEST(XdrRouting, GroupOfTheMessageIdDecidesTheStore) {
  struct Case {
    unsigned long id;
    WzScsiServer::BStorType type;
    const char* subsystem;  // the id in the log line, when not routed
  };
  const Case cases[] = {
      {0x4B000123ul, WzScsiServer::BSTOR_FSBLB, nullptr},     // short form, group 75
      {0x012E0005ul, WzScsiServer::BSTOR_FSBLB, nullptr},     // extended form, group 75
      {0x80000001ul, WzScsiServer::BSTOR_NONE, "33685504"},   // short form, group 128: 0x2020000
      {0x03220007ul, WzScsiServer::BSTOR_NONE, "52559872"},   // extended form, group 200: 0x3220000
      {0x0A001234ul, WzScsiServer::BSTOR_NONE, "167772160"},  // group 10: 0xA000000
      {0x14B000123ul, WzScsiServer::BSTOR_NONE, nullptr},     // a bit above the short group: not group 75
  };
  ServiceHarness h(NotStarted());
  for (const Case& c : cases) {
    h.Log().Clear();
    EXPECT_EQ(WzScsiSrv::GetXDRMsgHandlingBStorType(c.id), c.type) << std::hex << c.id;
    if (c.subsystem != nullptr) {
      EXPECT_TRUE(h.Service()
                      .IncomingMsgXDRCallback(CWzNetworkServer::WZN_CB_RECEIVED, &h.Net(), 1, c.id, nullptr)
                      .IsSuccess());
      EXPECT_TRUE(h.Log().Contains(std::string("XDR message of subsystem id [") + c.subsystem +
                                   "] dropped: no backing store serves that group"))
          << std::hex << c.id;
    }
  }
}

// A flood of messages of unserved groups (a megabyte of them once gave ten
// megabytes of log): one line per group and interval, the rest counted.
TEST(XdrRouting, AFloodOfUnservedGroupsLogsOneLinePerGroup) {
  ServiceHarness h(NotStarted());
  h.Log().Clear();
  for (int i = 0; i < 2000; ++i) {
    const unsigned long id = i % 2 == 0 ? 0x0A001234ul : 0x03220007ul;
    EXPECT_TRUE(
        h.Service().IncomingMsgXDRCallback(CWzNetworkServer::WZN_CB_RECEIVED, &h.Net(), 1, id, nullptr).IsSuccess());
  }
  EXPECT_EQ(h.Log().Count("dropped"), 2u);
  EXPECT_EQ(h.Log().Count("subsystem id [167772160]"), 1u);
  EXPECT_EQ(h.Log().Count("subsystem id [52559872]"), 1u);
  EXPECT_EQ(h.Log().Count("Failed to"), 0u);
  EXPECT_TRUE(h.Service().LoadedBStorTypes().empty());
}

TEST(XdrRouting, GroupSeventyFiveReachesTheFsblbStoreBeforeStart) {
  ServiceHarness h(NotStarted());
  CountingApp app;
  WzScsiSrvTestPeer(h.Service()).SvcApp() = &app;
  g_activity = 0;
  const uint8_t payload[3] = {1, 2, 3};
  wzsDatabuf_v2 buffer;
  buffer.data = payload;
  buffer.length = sizeof(payload);

  for (unsigned long id : {0x4B000123ul, 0x012E0005ul})
    EXPECT_TRUE(
        h.Service().IncomingMsgXDRCallback(CWzNetworkServer::WZN_CB_RECEIVED, &h.Net(), 7, id, &buffer).IsSuccess());
  EXPECT_EQ(h.Journal("fsblb.HandleXDRMessage"),
            (std::vector<std::string>{
                "fsblb.HandleXDRMessage kind=3 handle=7 id=0x4B000123 length=3 openOnly=0 closeOnly=0",
                "fsblb.HandleXDRMessage kind=3 handle=7 id=0x12E0005 length=3 openOnly=0 closeOnly=0"}));
  EXPECT_EQ(h.Service().LoadedBStorTypes(), std::vector<WzScsiServer::BStorType>{WzScsiServer::BSTOR_FSBLB});
  EXPECT_EQ(g_activity.load(), 2);
  // The job-completed step follows every handled message (no target exists).
  EXPECT_EQ(h.Log().Count("JobCompleted!"), 2u);
  EXPECT_EQ(h.Service().GetStatus(), WzScsiSrv::SVC_NOT_INITIALIZED);
  WzScsiSrvTestPeer(h.Service()).SvcApp() = nullptr;
}

TEST(XdrRouting, OtherGroupsLoadNothingAndSkipTheJobCompletedStep) {
  ServiceHarness h;
  CountingApp app;
  WzScsiSrvTestPeer(h.Service()).SvcApp() = &app;
  g_activity = 0;
  h.Log().Clear();
  EXPECT_TRUE(h.Service()
                  .IncomingMsgXDRCallback(CWzNetworkServer::WZN_CB_RECEIVED, &h.Net(), 1, 0x0A001234ul, nullptr)
                  .IsSuccess());
  EXPECT_TRUE(h.Log().Contains("dropped: no backing store serves that group"));
  EXPECT_FALSE(h.Log().Contains("JobCompleted!"));
  EXPECT_TRUE(h.Journal("fsblb.").empty());
  EXPECT_TRUE(h.Service().LoadedBStorTypes().empty());
  EXPECT_EQ(g_activity.load(), 1);
  WzScsiSrvTestPeer(h.Service()).SvcApp() = nullptr;
}

TEST(XdrRouting, CallbackKindsOtherThanReceivedDoNothing) {
  ServiceHarness h;
  CountingApp app;
  WzScsiSrvTestPeer(h.Service()).SvcApp() = &app;
  g_activity = 0;
  for (auto kind :
       {CWzNetworkServer::WZN_CB_CONNECTED, CWzNetworkServer::WZN_CB_DISCONNECTED, CWzNetworkServer::WZN_CB_ERROR})
    EXPECT_TRUE(h.Service().IncomingMsgXDRCallback(kind, &h.Net(), 1, 0x4B000123ul, nullptr).IsSuccess());
  EXPECT_EQ(g_activity.load(), 0);
  EXPECT_TRUE(h.Service().LoadedBStorTypes().empty());
  EXPECT_TRUE(h.Journal("fsblb.").empty());
  WzScsiSrvTestPeer(h.Service()).SvcApp() = nullptr;
}

TEST(XdrRouting, AStoreErrorIsIgnored) {
  ServiceHarness h;
  h.SetFaults({"fsblb.HandleXDRMessage"});
  h.Log().Clear();
  EXPECT_TRUE(h.Service()
                  .IncomingMsgXDRCallback(CWzNetworkServer::WZN_CB_RECEIVED, &h.Net(), 1, 0x4B000001ul, nullptr)
                  .IsSuccess());
  EXPECT_EQ(h.Journal("fsblb.HandleXDRMessage").size(), 1u);
  EXPECT_TRUE(h.Log().Contains("JobCompleted!"));
}
