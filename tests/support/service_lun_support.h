// Helpers shared by the LUN and mapping tests (test code only).
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "actionlog/action_log_layout.h"
#include "hostlib/util/RnFiles.h"
#include "luns/lun_req_flags.h"
#include "tests/support/service_harness.h"

namespace wzluntest {

using wztest::Guid;

inline std::string LunFile(wztest::ServiceHarness& h, const std::string& target, int lun) {
  return WzScsiSrvActionLog::LunFile(WzScsiSrvActionLog::TargetDir(h.ActionLogRoot(), target), lun);
}

inline std::string MappingFile(wztest::ServiceHarness& h, const std::string& target, const std::string& host, int lun) {
  return WzScsiSrvActionLog::MappingFile(WzScsiSrvActionLog::TargetDir(h.ActionLogRoot(), target), host, lun);
}

// The value of key=value in a journal line ("" when absent).
inline std::string Field(const std::string& line, const std::string& key) {
  std::istringstream in(line);
  std::string token;
  while (in >> token)
    if (token.compare(0, key.size() + 1, key + "=") == 0) return token.substr(key.size() + 1);
  return std::string();
}

// "<lib>.<Operation>" of each journal line, with "!" appended to a call
// that failed by injection.
inline std::vector<std::string> Calls(const wztest::ServiceHarness& h) {
  std::vector<std::string> out;
  for (const std::string& line : h.Journal()) {
    std::string op = line.substr(0, line.find(' '));
    if (Field(line, "fault") == "1") op += "!";
    out.push_back(op);
  }
  return out;
}

inline const WzScsiServer::CreateLunRsp* AsCreateLunRsp(const std::shared_ptr<CNMessageBase>& reply) {
  return dynamic_cast<const WzScsiServer::CreateLunRsp*>(reply.get());
}

// A started service with one target; the service is ready whether or not
// the start request succeeded.
class LunFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    h = std::make_unique<wztest::ServiceHarness>();
    if (h->Service().GetStatus() != WzScsiSrv::SVC_INITIALIZED) h->Service().SetStatus(WzScsiSrv::SVC_INITIALIZED);
    ASSERT_EQ(wztest::ReplyCode(h->Send(wztest::MakeCreateTarget(kTarget))), 0);
  }
  void TearDown() override { h.reset(); }

  static std::string Args(const std::string& rest) { return "-ti " + std::string(kTarget) + " " + rest; }

  // Creates a LUN and returns its number (-1 when the reply was not 0).
  int CreateLun(int64_t type, const std::string& rest = "-path /dev/x -sp AB12") {
    auto reply = h->Send(wztest::MakeCreateLun(kTarget, type, Args(rest)));
    if (wztest::ReplyCode(reply) != 0) return -1;
    return static_cast<int>(AsCreateLunRsp(reply)->lunId());
  }

  WzScsiSrv::TargetMap Model() { return h->Service().SnapshotTargets(); }
  std::vector<std::string> Tree() { return wztest::ListTree(h->ActionLogRoot()); }

  static constexpr const char* kTarget = "iqn.2020-01.test:luns";
  std::unique_ptr<wztest::ServiceHarness> h;
};

}  // namespace wzluntest
