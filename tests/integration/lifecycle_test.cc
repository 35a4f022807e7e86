// wzscsid's life as a user sees it through wzscsictl: the whole
// configuration cycle, a restart that brings it back, the start request when
// autostart is off, the on-demand stop, clean stops on signals and the exit
// statuses of a daemon that cannot run.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "tests/integration/integration_support.h"

namespace wzit {
namespace {

const char* const kTarget = "iqn.2024-01.com.example:Life";
const char* const kTargetLower = "iqn.2024-01.com.example:life";

int64_t JsonInt(const std::string& json, const std::string& key) {
  std::smatch m;
  std::regex re("\"" + key + "\":(-?[0-9]+)");
  return std::regex_search(json, m, re) ? std::stoll(m[1]) : -999;
}

bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

class LifecycleTest : public IntegrationTest {};

TEST_F(LifecycleTest, WholeConfigurationCycle) {
  CWzDaemonProcess d;
  StartDaemon(d);
  WzCtlRunResult r = Ctl(d, {"target", "create", kTarget, "--desc", "integration"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = Ctl(d, {"target", "list"});
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_NE(r.out.find(kTargetLower), std::string::npos) << r.out;

  // One LUN of each type, numbered by the engine.
  const std::vector<std::vector<std::string>> kinds = {
      {"--type", "kernel", "--path", Path("k.img")},
      {"--type", "blkdev", "--path", Path("b.img"), "--size", "1048576"},
      {"--type", "devsnap", "--ssid", "snap1"},
      {"--type", "fsblb", "--path", Path("f.img"), "--args=-cachemode wb"}};
  std::vector<int64_t> luns;
  for (const auto& kind : kinds) {
    std::vector<std::string> args{"lun", "create", kTarget, "--serial", "SER" + std::to_string(luns.size())};
    args.insert(args.end(), kind.begin(), kind.end());
    r = CtlJson(d, args);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(JsonInt(r.out, "errorCode"), 0);
    EXPECT_NE(r.out.find("\"reply\":\"CreateLunRsp\""), std::string::npos) << r.out;
    luns.push_back(JsonInt(r.out, "lunId"));
  }
  EXPECT_EQ(luns, (std::vector<int64_t>{0, 1, 2, 3}));

  for (int64_t lun : luns) {
    r = Ctl(d, {"host", "map", kTarget, std::to_string(lun), "Host-A"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
  ASSERT_EQ(Ctl(d, {"host", "map", kTarget, "0", "host-b"}).exitCode, 0);
  r = Ctl(d, {"host", "map", kTarget, "0", "host-b"});
  EXPECT_EQ(r.exitCode, 1) << "a second mapping of the same host is refused";

  r = CtlJson(d, {"lun", "list"});
  ASSERT_EQ(r.exitCode, 0);
  EXPECT_EQ(CountOf(r.out, "\"target\":\"" + std::string(kTargetLower) + "\""), 5u) << r.out;
  r = CtlJson(d, {"lun", "list", "--host", "Host-A"});
  EXPECT_EQ(CountOf(r.out, "\"host\":\"Host-A\""), 4u) << r.out;
  r = Ctl(d, {"lun", "list", "--target", kTarget});
  EXPECT_TRUE(std::regex_search(r.out, std::regex("iqn.2024-01.com.example:life +host-b +0 +"
                                                  "[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z")))
      << r.out;

  // Close and reopen the snapshot LUN: neither is saved.
  const size_t savedBefore = SavedFiles(StateDir()).size();
  ASSERT_EQ(Ctl(d, {"host", "unmap", kTarget, "2", "Host-A"}).exitCode, 0);
  r = Ctl(d, {"lun", "delete", kTarget, "2", "--close-only"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  r = Ctl(d, {"lun", "open", kTarget, "2"});
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(SavedFiles(StateDir()).size(), savedBefore - 1) << "only the unmapping changed the saved files";
  const std::string journal = ReadFile(Path("journal"));
  EXPECT_NE(journal.find("closeOnly=1"), std::string::npos);
  EXPECT_NE(journal.find("openOnly=1"), std::string::npos);
  EXPECT_NE(journal.find("platform.CreateTarget targetId=" + std::string(kTargetLower)), std::string::npos);

  // Dependants keep a target and a mapped LUN in place.
  r = CtlJson(d, {"target", "delete", kTarget});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(JsonInt(r.out, "errorCode"), 9) << r.out;
  r = Ctl(d, {"lun", "delete", kTarget, "0"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("error 9"), std::string::npos) << r.err;

  // Take it all down again.
  ASSERT_EQ(Ctl(d, {"host", "unmap", kTarget, "0", "host-b"}).exitCode, 0);
  for (int64_t lun : {0, 1, 3})
    ASSERT_EQ(Ctl(d, {"host", "unmap", kTarget, std::to_string(lun), "Host-A"}).exitCode, 0);
  for (int64_t lun : luns) ASSERT_EQ(Ctl(d, {"lun", "delete", kTarget, std::to_string(lun)}).exitCode, 0);
  EXPECT_EQ(Ctl(d, {"lun", "delete", kTarget, "0"}).exitCode, 1) << "already gone";
  ASSERT_EQ(Ctl(d, {"target", "delete", kTarget}).exitCode, 0);
  r = Ctl(d, {"target", "list"});
  EXPECT_EQ(r.out, "no targets\n");
  EXPECT_TRUE(SavedFiles(StateDir()).empty());
  EXPECT_EQ(d.Stop(), 0);
}

TEST_F(LifecycleTest, RestartBringsTheSameListingBack) {
  std::string before;
  {
    CWzDaemonProcess d;
    StartDaemon(d);
    for (const char* t : {"iqn.2024-01.com.example:a", "iqn.2024-01.com.example:b"}) {
      ASSERT_EQ(Ctl(d, {"target", "create", t}).exitCode, 0);
      for (int i = 0; i < 3; ++i) {
        WzCtlRunResult r =
            Ctl(d, {"lun", "create", t, "--type", "blkdev", "--path", Path("d" + std::to_string(i)), "--serial", "S"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
      }
      ASSERT_EQ(Ctl(d, {"host", "map", t, "1", "iqn.1994-05.com.example:init"}).exitCode, 0);
      ASSERT_EQ(Ctl(d, {"host", "map", t, "2", "other"}).exitCode, 0);
    }
    ASSERT_EQ(Ctl(d, {"lun", "delete", "iqn.2024-01.com.example:a", "0"}).exitCode, 0);
    // Creation times must come back as they were, not as the restart's time.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    before = Ctl(d, {"lun", "list"}).out;
    EXPECT_EQ(d.Stop(), 0);
  }
  CWzDaemonProcess again;
  StartDaemon(again);
  WzCtlRunResult after = Ctl(again, {"lun", "list"});
  EXPECT_EQ(after.exitCode, 0);
  EXPECT_EQ(after.out, before);
  EXPECT_EQ(CountOf(before, "\n"), 6u) << before;  // header + 5 LUNs
  EXPECT_EQ(CountOf(ReadFile(again.LogFile()), "PLAYBACK ERROR"), 0u);
}

TEST_F(LifecycleTest, NoAutostartRefusesUntilStarted) {
  CWzDaemonProcess d;
  StartDaemon(d, {"--no-autostart"});
  WzCtlRunResult r = CtlJson(d, {"target", "create", "iqn.2024-01.com.example:x"});
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.out.find("\"errorCode\":1,\"errorMessage\":\"Either service not initialized or initialization is "
                       "in progress.\""),
            std::string::npos)
      << r.out;
  EXPECT_EQ(Ctl(d, {"lun", "list"}).exitCode, 1);
  r = Ctl(d, {"start"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "Scsi Service started!!!\n");
  EXPECT_EQ(Ctl(d, {"target", "create", "iqn.2024-01.com.example:x"}).exitCode, 0);
  EXPECT_EQ(Ctl(d, {"start"}).exitCode, 0) << "a second start changes nothing";
  EXPECT_EQ(Snapshot(d.UnixEndpoint()).targets, std::vector<std::string>{"iqn.2024-01.com.example:x"});
}

TEST_F(LifecycleTest, OnDemandStopsWhenIdleWithNoTarget) {
  WriteConfig("[Quellport]\nnWzScsiSrvInactivityTimeOutInSecs=1\n");
  CWzDaemonProcess d;
  StartDaemon(d, {"--on-demand"});
  ASSERT_EQ(Ctl(d, {"target", "create", "iqn.2024-01.com.example:keep"}).exitCode, 0);
  // A target holds the daemon up well past the time-out.
  EXPECT_EQ(d.Wait(3000), -1) << ReadFile(d.LogFile());
  ASSERT_EQ(Ctl(d, {"target", "delete", "iqn.2024-01.com.example:keep"}).exitCode, 0);
  EXPECT_EQ(d.Wait(20000), 0);
  const std::string log = ReadFile(d.LogFile());
  EXPECT_NE(log.find("No target and no request for 1 s: stopping"), std::string::npos);
  EXPECT_NE(log.find("wzscsid stopped"), std::string::npos);
}

TEST_F(LifecycleTest, SignalsStopCleanly) {
  for (int sig : {SIGTERM, SIGINT}) {
    CWzDaemonProcess d;
    StartDaemon(d);
    ASSERT_EQ(Ctl(d, {"target", "create", "iqn.2024-01.com.example:s" + std::to_string(sig)}).exitCode, 0);
    const pid_t pid = d.Pid();
    ASSERT_EQ(kill(pid, sig), 0);
    EXPECT_EQ(d.Wait(30000), 0) << "signal " << sig;
    EXPECT_FALSE(Exists(d.UnixEndpoint())) << "the socket file is removed";
    EXPECT_FALSE(Exists("/dev/shm/sem.wzscsid-" + std::to_string(pid))) << "the idle semaphore is removed";
    const std::string log = ReadFile(d.LogFile());
    EXPECT_NE(log.find("Service stopped"), std::string::npos);
    EXPECT_NE(log.find("wzscsid stopped"), std::string::npos);
  }
}

TEST_F(LifecycleTest, ExitStatusesOfADaemonThatCannotRun) {
  // Bad configuration: 1.
  WriteConfig("[wzscsid]\nMaxConnections=none\n");
  WzCtlRun run;
  run.program = WzBuildPaths::Daemon();
  run.args = {"--state-dir", StateDir(), "--socket", Path("a.sock"), "--driver-dir", WzBuildPaths::Fakes()};
  WzCtlRunResult r = RunCtlProcess(run);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("[wzscsid] MaxConnections"), std::string::npos) << r.err;
  WriteConfig("");

  // No service library, or a platform driver without its entry: 2.
  run.args = {"--state-dir", StateDir(), "--socket", Path("a.sock"), "--service-lib", Path("none.so")};
  r = RunCtlProcess(run);
  EXPECT_EQ(r.exitCode, 2) << r.err;
  EXPECT_NE(r.err.find("cannot load the service library"), std::string::npos) << r.err;
  run.args = {"--state-dir", StateDir(), "--socket", Path("a.sock"), "--driver-dir", WzBuildPaths::Fakes() + "-nosym"};
  r = RunCtlProcess(run);
  EXPECT_EQ(r.exitCode, 2) << r.err;
  EXPECT_NE(r.err.find("Initialization of platform library failed"), std::string::npos) << r.err;

  // A socket another daemon serves: 1, and the first one goes on.
  CWzDaemonProcess first;
  StartDaemon(first);
  run.args = {"--state-dir", Path("other"), "--socket", first.UnixEndpoint(), "--driver-dir", WzBuildPaths::Fakes()};
  r = RunCtlProcess(run);
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_EQ(Ctl(first, {"target", "list"}).exitCode, 0);
}

}  // namespace
}  // namespace wzit
