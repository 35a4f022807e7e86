// Who may talk to wzscsid: Unix-socket peers of another user are refused
// unless the configured group admits them, TCP clients present the token,
// and a socket handed over by socket activation serves the client that woke
// the daemon.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tests/integration/integration_support.h"
#include "tests/support/hostlib/test_certificates.h"

namespace wzit {
namespace {

class AccessTest : public IntegrationTest {
 protected:
  // A socket directory anyone may enter, so that only the daemon's own
  // checks stand in the way of another user.
  std::string OpenSocketPath() {
    chmod(Dir().c_str(), 0755);
    mkdir(Path("run").c_str(), 0755);
    return Path("run/wzscsid.sock");
  }
  WzCtlRunResult CtlAs(uid_t uid, gid_t gid, const std::string& socket, std::vector<std::string> args) {
    WzCtlRun cfg;
    cfg.uid = uid;
    cfg.gid = gid;
    cfg.args = {"--socket", socket};
    cfg.args.insert(cfg.args.end(), args.begin(), args.end());
    return RunCtlProcess(cfg);
  }
  // Root, the user nobody, and a build tree nobody may run the client from
  // (a checkout under a private home directory is not).
  static bool Nobody(uid_t& uid, gid_t& gid) {
    passwd* pw = getpwnam("nobody");
    if (geteuid() != 0 || pw == nullptr) return false;
    uid = pw->pw_uid;
    gid = pw->pw_gid;
    WzCtlRun probe;
    probe.uid = uid;
    probe.gid = gid;
    probe.args = {"--help"};
    return RunCtlProcess(probe).exitCode == 0;
  }
};

TEST_F(AccessTest, UnixPeerOfAnotherUserIsRefused) {
  uid_t uid;
  gid_t gid;
  if (!Nobody(uid, gid)) GTEST_SKIP() << "needs root, the user nobody, and a client nobody may run";
  WzDaemonLaunch cfg = LaunchOptions();
  cfg.socketPath = OpenSocketPath();
  CWzDaemonProcess d;
  ASSERT_TRUE(d.Start(cfg).IsSuccess());

  // The socket's mode keeps nobody out...
  WzCtlRunResult r = CtlAs(uid, gid, cfg.socketPath, {"target", "list"});
  EXPECT_EQ(r.exitCode, 2) << r.err;
  // ...and with the file opened to everyone, the peer check still does.
  ASSERT_EQ(chmod(cfg.socketPath.c_str(), 0666), 0);
  r = CtlAs(uid, gid, cfg.socketPath, {"target", "create", "iqn.2024-01.com.example:intruder"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("not permitted"), std::string::npos) << r.err << r.out;
  EXPECT_NE(ReadFile(d.LogFile()).find("not permitted"), std::string::npos);
  r = Ctl(d, {"target", "list"});
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(r.out, "no targets\n");
}

TEST_F(AccessTest, AllowedGroupAdmitsItsMembersOnly) {
  uid_t uid;
  gid_t gid;
  group* grp = getgrnam("nogroup");
  if (!Nobody(uid, gid) || grp == nullptr) GTEST_SKIP() << "needs root, nobody (able to run the client) and nogroup";
  WriteConfig("[wzscsid]\nAllowedGroup=nogroup\n");
  WzDaemonLaunch cfg = LaunchOptions();
  cfg.socketPath = OpenSocketPath();
  CWzDaemonProcess d;
  ASSERT_TRUE(d.Start(cfg).IsSuccess());
  struct stat st;
  ASSERT_EQ(stat(cfg.socketPath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  EXPECT_EQ(st.st_gid, grp->gr_gid);

  WzCtlRunResult r = CtlAs(uid, grp->gr_gid, cfg.socketPath, {"target", "create", "iqn.2024-01.com.example:g"});
  EXPECT_EQ(r.exitCode, 0) << r.err;
  // A user outside the group is a stranger still (the socket file is opened
  // up so that the peer check is what refuses).
  passwd* other = getpwnam("daemon");
  if (other == nullptr) return;
  ASSERT_EQ(chmod(cfg.socketPath.c_str(), 0666), 0);
  r = CtlAs(other->pw_uid, other->pw_gid, cfg.socketPath, {"target", "list"});
  EXPECT_EQ(r.exitCode, 2) << r.out;
  EXPECT_NE(r.err.find("not permitted"), std::string::npos) << r.err;
}

// The daemon holds secrets, so it makes itself non-dumpable: the kernel then
// gives its /proc files to root:root instead of its own user and group. Run
// under another group, the daemon's environ shows which one it did.
TEST_F(AccessTest, TheDaemonIsNotDumpable) {
  group* grp = getgrnam("nogroup");
  if (geteuid() != 0 || grp == nullptr) GTEST_SKIP() << "needs root and nogroup";
  WzDaemonLaunch cfg = LaunchOptions();
  cfg.gid = grp->gr_gid;
  CWzDaemonProcess d;
  ASSERT_TRUE(d.Start(cfg).IsSuccess());
  const std::string proc = "/proc/" + std::to_string(d.Pid());
  ASSERT_NE(ReadFile(proc + "/status").find("\nGid:\t" + std::to_string(grp->gr_gid) + "\t"), std::string::npos)
      << "the daemon runs under nogroup";
  struct stat st;
  for (const char* file : {"/environ", "/mem"}) {
    ASSERT_EQ(stat((proc + file).c_str(), &st), 0) << file;
    EXPECT_EQ(st.st_gid, 0u) << file << ": a dumpable daemon's files belong to its group";
  }
}

TEST_F(AccessTest, TcpWantsTheTokenAndTls) {
  WzTestCertificates certs;
  std::string why;
  ASSERT_TRUE(MakeWzTestCertificates(Dir(), certs, why)) << why;
  WriteConfig("[wzscsid]\nListen=127.0.0.1:0\nToken=s3cret\nTlsCertFile=" + certs.serverCert +
              "\nTlsKeyFile=" + certs.serverKey + "\n");
  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string tcp = d.TcpEndpoint();
  ASSERT_FALSE(tcp.empty());
  const std::vector<std::string> tls = {"--tcp", tcp, "--tls-ca", certs.caCert};
  auto ctl = [&](std::vector<std::string> args) {
    WzCtlRun run;
    run.args = args;
    return RunCtlProcess(run);
  };
  auto with = [](std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  const std::vector<std::string> create = {"target", "create", "iqn.2024-01.com.example:t"};
  WzCtlRunResult r = ctl(with(tls, create));
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.err.find("authentication failed"), std::string::npos) << r.err;
  EXPECT_EQ(ctl(with(with(tls, {"--token", "s3cre"}), create)).exitCode, 2);
  r = ctl(with({"--tcp", tcp, "--token", "s3cret"}, create));
  EXPECT_EQ(r.exitCode, 2) << "the daemon's certificate is not among the system's CAs";
  EXPECT_NE(r.err.find("certificate"), std::string::npos) << r.err;
  r = ctl(with({"--tcp", tcp, "--no-tls", "--token", "s3cret"}, create));
  EXPECT_EQ(r.exitCode, 2) << "clear text to a TLS listener";
  EXPECT_TRUE(Snapshot(d.UnixEndpoint()).targets.empty()) << "nothing reached the service";

  r = ctl(with(with(tls, {"--token", "s3cret"}), create));
  EXPECT_EQ(r.exitCode, 0) << r.err;
  // The Unix socket's own checks are enough there.
  EXPECT_EQ(Ctl(d, {"target", "delete", "iqn.2024-01.com.example:t"}).exitCode, 0);
}

TEST_F(AccessTest, TlsClientCertificatesWhenRequired) {
  WzTestCertificates certs;
  std::string why;
  ASSERT_TRUE(MakeWzTestCertificates(Dir(), certs, why)) << why;
  // Only TCP: the daemon's own start request goes over TLS too.
  WriteConfig("[wzscsid]\nSocket=\nListen=127.0.0.1:0\nToken=s3cret\nTlsCertFile=" + certs.serverCert +
              "\nTlsKeyFile=" + certs.serverKey + "\nTlsCaFile=" + certs.caCert + "\nTlsRequireClientCert=yes\n");
  CWzDaemonProcess d;
  StartDaemon(d);
  const std::string tcp = d.TcpEndpoint();
  ASSERT_FALSE(tcp.empty());
  WzCtlRun run;
  run.args = {
      "--tcp", tcp, "--token", "s3cret", "--tls-ca", certs.caCert, "target", "create", "iqn.2024-01.com.example:t"};
  WzCtlRunResult r = RunCtlProcess(run);
  EXPECT_EQ(r.exitCode, 2) << "no client certificate";
  run.args = {"--tcp",
              tcp,
              "--token",
              "s3cret",
              "--tls-ca",
              certs.caCert,
              "--tls-cert",
              certs.otherClientCert,
              "--tls-key",
              certs.otherClientKey,
              "target",
              "create",
              "iqn.2024-01.com.example:t"};
  EXPECT_EQ(RunCtlProcess(run).exitCode, 2) << "a certificate of another CA";
  run.args = {"--tcp",          tcp,         "--token",       "s3cret", "--tls-ca", certs.caCert, "--tls-cert",
              certs.clientCert, "--tls-key", certs.clientKey, "target", "list"};
  r = RunCtlProcess(run);
  EXPECT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out.find("iqn.2024-01.com.example:t"), std::string::npos) << "the refused create did nothing";
  EXPECT_EQ(d.Stop(), 0);
}

// Any local user can reach a loopback port: without a token, or without TLS
// and without the explicit clear-text setting, the daemon does not start.
TEST_F(AccessTest, TcpWithoutATokenOrWithoutTlsIsRefusedAtStart) {
  struct Case {
    const char* config;
    const char* says;
  };
  const Case cases[] = {
      {"[wzscsid]\nListen=0.0.0.0:0\n", "needs a token (setting Token)"},
      {"[wzscsid]\nListen=127.0.0.1:0\nPlainTcpOnLoopback=yes\n", "needs a token (setting Token)"},
      {"[wzscsid]\nListen=127.0.0.1:0\nToken=t\n", "needs TLS (settings TlsCertFile and TlsKeyFile)"},
      {"[wzscsid]\nListen=0.0.0.0:0\nToken=t\nPlainTcpOnLoopback=yes\n", "needs TLS"},
  };
  for (const Case& c : cases) {
    WriteConfig(c.config);
    WzCtlRun run;
    run.program = WzBuildPaths::Daemon();
    run.args = {"--state-dir", StateDir(), "--socket", Path("a.sock"), "--driver-dir", WzBuildPaths::Fakes()};
    WzCtlRunResult r = RunCtlProcess(run);
    EXPECT_EQ(r.exitCode, 1) << c.config << r.err;
    EXPECT_NE(r.err.find(c.says), std::string::npos) << c.config << r.err;
  }
}

TEST_F(AccessTest, SocketActivationServesTheClientThatWokeIt) {
  const std::string activate = "/usr/bin/systemd-socket-activate";
  if (access(activate.c_str(), X_OK) != 0) GTEST_SKIP() << "systemd-socket-activate is not installed";
  WriteConfig("[Quellport]\nnWzScsiSrvInactivityTimeOutInSecs=1\n");
  const std::string socket = Path("activated.sock");
  WzCtlRun run;
  run.program = activate;
  run.args = {"-l",
              socket,
              WzBuildPaths::Daemon(),
              "--state-dir",
              StateDir(),
              "--driver-dir",
              WzBuildPaths::Fakes(),
              "--log-file",
              StateDir() + "/wzscsid.log",
              "--log-level",
              "1",
              "--on-demand"};
  WzCtlRunResult daemon;
  std::thread host([&] { daemon = RunCtlProcess(run); });

  struct stat st;
  for (int i = 0; i < 1000 && stat(socket.c_str(), &st) != 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  WzCtlRun client;
  client.args = {"--socket", socket, "target", "list"};
  WzCtlRunResult r = RunCtlProcess(client);
  EXPECT_EQ(r.exitCode, 0) << r.out << r.err << "\n" << ReadFile(StateDir() + "/wzscsid.log");
  EXPECT_EQ(r.out, "no targets\n");
  host.join();  // the on-demand daemon stops by itself
  EXPECT_EQ(daemon.exitCode, 0) << daemon.err;
  const std::string log = ReadFile(StateDir() + "/wzscsid.log");
  EXPECT_NE(log.find("Socket activation: serving the inherited socket " + socket), std::string::npos) << log;
}

}  // namespace
}  // namespace wzit
