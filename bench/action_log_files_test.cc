#include "bench/action_log_files.h"

#include "actionlog/action_log_layout.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench/bench_requests.h"
#include "tests/support/service_harness.h"

namespace {

using wzbench::HostName;
using wzbench::ModelShape;
using wzbench::TargetName;

std::vector<std::string> ListAll(wztest::ServiceHarness& h) {
  auto reply = h.Send(wzbench::IoctlRequest("ll"));
  auto* rsp = dynamic_cast<WzScsiServer::IoctlRsp*>(reply.get());
  return rsp != nullptr ? rsp->results() : std::vector<std::string>{"<no reply>"};
}

uint64_t SavedCreationTime(const std::string& file) {
  const std::string text = wztest::ReadFile(file);
  const std::string key = "-creationTime ";
  const size_t at = text.find(key);
  return at == std::string::npos ? 0 : strtoull(text.c_str() + at + key.size(), nullptr, 10);
}

// A log written by the benchmark must be the one the service would have
// written for the same requests, file for file and byte for byte.
TEST(BenchActionLogFiles, SameTreeAndBytesAsTheServiceSaves) {
  wztest::HarnessOptions options;
  options.logLevel = 0;
  wztest::ServiceHarness service(options);
  const std::string target = TargetName(0);
  ASSERT_EQ(0, wztest::ReplyCode(service.Send(wzbench::CreateTargetRequest(target))));
  ASSERT_EQ(0, wztest::ReplyCode(service.Send(wzbench::CreateLunRequest(target, wzbench::LunPath(0, 0)))));
  ASSERT_EQ(0, wztest::ReplyCode(service.Send(wzbench::MapRequest(target, 0, HostName(0)))));
  const std::string savedRoot = service.ActionLogRoot();
  const std::vector<std::string> savedTree = wztest::ListTree(savedRoot);

  const std::string lunFile = WzScsiSrvActionLog::LunFile(WzScsiSrvActionLog::TargetDir(savedRoot, target), 0);
  ASSERT_TRUE(CRnPath::Exists(lunFile));
  ModelShape shape;
  shape.targets = 1;
  shape.lunsPerTarget = 1;
  shape.creationTime = SavedCreationTime(lunFile);
  ASSERT_NE(0u, shape.creationTime);

  const std::string ours = service.Root() + "/bench-log";
  ASSERT_TRUE(wzbench::WriteActionLog(ours, shape).IsSuccess());
  ASSERT_EQ(savedTree, wztest::ListTree(ours));
  for (const std::string& f : savedTree) {
    if (f.back() == '/') continue;
    EXPECT_EQ(wztest::ReadFile(savedRoot + "/" + f), wztest::ReadFile(ours + "/" + f)) << f;
  }
}

TEST(BenchActionLogFiles, ReplaysIntoTheModelItDescribes) {
  wztest::HarnessOptions options;
  options.logLevel = 0;
  options.start = false;
  wztest::ServiceHarness service(options);
  ModelShape shape;
  shape.targets = 3;
  shape.lunsPerTarget = 2;
  shape.creationTime = 1700000000;
  ASSERT_TRUE(wzbench::WriteActionLog(service.ActionLogRoot(), shape).IsSuccess());
  ASSERT_EQ(0, service.Start());

  std::vector<std::string> expected;
  for (int t = 0; t < shape.targets; ++t)
    for (int l = 0; l < shape.lunsPerTarget; ++l)
      expected.push_back(wzbench::LunTuple(TargetName(t), HostName(t), l, shape.creationTime));
  EXPECT_EQ(expected, ListAll(service));
  EXPECT_EQ(0u, service.Log().Count("Failed")) << "replay reported a failure";
}

TEST(BenchActionLogFiles, LunsWithoutHostsListWithADash) {
  wztest::HarnessOptions options;
  options.logLevel = 0;
  options.start = false;
  wztest::ServiceHarness service(options);
  ModelShape shape;
  shape.targets = 1;
  shape.lunsPerTarget = 2;
  shape.mapHosts = false;
  ASSERT_TRUE(wzbench::WriteActionLog(service.ActionLogRoot(), shape).IsSuccess());
  ASSERT_EQ(0, service.Start());
  EXPECT_EQ((std::vector<std::string>{wzbench::LunTuple(TargetName(0), "-", 0, shape.creationTime),
                                      wzbench::LunTuple(TargetName(0), "-", 1, shape.creationTime)}),
            ListAll(service));
}

}  // namespace
