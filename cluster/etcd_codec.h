// The JSON of etcd's v3 gateway, inside the cluster library: the request
// bodies the client sends and the answers it reads. int64 fields travel as
// decimal strings, keys and values as base64, enums by name, and a field at
// its default value is left out of an answer (no "succeeded" means false).
//
// A parse function fails with WzEtcd::kErrBadAnswer when the answer is not
// JSON or lacks what it must hold; an answer that carries etcd's error
// ({"error": ..., "code": N}) is turned into the error by ServerError.
//
// Thread safety: stateless functions.
#pragma once

#include <string>
#include <vector>

#include "cluster/etcd_types.h"

namespace WzEtcdCodec {

std::string Base64Encode(const std::string& bytes);
// false on a character outside the base64 alphabet.
bool Base64Decode(const std::string& text, std::string& bytes);

std::string RangeRequest(const std::string& key, const std::string& rangeEnd);
// One page of a range: at most limit keys (0: no limit), read at revision
// (0: the latest), in key order.
std::string RangePageRequest(const std::string& key, const std::string& rangeEnd, int64_t limit, int64_t revision);
std::string PutRequest(const std::string& key, const std::string& value, int64_t lease);
std::string DeleteRequest(const std::string& key, const std::string& rangeEnd);
std::string TxnRequest(const std::vector<WzEtcdCompare>& compares, const std::vector<WzEtcdOp>& success,
                       const std::vector<WzEtcdOp>& failure);
std::string LeaseGrantRequest(int64_t ttlSeconds);
std::string LeaseIdRequest(int64_t lease);  // keep-alive and revoke
std::string CompactRequest(int64_t revision);
std::string WatchCreateRequest(const std::string& key, const std::string& rangeEnd, int64_t startRevision);

// How etcd refused a request, from an answer's body (also from one line of
// a stream). Success when the body holds no error. The code follows gRPC's
// status: Unavailable ("no leader", "request timed out") is kErrUnavailable
// when the text says the request never ran (no leader), else
// kErrOutcomeUnknown, as are DeadlineExceeded and Canceled (a member
// shutting down); NotFound is kErrNotFound; the rest kErrRefused.
CRnError ServerError(const std::string& body, const std::string& endpoint);
// Whether etcd's error said the member had no leader.
bool IsNoLeader(const CRnError& error);

CRnError ParseRange(const std::string& body, WzEtcdRange& out);
// A page's answer: more tells whether keys remain after the last.
CRnError ParseRangePage(const std::string& body, WzEtcdRange& out, bool& more);
CRnError ParseWrite(const std::string& body, WzEtcdWrite& out);
CRnError ParseTxn(const std::string& body, const std::vector<WzEtcdOp>& success, const std::vector<WzEtcdOp>& failure,
                  WzEtcdTxnResult& out);
CRnError ParseLeaseGrant(const std::string& body, int64_t& lease, int64_t& ttlSeconds);
// The TTL left after a keep-alive; a lease that is gone answers without one
// (kErrNotFound).
CRnError ParseKeepAlive(const std::string& body, int64_t lease, int64_t& ttlSeconds);
CRnError ParseMembers(const std::string& body, std::vector<WzEtcdMember>& out);
CRnError ParseStatus(const std::string& body, WzEtcdStatus& out);

// One message of a watch stream.
struct WatchMessage {
  bool created = false;
  bool canceled = false;
  int64_t revision = 0;
  int64_t compactRevision = 0;
  std::string cancelReason;
  std::vector<WzEtcdEvent> events;
};
// A line that carries etcd's error fails as ServerError says.
CRnError ParseWatchMessage(const std::string& line, const std::string& endpoint, WatchMessage& out);

}  // namespace WzEtcdCodec
