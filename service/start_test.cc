// The start request: its state table, the refusals while it replays, and a
// replay that fails.
#include <gtest/gtest.h>

#include <stdio.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "actionlog/action_log_layout.h"
#include "tests/support/service_harness.h"
#include "tests/support/service_test_peer.h"

using namespace wztest;

namespace {

HarnessOptions NotStarted() {
  HarnessOptions o;
  o.start = false;
  return o;
}

// Waits (without a deadline of its own: the test's time-out is the limit)
// until the service reaches the state.
void WaitForState(WzScsiSrv& service, WzScsiSrv::ServiceInitStatus state) {
  while (service.GetStatus() != state) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

}  // namespace

TEST(Start, FirstStartReplaysAndAnswersStarted) {
  ServiceHarness h(NotStarted());
  EXPECT_EQ(h.Service().GetStatus(), WzScsiSrv::SVC_NOT_INITIALIZED);
  auto start = MakeStart();
  start->context().setFlags(9);
  auto reply = h.Send(std::move(start));
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->getTagID(), WzScsiServer::kStartScsiServiceRsp.tagId);
  EXPECT_EQ(ReplyCode(reply), 0);
  EXPECT_EQ(ReplyText(reply), "Scsi Service started!!!");
  auto* rsp = dynamic_cast<WzScsiServer::Reply*>(reply.get());
  ASSERT_NE(rsp->getObject(WzScsiServer::Fields::kContext.slot), nullptr);
  EXPECT_EQ(static_cast<const WzScsiServer::RequestContext*>(rsp->getObject(1))->flags(), 9);
  EXPECT_EQ(h.Service().GetStatus(), WzScsiSrv::SVC_INITIALIZED);
  // A fresh machine: no Targets directory, which is no failure.
  EXPECT_TRUE(h.Log().Contains("No targets to playback."));
  // The start request is never saved.
  EXPECT_FALSE(CRnPath::Exists(h.ActionLogRoot()));
}

TEST(Start, EmptyActionLogRootHasNothingToReplay) {
  ServiceHarness h(NotStarted());
  WzScsiSrvTestPeer(h.Service()).ActionLogRoot().clear();
  EXPECT_EQ(h.Start(), 0);
  EXPECT_TRUE(h.Log().Contains("Nothing to playback"));
  EXPECT_EQ(h.Service().GetStatus(), WzScsiSrv::SVC_INITIALIZED);
}

TEST(Start, LaterStartsAnswerStartedAndReplayNothing) {
  ServiceHarness h;
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  h.ClearJournal();
  h.Log().Clear();
  auto reply = h.Send(MakeStart());
  EXPECT_EQ(ReplyCode(reply), 0);
  EXPECT_EQ(ReplyText(reply), "Scsi Service started!!!");
  EXPECT_TRUE(h.Journal().empty());
  EXPECT_FALSE(h.Log().Contains("playback"));
  EXPECT_EQ(h.Service().SnapshotTargets().size(), 1u);
}

TEST(Start, RequestsDuringTheReplayAreRefusedAndASecondStartIsToldToWait) {
  ServiceHarness h;
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:saved"))), 0);
  h.Restart(false);

  WznHandle_t first = h.Net().Connect();
  {
    // Holding the change gate keeps the replay from running, so the state
    // stays 1 for as long as the test needs.
    WzWriterLock gate(&WzScsiSrvTestPeer(h.Service()).ChangeGate());
    ASSERT_TRUE(h.Service()
                    .IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_RECEIVED, &h.Net(), first, MakeStart().release())
                    .IsSuccess());
    WaitForState(h.Service(), WzScsiSrv::SVC_INIT_IN_PROGRESS);

    auto second = h.Send(MakeStart());
    EXPECT_EQ(ReplyCode(second), 1);
    EXPECT_EQ(ReplyText(second), "Scsi service initialization is in progress...");

    for (auto* request : std::initializer_list<CNMessageBase*>{MakeCreateTarget("iqn.2000-01.t:new").release(),
                                                               MakeIoctl("rc").release()}) {
      auto refused = h.Send(std::unique_ptr<CNMessageBase>(request));
      EXPECT_EQ(ReplyCode(refused), 1);
      EXPECT_EQ(ReplyText(refused), "Either service not initialized or initialization is in progress.");
    }
    EXPECT_TRUE(h.Net().Replies(first).empty());
    EXPECT_EQ(h.Service().GetStatus(), WzScsiSrv::SVC_INIT_IN_PROGRESS);
  }
  ASSERT_TRUE(h.Net().WaitForReplies(first, 1, 60000));
  EXPECT_EQ(ReplyCode(h.Net().Replies(first)[0]), 0);
  EXPECT_EQ(h.Service().GetStatus(), WzScsiSrv::SVC_INITIALIZED);

  // Only the saved target came back; the refused requests left no trace.
  auto model = h.Service().SnapshotTargets();
  EXPECT_EQ(model.size(), 1u);
  EXPECT_EQ(model.count("iqn.2000-01.t:saved"), 1u);
  EXPECT_EQ(h.Journal("platform.CreateTarget").size(), 2u);  // before and after the restart
}

TEST(Start, AFailedReplayStillStartsTheService) {
  ServiceHarness h;
  ASSERT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:a"))), 0);
  // An action log that cannot be listed stops the replay.
  const std::string targets = WzScsiSrvActionLog::TargetsDir(h.ActionLogRoot());
  ASSERT_EQ(::rename(targets.c_str(), (targets + ".aside").c_str()), 0);
  WriteFile(targets, "not a directory");
  h.Restart(false);
  auto reply = h.Send(MakeStart());
  EXPECT_EQ(ReplyCode(reply), 1);
  EXPECT_EQ(ReplyText(reply).rfind("Failed to play back service config: restored 0 targets", 0), 0u)
      << ReplyText(reply);
  EXPECT_NE(ReplyText(reply).find("the saved configuration could not be read whole"), std::string::npos);
  EXPECT_EQ(h.Service().GetStatus(), WzScsiSrv::SVC_INITIALIZED);

  // Started all the same: requests are served, and a later start says so.
  ASSERT_EQ(::unlink(targets.c_str()), 0);
  EXPECT_EQ(ReplyCode(h.Send(MakeCreateTarget("iqn.2000-01.t:b"))), 0);
  EXPECT_EQ(ReplyCode(h.Send(MakeStart())), 0);
}

TEST(Start, AnUnsendableReplyIsOnlyLogged) {
  ServiceHarness h(NotStarted());
  h.Net().FailSend(true);
  EXPECT_FALSE(h.Send(MakeStart(), 0));
  h.Drain();
  h.Net().FailSend(false);
  EXPECT_TRUE(h.Log().Contains("StartScsiService SendXMLMessage error "));
  EXPECT_EQ(h.Service().GetStatus(), WzScsiSrv::SVC_INITIALIZED);
}
