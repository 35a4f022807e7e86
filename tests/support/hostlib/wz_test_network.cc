#include "tests/support/hostlib/wz_test_network.h"

#include <chrono>

namespace {
constexpr long kErrorNotFound = 1168;
constexpr long kErrorNotConnected = 2250;
}  // namespace

class CWzTestNetworkServer::Connection : public CWzNetwork {
 public:
  Connection(CWzTestNetworkServer* server, WznHandle_t handle) : m_server(server), m_handle(handle) {}

  CRnError SendXMLMessage(CNMessageBase* message, int, int, bool& disconnected) override {
    disconnected = !m_good.load();
    if (disconnected) return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzSession"), kErrorNotConnected, "connection gone");
    if (m_server->m_failSend || m_server->m_failNextSends.fetch_sub(1) > 0)
      return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzSession"), 121, "injected send failure");
    if (message == nullptr) return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzSession"), 87, "null message");
    m_server->RecordReply(m_handle, *message);
    return CRnError();
  }
  CRnError ReplyDisconnect(int, bool& disconnected) override {
    disconnected = true;
    m_server->RecordControl(m_handle, "disconnect");
    m_good = false;
    return CRnError();
  }
  CRnError AbortConnection(const WznStatus_t& status, int, bool& disconnected) override {
    disconnected = true;
    m_server->RecordControl(m_handle, "abort:" + std::to_string(status.status) + "," +
                                          std::to_string(status.subStatus) + "," + std::to_string(status.reason));
    m_good = false;
    return CRnError();
  }
  bool IsConnectionGood() override { return m_good.load(); }
  std::string PeerName() const override { return "test connection " + std::to_string(m_handle); }
  void MarkGone() { m_good = false; }

 private:
  CWzTestNetworkServer* m_server;
  WznHandle_t m_handle;
  std::atomic<bool> m_good{true};
};

CWzTestNetworkServer::CWzTestNetworkServer() = default;
CWzTestNetworkServer::~CWzTestNetworkServer() = default;

WznHandle_t CWzTestNetworkServer::Connect() {
  std::lock_guard<std::mutex> g(m_lock);
  WznHandle_t h = m_nextHandle++;
  m_connections[h] = std::make_unique<Connection>(this, h);
  return h;
}

void CWzTestNetworkServer::MarkGone(WznHandle_t handle) {
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_connections.find(handle);
  if (it != m_connections.end()) it->second->MarkGone();
}

std::vector<std::shared_ptr<CNMessageBase>> CWzTestNetworkServer::Replies(WznHandle_t handle) {
  std::lock_guard<std::mutex> g(m_lock);
  return m_replies[handle];
}

bool CWzTestNetworkServer::WaitForReplies(WznHandle_t handle, size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> g(m_lock);
  return m_changed.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return m_replies[handle].size() >= count; });
}

std::vector<std::string> CWzTestNetworkServer::ControlAnswers(WznHandle_t handle) {
  std::lock_guard<std::mutex> g(m_lock);
  return m_control[handle];
}

size_t CWzTestNetworkServer::AcquiredCount() const {
  std::lock_guard<std::mutex> g(m_lock);
  size_t n = 0;
  for (const auto& kv : m_acquired) n += kv.second;
  return n;
}

CRnError CWzTestNetworkServer::AcquireSession(WznHandle_t handle, CWzNetwork*& connection) {
  connection = nullptr;
  if (m_failAcquire)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzSession"), kErrorNotFound, "injected acquire failure");
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_connections.find(handle);
  if (it == m_connections.end())
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzSession"), kErrorNotFound, "no connection with handle %llu",
                                   static_cast<unsigned long long>(handle));
  ++m_acquired[handle];
  connection = it->second.get();
  return CRnError();
}

CRnError CWzTestNetworkServer::ReleaseSession(WznHandle_t handle) {
  if (m_failRelease)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzSession"), kErrorNotFound, "injected release failure");
  std::lock_guard<std::mutex> g(m_lock);
  auto it = m_acquired.find(handle);
  if (it == m_acquired.end() || it->second == 0)
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzSession"), kErrorNotFound, "session %llu not acquired",
                                   static_cast<unsigned long long>(handle));
  --it->second;
  return CRnError();
}

void CWzTestNetworkServer::CleanXmlBuffer(CNMessageBase*& message) {
  if (message == nullptr) return;
  delete message;
  message = nullptr;
  ++m_freed;
}

void CWzTestNetworkServer::RecordReply(WznHandle_t handle, const CNMessageBase& message) {
  std::shared_ptr<CNMessageBase> copy(message.Clone().release());
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_replies[handle].push_back(std::move(copy));
  }
  m_changed.notify_all();
}

void CWzTestNetworkServer::RecordControl(WznHandle_t handle, const std::string& what) {
  {
    std::lock_guard<std::mutex> g(m_lock);
    m_control[handle].push_back(what);
  }
  m_changed.notify_all();
}
