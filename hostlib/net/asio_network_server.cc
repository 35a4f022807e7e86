#include "hostlib/net/asio_network_server.h"

#include <unistd.h>

#include <chrono>
#include <exception>
#include <future>
#include <vector>

#include "hostlib/log/LogWriter.h"
#include "hostlib/msg/CNMessageBase.h"
#include "hostlib/net/accept_policy.h"
#include "hostlib/net/asio_server_connection.h"
#include "hostlib/net/asio_server_impl.h"
#include "hostlib/net/net_errors.h"

namespace asio = boost::asio;
using boost::system::error_code;

namespace Wzn {

void CancelQuietly(asio::steady_timer& timer) {
  try {
    timer.cancel();
  } catch (const std::exception&) {
    // Nothing to cancel then.
  }
}

}  // namespace Wzn

namespace {

// Sources whose refusals are counted apart; beyond them they are counted
// together.
constexpr size_t kMaxRefusalSources = 256;

}  // namespace

// ---------------------------------------------------------------------------
// Impl: start, stop and the network thread

CWzAsioNetworkServer::Impl::~Impl() { Stop(); }

CRnError CWzAsioNetworkServer::Impl::Start(const WznServerConfig& config, IWzNetworkReceiver* receiver) {
  if (m_started) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "the network server was started before");
  }
  m_started = true;
  m_config = config;
  m_receiver = receiver;
  m_selfUid = geteuid();
  auto closeGivenFd = [&] {
    if (config.listenFd >= 0) ::close(config.listenFd);
  };
  if (receiver == nullptr) {
    closeGivenFd();
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_BAD_ARGUMENTS, "no service to deliver messages to");
  }
  if (config.maxFrameBytes == 0 || config.maxConnections == 0 || config.maxTcpConnections == 0 ||
      config.maxUnauthenticated == 0 || config.maxUnauthenticatedPerSource == 0 ||
      config.maxRequestsPerConnection == 0 || config.maxRequestsInFlight == 0 || config.maxRequestBytesInFlight == 0 ||
      config.maxUnsentBytes == 0 || config.helloTimeoutSecs <= 0 || config.refusalLogSecs <= 0 ||
      config.idleTimeoutSecs < 0) {
    closeGivenFd();
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER,
                                   "every limit and time-out must be positive (the idle time-out may be 0)");
  }
  {
    WzMutexLock g(&m_refusalLock);
    m_refusals = std::make_unique<Wzn::CRefusalLog>(std::chrono::seconds(config.refusalLogSecs), kMaxRefusalSources);
  }
  if (!config.allowedGroup.empty()) {
    if (CRnError err = Wzn::LookupGroup(config.allowedGroup, m_groupId)) {
      closeGivenFd();
      return err.Push(WZN_HERE);
    }
    m_haveGroup = true;
  }
  CRnError err = OpenUnixListener();
  if (err.IsSuccess()) err = OpenTcpListener();
  if (err.IsSuccess() && !m_unixAcceptor && !m_tcpAcceptor) {
    err = FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "no endpoint configured");
  }
  if (err) {
    error_code ec;
    if (m_unixAcceptor) m_unixAcceptor->close(ec);
    if (m_tcpAcceptor) m_tcpAcceptor->close(ec);
    RemoveUnixSocketFile();
    m_stopped = true;
    return err.Push(WZN_HERE);
  }
  m_retryTimer = std::make_unique<asio::steady_timer>(m_io);
  m_refusalTimer = std::make_unique<asio::steady_timer>(m_io);
  ArmRefusalFlush();
  m_work = std::make_unique<asio::executor_work_guard<asio::io_context::executor_type>>(m_io.get_executor());
  if (m_unixAcceptor) AcceptUnix();
  if (m_tcpAcceptor) AcceptTcp();
  try {
    m_thread = std::thread([this] { RunNetworkThread(); });
  } catch (const std::exception& e) {
    m_work.reset();
    CloseEverything();
    RemoveUnixSocketFile();
    m_stopped = true;
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "cannot start the network thread: %s", e.what());
  }
  if (!m_unixPathCreated.empty()) WZLOG(0, "Listening on Unix socket %s", m_unixPathCreated.c_str());
  if (m_tcpAcceptor) {
    WZLOG(0, "Listening on TCP port %u (token required, %s)", m_tcpPort,
          m_tlsContext ? (m_config.tlsRequireClientCert ? "TLS with client certificates" : "TLS")
                       : "clear text on loopback");
  }
  return CRnError();
}

void CWzAsioNetworkServer::Impl::RunNetworkThread() {
  // A handler that throws must not take the server down: log and go on.
  for (;;) {
    try {
      m_io.run();
      return;
    } catch (const std::exception& e) {
      WZLOG(-1, "Network thread: unexpected exception: %s", e.what());
    } catch (...) {
      WZLOG(-1, "Network thread: unexpected exception");
    }
  }
}

void CWzAsioNetworkServer::Impl::Stop() {
  if (!m_started || m_stopped) return;
  m_stopped = true;
  if (m_thread.joinable()) {
    std::promise<void> closed;
    std::future<void> closedFuture = closed.get_future();
    asio::post(m_io, [this, &closed] {
      CloseEverything();
      closed.set_value();
    });
    closedFuture.wait();
    m_work.reset();
    m_io.stop();
    m_thread.join();
  }
  // The network thread is gone: whatever it did not get to is closed here,
  // and senders still waiting are failed.
  CloseEverything();
  RemoveUnixSocketFile();
  FlushRefusals(true);
  WZLOG(1, "Network server stopped");
}

void CWzAsioNetworkServer::Impl::CloseEverything() {
  error_code ec;
  if (m_unixAcceptor) m_unixAcceptor->close(ec);
  if (m_tcpAcceptor) m_tcpAcceptor->close(ec);
  if (m_retryTimer) Wzn::CancelQuietly(*m_retryTimer);
  if (m_refusalTimer) Wzn::CancelQuietly(*m_refusalTimer);
  std::vector<std::shared_ptr<Wzn::CAsioConnection>> all;
  {
    WzMutexLock g(&m_lock);
    for (auto& kv : m_connections) all.push_back(kv.second.connection);
  }
  for (auto& c : all) c->CloseNow(2, "server stopping");
}

// ---------------------------------------------------------------------------
// CWzAsioNetworkServer

CWzAsioNetworkServer::CWzAsioNetworkServer() : m_impl(new Impl(this)) {}

CWzAsioNetworkServer::~CWzAsioNetworkServer() = default;

CRnError CWzAsioNetworkServer::Start(const WznServerConfig& config, IWzNetworkReceiver* receiver) {
  try {
    return m_impl->Start(config, receiver);
  } catch (const std::exception& e) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "cannot start the network server: %s", e.what());
  }
}

void CWzAsioNetworkServer::Stop() { m_impl->Stop(); }

uint16_t CWzAsioNetworkServer::TcpPort() const { return m_impl->TcpPort(); }

std::string CWzAsioNetworkServer::UnixPath() const { return m_impl->UnixPath(); }

size_t CWzAsioNetworkServer::ConnectionCount() const { return m_impl->ConnectionCount(); }

size_t CWzAsioNetworkServer::RequestsInFlight() const { return m_impl->RequestsInFlight(); }

std::vector<std::pair<std::string, uint64_t>> CWzAsioNetworkServer::RefusalCounts() const {
  std::vector<std::pair<std::string, uint64_t>> counts;
  for (size_t k = 0; k < Wzn::kRefusalKinds; ++k)
    counts.emplace_back(Wzn::RefusalKindName(static_cast<Wzn::RefusalKind>(k)), m_impl->RefusalCount(k));
  return counts;
}

CRnError CWzAsioNetworkServer::AcquireSession(WznHandle_t handle, CWzNetwork*& connection) {
  return m_impl->AcquireSession(handle, connection);
}

CRnError CWzAsioNetworkServer::ReleaseSession(WznHandle_t handle) { return m_impl->ReleaseSession(handle); }

void CWzAsioNetworkServer::CleanXmlBuffer(CNMessageBase*& message) {
  if (message == nullptr) return;
  m_impl->ReleaseRequest(message);
  delete message;
  message = nullptr;
}
