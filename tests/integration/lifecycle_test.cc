// wzscsid's life as a user sees it through wzscsictl: the whole
// configuration cycle, a restart that brings it back, the start request when
// autostart is off, the on-demand stop, clean stops on signals and the exit
// statuses of a daemon that cannot run.
#include <fcntl.h>
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

// The refusals an operator meets every day, through wzscsictl: the reply's
// first line stays what scripts match, the rendering names the object (no
// reply class) and gives the next step on its own line, and --json carries
// the same as fields.
TEST_F(LifecycleTest, RefusalsNameTheObjectAndTheNextStep) {
  const std::string disks = Path("disks");
  ASSERT_EQ(::mkdir(disks.c_str(), 0755), 0);
  const std::string disk = disks + "/d0.img";
  ASSERT_EQ(::close(::creat(disk.c_str(), 0644)), 0);
  ASSERT_EQ(::close(::creat(Path("elsewhere.img").c_str(), 0644)), 0);
  WriteConfig("[Quellport]\nBackingStoreDirs=" + disks + "\n");
  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string lower = kTargetLower;
  const std::string nosuch = "iqn.2024-01.com.example:nosuch";
  ASSERT_EQ(Ctl(d, {"target", "create", kTarget}).exitCode, 0);
  ASSERT_EQ(Ctl(d, {"lun", "create", kTarget, "--type", "blkdev", "--path", disk, "--serial", "S0"}).exitCode, 0);
  ASSERT_EQ(Ctl(d, {"host", "map", kTarget, "0", "host-a"}).exitCode, 0);

  auto lunCreate = [&](const std::string& target, const std::string& path, const std::string& serial) {
    return std::vector<std::string>{"lun", "create", target, "--type", "blkdev", "--path", path, "--serial", serial};
  };
  struct Case {
    std::vector<std::string> args;
    std::string first;               // the reply's text, as before
    std::vector<std::string> names;  // in the rendering: the object and what it holds
    std::string next;                // in the next step
  };
  const std::vector<Case> cases = {
      {lunCreate(nosuch, disk, "S1"),
       "Target doesn't exists!",
       {"target " + nosuch, "no such target"},
       "wzscsictl target create " + nosuch},
      {{"target", "delete", nosuch}, "Target doesn't exist!", {"target " + nosuch}, "wzscsictl target list"},
      {lunCreate(kTarget, disk, "DISK-1"),
       "Failed to process CreateLun arguments: Lun serial number prefix should be alpha-numeric, SerialPrefix=DISK-1",
       {"target " + lower},
       "--serial 1 to 16 letters and digits"},
      {lunCreate(kTarget, disk, "ABCDEFGHIJ1234567"), "len exceeding the max length allowed", {}, "--serial"},
      {{"lun", "delete", kTarget, "7"},
       "Lun doesn't exist!",
       {"LUN 7 of target " + lower},
       "the LUNs of " + lower + ": 0"},
      {{"target", "create", "disk1"}, "Invalid iSCSI target name!", {"target disk1"}, "iqn.YYYY-MM.reversed.domain"},
      {{"target", "create", "iqn.2024-13.com.example:x"},
       "Invalid iSCSI target name!",
       {"target iqn.2024-13.com.example:x"},
       "a real year and month"},
      {{"host", "map", kTarget, "0", "host-a"},
       "Host is already mapped to the lun",
       {"host host-a, LUN 0 of target " + lower, "error 8, already mapped"},
       "nothing to do"},
      {{"host", "unmap", kTarget, "0", "Host-A"}, "Host is not mapped to the lun", {"host Host-A"}, "host-a"},
      {{"target", "delete", kTarget}, "Target has configured LUNs", {"target " + lower}, "delete its LUNs (0) first"},
      {{"lun", "delete", kTarget, "0"},
       "Lun has host mappings",
       {"LUN 0 of target " + lower},
       "unmap its hosts (host-a) first: `wzscsictl host unmap " + lower + " 0 HOST`"},
      {lunCreate(kTarget, Path("elsewhere.img"), "S2"),
       "The backing file or device is not allowed: ",
       {"outside the directories and devices of BackingStoreDirs (" + disks + "/)"},
       "BackingStoreDirs"},
      {lunCreate(kTarget, disks, "S3"),
       "is a directory: a LUN is backed by a file or a block device",
       {},
       "BackingStoreDirs"},
  };
  for (const Case& c : cases) {
    std::string command;
    for (const std::string& a : c.args) command += a + " ";
    WzCtlRunResult r = Ctl(d, c.args);
    EXPECT_EQ(r.exitCode, 1) << command << r.err;
    EXPECT_NE(r.err.find(c.first), std::string::npos) << command << r.err;
    EXPECT_EQ(r.err.find("Rsp:"), std::string::npos) << command << r.err;
    for (const std::string& name : c.names) EXPECT_NE(r.err.find(name), std::string::npos) << command << r.err;
    EXPECT_EQ(r.err.find("\n  next: ") != std::string::npos, !c.next.empty()) << command << r.err;
    EXPECT_NE(r.err.find(c.next), std::string::npos) << command << r.err;
    r = CtlJson(d, c.args);
    EXPECT_NE(r.out.find(c.first), std::string::npos) << command << r.out;
    EXPECT_EQ(r.out.find("\\nnext: "), std::string::npos) << "errorMessage is the first line only: " << r.out;
    EXPECT_EQ(r.out.find("\"next\":") != std::string::npos, !c.next.empty()) << command << r.out;
  }
  // eui. and naa. names are iSCSI names too; the reply says the name as stored.
  WzCtlRunResult created = Ctl(d, {"target", "create", "EUI.0123456789ABCDEF"});
  EXPECT_EQ(created.exitCode, 0) << created.err;
  EXPECT_EQ(created.out, "target eui.0123456789abcdef created\n");
  EXPECT_EQ(Ctl(d, {"target", "create", "naa.60014055f3b2c1d0a9e8f7a6b5c4d3e2"}).exitCode, 0);
  // A show of what does not exist fails (exit 4) and says so.
  struct Missing {
    std::vector<std::string> args;
    std::string said;
  };
  for (const Missing& m : std::vector<Missing>{
           {{"target", "show", nosuch}, "no target " + nosuch},
           {{"lun", "show", nosuch}, "no target " + nosuch},
           {{"lun", "show", nosuch, "0"}, "no target " + nosuch},
           {{"lun", "show", kTarget, "7"}, "target " + std::string(kTarget) + " has no LUN 7"},
       }) {
    created = Ctl(d, m.args);
    EXPECT_EQ(created.exitCode, 4) << m.said;
    EXPECT_TRUE(created.out.empty()) << created.out;
    EXPECT_NE(created.err.find(m.said), std::string::npos) << created.err;
    created = CtlJson(d, m.args);
    EXPECT_EQ(created.exitCode, 4) << m.said;
    EXPECT_NE(created.out.find("\"exitCode\":4"), std::string::npos) << created.out;
  }
  created = Ctl(d, {"lun", "show", kTarget, "7"});
  EXPECT_NE(created.err.find("next: the LUNs of " + std::string(kTarget) + ": 0"), std::string::npos) << created.err;
  // What exists still shows, only what was asked for.
  created = Ctl(d, {"lun", "show", kTarget, "0"});
  EXPECT_EQ(created.exitCode, 0) << created.err;
  EXPECT_NE(created.out.find("LUN 0  blkdev"), std::string::npos) << created.out;
  created = Ctl(d, {"target", "show", kTarget});
  EXPECT_EQ(created.exitCode, 0) << created.err;
  EXPECT_NE(created.out.find(lower), std::string::npos) << created.out;

  // A refused serial is the client's mistake, not an error of the service.
  const std::string log = ReadFile(d.LogFile());
  const size_t at = log.find("Failed to process CreateLun arguments");
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(log.substr(log.rfind('\n', at) + 1, at - log.rfind('\n', at)).find("ERROR"), std::string::npos);
  EXPECT_EQ(d.Stop(), 0);

  // Without a daemon: the path once, how to start it, and JSON with --json.
  WzCtlRunResult r = Ctl(d, {"target", "list"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(CountOf(r.err, d.UnixEndpoint()), 1u) << r.err;
  EXPECT_NE(r.err.find("\n  next: is wzscsid running? start it with `systemctl start wzscsid`"), std::string::npos)
      << r.err;
  r = CtlJson(d, {"target", "list"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.out.rfind("{\"error\":\"cannot reach wzscsid at ", 0), 0u) << r.out;
  EXPECT_NE(r.out.find("\"exitCode\":2}"), std::string::npos) << r.out;
  EXPECT_TRUE(r.err.empty()) << r.err;
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
