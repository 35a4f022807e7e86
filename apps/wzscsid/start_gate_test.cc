// The start gate keeps clients from being refused while the daemon's own
// start request runs, without reordering or losing what they sent; and the
// idle clock stops an on-demand daemon only after a release and a quiet
// time-out.
#include "apps/wzscsid/start_gate.h"

#include <gtest/gtest.h>

#include <mutex>
#include <utility>
#include <vector>

#include "apps/wzscsid/idle_clock.h"
#include "messages/WzScsiServerMessages.h"
#include "tests/support/hostlib/wz_test_network.h"

namespace {

// Records what reaches the service and frees it, as the service does.
class RecordingService : public IOnDemandSvcInterface {
 public:
  CRnError Initialize(int, char**, std::string&, int&, IOnDemandSvcApp*) override { return CRnError(); }
  CRnError SubmitJob(std::string&, CNSession::OnDemandServiceStatusType&, CNSession::OnDemandServiceMode) override {
    return CRnError();
  }
  CRnError IncomingMsgXMLCallback(CWzNetworkServer::WznCallback_e, CWzNetworkServer* server, WznHandle_t handle,
                                  CNMessageBase* message) override {
    std::lock_guard<std::mutex> g(m_lock);
    seen.emplace_back(handle, message->getTagName());
    server->CleanXmlBuffer(message);
    return CRnError();
  }
  CRnError IncomingMsgXDRCallback(CWzNetworkServer::WznCallback_e, CWzNetworkServer*, WznHandle_t handle, unsigned long,
                                  wzsDatabuf_v2*) override {
    std::lock_guard<std::mutex> g(m_lock);
    seen.emplace_back(handle, "xdr");
    return CRnError();
  }
  CRnError KillAllJobs() override { return CRnError(); }
  void CleanUp() override {}

  std::vector<std::pair<WznHandle_t, std::string>> seen;

 private:
  std::mutex m_lock;
};

CRnError Deliver(CWzStartGate& gate, CWzTestNetworkServer& server, WznHandle_t handle, CNMessageBase* message) {
  return gate.IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_RECEIVED, &server, handle, message);
}

TEST(StartGate, HoldsClientsUntilOpenAndKeepsTheirOrder) {
  RecordingService service;
  CWzTestNetworkServer server;
  CWzStartGate gate(&service, true);
  ASSERT_TRUE(Deliver(gate, server, 1, new WzScsiServer::Ioctl()).IsSuccess());
  ASSERT_TRUE(Deliver(gate, server, 2, new WzScsiServer::CreateTarget()).IsSuccess());
  ASSERT_TRUE(Deliver(gate, server, 1, new WzScsiServer::DeleteTarget()).IsSuccess());
  // The daemon's own start request and XDR traffic pass at once.
  ASSERT_TRUE(Deliver(gate, server, 3, new WzScsiServer::StartScsiService()).IsSuccess());
  wzsDatabuf_v2 buf;
  ASSERT_TRUE(gate.IncomingMsgXDRCallback(CWzNetworkServer::WZN_CB_RECEIVED, &server, 4, 0x4B000001, &buf).IsSuccess());
  EXPECT_EQ(service.seen, (std::vector<std::pair<WznHandle_t, std::string>>{{3, "StartScsiService"}, {4, "xdr"}}));
  EXPECT_EQ(gate.HeldCount(), 3u);

  gate.Open();
  EXPECT_TRUE(gate.IsOpen());
  EXPECT_EQ(gate.HeldCount(), 0u);
  ASSERT_TRUE(Deliver(gate, server, 2, new WzScsiServer::Ioctl()).IsSuccess());
  EXPECT_EQ(
      service.seen,
      (std::vector<std::pair<WznHandle_t, std::string>>{
          {3, "StartScsiService"}, {4, "xdr"}, {1, "Ioctl"}, {2, "CreateTarget"}, {1, "DeleteTarget"}, {2, "Ioctl"}}));
  EXPECT_EQ(server.FreedMessages(), 5u);
}

TEST(StartGate, WhatIsHeldAtStopIsFreedNotForwarded) {
  RecordingService service;
  CWzTestNetworkServer server;
  {
    CWzStartGate gate(&service, true);
    ASSERT_TRUE(Deliver(gate, server, 1, new WzScsiServer::Ioctl()).IsSuccess());
    gate.DropHeld();
    EXPECT_EQ(server.FreedMessages(), 1u);
    ASSERT_TRUE(Deliver(gate, server, 1, new WzScsiServer::Ioctl()).IsSuccess());
  }  // the destructor frees the rest
  EXPECT_EQ(server.FreedMessages(), 2u);
  EXPECT_TRUE(service.seen.empty());
}

TEST(IdleClock, DueOnlyAfterAReleaseAndAQuietTimeout) {
  CWzIdleClock clock(1000);
  clock.Activity(100);
  EXPECT_FALSE(clock.Due(100000)) << "never released: never due";
  EXPECT_EQ(clock.MsUntilDue(100000), -1);

  clock.Released(200);
  EXPECT_FALSE(clock.Due(1199));
  EXPECT_TRUE(clock.Due(1200));

  // A message after the release starts the quiet time again.
  clock.Activity(1100);
  EXPECT_FALSE(clock.Due(1200));
  EXPECT_EQ(clock.MsUntilDue(1200), 900);
  EXPECT_TRUE(clock.Due(2100));

  // Found busy: wait for the next release, however long it is quiet.
  clock.Disarm();
  EXPECT_FALSE(clock.Due(100000));
  clock.Released(5000);
  EXPECT_TRUE(clock.Due(6000));

  CWzIdleClock immediate(0);
  immediate.Released(10);
  EXPECT_TRUE(immediate.Due(10));
}

}  // namespace
