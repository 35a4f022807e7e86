#include "hostlib/net/asio_server_connection.h"

#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <exception>
#include <utility>

#include "hostlib/log/LogWriter.h"
#include "hostlib/msg/CNMessageBase.h"
#include "hostlib/net/accept_policy.h"
#include "hostlib/net/net_errors.h"

namespace Wzn {

using boost::system::error_code;

namespace {

// How long a connection closed for bad input may take to flush its error
// notice before the socket is closed anyway.
constexpr int kErrorLingerSecs = 5;
constexpr int kDefaultSendTimeoutSecs = 60;

}  // namespace

CAsioConnection::CAsioConnection(CWzAsioNetworkServer::Impl& server, WznHandle_t handle, GenericSocket socket,
                                 std::string peer, std::string source, bool needsHello, asio::ssl::context* tls)
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
      m_needsHello(needsHello) {
  if (tls != nullptr) m_tls = std::make_unique<asio::ssl::stream<GenericSocket&>>(m_socket, *tls);
}

void CAsioConnection::Begin() {
  asio::post(m_strand, [self = shared_from_this()] {
    self->m_lastActivity = AsioClock::now();
    self->ArmIdleTimer();
    // The hello deadline covers the handshake too: a peer that stalls it
    // holds a hello place.
    if (self->m_needsHello) self->ArmHelloTimer();
    if (self->m_tls) {
      self->StartHandshake();
    } else {
      self->StartRead();
    }
  });
}

void CAsioConnection::StartHandshake() {
  m_reading = true;
  m_tls->async_handshake(asio::ssl::stream_base::server,
                         asio::bind_executor(m_strand, [self = shared_from_this()](const error_code& ec) {
                           self->m_reading = false;
                           if (!self->m_good.load()) return;
                           if (ec) {
                             if (ec != asio::error::operation_aborted) {
                               self->CloseNow(-1, "TLS handshake failed: " + ec.message());
                             }
                             return;
                           }
                           self->m_handshakeDone = true;
                           self->m_lastActivity = AsioClock::now();
                           self->StartRead();
                         }));
}

CRnError CAsioConnection::SendXMLMessage(CNMessageBase* message, int flags, int timeoutSecs, bool& disconnected) {
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
    return FXErrorUtil::ErrorWin32(WZN_HERE, kErrInvalidData, "cannot serialize %s: %s", message->getTagName(),
                                   CNXmlStatusText(status));
  }
  return Enqueue(EncodeFrame(FrameKind::kXml, 0, xml), false, timeoutSecs, disconnected);
}

CRnError CAsioConnection::ReplyDisconnect(int timeoutSecs, bool& disconnected) {
  return Enqueue(EncodeControl(ControlType::kDisconnectReply), true, timeoutSecs, disconnected);
}

CRnError CAsioConnection::AbortConnection(const WznStatus_t& status, int timeoutSecs, bool& disconnected) {
  return Enqueue(EncodeAbortReply(status), true, timeoutSecs, disconnected);
}

void CAsioConnection::CloseNow(int level, const std::string& reason) {
  size_t dropped = 0;
  {
    WzMutexLock g(&m_lock);
    if (m_state == State::kClosed) return;
    m_state = State::kClosed;
    m_good = false;
    m_queue.clear();
    dropped = m_unsentBytes;
    m_unsentBytes = 0;
  }
  if (dropped > 0) m_server.ReleaseReplyBytes(dropped);
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

void CAsioConnection::PostClose(int level, std::string reason) {
  asio::post(m_strand,
             [self = shared_from_this(), level, reason = std::move(reason)] { self->CloseNow(level, reason); });
}

void CAsioConnection::RequestDone() {
  {
    WzMutexLock g(&m_lock);
    if (m_inWork > 0) --m_inWork;
  }
  Resume();
}

void CAsioConnection::Resume() {
  if (m_paused.exchange(false)) asio::post(m_strand, [self = shared_from_this()] { self->Pump(); });
}

CRnError CAsioConnection::NotConnected() const {
  return FXErrorUtil::ErrorWin32(WZN_HERE, kErrNotConnected, "connection %llu is closed",
                                 static_cast<unsigned long long>(m_handle));
}

bool CAsioConnection::IsClosed() {
  WzMutexLock g(&m_lock);
  return m_state == State::kClosed;
}

void CAsioConnection::LogClose(int level, const std::string& reason) {
  if (m_needsHello && level <= 0) {
    m_server.LogRefusal(m_source, reason);
    return;
  }
  WZLOG(level, "Connection %llu (%s) closed: %s", static_cast<unsigned long long>(m_handle), m_peer.c_str(),
        reason.c_str());
}

size_t CAsioConnection::WriteNowLocked(const std::string& bytes) {
  const int fd = m_socket.native_handle();
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // full (the strand writes the rest), or an error its write meets and reports
    }
  }
  return sent;
}

bool CAsioConnection::TryWriteNow(std::string& bytes, int timeoutSecs, bool& disconnected, bool& done) {
  done = false;
  size_t sent = 0;
  {
    WzMutexLock g(&m_lock);
    if (m_state != State::kOpen) {
      disconnected = true;
      return true;
    }
    // Behind a frame in line or being written, this one must wait its turn.
    if (m_writing || !m_queue.empty()) return false;
    // Under the lock: the socket cannot be closed while it is written.
    sent = WriteNowLocked(bytes);
    if (sent == bytes.size()) {
      done = true;
      return true;
    }
    // The rest goes out first, by the strand: nothing may be written before it.
    m_writing = true;
  }
  bytes.erase(0, sent);
  auto op = std::make_shared<WriteOp>();
  op->bytes = std::move(bytes);
  op->timeoutSecs = timeoutSecs;
  op->deadline = AsioClock::now() + std::chrono::seconds(timeoutSecs);
  m_server.AddReplyBytes(op->bytes.size());
  bool queued = false;
  {
    WzMutexLock g(&m_lock);
    m_writing = false;
    if (m_state != State::kClosed) {
      queued = true;
      m_queue.push_front(op);
      m_unsentBytes += op->bytes.size();
    }
  }
  if (!queued) {
    m_server.ReleaseReplyBytes(op->bytes.size());
    disconnected = true;
    return true;
  }
  asio::post(m_strand, [self = shared_from_this()] { self->StartWrite(); });
  done = true;
  return true;
}

CRnError CAsioConnection::Enqueue(std::string bytes, bool closeAfter, int timeoutSecs, bool& disconnected) {
  disconnected = false;
  if (timeoutSecs <= 0) timeoutSecs = kDefaultSendTimeoutSecs;
  // A reply with nothing before it goes out on the sender's thread, without
  // waking the network thread; TLS records are the strand's to write.
  bool done = false;
  if (!closeAfter && !m_tls && TryWriteNow(bytes, timeoutSecs, disconnected, done)) {
    if (disconnected) return NotConnected();
    if (done) return CRnError();
  }
  auto op = std::make_shared<WriteOp>();
  op->bytes = std::move(bytes);
  op->timeoutSecs = timeoutSecs;
  op->deadline = AsioClock::now() + std::chrono::seconds(timeoutSecs);
  const size_t limit = m_server.Config().maxUnsentBytes;
  size_t unsent = 0;
  // Counted before the frame can be written (and given back at once).
  m_server.AddReplyBytes(op->bytes.size());
  bool queued = false;
  {
    WzMutexLock g(&m_lock);
    if (m_state != State::kOpen) disconnected = true;
    // One reply always goes, however large: the limit is on what piles up
    // behind it.
    if (disconnected) {
      // Closed: nothing is queued.
    } else if (!closeAfter && m_unsentBytes > 0 && m_unsentBytes + op->bytes.size() > limit) {
      unsent = m_unsentBytes;
      m_state = State::kClosing;
      m_good = false;
    } else {
      queued = true;
      m_unsentBytes += op->bytes.size();
      m_queue.push_back(op);
      if (closeAfter) {
        m_state = State::kClosing;
        m_good = false;
      }
    }
  }
  if (!queued) m_server.ReleaseReplyBytes(op->bytes.size());
  if (disconnected) return NotConnected();
  if (unsent > 0) {
    PostClose(-1, "the peer does not read its replies: " + std::to_string(unsent) + " bytes unsent, " +
                      std::to_string(op->bytes.size()) + " more would pass the limit of " + std::to_string(limit));
    disconnected = true;
    return FXErrorUtil::ErrorWin32(WZN_HERE, kErrQuota,
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

void CAsioConnection::StartWrite() {
  std::shared_ptr<WriteOp> op;
  {
    WzMutexLock g(&m_lock);
    if (m_writing || m_queue.empty() || m_state == State::kClosed) return;
    op = m_queue.front();
    m_writing = true;
  }
  ArmWriteDeadline(op);
  auto done = asio::bind_executor(
      m_strand, [self = shared_from_this(), op](const error_code& ec, size_t) { self->OnWritten(op, ec); });
  if (m_tls) {
    asio::async_write(*m_tls, asio::buffer(op->bytes), std::move(done));
  } else {
    asio::async_write(m_socket, asio::buffer(op->bytes), std::move(done));
  }
}

void CAsioConnection::ArmWriteDeadline(const std::shared_ptr<WriteOp>& op) {
  m_writeTimer.expires_at(op->deadline);
  std::weak_ptr<WriteOp> weak = op;
  m_writeTimer.async_wait(asio::bind_executor(m_strand, [self = shared_from_this(), weak](const error_code& ec) {
    std::shared_ptr<WriteOp> due = weak.lock();
    if (ec || due == nullptr) return;
    bool stillWriting = false;
    {
      WzMutexLock g(&self->m_lock);
      stillWriting = self->m_writing && !self->m_queue.empty() && self->m_queue.front() == due;
    }
    if (stillWriting) {
      self->CloseNow(-1, "the peer did not take a reply within " + std::to_string(due->timeoutSecs) + " s");
    }
  }));
}

void CAsioConnection::OnWritten(const std::shared_ptr<WriteOp>& op, const error_code& ec) {
  bool closeNow = false;
  {
    WzMutexLock g(&m_lock);
    if (m_state == State::kClosed) return;  // CloseNow already dropped the queue
    m_writing = false;
    if (!ec) {
      m_queue.pop_front();
      m_unsentBytes -= op->bytes.size();
      closeNow = m_queue.empty() && m_state == State::kClosing;
    }
  }
  if (!ec) m_server.ReleaseReplyBytes(op->bytes.size());
  if (ec) {
    CloseNow(1, "write failed: " + ec.message());
    return;
  }
  m_lastActivity = AsioClock::now();
  if (closeNow) {
    CloseNow(2, "");
    return;
  }
  StartWrite();
  Resume();
}

void CAsioConnection::CloseWithNotice(int level, const std::string& reason) {
  // Before the handshake nothing can be said in the peer's language.
  if (m_tls && !m_handshakeDone) {
    CloseNow(level, reason);
    return;
  }
  auto op = std::make_shared<WriteOp>();
  op->bytes = EncodeErrorNotice(reason);
  op->timeoutSecs = kErrorLingerSecs;
  op->deadline = AsioClock::now() + std::chrono::seconds(kErrorLingerSecs);
  m_server.AddReplyBytes(op->bytes.size());
  bool queued = false;
  {
    WzMutexLock g(&m_lock);
    queued = m_state == State::kOpen;
    if (queued) {
      m_queue.push_back(op);
      m_unsentBytes += op->bytes.size();
      m_state = State::kClosing;
      m_good = false;
    }
  }
  if (!queued) {
    m_server.ReleaseReplyBytes(op->bytes.size());
    return;
  }
  LogClose(level, reason);
  ArmLinger(kErrorLingerSecs);
  StartWrite();
}

void CAsioConnection::ArmLinger(int seconds) {
  m_lingerTimer.expires_after(std::chrono::seconds(seconds));
  m_lingerTimer.async_wait(asio::bind_executor(m_strand, [self = shared_from_this()](const error_code& ec) {
    if (!ec) self->CloseNow(1, "the peer did not take the last frame in time");
  }));
}

void CAsioConnection::ArmHelloTimer() {
  const int secs = m_server.Config().helloTimeoutSecs;
  m_helloTimer.expires_after(std::chrono::seconds(secs));
  m_helloTimer.async_wait(asio::bind_executor(m_strand, [self = shared_from_this(), secs](const error_code& ec) {
    if (!ec && self->m_needsHello) {
      self->CloseWithNotice(-1, "authentication failed: no hello within " + std::to_string(secs) + " s");
    }
  }));
}

void CAsioConnection::ArmIdleTimer() {
  const int secs = m_server.Config().idleTimeoutSecs;
  if (secs <= 0) return;
  m_idleTimer.expires_at(m_lastActivity + std::chrono::seconds(secs));
  m_idleTimer.async_wait(asio::bind_executor(m_strand, [self = shared_from_this()](const error_code& ec) {
    if (!ec) self->OnIdleCheck();
  }));
}

void CAsioConnection::OnIdleCheck() {
  bool writing = false;
  {
    WzMutexLock g(&m_lock);
    if (m_state == State::kClosed) return;
    writing = m_writing;
  }
  const int secs = m_server.Config().idleTimeoutSecs;
  const AsioClock::time_point now = AsioClock::now();
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

void CAsioConnection::StartRead() {
  m_reading = true;
  auto done = asio::bind_executor(m_strand,
                                  [self = shared_from_this()](const error_code& ec, size_t n) { self->OnRead(ec, n); });
  if (m_tls) {
    m_tls->async_read_some(asio::buffer(m_readBuffer), std::move(done));
  } else {
    m_socket.async_read_some(asio::buffer(m_readBuffer), std::move(done));
  }
}

void CAsioConnection::OnRead(const error_code& ec, size_t length) {
  m_reading = false;
  if (!m_good.load()) return;
  if (ec) {
    if (ec == asio::error::operation_aborted) return;
    // A TLS peer that closes without its close_notify is a peer that left.
    const bool byPeer =
        ec == asio::error::eof || ec == asio::error::connection_reset || ec == asio::ssl::error::stream_truncated;
    const bool midFrame = m_decoder.InFrame();
    if (byPeer && !midFrame) {
      CloseNow(2, "closed by the peer");
    } else {
      CloseNow(-1, midFrame ? "the peer closed in the middle of a frame" : "read failed: " + ec.message());
    }
    return;
  }
  m_lastActivity = AsioClock::now();
  m_readPos = 0;
  m_readLength = length;
  Pump();
}

void CAsioConnection::Pump() {
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
    if (m_decoder.HasFrame()) m_held = std::make_unique<Frame>(m_decoder.TakeFrame());
  }
}

bool CAsioConnection::Admit(size_t bytes) {
  // Set before looking, so that room made while we look is not missed.
  m_paused = true;
  bool nothingInWork = false;
  {
    WzMutexLock g(&m_lock);
    if (m_inWork + m_queue.size() >= m_server.Config().maxRequestsPerConnection) return false;
    // Unsent replies are work too: a client that pipelines and does not
    // read waits while replies fill the budget.
    nothingInWork = m_inWork == 0 && m_unsentBytes == 0;
  }
  if (!m_server.AdmitRequest(m_handle, bytes, nothingInWork)) return false;
  {
    WzMutexLock g(&m_lock);
    ++m_inWork;
  }
  m_paused = false;
  return true;
}

void CAsioConnection::Unadmit(size_t bytes) {
  {
    WzMutexLock g(&m_lock);
    if (m_inWork > 0) --m_inWork;
  }
  m_server.CancelRequest(bytes);
}

bool CAsioConnection::Dispatch(Frame& frame) {
  if (m_needsHello) {
    CheckHello(frame);
    return true;
  }
  const bool first = m_firstFrame;
  switch (frame.kind) {
    case FrameKind::kXml:
      if (!Admit(frame.payload.size())) return false;
      HandleXml(frame.payload);
      break;
    case FrameKind::kXdr:
      m_server.DeliverXdr(m_handle, frame.xdrId, frame.payload);
      break;
    case FrameKind::kControl:
      if (!HandleControl(frame.payload, first)) return false;
      break;
  }
  m_firstFrame = false;
  return true;
}

void CAsioConnection::CheckHello(const Frame& frame) {
  m_firstFrame = false;
  ControlMessage hello;
  if (frame.kind != FrameKind::kControl || ParseControl(frame.payload, hello).IsError() ||
      hello.type != ControlType::kHello) {
    CloseWithNotice(-1, "authentication failed: the first frame must be a hello with the token");
    return;
  }
  if (!TokensEqual(m_server.Config().token, hello.text)) {
    CloseWithNotice(-1, "authentication failed: wrong token");
    return;
  }
  m_needsHello = false;
  CancelQuietly(m_helloTimer);
  m_decoder.SetMaxPayload(m_server.Config().maxFrameBytes);
  m_server.OnAuthenticated(m_handle);
}

void CAsioConnection::HandleXml(const std::string& payload) {
  int status = 0;
  std::unique_ptr<CNMessageBase> message = CNMessageBase::ParseXml(payload.data(), payload.size(), &status);
  if (!message) {
    Unadmit(payload.size());
    CloseWithNotice(-1, std::string("unparsable XML message: ") + CNXmlStatusText(status));
    return;
  }
  m_server.DeliverXml(m_handle, message.release(), payload.size());
}

bool CAsioConnection::HandleControl(const std::string& payload, bool first) {
  ControlMessage control;
  if (CRnError err = ParseControl(payload, control)) {
    CloseWithNotice(-1, "bad control frame: " + err.AsString());
    return true;
  }
  switch (control.type) {
    case ControlType::kHello:
      if (!first) CloseWithNotice(-1, "a hello after the first frame");
      return true;
    case ControlType::kDisconnect:
    case ControlType::kAbort:
      // Answered after the replies before it: it takes its place like a
      // request.
      if (!Admit(0)) return false;
      DeliverNotice(control.type == ControlType::kDisconnect ? CNControlNotice::kDisconnectNumber
                                                             : CNControlNotice::kAbortNumber);
      return true;
    default:
      CloseWithNotice(-1, std::string("unexpected control frame from a client: ") + ControlTypeName(control.type));
      return true;
  }
}

void CAsioConnection::DeliverNotice(int number) {
  // The message library registers the notice classes, so they carry
  // their tag ids.
  std::unique_ptr<CNMessageBase> message(new CNMessageBase(CNControlNotice::kGroup, number));
  m_server.DeliverXml(m_handle, message.release(), 0);
}

}  // namespace Wzn
