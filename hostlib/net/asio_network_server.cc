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
#include <cstdlib>
#include <cstring>
#include <deque>
#include <exception>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
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
#include "hostlib/net/refusal_log.h"
#include "hostlib/svchost/IOnDemandSvcInterface.h"
#include "hostlib/util/wz_environment.h"

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
// Sources whose refusals are counted apart; beyond them they are counted
// together.
constexpr size_t kMaxRefusalSources = 256;

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
  // Gives back the place of a delivered request (CleanXmlBuffer).
  void ReleaseRequest(const CNMessageBase* message);
  size_t ConnectionCount() const;
  size_t RequestsInFlight() const;
  uint16_t TcpPort() const { return m_tcpPort; }
  std::string UnixPath() const { return m_unixPathCreated; }

  // Used by connections.
  const WznServerConfig& Config() const { return m_config; }
  asio::io_context& Io() { return m_io; }
  size_t SessionsHeld(WznHandle_t handle) const;
  void OnClosed(WznHandle_t handle);
  void OnAuthenticated(WznHandle_t handle);
  // Takes a place for a request of `bytes` among the server's requests in
  // work. A connection with nothing in work always gets one; one with work
  // waits in line while the server is full (false), and is resumed when it
  // is its turn.
  bool AdmitRequest(WznHandle_t handle, size_t bytes, bool nothingInWork);
  // Gives back a place taken by AdmitRequest without delivering.
  void CancelRequest(size_t bytes);
  // Hands a message to the service; its place is held until CleanXmlBuffer.
  void DeliverXml(WznHandle_t handle, CNMessageBase* message, size_t bytes);
  void DeliverXdr(WznHandle_t handle, uint64_t id, const std::string& payload);
  // Logs a refused peer within the rate limit of its source.
  void LogRefusal(const std::string& source, const std::string& reason);

 private:
  struct Entry {
    std::shared_ptr<Connection> connection;
    size_t sessions = 0;
    bool open = true;
    bool tcp = false;
    bool awaitingHello = false;
    bool waiting = false;  // in m_waiters
  };
  // A delivered request not yet freed.
  struct InWork {
    WznHandle_t handle;
    size_t bytes;
  };

  CRnError OpenUnixListener();
  CRnError AdoptListenFd(int fd);
  CRnError BindUnixPath(const std::string& path);
  CRnError OpenTcpListener();
  void AcceptUnix();
  void AcceptTcp();
  void RetryAcceptLater(bool unix);
  // Why a new connection is refused ("" when it is not).
  std::string RefusalOfNew(bool tcp, bool needsHello);
  void AddConnection(GenericSocket socket, const std::string& peer, const std::string& source, bool tcp,
                     bool needsHello);
  // The connection first in line for room, when there is room.
  std::shared_ptr<Connection> NextWaiterLocked();
  void ArmRefusalFlush();
  void FlushRefusals(bool atEnd);
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
  std::unique_ptr<asio::steady_timer> m_refusalTimer;
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
  mutable std::mutex m_lock;  // guards everything below
  std::map<WznHandle_t, Entry> m_connections;
  size_t m_unixCount = 0;
  size_t m_tcpCount = 0;
  size_t m_unauthenticatedCount = 0;
  std::unordered_map<const CNMessageBase*, InWork> m_inWork;
  size_t m_requestsInWork = 0;
  size_t m_bytesInWork = 0;
  std::deque<WznHandle_t> m_waiters;  // connections with work that wait for room, in order

  std::mutex m_refusalLock;  // guards m_refusals
  std::unique_ptr<Wzn::CRefusalLog> m_refusals;
};

namespace {

// One accepted connection: reads frames, delivers them, writes replies.
// Socket, timers, decoder and the read state are touched on the connection's
// strand only (or, after the network thread has ended, by Stop); the write
// queue, the count of requests in work and the state are shared with the
// sending threads under m_lock.
class Connection : public CWzNetwork, public std::enable_shared_from_this<Connection> {
 public:
  Connection(CWzAsioNetworkServer::Impl& server, WznHandle_t handle, GenericSocket socket, std::string peer,
             std::string source, bool needsHello)
      : m_server(server),
        m_handle(handle),
        m_peer(std::move(peer)),
        m_source(std::move(source)),
        m_strand(asio::make_strand(server.Io())),
        m_socket(std::move(socket)),
        m_idleTimer(server.Io()),
        m_lingerTimer(server.Io()),
        m_writeTimer(server.Io()),
        m_helloTimer(server.Io()),
        m_decoder(needsHello ? kHelloFrameBytes : server.Config().maxFrameBytes),
        m_needsHello(needsHello) {}
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  void Begin() {
    asio::post(m_strand, [self = shared_from_this()] {
      self->m_lastActivity = Clock::now();
      self->ArmIdleTimer();
      if (self->m_needsHello) self->ArmHelloTimer();
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
      return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrInvalidData, "cannot serialize %s: %s", message->getTagName(),
                                     CNXmlStatusText(status));
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
  std::string PeerName() const override { return m_peer; }

  // Closes at once, dropping every queued frame. Called on the strand, or by
  // Stop after the network thread has ended.
  void CloseNow(int level, const std::string& reason) {
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (m_state == State::kClosed) return;
      m_state = State::kClosed;
      m_good = false;
      m_queue.clear();
      m_unsentBytes = 0;
    }
    if (!reason.empty()) LogClose(level, reason);
    CancelQuietly(m_idleTimer);
    CancelQuietly(m_lingerTimer);
    CancelQuietly(m_writeTimer);
    CancelQuietly(m_helloTimer);
    error_code ec;
    m_socket.shutdown(asio::socket_base::shutdown_both, ec);
    m_socket.close(ec);
    m_server.OnClosed(m_handle);
  }

  // Asks the strand to close (from any thread).
  void PostClose(int level, std::string reason) {
    asio::post(m_strand,
               [self = shared_from_this(), level, reason = std::move(reason)] { self->CloseNow(level, reason); });
  }

  // The service freed one of this connection's requests.
  void RequestDone() {
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (m_inWork > 0) --m_inWork;
    }
    Resume();
  }

  // Reading was held back for lack of room, and there may be room now.
  void Resume() {
    if (m_paused.exchange(false)) asio::post(m_strand, [self = shared_from_this()] { self->Pump(); });
  }

 private:
  enum class State { kOpen, kClosing, kClosed };

  // A peer that still owes its hello may send nothing larger than a hello.
  static constexpr size_t kHelloFrameBytes = 4 + Wzn::kMaxTokenBytes;

  // One frame to write; the peer must take it by the deadline.
  struct WriteOp {
    std::string bytes;
    Clock::time_point deadline;
    int timeoutSecs = 0;
  };

  CRnError NotConnected() const {
    return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrNotConnected, "connection %llu is closed",
                                   static_cast<unsigned long long>(m_handle));
  }

  bool IsClosed() {
    std::lock_guard<std::mutex> g(m_lock);
    return m_state == State::kClosed;
  }

  // A peer that has not authenticated is refused, not closed: its lines go
  // through the server's rate limit.
  void LogClose(int level, const std::string& reason) {
    if (m_needsHello && level <= 0) {
      m_server.LogRefusal(m_source, reason);
      return;
    }
    WZLOG(level, "Connection %llu (%s) closed: %s", static_cast<unsigned long long>(m_handle), m_peer.c_str(),
          reason.c_str());
  }

  // Queues a frame behind those already queued and returns at once.
  // closeAfter: no frame may follow; the connection closes once it is out
  // (or after timeoutSecs at the latest).
  CRnError Enqueue(std::string bytes, bool closeAfter, int timeoutSecs, bool& disconnected) {
    disconnected = false;
    if (timeoutSecs <= 0) timeoutSecs = kDefaultSendTimeoutSecs;
    auto op = std::make_shared<WriteOp>();
    op->bytes = std::move(bytes);
    op->timeoutSecs = timeoutSecs;
    op->deadline = Clock::now() + std::chrono::seconds(timeoutSecs);
    const size_t limit = m_server.Config().maxUnsentBytes;
    size_t unsent = 0;
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (m_state != State::kOpen) {
        disconnected = true;
        return NotConnected();
      }
      // One reply always goes, however large: the limit is on what piles up
      // behind it.
      if (!closeAfter && m_unsentBytes > 0 && m_unsentBytes + op->bytes.size() > limit) {
        unsent = m_unsentBytes;
        m_state = State::kClosing;
        m_good = false;
      } else {
        m_unsentBytes += op->bytes.size();
        m_queue.push_back(op);
        if (closeAfter) {
          m_state = State::kClosing;
          m_good = false;
        }
      }
    }
    if (unsent > 0) {
      PostClose(-1, "the peer does not read its replies: " + std::to_string(unsent) + " bytes unsent, " +
                        std::to_string(op->bytes.size()) + " more would pass the limit of " + std::to_string(limit));
      disconnected = true;
      return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrQuota,
                                     "connection %llu closed: its unsent replies would pass %zu bytes",
                                     static_cast<unsigned long long>(m_handle), limit);
    }
    asio::post(m_strand, [self = shared_from_this(), closeAfter, timeoutSecs] {
      if (closeAfter && !self->IsClosed()) self->ArmLinger(timeoutSecs);
      self->StartWrite();
    });
    disconnected = closeAfter;
    return CRnError();
  }

  void StartWrite() {
    std::shared_ptr<WriteOp> op;
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (m_writing || m_queue.empty() || m_state == State::kClosed) return;
      op = m_queue.front();
      m_writing = true;
    }
    ArmWriteDeadline(op);
    asio::async_write(m_socket, asio::buffer(op->bytes),
                      asio::bind_executor(m_strand, [self = shared_from_this(), op](const error_code& ec, size_t) {
                        self->OnWritten(op, ec);
                      }));
  }

  // The frame being written must be out by its deadline.
  void ArmWriteDeadline(const std::shared_ptr<WriteOp>& op) {
    m_writeTimer.expires_at(op->deadline);
    std::weak_ptr<WriteOp> weak = op;
    m_writeTimer.async_wait(asio::bind_executor(m_strand, [self = shared_from_this(), weak](const error_code& ec) {
      std::shared_ptr<WriteOp> due = weak.lock();
      if (ec || due == nullptr) return;
      bool stillWriting = false;
      {
        std::lock_guard<std::mutex> g(self->m_lock);
        stillWriting = self->m_writing && !self->m_queue.empty() && self->m_queue.front() == due;
      }
      if (stillWriting) {
        self->CloseNow(-1, "the peer did not take a reply within " + std::to_string(due->timeoutSecs) + " s");
      }
    }));
  }

  void OnWritten(const std::shared_ptr<WriteOp>& op, const error_code& ec) {
    bool closeNow = false;
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (m_state == State::kClosed) return;  // CloseNow already dropped the queue
      m_writing = false;
      if (!ec) {
        m_queue.pop_front();
        m_unsentBytes -= op->bytes.size();
        closeNow = m_queue.empty() && m_state == State::kClosing;
      }
    }
    if (ec) {
      CloseNow(1, "write failed: " + ec.message());
      return;
    }
    m_lastActivity = Clock::now();
    if (closeNow) {
      CloseNow(2, "");
      return;
    }
    StartWrite();
    Resume();
  }

  // Closes with one log line after telling the peer why; reading stops at
  // once, replies already queued still go out first.
  void CloseWithNotice(int level, const std::string& reason) {
    auto op = std::make_shared<WriteOp>();
    op->bytes = Wzn::EncodeErrorNotice(reason);
    op->timeoutSecs = kErrorLingerSecs;
    op->deadline = Clock::now() + std::chrono::seconds(kErrorLingerSecs);
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (m_state != State::kOpen) return;
      m_queue.push_back(op);
      m_unsentBytes += op->bytes.size();
      m_state = State::kClosing;
      m_good = false;
    }
    LogClose(level, reason);
    ArmLinger(kErrorLingerSecs);
    StartWrite();
  }

  void ArmLinger(int seconds) {
    m_lingerTimer.expires_after(std::chrono::seconds(seconds));
    m_lingerTimer.async_wait(asio::bind_executor(m_strand, [self = shared_from_this()](const error_code& ec) {
      if (!ec) self->CloseNow(1, "the peer did not take the last frame in time");
    }));
  }

  void ArmHelloTimer() {
    const int secs = m_server.Config().helloTimeoutSecs;
    m_helloTimer.expires_after(std::chrono::seconds(secs));
    m_helloTimer.async_wait(asio::bind_executor(m_strand, [self = shared_from_this(), secs](const error_code& ec) {
      if (!ec && self->m_needsHello) {
        self->CloseWithNotice(-1, "authentication failed: no hello within " + std::to_string(secs) + " s");
      }
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
    m_reading = true;
    m_socket.async_read_some(asio::buffer(m_readBuffer),
                             asio::bind_executor(m_strand, [self = shared_from_this()](const error_code& ec, size_t n) {
                               self->OnRead(ec, n);
                             }));
  }

  void OnRead(const error_code& ec, size_t length) {
    m_reading = false;
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
    m_readPos = 0;
    m_readLength = length;
    Pump();
  }

  // Hands over the frames in what was read, one at a time, and reads on
  // once everything is handed over; stops where a request has to wait for
  // room (Resume calls it again).
  void Pump() {
    while (!m_reading && m_good.load()) {
      if (m_held) {
        if (!Dispatch(*m_held)) return;
        m_held.reset();
        continue;
      }
      if (m_readPos >= m_readLength) {
        StartRead();
        return;
      }
      size_t used = 0;
      if (CRnError err = m_decoder.Feed(m_readBuffer.data() + m_readPos, m_readLength - m_readPos, used)) {
        CloseWithNotice(-1, "bad frame: " + err.AsString());
        return;
      }
      m_readPos += used;
      if (m_decoder.HasFrame()) m_held = std::make_unique<Wzn::Frame>(m_decoder.TakeFrame());
    }
  }

  // Takes a place for one request: false when this connection or the
  // server is full (the connection then waits for Resume).
  bool Admit(size_t bytes) {
    // Set before looking, so that room made while we look is not missed.
    m_paused = true;
    bool nothingInWork = false;
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (m_inWork + m_queue.size() >= m_server.Config().maxRequestsPerConnection) return false;
      nothingInWork = m_inWork == 0;
    }
    if (!m_server.AdmitRequest(m_handle, bytes, nothingInWork)) return false;
    {
      std::lock_guard<std::mutex> g(m_lock);
      ++m_inWork;
    }
    m_paused = false;
    return true;
  }

  // Gives back a place taken by Admit for a request that was not delivered.
  void Unadmit(size_t bytes) {
    {
      std::lock_guard<std::mutex> g(m_lock);
      if (m_inWork > 0) --m_inWork;
    }
    m_server.CancelRequest(bytes);
  }

  // Acts on one frame; false when it has to wait for room.
  bool Dispatch(Wzn::Frame& frame) {
    if (m_needsHello) {
      CheckHello(frame);
      return true;
    }
    const bool first = m_firstFrame;
    switch (frame.kind) {
      case Wzn::FrameKind::kXml:
        if (!Admit(frame.payload.size())) return false;
        HandleXml(frame.payload);
        break;
      case Wzn::FrameKind::kXdr:
        m_server.DeliverXdr(m_handle, frame.xdrId, frame.payload);
        break;
      case Wzn::FrameKind::kControl:
        if (!HandleControl(frame.payload, first)) return false;
        break;
    }
    m_firstFrame = false;
    return true;
  }

  void CheckHello(const Wzn::Frame& frame) {
    m_firstFrame = false;
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
    CancelQuietly(m_helloTimer);
    m_decoder.SetMaxPayload(m_server.Config().maxFrameBytes);
    m_server.OnAuthenticated(m_handle);
  }

  void HandleXml(const std::string& payload) {
    int status = 0;
    std::unique_ptr<CNMessageBase> message = CNMessageBase::ParseXml(payload.data(), payload.size(), &status);
    if (!message) {
      Unadmit(payload.size());
      CloseWithNotice(-1, std::string("unparsable XML message: ") + CNXmlStatusText(status));
      return;
    }
    m_server.DeliverXml(m_handle, message.release(), payload.size());
  }

  // False when a notice has to wait for room.
  bool HandleControl(const std::string& payload, bool first) {
    Wzn::ControlMessage control;
    if (CRnError err = Wzn::ParseControl(payload, control)) {
      CloseWithNotice(-1, "bad control frame: " + err.AsString());
      return true;
    }
    switch (control.type) {
      case Wzn::ControlType::kHello:
        if (!first) CloseWithNotice(-1, "a hello after the first frame");
        return true;
      case Wzn::ControlType::kDisconnect:
      case Wzn::ControlType::kAbort:
        // Answered after the replies before it: it takes its place like a
        // request.
        if (!Admit(0)) return false;
        DeliverNotice(control.type == Wzn::ControlType::kDisconnect ? CNControlNotice::kDisconnectNumber
                                                                    : CNControlNotice::kAbortNumber);
        return true;
      default:
        CloseWithNotice(-1,
                        std::string("unexpected control frame from a client: ") + Wzn::ControlTypeName(control.type));
        return true;
    }
  }

  void DeliverNotice(int number) {
    // The message library registers the notice classes, so they carry
    // their tag ids.
    std::unique_ptr<CNMessageBase> message(new CNMessageBase(CNControlNotice::kGroup, number));
    m_server.DeliverXml(m_handle, message.release(), 0);
  }

  CWzAsioNetworkServer::Impl& m_server;
  const WznHandle_t m_handle;
  const std::string m_peer;
  const std::string m_source;  // the peer without its port: the key of rate-limited refusals
  Strand m_strand;
  GenericSocket m_socket;
  asio::steady_timer m_idleTimer;
  asio::steady_timer m_lingerTimer;
  asio::steady_timer m_writeTimer;
  asio::steady_timer m_helloTimer;
  Wzn::CFrameDecoder m_decoder;
  std::array<uint8_t, kReadChunk> m_readBuffer;
  size_t m_readPos = 0;                // what Pump has fed to the decoder of m_readBuffer
  size_t m_readLength = 0;             // what the last read put there
  bool m_reading = false;              // a read is outstanding
  std::unique_ptr<Wzn::Frame> m_held;  // a frame waiting for room
  Clock::time_point m_lastActivity;
  bool m_needsHello;
  bool m_firstFrame = true;

  std::atomic<bool> m_good{true};     // m_state == kOpen, readable without the lock
  std::atomic<bool> m_paused{false};  // waiting for room; whoever clears it calls Pump
  std::mutex m_lock;                  // guards m_state, m_queue, m_unsentBytes, m_writing, m_inWork
  State m_state = State::kOpen;
  std::deque<std::shared_ptr<WriteOp>> m_queue;
  size_t m_unsentBytes = 0;
  bool m_writing = false;
  size_t m_inWork = 0;  // delivered requests the service has not freed
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
  if (config.maxFrameBytes == 0 || config.maxConnections == 0 || config.maxTcpConnections == 0 ||
      config.maxUnauthenticated == 0 || config.maxRequestsPerConnection == 0 || config.maxRequestsInFlight == 0 ||
      config.maxRequestBytesInFlight == 0 || config.maxUnsentBytes == 0 || config.helloTimeoutSecs <= 0 ||
      config.refusalLogSecs <= 0 || config.idleTimeoutSecs < 0) {
    closeGivenFd();
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER,
                                   "every limit and time-out must be positive (the idle time-out may be 0)");
  }
  m_refusals = std::make_unique<Wzn::CRefusalLog>(std::chrono::seconds(config.refusalLogSecs), kMaxRefusalSources);
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
  FlushRefusals(true);
  WZLOG(1, "Network server stopped");
}

void CWzAsioNetworkServer::Impl::CloseEverything() {
  error_code ec;
  if (m_unixAcceptor) m_unixAcceptor->close(ec);
  if (m_tcpAcceptor) m_tcpAcceptor->close(ec);
  if (m_retryTimer) CancelQuietly(*m_retryTimer);
  if (m_refusalTimer) CancelQuietly(*m_refusalTimer);
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

std::string CWzAsioNetworkServer::Impl::RefusalOfNew(bool tcp, bool needsHello) {
  std::lock_guard<std::mutex> g(m_lock);
  if (!tcp) return m_unixCount >= m_config.maxConnections ? "too many connections" : "";
  if (m_tcpCount >= m_config.maxTcpConnections) return "too many connections";
  if (needsHello && m_unauthenticatedCount >= m_config.maxUnauthenticated) {
    return "too many connections awaiting authentication";
  }
  return "";
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
        refusal = RefusalOfNew(false, false);
      }
      if (!refusal.empty()) {
        LogRefusal(source, refusal);
        SendRefusal(socket, refusal);
      } else {
        AddConnection(GenericSocket(std::move(socket)), who, source, false, false);
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
    const std::string refusal = RefusalOfNew(true, m_tcpNeedsToken);
    if (!refusal.empty()) {
      LogRefusal(source, refusal);
      SendRefusal(socket, refusal);
    } else {
      socket.set_option(asio::ip::tcp::no_delay(true), ignored);
      AddConnection(GenericSocket(std::move(socket)), who, source, true, m_tcpNeedsToken);
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

void CWzAsioNetworkServer::Impl::AddConnection(GenericSocket socket, const std::string& peer, const std::string& source,
                                               bool tcp, bool needsHello) {
  const WznHandle_t handle = m_nextHandle.fetch_add(1);
  auto connection = std::make_shared<Connection>(*this, handle, std::move(socket), peer, source, needsHello);
  {
    std::lock_guard<std::mutex> g(m_lock);
    Entry& e = m_connections[handle];
    e.connection = connection;
    e.tcp = tcp;
    e.awaitingHello = needsHello;
    ++(tcp ? m_tcpCount : m_unixCount);
    if (needsHello) ++m_unauthenticatedCount;
  }
  WZLOG(2, "Connection %llu accepted from %s", static_cast<unsigned long long>(handle), peer.c_str());
  connection->Begin();
}

void CWzAsioNetworkServer::Impl::OnClosed(WznHandle_t handle) {
  std::shared_ptr<Connection> next;
  {
    std::lock_guard<std::mutex> g(m_lock);
    auto it = m_connections.find(handle);
    if (it == m_connections.end() || !it->second.open) return;
    Entry& e = it->second;
    e.open = false;
    --(e.tcp ? m_tcpCount : m_unixCount);
    if (e.awaitingHello) --m_unauthenticatedCount;
    e.awaitingHello = false;
    if (e.waiting) {
      e.waiting = false;
      const bool wasFirst = m_waiters.front() == handle;
      m_waiters.erase(std::find(m_waiters.begin(), m_waiters.end(), handle));
      if (wasFirst) next = NextWaiterLocked();
    }
    if (e.sessions == 0) m_connections.erase(it);
  }
  if (next) next->Resume();
}

void CWzAsioNetworkServer::Impl::OnAuthenticated(WznHandle_t handle) {
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_connections.find(handle);
  if (it == m_connections.end() || !it->second.awaitingHello) return;
  it->second.awaitingHello = false;
  --m_unauthenticatedCount;
}

std::shared_ptr<Connection> CWzAsioNetworkServer::Impl::NextWaiterLocked() {
  if (m_waiters.empty() || m_requestsInWork >= m_config.maxRequestsInFlight) return nullptr;
  auto it = m_connections.find(m_waiters.front());
  return it == m_connections.end() ? nullptr : it->second.connection;
}

bool CWzAsioNetworkServer::Impl::AdmitRequest(WznHandle_t handle, size_t bytes, bool nothingInWork) {
  std::shared_ptr<Connection> next;
  {
    std::lock_guard<std::mutex> g(m_lock);
    auto it = m_connections.find(handle);
    if (it == m_connections.end()) return false;
    Entry& e = it->second;
    // A request alone on its connection never waits, so a client that
    // sends one request at a time is not held back by one that floods; the
    // bound is then one request per connection above the limits.
    const bool first = m_waiters.empty() || m_waiters.front() == handle;
    const bool room = m_requestsInWork == 0 || (m_requestsInWork < m_config.maxRequestsInFlight &&
                                                m_bytesInWork + bytes <= m_config.maxRequestBytesInFlight);
    if (!nothingInWork && !(first && room)) {
      if (!e.waiting) {
        e.waiting = true;
        m_waiters.push_back(handle);
      }
      return false;
    }
    if (e.waiting) {
      e.waiting = false;
      m_waiters.erase(std::find(m_waiters.begin(), m_waiters.end(), handle));
      next = NextWaiterLocked();
    }
    ++m_requestsInWork;
    m_bytesInWork += bytes;
  }
  if (next) next->Resume();
  return true;
}

void CWzAsioNetworkServer::Impl::CancelRequest(size_t bytes) {
  std::shared_ptr<Connection> next;
  {
    std::lock_guard<std::mutex> g(m_lock);
    --m_requestsInWork;
    m_bytesInWork -= bytes;
    next = NextWaiterLocked();
  }
  if (next) next->Resume();
}

void CWzAsioNetworkServer::Impl::ReleaseRequest(const CNMessageBase* message) {
  std::shared_ptr<Connection> owner;
  std::shared_ptr<Connection> next;
  {
    std::lock_guard<std::mutex> g(m_lock);
    auto found = m_inWork.find(message);
    if (found == m_inWork.end()) return;  // not delivered by this server
    const InWork work = found->second;
    m_inWork.erase(found);
    --m_requestsInWork;
    m_bytesInWork -= work.bytes;
    auto it = m_connections.find(work.handle);
    if (it != m_connections.end() && it->second.open) owner = it->second.connection;
    next = NextWaiterLocked();
  }
  if (owner) owner->RequestDone();
  if (next && next != owner) next->Resume();
}

size_t CWzAsioNetworkServer::Impl::RequestsInFlight() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_requestsInWork;
}

void CWzAsioNetworkServer::Impl::LogRefusal(const std::string& source, const std::string& reason) {
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> g(m_refusalLock);
    if (m_refusals) lines = m_refusals->Note(source, reason, Clock::now());
  }
  for (const std::string& line : lines) WZLOG(-1, "%s", line.c_str());
}

void CWzAsioNetworkServer::Impl::FlushRefusals(bool atEnd) {
  std::vector<std::string> lines;
  {
    std::lock_guard<std::mutex> g(m_refusalLock);
    if (m_refusals) lines = m_refusals->Flush(Clock::now(), atEnd);
  }
  for (const std::string& line : lines) WZLOG(-1, "%s", line.c_str());
}

void CWzAsioNetworkServer::Impl::ArmRefusalFlush() {
  m_refusalTimer->expires_after(std::chrono::seconds(m_config.refusalLogSecs));
  m_refusalTimer->async_wait([this](const error_code& ec) {
    if (ec || m_stopped) return;
    FlushRefusals(false);
    ArmRefusalFlush();
  });
}

size_t CWzAsioNetworkServer::Impl::SessionsHeld(WznHandle_t handle) const {
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_connections.find(handle);
  return it == m_connections.end() ? 0 : it->second.sessions;
}

size_t CWzAsioNetworkServer::Impl::ConnectionCount() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_unixCount + m_tcpCount;
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

void CWzAsioNetworkServer::Impl::DeliverXml(WznHandle_t handle, CNMessageBase* message, size_t bytes) {
  if (WzLogEnabled(2)) {
    WZLOG(2, "Connection %llu: received %s", static_cast<unsigned long long>(handle), message->getTagName());
  }
  // Before the call: the service may free the message before it returns.
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_inWork[message] = InWork{handle, bytes};
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
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "cannot start the network server: %s", e.what());
  }
}

void CWzAsioNetworkServer::Stop() { m_impl->Stop(); }

uint16_t CWzAsioNetworkServer::TcpPort() const { return m_impl->TcpPort(); }

std::string CWzAsioNetworkServer::UnixPath() const { return m_impl->UnixPath(); }

size_t CWzAsioNetworkServer::ConnectionCount() const { return m_impl->ConnectionCount(); }

size_t CWzAsioNetworkServer::RequestsInFlight() const { return m_impl->RequestsInFlight(); }

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
