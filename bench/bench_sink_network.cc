#include "bench/bench_sink_network.h"

#include <chrono>

#include "messages/WzScsiServerMessages.h"

namespace {
constexpr long kErrorNotFound = 1168;
}  // namespace

class BenchSinkNetwork::Connection : public CWzNetwork {
 public:
  Connection(BenchSinkNetwork* server, WznHandle_t handle) : m_server(server), m_handle(handle) {}

  CRnError SendXMLMessage(CNMessageBase* message, int, int, bool& disconnected) override {
    disconnected = false;
    if (message == nullptr) return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), 87, "null message");
    int64_t code = -1;
    auto* reply = dynamic_cast<WzScsiServer::Reply*>(message);
    if (reply != nullptr && reply->error() != nullptr) code = reply->error()->errorCode();
    m_server->Record(m_handle, code);
    return CRnError();
  }
  CRnError ReplyDisconnect(int, bool& disconnected) override {
    disconnected = true;
    return CRnError();
  }
  CRnError AbortConnection(const WznStatus_t&, int, bool& disconnected) override {
    disconnected = true;
    return CRnError();
  }
  bool IsConnectionGood() override { return true; }

 private:
  BenchSinkNetwork* m_server;
  WznHandle_t m_handle;
};

BenchSinkNetwork::BenchSinkNetwork() = default;
BenchSinkNetwork::~BenchSinkNetwork() = default;

WznHandle_t BenchSinkNetwork::Connect() {
  std::lock_guard<std::mutex> g(m_lock);
  WznHandle_t h = m_nextHandle++;
  m_connections[h].connection = std::make_unique<Connection>(this, h);
  return h;
}

size_t BenchSinkNetwork::ReplyCount(WznHandle_t handle) const {
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_connections.find(handle);
  return it == m_connections.end() ? 0 : it->second.replies;
}

bool BenchSinkNetwork::WaitForReplies(WznHandle_t handle, size_t count, int timeoutMs) const {
  std::unique_lock<std::mutex> g(m_lock);
  return m_changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
    auto it = m_connections.find(handle);
    return it != m_connections.end() && it->second.replies >= count;
  });
}

int64_t BenchSinkNetwork::LastReplyCode(WznHandle_t handle) const {
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_connections.find(handle);
  return it == m_connections.end() ? -1 : it->second.lastCode;
}

size_t BenchSinkNetwork::FreedMessages() const {
  std::lock_guard<std::mutex> g(m_lock);
  return m_freed;
}

CRnError BenchSinkNetwork::AcquireSession(WznHandle_t handle, CWzNetwork*& connection) {
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_connections.find(handle);
  if (it == m_connections.end())
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("bench"), kErrorNotFound, "unknown handle %llu",
                                   static_cast<unsigned long long>(handle));
  connection = it->second.connection.get();
  return CRnError();
}

CRnError BenchSinkNetwork::ReleaseSession(WznHandle_t) { return CRnError(); }

void BenchSinkNetwork::CleanXmlBuffer(CNMessageBase*& message) {
  delete message;
  message = nullptr;
  std::lock_guard<std::mutex> g(m_lock);
  ++m_freed;
}

void BenchSinkNetwork::Record(WznHandle_t handle, int64_t code) {
  {
    std::lock_guard<std::mutex> g(m_lock);
    State& s = m_connections[handle];
    ++s.replies;
    s.lastCode = code;
  }
  m_changed.notify_all();
}
