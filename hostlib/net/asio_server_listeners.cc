// The listeners of CWzAsioNetworkServer: the Unix socket (bound, inherited
// or from systemd) and the optional TCP one, and what they do with each
// peer they accept (asio_server_impl.h).
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "hostlib/log/LogWriter.h"
#include "hostlib/net/accept_policy.h"
#include "hostlib/net/asio_server_connection.h"
#include "hostlib/net/asio_server_impl.h"
#include "hostlib/net/frame.h"
#include "hostlib/net/net_errors.h"
#include "hostlib/util/wz_environment.h"

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

// As deep as the system allows: bursts of clients (a thousand at once in the
// tests) should wait in the queue rather than be refused.
constexpr int kListenBacklog = SOMAXCONN;

// Best effort, never blocking: tells a peer refused at accept why.
template <typename Socket>
void SendRefusal(Socket& socket, const std::string& text) {
  error_code ec;
  socket.non_blocking(true, ec);
  const std::string frame = Wzn::EncodeErrorNotice(text);
  socket.write_some(asio::buffer(frame), ec);
  socket.close(ec);
}

std::string Describe(const asio::ip::tcp::endpoint& ep) {
  std::string addr = ep.address().to_string();
  if (ep.address().is_v6()) addr = "[" + addr + "]";
  return addr + ":" + std::to_string(ep.port());
}

}  // namespace

void CWzAsioNetworkServer::Impl::RemoveUnixSocketFile() {
  if (m_unixPathCreated.empty()) return;
  // Only our own socket: a server started since may have replaced it.
  struct stat st;
  if (lstat(m_unixPathCreated.c_str(), &st) == 0 && st.st_dev == m_unixDev && st.st_ino == m_unixIno) {
    ::unlink(m_unixPathCreated.c_str());
  }
}

CRnError CWzAsioNetworkServer::Impl::OpenUnixListener() {
  if (m_config.listenFd >= 0) return AdoptListenFd(m_config.listenFd);
  if (m_config.systemdActivation) {
    int fd = -1;
    // Through WzEnvironment: the service's threads may be setting their
    // request variables already.
    const std::string pid = WzEnvironment::Get("LISTEN_PID");
    const std::string fds = WzEnvironment::Get("LISTEN_FDS");
    if (CRnError err = Wzn::SystemdListenFd(pid.c_str(), fds.c_str(), getpid(), fd)) {
      return err.Push(WZN_HERE, "no socket from systemd");
    }
    // Children must not take the socket as theirs.
    for (const char* name : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"}) (void)WzEnvironment::Unset(name);
    return AdoptListenFd(fd);
  }
  if (m_config.unixPath.empty()) return CRnError();
  return BindUnixPath(m_config.unixPath);
}

CRnError CWzAsioNetworkServer::Impl::AdoptListenFd(int fd) {
  struct sockaddr_storage addr;
  socklen_t len = sizeof(addr);
  int type = 0;
  socklen_t typeLen = sizeof(type);
  if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&addr), &len) != 0 ||
      getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &typeLen) != 0) {
    const int e = errno;
    ::close(fd);
    return FXErrorUtil::ErrorErrNo(WZN_HERE, e, "fd %d is not a socket", fd);
  }
  if (addr.ss_family != AF_UNIX || type != SOCK_STREAM) {
    ::close(fd);
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "fd %d is not a Unix stream socket", fd);
  }
  // A socket that does not listen would make every accept fail at once.
  int listening = 0;
  socklen_t listeningLen = sizeof(listening);
  if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &listeningLen) != 0 || listening == 0) {
    ::close(fd);
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "fd %d is not listening", fd);
  }
  (void)fcntl(fd, F_SETFD, FD_CLOEXEC);
  m_unixAcceptor = std::make_unique<asio::local::stream_protocol::acceptor>(m_io);
  error_code ec;
  m_unixAcceptor->assign(asio::local::stream_protocol(), fd, ec);
  if (ec) {
    ::close(fd);
    m_unixAcceptor.reset();
    return FXErrorUtil::ErrorErrNo(WZN_HERE, ec.value(), "cannot serve fd %d: %s", fd, ec.message().c_str());
  }
  WZLOG(0, "Serving the inherited listening socket fd %d", fd);
  return CRnError();
}

CRnError CWzAsioNetworkServer::Impl::BindUnixPath(const std::string& path) {
  if (path.size() >= sizeof(sockaddr_un::sun_path)) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "Unix socket path too long: %s", path.c_str());
  }
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0) {
    const std::string dir = path.substr(0, slash);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      return FXErrorUtil::ErrorErrNo(WZN_HERE, errno, "cannot create the directory %s", dir.c_str());
    }
  }
  struct stat st;
  if (lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_ALREADY_EXISTS, "%s exists and is not a socket", path.c_str());
    }
    // A socket someone still answers on is a running server, not a stale
    // file.
    asio::local::stream_protocol::socket probe(m_io);
    error_code ec;
    probe.connect(asio::local::stream_protocol::endpoint(path), ec);
    if (!ec) {
      return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_ALREADY_EXISTS, "another server is listening on %s", path.c_str());
    }
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return FXErrorUtil::ErrorErrNo(WZN_HERE, errno, "cannot remove the stale socket %s", path.c_str());
    }
    WZLOG(0, "Replaced the stale socket file %s", path.c_str());
  }
  auto acceptor = std::make_unique<asio::local::stream_protocol::acceptor>(m_io);
  error_code ec;
  acceptor->open(asio::local::stream_protocol(), ec);
  if (!ec) acceptor->bind(asio::local::stream_protocol::endpoint(path), ec);
  if (ec) {
    return FXErrorUtil::ErrorErrNo(WZN_HERE, ec.value(), "cannot bind %s: %s", path.c_str(), ec.message().c_str());
  }
  m_unixPathCreated = path;
  if (lstat(path.c_str(), &st) == 0) {
    m_unixDev = st.st_dev;
    m_unixIno = st.st_ino;
  }
  // Nobody can connect before listen(), so the mode is right before anyone
  // can use the file.
  const mode_t mode = m_haveGroup ? 0660 : 0600;
  if (m_haveGroup && ::chown(path.c_str(), static_cast<uid_t>(-1), m_groupId) != 0) {
    return FXErrorUtil::ErrorErrNo(WZN_HERE, errno, "cannot give %s to group %s", path.c_str(),
                                   m_config.allowedGroup.c_str());
  }
  if (::chmod(path.c_str(), mode) != 0) {
    return FXErrorUtil::ErrorErrNo(WZN_HERE, errno, "cannot set the mode of %s", path.c_str());
  }
  acceptor->listen(kListenBacklog, ec);
  if (ec) {
    return FXErrorUtil::ErrorErrNo(WZN_HERE, ec.value(), "cannot listen on %s: %s", path.c_str(), ec.message().c_str());
  }
  m_unixAcceptor = std::move(acceptor);
  return CRnError();
}

CRnError CWzAsioNetworkServer::Impl::OpenTcpListener() {
  if (m_config.tcpEndpoint.empty()) return CRnError();
  std::string host;
  uint16_t port = 0;
  if (CRnError err = Wzn::ParseHostPort(m_config.tcpEndpoint, host, port)) return err.Push(WZN_HERE);
  error_code ec;
  asio::ip::address address =
      host == "localhost" ? asio::ip::address(asio::ip::address_v4::loopback()) : asio::ip::make_address(host, ec);
  if (ec) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "bad TCP address \"%s\"", host.c_str());
  }
  // Whoever can reach a TCP port, loopback included, is any local user:
  // only the token tells them apart.
  m_tcpNeedsToken = true;
  if (m_config.token.empty()) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER,
                                   "the TCP listener %s needs a token (setting Token), and none is configured",
                                   m_config.tcpEndpoint.c_str());
  }
  const bool tls = !m_config.tlsCertFile.empty() || !m_config.tlsKeyFile.empty();
  if (!tls && !(m_config.plainTcpOnLoopback && address.is_loopback())) {
    return FXErrorUtil::ErrorWin32(
        WZN_HERE, ERROR_INVALID_PARAMETER, "the TCP listener %s needs TLS (settings TlsCertFile and TlsKeyFile)%s",
        m_config.tcpEndpoint.c_str(),
        address.is_loopback() ? ", or PlainTcpOnLoopback=yes for clear text on loopback" : "");
  }
  if (tls) {
    if (CRnError err = MakeTlsContext()) return err.Push(WZN_HERE);
  }
  const asio::ip::tcp::endpoint endpoint(address, port);
  auto acceptor = std::make_unique<asio::ip::tcp::acceptor>(m_io);
  acceptor->open(endpoint.protocol(), ec);
  if (!ec) acceptor->set_option(asio::socket_base::reuse_address(true), ec);
  if (!ec) acceptor->bind(endpoint, ec);
  if (!ec) acceptor->listen(kListenBacklog, ec);
  if (ec) {
    return FXErrorUtil::ErrorErrNo(WZN_HERE, ec.value(), "cannot listen on TCP %s: %s", m_config.tcpEndpoint.c_str(),
                                   ec.message().c_str());
  }
  m_tcpPort = acceptor->local_endpoint(ec).port();
  m_tcpAcceptor = std::move(acceptor);
  return CRnError();
}

CRnError CWzAsioNetworkServer::Impl::MakeTlsContext() {
  const WznServerConfig& c = m_config;
  if (c.tlsCertFile.empty() || c.tlsKeyFile.empty()) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER,
                                   "TLS needs both a certificate (TlsCertFile) and its key (TlsKeyFile)");
  }
  if (c.tlsRequireClientCert && c.tlsCaFile.empty()) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER,
                                   "TlsRequireClientCert needs the CA file that client certificates are checked "
                                   "against (TlsCaFile)");
  }
  auto context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
  error_code ec;
  context->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                           asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                           asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use,
                       ec);
  auto bad = [](const char* what, const std::string& file, const error_code& e) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "cannot use the TLS %s %s: %s", what,
                                   file.c_str(), e.message().c_str());
  };
  if (context->use_certificate_chain_file(c.tlsCertFile, ec)) return bad("certificate", c.tlsCertFile, ec);
  if (context->use_private_key_file(c.tlsKeyFile, asio::ssl::context::pem, ec)) return bad("key", c.tlsKeyFile, ec);
  if (SSL_CTX_check_private_key(context->native_handle()) != 1) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER,
                                   "the TLS key %s does not match the certificate %s", c.tlsKeyFile.c_str(),
                                   c.tlsCertFile.c_str());
  }
  if (!c.tlsCaFile.empty()) {
    if (context->load_verify_file(c.tlsCaFile, ec)) return bad("CA file", c.tlsCaFile, ec);
    const int mode = asio::ssl::verify_peer | (c.tlsRequireClientCert ? asio::ssl::verify_fail_if_no_peer_cert : 0);
    if (context->set_verify_mode(mode, ec)) return bad("CA file", c.tlsCaFile, ec);
  }
  m_tlsContext = std::move(context);
  return CRnError();
}

void CWzAsioNetworkServer::Impl::AcceptUnix() {
  m_unixAcceptor->async_accept(m_io, [this](const error_code& ec, asio::local::stream_protocol::socket socket) {
    if (ec == asio::error::operation_aborted || m_stopped) return;
    if (ec) {
      WZLOG(-1, "Accepting on the Unix socket failed: %s", ec.message().c_str());
      RetryAcceptLater(true);
      return;
    }
    Wzn::PeerCredentials peer;
    error_code ignored;
    if (CRnError err = Wzn::ReadPeerCredentials(socket.native_handle(), peer)) {
      LogRefusal("a Unix-socket peer", err.AsString());
      socket.close(ignored);
    } else {
      const std::string source = "uid " + std::to_string(peer.uid);
      const std::string who = source + " (pid " + std::to_string(peer.pid) + ")";
      std::string refusal;
      if (!Wzn::PeerAllowed(peer, m_selfUid, m_haveGroup, m_groupId)) {
        refusal = "not permitted";
      } else {
        refusal = RefusalOfNew(false, false, source);
      }
      if (!refusal.empty()) {
        LogRefusal(source, refusal);
        SendRefusal(socket, refusal);
      } else {
        AddConnection(Wzn::GenericSocket(std::move(socket)), who, source, false, false);
      }
    }
    AcceptUnix();
  });
}

void CWzAsioNetworkServer::Impl::AcceptTcp() {
  m_tcpAcceptor->async_accept(m_io, [this](const error_code& ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted || m_stopped) return;
    if (ec) {
      WZLOG(-1, "Accepting on TCP failed: %s", ec.message().c_str());
      RetryAcceptLater(false);
      return;
    }
    error_code ignored;
    const asio::ip::tcp::endpoint remote = socket.remote_endpoint(ignored);
    const std::string who = Describe(remote);
    const std::string source = remote.address().to_string();
    // A refusal goes out in clear text even on a TLS listener: the client
    // tells it from a TLS record by its first byte.
    const std::string refusal = RefusalOfNew(true, m_tcpNeedsToken, source);
    if (!refusal.empty()) {
      LogRefusal(source, refusal);
      SendRefusal(socket, refusal);
    } else {
      socket.set_option(asio::ip::tcp::no_delay(true), ignored);
      AddConnection(Wzn::GenericSocket(std::move(socket)), who, source, true, m_tcpNeedsToken);
    }
    AcceptTcp();
  });
}

// Out of descriptors or memory: accepting again at once would spin.
void CWzAsioNetworkServer::Impl::RetryAcceptLater(bool unix) {
  m_retryTimer->expires_after(std::chrono::milliseconds(100));
  m_retryTimer->async_wait([this, unix](const error_code& ec) {
    if (ec || m_stopped) return;
    if (unix && m_unixAcceptor) AcceptUnix();
    if (!unix && m_tcpAcceptor) AcceptTcp();
  });
}
