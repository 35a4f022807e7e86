// The network layer as the service sees it: a server that turns connection
// handles into connections and owns the received messages, a connection
// that replies, and the receiver the server hands messages to. The socket implementation lives in hostlib/net (Asio);
// an in-process one for tests in tests/support/hostlib/wz_test_network.h.
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "hostlib/errors/CRnError.h"

class CNMessageBase;

// 64-bit connection handle; a handle is never reused while a session on it
// is acquired.
typedef uint64_t WznHandle_t;

// An XDR-encoded message's payload as received. The buffer belongs to the
// network layer and is valid during the callback only.
struct wzsDatabuf_v2 {
  const uint8_t* data = nullptr;
  size_t length = 0;
};

// Status record sent with an abort notice.
struct WznStatus_t {
  int32_t status = 0;
  int32_t subStatus = 0;
  int32_t reason = 0;
};

class WZ_EXPORT CWzNetwork {
 public:
  virtual ~CWzNetwork();
  // Queues a reply behind those already queued and returns without waiting
  // for the peer, so a caller may hold its own locks. flags: 0; timeoutSecs:
  // the peer must take the reply within this time, or the connection is
  // closed. Fails, with disconnected set, when the connection is closed or
  // the reply cannot be queued (the connection is then closed).
  virtual CRnError SendXMLMessage(CNMessageBase* message, int flags, int timeoutSecs, bool& disconnected) = 0;
  // Answers a disconnect notice and closes the connection once the answer
  // is out (or after timeoutSecs); never waits either.
  virtual CRnError ReplyDisconnect(int timeoutSecs, bool& disconnected) = 0;
  // Answers an abort notice with the status record and closes, the same way.
  virtual CRnError AbortConnection(const WznStatus_t& status, int timeoutSecs, bool& disconnected) = 0;
  virtual bool IsConnectionGood() = 0;
  // Who is at the other end, for the audit lines of the log: "uid 0 (pid
  // 1234)" for a Unix-socket peer (its credentials when it connected),
  // "127.0.0.1:40312" for TCP. Fixed for the connection's life.
  virtual std::string PeerName() const { return "an unknown peer"; }
};

class WZ_EXPORT CWzNetworkServer {
 public:
  enum WznCallback_e : int {
    WZN_CB_CONNECTED = 0,
    WZN_CB_DISCONNECTED = 1,
    WZN_CB_ERROR = 2,
    WZN_CB_RECEIVED = 3,  // a received message: the only kind the service serves
  };

  virtual ~CWzNetworkServer();
  // Turns a handle into its connection and keeps it alive until
  // ReleaseSession; fails when the connection is unknown or closed.
  virtual CRnError AcquireSession(WznHandle_t handle, CWzNetwork*& connection) = 0;
  virtual CRnError ReleaseSession(WznHandle_t handle) = 0;
  // Frees a received message and sets the pointer to null. Every delivered
  // message must come back here: the server counts it as in work until then.
  virtual void CleanXmlBuffer(CNMessageBase*& message) = 0;
};

// What a network server hands what it receives to: the service, or a host
// object in front of it. The same two callbacks as the service interface's
// (IOnDemandSvcInterface, hostlib/svchost), so that the network layer needs
// nothing of the service host. Both run on the server's network thread and
// must only queue work there; a received message belongs to the receiver,
// which frees it with CleanXmlBuffer; an XDR buffer is valid during the call
// only.
class WZ_EXPORT IWzNetworkReceiver {
 public:
  virtual ~IWzNetworkReceiver();
  virtual CRnError IncomingMsgXMLCallback(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server,
                                          WznHandle_t handle, CNMessageBase* message) = 0;
  virtual CRnError IncomingMsgXDRCallback(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server,
                                          WznHandle_t handle, unsigned long messageId, wzsDatabuf_v2* buffer) = 0;
};

// Tag ids of the network layer's connection-control notices.
constexpr uint32_t WZN_TAG_DISCONNECT = 0x09000102u;
constexpr uint32_t WZN_TAG_ABORT = 0x09000103u;
