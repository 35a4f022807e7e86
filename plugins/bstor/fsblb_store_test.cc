#include "plugins/bstor/fsblb_store.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "hostlib/log/LogWriter.h"
#include "tests/support/hostlib/memory_log_writer.h"

namespace {

class FsblbStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_log = std::make_shared<CMemoryLogWriter>(2);
    g_ptrLogWriter = m_log;
  }
  void TearDown() override { g_ptrLogWriter.reset(); }

  std::shared_ptr<CMemoryLogWriter> m_log;
  WzScsiSrvBStorFSBLB m_store;
};

TEST_F(FsblbStoreTest, CountsAndLogsEveryMessage) {
  const uint8_t bytes[10] = {};
  wzsDatabuf_v2 buffer;
  buffer.data = bytes;
  buffer.length = sizeof(bytes);
  const unsigned long shortForm = 0x4B000123;
  const unsigned long extended = 0x012E0005;
  ASSERT_TRUE(m_store.HandleXDRMessage(CWzNetworkServer::WZN_CB_RECEIVED, nullptr, 7, shortForm, &buffer).IsSuccess());
  ASSERT_TRUE(m_store.HandleXDRMessage(CWzNetworkServer::WZN_CB_RECEIVED, nullptr, 7, shortForm, &buffer).IsSuccess());
  ASSERT_TRUE(m_store.HandleXDRMessage(CWzNetworkServer::WZN_CB_RECEIVED, nullptr, 8, extended, nullptr).IsSuccess());

  EXPECT_EQ(3u, m_store.MessageCount());
  EXPECT_EQ(20u, m_store.ByteCount());
  EXPECT_EQ(2u, m_store.CountFor(shortForm));
  EXPECT_EQ(1u, m_store.CountFor(extended));
  EXPECT_EQ(0u, m_store.CountFor(0x4B000000));
  EXPECT_EQ(3u, m_log->Texts(2).size());
  EXPECT_TRUE(m_log->Contains("0x4b000123"));

  m_log->SetLevel(1);
  ASSERT_TRUE(m_store.HandleXDRMessage(CWzNetworkServer::WZN_CB_RECEIVED, nullptr, 7, shortForm, &buffer).IsSuccess());
  EXPECT_EQ(3u, m_log->Texts(2).size()) << "level 2 lines only when the writer wants them";
  EXPECT_EQ(4u, m_store.MessageCount());
}

TEST_F(FsblbStoreTest, ConcurrentMessagesAreAllCounted) {
  m_log->SetLevel(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([this, t] {
      for (int i = 0; i < 500; ++i) {
        (void)m_store.HandleXDRMessage(CWzNetworkServer::WZN_CB_RECEIVED, nullptr, 1, 0x4B000000u + t, nullptr);
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(2000u, m_store.MessageCount());
  EXPECT_EQ(500u, m_store.CountFor(0x4B000002u));
}

TEST_F(FsblbStoreTest, LunOperationsAreLeftToThePlatform) {
  WzScsiSrvLun lun;
  CRnError err = m_store.CreateLunPrepare(nullptr, &lun);
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(std::string::npos, err.AsString().find("created by the platform alone"));
  EXPECT_TRUE(m_store.DeleteLunPrepare(nullptr).IsError());
  EXPECT_TRUE(m_store.Cleanup().IsSuccess());
}

}  // namespace
