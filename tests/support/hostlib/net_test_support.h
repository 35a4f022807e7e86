// Test helpers of the network layer's tests: a fake service that answers
// each XML request on worker threads the way the real service does
// (AcquireSession, SendXMLMessage, ReleaseSession, CleanXmlBuffer), answers
// the control notices on the network thread, and records what it saw.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "hostlib/msg/CNMessageBase.h"
#include "hostlib/net/WzNetwork.h"

namespace NetTest {

// Polls a condition until it holds or the (generous) time-out passes.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 20000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

struct XdrRecord {
  WznHandle_t handle;
  unsigned long id;
  std::string bytes;
};

class FakeService : public IWzNetworkReceiver {
 public:
  // workers: threads answering requests; answer false: requests are freed
  // without a reply.
  explicit FakeService(int workers = 1, bool answer = true) : m_answer(answer) {
    for (int i = 0; i < workers; ++i) m_threads.emplace_back([this] { WorkerLoop(); });
  }
  ~FakeService() override {
    {
      std::lock_guard<std::mutex> g(m_lock);
      m_stop = true;
    }
    m_wake.notify_all();
    for (auto& t : m_threads) t.join();
    for (auto& job : m_jobs) delete job.message;
  }
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  // Makes the XML callback throw (after freeing the message) for messages
  // of this tag id.
  void ThrowOnTag(uint32_t tag) { m_throwTag = tag; }
  // Changes each echoed reply before it is sent (set before the first
  // request).
  void ShapeReplies(std::function<void(CNMessageBase&)> shape) { m_shape = std::move(shape); }
  // While held, the workers leave the requests queued (in work, as far as
  // the server is concerned).
  void Hold(bool hold) {
    {
      std::lock_guard<std::mutex> g(m_lock);
      m_hold = hold;
    }
    m_wake.notify_all();
  }

  std::vector<WznHandle_t> Handles() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_handles;
  }
  std::vector<XdrRecord> Xdr() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_xdr;
  }
  size_t Received() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_handles.size();
  }
  std::vector<std::string> Errors() const {
    std::lock_guard<std::mutex> g(m_lock);
    return m_errors;
  }

  CRnError IncomingMsgXMLCallback(CWzNetworkServer::WznCallback_e kind, CWzNetworkServer* server, WznHandle_t handle,
                                  CNMessageBase* message) override {
    EXPECT_EQ(kind, CWzNetworkServer::WZN_CB_RECEIVED);
    const uint32_t tag = message->getTagID();
    if (tag == WZN_TAG_DISCONNECT || tag == WZN_TAG_ABORT) {
      CWzNetwork* connection = nullptr;
      CRnError err = server->AcquireSession(handle, connection);
      if (err) return err;
      bool disconnected = false;
      WznStatus_t status;
      status.reason = 2;
      err = tag == WZN_TAG_DISCONNECT ? connection->ReplyDisconnect(120, disconnected)
                                      : connection->AbortConnection(status, 30, disconnected);
      Record(err, "control answer");
      Record(server->ReleaseSession(handle), "release");
      server->CleanXmlBuffer(message);
      return CRnError();
    }
    {
      std::lock_guard<std::mutex> g(m_lock);
      m_handles.push_back(handle);
    }
    if (tag == m_throwTag) {
      server->CleanXmlBuffer(message);
      throw std::runtime_error("fake service failure");
    }
    if (!m_answer) {
      server->CleanXmlBuffer(message);
      return CRnError();
    }
    {
      std::lock_guard<std::mutex> g(m_lock);
      m_jobs.push_back(Job{server, handle, message});
    }
    m_wake.notify_one();
    return CRnError();
  }

  CRnError IncomingMsgXDRCallback(CWzNetworkServer::WznCallback_e, CWzNetworkServer*, WznHandle_t handle,
                                  unsigned long id, wzsDatabuf_v2* buffer) override {
    std::lock_guard<std::mutex> g(m_lock);
    m_xdr.push_back(XdrRecord{handle, id, std::string(reinterpret_cast<const char*>(buffer->data), buffer->length)});
    return CRnError();
  }

 private:
  struct Job {
    CWzNetworkServer* server;
    WznHandle_t handle;
    CNMessageBase* message;
  };

  void Record(const CRnError& err, const char* what) {
    if (err.IsSuccess()) return;
    std::lock_guard<std::mutex> g(m_lock);
    m_errors.push_back(std::string(what) + ": " + err.AsString());
  }

  // Echoes each request back as its reply.
  void WorkerLoop() {
    for (;;) {
      Job job;
      {
        std::unique_lock<std::mutex> g(m_lock);
        m_wake.wait(g, [&] { return m_stop || (!m_hold && !m_jobs.empty()); });
        if (m_jobs.empty()) return;
        job = m_jobs.front();
        m_jobs.pop_front();
      }
      CWzNetwork* connection = nullptr;
      if (job.server->AcquireSession(job.handle, connection).IsSuccess()) {
        bool disconnected = false;
        std::unique_ptr<CNMessageBase> reply = job.message->Clone();
        if (m_shape) m_shape(*reply);
        CRnError err = connection->SendXMLMessage(reply.get(), 0, 60, disconnected);
        if (!disconnected) Record(err, "send");
        Record(job.server->ReleaseSession(job.handle), "release");
      }
      job.server->CleanXmlBuffer(job.message);
    }
  }

  const bool m_answer;
  uint32_t m_throwTag = 0;
  std::function<void(CNMessageBase&)> m_shape;
  mutable std::mutex m_lock;
  std::condition_variable m_wake;
  bool m_stop = false;
  bool m_hold = false;
  std::deque<Job> m_jobs;
  std::vector<WznHandle_t> m_handles;
  std::vector<XdrRecord> m_xdr;
  std::vector<std::string> m_errors;
  std::vector<std::thread> m_threads;
};

}  // namespace NetTest
