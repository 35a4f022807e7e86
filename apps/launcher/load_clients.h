// Clients that load a daemon the way an overloading or hostile client would,
// for the integration tests and the benchmarks: one that pipelines a frame
// and never reads, one that floods in batches and reads each batch's
// replies, and the well-behaved client that times its requests one at a
// time.
//
// Thread safety: each client object runs its own thread; Start, Join and
// the counters may be called from the thread that owns the object.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "hostlib/errors/CRnError.h"
#include "hostlib/net/client.h"

class CNMessageBase;

namespace WzLoad {

// The frame of an "lt" request padded to about `bytes` of XML (0: no
// padding). The listing ignores its arguments, so any size is served.
std::string ListTargetsFrame(size_t bytes = 0);

// Sends a frame over and over without reading a reply, until `count` are
// sent or the daemon has taken no byte for sendTimeoutMs. With reconnect it
// then starts over on a new connection until Stop; without, it keeps its
// connection open, unread, until Stop.
class CStallingClient {
 public:
  ~CStallingClient() { Stop(); }
  void Start(const std::string& endpoint, const std::string& frame, long count, int sendTimeoutMs, bool reconnect);
  // Without reconnect: waits until it has stopped sending.
  void WaitUntilStalled();
  // Stops sending and closes the connection.
  void Stop();
  long Sent() const { return m_sent; }

 private:
  std::atomic<bool> m_stop{false};
  std::atomic<long> m_sent{0};
  std::unique_ptr<CWzClient> m_client;
  std::thread m_thread;
};

// Sends a frame `count` times in batches of `batch`, reading the replies of
// each batch before the next: a flood that never stalls.
class CBatchClient {
 public:
  ~CBatchClient() { Join(); }
  void Start(const std::string& endpoint, const std::string& frame, int count, int batch);
  void Join();
  long Replies() const { return m_replies; }

 private:
  std::atomic<long> m_replies{0};
  std::thread m_thread;
};

// The detailed listing ("ls") as one frame, for clients that send it and
// never read the answer.
std::string DetailListingFrame();
// Creates `count` targets (iqn.2024-01.com.example:big0, ...) whose
// descriptions are `descBytes` long and half blanks, which the listing sends
// as %20: the largest listing a client can ask for (a daemon serving it
// needs MaxFrameBytes above descBytes).
CRnError CreateLargeDescriptionTargets(const std::string& endpoint, int count, size_t descBytes);

// Sends `request` `count` times on a new connection, one at a time, and
// appends each round trip in milliseconds; tls for a TCP endpoint.
CRnError TimeRequests(const std::string& endpoint, const std::string& token, const CNMessageBase& request, int count,
                      std::vector<double>& ms, const WznClientTls& tls = WznClientTls());

}  // namespace WzLoad
