// The table of connections of CWzAsioNetworkServer: who may connect, the
// sessions the receiver holds, and the admission of requests, the flow
// control over all connections (asio_server_impl.h).
#include <malloc.h>

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "hostlib/log/LogWriter.h"
#include "hostlib/msg/CNMessageBase.h"
#include "hostlib/net/asio_server_connection.h"
#include "hostlib/net/asio_server_impl.h"
#include "hostlib/net/net_errors.h"

namespace asio = boost::asio;
using boost::system::error_code;

namespace {

// Reply bytes queued at once beyond which the heap is trimmed when they are
// all written or dropped.
constexpr size_t kTrimAfterReplyBytes = 8u << 20;

}  // namespace

std::string CWzAsioNetworkServer::Impl::RefusalOfNew(bool tcp, bool needsHello, const std::string& source) {
  WzMutexLock g(&m_lock);
  if (!tcp) return m_unixCount >= m_config.maxConnections ? "too many connections" : "";
  if (m_tcpCount >= m_config.maxTcpConnections) return "too many connections";
  if (!needsHello) return "";
  // One source reopening idle connections must not keep every other one out.
  auto mine = m_unauthenticatedBySource.find(source);
  if (mine != m_unauthenticatedBySource.end() && mine->second >= m_config.maxUnauthenticatedPerSource) {
    return "too many connections awaiting authentication from this address";
  }
  if (m_unauthenticatedCount >= m_config.maxUnauthenticated) return "too many connections awaiting authentication";
  return "";
}

void CWzAsioNetworkServer::Impl::EndAwaitingHelloLocked(Entry& e) {
  if (!e.awaitingHello) return;
  e.awaitingHello = false;
  --m_unauthenticatedCount;
  auto it = m_unauthenticatedBySource.find(e.source);
  if (it != m_unauthenticatedBySource.end() && --it->second == 0) m_unauthenticatedBySource.erase(it);
}

void CWzAsioNetworkServer::Impl::AddConnection(Wzn::GenericSocket socket, const std::string& peer,
                                               const std::string& source, bool tcp, bool needsHello) {
  const WznHandle_t handle = m_nextHandle.fetch_add(1);
  auto connection = std::make_shared<Wzn::CAsioConnection>(*this, handle, std::move(socket), peer, source, needsHello,
                                                           tcp ? m_tlsContext.get() : nullptr);
  {
    WzMutexLock g(&m_lock);
    Entry& e = m_connections[handle];
    e.connection = connection;
    e.tcp = tcp;
    e.awaitingHello = needsHello;
    e.source = source;
    ++(tcp ? m_tcpCount : m_unixCount);
    if (needsHello) {
      ++m_unauthenticatedCount;
      ++m_unauthenticatedBySource[source];
    }
  }
  WZLOG(2, "Connection %llu accepted from %s", static_cast<unsigned long long>(handle), peer.c_str());
  connection->Begin();
}

void CWzAsioNetworkServer::Impl::OnClosed(WznHandle_t handle) {
  std::shared_ptr<Wzn::CAsioConnection> next;
  {
    WzMutexLock g(&m_lock);
    auto it = m_connections.find(handle);
    if (it == m_connections.end() || !it->second.open) return;
    Entry& e = it->second;
    e.open = false;
    --(e.tcp ? m_tcpCount : m_unixCount);
    EndAwaitingHelloLocked(e);
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
  WzMutexLock g(&m_lock);
  auto it = m_connections.find(handle);
  if (it == m_connections.end()) return;
  EndAwaitingHelloLocked(it->second);
}

std::shared_ptr<Wzn::CAsioConnection> CWzAsioNetworkServer::Impl::NextWaiterLocked() {
  if (m_waiters.empty() || m_requestsInWork >= m_config.maxRequestsInFlight) return nullptr;
  auto it = m_connections.find(m_waiters.front());
  return it == m_connections.end() ? nullptr : it->second.connection;
}

bool CWzAsioNetworkServer::Impl::AdmitRequest(WznHandle_t handle, size_t bytes, bool nothingInWork) {
  std::shared_ptr<Wzn::CAsioConnection> next;
  {
    WzMutexLock g(&m_lock);
    auto it = m_connections.find(handle);
    if (it == m_connections.end()) return false;
    Entry& e = it->second;
    // A request alone on its connection never waits, so a client that
    // sends one request at a time is not held back by one that floods; the
    // bound is then one request per connection above the limits.
    const bool first = m_waiters.empty() || m_waiters.front() == handle;
    const bool room = (m_requestsInWork == 0 && m_replyBytes == 0) ||
                      (m_requestsInWork < m_config.maxRequestsInFlight &&
                       m_bytesInWork + m_replyBytes + bytes <= m_config.maxRequestBytesInFlight);
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
  std::shared_ptr<Wzn::CAsioConnection> next;
  {
    WzMutexLock g(&m_lock);
    --m_requestsInWork;
    m_bytesInWork -= bytes;
    next = NextWaiterLocked();
  }
  if (next) next->Resume();
}

void CWzAsioNetworkServer::Impl::AddReplyBytes(size_t bytes) {
  WzMutexLock g(&m_lock);
  m_replyBytes += bytes;
  m_replyBytesPeak = std::max(m_replyBytesPeak, m_replyBytes);
}

void CWzAsioNetworkServer::Impl::ReleaseReplyBytes(size_t bytes) {
  std::shared_ptr<Wzn::CAsioConnection> next;
  bool trim = false;
  {
    WzMutexLock g(&m_lock);
    m_replyBytes -= std::min(bytes, m_replyBytes);
    next = NextWaiterLocked();
    // Large replies gone: glibc keeps freed memory of its arenas unless told.
    if (m_replyBytes == 0 && m_replyBytesPeak >= kTrimAfterReplyBytes) {
      m_replyBytesPeak = 0;
      trim = true;
    }
  }
  if (next) next->Resume();
#if defined(__GLIBC__)
  if (trim) (void)malloc_trim(0);
#else
  (void)trim;
#endif
}

void CWzAsioNetworkServer::Impl::ReleaseRequest(const CNMessageBase* message) {
  std::shared_ptr<Wzn::CAsioConnection> owner;
  std::shared_ptr<Wzn::CAsioConnection> next;
  {
    WzMutexLock g(&m_lock);
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
  WzMutexLock g(&m_lock);
  return m_requestsInWork;
}

size_t CWzAsioNetworkServer::Impl::SessionsHeld(WznHandle_t handle) const {
  WzMutexLock g(&m_lock);
  auto it = m_connections.find(handle);
  return it == m_connections.end() ? 0 : it->second.sessions;
}

size_t CWzAsioNetworkServer::Impl::ConnectionCount() const {
  WzMutexLock g(&m_lock);
  return m_unixCount + m_tcpCount;
}

CRnError CWzAsioNetworkServer::Impl::AcquireSession(WznHandle_t handle, CWzNetwork*& connection) {
  connection = nullptr;
  WzMutexLock g(&m_lock);
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
  std::shared_ptr<Wzn::CAsioConnection> last;  // destroyed outside the lock
  WzMutexLock g(&m_lock);
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
    WzMutexLock g(&m_lock);
    m_inWork[message] = InWork{handle, bytes};
  }
  try {
    CRnError err = m_receiver->IncomingMsgXMLCallback(CWzNetworkServer::WZN_CB_RECEIVED, m_owner, handle, message);
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
    CRnError err = m_receiver->IncomingMsgXDRCallback(CWzNetworkServer::WZN_CB_RECEIVED, m_owner, handle,
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

void CWzAsioNetworkServer::Impl::LogRefusal(const std::string& source, const std::string& reason) {
  m_refusalCounts[static_cast<size_t>(Wzn::ClassifyRefusal(reason))].fetch_add(1, std::memory_order_relaxed);
  std::vector<std::string> lines;
  {
    WzMutexLock g(&m_refusalLock);
    if (m_refusals) lines = m_refusals->Note(source, reason, Wzn::AsioClock::now());
  }
  for (const std::string& line : lines) WZLOG(-1, "%s", line.c_str());
}

void CWzAsioNetworkServer::Impl::FlushRefusals(bool atEnd) {
  std::vector<std::string> lines;
  {
    WzMutexLock g(&m_refusalLock);
    if (m_refusals) lines = m_refusals->Flush(Wzn::AsioClock::now(), atEnd);
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
