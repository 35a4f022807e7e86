// One etcd client shared by many threads (also run under TSan): a
// cluster-wide choice raced by 16 threads is won exactly once per round,
// and a watch stopped from another thread while changes stream in stops
// promptly and calls back no more. Without etcd installed these tests skip.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "cluster/etcd_client.h"
#include "tests/support/cluster/etcd_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

class EtcdConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!wzetcdtest::EtcdInstalled()) GTEST_SKIP() << "etcd is not installed";
    std::string error;
    ASSERT_TRUE(m_cluster.Start(1, &error)) << error;
    WzEtcdClientOptions options;
    options.endpoints = m_cluster.ClientUrls();
    // Sanitized builds on a shared machine are slow: the deadline is not
    // what these tests are about.
    options.requestTimeoutMs = 10000;
    options.maxIdleConnections = 4;  // fewer than the threads: the pool churns
    CRnError err = WzScsiSrvEtcdClient::Create(options, m_client);
    ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  }

  wzetcdtest::EtcdTestCluster m_cluster;
  std::unique_ptr<WzScsiSrvEtcdClient> m_client;
};

TEST_F(EtcdConcurrencyTest, CreateIfAbsentRacedBy16ThreadsWinsOncePerRound) {
  constexpr int kThreads = 16;
  constexpr int kRounds = 10;
  // wins[round][thread]; losers record the value they lost to.
  std::vector<std::vector<int>> wins(kRounds, std::vector<int>(kThreads, 0));
  std::vector<std::vector<std::string>> seen(kRounds, std::vector<std::string>(kThreads));
  std::atomic<int> failures{0};
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ready.fetch_add(1);
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int round = 0; round < kRounds; ++round) {
        const std::string key = "targets/iqn.race-" + std::to_string(round);
        WzEtcdTxnResult result;
        CRnError err = m_client->Txn({WzEtcdCompare::Absent(key)}, {WzEtcdOp::Put(key, "gw-" + std::to_string(t))},
                                     {WzEtcdOp::Get(key)}, result);
        if (err || (!result.succeeded && (result.results.size() != 1 || result.results[0].kvs.size() != 1))) {
          failures.fetch_add(1);
          continue;
        }
        wins[round][t] = result.succeeded ? 1 : 0;
        if (!result.succeeded) seen[round][t] = result.results[0].kvs[0].value;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  ASSERT_EQ(failures.load(), 0);
  for (int round = 0; round < kRounds; ++round) {
    int winner = -1;
    int count = 0;
    for (int t = 0; t < kThreads; ++t) {
      if (wins[round][t]) {
        winner = t;
        ++count;
      }
    }
    ASSERT_EQ(count, 1) << "round " << round;
    for (int t = 0; t < kThreads; ++t) {
      if (t == winner) continue;
      EXPECT_EQ(seen[round][t], "gw-" + std::to_string(winner)) << "round " << round;
    }
    WzEtcdRange range;
    ASSERT_TRUE(m_client->Get("targets/iqn.race-" + std::to_string(round), range).IsSuccess());
    ASSERT_EQ(range.kvs.size(), 1u);
    EXPECT_EQ(range.kvs[0].value, "gw-" + std::to_string(winner));
    EXPECT_EQ(range.kvs[0].version, 1);
  }
}

TEST_F(EtcdConcurrencyTest, WatchStoppedFromAnotherThreadWhileChangesStream) {
  std::atomic<int> delivered{0};
  std::atomic<bool> stopped{false};
  std::atomic<int> afterStop{0};
  std::unique_ptr<WzEtcdWatch> watch;
  CRnError err = m_client->Watch(
      "w/", 0,
      [&](const WzEtcdWatchUpdate& update) {
        if (stopped.load()) afterStop.fetch_add(1);
        delivered.fetch_add(static_cast<int>(update.events.size()));
        std::this_thread::sleep_for(std::chrono::milliseconds(1));  // a slow consumer
      },
      watch);
  ASSERT_TRUE(err.IsSuccess()) << err.AsString();

  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int i = 0; writing.load() && i < 2000; ++i) (void)m_client->Put("w/" + std::to_string(i % 7), "v");
  });
  const auto deadline = Clock::now() + std::chrono::seconds(30);
  while (delivered.load() < 20 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_GE(delivered.load(), 20);

  std::thread stopper([&] {
    const Clock::time_point start = Clock::now();
    watch->Stop();
    stopped.store(true);
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count(), 2000);
  });
  stopper.join();
  EXPECT_FALSE(watch->Running());
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  writing.store(false);
  writer.join();
  EXPECT_EQ(afterStop.load(), 0);
  watch.reset();
}

}  // namespace
