// The daemon's settings: the command line over the configuration file over
// the defaults, one check for both sources, and the configuration file found
// under the state directory.
#include "apps/wzscsid/daemon_options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "hostlib/config/WZPlatformInfo.h"
#include "tests/support/hostlib/rn_test_temp_dir.h"

namespace {

class DaemonOptionsTest : public ::testing::Test {
 protected:
  ~DaemonOptionsTest() override {
    WZPlatformInfo::SetConfigFile("");
    WZPlatformInfo::SetAdminConfigFile("");
  }

  int Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "wzscsid");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    m_out.str("");
    m_err.str("");
    m_options = WzDaemonOptions();
    return ParseDaemonOptions(static_cast<int>(argv.size()), argv.data(), m_exeDir, m_options, m_out, m_err);
  }
  void WriteConfig(const std::string& body) { CRnTempDirForTest::WriteText(m_dir.Join("wzscsi.conf"), body); }

  CRnTempDirForTest m_dir;
  std::string m_exeDir = "/opt/wz/bin";
  WzDaemonOptions m_options;
  std::ostringstream m_out, m_err;
};

TEST_F(DaemonOptionsTest, DefaultsAnchoredAtTheExecutable) {
  ASSERT_EQ(Parse({"--state-dir", m_dir.Path()}), kDaemonRun) << m_err.str();
  EXPECT_EQ(m_options.configFile, m_dir.Join("wzscsi.conf"));
  EXPECT_EQ(WZPlatformInfo::GetConfigFile(), m_options.configFile);
  EXPECT_EQ(m_options.storeFile, m_options.configFile);
  EXPECT_EQ(WZPlatformInfo::GetAdminConfigFile(), "");
  EXPECT_EQ(m_options.serviceLib, "/opt/wz/lib/libWzScsiSrv.so");
  EXPECT_EQ(m_options.driverDir, "");  // /opt/wz/drivers does not exist
  EXPECT_EQ(m_options.socketPath, "/run/wzscsi/wzscsid.sock");
  EXPECT_TRUE(m_options.autoStart);
  EXPECT_FALSE(m_options.onDemand);
  EXPECT_EQ(m_options.maxFrameBytes, 1u << 20);
}

TEST_F(DaemonOptionsTest, CommandLineWinsOverTheFileAndTheFileOverDefaults) {
  WriteConfig(
      "[wzscsid]\nLogLevel=4\nSocket=/tmp/from-file.sock\nAutoStart=no\nOnDemand=Yes\nMaxConnections=7\n"
      "Token=s3cret\nListen=127.0.0.1:0\n[Quellport]\nWzScsiSrvInUse=Y\n");
  ASSERT_EQ(Parse({"--state-dir", m_dir.Path(), "--log-level", "2", "--max-connections", "9"}), kDaemonRun)
      << m_err.str();
  EXPECT_EQ(m_options.logLevel, 2);
  EXPECT_EQ(m_options.maxConnections, 9u);
  EXPECT_EQ(m_options.socketPath, "/tmp/from-file.sock");
  EXPECT_FALSE(m_options.autoStart);
  EXPECT_TRUE(m_options.onDemand);
  EXPECT_EQ(m_options.token, "s3cret");
  EXPECT_EQ(m_options.listen, "127.0.0.1:0");

  // The flags only ever turn the behaviour they name on.
  WriteConfig("[wzscsid]\nAutoStart=yes\n");
  ASSERT_EQ(Parse({"--state-dir", m_dir.Path(), "--no-autostart", "--on-demand"}), kDaemonRun);
  EXPECT_FALSE(m_options.autoStart);
  EXPECT_TRUE(m_options.onDemand);
}

TEST_F(DaemonOptionsTest, ExplicitConfigFileAndRelativePaths) {
  std::string other = m_dir.Join("elsewhere.ini");
  CRnTempDirForTest::WriteText(other, "[wzscsid]\nStateDir=relative/state\nDriverDir=drv\n");
  ASSERT_EQ(Parse({"--config", other}), kDaemonRun) << m_err.str();
  EXPECT_EQ(m_options.configFile, other);
  ASSERT_FALSE(m_options.stateDir.empty());
  EXPECT_EQ(m_options.stateDir[0], '/');
  EXPECT_NE(m_options.stateDir.find("relative/state"), std::string::npos);
  EXPECT_EQ(m_options.driverDir.substr(m_options.driverDir.size() - 4), "/drv");
}

// An installed daemon finds the package's plug-in and drivers next to itself,
// wherever the package was unpacked.
TEST_F(DaemonOptionsTest, InstalledLayoutFoundFromTheExecutable) {
  const std::string lib = m_dir.Join("usr/lib/wzscsi");
  ASSERT_EQ(system(("mkdir -p " + m_dir.Join("usr/sbin") + " " + lib + "/drivers").c_str()), 0);
  CRnTempDirForTest::WriteText(lib + "/libWzScsiSrv.so", "");
  m_exeDir = m_dir.Join("usr/sbin");
  ASSERT_EQ(Parse({"--state-dir", m_dir.Path()}), kDaemonRun) << m_err.str();
  EXPECT_EQ(m_options.serviceLib, lib + "/libWzScsiSrv.so");
  EXPECT_EQ(m_options.driverDir, lib + "/drivers");
}

// --config is the administrator's file: it wins over the store, may move the
// state directory (and so the store), and is never the file written.
TEST_F(DaemonOptionsTest, AdministratorsFileOverTheStoreInTheStateDirectory) {
  const std::string admin = m_dir.Join("admin.conf");
  const std::string state = m_dir.Join("state");
  CRnTempDirForTest::WriteText(admin, "[wzscsid]\nStateDir=" + state + "\nLogLevel=1\n");
  ASSERT_EQ(system(("mkdir -p " + state).c_str()), 0);
  CRnTempDirForTest::WriteText(state + "/wzscsi.conf", "[wzscsid]\nLogLevel=3\nMaxConnections=5\n");
  ASSERT_EQ(Parse({"--config", admin}), kDaemonRun) << m_err.str();
  EXPECT_EQ(m_options.configFile, admin);
  EXPECT_EQ(m_options.stateDir, state);
  EXPECT_EQ(m_options.storeFile, state + "/wzscsi.conf");
  EXPECT_EQ(WZPlatformInfo::GetConfigFile(), m_options.storeFile);
  EXPECT_EQ(WZPlatformInfo::GetAdminConfigFile(), admin);
  EXPECT_EQ(m_options.logLevel, 1);
  EXPECT_EQ(m_options.maxConnections, 5u);
}

// The packaged configuration lists every daemon setting at its default: with
// every setting uncommented the daemon must parse it and end up exactly
// where it is with no file at all.
TEST_F(DaemonOptionsTest, PackagedConfigurationStatesTheRealDefaults) {
  std::ifstream in(std::string(WZ_TEST_SOURCE_DIR) + "/packaging/wzscsi.conf");
  ASSERT_TRUE(in) << "packaging/wzscsi.conf";
  std::string uncommented, section;
  int settings = 0;
  const std::regex setting(R"(^;([A-Za-z][A-Za-z0-9]*)=(.*)$)");
  for (std::string line; std::getline(in, line);) {
    std::smatch m;
    if (!line.empty() && line[0] == '[') section = line;
    if (std::regex_match(line, m, setting)) {
      line = m[1].str() + "=" + m[2].str();
      if (section == "[wzscsid]") ++settings;
    }
    uncommented += line + "\n";
  }
  EXPECT_EQ(settings, static_cast<int>(WzDaemonSettingKeys().size()))
      << "a daemon setting is missing from packaging/wzscsi.conf";
  const std::string file = m_dir.Join("all.conf");
  CRnTempDirForTest::WriteText(file, uncommented);

  ASSERT_EQ(Parse({"--state-dir", m_dir.Path()}), kDaemonRun) << m_err.str();
  const WzDaemonOptions defaults = m_options;
  ASSERT_EQ(Parse({"--config", file, "--state-dir", m_dir.Path()}), kDaemonRun) << m_err.str();
  const WzDaemonOptions& o = m_options;
  EXPECT_EQ(o.stateDir, defaults.stateDir);
  EXPECT_EQ(o.socketPath, defaults.socketPath);
  EXPECT_EQ(o.listen, defaults.listen);
  EXPECT_EQ(o.logLevel, defaults.logLevel);
  EXPECT_EQ(o.logFile, defaults.logFile);
  EXPECT_EQ(o.autoStart, defaults.autoStart);
  EXPECT_EQ(o.onDemand, defaults.onDemand);
  EXPECT_EQ(o.token, defaults.token);
  EXPECT_EQ(o.allowedGroup, defaults.allowedGroup);
  EXPECT_EQ(o.maxFrameBytes, defaults.maxFrameBytes);
  EXPECT_EQ(o.idleTimeoutSecs, defaults.idleTimeoutSecs);
  EXPECT_EQ(o.maxConnections, defaults.maxConnections);
  EXPECT_EQ(o.maxTcpConnections, defaults.maxTcpConnections);
  EXPECT_EQ(o.maxUnauthenticated, defaults.maxUnauthenticated);
  EXPECT_EQ(o.helloTimeoutSecs, defaults.helloTimeoutSecs);
  EXPECT_EQ(o.maxRequestsPerConnection, defaults.maxRequestsPerConnection);
  EXPECT_EQ(o.maxRequestsInFlight, defaults.maxRequestsInFlight);
  EXPECT_EQ(o.maxRequestBytesInFlight, defaults.maxRequestBytesInFlight);
  EXPECT_EQ(o.maxUnsentBytes, defaults.maxUnsentBytes);
  EXPECT_EQ(o.refusalLogSecs, defaults.refusalLogSecs);
  EXPECT_EQ(o.startTimeoutSecs, defaults.startTimeoutSecs);
  // The file names the installed places, which the defaults find next to an
  // installed executable.
  EXPECT_EQ(o.serviceLib, "/usr/lib/wzscsi/libWzScsiSrv.so");
  EXPECT_EQ(o.driverDir, "/usr/lib/wzscsi/drivers");
}

TEST_F(DaemonOptionsTest, BadValuesNameTheirSource) {
  struct Case {
    std::vector<std::string> args;
    std::string config;
    std::string expect;
  };
  const std::vector<Case> cases = {
      {{"--log-level", "7"}, "", "option --log-level"},
      {{"--log-level", "x"}, "", "'x' is not a level"},
      {{}, "[wzscsid]\nLogLevel=verbose\n", "[wzscsid] LogLevel"},
      {{}, "[wzscsid]\nAutoStart=maybe\n", "[wzscsid] AutoStart"},
      {{}, "[wzscsid]\nMaxFrameBytes=10\n", "[wzscsid] MaxFrameBytes"},
      {{}, "[wzscsid]\nIdleTimeoutSecs=-1\n", "IdleTimeoutSecs"},
      {{}, "[wzscsid]\nMaxRequestsPerConnection=0\n", "'0' is not a number from 1 to 100000"},
      {{}, "[wzscsid]\nHelloTimeoutSecs=5s\n", "[wzscsid] HelloTimeoutSecs"},
      {{}, "[wzscsid]\nListen=127.0.0.1:99999\n", "[wzscsid] Listen"},
      {{}, "[wzscsid]\nMetricsListen=0.0.0.0:9468\n", "'0.0.0.0:9468' is not a loopback address"},
      {{"--metrics-listen", "192.168.1.5:9468"}, "", "option --metrics-listen"},
      {{"--metrics-listen", "[::]:9468"}, "", "is not a loopback address"},
      {{"--allowed-group", "no-such-group-wz"}, "", "option --allowed-group"},
      {{}, "this is not ini\n", "cannot read the configuration file"},
      {{"--socket", ""}, "", "nothing to serve on"},
      {{"--no-such-option"}, "", "no-such-option"},
  };
  for (const Case& c : cases) {
    WriteConfig(c.config);
    std::vector<std::string> args{"--state-dir", m_dir.Path()};
    args.insert(args.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(Parse(args), 1) << c.expect;
    EXPECT_NE(m_err.str().find(c.expect), std::string::npos) << "expected '" << c.expect << "' in: " << m_err.str();
  }
}

TEST_F(DaemonOptionsTest, OverloadLimitsFromTheFile) {
  WriteConfig(
      "[wzscsid]\nMaxTcpConnections=10\nMaxUnauthenticatedConnections=3\nHelloTimeoutSecs=2\n"
      "MaxRequestsPerConnection=8\nMaxRequestsInFlight=64\nMaxRequestBytesInFlight=2097152\n"
      "MaxUnsentReplyBytes=4194304\nRefusalLogIntervalSecs=30\n");
  ASSERT_EQ(Parse({"--state-dir", m_dir.Path()}), kDaemonRun) << m_err.str();
  EXPECT_EQ(m_options.maxTcpConnections, 10u);
  EXPECT_EQ(m_options.maxUnauthenticated, 3u);
  EXPECT_EQ(m_options.helloTimeoutSecs, 2);
  EXPECT_EQ(m_options.maxRequestsPerConnection, 8u);
  EXPECT_EQ(m_options.maxRequestsInFlight, 64u);
  EXPECT_EQ(m_options.maxRequestBytesInFlight, 2u << 20);
  EXPECT_EQ(m_options.maxUnsentBytes, 4u << 20);
  EXPECT_EQ(m_options.refusalLogSecs, 30);
}

TEST_F(DaemonOptionsTest, ConnectionLimitsFitUnderTheDescriptorLimit) {
  WzDaemonOptions o;
  EXPECT_EQ(FitConnectionLimits(1u << 20, true, o), "");
  EXPECT_EQ(o.maxConnections, 1024u);

  // Unix socket only: every place left is the Unix socket's.
  o = WzDaemonOptions();
  std::string line = FitConnectionLimits(1024, false, o);
  EXPECT_EQ(o.maxConnections, 1024u - kReservedDescriptors);
  EXPECT_NE(line.find("MaxConnections 960 (was 1024)"), std::string::npos) << line;
  EXPECT_EQ(line.find("MaxTcpConnections"), std::string::npos) << line;

  // With TCP the two limits shrink together; the hello limit follows.
  o = WzDaemonOptions();
  o.maxUnauthenticated = 500;
  line = FitConnectionLimits(1024, true, o);
  EXPECT_EQ(o.maxConnections + o.maxTcpConnections, 1024u - kReservedDescriptors);
  EXPECT_EQ(o.maxConnections, 768u);
  EXPECT_EQ(o.maxUnauthenticated, o.maxTcpConnections);
  EXPECT_NE(line.find("RLIMIT_NOFILE"), std::string::npos) << line;

  // Never below one place each.
  o = WzDaemonOptions();
  FitConnectionLimits(10, true, o);
  EXPECT_GE(o.maxConnections, 1u);
  EXPECT_GE(o.maxTcpConnections, 1u);
}

TEST_F(DaemonOptionsTest, HelpAndVersionExitZero) {
  EXPECT_EQ(Parse({"--help"}), 0);
  EXPECT_NE(m_out.str().find("--on-demand"), std::string::npos);
  EXPECT_EQ(Parse({"--version"}), 0);
  EXPECT_EQ(m_out.str().compare(0, 8, "wzscsid "), 0);
}

}  // namespace
