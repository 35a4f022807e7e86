#include "cluster/etcd_client.h"

#include <chrono>
#include <thread>
#include <utility>

#include "cluster/etcd_codec.h"
#include "cluster/etcd_http.h"
#include "hostlib/errors/no_throw.h"

using Clock = std::chrono::steady_clock;

namespace {

// A pause between two rounds over the endpoints: while a cluster elects a
// leader (a second or so) every member refuses at once; retrying at once
// would only spin.
constexpr auto kRoundPause = std::chrono::milliseconds(50);

}  // namespace

CRnError WzScsiSrvEtcdClient::Create(const WzEtcdClientOptions& options, std::unique_ptr<WzScsiSrvEtcdClient>& out) {
  out.reset();
  if (options.endpoints.empty()) {
    return FXErrorUtil::ErrorWin32(WZETCD_HERE, ERROR_INVALID_PARAMETER, "no etcd endpoint is configured");
  }
  if (options.requestTimeoutMs < 1) {
    return FXErrorUtil::ErrorWin32(WZETCD_HERE, ERROR_INVALID_PARAMETER,
                                   "the etcd request deadline must be at least 1 ms, not %d", options.requestTimeoutMs);
  }
  std::vector<WzEtcdEndpoint> endpoints;
  bool https = !options.tlsCaFile.empty() || !options.tlsCertFile.empty() || !options.tlsKeyFile.empty();
  for (const std::string& text : options.endpoints) {
    WzEtcdEndpoint endpoint;
    if (CRnError err = WzEtcdEndpoint::Parse(text, endpoint)) return err;
    https = https || endpoint.scheme == WzEtcdEndpoint::Scheme::kHttps;
    endpoints.push_back(endpoint);
  }
  std::shared_ptr<WzEtcdTlsContext> tls;
  if (https) {
    CRnError err = WzNoThrow(WZETCD_HERE, "loading the etcd TLS settings", [&] {
      return WzEtcdTlsContext::Create(options.tlsCaFile, options.tlsCertFile, options.tlsKeyFile, tls);
    });
    if (err) return err;
  }
  out.reset(new WzScsiSrvEtcdClient(options, std::move(endpoints), std::move(tls)));
  return CRnError();
}

WzScsiSrvEtcdClient::WzScsiSrvEtcdClient(const WzEtcdClientOptions& options, std::vector<WzEtcdEndpoint> endpoints,
                                         std::shared_ptr<WzEtcdTlsContext> tls)
    : m_options(options), m_endpoints(std::move(endpoints)), m_tls(std::move(tls)) {}

WzScsiSrvEtcdClient::~WzScsiSrvEtcdClient() = default;

std::unique_ptr<WzEtcdHttpConnection> WzScsiSrvEtcdClient::Borrow(size_t endpointIndex) {
  const WzEtcdEndpoint& wanted = m_endpoints[endpointIndex];
  std::vector<std::unique_ptr<WzEtcdHttpConnection>> stale;
  std::unique_ptr<WzEtcdHttpConnection> found;
  {
    WzMutexLock lock(&m_poolMutex);
    for (size_t i = m_idle.size(); i-- > 0 && !found;) {
      if (m_idle[i]->Endpoint().HostPort() != wanted.HostPort()) continue;
      std::unique_ptr<WzEtcdHttpConnection> candidate = std::move(m_idle[i]);
      m_idle.erase(m_idle.begin() + static_cast<std::ptrdiff_t>(i));
      if (candidate->Reusable()) {
        found = std::move(candidate);
      } else {
        stale.push_back(std::move(candidate));
      }
    }
  }
  // Closed outside the lock.
  stale.clear();
  if (!found) found.reset(new WzEtcdHttpConnection(wanted, m_options.maxAnswerBytes, m_tls));
  return found;
}

void WzScsiSrvEtcdClient::GiveBack(std::unique_ptr<WzEtcdHttpConnection> connection) {
  if (!connection->Reusable()) return;
  WzMutexLock lock(&m_poolMutex);
  if (m_idle.size() < m_options.maxIdleConnections) m_idle.push_back(std::move(connection));
}

void WzScsiSrvEtcdClient::DropIdle() {
  std::vector<std::unique_ptr<WzEtcdHttpConnection>> dropped;
  WzMutexLock lock(&m_poolMutex);
  dropped.swap(m_idle);
}

CRnError WzScsiSrvEtcdClient::OnEndpoint(size_t index, const Call& call, Clock::time_point deadline,
                                         std::string& answer) {
  std::unique_ptr<WzEtcdHttpConnection> connection = Borrow(index);
  int status = 0;
  CRnError err = connection->Post(call.path, call.body, call.requireLeader, deadline, status, answer);
  if (err) {
    if (Clock::now() >= deadline) DropIdle();
    return err;
  }
  GiveBack(std::move(connection));
  const std::string url = m_endpoints[index].Url();
  if (CRnError serverErr = WzEtcdCodec::ServerError(answer, url)) return serverErr;
  if (status != 200) {
    return FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrRefused,
                                   "etcd at %s answered HTTP %d to %s: %s (is it etcd 3.4 or later?)", url.c_str(),
                                   status, call.path, answer.substr(0, 200).c_str());
  }
  return CRnError();
}

CRnError WzScsiSrvEtcdClient::Unary(const Call& call, std::string& answer) {
  return WzNoThrow(WZETCD_HERE, "an etcd request", [&]() -> CRnError {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_options.requestTimeoutMs);
    const size_t count = m_endpoints.size();
    const size_t first = m_preferred.load();
    std::string failures;
    for (size_t attempt = 0;; ++attempt) {
      if (attempt > 0 && attempt % count == 0) {
        if (Clock::now() + kRoundPause >= deadline) break;
        std::this_thread::sleep_for(kRoundPause);
      }
      if (Clock::now() >= deadline) break;
      const size_t index = (first + attempt) % count;
      CRnError err = OnEndpoint(index, call, deadline, answer);
      if (err.IsSuccess()) {
        m_preferred.store(index);
        return err;
      }
      // The next call starts elsewhere: this member failed or is slow.
      m_preferred.store((index + 1) % count);
      const bool notRun = err.GetCode() == HRESULT_FROM_WIN32(WzEtcd::kErrUnavailable);
      const bool retry = notRun || (WzEtcd::IsOutcomeUnknown(err) && call.retry == Retry::kAlways);
      if (!retry) return err.Push(WZETCD_HERE);
      // Keep the failures of the first round: they say why each member
      // could not serve.
      if (attempt < count) failures += (failures.empty() ? "" : "; ") + WzEtcd::Reason(err);
    }
    return FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrUnavailable,
                                   "%s: no etcd member served the request within %d ms (%s)", WzEtcd::kUnavailableText,
                                   m_options.requestTimeoutMs, failures.c_str());
  });
}

CRnError WzScsiSrvEtcdClient::Get(const std::string& key, WzEtcdRange& out) {
  std::string answer;
  if (CRnError err = Unary({"/v3/kv/range", WzEtcdCodec::RangeRequest(key, ""), Retry::kAlways, true}, answer)) {
    return err;
  }
  return WzEtcdCodec::ParseRange(answer, out);
}

CRnError WzScsiSrvEtcdClient::GetPrefix(const std::string& prefix, WzEtcdRange& out) {
  out = WzEtcdRange();
  const WzEtcdOp range = WzEtcdOp::GetPrefix(prefix);
  std::string from = range.key;
  int64_t limit = std::max<int64_t>(1, m_options.pageKeys);
  for (;;) {
    // Every page after the first is read at the first one's revision: the
    // pages make one consistent picture.
    std::string answer;
    CRnError err = Unary({"/v3/kv/range", WzEtcdCodec::RangePageRequest(from, range.rangeEnd, limit, out.revision),
                          Retry::kAlways, true},
                         answer);
    if (err && WzEtcd::IsBadAnswer(err) && limit > 1) {
      limit = std::max<int64_t>(1, limit / 8);  // too large an answer: smaller pages
      continue;
    }
    if (err) return err;
    WzEtcdRange page;
    bool more = false;
    if (CRnError parsed = WzEtcdCodec::ParseRangePage(answer, page, more)) return parsed;
    if (out.revision == 0) out.revision = page.revision;
    if (page.kvs.empty()) return CRnError();
    from = page.kvs.back().key + std::string(1, '\0');
    for (WzEtcdKeyValue& kv : page.kvs) out.kvs.push_back(std::move(kv));
    if (!more) return CRnError();
  }
}

CRnError WzScsiSrvEtcdClient::Put(const std::string& key, const std::string& value, WzEtcdWrite* out, int64_t lease) {
  std::string answer;
  if (CRnError err =
          Unary({"/v3/kv/put", WzEtcdCodec::PutRequest(key, value, lease), Retry::kIfNotSent, true}, answer)) {
    return err;
  }
  WzEtcdWrite write;
  CRnError err = WzEtcdCodec::ParseWrite(answer, write);
  if (out != nullptr) *out = write;
  return err;
}

CRnError WzScsiSrvEtcdClient::Delete(const std::string& key, WzEtcdWrite* out) {
  std::string answer;
  if (CRnError err =
          Unary({"/v3/kv/deleterange", WzEtcdCodec::DeleteRequest(key, ""), Retry::kIfNotSent, true}, answer)) {
    return err;
  }
  WzEtcdWrite write;
  CRnError err = WzEtcdCodec::ParseWrite(answer, write);
  if (out != nullptr) *out = write;
  return err;
}

CRnError WzScsiSrvEtcdClient::DeletePrefix(const std::string& prefix, WzEtcdWrite* out) {
  std::string answer;
  const WzEtcdOp range = WzEtcdOp::DeletePrefix(prefix);
  if (CRnError err =
          Unary({"/v3/kv/deleterange", WzEtcdCodec::DeleteRequest(range.key, range.rangeEnd), Retry::kIfNotSent, true},
                answer)) {
    return err;
  }
  WzEtcdWrite write;
  CRnError err = WzEtcdCodec::ParseWrite(answer, write);
  if (out != nullptr) *out = write;
  return err;
}

CRnError WzScsiSrvEtcdClient::Txn(const std::vector<WzEtcdCompare>& compares, const std::vector<WzEtcdOp>& success,
                                  const std::vector<WzEtcdOp>& failure, WzEtcdTxnResult& out) {
  bool readOnly = true;
  for (const auto* branch : {&success, &failure}) {
    for (const WzEtcdOp& op : *branch) readOnly = readOnly && op.kind == WzEtcdOp::Kind::kGet;
  }
  std::string answer;
  if (CRnError err = Unary({"/v3/kv/txn", WzEtcdCodec::TxnRequest(compares, success, failure),
                            readOnly ? Retry::kAlways : Retry::kIfNotSent, true},
                           answer)) {
    return err;
  }
  return WzEtcdCodec::ParseTxn(answer, success, failure, out);
}

CRnError WzScsiSrvEtcdClient::LeaseGrant(int64_t ttlSeconds, int64_t& lease, int64_t* grantedTtl) {
  std::string answer;
  // A grant repeated would leave an unused lease to expire: harmless.
  if (CRnError err =
          Unary({"/v3/lease/grant", WzEtcdCodec::LeaseGrantRequest(ttlSeconds), Retry::kAlways, true}, answer)) {
    return err;
  }
  int64_t ttl = 0;
  CRnError err = WzEtcdCodec::ParseLeaseGrant(answer, lease, ttl);
  if (grantedTtl != nullptr) *grantedTtl = ttl;
  return err;
}

CRnError WzScsiSrvEtcdClient::LeaseKeepAlive(int64_t lease, int64_t* ttlLeft) {
  std::string answer;
  if (CRnError err = Unary({"/v3/lease/keepalive", WzEtcdCodec::LeaseIdRequest(lease), Retry::kAlways, true}, answer)) {
    return err;
  }
  int64_t ttl = 0;
  CRnError err = WzEtcdCodec::ParseKeepAlive(answer, lease, ttl);
  if (ttlLeft != nullptr) *ttlLeft = ttl;
  return err;
}

CRnError WzScsiSrvEtcdClient::LeaseRevoke(int64_t lease) {
  std::string answer;
  return Unary({"/v3/lease/revoke", WzEtcdCodec::LeaseIdRequest(lease), Retry::kIfNotSent, true}, answer);
}

CRnError WzScsiSrvEtcdClient::Compact(int64_t revision) {
  std::string answer;
  return Unary({"/v3/kv/compaction", WzEtcdCodec::CompactRequest(revision), Retry::kIfNotSent, true}, answer);
}

CRnError WzScsiSrvEtcdClient::Watch(const std::string& prefix, int64_t fromRevision, WzEtcdWatch::Callback callback,
                                    std::unique_ptr<WzEtcdWatch>& out, const std::string& avoid) {
  return WzNoThrow(WZETCD_HERE, "opening an etcd watch", [&]() -> CRnError {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_options.requestTimeoutMs);
    size_t first = m_preferred.load() % std::max<size_t>(1, m_endpoints.size());
    if (!avoid.empty() && !m_endpoints.empty() && m_endpoints[first].Url() == avoid)
      first = (first + 1) % m_endpoints.size();
    return WzEtcdWatch::Open(m_endpoints, m_tls, first, prefix, fromRevision, deadline,
                             std::chrono::milliseconds(m_options.watchIdleMs), std::move(callback), out);
  });
}

CRnError WzScsiSrvEtcdClient::MemberList(std::vector<WzEtcdMember>& out) {
  std::string answer;
  if (CRnError err = Unary({"/v3/cluster/member/list", "{}", Retry::kAlways, false}, answer)) return err;
  return WzEtcdCodec::ParseMembers(answer, out);
}

CRnError WzScsiSrvEtcdClient::Status(const std::string& endpoint, WzEtcdStatus& out) {
  return WzNoThrow(WZETCD_HERE, "an etcd status request", [&]() -> CRnError {
    WzEtcdEndpoint parsed;
    if (CRnError err = WzEtcdEndpoint::Parse(endpoint, parsed)) return err;
    WzEtcdHttpConnection connection(parsed, m_options.maxAnswerBytes, m_tls);
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_options.requestTimeoutMs);
    int status = 0;
    std::string answer;
    if (CRnError err = connection.Post("/v3/maintenance/status", "{}", false, deadline, status, answer)) return err;
    if (CRnError err = WzEtcdCodec::ServerError(answer, parsed.Url())) return err;
    return WzEtcdCodec::ParseStatus(answer, out);
  });
}
