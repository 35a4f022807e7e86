// The host's socket server: accepts connections on a Unix socket (the
// default endpoint) and optionally on TCP, turns frames into messages and
// hands them to its receiver (IWzNetworkReceiver: the service, or what the
// host puts in front of it), and carries the replies back. Built on
// Boost.Asio with one network thread. The parts: asio_server_impl.h.
//
// Callbacks: IncomingMsgXMLCallback and IncomingMsgXDRCallback run on the
// network thread; the receiver must only queue work there. A message handed
// to IncomingMsgXMLCallback belongs to the receiver, which frees it with
// CleanXmlBuffer. An XDR buffer is valid during the call only.
//
// Connections: each gets a handle from a 64-bit counter starting at 1, never
// reused. AcquireSession keeps the connection object alive until the
// matching ReleaseSession, even when its socket closes meanwhile; the
// connection then reports IsConnectionGood false and refuses sends.
// Replies sent on one connection go out in the order of the send calls.
//
// Flow control: a request is in work from its delivery until the service
// frees it with CleanXmlBuffer. A connection is not read while its requests
// in work and its replies not yet written reach maxRequestsPerConnection,
// and a connection that already has a request in work (or a reply not yet
// written) is not read while the server's requests, or the bytes of its
// requests in work and replies unwritten, are at their limits (those
// connections are then served in the order they began to wait). So memory
// and the service's queue stay bounded whatever clients send, and a client
// that sends one request at a time is never held back by one that floods.
// A send only queues the reply: it never waits for the peer. A connection
// whose unsent replies would pass maxUnsentBytes (a reply is always taken
// when nothing else waits), or that does not take a reply within the send's
// time-out, is closed.
//
// Bad input (a malformed or oversized frame, XML that does not parse, a peer
// that fails authentication, an idle connection, one connection too many)
// closes that connection with one log line; the server and every other
// connection go on. Refusals of peers that have not authenticated are
// logged once per source and interval, with a count.
//
// Thread safety: Start and Stop from one controlling thread (never from a
// callback, which runs on the network thread Stop joins); every other
// operation, and every CWzNetwork operation of a connection, from any
// thread; none of them waits for a peer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "hostlib/errors/CRnError.h"
#include "hostlib/net/WzNetwork.h"

// Where the daemon listens when nothing else is configured.
constexpr const char* kWznDefaultUnixSocketPath = "/run/wzscsi/wzscsid.sock";

struct WZ_EXPORT WznServerConfig {
  // Unix socket to create (mode 0600, or 0660 owned by allowedGroup when one
  // is set); a stale socket file is replaced, a live one is an error; the
  // file is removed at Stop. Empty: no Unix socket of our own.
  std::string unixPath = kWznDefaultUnixSocketPath;
  // Serve the first socket passed by systemd (LISTEN_FDS/LISTEN_PID) instead
  // of binding unixPath.
  bool systemdActivation = false;
  // Serve this already listening Unix socket instead of binding unixPath;
  // the server takes it over and closes it at Stop (also when Start fails).
  int listenFd = -1;
  // "HOST:PORT" for an extra TCP listener (host defaults to 127.0.0.1; port
  // 0 picks a free one). Empty: none. Start refuses a TCP listener without
  // a token, and one without TLS unless plainTcpOnLoopback allows it.
  std::string tcpEndpoint;
  // Required in a hello as the first frame on TCP, whatever the address: a
  // TCP peer has no credentials that the Unix socket's checks could read.
  std::string token;
  // TLS on the TCP listener: the server's certificate (chain) and key, PEM.
  std::string tlsCertFile;
  std::string tlsKeyFile;
  // CA certificates (PEM) that a client certificate must verify against; a
  // client that presents one that does not is refused.
  std::string tlsCaFile;
  // Refuse TLS clients without a certificate that verifies (needs tlsCaFile).
  bool tlsRequireClientCert = false;
  // A TCP listener without TLS, allowed on a loopback address only (the
  // token then crosses loopback in clear text).
  bool plainTcpOnLoopback = false;
  // Unix-socket peers in this group pass, besides root and our own uid.
  std::string allowedGroup;
  // Largest payload accepted in one frame (from an authenticated peer; a
  // peer that owes its hello may send only a hello).
  size_t maxFrameBytes = 1u << 20;
  // A connection with no traffic and no request in work for this long is
  // closed. 0: never.
  int idleTimeoutSecs = 300;
  // Unix-socket connections beyond this many are refused; TCP connections
  // never take these places.
  size_t maxConnections = 1024;
  // TCP connections beyond this many are refused.
  size_t maxTcpConnections = 256;
  // TCP connections that have not yet presented their token, beyond this
  // many in all or this many from one source address, are refused.
  size_t maxUnauthenticated = 32;
  size_t maxUnauthenticatedPerSource = 8;
  // A TCP peer that owes a hello and has not sent it within this time is
  // closed.
  int helloTimeoutSecs = 5;
  // Requests in work plus replies not yet written, per connection, at which
  // the connection is no longer read until they drain.
  size_t maxRequestsPerConnection = 32;
  // Requests in work, and their bytes with those of replies not yet
  // written, over all connections, at which connections that already have a
  // request in work or a reply unwritten wait.
  size_t maxRequestsInFlight = 256;
  size_t maxRequestBytesInFlight = 16u << 20;
  // Bytes of replies queued and not yet written on one connection beyond
  // which it is closed.
  size_t maxUnsentBytes = 64u << 20;
  // Refusals of one source are logged once per this interval, with a count.
  int refusalLogSecs = 60;
};

class WZ_EXPORT CWzAsioNetworkServer : public CWzNetworkServer {
 public:
  CWzAsioNetworkServer();
  // Stops the server when it still runs.
  ~CWzAsioNetworkServer() override;
  CWzAsioNetworkServer(const CWzAsioNetworkServer&) = delete;
  CWzAsioNetworkServer& operator=(const CWzAsioNetworkServer&) = delete;

  // Opens the listeners and starts the network thread. The receiver must
  // outlive Stop. A server starts once; Start after Stop fails.
  CRnError Start(const WznServerConfig& config, IWzNetworkReceiver* receiver);
  // Closes the listeners and every connection (replies not yet written are
  // dropped), joins the network thread and removes the Unix socket file.
  // Sessions still acquired stay valid (and not good) until released;
  // requests still in work are freed with CleanXmlBuffer as before.
  void Stop();

  // The bound TCP port (useful with port 0); 0 without a TCP listener.
  uint16_t TcpPort() const;
  // The Unix socket path created by Start ("" when none was created).
  std::string UnixPath() const;
  // Connections currently open.
  size_t ConnectionCount() const;
  // Requests delivered to the service and not yet freed.
  size_t RequestsInFlight() const;
  // Connections refused since Start, by kind (Wzn::RefusalKindName), every
  // kind listed.
  std::vector<std::pair<std::string, uint64_t>> RefusalCounts() const;

  // Fails with Win32 code 1168 for an unknown handle and 2250 for a closed
  // connection.
  CRnError AcquireSession(WznHandle_t handle, CWzNetwork*& connection) override;
  CRnError ReleaseSession(WznHandle_t handle) override;
  // Deletes the message and sets the pointer to null; the request's place
  // in the flow control is given back.
  void CleanXmlBuffer(CNMessageBase*& message) override;

  class Impl;

 private:
  std::unique_ptr<Impl> m_impl;
};
