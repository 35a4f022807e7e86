// A stop during a long replay, with every driver call slowed down: the
// daemon ends the replay between two objects, waits for the call in
// progress and exits 0 (the next start restores everything); past the stop's
// time limit it exits 3 without unloading a driver a worker is inside.
#include <chrono>
#include <thread>

#include "hostlib/util/RnFiles.h"
#include "tests/integration/integration_support.h"

namespace wzit {
namespace {

class StopTest : public IntegrationTest {
 protected:
  static constexpr int kTargets = 40;

  void SaveTargets() {
    CWzDaemonProcess d;
    ASSERT_NO_FATAL_FAILURE(StartDaemon(d));
    for (int i = 0; i < kTargets; ++i)
      ASSERT_EQ(Call(d.UnixEndpoint(), *WzCtl::MakeCreateTarget(Name(i), "", 0)).errorCode, 0);
    ASSERT_EQ(d.Stop(), 0);
  }
  static std::string Name(int i) { return "iqn.2024-01.com.example:slow-" + std::to_string(i); }

  // The daemon with every driver call taking delayUs, its replay started by a
  // client in the background; returns once the replay is under way.
  void StartSlowReplay(CWzDaemonProcess& d, int delayUs, std::thread& client) {
    WzDaemonLaunch cfg = LaunchOptions({"--no-autostart"});
    cfg.env.emplace_back("WZSCSI_FAKE_DELAY_US", std::to_string(delayUs));
    CRnError e = d.Start(cfg);
    ASSERT_TRUE(e.IsSuccess()) << e.AsString();
    const std::string ep = d.UnixEndpoint();
    client = std::thread([ep] { (void)WzCtl::CallOnce(ep, "", *WzCtl::MakeStart(0), 120000); });
    for (int i = 0; i < 200; ++i) {
      WzCtl::CallResult r = WzCtl::CallOnce(ep, "", *WzCtl::MakeStatus(0), 5000);
      if (r.reply) {
        for (const std::string& line : WzCtl::ViewReply(*r.reply).results)
          if (line == "state=starting") return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FAIL() << "the replay never got under way";
  }
};

TEST_F(StopTest, AStopDuringASlowReplayEndsItCleanlyAndTheNextStartRestoresAll) {
  ASSERT_NO_FATAL_FAILURE(SaveTargets());
  {
    CWzDaemonProcess d;
    std::thread client;
    ASSERT_NO_FATAL_FAILURE(StartSlowReplay(d, 1000000, client));
    const auto began = std::chrono::steady_clock::now();
    EXPECT_EQ(d.Stop(60000), 0) << ReadFile(d.LogFile());
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    EXPECT_LT(seconds, 10.0) << "the stop waits for the call in progress, not for the whole replay";
    EXPECT_NE(ReadFile(d.LogFile()).find("Replay stopped: the service is stopping"), std::string::npos);
    client.join();
  }
  CWzDaemonProcess again;
  ASSERT_NO_FATAL_FAILURE(StartDaemon(again));
  EXPECT_EQ(Snapshot(again.UnixEndpoint()).targets.size(), static_cast<size_t>(kTargets));
}

TEST_F(StopTest, PastItsLimitAStopExitsThreeWithoutUnloading) {
  ASSERT_NO_FATAL_FAILURE(SaveTargets());
  WriteConfig("[Quellport]\nnStopTimeoutSecs=1\n");
  CWzDaemonProcess d;
  std::thread client;
  ASSERT_NO_FATAL_FAILURE(StartSlowReplay(d, 6000000, client));
  const pid_t pid = d.Pid();
  EXPECT_EQ(d.Stop(60000), 3) << ReadFile(d.LogFile());
  EXPECT_NE(ReadFile(d.LogFile()).find("Exiting without unloading the service (status 3)"), std::string::npos);
  EXPECT_FALSE(CRnPath::Exists("/dev/shm/sem.wzscsid-" + std::to_string(pid))) << "the idle semaphore is removed";
  client.join();
}

}  // namespace
}  // namespace wzit
