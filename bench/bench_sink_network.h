// An in-process network server for the micro-benchmarks: connections are
// plain objects that count the replies sent on them and drop them, so that a
// benchmark can send any number of requests without the replies piling up.
// A caller waits for "n replies on this connection" with WaitForReplies.
//
// Thread safety: every operation may be called from any thread.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>

#include "hostlib/net/WzNetwork.h"

class CNMessageBase;

class BenchSinkNetwork : public CWzNetworkServer {
 public:
  BenchSinkNetwork();
  ~BenchSinkNetwork() override;
  BenchSinkNetwork(const BenchSinkNetwork&) = delete;
  BenchSinkNetwork& operator=(const BenchSinkNetwork&) = delete;

  // A new connection's handle.
  WznHandle_t Connect();
  // Replies sent on the connection so far.
  size_t ReplyCount(WznHandle_t handle) const;
  // Waits until the connection has sent at least count replies; false when
  // timeoutMs passed first.
  bool WaitForReplies(WznHandle_t handle, size_t count, int timeoutMs) const;
  // The result code of the connection's last reply (-1 when it had no Error
  // record or there was none).
  int64_t LastReplyCode(WznHandle_t handle) const;
  // Messages handed back with CleanXmlBuffer.
  size_t FreedMessages() const;

  CRnError AcquireSession(WznHandle_t handle, CWzNetwork*& connection) override;
  CRnError ReleaseSession(WznHandle_t handle) override;
  void CleanXmlBuffer(CNMessageBase*& message) override;

  class Connection;

 private:
  friend class Connection;
  void Record(WznHandle_t handle, int64_t code);

  struct State {
    std::unique_ptr<Connection> connection;
    size_t replies = 0;
    int64_t lastCode = -1;
  };
  mutable std::mutex m_lock;
  mutable std::condition_variable m_changed;
  std::map<WznHandle_t, State> m_connections;  // guarded by m_lock
  WznHandle_t m_nextHandle = 1;                // guarded by m_lock
  size_t m_freed = 0;                          // guarded by m_lock
};
