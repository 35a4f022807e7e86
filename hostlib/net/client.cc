#include "hostlib/net/client.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "hostlib/msg/CNMessageBase.h"
#include "hostlib/net/accept_policy.h"
#include "hostlib/net/net_errors.h"

namespace {

using Clock = std::chrono::steady_clock;

// Milliseconds left until the deadline for poll(): -1 without a deadline.
class CDeadline {
 public:
  explicit CDeadline(int timeoutMs)
      : m_unlimited(timeoutMs < 0), m_end(Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs)) {}
  int RemainingMs() const {
    if (m_unlimited) return -1;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(m_end - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
  }

 private:
  bool m_unlimited;
  Clock::time_point m_end;
};

CRnError Timeout(const char* what) { return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrTimeout, "timed out %s", what); }

// poll() on one fd, retried on EINTR. 1 ready, 0 time-out, -1 error.
int PollOne(int fd, short events, const CDeadline& deadline) {
  for (;;) {
    struct pollfd p = {fd, events, 0};
    const int rc = ::poll(&p, 1, deadline.RemainingMs());
    if (rc < 0 && errno == EINTR) continue;
    return rc < 0 ? -1 : (rc == 0 ? 0 : 1);
  }
}

// The text of an error notice already waiting on fd ("" when none). A server
// that refuses a connection says why and closes at once, so a send can fail
// on the closed socket while the notice still sits in our receive buffer.
std::string PendingErrorNotice(int fd) {
  Wzn::CFrameDecoder decoder(16u << 20);
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n <= 0) return "";
    for (size_t off = 0; off < static_cast<size_t>(n);) {
      size_t used = 0;
      if (decoder.Feed(buffer + off, static_cast<size_t>(n) - off, used)) return "";
      off += used;
      if (!decoder.HasFrame()) continue;
      const Wzn::Frame frame = decoder.TakeFrame();
      Wzn::ControlMessage control;
      if (frame.kind == Wzn::FrameKind::kControl && Wzn::ParseControl(frame.payload, control).IsSuccess() &&
          control.type == Wzn::ControlType::kError)
        return control.text;
    }
  }
}

}  // namespace

CWzClient::CWzClient(size_t maxFrameBytes) : m_decoder(maxFrameBytes) {}

CWzClient::~CWzClient() { Close(); }

bool CWzClient::IsTimeout(const CRnError& error) { return error.GetCode() == HRESULT_FROM_WIN32(Wzn::kErrTimeout); }

bool CWzClient::IsClosed(const CRnError& error) { return error.GetCode() == HRESULT_FROM_WIN32(Wzn::kErrNotConnected); }

void CWzClient::Close() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

CRnError CWzClient::ClosedError(const char* what) {
  if (m_serverError.empty() && m_fd >= 0) m_serverError = PendingErrorNotice(m_fd);
  Close();
  if (!m_serverError.empty()) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrNotConnected, "%s: the server closed the connection: %s", what,
                                   m_serverError.c_str());
  }
  return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrNotConnected, "%s: the connection is closed", what);
}

CRnError CWzClient::Connect(const std::string& endpoint, const std::string& token, int timeoutMs) {
  Close();
  m_in.clear();
  m_inPos = 0;
  m_serverError.clear();
  m_decoder.Reset();
  const bool tcp = endpoint.find(':') != std::string::npos && endpoint.find('/') == std::string::npos;
  CRnError err = tcp ? ConnectTcp(endpoint, timeoutMs) : ConnectUnix(endpoint, timeoutMs);
  if (err) return err.Push(WZN_HERE, "cannot connect to %s", endpoint.c_str());
  if (!token.empty()) {
    if (CRnError helloErr = WriteAll(Wzn::EncodeHello(token))) return helloErr.Push(WZN_HERE);
  }
  return CRnError();
}

CRnError CWzClient::ConnectUnix(const std::string& path, int timeoutMs) {
  struct sockaddr_un addr;
  std::memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof(addr.sun_path)) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, ERROR_INVALID_PARAMETER, "bad Unix socket path \"%s\"", path.c_str());
  }
  std::memcpy(addr.sun_path, path.data(), path.size());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return FXErrorUtil::ErrorErrNo(WZN_HERE, errno, "socket() failed");
  // On a Unix socket EAGAIN means the listen backlog is full and nothing was
  // queued: try again until the server accepts or the time runs out.
  const CDeadline deadline(timeoutMs);
  while (::connect(fd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) != 0 && errno != EINPROGRESS) {
    const int e = errno;
    if (e == EINTR) continue;
    if (e == EAGAIN && deadline.RemainingMs() != 0) {
      ::poll(nullptr, 0, 2);
      continue;
    }
    ::close(fd);
    if (e == EAGAIN) return Timeout("connecting");
    return FXErrorUtil::ErrorErrNo(WZN_HERE, e, "connect failed: %s", std::strerror(e));
  }
  return FinishConnect(fd, deadline.RemainingMs());
}

CRnError CWzClient::ConnectTcp(const std::string& hostPort, int timeoutMs) {
  std::string host;
  uint16_t port = 0;
  if (CRnError err = Wzn::ParseHostPort(hostPort, host, port)) return err.Push(WZN_HERE);
  struct addrinfo hints;
  std::memset(&hints, 0, sizeof(hints));
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  struct addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
  if (rc != 0 || list == nullptr) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrNotFound, "cannot resolve %s: %s", host.c_str(),
                                   gai_strerror(rc));
  }
  CRnError last = FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrNotFound, "no address for %s", host.c_str());
  for (struct addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
      last = FXErrorUtil::ErrorErrNo(WZN_HERE, errno, "socket() failed");
      continue;
    }
    const int one = 1;
    (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0 && errno != EINPROGRESS) {
      const int e = errno;
      ::close(fd);
      last = FXErrorUtil::ErrorErrNo(WZN_HERE, e, "connect failed: %s", std::strerror(e));
      continue;
    }
    last = FinishConnect(fd, timeoutMs);
    if (last.IsSuccess()) break;
  }
  ::freeaddrinfo(list);
  return last;
}

// Waits for a non-blocking connect to complete; takes the fd either way.
CRnError CWzClient::FinishConnect(int fd, int timeoutMs) {
  const CDeadline deadline(timeoutMs);
  const int ready = PollOne(fd, POLLOUT, deadline);
  int soError = 0;
  socklen_t len = sizeof(soError);
  if (ready == 1 && ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &len) == 0 && soError == 0) {
    m_fd = fd;
    return CRnError();
  }
  const int e = ready == 1 ? soError : errno;
  ::close(fd);
  if (ready == 0) return Timeout("connecting");
  return FXErrorUtil::ErrorErrNo(WZN_HERE, e, "connect failed: %s", std::strerror(e));
}

CRnError CWzClient::WriteAll(const std::string& bytes) {
  if (m_fd < 0) return ClosedError("send");
  const CDeadline deadline(m_sendTimeoutMs);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      const int ready = PollOne(m_fd, POLLOUT, deadline);
      if (ready == 0) return Timeout("sending");
      if (ready < 0) return FXErrorUtil::ErrorErrNo(WZN_HERE, errno, "poll failed");
      continue;
    }
    return ClosedError("send");
  }
  return CRnError();
}

CRnError CWzClient::SendMessage(const CNMessageBase& message) {
  std::string xml;
  const int status = message.serialize(xml, false);
  if (status != 0) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrInvalidData, "cannot serialize %s: %s", message.getTagName(),
                                   CNXmlStatusText(status));
  }
  return WriteAll(Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, xml));
}

CRnError CWzClient::SendXdr(uint64_t messageId, const std::string& bytes) {
  return WriteAll(Wzn::EncodeFrame(Wzn::FrameKind::kXdr, messageId, bytes));
}

CRnError CWzClient::SendRaw(const std::string& bytes) { return WriteAll(bytes); }

CRnError CWzClient::ReceiveFrame(Wzn::Frame& frame, int timeoutMs) {
  const CDeadline deadline(timeoutMs);
  char buffer[64 * 1024];
  for (;;) {
    while (m_inPos < m_in.size()) {
      size_t used = 0;
      if (CRnError err = m_decoder.Feed(m_in.data() + m_inPos, m_in.size() - m_inPos, used)) {
        Close();
        return err.Push(WZN_HERE, "bad frame from the server");
      }
      m_inPos += used;
      if (m_decoder.HasFrame()) {
        frame = m_decoder.TakeFrame();
        return CRnError();
      }
    }
    m_in.clear();
    m_inPos = 0;
    if (m_fd < 0) return ClosedError("receive");
    const int ready = PollOne(m_fd, POLLIN, deadline);
    if (ready == 0) return Timeout("waiting for the server");
    if (ready < 0) return FXErrorUtil::ErrorErrNo(WZN_HERE, errno, "poll failed");
    const ssize_t n = ::recv(m_fd, buffer, sizeof(buffer), 0);
    if (n > 0) {
      m_in.assign(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    return ClosedError("receive");
  }
}

CRnError CWzClient::ReceiveReply(std::unique_ptr<CNMessageBase>& out, int timeoutMs) {
  out.reset();
  const CDeadline deadline(timeoutMs);
  for (;;) {
    Wzn::Frame frame;
    if (CRnError err = ReceiveFrame(frame, deadline.RemainingMs())) return err.Push(WZN_HERE);
    if (frame.kind == Wzn::FrameKind::kXml) {
      int status = 0;
      // Replies may be larger than requests (a listing of a large
      // configuration); the frame limit already bounds them.
      out = CNMessageBase::ParseXml(frame.payload.data(), frame.payload.size(), &status,
                                    CNMessageBase::kMaxLargeXmlBytes);
      if (!out) {
        return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrInvalidData, "unparsable reply: %s", CNXmlStatusText(status));
      }
      return CRnError();
    }
    Wzn::ControlMessage control;
    if (frame.kind == Wzn::FrameKind::kControl && Wzn::ParseControl(frame.payload, control).IsSuccess() &&
        control.type == Wzn::ControlType::kError) {
      m_serverError = control.text;
      continue;
    }
    return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrInvalidData,
                                   "unexpected frame of kind %u while waiting for a reply",
                                   static_cast<unsigned>(frame.kind));
  }
}

CRnError CWzClient::Call(const CNMessageBase& request, std::unique_ptr<CNMessageBase>& reply, int timeoutMs) {
  reply.reset();
  if (CRnError err = SendMessage(request)) return err.Push(WZN_HERE);
  if (CRnError err = ReceiveReply(reply, timeoutMs)) return err.Push(WZN_HERE);
  return CRnError();
}

CRnError CWzClient::WaitForControl(Wzn::ControlType type, Wzn::ControlMessage& out, int timeoutMs) {
  const CDeadline deadline(timeoutMs);
  for (;;) {
    Wzn::Frame frame;
    if (CRnError err = ReceiveFrame(frame, deadline.RemainingMs())) return err.Push(WZN_HERE);
    if (frame.kind != Wzn::FrameKind::kControl) continue;  // replies to earlier requests
    if (CRnError err = Wzn::ParseControl(frame.payload, out)) {
      Close();
      return err.Push(WZN_HERE, "bad control frame from the server");
    }
    if (out.type == Wzn::ControlType::kError) {
      m_serverError = out.text;
      continue;
    }
    if (out.type == type) return CRnError();
  }
}

CRnError CWzClient::Disconnect(int timeoutMs) {
  if (CRnError err = WriteAll(Wzn::EncodeControl(Wzn::ControlType::kDisconnect))) return err.Push(WZN_HERE);
  Wzn::ControlMessage reply;
  CRnError err = WaitForControl(Wzn::ControlType::kDisconnectReply, reply, timeoutMs);
  Close();
  return err ? err.Push(WZN_HERE, "no disconnect reply") : CRnError();
}

CRnError CWzClient::Abort(WznStatus_t& status, int timeoutMs) {
  status = WznStatus_t();
  if (CRnError err = WriteAll(Wzn::EncodeControl(Wzn::ControlType::kAbort))) return err.Push(WZN_HERE);
  Wzn::ControlMessage reply;
  CRnError err = WaitForControl(Wzn::ControlType::kAbortReply, reply, timeoutMs);
  Close();
  if (err) return err.Push(WZN_HERE, "no abort reply");
  status = reply.status;
  return CRnError();
}
