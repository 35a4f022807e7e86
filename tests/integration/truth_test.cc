// A reply is the truth: on a state directory that fills up or turns
// read-only, a change answered with code 0 survives a restart and a refused
// one does not come back; a start that cannot restore everything says so and
// `status --json` names what failed.
#include <sys/mount.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "actionlog/action_log_layout.h"
#include "hostlib/util/FXString.h"
#include "tests/integration/integration_support.h"

namespace wzit {
namespace {

namespace Layout = WzScsiSrvActionLog;

// A small tmpfs under the test directory, unmounted at the end.
class SmallFileSystem {
 public:
  SmallFileSystem(const std::string& dir, const char* size) : m_dir(dir) {
    m_mounted = ::mount("wztest", dir.c_str(), "tmpfs", 0, (std::string("size=") + size).c_str()) == 0;
  }
  ~SmallFileSystem() {
    if (m_mounted) ::umount2(m_dir.c_str(), MNT_DETACH);
  }
  bool Mounted() const { return m_mounted; }
  bool ReadOnly(bool on) {
    return ::mount("wztest", m_dir.c_str(), "tmpfs", MS_REMOUNT | (on ? MS_RDONLY : 0), nullptr) == 0;
  }

 private:
  std::string m_dir;
  bool m_mounted = false;
};

class TruthTest : public IntegrationTest {
 protected:
  // Targets the listing shows.
  std::set<std::string> Targets(const CWzDaemonProcess& d) {
    Model m = Snapshot(d.UnixEndpoint());
    return std::set<std::string>(m.targets.begin(), m.targets.end());
  }
};

TEST_F(TruthTest, OnAFullOrReadOnlyStateDirectoryOnlyWhatIsAnsweredZeroSurvives) {
  // The saved configuration on a small file system of its own (the daemon's
  // log stays on the test directory, so that the file system can turn
  // read-only under it).
  const std::string staging = Path("staging");
  ASSERT_TRUE(CRnDirectory::Create(staging, true).IsSuccess());
  SmallFileSystem fs(staging, "256k");
  if (!fs.Mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  WriteConfig("[Quellport]\nsScsiSrvStagingLoc=" + staging + "\n");

  std::set<std::string> answered, refused;
  {
    CWzDaemonProcess d;
    ASSERT_NO_FATAL_FAILURE(StartDaemon(d));
    // Fill it up: every create is answered truthfully.
    for (int i = 0; i < 400 && refused.size() < 5; ++i) {
      const std::string name = "iqn.2024-01.com.example:full-" + std::to_string(i);
      WzCtl::ReplyView v = Call(d.UnixEndpoint(), *WzCtl::MakeCreateTarget(name, std::string(200, 'd'), 0));
      if (v.errorCode == 0) {
        answered.insert(name);
      } else {
        EXPECT_EQ(v.errorCode, 1) << v.errorMessage;
        EXPECT_EQ(v.errorMessage.rfind("Failed to save the change: ", 0), 0u) << v.errorMessage;
        refused.insert(name);
      }
    }
    ASSERT_FALSE(refused.empty()) << "the file system never filled up";
    EXPECT_EQ(Targets(d), answered) << "a refused change is undone at once";

    // Read-only: a deletion is refused and changes nothing either.
    ASSERT_TRUE(fs.ReadOnly(true));
    const std::string victim = *answered.begin();
    WzCtl::ReplyView v = Call(d.UnixEndpoint(), *WzCtl::MakeDeleteTarget(victim, 0));
    EXPECT_EQ(v.errorCode, 1) << v.errorMessage;
    v = Call(d.UnixEndpoint(), *WzCtl::MakeCreateTarget("iqn.2024-01.com.example:late", "", 0));
    EXPECT_EQ(v.errorCode, 1) << v.errorMessage;
    EXPECT_EQ(Targets(d), answered);
    EXPECT_EQ(d.Stop(), 0);
  }
  ASSERT_TRUE(fs.ReadOnly(false));
  CWzDaemonProcess again;
  StartDaemon(again);
  EXPECT_EQ(Targets(again), answered) << "what was answered 0 survives the restart, and nothing else";
}

TEST_F(TruthTest, AStartThatCannotRestoreEverythingSaysSoAndStatusNamesIt) {
  {
    CWzDaemonProcess d;
    StartDaemon(d);
    for (const char* t : {"iqn.2024-01.com.example:a", "iqn.2024-01.com.example:b"}) {
      ASSERT_EQ(Call(d.UnixEndpoint(), *WzCtl::MakeCreateTarget(t, "", 0)).errorCode, 0);
      WzCtl::LunCreateArgs lun;
      lun.target = t;
      lun.type = 2;
      lun.path = Path("disk");
      lun.serial = "S1";
      WzCtl::ReplyView v = Call(d.UnixEndpoint(), *WzCtl::MakeCreateLun(lun, 0));
      ASSERT_EQ(v.errorCode, 0) << v.errorMessage;
      ASSERT_EQ(Call(d.UnixEndpoint(), *WzCtl::MakeMapHost(t, v.lunId, "host-1", 0)).errorCode, 0);
    }
    EXPECT_EQ(d.Stop(), 0);
  }
  // Damage: a's target file cut short, b's LUN file overwritten with junk.
  const std::string root = StateDir() + "/jobresults/WzScsiSrvActionLogs";
  const std::string a = Layout::TargetDir(root, "iqn.2024-01.com.example:a");
  const std::string b = Layout::TargetDir(root, "iqn.2024-01.com.example:b");
  ASSERT_EQ(::truncate(Layout::TargetFile(a).c_str(), 10), 0);
  std::ofstream(Layout::LunFile(b, 0), std::ios::trunc) << "\x01\x02garbage";

  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string log = ReadFile(d.LogFile());
  EXPECT_NE(log.find("Failed to play back service config: restored 1 targets, 0 LUNs, 0 mappings; failed 1 targets, "
                     "1 LUNs, 1 mappings"),
            std::string::npos)
      << log;
  WzCtlRunResult status = CtlJson(d, {"status"});
  EXPECT_EQ(status.exitCode, 0) << status.err;
  EXPECT_NE(status.out.find("\"replay.failed\":\"targets:1 luns:1 mappings:1\""), std::string::npos) << status.out;
  EXPECT_NE(status.out.find("\"kind\":\"target\",\"target\":\"\",\"lun\":\"\",\"host\":\"\",\"file\":\"" +
                            Layout::TargetFile(a)),
            std::string::npos)
      << status.out;
  EXPECT_NE(status.out.find("\"kind\":\"LUN\",\"target\":\"iqn.2024-01.com.example:b\",\"lun\":0"), std::string::npos)
      << status.out;

  // The broken objects keep their names and numbers: a new target of the
  // same name, or a new LUN 0 on b, would take over their saved files.
  WzCtl::ReplyView v = Call(d.UnixEndpoint(), *WzCtl::MakeCreateTarget("iqn.2024-01.com.example:a", "", 0));
  EXPECT_EQ(v.errorCode, 7) << v.errorMessage;
  WzCtl::LunCreateArgs lun;
  lun.target = "iqn.2024-01.com.example:b";
  lun.type = 2;
  lun.path = Path("disk2");
  lun.serial = "S2";
  v = Call(d.UnixEndpoint(), *WzCtl::MakeCreateLun(lun, 0));
  EXPECT_EQ(v.errorCode, 8) << v.errorMessage;
  // Deleting the broken LUN takes its saved file and its mapping with it.
  v = Call(d.UnixEndpoint(), *WzCtl::MakeDeleteLun("iqn.2024-01.com.example:b", 0, false, 0));
  EXPECT_EQ(v.errorCode, 0) << v.errorMessage;
  EXPECT_FALSE(CRnPath::Exists(Layout::MappingFile(b, "host-1", 0)));
  v = Call(d.UnixEndpoint(), *WzCtl::MakeCreateLun(lun, 0));
  EXPECT_EQ(v.errorCode, 0) << v.errorMessage;
  EXPECT_EQ(Call(d.UnixEndpoint(), *WzCtl::MakeMapHost(lun.target, v.lunId, "host-2", 0)).errorCode, 0);
  ASSERT_EQ(d.Stop(), 0);

  // The old host does not come back on the new disk.
  CWzDaemonProcess after;
  StartDaemon(after);
  Model m = Snapshot(after.UnixEndpoint());
  for (const std::string& line : m.luns) EXPECT_EQ(line.find("host-1"), std::string::npos) << line;
}

TEST_F(TruthTest, AListingWithoutWhatItListsByIsRefusedAtOnce) {
  CWzDaemonProcess d;
  StartDaemon(d);
  WzCtlRunResult r = Ctl(d, {"--timeout", "5", "ioctl", "llh"});
  EXPECT_EQ(r.exitCode, 1) << r.err;
  EXPECT_NE(r.err.find("Host id not specified"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace wzit
