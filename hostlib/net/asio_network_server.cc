#include "hostlib/net/asio_network_server.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

// Asio's handler fences make GCC warn in ThreadSanitizer builds; its
// handler hand-over is covered by locks that the sanitizer does see.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include <boost/asio.hpp>
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

#include "hostlib/log/LogWriter.h"
#include "hostlib/msg/CNMessageBase.h"
#include "hostlib/net/accept_policy.h"
#include "hostlib/net/frame.h"
#include "hostlib/net/net_errors.h"
#include "hostlib/svchost/IOnDemandSvcInterface.h"

namespace asio = boost::asio;
using boost::system::error_code;
using Clock = std::chrono::steady_clock;

namespace {

using GenericSocket = asio::generic::stream_protocol::socket;
using Strand = asio::strand<asio::io_context::executor_type>;

constexpr size_t kReadChunk = 16 * 1024;
// How long a connection closed for bad input may take to flush its error
// notice before the socket is closed anyway.
constexpr int kErrorLingerSecs = 5;
constexpr int kDefaultSendTimeoutSecs = 60;
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

void CancelQuietly(asio::steady_timer& timer) {
  try {
    timer.cancel();
  } catch (const std::exception&) {
    // Nothing to cancel then.
  }
}

std::string Describe(const asio::ip::tcp::endpoint& ep) {
  std::string addr = ep.address().to_string();
  if (ep.address().is_v6()) addr = "[" + addr + "]";
  return addr + ":" + std::to_string(ep.port());
}

class Connection;

}  // namespace

class CWzAsioNetworkServer::Impl {
 public:
  explicit Impl(CWzAsioNetworkServer* owner) : m_owner(owner) {}
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  ~Impl();

  CRnError Start(const WznServerConfig& config, IOnDemandSvcInterface* service);
  void Stop();

  CRnError AcquireSession(WznHandle_t handle, CWzNetwork*& connection);
  CRnError ReleaseSession(WznHandle_t handle);
  size_t ConnectionCount() const;
  uint16_t TcpPort() const { return m_tcpPort; }
  std::string UnixPath() const { return m_unixPathCreated; }

  // Used by connections.
  const WznServerConfig& Config() const { return m_config; }
  asio::io_context& Io() { return m_io; }
  bool OnNetworkThread() { return m_io.get_executor().running_in_this_thread(); }
  size_t SessionsHeld(WznHandle_t handle) const;
  void OnClosed(WznHandle_t handle);
  void DeliverXml(WznHandle_t handle, CNMessageBase* message);
  void DeliverXdr(WznHandle_t handle, uint64_t id, const std::string& payload);

 private:
  struct Entry {
    std::shared_ptr<Connection> connection;
    size_t sessions = 0;
    bool open = true;
  };

  CRnError OpenUnixListener();
  CRnError AdoptListenFd(int fd);
  CRnError BindUnixPath(const std::string& path);
  CRnError OpenTcpListener();
  void AcceptUnix();
  void AcceptTcp();
  void RetryAcceptLater(bool unix);
  bool AtConnectionLimit();
  void AddConnection(GenericSocket socket, const std::string& peer, bool needsHello);
  void CloseEverything();
  void RemoveUnixSocketFile();
  void RunNetworkThread();

  CWzAsioNetworkServer* m_owner;
  // The io_context comes before everything that uses it, so that it is
  // destroyed last: handlers it still holds may own connections whose
  // sockets belong to it.
  asio::io_context m_io;
  std::unique_ptr<asio::executor_work_guard<asio::io_context::executor_type>> m_work;
  std::unique_ptr<asio::local::stream_protocol::acceptor> m_unixAcceptor;
  std::unique_ptr<asio::ip::tcp::acceptor> m_tcpAcceptor;
  std::unique_ptr<asio::steady_timer> m_retryTimer;
  std::thread m_thread;

  WznServerConfig m_config;
  IOnDemandSvcInterface* m_service = nullptr;
  bool m_started = false;
  std::atomic<bool> m_stopped{false};
  bool m_tcpNeedsToken = false;
  bool m_haveGroup = false;
  gid_t m_groupId = 0;
  uid_t m_selfUid = 0;
  uint16_t m_tcpPort = 0;
  std::string m_unixPathCreated;
  dev_t m_unixDev = 0;
  ino_t m_unixIno = 0;

  std::atomic<uint64_t> m_nextHandle{1};
  mutable std::mutex m_lock;  // guards m_connections and m_openCount
  std::map<WznHandle_t, Entry> m_connections;
  size_t m_openCount = 0;
};

namespace {

// One accepted connection: reads frames, delivers them, writes replies.
// Socket, timers and decoder are touched on the connection's strand only
// (or, after the network thread has ended, by Stop); the write queue and the
// state are shared with the sending threads under m_lock.
class Connection : public CWzNetwork, public std::enable_shared_from_this<Connection> {
 public:
  Connection(CWzAsioNetworkServer::Impl& server, WznHandle_t handle, GenericSocket socket, std::string peer,
             bool needsHello)
      : m_server(server),
        m_handle(handle),
        m_peer(std::move(peer)),
        m_strand(asio::make_strand(server.Io())),
        m_socket(std::move(socket)),
        m_idleTimer(server.Io()),
        m_lingerTimer(server.Io()),
        m_decoder(server.Config().maxFrameBytes),
        m_needsHello(needsHello) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Begin() {
    asio::post(m_strand, [self = shared_from_this()] {
      self->m_lastActivity = Clock::now();
      self->ArmIdleTimer();
      self->StartRead();
    });
  }

  CRnError SendXMLMessage(CNMessageBase* message, int flags, int timeoutSecs, bool& disconnected) override {
    disconnected = false;
    if (message == nullptr) {
      return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "null message");
    }
    if (!m_good.load()) {
      disconnected = true;
      return NotConnected();
    }
    std::string xml;
    const int status = message->serialize(xml, false);
    if (status != 0) {
      return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrInvalidData, "cannot serialize %s: %s",
                                     message->getTagName(), CNXmlStatusText(status));
    }
    return Enqueue(Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, xml), false, timeoutSecs, disconnected);
  }

  CRnError ReplyDisconnect(int timeoutSecs, bool& disconnected) override {
    return Enqueue(Wzn::EncodeControl(Wzn::ControlType::kDisconnectReply), true, timeoutSecs, disconnected);
  }

  CRnError AbortConnection(const WznStatus_t& status, int timeoutSecs, bool& disconnected) override {
    return Enqueue(Wzn::EncodeAbortReply(status), true, timeoutSecs, disconnected);
  }

  bool IsConnectionGood() override { return m_good.load(); }

  // Closes at once, failing every queued send. Called on the strand, or by
  // Stop after the network thread has ended.
  void CloseNow(int level, const std::string& reason) {
    std::deque<std::shared_ptr<WriteOp>> orphans;
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (m_state == State::kClosed) return;
      m_state = State::kClosed;
      m_good = false;
      orphans.swap(m_queue);
    }
    if (!reason.empty()) {
      WZLOG(level, "Connection %llu (%s) closed: %s", static_cast<unsigned long long>(m_handle), m_peer.c_str(),
            reason.c_str());
    }
    for (auto& op : orphans) op->Finish(NotConnected(), true);
    CancelQuietly(m_idleTimer);
    CancelQuietly(m_lingerTimer);
    error_code ec;
    m_socket.shutdown(asio::socket_base::shutdown_both, ec);
    m_socket.close(ec);
    m_server.OnClosed(m_handle);
  }

  // Asks the strand to close (from any thread).
  void PostClose(int level, std::string reason) {
    asio::post(m_strand, [self = shared_from_this(), level, reason = std::move(reason)] {
      self->CloseNow(level, reason);
    });
  }

 private:
  enum class State { kOpen, kClosing, kClosed };

  // One frame to write, and the sender waiting for it.
  struct WriteOp {
    std::string bytes;
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    bool disconnected = false;
    CRnError result;

    void Finish(CRnError r, bool gone) {
      std::lock_guard<std::mutex> g(lock);
      if (finished) return;
      finished = true;
      disconnected = gone;
      result = std::move(r);
      done.notify_all();
    }
  };

  bool IsClosed() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_state == State::kClosed;
  }

  CRnError NotConnected() const {
    return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrNotConnected, "connection %llu is closed",
                                   static_cast<unsigned long long>(m_handle));
  }

  // Queues a frame behind those already queued and waits until it is
  // written. closeAfter: no frame may follow; the connection closes once it
  // is out (or after timeoutSecs at the latest).
  CRnError Enqueue(std::string bytes, bool closeAfter, int timeoutSecs, bool& disconnected) {
    disconnected = false;
    if (timeoutSecs <= 0) timeoutSecs = kDefaultSendTimeoutSecs;
    auto op = std::make_shared<WriteOp>();
    op->bytes = std::move(bytes);
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (m_state != State::kOpen) {
        disconnected = true;
        return NotConnected();
      }
      m_queue.push_back(op);
      if (closeAfter) {
        m_state = State::kClosing;
        m_good = false;
      }
    }
    asio::post(m_strand, [self = shared_from_this(), closeAfter, timeoutSecs] {
      if (closeAfter && !self->IsClosed()) self->ArmLinger(timeoutSecs);
      self->StartWrite();
    });
    // The network thread writes the frame; it cannot also wait for it.
    if (m_server.OnNetworkThread()) {
      disconnected = closeAfter;
      return CRnError();
    }
    std::unique_lock<std::mutex> g(op->lock);
    if (!op->done.wait_for(g, std::chrono::seconds(timeoutSecs), [&] { return op->finished; })) {
      g.unlock();
      PostClose(-1, "the peer did not take a reply within " + std::to_string(timeoutSecs) + " s");
      disconnected = true;
      return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrTimeout, "send on connection %llu timed out after %d s",
                                     static_cast<unsigned long long>(m_handle), timeoutSecs);
    }
    disconnected = op->disconnected || closeAfter;
    return op->result;
  }

  void StartWrite() {
    std::shared_ptr<WriteOp> op;
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (m_writing || m_queue.empty() || m_state == State::kClosed) return;
      op = m_queue.front();
      m_writing = true;
    }
    asio::async_write(m_socket, asio::buffer(op->bytes),
                      asio::bind_executor(m_strand, [self = shared_from_this(), op](const error_code& ec, size_t) {
                        self->OnWritten(op, ec);
                      }));
  }

  void OnWritten(const std::shared_ptr<WriteOp>& op, const error_code& ec) {
    bool closeNow = false;
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (m_state == State::kClosed) return;  // CloseNow already failed the op
      m_writing = false;
      if (!ec) {
        m_queue.pop_front();
        closeNow = m_queue.empty() && m_state == State::kClosing;
      }
    }
    if (ec) {
      CloseNow(1, "write failed: " + ec.message());
      return;
    }
    m_lastActivity = Clock::now();
    op->Finish(CRnError(), false);
    if (closeNow) {
      CloseNow(2, "");
    } else {
      StartWrite();
    }
  }

  // Closes with one log line after telling the peer why; reading stops at
  // once, replies already queued still go out first.
  void CloseWithNotice(int level, const std::string& reason) {
    auto op = std::make_shared<WriteOp>();
    op->bytes = Wzn::EncodeErrorNotice(reason);
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (m_state != State::kOpen) return;
      m_queue.push_back(op);
      m_state = State::kClosing;
      m_good = false;
    }
    WZLOG(level, "Connection %llu (%s) closed: %s", static_cast<unsigned long long>(m_handle), m_peer.c_str(),
          reason.c_str());
    ArmLinger(kErrorLingerSecs);
    StartWrite();
  }

  void ArmLinger(int seconds) {
    m_lingerTimer.expires_after(std::chrono::seconds(seconds));
    m_lingerTimer.async_wait(asio::bind_executor(m_strand, [self = shared_from_this()](const error_code& ec) {
      if (!ec) self->CloseNow(1, "the peer did not take the last frame in time");
    }));
  }

  // The idle check wakes once per period and measures from the last
  // traffic, so that traffic never has to cancel the timer.
  void ArmIdleTimer() {
    const int secs = m_server.Config().idleTimeoutSecs;
    if (secs <= 0) return;
    m_idleTimer.expires_at(m_lastActivity + std::chrono::seconds(secs));
    m_idleTimer.async_wait(asio::bind_executor(m_strand, [self = shared_from_this()](const error_code& ec) {
      if (!ec) self->OnIdleCheck();
    }));
  }

  void OnIdleCheck() {
    bool writing = false;
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (m_state == State::kClosed) return;
      writing = m_writing;
    }
    const int secs = m_server.Config().idleTimeoutSecs;
    const Clock::time_point now = Clock::now();
    if (now - m_lastActivity < std::chrono::seconds(secs)) {
      ArmIdleTimer();
      return;
    }
    if (writing) {
      CloseNow(0, "the peer took no data for " + std::to_string(secs) + " s");
      return;
    }
    // A worker still holds the connection: a request is in work, not idle.
    if (m_server.SessionsHeld(m_handle) > 0) {
      m_lastActivity = now;
      ArmIdleTimer();
      return;
    }
    CloseNow(0, "idle for " + std::to_string(secs) + " s");
  }

  void StartRead() {
    m_socket.async_read_some(asio::buffer(m_readBuffer),
                             asio::bind_executor(m_strand, [self = shared_from_this()](const error_code& ec, size_t n) {
                               self->OnRead(ec, n);
                             }));
  }

  void OnRead(const error_code& ec, size_t length) {
    if (!m_good.load()) return;
    if (ec) {
      if (ec == asio::error::operation_aborted) return;
      const bool byPeer = ec == asio::error::eof || ec == asio::error::connection_reset;
      const bool midFrame = m_decoder.InFrame();
      if (byPeer && !midFrame) {
        CloseNow(2, "closed by the peer");
      } else {
        CloseNow(-1, midFrame ? "the peer closed in the middle of a frame" : "read failed: " + ec.message());
      }
      return;
    }
    m_lastActivity = Clock::now();
    size_t offset = 0;
    while (offset < length) {
      size_t used = 0;
      if (CRnError err = m_decoder.Feed(m_readBuffer.data() + offset, length - offset, used)) {
        CloseWithNotice(-1, "bad frame: " + err.AsString());
        return;
      }
      offset += used;
      if (m_decoder.HasFrame()) {
        Wzn::Frame frame = m_decoder.TakeFrame();
        HandleFrame(frame);
        if (!m_good.load()) return;
      }
    }
    StartRead();
  }

  void HandleFrame(Wzn::Frame& frame) {
    const bool first = m_firstFrame;
    m_firstFrame = false;
    if (m_needsHello) {
      Wzn::ControlMessage hello;
      if (frame.kind != Wzn::FrameKind::kControl || Wzn::ParseControl(frame.payload, hello).IsError() ||
          hello.type != Wzn::ControlType::kHello) {
        CloseWithNotice(-1, "authentication failed: the first frame must be a hello with the token");
        return;
      }
      if (!Wzn::TokensEqual(m_server.Config().token, hello.text)) {
        CloseWithNotice(-1, "authentication failed: wrong token");
        return;
      }
      m_needsHello = false;
      return;
    }
    switch (frame.kind) {
      case Wzn::FrameKind::kXml:
        HandleXml(frame.payload);
        break;
      case Wzn::FrameKind::kXdr:
        m_server.DeliverXdr(m_handle, frame.xdrId, frame.payload);
        break;
      case Wzn::FrameKind::kControl:
        HandleControl(frame.payload, first);
        break;
    }
  }

  void HandleXml(const std::string& payload) {
    int status = 0;
    std::unique_ptr<CNMessageBase> message = CNMessageBase::ParseXml(payload.data(), payload.size(), &status);
    if (!message) {
      CloseWithNotice(-1, std::string("unparsable XML message: ") + CNXmlStatusText(status));
      return;
    }
    m_server.DeliverXml(m_handle, message.release());
  }

  void HandleControl(const std::string& payload, bool first) {
    Wzn::ControlMessage control;
    if (CRnError err = Wzn::ParseControl(payload, control)) {
      CloseWithNotice(-1, "bad control frame: " + err.AsString());
      return;
    }
    switch (control.type) {
      case Wzn::ControlType::kHello:
        if (!first) CloseWithNotice(-1, "a hello after the first frame");
        return;
      case Wzn::ControlType::kDisconnect:
        DeliverNotice(CNControlNotice::kDisconnectNumber);
        return;
      case Wzn::ControlType::kAbort:
        DeliverNotice(CNControlNotice::kAbortNumber);
        return;
      default:
        CloseWithNotice(-1, std::string("unexpected control frame from a client: ") +
                                Wzn::ControlTypeName(control.type));
        return;
    }
  }

  void DeliverNotice(int number) {
    // The message library registers the notice classes, so they carry
    // their tag ids.
    std::unique_ptr<CNMessageBase> message(new CNMessageBase(CNControlNotice::kGroup, number));
    m_server.DeliverXml(m_handle, message.release());
  }

  CWzAsioNetworkServer::Impl& m_server;
  const WznHandle_t m_handle;
  const std::string m_peer;
  Strand m_strand;
  GenericSocket m_socket;
  asio::steady_timer m_idleTimer;
  asio::steady_timer m_lingerTimer;
  Wzn::CFrameDecoder m_decoder;
  std::array<uint8_t, kReadChunk> m_readBuffer;
  Clock::time_point m_lastActivity;
  bool m_needsHello;
  bool m_firstFrame = true;

  std::atomic<bool> m_good{true};  // m_state == kOpen, readable without the lock
  std::mutex m_lock;               // guards m_state, m_queue, m_writing
  State m_state = State::kOpen;
  std::deque<std::shared_ptr<WriteOp>> m_queue;
  bool m_writing = false;
};

}  // namespace

// ---------------------------------------------------------------------------
// Impl

CWzAsioNetworkServer::Impl::~Impl() { Stop(); }

CRnError CWzAsioNetworkServer::Impl::Start(const WznServerConfig& config, IOnDemandSvcInterface* service) {
  if (m_started) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "the network server was started before");
  }
  m_started = true;
  m_config = config;
  m_service = service;
  m_selfUid = geteuid();
  auto closeGivenFd = [&] {
    if (config.listenFd >= 0) ::close(config.listenFd);
  };
  if (service == nullptr) {
    closeGivenFd();
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_BAD_ARGUMENTS, "no service to deliver messages to");
  }
  if (config.maxFrameBytes == 0 || config.maxConnections == 0 || config.idleTimeoutSecs < 0) {
    closeGivenFd();
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER,
                                   "frame limit and connection limit must be positive, the idle time-out not negative");
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
    WZLOG(0, "Listening on TCP port %u%s", m_tcpPort, m_tcpNeedsToken ? " (token required)" : "");
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
  WZLOG(1, "Network server stopped");
}

void CWzAsioNetworkServer::Impl::CloseEverything() {
  error_code ec;
  if (m_unixAcceptor) m_unixAcceptor->close(ec);
  if (m_tcpAcceptor) m_tcpAcceptor->close(ec);
  if (m_retryTimer) CancelQuietly(*m_retryTimer);
  std::vector<std::shared_ptr<Connection>> all;
  {
    std::lock_guard<std::mutex> g(m_lock);
    for (auto& kv : m_connections) all.push_back(kv.second.connection);
  }
  for (auto& c : all) c->CloseNow(2, "server stopping");
}

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
    if (CRnError err = Wzn::SystemdListenFd(getenv("LISTEN_PID"), getenv("LISTEN_FDS"), getpid(), fd)) {
      return err.Push(WZN_HERE, "no socket from systemd");
    }
    // Children must not take the socket as theirs.
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_FDNAMES");
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
      return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_ALREADY_EXISTS, "another server is listening on %s",
                                     path.c_str());
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
    return FXErrorUtil::ErrorErrNo(WZN_HERE, ec.value(), "cannot listen on %s: %s", path.c_str(),
                                   ec.message().c_str());
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
  asio::ip::address address = host == "localhost" ? asio::ip::address(asio::ip::address_v4::loopback())
                                                  : asio::ip::make_address(host, ec);
  if (ec) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "bad TCP address \"%s\"", host.c_str());
  }
  m_tcpNeedsToken = !address.is_loopback() || m_config.requireToken || !m_config.token.empty();
  if (m_tcpNeedsToken && m_config.token.empty()) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER,
                                   "a TCP listener on %s needs a token, and none is configured",
                                   m_config.tcpEndpoint.c_str());
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

bool CWzAsioNetworkServer::Impl::AtConnectionLimit() {
  std::lock_guard<std::mutex> g(m_lock);
  return m_openCount >= m_config.maxConnections;
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
      WZLOG(-1, "Refused a Unix-socket connection: %s", err.AsString().c_str());
      socket.close(ignored);
    } else {
      const std::string who = "uid " + std::to_string(peer.uid) + " pid " + std::to_string(peer.pid);
      if (!Wzn::PeerAllowed(peer, m_selfUid, m_haveGroup, m_groupId)) {
        WZLOG(-1, "Refused a connection from %s: not permitted", who.c_str());
        SendRefusal(socket, "not permitted");
      } else if (AtConnectionLimit()) {
        WZLOG(-1, "Refused a connection from %s: %zu connections open", who.c_str(), m_config.maxConnections);
        SendRefusal(socket, "too many connections");
      } else {
        AddConnection(GenericSocket(std::move(socket)), who, false);
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
    if (AtConnectionLimit()) {
      WZLOG(-1, "Refused a connection from %s: %zu connections open", who.c_str(), m_config.maxConnections);
      SendRefusal(socket, "too many connections");
    } else {
      socket.set_option(asio::ip::tcp::no_delay(true), ignored);
      AddConnection(GenericSocket(std::move(socket)), who, m_tcpNeedsToken);
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

void CWzAsioNetworkServer::Impl::AddConnection(GenericSocket socket, const std::string& peer, bool needsHello) {
  const WznHandle_t handle = m_nextHandle.fetch_add(1);
  auto connection = std::make_shared<Connection>(*this, handle, std::move(socket), peer, needsHello);
  {
    std::lock_guard<std::mutex> g(m_lock);
    Entry& e = m_connections[handle];
    e.connection = connection;
    ++m_openCount;
  }
  WZLOG(2, "Connection %llu accepted from %s", static_cast<unsigned long long>(handle), peer.c_str());
  connection->Begin();
}

void CWzAsioNetworkServer::Impl::OnClosed(WznHandle_t handle) {
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_connections.find(handle);
  if (it == m_connections.end() || !it->second.open) return;
  it->second.open = false;
  --m_openCount;
  if (it->second.sessions == 0) m_connections.erase(it);
}

size_t CWzAsioNetworkServer::Impl::SessionsHeld(WznHandle_t handle) const {
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_connections.find(handle);
  return it == m_connections.end() ? 0 : it->second.sessions;
}

size_t CWzAsioNetworkServer::Impl::ConnectionCount() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_openCount;
}

CRnError CWzAsioNetworkServer::Impl::AcquireSession(WznHandle_t handle, CWzNetwork*& connection) {
  connection = nullptr;
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_connections.find(handle);
  if (it == m_connections.end()) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrNotFound, "no connection with handle %llu",
                                   static_cast<unsigned long long>(handle));
  }
  if (!it->second.connection->IsConnectionGood()) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrNotConnected, "connection %llu is closed",
                                   static_cast<unsigned long long>(handle));
  }
  ++it->second.sessions;
  connection = it->second.connection.get();
  return CRnError();
}

CRnError CWzAsioNetworkServer::Impl::ReleaseSession(WznHandle_t handle) {
  std::shared_ptr<Connection> last;  // destroyed outside the lock
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_connections.find(handle);
  if (it == m_connections.end() || it->second.sessions == 0) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrNotFound, "no session acquired on handle %llu",
                                   static_cast<unsigned long long>(handle));
  }
  if (--it->second.sessions == 0 && !it->second.open) {
    last = std::move(it->second.connection);
    m_connections.erase(it);
  }
  return CRnError();
}

void CWzAsioNetworkServer::Impl::DeliverXml(WznHandle_t handle, CNMessageBase* message) {
  if (WzLogEnabled(2)) {
    WZLOG(2, "Connection %llu: received %s", static_cast<unsigned long long>(handle), message->getTagName());
  }
  try {
    CRnError err = m_service->IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_RECEIVED, m_owner, handle, message);
    if (err) {
      WZLOG(1, "Connection %llu: the service did not take a message: %s", static_cast<unsigned long long>(handle),
            err.AsString().c_str());
    }
  } catch (const std::exception& e) {
    WZLOG(-1, "Connection %llu: the XML callback threw: %s", static_cast<unsigned long long>(handle), e.what());
  } catch (...) {
    WZLOG(-1, "Connection %llu: the XML callback threw", static_cast<unsigned long long>(handle));
  }
}

void CWzAsioNetworkServer::Impl::DeliverXdr(WznHandle_t handle, uint64_t id, const std::string& payload) {
  wzsDatabuf_v2 buffer;
  buffer.data = reinterpret_cast<const uint8_t*>(payload.data());
  buffer.length = payload.size();
  try {
    CRnError err = m_service->IncomingMsgXDRCallback(CWzNetworkServer::WZN_CB_RECEIVED, m_owner, handle,
                                                     static_cast<unsigned long>(id), &buffer);
    if (err) {
      WZLOG(1, "Connection %llu: the service did not take XDR message 0x%llx: %s",
            static_cast<unsigned long long>(handle), static_cast<unsigned long long>(id), err.AsString().c_str());
    }
  } catch (const std::exception& e) {
    WZLOG(-1, "Connection %llu: the XDR callback threw: %s", static_cast<unsigned long long>(handle), e.what());
  } catch (...) {
    WZLOG(-1, "Connection %llu: the XDR callback threw", static_cast<unsigned long long>(handle));
  }
}

// ---------------------------------------------------------------------------
// CWzAsioNetworkServer

CWzAsioNetworkServer::CWzAsioNetworkServer() : m_impl(new Impl(this)) {}

CWzAsioNetworkServer::~CWzAsioNetworkServer() = default;

CRnError CWzAsioNetworkServer::Start(const WznServerConfig& config, IOnDemandSvcInterface* service) {
  try {
    return m_impl->Start(config, service);
  } catch (const std::exception& e) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "cannot start the network server: %s",
                                   e.what());
  }
}

void CWzAsioNetworkServer::Stop() { m_impl->Stop(); }

uint16_t CWzAsioNetworkServer::TcpPort() const { return m_impl->TcpPort(); }

std::string CWzAsioNetworkServer::UnixPath() const { return m_impl->UnixPath(); }

size_t CWzAsioNetworkServer::ConnectionCount() const { return m_impl->ConnectionCount(); }

CRnError CWzAsioNetworkServer::AcquireSession(WznHandle_t handle, CWzNetwork*& connection) {
  return m_impl->AcquireSession(handle, connection);
}

CRnError CWzAsioNetworkServer::ReleaseSession(WznHandle_t handle) { return m_impl->ReleaseSession(handle); }

void CWzAsioNetworkServer::CleanXmlBuffer(CNMessageBase*& message) {
  delete message;
  message = nullptr;
}
