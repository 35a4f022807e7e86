// The client's exit statuses where no daemon is needed to tell them apart:
// usage errors never reach for a connection, a missing daemon is 2, a daemon
// that takes the request and never answers is 3.
#include "apps/wzscsictl/ctl_cli.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <regex>
#include <sstream>

#include "apps/wzscsictl/ctl_lib.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"

namespace {

struct Outcome {
  int code;
  std::string out;
  std::string err;
};

Outcome RunCli(std::vector<std::string> args, const std::string& input = "") {
  args.insert(args.begin(), "wzscsictl");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  std::ostringstream out, err;
  std::istringstream in(input);
  int code = WzCtl::RunCtl(static_cast<int>(argv.size()), argv.data(), out, err, in);
  return Outcome{code, out.str(), err.str()};
}

class CtlCliTest : public ::testing::Test {
 protected:
  // A socket path where nothing listens: a command that got as far as
  // connecting would exit 2, so 1 proves it stopped at the command line.
  std::string NoDaemon() const { return m_dir.Join("none.sock"); }
  CRnTempDirForTest m_dir;
};

TEST_F(CtlCliTest, UsageErrorsStopBeforeConnecting) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"target"},
      {"target", "create"},
      {"lun", "create", "iqn.a", "--type", "blkdev", "--serial", "S"},  // no path or ssid
      {"lun", "create", "iqn.a", "--type", "blkdev", "--path", "/p", "--ssid", "s", "--serial", "S"},  // both
      {"lun", "create", "iqn.a", "--type", "tape", "--path", "/p", "--serial", "S"},
      {"lun", "delete", "iqn.a", "notanumber"},
      {"host", "map", "iqn.a", "0"},
      {"--timeout", "0", "start"},
      {"bogus"},
      {"import", "iet", "targets.conf"},
      {"import", "tgt"},
      {"import", "tgt", "missing.conf"},  // unreadable: nothing to send
      {"import", "tgt", "missing.conf", "--map-path", "dev=/x"},
      {"import", "lio", "missing.json", "--serial-prefix", "NOT-ALNUM"},
      {"export", "scst"},
  };
  for (const auto& args : bad) {
    std::vector<std::string> withSocket{"--socket", NoDaemon()};
    withSocket.insert(withSocket.end(), args.begin(), args.end());
    Outcome o = RunCli(withSocket);
    std::string joined;
    for (const auto& a : args) joined += a + " ";
    EXPECT_EQ(o.code, WzCtl::kExitFailed) << joined << "\n" << o.err;
  }
}

TEST_F(CtlCliTest, HelpOnEveryLevelAndVersion) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{{"--help"},
                                                                                    {"target", "--help"},
                                                                                    {"lun", "create", "--help"},
                                                                                    {"host", "unmap", "--help"},
                                                                                    {"ioctl", "--help"},
                                                                                    {"send", "--help"}}) {
    Outcome o = RunCli(args);
    EXPECT_EQ(o.code, 0) << args[0];
    EXPECT_NE(o.out.find("Usage:"), std::string::npos) << args[0];
  }
  // --version needs no subcommand and no daemon.
  Outcome o = RunCli({"--socket", NoDaemon(), "--version"});
  EXPECT_EQ(o.code, 0) << o.err;
  EXPECT_TRUE(std::regex_match(o.out, std::regex("wzscsictl [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << o.out;
}

TEST_F(CtlCliTest, NoDaemonIsExitTwo) {
  Outcome o = RunCli({"--socket", NoDaemon(), "target", "list"});
  EXPECT_EQ(o.code, WzCtl::kExitUnreachable);
  EXPECT_NE(o.err.find("cannot reach wzscsid at " + NoDaemon()), std::string::npos) << o.err;
  o = RunCli({"--tcp", "127.0.0.1:1", "--timeout", "2", "start"});
  EXPECT_EQ(o.code, WzCtl::kExitUnreachable);
}

TEST_F(CtlCliTest, SilenceIsExitThree) {
  // Something that accepts (the kernel's backlog does) and never answers.
  std::string path = m_dir.Join("mute.sock");
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  strncpy(addr.sun_path, path.c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(fd, 4), 0);
  Outcome o = RunCli({"--socket", path, "--timeout", "0.3", "lun", "list"});
  EXPECT_EQ(o.code, WzCtl::kExitNoReply);
  EXPECT_NE(o.err.find("no reply"), std::string::npos) << o.err;
  close(fd);
}

TEST_F(CtlCliTest, SendRefusesWhatIsNotAMessage) {
  Outcome o = RunCli({"--socket", NoDaemon(), "send", "-"}, "<msg group=\"75\"");
  EXPECT_EQ(o.code, WzCtl::kExitFailed);
  EXPECT_NE(o.err.find("is not a message"), std::string::npos) << o.err;
  o = RunCli({"--socket", NoDaemon(), "send", m_dir.Join("missing.xml")});
  EXPECT_EQ(o.code, WzCtl::kExitFailed);
  // A valid message goes as far as the connection.
  std::string xml;
  ASSERT_EQ(WzCtl::MakeListTargets(0)->serialize(xml, false), 0);
  o = RunCli({"--socket", NoDaemon(), "send", "-"}, xml);
  EXPECT_EQ(o.code, WzCtl::kExitUnreachable);
}

TEST_F(CtlCliTest, ImportNeedsTheServiceToChangeAnythingButADryRunShowsThePlan) {
  const std::string conf = m_dir.Join("targets.conf");
  CRnTempDirForTest::WriteText(conf,
                               "<target iqn.2024-01.com.example:t>\n  backing-store /srv/t.img\n"
                               "  initiator-name iqn.2024-01.com.example:h\n</target>\n");
  Outcome o = RunCli({"--socket", NoDaemon(), "import", "tgt", conf});
  EXPECT_EQ(o.code, WzCtl::kExitUnreachable);
  EXPECT_NE(o.err.find("nothing was changed"), std::string::npos) << o.err;
  o = RunCli({"--socket", NoDaemon(), "import", "tgt", conf, "--dry-run"});
  EXPECT_EQ(o.code, WzCtl::kExitUnreachable);
  EXPECT_NE(o.out.find("Would create 1 target, 1 LUN and 1 host mapping."), std::string::npos) << o.out;
  // Each --map-path takes one value, wherever it stands.
  o = RunCli({"--socket", NoDaemon(), "import", "tgt", "--map-path", "/srv=/mnt", conf, "--dry-run"});
  EXPECT_NE(o.out.find("LUN on /mnt/t.img (tgt LUN 1)"), std::string::npos) << o.out << o.err;
  o = RunCli({"--socket", NoDaemon(), "--json", "import", "tgt", conf, "--dry-run"});
  EXPECT_NE(o.out.find("\"serviceKnown\":false"), std::string::npos) << o.out;
  // A malformed file is reported line by line and goes no further.
  CRnTempDirForTest::WriteText(conf, "<target iqn.a>\n  backing-store /srv/a.img\n");
  o = RunCli({"--socket", NoDaemon(), "import", "tgt", conf, "--dry-run"});
  EXPECT_EQ(o.code, WzCtl::kExitFailed);
  EXPECT_NE(o.err.find(conf + ":1: error: <target iqn.a> is never closed"), std::string::npos) << o.err;
}

}  // namespace
