// WzScsiSrvEtcdClient: the cluster mode's client of etcd (3.4 and later),
// spoken over each member's v3 HTTP/JSON gateway: reads of a key or a
// prefix, writes, transactions that compare revisions, versions and
// values, leases, watches, and the members' status.
//
// Every call returns a CRnError; nothing is thrown. A call ends within the
// request deadline (default 2 s), whatever the cluster does:
//  - it goes to the member that answered last and moves on to the next
//    endpoint when a member cannot be reached or has no leader, round after
//    round with a short pause, until one answers or the deadline passes;
//  - WzEtcd::IsUnavailable(error) then holds and the text starts with "the
//    cluster configuration store is unavailable" (no quorum, no member);
//  - WzEtcd::IsOutcomeUnknown(error): a change was sent and no answer came
//    (deadline, lost connection): it may still take effect; read the key
//    back before deciding. Reads are simply tried on the next member.
// Members that answer slowly (alive but stalled) use up the deadline of
// the requests sent to them; the next request starts on the next endpoint.
//
// Thread safety: safe for concurrent use without external
// synchronization. Each call borrows an idle keep-alive connection (or
// opens one) and gives it back; watches run on their own connection and
// thread.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "cluster/etcd_types.h"
#include "cluster/etcd_watch.h"
#include "hostlib/util/wz_mutex.h"

class WzEtcdHttpConnection;
class WzEtcdTlsContext;

struct WzEtcdClientOptions {
  // Client URLs of the members ("http://127.0.0.1:2379", "HOST:PORT",
  // "https://10.0.0.5:2379").
  std::vector<std::string> endpoints;
  // For https endpoints: the CA certificates that sign the members' ("":
  // the system's), and this client's certificate and key for members
  // started with --client-cert-auth ("": none). A member's certificate must
  // name the host or address of its endpoint.
  std::string tlsCaFile;
  std::string tlsCertFile;
  std::string tlsKeyFile;
  // How long one call may take, connecting, failing over and waiting
  // included.
  int requestTimeoutMs = 2000;
  // Idle keep-alive connections kept for the next calls; 0 opens a
  // connection per call.
  size_t maxIdleConnections = 8;
  // The largest answer read. A prefix is read in pages of at most
  // pageKeys keys, so its size is not bounded by one answer; a page that is
  // still too large is read again in smaller pages.
  size_t maxAnswerBytes = 64u << 20;
  int64_t pageKeys = 1000;
  // A watch that delivers nothing (no change, no progress notice) for this
  // long is ended (kLost) so that it is opened again, on another member if
  // need be; 0: no limit.
  int watchIdleMs = 60000;
};

class WZ_EXPORT WzScsiSrvEtcdClient {
 public:
  // Fails on an empty or malformed endpoint list, TLS files that cannot be
  // loaded, or a deadline below 1 ms. Does not contact etcd.
  static CRnError Create(const WzEtcdClientOptions& options, std::unique_ptr<WzScsiSrvEtcdClient>& out);
  ~WzScsiSrvEtcdClient();
  WzScsiSrvEtcdClient(const WzScsiSrvEtcdClient&) = delete;
  WzScsiSrvEtcdClient& operator=(const WzScsiSrvEtcdClient&) = delete;

  // Reads are linearizable: they see every change acknowledged before them.
  // A key that does not exist is no error: out.kvs is empty.
  CRnError Get(const std::string& key, WzEtcdRange& out);
  // Every key that starts with prefix, in key order ("" reads every key),
  // as of one revision, read in pages.
  CRnError GetPrefix(const std::string& prefix, WzEtcdRange& out);

  // out (optional) receives the store's revision after the write.
  CRnError Put(const std::string& key, const std::string& value, WzEtcdWrite* out = nullptr, int64_t lease = 0);
  // Deleting a key that does not exist succeeds with out->deleted == 0.
  CRnError Delete(const std::string& key, WzEtcdWrite* out = nullptr);
  CRnError DeletePrefix(const std::string& prefix, WzEtcdWrite* out = nullptr);

  // If every compare holds, runs the success operations, else the failure
  // operations, atomically. A transaction whose compares fail is no error:
  // out.succeeded is false and out.results are the failure branch's.
  CRnError Txn(const std::vector<WzEtcdCompare>& compares, const std::vector<WzEtcdOp>& success,
               const std::vector<WzEtcdOp>& failure, WzEtcdTxnResult& out);

  // Leases: keys put with a lease go when it expires or is revoked.
  // grantedTtl (optional) receives the TTL etcd granted.
  CRnError LeaseGrant(int64_t ttlSeconds, int64_t& lease, int64_t* grantedTtl = nullptr);
  // Refreshes the lease once; ttlLeft (optional) receives its new TTL.
  // A lease that expired or was revoked fails with WzEtcd::IsNotFound.
  CRnError LeaseKeepAlive(int64_t lease, int64_t* ttlLeft = nullptr);
  // Revoking a lease that is already gone fails with WzEtcd::IsNotFound.
  CRnError LeaseRevoke(int64_t lease);

  // Drops the history before revision (watches from before it then report
  // kCompacted).
  CRnError Compact(int64_t revision);

  // Watches every key that starts with prefix from fromRevision (0: from
  // the next change). Returns once etcd accepted the watch, or fails within
  // the deadline; the callback then runs on the watch's own thread, one
  // update at a time, in revision order (WzEtcdWatch says more).
  // avoid: the endpoint of a watch that went silent, tried last.
  CRnError Watch(const std::string& prefix, int64_t fromRevision, WzEtcdWatch::Callback callback,
                 std::unique_ptr<WzEtcdWatch>& out, const std::string& avoid = std::string());

  // The members as the cluster lists them; answered by a member even
  // without a leader, so a status view can show a cluster that lost quorum.
  CRnError MemberList(std::vector<WzEtcdMember>& out);
  // One member's own status, asked of that endpoint alone (it need not be
  // one of this client's endpoints).
  CRnError Status(const std::string& endpoint, WzEtcdStatus& out);

  const std::vector<WzEtcdEndpoint>& Endpoints() const { return m_endpoints; }
  int RequestTimeoutMs() const { return m_options.requestTimeoutMs; }

 private:
  // How a call may be retried on another member.
  enum class Retry {
    kIfNotSent,  // a change: only while it surely did not reach etcd
    kAlways,     // a read, or a change that can be repeated harmlessly
  };
  struct Call {
    const char* path;
    std::string body;
    Retry retry;
    bool requireLeader;
  };

  WzScsiSrvEtcdClient(const WzEtcdClientOptions& options, std::vector<WzEtcdEndpoint> endpoints,
                      std::shared_ptr<WzEtcdTlsContext> tls);
  // Sends the call until a member answers with 200 or the deadline passes;
  // an answer carrying etcd's error becomes that error.
  CRnError Unary(const Call& call, std::string& answer);
  CRnError OnEndpoint(size_t index, const Call& call, std::chrono::steady_clock::time_point deadline,
                      std::string& answer);
  std::unique_ptr<WzEtcdHttpConnection> Borrow(size_t endpointIndex);
  void GiveBack(std::unique_ptr<WzEtcdHttpConnection> connection);
  // Closes every idle connection: after one went unanswered, the others,
  // opened on the same paths, may be as dead (half-open), and each would
  // cost a call its whole deadline.
  void DropIdle();

  const WzEtcdClientOptions m_options;
  const std::vector<WzEtcdEndpoint> m_endpoints;
  const std::shared_ptr<WzEtcdTlsContext> m_tls;  // null without https
  // The endpoint the next call tries first: the last that answered.
  std::atomic<size_t> m_preferred{0};
  WzMutex m_poolMutex;
  std::vector<std::unique_ptr<WzEtcdHttpConnection>> m_idle WZ_GUARDED_BY(m_poolMutex);
};
