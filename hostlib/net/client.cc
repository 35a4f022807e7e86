#include "hostlib/net/client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
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

// Feeds bytes to decoder; true, with the text, once an error notice is
// complete in them. False also for bytes that are not frames.
bool FindErrorNotice(Wzn::CFrameDecoder& decoder, const char* data, size_t size, std::string& text) {
  for (size_t off = 0; off < size;) {
    size_t used = 0;
    if (decoder.Feed(data + off, size - off, used)) return false;
    off += used;
    if (!decoder.HasFrame()) continue;
    const Wzn::Frame frame = decoder.TakeFrame();
    Wzn::ControlMessage control;
    if (frame.kind == Wzn::FrameKind::kControl && Wzn::ParseControl(frame.payload, control).IsSuccess() &&
        control.type == Wzn::ControlType::kError) {
      text = control.text;
      return true;
    }
  }
  return false;
}

// The text of an error notice already waiting on fd ("" when none). A server
// that refuses a connection says why and closes at once, so a send can fail
// on the closed socket while the notice still sits in our receive buffer.
std::string PendingErrorNotice(int fd) {
  Wzn::CFrameDecoder decoder(16u << 20);
  char buffer[8192];
  std::string text;
  for (;;) {
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n <= 0) return "";
    if (FindErrorNotice(decoder, buffer, static_cast<size_t>(n), text)) return text;
  }
}

// OpenSSL's queued errors of this thread, as one text.
std::string TlsErrorText() {
  std::string text;
  for (unsigned long e = ERR_get_error(); e != 0; e = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(e, buffer, sizeof(buffer));
    if (!text.empty()) text += "; ";
    text += buffer;
  }
  return text.empty() ? "unknown TLS error" : text;
}

CRnError TlsError(const char* what) {
  const std::string text = TlsErrorText();
  return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrNotConnected, "%s: %s", what, text.c_str());
}

bool IsAddress(const std::string& host) {
  unsigned char buffer[sizeof(struct in6_addr)];
  return ::inet_pton(AF_INET, host.c_str(), buffer) == 1 || ::inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

// The first byte of every TLS record is its content type (20 to 23); our
// frames begin with 'W'.
bool LooksLikeTls(unsigned char first) { return first >= 20 && first <= 23; }

}  // namespace

// One TLS session over memory buffers: the client moves the bytes between
// them and the socket itself, so that its deadlines hold for TLS too and a
// refusal sent in clear text before any TLS can still be read.
struct CWzClient::Tls {
  SSL_CTX* ctx = nullptr;
  SSL* ssl = nullptr;
  BIO* in = nullptr;   // from the socket; owned by ssl
  BIO* out = nullptr;  // for the socket; owned by ssl
  Tls() = default;
  Tls(const Tls&) = delete;
  Tls& operator=(const Tls&) = delete;
  ~Tls() {
    if (ssl != nullptr) SSL_free(ssl);
    if (ctx != nullptr) SSL_CTX_free(ctx);
  }
};

CWzClient::CWzClient(size_t maxFrameBytes) : m_decoder(maxFrameBytes) {}

CWzClient::~CWzClient() { Close(); }

bool CWzClient::IsTimeout(const CRnError& error) { return error.GetCode() == HRESULT_FROM_WIN32(Wzn::kErrTimeout); }

bool CWzClient::IsClosed(const CRnError& error) { return error.GetCode() == HRESULT_FROM_WIN32(Wzn::kErrNotConnected); }

void CWzClient::Close() {
  if (m_tls && m_fd >= 0 && SSL_is_init_finished(m_tls->ssl)) {
    // A close_notify, best effort and never waiting.
    ERR_clear_error();
    (void)SSL_shutdown(m_tls->ssl);
    char buffer[512];
    const int n = BIO_read(m_tls->out, buffer, sizeof(buffer));
    if (n > 0) (void)::send(m_fd, buffer, static_cast<size_t>(n), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  m_tls.reset();
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
}

std::string CWzClient::PendingNotice() {
  if (!m_tls) return PendingErrorNotice(m_fd);
  Wzn::CFrameDecoder decoder(16u << 20);
  char buffer[8192];
  std::string text;
  for (;;) {
    const ssize_t raw = ::recv(m_fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (raw > 0) BIO_write(m_tls->in, buffer, static_cast<int>(raw));
    for (;;) {
      ERR_clear_error();
      const int n = SSL_read(m_tls->ssl, buffer, sizeof(buffer));
      if (n <= 0) break;
      if (FindErrorNotice(decoder, buffer, static_cast<size_t>(n), text)) return text;
    }
    if (raw <= 0) return "";
  }
}

CRnError CWzClient::ClosedError(const char* what) {
  if (m_serverError.empty() && m_fd >= 0) m_serverError = PendingNotice();
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
  if (tcp && !m_tlsOptions.plain) {
    std::string host;
    uint16_t port = 0;
    (void)Wzn::ParseHostPort(endpoint, host, port);
    if (CRnError tlsErr = TlsHandshake(host, timeoutMs)) {
      Close();
      return tlsErr.Push(WZN_HERE, "no TLS session with %s", endpoint.c_str());
    }
  }
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

CRnError CWzClient::TlsHandshake(const std::string& host, int timeoutMs) {
  const CDeadline deadline(timeoutMs);
  const WznClientTls& o = m_tlsOptions;
  auto tls = std::make_unique<Tls>();
  ERR_clear_error();
  tls->ctx = SSL_CTX_new(TLS_client_method());
  if (tls->ctx == nullptr) return TlsError("no TLS context");
  SSL_CTX_set_min_proto_version(tls->ctx, TLS1_2_VERSION);
  if (o.caFile.empty() ? SSL_CTX_set_default_verify_paths(tls->ctx) != 1
                       : SSL_CTX_load_verify_locations(tls->ctx, o.caFile.c_str(), nullptr) != 1) {
    return TlsError(o.caFile.empty() ? "cannot load the system's CA certificates" : "cannot read the CA file");
  }
  if (!o.certFile.empty()) {
    const std::string key = o.keyFile.empty() ? o.certFile : o.keyFile;
    if (SSL_CTX_use_certificate_chain_file(tls->ctx, o.certFile.c_str()) != 1) {
      return TlsError("cannot read the client certificate");
    }
    if (SSL_CTX_use_PrivateKey_file(tls->ctx, key.c_str(), SSL_FILETYPE_PEM) != 1 ||
        SSL_CTX_check_private_key(tls->ctx) != 1) {
      return TlsError("cannot use the client key");
    }
  }
  SSL_CTX_set_verify(tls->ctx, SSL_VERIFY_PEER, nullptr);
  // Without the host check the CA file names the one certificate to trust
  // (the daemon calling itself trusts its own).
  if (!o.checkHost) X509_VERIFY_PARAM_set_flags(SSL_CTX_get0_param(tls->ctx), X509_V_FLAG_PARTIAL_CHAIN);
  tls->ssl = SSL_new(tls->ctx);
  tls->in = BIO_new(BIO_s_mem());
  tls->out = BIO_new(BIO_s_mem());
  if (tls->ssl == nullptr || tls->in == nullptr || tls->out == nullptr) {
    if (tls->in != nullptr) BIO_free(tls->in);
    if (tls->out != nullptr) BIO_free(tls->out);
    return TlsError("no TLS session");
  }
  SSL_set_bio(tls->ssl, tls->in, tls->out);
  SSL_set_connect_state(tls->ssl);
  if (o.checkHost) {
    const bool address = IsAddress(host);
    if (address ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls->ssl), host.c_str()) != 1
                : (SSL_set1_host(tls->ssl, host.c_str()) != 1 ||
                   SSL_set_tlsext_host_name(tls->ssl, const_cast<char*>(host.c_str())) != 1)) {
      return TlsError("cannot set the host name to check");
    }
  }
  m_tls = std::move(tls);
  bool first = true;
  for (;;) {
    ERR_clear_error();
    const int rc = SSL_do_handshake(m_tls->ssl);
    const int why = SSL_get_error(m_tls->ssl, rc);
    if (CRnError err = FlushTls()) return err.Push(WZN_HERE);
    if (rc == 1) return CRnError();
    if (why != SSL_ERROR_WANT_READ) {
      const long verify = SSL_get_verify_result(m_tls->ssl);
      if (verify != X509_V_OK) {
        return FXErrorUtil::ErrorWin32(WZN_HERE, Wzn::kErrNotConnected, "the server's certificate: %s",
                                       X509_verify_cert_error_string(verify));
      }
      return TlsError("TLS handshake failed");
    }
    const int ready = PollOne(m_fd, POLLIN, deadline);
    if (ready == 0) return Timeout("in the TLS handshake");
    if (ready < 0) return FXErrorUtil::ErrorErrNo(WZN_HERE, errno, "poll failed");
    char buffer[16 * 1024];
    const ssize_t n = ::recv(m_fd, buffer, sizeof(buffer), 0);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (n <= 0) return ClosedError("TLS handshake");
    if (first && !LooksLikeTls(static_cast<unsigned char>(buffer[0]))) {
      // Refused before any TLS: the server says why in clear text.
      Wzn::CFrameDecoder decoder(16u << 20);
      if (!FindErrorNotice(decoder, buffer, static_cast<size_t>(n), m_serverError)) {
        m_serverError = PendingErrorNotice(m_fd);
      }
      m_tls.reset();
      return ClosedError("TLS handshake");
    }
    first = false;
    BIO_write(m_tls->in, buffer, static_cast<int>(n));
  }
}

CRnError CWzClient::FlushTls() {
  char buffer[16 * 1024];
  for (;;) {
    const int n = BIO_read(m_tls->out, buffer, sizeof(buffer));
    if (n <= 0) return CRnError();
    if (CRnError err = WriteRaw(buffer, static_cast<size_t>(n))) return err.Push(WZN_HERE);
  }
}

CRnError CWzClient::WriteAll(const std::string& bytes) {
  if (m_fd < 0) return ClosedError("send");
  if (!m_tls) return WriteRaw(bytes.data(), bytes.size());
  // Into the memory buffer whole: a memory BIO takes everything.
  for (size_t done = 0; done < bytes.size();) {
    const int chunk = static_cast<int>(std::min<size_t>(bytes.size() - done, 1u << 20));
    ERR_clear_error();
    const int n = SSL_write(m_tls->ssl, bytes.data() + done, chunk);
    if (n <= 0) return TlsError("TLS write failed");
    done += static_cast<size_t>(n);
    if (CRnError err = FlushTls()) return err.Push(WZN_HERE);
  }
  return CRnError();
}

CRnError CWzClient::WriteRaw(const char* data, size_t size) {
  if (m_fd < 0) return ClosedError("send");
  const CDeadline deadline(m_sendTimeoutMs);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = ::send(m_fd, data + done, size - done, MSG_NOSIGNAL);
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
    size_t n = 0;
    if (CRnError err = ReadSome(buffer, sizeof(buffer), deadline.RemainingMs(), n)) return err;
    m_in.assign(buffer, n);
  }
}

CRnError CWzClient::ReadSome(char* buffer, size_t size, int timeoutMs, size_t& n) {
  n = 0;
  const CDeadline deadline(timeoutMs);
  for (;;) {
    if (m_fd < 0) return ClosedError("receive");
    if (m_tls) {
      ERR_clear_error();
      const int got = SSL_read(m_tls->ssl, buffer, static_cast<int>(std::min<size_t>(size, INT32_MAX)));
      if (got > 0) {
        n = static_cast<size_t>(got);
        return CRnError();
      }
      const int why = SSL_get_error(m_tls->ssl, got);
      if (why == SSL_ERROR_ZERO_RETURN) return ClosedError("receive");
      if (why != SSL_ERROR_WANT_READ) {
        // An alert (a refused client certificate) ends the session.
        CRnError err = TlsError("the TLS session ended");
        Close();
        return err;
      }
      (void)FlushTls();
    }
    const int ready = PollOne(m_fd, POLLIN, deadline);
    if (ready == 0) return Timeout("waiting for the server");
    if (ready < 0) return FXErrorUtil::ErrorErrNo(WZN_HERE, errno, "poll failed");
    const ssize_t got = ::recv(m_fd, buffer, size, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
    if (got <= 0) return ClosedError("receive");
    if (!m_tls) {
      n = static_cast<size_t>(got);
      return CRnError();
    }
    BIO_write(m_tls->in, buffer, static_cast<int>(got));
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
