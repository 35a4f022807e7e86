#include "bench/service_bench_env.h"

#include <gtest/gtest.h>

#include "bench/bench_requests.h"

namespace {

// The micro-benchmarks time requests against this model; a model that is
// not what it claims (a LUN unmapped, a refusal answered as a success)
// would make their figures meaningless.
TEST(ServiceBenchEnv, ModelAndRepliesAreWhatTheBenchmarksAssume) {
  wzbench::ServiceBenchEnv env(3, 4);
  ASSERT_EQ("", env.Failure());
  size_t tuples = 0;
  for (const auto& target : env.Service().SnapshotTargets()) {
    ASSERT_EQ(4u, target.second.luns.size()) << target.first;
    for (const auto& lun : target.second.luns) {
      EXPECT_EQ(1u, lun.second.hosts.size()) << target.first << " LUN " << lun.first;
      ++tuples;
    }
  }
  EXPECT_EQ(12u, tuples);
  EXPECT_TRUE(wztest::ListTree(env.Service().GetActionLogRoot() + "/Targets").empty())
      << "the model is put in place without saving anything";

  const WznHandle_t handle = env.Net().Connect();
  EXPECT_EQ(WzScsiServer::RC_SUCCESS, env.Call(handle, wzbench::IoctlRequest("ll")));
  EXPECT_EQ(WzScsiServer::RC_NOT_FOUND_OR_WRONG_STATE,
            env.Call(handle, wzbench::DeleteTargetRequest("iqn.2024-01.bench:absent")));
  EXPECT_EQ(2u, env.Net().ReplyCount(handle));
}

TEST(BenchSinkNetwork, CountsRepliesPerConnectionAndFreesMessages) {
  BenchSinkNetwork net;
  const WznHandle_t a = net.Connect();
  const WznHandle_t b = net.Connect();
  EXPECT_FALSE(net.WaitForReplies(a, 1, 10));
  CWzNetwork* conn = nullptr;
  ASSERT_TRUE(net.AcquireSession(a, conn).IsSuccess());
  WzScsiServer::IoctlRsp reply;
  WzScsiServer::Error error;
  error.setErrorCode(WzScsiServer::RC_HAS_DEPENDANTS);
  reply.setError(error);
  bool gone = true;
  ASSERT_TRUE(conn->SendXMLMessage(&reply, 0, 60, gone).IsSuccess());
  EXPECT_FALSE(gone);
  EXPECT_TRUE(net.WaitForReplies(a, 1, 10));
  EXPECT_EQ(WzScsiServer::RC_HAS_DEPENDANTS, net.LastReplyCode(a));
  EXPECT_EQ(0u, net.ReplyCount(b));
  EXPECT_EQ(-1, net.LastReplyCode(b));
  EXPECT_TRUE(net.AcquireSession(b + 100, conn).IsError());

  CNMessageBase* message = wzbench::IoctlRequest("lt").release();
  net.CleanXmlBuffer(message);
  EXPECT_EQ(nullptr, message);
  EXPECT_EQ(1u, net.FreedMessages());
}

}  // namespace
