#include "hostlib/net/asio_network_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "hostlib/log/LogWriter.h"
#include "hostlib/net/client.h"
#include "hostlib/net/frame.h"
#include "messages/WzScsiServerMessages.h"
#include "tests/support/hostlib/memory_log_writer.h"
#include "tests/support/hostlib/net_test_support.h"
#include "tests/support/hostlib/test_certificates.h"

namespace {

using NetTest::FakeService;
using NetTest::WaitUntil;

constexpr int kReplyMs = 20000;

std::unique_ptr<WzScsiServer::Ioctl> Request(const std::string& command, size_t padding = 0) {
  auto r = std::make_unique<WzScsiServer::Ioctl>();
  r->setCommand(command);
  if (padding > 0) r->setArguments(std::string(padding, 'p'));
  return r;
}

std::string CommandOf(const std::unique_ptr<CNMessageBase>& m) {
  auto* ioctl = dynamic_cast<const WzScsiServer::Ioctl*>(m.get());
  return ioctl == nullptr ? "<not an Ioctl>" : ioctl->command();
}

// The server's count of refused connections of one reason.
uint64_t Refused(const CWzAsioNetworkServer& server, const std::string& reason) {
  for (const auto& r : server.RefusalCounts())
    if (r.first == reason) return r.second;
  return ~uint64_t{0};
}

WznClientTls Plain() {
  WznClientTls tls;
  tls.plain = true;
  return tls;
}

// A TCP connection from a given loopback address that sends nothing: a
// peer holding a hello place. -1 when it cannot connect.
int SilentFrom(const std::string& source, uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  inet_pton(AF_INET, source.c_str(), &addr.sin_addr);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// The error notice a refused silent peer got ("" when none within the time).
std::string NoticeOn(int fd) {
  Wzn::CFrameDecoder decoder(1 << 16);
  char buffer[4096];
  pollfd p{fd, POLLIN, 0};
  while (poll(&p, 1, kReplyMs) == 1) {
    const ssize_t n = recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return "";
    size_t used = 0;
    if (decoder.Feed(buffer, static_cast<size_t>(n), used) || !decoder.HasFrame()) continue;
    Wzn::ControlMessage control;
    if (Wzn::ParseControl(decoder.TakeFrame().payload, control).IsSuccess()) return control.text;
  }
  return "";
}

std::string RequestFrame(const std::string& command) {
  std::string xml;
  EXPECT_EQ(Request(command)->serialize(xml, false), 0);
  return Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, xml);
}

class NetServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WzScsiServer::RegisterMessages();
    char dir[] = "/tmp/wznet_XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    m_dir = dir;
    m_savedLog = g_ptrLogWriter;
    m_log = std::make_shared<CMemoryLogWriter>(2);
    g_ptrLogWriter = m_log;
    m_config.unixPath = m_dir + "/wz.sock";
    m_config.maxFrameBytes = 64 * 1024;
  }

  void TearDown() override {
    // Stop first: the fake's workers may be waiting in a send.
    if (m_server) m_server->Stop();
    m_service.reset();
    m_server.reset();
    g_ptrLogWriter = m_savedLog;
    ::unlink((m_dir + "/wz.sock").c_str());
    ::unlink((m_dir + "/file").c_str());
    ::rmdir(m_dir.c_str());
  }

  CRnError StartServer(int workers = 1, bool answer = true) {
    m_service = std::make_unique<FakeService>(workers, answer);
    m_server = std::make_unique<CWzAsioNetworkServer>();
    return m_server->Start(m_config, m_service.get());
  }

  std::string UnixEndpoint() const { return m_config.unixPath; }
  std::string TcpEndpoint() const { return "127.0.0.1:" + std::to_string(m_server->TcpPort()); }

  size_t ErrorLines() const { return m_log->Texts(-1).size(); }

  // Connects, sends one request and checks its echo.
  void ExpectWorking(CWzClient& client, const std::string& command) {
    std::unique_ptr<CNMessageBase> reply;
    CRnError err = client.Call(*Request(command), reply, kReplyMs);
    ASSERT_FALSE(err) << err.AsString();
    EXPECT_EQ(CommandOf(reply), command);
  }

  // Waits for the service to have seen one more message and returns the
  // handle it came on.
  WznHandle_t LastHandle(size_t count) {
    EXPECT_TRUE(WaitUntil([&] { return m_service->Received() >= count; }));
    return m_service->Handles().back();
  }

  std::string m_dir;
  std::shared_ptr<CLogWriterInterface> m_savedLog;
  std::shared_ptr<CMemoryLogWriter> m_log;
  WznServerConfig m_config;
  std::unique_ptr<FakeService> m_service;
  std::unique_ptr<CWzAsioNetworkServer> m_server;
};

TEST_F(NetServerTest, RequestAndReplyOverTheUnixSocketOwnerOnly) {
  ASSERT_FALSE(StartServer());
  struct stat st;
  ASSERT_EQ(stat(UnixEndpoint().c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  CWzClient client;
  ASSERT_FALSE(client.Connect(UnixEndpoint()));
  ExpectWorking(client, "llt");
  ExpectWorking(client, "ll");
  EXPECT_TRUE(m_service->Errors().empty());

  m_server->Stop();
  EXPECT_NE(access(UnixEndpoint().c_str(), F_OK), 0) << "the socket file is removed at stop";
  std::unique_ptr<CNMessageBase> reply;
  EXPECT_TRUE(CWzClient::IsClosed(client.ReceiveReply(reply, kReplyMs)));
  EXPECT_TRUE(m_server->Start(m_config, m_service.get()).IsError()) << "a server starts once";
}

// Any local user can reach a loopback port: a TCP listener needs the token
// whatever its address, and TLS unless clear text on loopback is asked for.
TEST_F(NetServerTest, TcpNeedsATokenAndTlsOrAnExplicitClearTextOnLoopback) {
  m_config.unixPath.clear();
  m_config.tcpEndpoint = "127.0.0.1:0";
  m_config.plainTcpOnLoopback = true;
  CRnError err = StartServer();
  ASSERT_TRUE(err.IsError()) << "loopback without a token";
  EXPECT_NE(err.AsString().find("needs a token (setting Token)"), std::string::npos) << err.AsString();

  m_config.token = "tok";
  m_config.plainTcpOnLoopback = false;
  err = StartServer();
  ASSERT_TRUE(err.IsError()) << "clear text not asked for";
  EXPECT_NE(err.AsString().find("needs TLS (settings TlsCertFile and TlsKeyFile)"), std::string::npos)
      << err.AsString();

  m_config.tcpEndpoint = "0.0.0.0:0";
  m_config.plainTcpOnLoopback = true;
  EXPECT_TRUE(StartServer().IsError()) << "clear text beyond loopback";

  m_config.tcpEndpoint = "127.0.0.1:0";
  ASSERT_FALSE(StartServer());
  ASSERT_NE(m_server->TcpPort(), 0);
  CWzClient client;
  client.SetTls(Plain());
  ASSERT_FALSE(client.Connect(TcpEndpoint(), "tok"));
  ExpectWorking(client, "lt");
}

// TLS: the client checks the server's certificate; with client certificates
// required, only a client with one the CA signed gets a request through.
TEST_F(NetServerTest, TlsWithClientCertificatesWhenRequired) {
  WzTestCertificates certs;
  std::string why;
  ASSERT_TRUE(MakeWzTestCertificates(m_dir, certs, why)) << why;
  m_config.tcpEndpoint = "127.0.0.1:0";
  m_config.token = "tok";
  m_config.tlsCertFile = certs.serverCert;
  m_config.tlsKeyFile = certs.serverKey;
  m_config.tlsRequireClientCert = true;
  EXPECT_TRUE(StartServer().IsError()) << "client certificates need a CA to check them";
  m_config.tlsCaFile = certs.caCert;
  ASSERT_FALSE(StartServer());

  WznClientTls tls;
  tls.caFile = certs.caCert;
  tls.certFile = certs.clientCert;
  tls.keyFile = certs.clientKey;
  CWzClient good;
  good.SetTls(tls);
  CRnError err = good.Connect(TcpEndpoint(), "tok");
  ASSERT_FALSE(err) << err.AsString();
  ExpectWorking(good, "over-tls");
  ExpectWorking(good, "over-tls-again");

  auto refused = [&](const WznClientTls& options, const char* what) {
    CWzClient bad;
    bad.SetTls(options);
    CRnError e = bad.Connect(TcpEndpoint(), "tok");
    if (e.IsSuccess()) e = bad.SendMessage(*Request("sneaky"));
    std::unique_ptr<CNMessageBase> reply;
    if (e.IsSuccess()) e = bad.ReceiveReply(reply, kReplyMs);
    EXPECT_TRUE(e.IsError()) << what;
  };
  WznClientTls noCert;
  noCert.caFile = certs.caCert;
  refused(noCert, "no client certificate");
  WznClientTls otherCa = tls;
  otherCa.certFile = certs.otherClientCert;
  otherCa.keyFile = certs.otherClientKey;
  refused(otherCa, "a client certificate of another CA");
  WznClientTls distrust = tls;
  distrust.caFile = certs.otherCaCert;
  refused(distrust, "a server certificate the client does not trust");
  refused(Plain(), "clear text to a TLS listener");
  EXPECT_EQ(m_service->Received(), 2u) << "nothing from a refused peer reaches the service";
  ExpectWorking(good, "still-over-tls");
}

// Without the requirement, a client without a certificate is served, and the
// server's refusal at accept (sent before any TLS) still reaches it.
TEST_F(NetServerTest, TlsClientsWithoutCertificateAndRefusalsBeforeTls) {
  WzTestCertificates certs;
  std::string why;
  ASSERT_TRUE(MakeWzTestCertificates(m_dir, certs, why)) << why;
  m_config.tcpEndpoint = "127.0.0.1:0";
  m_config.token = "tok";
  m_config.tlsCertFile = certs.serverCert;
  m_config.tlsKeyFile = certs.serverKey;
  m_config.maxTcpConnections = 1;
  ASSERT_FALSE(StartServer());
  WznClientTls tls;
  tls.caFile = certs.caCert;
  CWzClient first;
  first.SetTls(tls);
  ASSERT_FALSE(first.Connect(TcpEndpoint(), "tok"));
  ExpectWorking(first, "no-client-cert");
  CWzClient second;
  second.SetTls(tls);
  CRnError err = second.Connect(TcpEndpoint(), "tok");
  ASSERT_TRUE(err.IsError());
  EXPECT_TRUE(CWzClient::IsClosed(err)) << err.AsString();
  EXPECT_EQ(second.ServerError(), "too many connections");
}

TEST_F(NetServerTest, RepliesKeepTheirOrderUnderConcurrentClients) {
  ASSERT_FALSE(StartServer(1));
  constexpr int kClients = 4;
  constexpr int kRequests = 60;
  std::vector<std::string> failures(kClients);
  std::vector<std::thread> threads;
  for (int c = 0; c < kClients; ++c) {
    threads.emplace_back([&, c] {
      CWzClient client;
      if (CRnError err = client.Connect(UnixEndpoint())) {
        failures[c] = err.AsString();
        return;
      }
      // All requests first, then all replies: the server has many replies
      // of this connection in flight at once.
      for (int i = 0; i < kRequests; ++i) {
        if (CRnError err = client.SendMessage(*Request(std::to_string(c) + "-" + std::to_string(i), 3000))) {
          failures[c] = err.AsString();
          return;
        }
      }
      for (int i = 0; i < kRequests; ++i) {
        std::unique_ptr<CNMessageBase> reply;
        if (CRnError err = client.ReceiveReply(reply, kReplyMs)) {
          failures[c] = err.AsString();
          return;
        }
        const std::string expected = std::to_string(c) + "-" + std::to_string(i);
        if (CommandOf(reply) != expected) {
          failures[c] = "reply " + CommandOf(reply) + " where " + expected + " was due";
          return;
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int c = 0; c < kClients; ++c) EXPECT_EQ(failures[c], "") << "client " << c;
}

// Several workers send on one connection at once: every frame must arrive
// whole, none lost. The client keeps 16 requests outstanding, reading as it
// sends, as a pipelining client must.
TEST_F(NetServerTest, ConcurrentSendsOnOneConnectionNeverInterleave) {
  ASSERT_FALSE(StartServer(4));
  CWzClient client;
  ASSERT_FALSE(client.Connect(UnixEndpoint()));
  constexpr int kRequests = 80;
  constexpr int kWindow = 16;
  std::multiset<std::string> sent;
  std::multiset<std::string> received;
  for (int i = 0; i < kRequests + kWindow; ++i) {
    if (i >= kWindow) {
      std::unique_ptr<CNMessageBase> reply;
      CRnError err = client.ReceiveReply(reply, kReplyMs);
      ASSERT_FALSE(err) << err.AsString();
      received.insert(CommandOf(reply));
    }
    if (i < kRequests) {
      const std::string command = "r" + std::to_string(i);
      ASSERT_FALSE(client.SendMessage(*Request(command, 20000)));
      sent.insert(command);
    }
  }
  EXPECT_EQ(received, sent);
}

TEST_F(NetServerTest, XdrMessagesReachTheServiceWithTheirIdAndBytes) {
  ASSERT_FALSE(StartServer());
  CWzClient client;
  ASSERT_FALSE(client.Connect(UnixEndpoint()));
  const std::string bytes("\0\x01\x02\xff xdr", 8);
  ASSERT_FALSE(client.SendXdr(0x4B000123u, bytes));
  ASSERT_FALSE(client.SendXdr(0x012E0005u, std::string()));
  ASSERT_TRUE(WaitUntil([&] { return m_service->Xdr().size() == 2; }));
  const std::vector<NetTest::XdrRecord> xdr = m_service->Xdr();
  EXPECT_EQ(xdr[0].id, 0x4B000123u);
  EXPECT_EQ(xdr[0].bytes, bytes);
  EXPECT_EQ(xdr[1].id, 0x012E0005u);
  EXPECT_EQ(xdr[1].bytes, "");
  EXPECT_EQ(xdr[0].handle, xdr[1].handle);
  ExpectWorking(client, "after-xdr");
}

TEST_F(NetServerTest, DisconnectNoticeIsAnsweredAndTheConnectionClosed) {
  ASSERT_FALSE(StartServer());
  CWzClient client;
  ASSERT_FALSE(client.Connect(UnixEndpoint()));
  ExpectWorking(client, "first");
  const WznHandle_t handle = LastHandle(1);
  CRnError err = client.Disconnect(kReplyMs);
  ASSERT_FALSE(err) << err.AsString();
  EXPECT_FALSE(client.IsConnected());
  ASSERT_TRUE(WaitUntil([&] { return m_server->ConnectionCount() == 0; }));
  CWzNetwork* connection = nullptr;
  EXPECT_TRUE(m_server->AcquireSession(handle, connection).IsError());
  // Forgotten once the worker that answered has released it too.
  EXPECT_TRUE(WaitUntil(
      [&] { return m_server->AcquireSession(handle, connection).GetCode() == HRESULT_FROM_WIN32(Wzn::kErrNotFound); }));
  EXPECT_TRUE(m_service->Errors().empty());
}

TEST_F(NetServerTest, AbortNoticeIsAnsweredWithTheStatusRecord) {
  ASSERT_FALSE(StartServer());
  CWzClient client;
  ASSERT_FALSE(client.Connect(UnixEndpoint()));
  WznStatus_t status;
  status.status = 9;
  CRnError err = client.Abort(status, kReplyMs);
  ASSERT_FALSE(err) << err.AsString();
  EXPECT_EQ(status.status, 0);
  EXPECT_EQ(status.subStatus, 0);
  EXPECT_EQ(status.reason, 2);
  ASSERT_TRUE(WaitUntil([&] { return m_server->ConnectionCount() == 0; }));
}

TEST_F(NetServerTest, TokenIsRequiredAndChecked) {
  m_config.tcpEndpoint = "127.0.0.1:0";
  m_config.plainTcpOnLoopback = true;
  EXPECT_TRUE(StartServer().IsError()) << "no token configured";
  EXPECT_NE(access(UnixEndpoint().c_str(), F_OK), 0) << "a failed start leaves no socket file";

  m_config.token = "s3cret-token";
  ASSERT_FALSE(StartServer());
  CWzClient good;
  good.SetTls(Plain());
  ASSERT_FALSE(good.Connect(TcpEndpoint(), "s3cret-token"));
  ExpectWorking(good, "authorised");

  for (const std::string token : {"", "s3cret-tokem", "s3cret"}) {
    CWzClient bad;
    bad.SetTls(Plain());
    ASSERT_FALSE(bad.Connect(TcpEndpoint(), token));
    ASSERT_FALSE(bad.SendMessage(*Request("sneaky")));
    std::unique_ptr<CNMessageBase> reply;
    CRnError err = bad.ReceiveReply(reply, kReplyMs);
    EXPECT_TRUE(CWzClient::IsClosed(err)) << "token \"" << token << "\": " << err.AsString();
  }
  EXPECT_EQ(m_service->Received(), 1u) << "nothing from an unauthenticated peer reaches the service";
  EXPECT_EQ(m_log->Count("authentication failed"), 1u) << "one line per source and interval";
  EXPECT_EQ(Refused(*m_server, "wrong_token") + Refused(*m_server, "no_hello"), 3u) << "but each is counted";
  ExpectWorking(good, "still-authorised");

  CWzClient local;
  ASSERT_FALSE(local.Connect(UnixEndpoint()));
  ExpectWorking(local, "unix-needs-no-token");
}

TEST_F(NetServerTest, NonLoopbackTcpWithoutTokenIsRefusedAtStart) {
  m_config.tcpEndpoint = "192.0.2.1:0";
  CRnError err = StartServer();
  ASSERT_TRUE(err.IsError());
  EXPECT_NE(err.AsString().find("token"), std::string::npos) << err.AsString();
}

// The child connects as nobody; its exit code tells what it got back: 0 a
// reply, 1 an error notice, 2 a bare close, 3 nothing in time, 10+ set-up.
int RunAsNobody(const std::string& path, const std::string& frame) {
  // The test directory is private; the socket in it must be reachable.
  const std::string dir = path.substr(0, path.rfind('/'));
  if (chmod(dir.c_str(), 0711) != 0) return -2;
  const pid_t pid = fork();
  if (pid == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.data(), path.size());
    if (fd < 0 || connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0) _exit(11);
    // A refused peer may find the socket closed already; what it was told
    // is still there to read.
    (void)send(fd, frame.data(), frame.size(), MSG_NOSIGNAL);
    unsigned char header[Wzn::kFrameHeaderSize];
    size_t got = 0;
    while (got < sizeof(header)) {
      struct pollfd p = {fd, POLLIN, 0};
      if (poll(&p, 1, kReplyMs) != 1) _exit(3);
      const ssize_t n = read(fd, header + got, sizeof(header) - got);
      if (n <= 0) _exit(2);
      got += static_cast<size_t>(n);
    }
    _exit(header[7] == 1 ? 0 : header[7] == 3 ? 1 : 13);
  }
  int status = 0;
  if (pid < 0) return -1;
  pid_t waited;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  if (waited != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST_F(NetServerTest, UnixPeersOutsideTheOwnerRootAndGroupAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  ASSERT_FALSE(StartServer());
  // Opened wide on purpose: the credential check must hold on its own.
  ASSERT_EQ(chmod(UnixEndpoint().c_str(), 0666), 0);
  const std::string frame = RequestFrame("from-nobody");
  EXPECT_EQ(RunAsNobody(UnixEndpoint(), frame), 1);
  EXPECT_EQ(m_service->Received(), 0u);
  EXPECT_EQ(m_log->Count("not permitted"), 1u);
  EXPECT_EQ(Refused(*m_server, "peer_not_permitted"), 1u);
  CWzClient owner;
  ASSERT_FALSE(owner.Connect(UnixEndpoint()));
  ExpectWorking(owner, "owner");
}

TEST_F(NetServerTest, UnixPeersOfTheAllowedGroupPass) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
  struct group* nogroup = getgrgid(65534);
  if (nogroup == nullptr) GTEST_SKIP() << "no group 65534 here";
  m_config.allowedGroup = nogroup->gr_name;
  ASSERT_FALSE(StartServer());
  struct stat st;
  ASSERT_EQ(stat(UnixEndpoint().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0660u);
  EXPECT_EQ(st.st_gid, 65534u);
  EXPECT_EQ(RunAsNobody(UnixEndpoint(), RequestFrame("from-group")), 0);
}

TEST_F(NetServerTest, BadInputClosesOnlyThatConnection) {
  ASSERT_FALSE(StartServer());
  CWzClient good;
  ASSERT_FALSE(good.Connect(UnixEndpoint()));
  ExpectWorking(good, "before");

  auto patched = [](size_t offset, std::initializer_list<int> bytes) {
    std::string f = Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, std::string("<msg/>"));
    for (int b : bytes) f[offset++] = static_cast<char>(b);
    return f;
  };
  std::string oversized = Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, std::string());
  oversized[16] = 0;
  oversized[17] = 1;  // 64 KiB + ...
  oversized[18] = 0;
  oversized[19] = 1;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"oversized frame", oversized},
      {"bad magic", patched(0, {'X'})},
      {"bad version", patched(5, {2})},
      {"unknown kind", patched(7, {9})},
      {"reserved set", patched(20, {1})},
      {"garbage XML", Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, std::string("<<<not xml"))},
      {"XML of no known class",
       Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, std::string("<msg group=\"99\" number=\"1\" tag=\"0x01\"/>"))},
      {"bad control", Wzn::EncodeFrame(Wzn::FrameKind::kControl, 0, std::string("\0\0\0\x63", 4))},
      {"server-side control", Wzn::EncodeControl(Wzn::ControlType::kDisconnectReply)},
      {"second hello", Wzn::EncodeHello("") + Wzn::EncodeHello("")},
      {"random bytes", std::string(200, '\x5A')},
  };
  for (const auto& c : cases) {
    const size_t errorsBefore = ErrorLines();
    CWzClient bad;
    ASSERT_FALSE(bad.Connect(UnixEndpoint()));
    ASSERT_FALSE(bad.SendRaw(c.second)) << c.first;
    std::unique_ptr<CNMessageBase> reply;
    CRnError err = bad.ReceiveReply(reply, kReplyMs);
    EXPECT_TRUE(CWzClient::IsClosed(err)) << c.first << ": " << err.AsString();
    EXPECT_FALSE(bad.ServerError().empty()) << c.first << ": the peer is told why";
    EXPECT_EQ(ErrorLines(), errorsBefore + 1) << c.first << ": one log line";
    ExpectWorking(good, "after " + c.first);
  }
  EXPECT_EQ(m_service->Received(), 1 + cases.size()) << "only the good client's requests got through";
  EXPECT_TRUE(WaitUntil([&] { return m_server->ConnectionCount() == 1; }));
}

TEST_F(NetServerTest, AThrowingCallbackDoesNotTakeTheServerDown) {
  m_service = std::make_unique<FakeService>();
  m_service->ThrowOnTag(WzScsiServer::kCreateTarget.tagId);
  m_server = std::make_unique<CWzAsioNetworkServer>();
  ASSERT_FALSE(m_server->Start(m_config, m_service.get()));
  CWzClient client;
  ASSERT_FALSE(client.Connect(UnixEndpoint()));
  WzScsiServer::CreateTarget create;
  create.setTargetId("iqn.boom");
  ASSERT_FALSE(client.SendMessage(create));
  ExpectWorking(client, "still-here");
  EXPECT_EQ(m_log->Count("fake service failure"), 1u);
}

TEST_F(NetServerTest, IdleConnectionsAreClosed) {
  m_config.idleTimeoutSecs = 1;
  ASSERT_FALSE(StartServer());
  CWzClient client;
  ASSERT_FALSE(client.Connect(UnixEndpoint()));
  std::unique_ptr<CNMessageBase> reply;
  CRnError err = client.ReceiveReply(reply, kReplyMs);
  EXPECT_TRUE(CWzClient::IsClosed(err)) << err.AsString();
  EXPECT_EQ(m_log->Count("idle for 1 s"), 1u);
}

TEST_F(NetServerTest, AConnectionWithARequestInWorkIsNotIdle) {
  m_config.idleTimeoutSecs = 1;
  ASSERT_FALSE(StartServer(1, false));
  CWzClient client;
  ASSERT_FALSE(client.Connect(UnixEndpoint()));
  ASSERT_FALSE(client.SendMessage(*Request("slow")));
  const WznHandle_t handle = LastHandle(1);
  CWzNetwork* connection = nullptr;
  ASSERT_FALSE(m_server->AcquireSession(handle, connection));
  // Longer than the idle time-out, as a slow request would take.
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_TRUE(connection->IsConnectionGood());
  bool disconnected = true;
  ASSERT_FALSE(connection->SendXMLMessage(Request("slow").get(), 0, 60, disconnected));
  EXPECT_FALSE(disconnected);
  ASSERT_FALSE(m_server->ReleaseSession(handle));
  std::unique_ptr<CNMessageBase> reply;
  ASSERT_FALSE(client.ReceiveReply(reply, kReplyMs));
  EXPECT_TRUE(CWzClient::IsClosed(client.ReceiveReply(reply, kReplyMs))) << "idle once the work is done";
}

TEST_F(NetServerTest, ConnectionsOverTheLimitAreClosed) {
  m_config.maxConnections = 2;
  ASSERT_FALSE(StartServer());
  CWzClient a;
  CWzClient b;
  ASSERT_FALSE(a.Connect(UnixEndpoint()));
  ASSERT_FALSE(b.Connect(UnixEndpoint()));
  ExpectWorking(a, "a");
  ExpectWorking(b, "b");
  CWzClient c;
  ASSERT_FALSE(c.Connect(UnixEndpoint()));
  std::unique_ptr<CNMessageBase> reply;
  EXPECT_TRUE(CWzClient::IsClosed(c.ReceiveReply(reply, kReplyMs)));
  EXPECT_EQ(c.ServerError(), "too many connections");
  EXPECT_EQ(m_log->Count(": too many connections"), 1u);

  a.Close();
  ASSERT_TRUE(WaitUntil([&] { return m_server->ConnectionCount() == 1; }));
  CWzClient d;
  ASSERT_FALSE(d.Connect(UnixEndpoint()));
  ExpectWorking(d, "d");
  ExpectWorking(b, "b again");
}

TEST_F(NetServerTest, AnAcquiredSessionOutlivesItsSocket) {
  ASSERT_FALSE(StartServer(1, false));
  CWzClient client;
  ASSERT_FALSE(client.Connect(UnixEndpoint()));
  ASSERT_FALSE(client.SendMessage(*Request("hold")));
  const WznHandle_t handle = LastHandle(1);
  CWzNetwork* connection = nullptr;
  ASSERT_FALSE(m_server->AcquireSession(handle, connection));
  EXPECT_TRUE(connection->IsConnectionGood());

  client.Close();
  ASSERT_TRUE(WaitUntil([&] { return !connection->IsConnectionGood(); }));
  EXPECT_EQ(m_server->ConnectionCount(), 0u);
  bool disconnected = false;
  CRnError err = connection->SendXMLMessage(Request("late").get(), 0, 60, disconnected);
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_WIN32(Wzn::kErrNotConnected));
  EXPECT_TRUE(disconnected);
  CWzNetwork* again = nullptr;
  EXPECT_EQ(m_server->AcquireSession(handle, again).GetCode(), HRESULT_FROM_WIN32(Wzn::kErrNotConnected));

  ASSERT_FALSE(m_server->ReleaseSession(handle));
  EXPECT_EQ(m_server->AcquireSession(handle, again).GetCode(), HRESULT_FROM_WIN32(Wzn::kErrNotFound));
  EXPECT_TRUE(m_server->ReleaseSession(handle).IsError()) << "released once only";
}

TEST_F(NetServerTest, HandlesCountUpAndAreNeverReused) {
  ASSERT_FALSE(StartServer());
  CWzNetwork* connection = nullptr;
  EXPECT_EQ(m_server->AcquireSession(12345, connection).GetCode(), HRESULT_FROM_WIN32(Wzn::kErrNotFound));
  for (int i = 0; i < 5; ++i) {
    CWzClient client;
    ASSERT_FALSE(client.Connect(UnixEndpoint()));
    ExpectWorking(client, "c" + std::to_string(i));
  }
  const std::vector<WznHandle_t> handles = m_service->Handles();
  ASSERT_EQ(handles.size(), 5u);
  EXPECT_GE(handles[0], 1u);
  for (size_t i = 1; i < handles.size(); ++i) EXPECT_GT(handles[i], handles[i - 1]);
}

// A send only queues: the peer that never reads costs the sender nothing,
// and is closed when it does not take a reply within the send's time-out.
TEST_F(NetServerTest, AStalledPeerTimesTheSendOutAndIsClosed) {
  ASSERT_FALSE(StartServer(1, false));
  CWzClient client;
  ASSERT_FALSE(client.Connect(UnixEndpoint()));
  ASSERT_FALSE(client.SendMessage(*Request("then-never-read")));
  const WznHandle_t handle = LastHandle(1);
  CWzNetwork* connection = nullptr;
  ASSERT_FALSE(m_server->AcquireSession(handle, connection));
  bool disconnected = true;
  const auto start = std::chrono::steady_clock::now();
  // Far more than the socket buffers hold.
  CRnError err = connection->SendXMLMessage(Request("big", 900 * 1024).get(), 0, 1, disconnected);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500)) << "the send waited";
  EXPECT_FALSE(err) << err.AsString();
  EXPECT_FALSE(disconnected);
  ASSERT_TRUE(WaitUntil([&] { return !connection->IsConnectionGood(); }));
  EXPECT_EQ(m_log->Count("did not take a reply within 1 s"), 1u);
  err = connection->SendXMLMessage(Request("late").get(), 0, 60, disconnected);
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_WIN32(Wzn::kErrNotConnected));
  EXPECT_TRUE(disconnected);
  ASSERT_FALSE(m_server->ReleaseSession(handle));
}

// One reply always goes, however large; what piles up behind it is limited,
// and the connection that passes the limit is closed.
TEST_F(NetServerTest, UnsentRepliesPastTheLimitCloseTheConnection) {
  m_config.maxUnsentBytes = 600 * 1024;
  ASSERT_FALSE(StartServer(1, false));
  CWzClient client;
  ASSERT_FALSE(client.Connect(UnixEndpoint()));
  ASSERT_FALSE(client.SendMessage(*Request("then-never-read")));
  const WznHandle_t handle = LastHandle(1);
  CWzNetwork* connection = nullptr;
  ASSERT_FALSE(m_server->AcquireSession(handle, connection));
  bool disconnected = true;
  EXPECT_FALSE(connection->SendXMLMessage(Request("over-the-limit-alone", 900 * 1024).get(), 0, 60, disconnected));
  EXPECT_FALSE(disconnected);
  CRnError err;
  int sent = 0;
  while (sent < 100 && !(err = connection->SendXMLMessage(Request("more", 50 * 1024).get(), 0, 60, disconnected)))
    ++sent;
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_WIN32(Wzn::kErrQuota)) << err.AsString();
  EXPECT_TRUE(disconnected);
  EXPECT_LT(sent, 100);
  EXPECT_FALSE(connection->IsConnectionGood());
  ASSERT_TRUE(WaitUntil([&] { return m_server->ConnectionCount() == 0; }));
  EXPECT_EQ(m_log->Count("does not read its replies"), 1u);
  ASSERT_FALSE(m_server->ReleaseSession(handle));
}

TEST_F(NetServerTest, StopDropsQueuedRepliesAndLaterSendsFail) {
  ASSERT_FALSE(StartServer(1, false));
  CWzClient client;
  ASSERT_FALSE(client.Connect(UnixEndpoint()));
  ASSERT_FALSE(client.SendMessage(*Request("then-never-read")));
  const WznHandle_t handle = LastHandle(1);
  CWzNetwork* connection = nullptr;
  ASSERT_FALSE(m_server->AcquireSession(handle, connection));
  bool disconnected = true;
  ASSERT_FALSE(connection->SendXMLMessage(Request("big", 900 * 1024).get(), 0, 3600, disconnected));
  m_server->Stop();
  EXPECT_FALSE(connection->IsConnectionGood());
  CRnError err = connection->SendXMLMessage(Request("after-stop").get(), 0, 60, disconnected);
  EXPECT_EQ(err.GetCode(), HRESULT_FROM_WIN32(Wzn::kErrNotConnected)) << err.AsString();
  EXPECT_TRUE(disconnected);
  ASSERT_FALSE(m_server->ReleaseSession(handle));
}

// A connection is not read while its requests in work and unsent replies
// are at the limit, and is read again once the client takes its replies.
TEST_F(NetServerTest, AConnectionIsReadOnlyAsFastAsItTakesItsReplies) {
  m_config.maxRequestsPerConnection = 4;
  ASSERT_FALSE(StartServer(2));
  m_service->Hold(true);
  // Replies of 200 KiB to small requests: one or two fill the socket buffers.
  m_service->ShapeReplies([](CNMessageBase& reply) {
    if (auto* ioctl = dynamic_cast<WzScsiServer::Ioctl*>(&reply)) ioctl->setArguments(std::string(200 * 1024, 'r'));
  });
  CWzClient client;
  ASSERT_FALSE(client.Connect(UnixEndpoint()));
  constexpr int kRequests = 12;
  for (int i = 0; i < kRequests; ++i) ASSERT_FALSE(client.SendMessage(*Request("r" + std::to_string(i))));
  ASSERT_TRUE(WaitUntil([&] { return m_service->Received() == 4; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(m_service->Received(), 4u) << "read past the limit while the service holds the requests";
  EXPECT_EQ(m_server->RequestsInFlight(), 4u);

  m_service->Hold(false);
  ASSERT_TRUE(WaitUntil([&] { return m_service->Received() >= 5; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_LT(m_service->Received(), static_cast<size_t>(kRequests)) << "read on while the replies pile up unsent";
  for (int i = 0; i < kRequests; ++i) {
    std::unique_ptr<CNMessageBase> reply;
    ASSERT_FALSE(client.ReceiveReply(reply, kReplyMs)) << "reply " << i;
  }
  EXPECT_EQ(m_service->Received(), static_cast<size_t>(kRequests));
  EXPECT_TRUE(WaitUntil([&] { return m_server->RequestsInFlight() == 0; }));
}

// While the server's requests in work are at the limit, connections that
// already have work wait, and a client with nothing in work still gets its
// request through.
TEST_F(NetServerTest, FloodersWaitForRoomButAQuietClientIsServedAtOnce) {
  m_config.maxRequestsInFlight = 3;
  ASSERT_FALSE(StartServer(2));
  m_service->Hold(true);
  CWzClient a, b, quiet;
  ASSERT_FALSE(a.Connect(UnixEndpoint()));
  ASSERT_FALSE(b.Connect(UnixEndpoint()));
  ASSERT_FALSE(quiet.Connect(UnixEndpoint()));
  for (int i = 0; i < 10; ++i) ASSERT_FALSE(a.SendMessage(*Request("a" + std::to_string(i))));
  ASSERT_TRUE(WaitUntil([&] { return m_service->Received() == 3; }));
  for (int i = 0; i < 10; ++i) ASSERT_FALSE(b.SendMessage(*Request("b" + std::to_string(i))));
  ASSERT_TRUE(WaitUntil([&] { return m_service->Received() == 4; })) << "b's first request waits for nobody";
  ASSERT_FALSE(quiet.SendMessage(*Request("quiet")));
  ASSERT_TRUE(WaitUntil([&] { return m_service->Received() == 5; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(m_service->Received(), 5u);

  m_service->Hold(false);
  std::unique_ptr<CNMessageBase> reply;
  for (CWzClient* c : {&a, &b}) {
    for (int i = 0; i < 10; ++i) ASSERT_FALSE(c->ReceiveReply(reply, kReplyMs)) << "reply " << i;
  }
  ASSERT_FALSE(quiet.ReceiveReply(reply, kReplyMs));
  EXPECT_EQ(CommandOf(reply), "quiet");
  EXPECT_TRUE(WaitUntil([&] { return m_server->RequestsInFlight() == 0; }));
}

// Replies queued and not yet written count against the budget like requests
// in work: a client that pipelines and never reads stops being read once its
// unread replies fill it (not only at its own per-connection limit), while a
// client with nothing in work is served at once.
TEST_F(NetServerTest, UnreadRepliesCountAgainstTheBudget) {
  m_config.maxRequestBytesInFlight = 1u << 20;
  ASSERT_FALSE(StartServer(2));
  m_service->ShapeReplies([](CNMessageBase& reply) {
    auto* ioctl = dynamic_cast<WzScsiServer::Ioctl*>(&reply);
    if (ioctl != nullptr && ioctl->command().compare(0, 4, "pipe") == 0)
      ioctl->setArguments(std::string(300 * 1024, 'r'));
  });
  CWzClient piper, quiet;
  ASSERT_FALSE(piper.Connect(UnixEndpoint()));
  ASSERT_FALSE(quiet.Connect(UnixEndpoint()));
  // 1.8 MiB of replies queued, less what the socket takes.
  for (int i = 0; i < 6; ++i) ASSERT_FALSE(piper.SendMessage(*Request("pipe" + std::to_string(i))));
  ASSERT_TRUE(WaitUntil([&] { return m_service->Received() == 6 && m_server->RequestsInFlight() == 0; }));
  constexpr int kRequests = 16;
  for (int i = 6; i < kRequests; ++i) ASSERT_FALSE(piper.SendMessage(*Request("pipe" + std::to_string(i))));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  EXPECT_EQ(m_service->Received(), 6u) << "read on while its unread replies fill the budget";
  ExpectWorking(quiet, "nothing-in-work");
  ExpectWorking(quiet, "still-nothing-in-work");

  std::set<std::string> answered;
  for (int i = 0; i < kRequests; ++i) {
    std::unique_ptr<CNMessageBase> reply;
    ASSERT_FALSE(piper.ReceiveReply(reply, kReplyMs)) << "reply " << i;
    answered.insert(CommandOf(reply));
  }
  EXPECT_EQ(answered.size(), static_cast<size_t>(kRequests));
  EXPECT_EQ(m_service->Received(), static_cast<size_t>(kRequests) + 2);
}

// TCP peers that owe their hello have a small limit and a deadline of their
// own; neither they nor TCP peers in general take the Unix socket's places.
TEST_F(NetServerTest, UnauthenticatedPeersHaveADeadlineAndPlacesOfTheirOwn) {
  m_config.tcpEndpoint = "127.0.0.1:0";
  m_config.plainTcpOnLoopback = true;
  m_config.token = "tok";
  m_config.helloTimeoutSecs = 1;
  m_config.maxUnauthenticated = 2;
  m_config.maxTcpConnections = 4;
  m_config.maxConnections = 2;
  ASSERT_FALSE(StartServer());
  CWzClient authed;
  authed.SetTls(Plain());
  ASSERT_FALSE(authed.Connect(TcpEndpoint(), "tok"));
  ExpectWorking(authed, "authenticated");
  CWzClient silent1, silent2, third;
  for (CWzClient* c : {&silent1, &silent2, &third}) c->SetTls(Plain());
  ASSERT_FALSE(silent1.Connect(TcpEndpoint()));
  ASSERT_FALSE(silent2.Connect(TcpEndpoint()));
  ASSERT_TRUE(WaitUntil([&] { return m_server->ConnectionCount() == 3; }));
  ASSERT_FALSE(third.Connect(TcpEndpoint()));
  std::unique_ptr<CNMessageBase> reply;
  EXPECT_TRUE(CWzClient::IsClosed(third.ReceiveReply(reply, kReplyMs)));
  EXPECT_EQ(third.ServerError(), "too many connections awaiting authentication");
  ExpectWorking(authed, "authenticated-while-others-wait");
  CWzClient local1, local2;
  ASSERT_FALSE(local1.Connect(UnixEndpoint()));
  ASSERT_FALSE(local2.Connect(UnixEndpoint()));
  ExpectWorking(local1, "unix-1");
  ExpectWorking(local2, "unix-2");

  for (CWzClient* c : {&silent1, &silent2}) {
    EXPECT_TRUE(CWzClient::IsClosed(c->ReceiveReply(reply, kReplyMs)));
    EXPECT_EQ(c->ServerError(), "authentication failed: no hello within 1 s");
  }
  std::vector<std::unique_ptr<CWzClient>> later;
  for (int i = 0; i < 3; ++i) {
    later.push_back(std::make_unique<CWzClient>());
    later.back()->SetTls(Plain());
    ASSERT_FALSE(later.back()->Connect(TcpEndpoint(), "tok"));
    ExpectWorking(*later.back(), "room-again-" + std::to_string(i));
  }
  CWzClient tooMany;
  tooMany.SetTls(Plain());
  ASSERT_FALSE(tooMany.Connect(TcpEndpoint(), "tok"));
  EXPECT_TRUE(CWzClient::IsClosed(tooMany.ReceiveReply(reply, kReplyMs)));
  EXPECT_EQ(tooMany.ServerError(), "too many connections");
  ExpectWorking(local2, "unix-2-still");
  EXPECT_EQ(m_log->Count("Refused a connection from 127.0.0.1"), 1u) << "one line per source and interval";
  for (const auto& counted : std::map<std::string, uint64_t>{
           {"awaiting_authentication_full", 1}, {"no_hello", 2}, {"too_many_connections", 1}, {"wrong_token", 0}})
    EXPECT_EQ(Refused(*m_server, counted.first), counted.second) << counted.first;
}

// One source that opens connections and never says hello takes its own
// share of the hello places, not every one: another address still gets in.
TEST_F(NetServerTest, OneSourceCannotTakeEveryHelloPlace) {
  m_config.unixPath.clear();
  m_config.tcpEndpoint = "127.0.0.1:0";
  m_config.plainTcpOnLoopback = true;
  m_config.token = "tok";
  m_config.helloTimeoutSecs = 60;
  m_config.maxUnauthenticated = 4;
  m_config.maxUnauthenticatedPerSource = 2;
  ASSERT_FALSE(StartServer());
  std::vector<int> silent;
  for (int i = 0; i < 2; ++i) {
    silent.push_back(SilentFrom("127.0.0.2", m_server->TcpPort()));
    ASSERT_GE(silent.back(), 0) << "127.0.0.2 is a loopback address on Linux";
  }
  ASSERT_TRUE(WaitUntil([&] { return m_server->ConnectionCount() == 2; }));
  const int third = SilentFrom("127.0.0.2", m_server->TcpPort());
  ASSERT_GE(third, 0);
  EXPECT_EQ(NoticeOn(third), "too many connections awaiting authentication from this address");
  EXPECT_EQ(Refused(*m_server, "per_source_limit"), 1u);
  close(third);
  for (int i = 0; i < 3; ++i) {
    CWzClient other;
    other.SetTls(Plain());
    ASSERT_FALSE(other.Connect(TcpEndpoint(), "tok"));
    ExpectWorking(other, "from-another-address-" + std::to_string(i));
  }
  for (int fd : silent) close(fd);
}

TEST_F(NetServerTest, AStaleSocketFileIsReplacedButALiveOneOrAFileIsNot) {
  // Stale: bound, then its owner went away.
  {
    const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, UnixEndpoint().c_str());
    ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)), 0);
    close(fd);
  }
  ASSERT_FALSE(StartServer());
  CWzClient client;
  ASSERT_FALSE(client.Connect(UnixEndpoint()));
  ExpectWorking(client, "replaced");

  CWzAsioNetworkServer second;
  CRnError err = second.Start(m_config, m_service.get());
  EXPECT_TRUE(err.IsError()) << "another server is listening";
  ExpectWorking(client, "first server unharmed");

  WznServerConfig onFile = m_config;
  onFile.unixPath = m_dir + "/file";
  FILE* f = fopen(onFile.unixPath.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  CWzAsioNetworkServer third;
  EXPECT_TRUE(third.Start(onFile, m_service.get()).IsError());
  EXPECT_EQ(access(onFile.unixPath.c_str(), F_OK), 0) << "a regular file is never removed";
}

TEST_F(NetServerTest, ServesAnInheritedListeningSocket) {
  const std::string path = m_dir + "/wz.sock";
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(fd, 8), 0);
  m_config.unixPath.clear();
  m_config.listenFd = fd;
  ASSERT_FALSE(StartServer());
  EXPECT_EQ(m_server->UnixPath(), "") << "not ours to remove";
  CWzClient client;
  ASSERT_FALSE(client.Connect(path));
  ExpectWorking(client, "inherited");
}

TEST_F(NetServerTest, ServesTheSocketPassedBySystemd) {
  // systemd passes its sockets from fd 3 on. Whatever this process
  // inherited as fd 3 is put aside for the test and put back after it.
  const int saved = fcntl(3, F_DUPFD_CLOEXEC, 10);
  struct RestoreFd3 {
    int saved;
    ~RestoreFd3() {
      if (saved >= 0) {
        dup2(saved, 3);
        close(saved);
      }
    }
  } restore{saved};
  if (saved >= 0) close(3);
  const std::string path = m_dir + "/wz.sock";
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  struct sockaddr_un addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  std::strcpy(addr.sun_path, path.c_str());
  ASSERT_EQ(bind(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(fd, 8), 0);
  if (fd != 3) {
    ASSERT_EQ(dup2(fd, 3), 3);
    close(fd);
  }
  ASSERT_EQ(setenv("LISTEN_PID", std::to_string(getpid()).c_str(), 1), 0);
  ASSERT_EQ(setenv("LISTEN_FDS", "1", 1), 0);
  m_config.unixPath = m_dir + "/not-used.sock";
  m_config.systemdActivation = true;
  CRnError err = StartServer();
  ASSERT_FALSE(err) << err.AsString();
  EXPECT_EQ(getenv("LISTEN_FDS"), nullptr) << "not passed on to children";
  EXPECT_NE(access(m_config.unixPath.c_str(), F_OK), 0) << "nothing bound of our own";
  CWzClient client;
  ASSERT_FALSE(client.Connect(path));
  ExpectWorking(client, "activated");
  m_server->Stop();
  EXPECT_EQ(fcntl(3, F_GETFD), -1) << "the server closed the socket it took over";
}

TEST_F(NetServerTest, AnInheritedFdThatDoesNotListenIsRefused) {
  const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  m_config.unixPath.clear();
  m_config.listenFd = fd;
  EXPECT_TRUE(StartServer().IsError());
  EXPECT_EQ(fcntl(fd, F_GETFD), -1) << "taken over, so closed";
}

TEST_F(NetServerTest, ReceiveTellsATimeOutFromAClose) {
  ASSERT_FALSE(StartServer(1, false));
  CWzClient client;
  ASSERT_FALSE(client.Connect(UnixEndpoint()));
  ASSERT_FALSE(client.SendMessage(*Request("unanswered")));
  std::unique_ptr<CNMessageBase> reply;
  CRnError err = client.ReceiveReply(reply, 50);
  EXPECT_TRUE(CWzClient::IsTimeout(err)) << err.AsString();
  EXPECT_FALSE(CWzClient::IsClosed(err));
  EXPECT_TRUE(client.IsConnected()) << "a time-out leaves the connection usable";
  m_server->Stop();
  err = client.ReceiveReply(reply, kReplyMs);
  EXPECT_TRUE(CWzClient::IsClosed(err)) << err.AsString();
  EXPECT_FALSE(CWzClient::IsTimeout(err));
  EXPECT_TRUE(CWzClient::IsClosed(client.SendMessage(*Request("after"))));
}

TEST_F(NetServerTest, ClientRefusesBadEndpoints) {
  CWzClient client;
  EXPECT_TRUE(client.Connect(m_dir + "/nothing.sock").IsError());
  EXPECT_TRUE(client.Connect("127.0.0.1:notaport").IsError());
  EXPECT_TRUE(client.Connect(std::string(200, 'x')).IsError()) << "path too long for a Unix socket";
  EXPECT_FALSE(client.IsConnected());
}

}  // namespace
