// The tgt platform driver called for many targets from several threads at
// once against one real tgtd, as the service's per-target locks allow, and
// a tgtd restart while calls are in flight. Labels e2e and concurrency: the
// TSan run checks the driver's locking with it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "drivers/unit_serial.h"
#include "hostlib/config/WZPlatformInfo.h"
#include "plugins/tgt_driver/tgt_platform.h"
#include "plugins/tgtd_client/tgt_state.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"
#include "tests/support/tgtd/tgtd_fixture.h"

namespace wze2e {
namespace {

constexpr int kThreads = 4;
constexpr int kTargetsPerThread = 4;
const std::string kHost = "iqn.2024-01.com.example:host";

std::string TargetName(int thread, int index) {
  return "iqn.2024-01.com.example:c" + std::to_string(thread) + "-" + std::to_string(index);
}

class TgtConcurrencyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!TgtdInstalled()) GTEST_SKIP() << "tgtd is not installed";
    std::string error;
    ASSERT_TRUE(m_tgtd.Start(&error)) << error;
    const std::string config = m_dir.Join("config.ini");
    std::ofstream(config) << "[WzScsiSrvTgt]\nTgtdControlSocket=" << m_tgtd.ControlSocket() << "\n";
    WZPlatformInfo::SetConfigFile(config);
    CRnError err = m_platform.Init();
    ASSERT_TRUE(err.IsSuccess()) << err.AsString();
  }
  void TearDown() override {
    (void)m_platform.CleanUp();
    m_tgtd.Stop();
    WZPlatformInfo::SetConfigFile("");
  }

  std::string File(const std::string& target, int lun) {
    const std::string path = m_dir.Join(target.substr(target.find(':') + 1) + "-" + std::to_string(lun) + ".img");
    std::ofstream(path).close();
    EXPECT_EQ(0, ::truncate(path.c_str(), 1 << 20));
    return path;
  }
  WzScsiSrvLun Lun(const std::string& target, int32_t number) {
    WzScsiSrvLun lun(target, &m_platform, WzScsiServer::BSTOR_KERNEL, nullptr, nullptr, "S", number, "", 0, 512, 0,
                     false, nullptr);
    return lun;
  }
  // What the service replays for one target: the target, LUNs 1 and 2 on
  // their files, both mapped to kHost. Failures are counted, not asserted:
  // gtest assertions belong to the main thread.
  void Configure(const std::string& target, std::atomic<int>& failures) {
    WzScsiSrvModelTarget t(WzScsiSrvTarget(target, ""));
    if (m_platform.CreateTarget(t).IsError()) ++failures;
    for (int32_t number : {1, 2}) {
      WzScsiSrvLun lun = Lun(target, number);
      lun.path = m_dir.Join(target.substr(target.find(':') + 1) + "-" + std::to_string(number) + ".img");
      if (m_platform.CreateLun(&lun).IsError()) ++failures;
      WzScsiSrvModelLun mapped(lun);
      WzScsiSrvModelHost host(kHost, "");
      if (m_platform.MapHost(mapped, host).IsError()) ++failures;
    }
  }
  // Runs body(thread) on kThreads threads at once.
  static void OnThreads(const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) threads.emplace_back(body, i);
    for (std::thread& t : threads) t.join();
  }
  // Every target of every thread, as tgtd holds it after Configure.
  void ExpectConfigured() {
    WzScsiSrvEngineView view;
    CRnError err = m_platform.ListOwned(view);
    ASSERT_TRUE(err.IsSuccess()) << err.AsString();
    ASSERT_EQ(static_cast<size_t>(kThreads * kTargetsPerThread), view.targets.size());
    for (int thread = 0; thread < kThreads; ++thread) {
      for (int index = 0; index < kTargetsPerThread; ++index) {
        const std::string name = TargetName(thread, index);
        const WzScsiSrvEngineTarget& t = view.targets[name];
        ASSERT_EQ(2u, t.luns.size()) << name;
        for (int32_t number : {1, 2}) {
          EXPECT_EQ(WzScsiSrvUnitSerial("S", name, number), t.luns.at(number).serial) << name;
          EXPECT_NE(std::string::npos, t.luns.at(number).path.find(name.substr(name.find(':') + 1))) << name;
        }
        EXPECT_EQ(1u, t.hosts.size()) << name;
        EXPECT_EQ(1u, t.hosts.count(kHost)) << name;
      }
    }
  }

  CRnTempDirForTest m_dir;
  TgtdProcess m_tgtd;
  WzScsiSrvTgtPlatform m_platform;
};

TEST_F(TgtConcurrencyTest, CallsForDifferentTargetsRunAtOnceAndSurviveATgtdRestart) {
  for (int thread = 0; thread < kThreads; ++thread) {
    for (int index = 0; index < kTargetsPerThread; ++index) {
      File(TargetName(thread, index), 1);
      File(TargetName(thread, index), 2);
      File(TargetName(thread, index), 3);
    }
  }
  std::atomic<int> failures{0};
  OnThreads([&](int thread) {
    for (int index = 0; index < kTargetsPerThread; ++index) Configure(TargetName(thread, index), failures);
  });
  EXPECT_EQ(0, failures.load());
  ASSERT_NO_FATAL_FAILURE(ExpectConfigured());
  EXPECT_EQ(kThreads * kTargetsPerThread, m_tgtd.TargetCount()) << "tids were never handed out twice";

  // Each thread adds and deletes a third LUN of its targets while tgtd is
  // killed and started again, empty, under the calls.
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0};
  std::thread churn([&] {
    OnThreads([&](int thread) {
      while (!stop) {
        for (int index = 0; index < kTargetsPerThread; ++index) {
          const std::string name = TargetName(thread, index);
          WzScsiSrvLun lun = Lun(name, -1);
          lun.path = m_dir.Join(name.substr(name.find(':') + 1) + "-3.img");
          if (m_platform.CreateLun(&lun).IsSuccess()) (void)m_platform.DeleteLun(&lun);
        }
        ++rounds;
      }
    });
  });
  auto waitRounds = [&](int more) {
    const int until = rounds + more;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (rounds < until && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return rounds >= until;
  };
  EXPECT_TRUE(waitRounds(2 * kThreads));
  std::string error;
  const bool restarted = m_tgtd.Restart(&error);
  EXPECT_TRUE(waitRounds(2 * kThreads));
  stop = true;
  churn.join();
  ASSERT_TRUE(restarted) << error;
  EXPECT_EQ(0, m_tgtd.TargetCount()) << "no call reached the new tgtd with a tid of the old one";

  // The replay after the restart, from all threads again, restores every
  // target exactly.
  OnThreads([&](int thread) {
    for (int index = 0; index < kTargetsPerThread; ++index) Configure(TargetName(thread, index), failures);
  });
  EXPECT_EQ(0, failures.load());
  ASSERT_NO_FATAL_FAILURE(ExpectConfigured());
  EXPECT_EQ(kThreads * kTargetsPerThread, m_tgtd.TargetCount());
}

// CHAP set and cleared for many targets at once, threads sharing user names:
// tgtd ends with exactly the accounts still in use, each target's behind the
// hold account, and tgtd (which crashes listing a target whose first account
// was unbound before a later one) still answers.
TEST_F(TgtConcurrencyTest, ChapOfTargetsSharingUserNamesChangesAtOnce) {
  for (int thread = 0; thread < kThreads; ++thread) {
    for (int index = 0; index < kTargetsPerThread; ++index) {
      File(TargetName(thread, index), 1);
      File(TargetName(thread, index), 2);
    }
  }
  std::atomic<int> failures{0};
  OnThreads([&](int thread) {
    for (int index = 0; index < kTargetsPerThread; ++index) Configure(TargetName(thread, index), failures);
  });
  auto chap = [](int index) {
    return WzScsiSrvChap{true, "user" + std::to_string(index), "Secret-of-" + std::to_string(index) + "-12", "", ""};
  };
  OnThreads([&](int thread) {
    for (int index = 0; index < kTargetsPerThread; ++index) {
      WzScsiSrvModelTarget t(WzScsiSrvTarget(TargetName(thread, index), ""));
      if (m_platform.SetTargetAuth(t, chap(index)).IsError()) ++failures;
      t.chap = chap(index);
      // Threads 0 and 1 turn it off again; the others still use the accounts.
      if (thread < 2 && m_platform.SetTargetAuth(t, WzScsiSrvChap()).IsError()) ++failures;
    }
  });
  EXPECT_EQ(0, failures.load());
  std::vector<wztgt::TgtTargetInfo> targets;
  ASSERT_TRUE(wztgt::ParseTargetShow(m_tgtd.ShowTargets(), targets).IsSuccess());
  ASSERT_EQ(static_cast<size_t>(kThreads * kTargetsPerThread), targets.size());
  for (const wztgt::TgtTargetInfo& t : targets) {
    std::vector<std::string> expected;
    if (t.name.find(":c0-") == std::string::npos && t.name.find(":c1-") == std::string::npos) {
      expected = {WzScsiSrvTgtPlatform::kHoldAccount, "user" + t.name.substr(t.name.size() - 1)};
    }
    EXPECT_EQ(expected, t.accounts) << t.name;
  }
  const std::string accounts = m_tgtd.Tgtadm({"--mode", "account", "--op", "show"}).output;
  EXPECT_EQ(std::string("Account list:\n"), accounts.substr(0, 14)) << accounts;
  EXPECT_EQ(static_cast<long>(1 + kTargetsPerThread), std::count(accounts.begin(), accounts.end(), '\n') - 1)
      << "the hold account and one a user name:\n"
      << accounts;
}

}  // namespace
}  // namespace wze2e
