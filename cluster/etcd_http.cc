#include "cluster/etcd_http.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <cerrno>
#include <exception>
#include <limits>
#include <vector>

#include "cluster/etcd_codec.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Clock = WzEtcdHttpConnection::Clock;

namespace {

// The gateway passes "Grpc-Metadata-*" headers on as gRPC metadata, and
// etcd's "hasleader" metadata makes a member without a leader refuse at once
// (and cancel such a watch when it loses its leader) rather than wait.
constexpr const char* kRequireLeaderHeader = "Grpc-Metadata-hasleader";

// "the cluster configuration store is unavailable: <url>: <what>"
CRnError Unavailable(const std::string& url, const std::string& what) {
  return FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrUnavailable, "%s: %s: %s", WzEtcd::kUnavailableText,
                                 url.c_str(), what.c_str());
}

CRnError OutcomeUnknown(const std::string& url, const std::string& what) {
  return FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrOutcomeUnknown, "%s: %s: %s", WzEtcd::kUnavailableText,
                                 url.c_str(), what.c_str());
}

// A member that vanished without a FIN or RST (power loss, a partition, a
// half-open connection) is noticed within about ten seconds on an idle
// connection (keepalive probes) and on one with unacknowledged data (the
// user timeout), instead of after the system's two hours.
void SetKeepAlive(int fd) {
  const int on = 1, idle = 4, interval = 2, count = 3, userTimeoutMs = 10000;
  (void)::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs);
}

}  // namespace

struct WzEtcdTlsContext::Impl {
  ssl::context context{ssl::context::tls_client};
};

WzEtcdTlsContext::WzEtcdTlsContext() : m_impl(new Impl()) {}

WzEtcdTlsContext::~WzEtcdTlsContext() = default;

CRnError WzEtcdTlsContext::Create(const std::string& caFile, const std::string& certFile, const std::string& keyFile,
                                  std::shared_ptr<WzEtcdTlsContext>& out) {
  out.reset();
  if (certFile.empty() != keyFile.empty()) {
    return FXErrorUtil::ErrorWin32(WZETCD_HERE, ERROR_INVALID_PARAMETER,
                                   "a client certificate for etcd needs both its certificate and its key file");
  }
  std::shared_ptr<WzEtcdTlsContext> tls(new WzEtcdTlsContext());
  ssl::context& ctx = tls->m_impl->context;
  beast::error_code ec;
  ctx.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 | ssl::context::no_sslv3 |
                      ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1,
                  ec);
  auto bad = [&](const char* what, const std::string& file) {
    return FXErrorUtil::ErrorWin32(WZETCD_HERE, ERROR_INVALID_PARAMETER, "cannot load the etcd TLS %s \"%s\": %s", what,
                                   file.c_str(), ec.message().c_str());
  };
  if (caFile.empty()) {
    if (ctx.set_default_verify_paths(ec)) return bad("system certificates", "");
  } else if (ctx.load_verify_file(caFile, ec)) {
    return bad("CA file", caFile);
  }
  if (!certFile.empty()) {
    if (ctx.use_certificate_chain_file(certFile, ec)) return bad("certificate", certFile);
    if (ctx.use_private_key_file(keyFile, ssl::context::pem, ec)) return bad("key", keyFile);
  }
  ctx.set_verify_mode(ssl::verify_peer, ec);
  out = std::move(tls);
  return CRnError();
}

struct WzEtcdHttpConnection::Impl {
  Impl(const WzEtcdEndpoint& ep, size_t maxBytes, std::shared_ptr<WzEtcdTlsContext> tlsCtx)
      : endpoint(ep), url(ep.Url()), maxAnswerBytes(maxBytes), tlsContext(std::move(tlsCtx)) {}

  // The TCP stream under the connection, plain or TLS.
  beast::tcp_stream& Tcp() { return tls ? beast::get_lowest_layer(*tls) : stream; }
  // Calls operation with the stream requests are written to and read from.
  template <class Operation>
  beast::error_code WithStream(Operation&& operation) {
    if (tls) return operation(*tls);
    return operation(stream);
  }

  // Starts one asynchronous operation through start(handler) and runs the
  // context until it completes; the stream closes itself at the deadline
  // and the operation then fails with beast::error::timeout.
  template <class Start>
  beast::error_code Run(Clock::time_point deadline, Start&& start) {
    if (interrupted.load()) return asio::error::operation_aborted;
    if (deadline == Clock::time_point::max()) {
      Tcp().expires_never();
    } else {
      Tcp().expires_at(deadline);
    }
    beast::error_code result = asio::error::would_block;
    bool done = false;
    start([&result, &done](beast::error_code ec, std::size_t) {
      result = ec;
      done = true;
    });
    ioc.restart();
    ioc.run();
    // Handlers refer to this frame: an operation left pending would call
    // into a dead one, so the connection is never run again.
    if (!done) {
      broken = true;
      return asio::error::operation_aborted;
    }
    return result;
  }

  // Runs one public operation: what it throws stops here and retires the
  // connection (an operation may be left pending); any error closes it.
  template <class Operation>
  CRnError Guarded(const char* what, Operation&& operation) {
    CRnError err;
    try {
      err = operation();
    } catch (const std::exception& ex) {
      broken = true;
      err = FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrUnavailable, "%s: %s on %s stopped by exception: %s",
                                    WzEtcd::kUnavailableText, what, url.c_str(), ex.what());
    } catch (...) {
      broken = true;
      err = FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrUnavailable, "%s: %s on %s stopped by an exception",
                                    WzEtcd::kUnavailableText, what, url.c_str());
    }
    if (err) CloseSocket();
    return err;
  }

  CRnError Connect(Clock::time_point deadline);
  CRnError Send(const std::string& path, const std::string& body, bool requireLeader, Clock::time_point deadline);
  CRnError ReadWholeAnswer(http::response_parser<http::string_body>& parser, Clock::time_point deadline);
  // Without TLS's close_notify: a member takes a closed connection as
  // closed either way.
  void CloseSocket() {
    beast::error_code ignored;
    Tcp().socket().shutdown(tcp::socket::shutdown_both, ignored);
    Tcp().close();
    tls.reset();
    connected = false;
    streamParser.reset();
  }

  const WzEtcdEndpoint endpoint;
  const std::string url;
  const size_t maxAnswerBytes;
  const std::shared_ptr<WzEtcdTlsContext> tlsContext;
  asio::io_context ioc{1};
  beast::tcp_stream stream{ioc};                              // http
  std::unique_ptr<beast::ssl_stream<beast::tcp_stream>> tls;  // https, one per connection
  beast::flat_buffer buffer;
  bool connected = false;
  // An operation was left pending or an exception crossed a run: the
  // connection is never used again.
  bool broken = false;
  std::atomic<bool> interrupted{false};
  // The answer being streamed (OpenStream), null otherwise.
  std::unique_ptr<http::response_parser<http::string_body>> streamParser;
};

CRnError WzEtcdHttpConnection::Impl::Connect(Clock::time_point deadline) {
  std::vector<tcp::endpoint> addresses;
  beast::error_code ec;
  const asio::ip::address address = asio::ip::make_address(endpoint.host, ec);
  const bool byAddress = !ec;
  if (byAddress) {
    addresses.emplace_back(address, endpoint.port);
  } else {
    // Names go through the system resolver, which the deadline does not
    // bound: configurations should name members by address.
    tcp::resolver resolver(ioc);
    const auto results = resolver.resolve(endpoint.host, std::to_string(endpoint.port), ec);
    if (ec) return Unavailable(url, "cannot resolve the name: " + ec.message());
    for (const auto& r : results) addresses.push_back(r.endpoint());
  }
  buffer.clear();
  const bool https = endpoint.scheme == WzEtcdEndpoint::Scheme::kHttps;
  if (https) {
    if (!tlsContext) return Unavailable(url, "https without TLS settings");
    tls.reset(new beast::ssl_stream<beast::tcp_stream>(ioc, tlsContext->Get().context));
    // The member's certificate must name the host or address we dialled.
    if (!byAddress && !SSL_set_tlsext_host_name(tls->native_handle(), endpoint.host.c_str())) {
      return Unavailable(url, "cannot set the TLS server name");
    }
    tls->set_verify_callback(ssl::host_name_verification(endpoint.host));
  }
  ec = Run(deadline, [&](auto handler) {
    Tcp().async_connect(addresses, [handler](beast::error_code e, const tcp::endpoint&) mutable { handler(e, 0); });
  });
  if (ec == beast::error::timeout) return Unavailable(url, "no connection before the deadline");
  if (ec) return Unavailable(url, "cannot connect: " + ec.message());
  Tcp().socket().set_option(tcp::no_delay(true), ec);
  SetKeepAlive(Tcp().socket().native_handle());
  if (https) {
    ec = Run(deadline, [&](auto handler) {
      tls->async_handshake(ssl::stream_base::client, [handler](beast::error_code e) mutable { handler(e, 0); });
    });
    if (ec == beast::error::timeout) return Unavailable(url, "no TLS handshake before the deadline");
    if (ec) return Unavailable(url, "TLS handshake failed: " + ec.message());
  }
  connected = true;
  return CRnError();
}

CRnError WzEtcdHttpConnection::Impl::Send(const std::string& path, const std::string& body, bool requireLeader,
                                          Clock::time_point deadline) {
  if (broken) return Unavailable(url, "the connection is unusable");
  if (interrupted.load()) return Unavailable(url, "the request was interrupted");
  streamParser.reset();
  if (!connected) {
    if (CRnError err = Connect(deadline)) return err;
  }
  http::request<http::string_body> request{http::verb::post, path, 11};
  request.set(http::field::host, endpoint.HostPort());
  request.set(http::field::content_type, "application/json");
  if (requireLeader) request.set(kRequireLeaderHeader, "true");
  request.keep_alive(true);
  request.body() = body;
  request.prepare_payload();
  const beast::error_code ec = WithStream(
      [&](auto& s) { return Run(deadline, [&](auto handler) { http::async_write(s, request, std::move(handler)); }); });
  // A request etcd did not receive whole is one it cannot act on.
  if (ec == beast::error::timeout) return Unavailable(url, "the request was not taken before the deadline");
  if (ec) return Unavailable(url, "cannot send: " + ec.message());
  return CRnError();
}

CRnError WzEtcdHttpConnection::Impl::ReadWholeAnswer(http::response_parser<http::string_body>& parser,
                                                     Clock::time_point deadline) {
  const beast::error_code ec = WithStream([&](auto& s) {
    return Run(deadline, [&](auto handler) { http::async_read(s, buffer, parser, std::move(handler)); });
  });
  if (ec == beast::error::timeout) {
    return OutcomeUnknown(url, "no answer before the deadline; the request may still take effect");
  }
  if (ec == http::error::body_limit) {
    return FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrBadAnswer, "the answer of %s is larger than %zu bytes",
                                   url.c_str(), maxAnswerBytes);
  }
  if (ec) {
    return OutcomeUnknown(
        url, "the connection closed before the answer (" + ec.message() + "); the request may have taken effect");
  }
  return CRnError();
}

WzEtcdHttpConnection::WzEtcdHttpConnection(const WzEtcdEndpoint& endpoint, size_t maxAnswerBytes,
                                           std::shared_ptr<WzEtcdTlsContext> tls)
    : m_impl(new Impl(endpoint, maxAnswerBytes, std::move(tls))) {}

WzEtcdHttpConnection::~WzEtcdHttpConnection() = default;

const WzEtcdEndpoint& WzEtcdHttpConnection::Endpoint() const { return m_impl->endpoint; }

bool WzEtcdHttpConnection::Reusable() {
  Impl& s = *m_impl;
  if (!s.connected || s.broken || s.streamParser || s.interrupted.load()) return false;
  // A member that restarted closed its end while the connection sat idle:
  // the next request would be written into the void. Over TLS, bytes may
  // wait that are not an answer (session tickets, a close alert before the
  // close itself), so only the peer's shutdown counts there.
  struct pollfd p = {s.Tcp().socket().native_handle(), POLLIN | POLLRDHUP, 0};
  if (::poll(&p, 1, 0) < 0) return false;
  if (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) return false;
  return s.tls || !(p.revents & POLLIN);
}

CRnError WzEtcdHttpConnection::Post(const std::string& path, const std::string& body, bool requireLeader,
                                    Clock::time_point deadline, int& status, std::string& answer) {
  Impl& s = *m_impl;
  return s.Guarded("a request", [&]() -> CRnError {
    if (CRnError sendErr = s.Send(path, body, requireLeader, deadline)) return sendErr;
    http::response_parser<http::string_body> parser;
    parser.body_limit(s.maxAnswerBytes);
    if (CRnError readErr = s.ReadWholeAnswer(parser, deadline)) return readErr;
    status = parser.get().result_int();
    answer = std::move(parser.get().body());
    if (!parser.get().keep_alive()) s.CloseSocket();
    return CRnError();
  });
}

CRnError WzEtcdHttpConnection::OpenStream(const std::string& path, const std::string& body, bool requireLeader,
                                          Clock::time_point deadline) {
  Impl& s = *m_impl;
  return s.Guarded("opening a stream", [&]() -> CRnError {
    if (CRnError sendErr = s.Send(path, body, requireLeader, deadline)) return sendErr;
    s.streamParser.reset(new http::response_parser<http::string_body>());
    // Lines are taken out as they arrive: only what is unread is held.
    s.streamParser->body_limit(std::numeric_limits<std::uint64_t>::max());
    const beast::error_code ec = s.WithStream([&](auto& stream) {
      return s.Run(deadline, [&](auto handler) {
        http::async_read_header(stream, s.buffer, *s.streamParser, std::move(handler));
      });
    });
    if (ec == beast::error::timeout) return Unavailable(s.url, "no answer before the deadline");
    if (ec) return Unavailable(s.url, "the connection closed before the answer: " + ec.message());
    const int status = s.streamParser->get().result_int();
    if (status == 200) return CRnError();
    // An error answer is short and complete: read it to say why.
    const beast::error_code bodyEc = s.WithStream([&](auto& stream) {
      return s.Run(deadline,
                   [&](auto handler) { http::async_read(stream, s.buffer, *s.streamParser, std::move(handler)); });
    });
    const std::string answer = bodyEc ? std::string() : s.streamParser->get().body();
    if (CRnError serverErr = WzEtcdCodec::ServerError(answer, s.url)) return serverErr;
    return FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrRefused, "etcd at %s answered HTTP %d to %s: %s",
                                   s.url.c_str(), status, path.c_str(), answer.substr(0, 200).c_str());
  });
}

CRnError WzEtcdHttpConnection::ReadLine(std::string& line, Clock::time_point deadline) {
  Impl& s = *m_impl;
  return s.Guarded("reading a stream", [&]() -> CRnError {
    if (!s.streamParser) return Unavailable(s.url, "no stream is open");
    for (;;) {
      std::string& body = s.streamParser->get().body();
      const size_t newline = body.find('\n');
      if (newline != std::string::npos) {
        line.assign(body, 0, newline);
        body.erase(0, newline + 1);
        return CRnError();
      }
      if (s.streamParser->is_done()) {
        if (!body.empty()) {
          line.swap(body);
          body.clear();
          return CRnError();
        }
        return Unavailable(s.url, "the member ended the stream");
      }
      const beast::error_code ec = s.WithStream([&](auto& stream) {
        return s.Run(deadline, [&](auto handler) {
          http::async_read_some(stream, s.buffer, *s.streamParser, std::move(handler));
        });
      });
      if (s.interrupted.load()) return Unavailable(s.url, "the stream was interrupted");
      if (ec == beast::error::timeout) return Unavailable(s.url, "nothing came before the deadline");
      if (ec) return Unavailable(s.url, "lost the connection: " + ec.message());
    }
  });
}

void WzEtcdHttpConnection::Interrupt() {
  Impl* s = m_impl.get();
  s->interrupted.store(true);
  // Runs on the thread that runs the context (now or at its next run): a
  // pending read then completes at once with operation_aborted.
  asio::post(s->ioc, [s]() {
    beast::error_code ignored;
    s->Tcp().socket().cancel(ignored);
  });
}

bool WzEtcdHttpConnection::Interrupted() const { return m_impl->interrupted.load(); }

void WzEtcdHttpConnection::Close() { m_impl->CloseSocket(); }
