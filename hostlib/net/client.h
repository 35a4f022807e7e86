// The client side of the host's frame protocol, for the command-line client,
// the integration tests and the benchmarks: one connection over a Unix
// socket or TCP, blocking calls with time-outs, no exceptions.
//
// Results: time-outs fail with Win32 code 1460 (IsTimeout), a connection
// that is or becomes closed with 2250 (IsClosed); a frame that breaks the
// protocol with 13. A time-out leaves the connection usable (the reply may
// still come); a closed connection stays closed.
//
// Thread safety: one thread at a time per client object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "hostlib/errors/CRnError.h"
#include "hostlib/net/WzNetwork.h"
#include "hostlib/net/frame.h"

class CNMessageBase;

// How a client speaks to a TCP endpoint. TLS unless plain is set; the
// server's certificate is checked against caFile (the system's CAs when
// empty) and, with checkHost, against the endpoint's host name or address.
struct WznClientTls {
  bool plain = false;  // clear text (a daemon with PlainTcpOnLoopback=yes)
  std::string caFile;
  std::string certFile;  // the client's own certificate and key, PEM,
  std::string keyFile;   // for a daemon that asks for one
  bool checkHost = true;
};

class WZ_EXPORT CWzClient {
 public:
  // maxFrameBytes: the largest payload accepted from the server.
  explicit CWzClient(size_t maxFrameBytes = 64u << 20);
  // Closes the socket without a disconnect notice.
  ~CWzClient();
  CWzClient(const CWzClient&) = delete;
  CWzClient& operator=(const CWzClient&) = delete;

  // endpoint: "HOST:PORT" (also "[v6-address]:PORT") when it holds a colon
  // and no slash, otherwise a Unix socket path. A non-empty token is sent
  // in a hello frame right after connecting.
  // A TCP endpoint speaks TLS as SetTls says (before Connect).
  CRnError Connect(const std::string& endpoint, const std::string& token = "", int timeoutMs = 10000);
  bool IsConnected() const { return m_fd >= 0; }
  void SetTls(const WznClientTls& tls) { m_tlsOptions = tls; }

  CRnError SendMessage(const CNMessageBase& message);
  // Waits up to timeoutMs (negative: no limit) for the next XML message.
  // An error notice from the server is remembered (ServerError) and the
  // call goes on to see the close that follows. out is null on failure.
  CRnError ReceiveReply(std::unique_ptr<CNMessageBase>& out, int timeoutMs);
  // SendMessage then ReceiveReply.
  CRnError Call(const CNMessageBase& request, std::unique_ptr<CNMessageBase>& reply, int timeoutMs);
  CRnError SendXdr(uint64_t messageId, const std::string& bytes);
  // Writes bytes as they are: for tests that feed the server bad input.
  CRnError SendRaw(const std::string& bytes);
  // Any next frame, as received.
  CRnError ReceiveFrame(Wzn::Frame& frame, int timeoutMs);

  // Sends the disconnect notice, waits for the reply (messages arriving
  // before it are dropped) and closes.
  CRnError Disconnect(int timeoutMs = 10000);
  // Sends the abort notice, waits for the reply with its status record and
  // closes.
  CRnError Abort(WznStatus_t& status, int timeoutMs = 10000);
  // Closes without telling the server.
  void Close();

  // The text of the last error notice from the server ("" when none).
  const std::string& ServerError() const { return m_serverError; }
  // How long a send may wait for the socket to take data (default 30 s).
  void SetSendTimeoutMs(int timeoutMs) { m_sendTimeoutMs = timeoutMs; }

  static bool IsTimeout(const CRnError& error);
  static bool IsClosed(const CRnError& error);

 private:
  CRnError ConnectUnix(const std::string& path, int timeoutMs);
  CRnError ConnectTcp(const std::string& hostPort, int timeoutMs);
  CRnError FinishConnect(int fd, int timeoutMs);
  CRnError WaitForControl(Wzn::ControlType type, Wzn::ControlMessage& out, int timeoutMs);
  CRnError TlsHandshake(const std::string& host, int timeoutMs);
  CRnError WriteAll(const std::string& bytes);
  CRnError WriteRaw(const char* data, size_t size);
  // Whatever TLS has to send, to the socket.
  CRnError FlushTls();
  // Reads some bytes of the stream (decrypted on TLS) into buffer: n > 0, or
  // a closed or time-out error.
  CRnError ReadSome(char* buffer, size_t size, int timeoutMs, size_t& n);
  std::string PendingNotice();
  CRnError ClosedError(const char* what);

  struct Tls;
  WznClientTls m_tlsOptions;
  std::unique_ptr<Tls> m_tls;  // on a TLS connection
  int m_fd = -1;
  int m_sendTimeoutMs = 30000;
  Wzn::CFrameDecoder m_decoder;
  std::string m_in;  // received bytes not yet fed to the decoder, from m_inPos
  size_t m_inPos = 0;
  std::string m_serverError;
};
