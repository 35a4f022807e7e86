// The inside of CWzAsioNetworkServer (asio_network_server.h), private to
// hostlib/net. Its parts:
// - the server's start, stop and network thread: asio_network_server.cc;
// - its listeners and what they accept: asio_server_listeners.cc;
// - its table of connections and the admission of requests (the flow
//   control over all connections): asio_server_admission.cc;
// - one accepted connection: CAsioConnection, asio_server_connection.h.
//
// Locks: the server's m_lock and m_refusalLock, and each connection's own.
// None of them is taken while another is held.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <unordered_map>

// Asio's handler fences make GCC warn in ThreadSanitizer builds; its
// handler hand-over is covered by locks that the sanitizer does see.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wtsan"
#endif
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic pop
#endif

#include "hostlib/net/asio_network_server.h"
#include "hostlib/net/refusal_log.h"
#include "hostlib/util/wz_mutex.h"

namespace Wzn {

namespace asio = boost::asio;
using AsioClock = std::chrono::steady_clock;
using GenericSocket = asio::generic::stream_protocol::socket;

class CAsioConnection;

// Cancels a timer; a timer with nothing to cancel is no error.
void CancelQuietly(asio::steady_timer& timer);

}  // namespace Wzn

class CWzAsioNetworkServer::Impl {
 public:
  explicit Impl(CWzAsioNetworkServer* owner) : m_owner(owner) {}
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;
  ~Impl();

  CRnError Start(const WznServerConfig& config, IWzNetworkReceiver* receiver);
  void Stop();

  CRnError AcquireSession(WznHandle_t handle, CWzNetwork*& connection);
  CRnError ReleaseSession(WznHandle_t handle);
  // Gives back the place of a delivered request (CleanXmlBuffer).
  void ReleaseRequest(const CNMessageBase* message);
  size_t ConnectionCount() const;
  uint64_t RefusalCount(size_t kind) const { return m_refusalCounts[kind].load(std::memory_order_relaxed); }
  size_t RequestsInFlight() const;
  uint16_t TcpPort() const { return m_tcpPort; }
  // The TLS context of the TCP listener; null when it speaks clear text.
  Wzn::asio::ssl::context* TlsContext() { return m_tlsContext.get(); }
  std::string UnixPath() const { return m_unixPathCreated; }

  // Used by connections.
  const WznServerConfig& Config() const { return m_config; }
  Wzn::asio::io_context& Io() { return m_io; }
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
  // Reply bytes queued and not yet written count against the same budget
  // as requests in work: a connection with work waits while they fill it.
  void AddReplyBytes(size_t bytes);
  void ReleaseReplyBytes(size_t bytes);
  // Hands a message to the receiver; its place is held until CleanXmlBuffer.
  void DeliverXml(WznHandle_t handle, CNMessageBase* message, size_t bytes);
  void DeliverXdr(WznHandle_t handle, uint64_t id, const std::string& payload);
  // Logs a refused peer within the rate limit of its source.
  void LogRefusal(const std::string& source, const std::string& reason);

 private:
  struct Entry {
    std::shared_ptr<Wzn::CAsioConnection> connection;
    size_t sessions = 0;
    bool open = true;
    bool tcp = false;
    bool awaitingHello = false;
    bool waiting = false;  // in m_waiters
    std::string source;    // the peer's address, for the per-source hello limit
  };
  // A delivered request not yet freed.
  struct InWork {
    WznHandle_t handle;
    size_t bytes;
  };

  // Listeners (asio_server_listeners.cc).
  CRnError OpenUnixListener();
  CRnError AdoptListenFd(int fd);
  CRnError BindUnixPath(const std::string& path);
  CRnError OpenTcpListener();
  CRnError MakeTlsContext();
  void AcceptUnix();
  void AcceptTcp();
  void RetryAcceptLater(bool unix);
  void RemoveUnixSocketFile();

  // The table of connections (asio_server_admission.cc).
  // Why a new connection is refused ("" when it is not).
  std::string RefusalOfNew(bool tcp, bool needsHello, const std::string& source);
  void AddConnection(Wzn::GenericSocket socket, const std::string& peer, const std::string& source, bool tcp,
                     bool needsHello);
  // Gives back the hello place of a connection that no longer awaits one.
  void EndAwaitingHelloLocked(Entry& e) WZ_REQUIRES(m_lock);
  // The connection first in line for room, when there is room.
  std::shared_ptr<Wzn::CAsioConnection> NextWaiterLocked() WZ_REQUIRES(m_lock);
  void ArmRefusalFlush();
  void FlushRefusals(bool atEnd);

  void CloseEverything();
  void RunNetworkThread();

  CWzAsioNetworkServer* m_owner;
  // The io_context comes before everything that uses it, so that it is
  // destroyed last: handlers it still holds may own connections whose
  // sockets belong to it.
  Wzn::asio::io_context m_io;
  std::unique_ptr<Wzn::asio::executor_work_guard<Wzn::asio::io_context::executor_type>> m_work;
  std::unique_ptr<Wzn::asio::local::stream_protocol::acceptor> m_unixAcceptor;
  std::unique_ptr<Wzn::asio::ip::tcp::acceptor> m_tcpAcceptor;
  std::unique_ptr<Wzn::asio::ssl::context> m_tlsContext;
  std::unique_ptr<Wzn::asio::steady_timer> m_retryTimer;
  std::unique_ptr<Wzn::asio::steady_timer> m_refusalTimer;
  std::thread m_thread;

  WznServerConfig m_config;
  IWzNetworkReceiver* m_receiver = nullptr;
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
  mutable WzMutex m_lock;
  std::map<WznHandle_t, Entry> m_connections WZ_GUARDED_BY(m_lock);
  size_t m_unixCount WZ_GUARDED_BY(m_lock) = 0;
  size_t m_tcpCount WZ_GUARDED_BY(m_lock) = 0;
  size_t m_unauthenticatedCount WZ_GUARDED_BY(m_lock) = 0;
  std::unordered_map<std::string, size_t> m_unauthenticatedBySource WZ_GUARDED_BY(m_lock);
  std::unordered_map<const CNMessageBase*, InWork> m_inWork WZ_GUARDED_BY(m_lock);
  size_t m_requestsInWork WZ_GUARDED_BY(m_lock) = 0;
  size_t m_bytesInWork WZ_GUARDED_BY(m_lock) = 0;
  size_t m_replyBytes WZ_GUARDED_BY(m_lock) = 0;
  // The most reply bytes queued since the heap was last trimmed.
  size_t m_replyBytesPeak WZ_GUARDED_BY(m_lock) = 0;
  // Connections with work that wait for room, in order.
  std::deque<WznHandle_t> m_waiters WZ_GUARDED_BY(m_lock);

  WzMutex m_refusalLock;
  std::unique_ptr<Wzn::CRefusalLog> m_refusals WZ_GUARDED_BY(m_refusalLock);
  std::atomic<uint64_t> m_refusalCounts[Wzn::kRefusalKinds] = {};  // by Wzn::RefusalKind
};
