#include "hostlib/svchost/IOnDemandSvcInterface.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "hostlib/log/LogWriter.h"
#include "hostlib/svchost/WzNamedSemaphore.h"
#include "tests/support/hostlib/memory_log_writer.h"

namespace {

// The smallest service: only the host-side operations are of interest.
class MinimalService : public IOnDemandSvcInterface {
 public:
  CRnError Initialize(int, char**, std::string&, int&, IOnDemandSvcApp*) override { return CRnError(); }
  CRnError SubmitJob(std::string&, CNSession::OnDemandServiceStatusType&, CNSession::OnDemandServiceMode) override {
    return CRnError();
  }
  CRnError IncomingMsgXMLCallback(CWzNetworkServer::WznCallback_e, CWzNetworkServer*, WznHandle_t,
                                  CNMessageBase*) override {
    return CRnError();
  }
  CRnError IncomingMsgXDRCallback(CWzNetworkServer::WznCallback_e, CWzNetworkServer*, WznHandle_t, unsigned long,
                                  wzsDatabuf_v2*) override {
    return CRnError();
  }
  CRnError KillAllJobs() override { return CRnError(); }
  void CleanUp() override {}
};

class StartIdleTimerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    memory = std::make_shared<CMemoryLogWriter>(0);
    g_ptrLogWriter = memory;
    name = "/wztest-idle-" + std::to_string(getpid());
  }
  void TearDown() override {
    g_ptrLogWriter.reset();
    try {
      WzNamedSemaphore::unlink(name);
    } catch (const WzException&) {
    }
  }
  std::shared_ptr<CMemoryLogWriter> memory;
  std::string name;
  MinimalService service;
};

TEST_F(StartIdleTimerTest, ReleasesTheHostsSemaphoreOnce) {
  WzNamedSemaphore host(name, 0, nullptr, true);
  ASSERT_FALSE(service.StartIdleTimer(name));
  EXPECT_EQ(host.value(), 1);
  ASSERT_FALSE(service.StartIdleTimer(name));  // releases add up
  EXPECT_EQ(host.value(), 2);
  EXPECT_TRUE(memory->Records().empty());
}

TEST_F(StartIdleTimerTest, FailureIsLoggedAndReturnedAsCodeOne) {
  CRnError err = service.StartIdleTimer("/wz/bad");
  ASSERT_TRUE(err);
  EXPECT_EQ(err.GetCode(), 1u);
  EXPECT_EQ(err.GetText(), "Failed to release semaphore");
  std::vector<CMemoryLogWriter::Record> records = memory->Records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].level, -1);
  EXPECT_EQ(records[0].function, "EvDebug");
  EXPECT_EQ(records[0].text.rfind("Error while releasing semaphore(/wz/bad):(", 0), 0u) << records[0].text;
  EXPECT_EQ(records[0].text.substr(records[0].text.size() - 2), ") ");
}

}  // namespace
