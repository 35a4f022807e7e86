// WzEtcdHttpConnection: one HTTP/1.1 keep-alive connection, plain or TLS,
// to one etcd member's v3 gateway, inside the cluster library. Every wait ends at the
// caller's deadline; a connection runs its own Asio context on the calling
// thread, so no background thread serves it.
//
// Errors say whether etcd may have acted on the request:
//  - WzEtcd::kErrUnavailable: the request was not (completely) sent: no
//    connection, or the write failed;
//  - WzEtcd::kErrOutcomeUnknown: the request was sent and no complete
//    answer came before the deadline or the connection closed.
// After any error the connection is closed; the next request reconnects.
//
// Thread safety: one thread at a time uses a connection, except Interrupt,
// which any thread may call at any time.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "cluster/etcd_types.h"

// The TLS settings of https endpoints (an OpenSSL context), made once per
// client and shared by its connections and watches. Thread safety: shared
// read-only after Create.
class WzEtcdTlsContext {
 public:
  // caFile: the certificates that sign the members' ("": the system's).
  // certFile and keyFile: this client's certificate and key, for members
  // that check clients ("": none). Fails on a file that cannot be loaded.
  static CRnError Create(const std::string& caFile, const std::string& certFile, const std::string& keyFile,
                         std::shared_ptr<WzEtcdTlsContext>& out);
  ~WzEtcdTlsContext();
  WzEtcdTlsContext(const WzEtcdTlsContext&) = delete;
  WzEtcdTlsContext& operator=(const WzEtcdTlsContext&) = delete;

  struct Impl;
  Impl& Get() const { return *m_impl; }

 private:
  WzEtcdTlsContext();
  std::unique_ptr<Impl> m_impl;
};

class WzEtcdHttpConnection {
 public:
  using Clock = std::chrono::steady_clock;

  // maxAnswerBytes bounds a whole answer of Post (streams are unbounded:
  // their lines are consumed as they come). tls: for an https endpoint
  // (whose member's certificate must name the endpoint's host or address);
  // may be null for http.
  WzEtcdHttpConnection(const WzEtcdEndpoint& endpoint, size_t maxAnswerBytes,
                       std::shared_ptr<WzEtcdTlsContext> tls = nullptr);
  ~WzEtcdHttpConnection();
  WzEtcdHttpConnection(const WzEtcdHttpConnection&) = delete;
  WzEtcdHttpConnection& operator=(const WzEtcdHttpConnection&) = delete;

  const WzEtcdEndpoint& Endpoint() const;
  // Connected, idle, and not closed by the peer meanwhile: the next request
  // will not meet a connection that was already gone.
  bool Reusable();

  // POSTs a JSON body to path and reads the whole answer (status and body).
  // requireLeader: the member refuses at once ("etcdserver: no leader")
  // when it knows no leader, instead of waiting for one.
  CRnError Post(const std::string& path, const std::string& body, bool requireLeader, Clock::time_point deadline,
                int& status, std::string& answer);

  // Starts a streaming request: POSTs and reads the answer's head before the
  // deadline. An answer other than 200 is read whole and turned into etcd's
  // error.
  CRnError OpenStream(const std::string& path, const std::string& body, bool requireLeader, Clock::time_point deadline);
  // The next line of the streamed body, without its newline. Waits until
  // deadline (Clock::time_point::max(): no limit) or Interrupt. The end of
  // the stream is an error (kErrUnavailable).
  CRnError ReadLine(std::string& line, Clock::time_point deadline);
  // Ends the current and every later wait of ReadLine with an error, from
  // any thread.
  void Interrupt();
  bool Interrupted() const;

  void Close();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};
