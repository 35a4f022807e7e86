// An in-process network server for tests: connections are plain objects,
// every reply sent is kept (as a copy of the message) per connection, and a
// test can mark a connection gone or make acquire, release and send fail.
// Built only into the test-support library, never into a shipped one.
//
// Thread safety: all operations may be called from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "hostlib/msg/CNMessageBase.h"
#include "hostlib/net/WzNetwork.h"

class CWzTestNetworkServer : public CWzNetworkServer {
 public:
  CWzTestNetworkServer();
  ~CWzTestNetworkServer() override;

  // A new connection's handle.
  WznHandle_t Connect();
  // The connection stays known, but reports IsConnectionGood false and
  // refuses sends.
  void MarkGone(WznHandle_t handle);

  // Faults for tests.
  void FailAcquire(bool fail) { m_failAcquire = fail; }
  void FailRelease(bool fail) { m_failRelease = fail; }
  void FailSend(bool fail) { m_failSend = fail; }
  // The next n sends fail, later ones go through.
  void FailNextSends(int n) { m_failNextSends = n; }

  // Replies sent on a connection, in order (copies).
  std::vector<std::shared_ptr<CNMessageBase>> Replies(WznHandle_t handle);
  // Waits until the connection has at least count replies; false on time-out.
  bool WaitForReplies(WznHandle_t handle, size_t count, int timeoutMs);
  // Control answers: "disconnect" or "abort" per handle, in order.
  std::vector<std::string> ControlAnswers(WznHandle_t handle);

  size_t AcquiredCount() const;  // sessions acquired and not released
  size_t FreedMessages() const { return m_freed.load(); }

  CRnError AcquireSession(WznHandle_t handle, CWzNetwork*& connection) override;
  CRnError ReleaseSession(WznHandle_t handle) override;
  void CleanXmlBuffer(CNMessageBase*& message) override;

  class Connection;

 private:
  friend class Connection;
  void RecordReply(WznHandle_t handle, const CNMessageBase& message);
  void RecordControl(WznHandle_t handle, const std::string& what);

  mutable std::mutex m_lock;
  std::condition_variable m_changed;
  std::map<WznHandle_t, std::unique_ptr<Connection>> m_connections;
  std::map<WznHandle_t, std::vector<std::shared_ptr<CNMessageBase>>> m_replies;
  std::map<WznHandle_t, std::vector<std::string>> m_control;
  std::map<WznHandle_t, size_t> m_acquired;
  WznHandle_t m_nextHandle = 1;
  std::atomic<bool> m_failAcquire{false};
  std::atomic<bool> m_failRelease{false};
  std::atomic<bool> m_failSend{false};
  std::atomic<int> m_failNextSends{0};
  std::atomic<size_t> m_freed{0};
};
