#include "bench/e2e_daemon.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bench/action_log_files.h"
#include "bench/bench_requests.h"
#include "bench/change_load.h"
#include "hostlib/net/client.h"

namespace {

using wzbench::BenchDaemon;

wzbench::DaemonSetup DoublesSetup() {
  wzbench::DaemonSetup setup;
  setup.driverDir = WzBuildPaths::Fakes();
  const char* tmp = getenv("TMPDIR");
  setup.parentDir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
  return setup;
}

std::vector<std::string> ListAll(BenchDaemon& daemon) {
  CWzClient client;
  std::unique_ptr<CNMessageBase> reply;
  int64_t code = -1;
  if (daemon.Connect(client).IsError() ||
      wzbench::CallForCode(client, *wzbench::IoctlRequest("ll"), 30000, code, &reply).IsError())
    return {"<no reply>"};
  auto* rsp = dynamic_cast<WzScsiServer::IoctlRsp*>(reply.get());
  return rsp != nullptr ? rsp->results() : std::vector<std::string>{"<not a listing>"};
}

// The replay figures only mean something if the daemon replays the log the
// benchmark wrote where it wrote it (the staging location of its
// configuration file).
TEST(BenchDaemon, ReplaysTheLogWrittenIntoItsStagingLocation) {
  BenchDaemon daemon(DoublesSetup());
  ASSERT_TRUE(daemon.Prepare().IsSuccess());
  wzbench::ModelShape shape;
  shape.targets = 2;
  shape.lunsPerTarget = 3;
  ASSERT_TRUE(wzbench::WriteActionLog(daemon.ActionLogRoot(), shape).IsSuccess());

  double replaySec = -1, servingSec = -1;
  CRnError started = daemon.StartTimed(replaySec, servingSec);
  ASSERT_TRUE(started.IsSuccess()) << started.AsString();
  EXPECT_GE(replaySec, 0);
  EXPECT_GE(servingSec, replaySec);
  EXPECT_TRUE(daemon.CheckServing().IsSuccess());
  EXPECT_EQ(shape.Tuples(), ListAll(daemon).size());

  CRnError stopped = daemon.Stop();
  EXPECT_TRUE(stopped.IsSuccess()) << stopped.AsString();
  const std::string dir = daemon.Dir();
  daemon.Remove();
  EXPECT_NE(0, access(dir.c_str(), F_OK)) << dir << " is left behind";
}

TEST(BenchDaemon, ChangesThroughTheClientAreSavedDurably) {
  BenchDaemon daemon(DoublesSetup());
  ASSERT_TRUE(daemon.Prepare().IsSuccess());
  ASSERT_TRUE(daemon.Start(true).IsSuccess());
  CWzClient client;
  ASSERT_TRUE(daemon.Connect(client).IsSuccess());
  int64_t code = -1;
  ASSERT_TRUE(
      wzbench::CallForCode(client, *wzbench::CreateTargetRequest(wzbench::TargetName(7)), 30000, code).IsSuccess());
  EXPECT_EQ(0, code);
  ASSERT_TRUE(daemon.Stop().IsSuccess());

  double replaySec = 0, servingSec = 0;
  ASSERT_TRUE(daemon.StartTimed(replaySec, servingSec).IsSuccess());
  CWzClient again;
  ASSERT_TRUE(daemon.Connect(again).IsSuccess());
  std::unique_ptr<CNMessageBase> reply;
  ASSERT_TRUE(wzbench::CallForCode(again, *wzbench::IoctlRequest("lt"), 30000, code, &reply).IsSuccess());
  auto* rsp = dynamic_cast<WzScsiServer::IoctlRsp*>(reply.get());
  ASSERT_NE(nullptr, rsp);
  EXPECT_EQ(std::vector<std::string>{wzbench::TargetName(7)}, rsp->results());
}

// A trial ends only between cycles, so the throughput trials of several
// client counts can follow one another (and the tgt benchmark's check of
// what tgtd holds afterwards) on one daemon; a refused change is reported.
TEST(BenchDaemon, ChangeTrialsLeaveTheModelAsTheyFoundIt) {
  BenchDaemon daemon(DoublesSetup());
  ASSERT_TRUE(daemon.Prepare().IsSuccess());
  ASSERT_TRUE(daemon.Start(true).IsSuccess());
  wzbench::ChangeLoad load;
  load.socket = daemon.Socket();
  load.prefix = "iqn.2024-01.load:test";
  load.lunPath = [](int c) { return "/bench/c" + std::to_string(c) + ".img"; };
  load.host = [](int c) { return "iqn.2024-01.host:c" + std::to_string(c); };
  load.daemonPid = daemon.Pid();

  wzbench::ChangeTrial own = wzbench::RunChangeTrial(load, 3, 0.3);
  EXPECT_EQ("", own.error);
  EXPECT_GT(own.changesPerSec, 0);
  EXPECT_GE(own.daemonCpuMs, 0);
  for (const std::vector<double>& step : own.latencyMs) EXPECT_EQ(own.latencyMs[0].size(), step.size());

  load.sharedTarget = wzbench::TargetName(1);
  wzbench::ChangeTrial refused = wzbench::RunChangeTrial(load, 2, 0.2);
  EXPECT_NE(std::string::npos, refused.error.find("create LUN: reply code")) << refused.error;

  CWzClient client;
  ASSERT_TRUE(daemon.Connect(client).IsSuccess());
  int64_t code = -1;
  ASSERT_TRUE(wzbench::CallForCode(client, *wzbench::CreateTargetRequest(load.sharedTarget), 30000, code).IsSuccess());
  wzbench::ChangeTrial shared = wzbench::RunChangeTrial(load, 3, 0.3);
  EXPECT_EQ("", shared.error);
  EXPECT_TRUE(shared.latencyMs[0].empty() && shared.latencyMs[5].empty()) << "the shared target is never touched";
  for (size_t i = 2; i < 5; ++i) EXPECT_EQ(shared.latencyMs[1].size(), shared.latencyMs[i].size());

  std::unique_ptr<CNMessageBase> reply;
  ASSERT_TRUE(wzbench::CallForCode(client, *wzbench::IoctlRequest("lt"), 30000, code, &reply).IsSuccess());
  auto* rsp = dynamic_cast<WzScsiServer::IoctlRsp*>(reply.get());
  ASSERT_NE(nullptr, rsp);
  EXPECT_EQ(std::vector<std::string>{load.sharedTarget}, rsp->results());
  EXPECT_EQ(std::vector<std::string>{}, ListAll(daemon));
}

TEST(BenchDaemon, AStartThatFailsIsReportedNotWaitedFor) {
  wzbench::DaemonSetup setup = DoublesSetup();
  setup.driverDir = "/nonexistent/wzbench-drivers";
  BenchDaemon daemon(setup);
  ASSERT_TRUE(daemon.Prepare().IsSuccess());
  // Without its platform driver the daemon exits at once; the benchmark
  // must see that instead of waiting out its time-out.
  EXPECT_TRUE(daemon.Start(true, 600000).IsError());
  EXPECT_FALSE(daemon.Running());
}

}  // namespace
