// Request intake: control notices, unsupported and unknown messages, gone
// connections, callback kinds.
#include <gtest/gtest.h>

#include "tests/support/service_harness.h"
#include "tests/support/service_test_peer.h"

using namespace wztest;

namespace {

int g_activity = 0;
void CountActivity() { ++g_activity; }

class ActivityApp : public IOnDemandSvcApp {
 public:
  ActivityApp() { NotifyActivity = &CountActivity; }
};

std::unique_ptr<CNMessageBase> Control(uint32_t tag) {
  const CNMessageRegistry::ClassInfo* info = CNMessageRegistry::FindByTag(tag);
  EXPECT_NE(info, nullptr);
  return CNMessageRegistry::Create(info->group, info->number);
}

}  // namespace

TEST(Intake, NullServerIsRefused) {
  ServiceHarness h;
  auto msg = MakeCreateTarget("iqn.2000-01.t:a");
  CRnError e = h.Service().IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_RECEIVED, nullptr, 1, msg.get());
  EXPECT_EQ(e.GetCode(), HRESULT_FROM_WIN32(160));
  EXPECT_EQ(e.GetText(), "Received NULL session server.");
  EXPECT_TRUE(h.Log().Contains("Received NULL session server."));
}

TEST(Intake, DisconnectAndAbortAreAnsweredOnTheCallersThread) {
  ServiceHarness h;
  WznHandle_t a = h.Net().Connect();
  WznHandle_t b = h.Net().Connect();
  h.Drain();
  size_t freedBefore = h.Net().FreedMessages();
  EXPECT_TRUE(
      h.Service()
          .IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_RECEIVED, &h.Net(), a, Control(WZN_TAG_DISCONNECT).release())
          .IsSuccess());
  EXPECT_TRUE(
      h.Service()
          .IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_RECEIVED, &h.Net(), b, Control(WZN_TAG_ABORT).release())
          .IsSuccess());
  // Answered before the callback returned: no worker was involved.
  EXPECT_EQ(h.Net().ControlAnswers(a), std::vector<std::string>{"disconnect"});
  EXPECT_EQ(h.Net().ControlAnswers(b), std::vector<std::string>{"abort:0,0,2"});
  EXPECT_EQ(h.Net().FreedMessages(), freedBefore + 2);
  EXPECT_EQ(h.Net().AcquiredCount(), 0u);
}

TEST(Intake, ControlNoticeOnUnknownConnectionReportsTheAcquireFailure) {
  ServiceHarness h;
  const size_t freedBefore = h.Net().FreedMessages();
  CRnError e = h.Service().IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_RECEIVED, &h.Net(), 999,
                                                  Control(WZN_TAG_DISCONNECT).release());
  ASSERT_TRUE(e.IsError());
  EXPECT_NE(e.AsString().find("Failed acquire session"), std::string::npos);
  EXPECT_EQ(h.Net().FreedMessages(), freedBefore + 1) << "the notice is freed, not held in work";
}

TEST(Intake, UnsupportedMessageIsRefusedAndCompletesTheJob) {
  ServiceHarness h;
  h.Log().Clear();
  WznHandle_t handle = h.Net().Connect();
  auto msg = CNMessageRegistry::Create(WzScsiServer::kGroup, WzScsiServer::kUnsupported4B2DD38B.number);
  ASSERT_TRUE(msg);
  h.Drain();  // the start request's worker frees its message after replying
  size_t freedBefore = h.Net().FreedMessages();
  EXPECT_TRUE(h.Service()
                  .IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_RECEIVED, &h.Net(), handle, msg.release())
                  .IsSuccess());
  h.Drain();
  ASSERT_EQ(h.Net().Replies(handle).size(), 1u) << "every request gets exactly one reply";
  EXPECT_EQ(ReplyCode(h.Net().Replies(handle)[0]), 4);
  EXPECT_EQ(ReplyText(h.Net().Replies(handle)[0]), "This service does not serve the message Unsupported4B2DD38B");
  EXPECT_TRUE(h.Log().Contains("Message Unsupported4B2DD38B is not yet supported."));
  EXPECT_TRUE(h.Log().Contains("JobCompleted!"));
  EXPECT_EQ(h.Net().FreedMessages(), freedBefore + 1);
}

TEST(Intake, AMessageThatIsNoRequestIsRefusedFreedAndLogged) {
  ServiceHarness h;
  ActivityApp app;
  WzScsiSrvTestPeer(h.Service()).SvcApp() = &app;
  g_activity = 0;
  auto msg = std::make_unique<WzScsiServer::CreateTargetRsp>();  // a reply is no request
  size_t freedBefore = h.Net().FreedMessages();
  const WznHandle_t handle = h.Net().Connect();
  EXPECT_TRUE(h.Service()
                  .IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_RECEIVED, &h.Net(), handle, msg.release())
                  .IsSuccess());
  h.Drain();
  ASSERT_EQ(h.Net().Replies(handle).size(), 1u);
  EXPECT_EQ(ReplyCode(h.Net().Replies(handle)[0]), 4);
  EXPECT_TRUE(h.Log().Contains("Unknown message: CreateTargetRsp"));
  EXPECT_EQ(h.Net().FreedMessages(), freedBefore + 1);
  EXPECT_EQ(g_activity, 1);
  WzScsiSrvTestPeer(h.Service()).SvcApp() = nullptr;
}

TEST(Intake, OtherCallbackKindsDispatchNothing) {
  ServiceHarness h;
  ActivityApp app;
  WzScsiSrvTestPeer(h.Service()).SvcApp() = &app;
  g_activity = 0;
  auto msg = MakeCreateTarget("iqn.2000-01.t:a");
  EXPECT_TRUE(h.Service()
                  .IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_CONNECTED, &h.Net(), h.Net().Connect(), msg.get())
                  .IsSuccess());
  h.Drain();
  EXPECT_EQ(g_activity, 0);
  EXPECT_TRUE(h.Journal("platform.CreateTarget").empty());
  EXPECT_TRUE(h.Service().SnapshotTargets().empty());
  WzScsiSrvTestPeer(h.Service()).SvcApp() = nullptr;
}

TEST(Intake, ConnectionGoneBeforeTheWorkerRunsSkipsTheHandler) {
  ServiceHarness h;
  h.Log().Clear();
  WznHandle_t handle = h.Net().Connect();
  h.Net().MarkGone(handle);
  h.Drain();
  size_t freedBefore = h.Net().FreedMessages();
  EXPECT_TRUE(h.Service()
                  .IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_RECEIVED, &h.Net(), handle,
                                          MakeCreateTarget("iqn.2000-01.t:a").release())
                  .IsSuccess());
  h.Drain();
  EXPECT_TRUE(h.Journal("platform.CreateTarget").empty());
  EXPECT_TRUE(h.Net().Replies(handle).empty());
  EXPECT_EQ(h.Net().FreedMessages(), freedBefore + 1);
  EXPECT_EQ(h.Net().AcquiredCount(), 0u);
  EXPECT_TRUE(h.Log().Contains("Failed to acquire session from handle ["));
  EXPECT_FALSE(h.Log().Contains("JobCompleted!"));
}

TEST(Intake, FailedSendAndReleaseAreLoggedAndTheChangeStays) {
  ServiceHarness h;
  h.Net().FailSend(true);
  h.Net().FailRelease(true);
  WznHandle_t handle = h.Net().Connect();
  EXPECT_TRUE(h.Service()
                  .IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_RECEIVED, &h.Net(), handle,
                                          MakeCreateTarget("iqn.2000-01.t:a").release())
                  .IsSuccess());
  h.Drain();
  h.Net().FailSend(false);
  h.Net().FailRelease(false);
  EXPECT_TRUE(h.Log().Contains("iqn.2000-01.t:a SendXMLMessage error injected send failure"));
  EXPECT_TRUE(h.Log().Contains("Failed to release session for handle ["));
  EXPECT_EQ(h.Service().SnapshotTargets().count("iqn.2000-01.t:a"), 1u);
}
