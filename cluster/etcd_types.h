// The values the etcd client takes and returns: endpoints, key-value
// records, transaction compares and operations, watch events, the members'
// status; and the error codes of the cluster library with the questions a
// caller asks of an error (IsUnavailable, IsOutcomeUnknown, ...).
//
// Keys and values are byte strings: any byte, NUL included.
//
// Thread safety: plain values and stateless functions.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"

#define WZETCD_HERE FX_HERE_IN("WzCluster")

namespace WzEtcd {

// Win32-style codes (made into HRESULTs by FXErrorUtil::ErrorWin32).
// The request did not execute: no member could be reached, or the member
// that answered has no leader (RPC_S_CALL_FAILED_DNE).
constexpr long kErrUnavailable = 1727;
// The request was sent and no answer came (deadline or lost connection):
// etcd may or may not have applied it; re-read before deciding
// (RPC_S_CALL_FAILED).
constexpr long kErrOutcomeUnknown = 1726;
// A lease that does not exist (any more).
constexpr long kErrNotFound = 1168;
// etcd refused the request itself (bad argument, compacted revision, space
// quota, authentication) (ERROR_REQUEST_REFUSED).
constexpr long kErrRefused = 4320;
// An answer that is not what the v3 gateway sends (ERROR_INVALID_DATA).
constexpr long kErrBadAnswer = 13;

// The text every unavailable error starts with, as an operator reads it.
constexpr const char* kUnavailableText = "the cluster configuration store is unavailable";

// The error's text without the leading kUnavailableText, to list several
// members' failures under one.
std::string Reason(const CRnError& error);

// Both unavailable codes: the cluster cannot take changes now.
bool IsUnavailable(const CRnError& error);
bool IsOutcomeUnknown(const CRnError& error);
bool IsNotFound(const CRnError& error);
bool IsRefused(const CRnError& error);
// An answer that is not what etcd sends, or larger than the client reads.
bool IsBadAnswer(const CRnError& error);

// The end of the key range holding every key that starts with prefix (the
// prefix with its last byte below 0xff incremented; "\0" for everything).
std::string PrefixEnd(const std::string& prefix);

}  // namespace WzEtcd

// One member's client address: http, or https (TLS 1.2 or later, the
// member's certificate checked against the client's CA and the endpoint's
// host or address).
struct WzEtcdEndpoint {
  enum class Scheme { kHttp, kHttps };
  Scheme scheme = Scheme::kHttp;
  std::string host;  // a name or an address; IPv6 without brackets
  uint16_t port = 0;

  // "http://HOST:PORT", "https://HOST:PORT" or "HOST:PORT" (http), with
  // "[v6]:PORT" for IPv6 and an optional trailing "/".
  static CRnError Parse(const std::string& text, WzEtcdEndpoint& out);
  std::string Url() const;       // "http://127.0.0.1:2379"
  std::string HostPort() const;  // "127.0.0.1:2379", "[::1]:2379"
};

// One key as etcd keeps it.
struct WzEtcdKeyValue {
  std::string key;
  std::string value;
  int64_t createRevision = 0;  // the revision that created the key
  int64_t modRevision = 0;     // the revision of its last change
  int64_t version = 0;         // changes since creation, 1 after the first put
  int64_t lease = 0;           // 0: none
};

// The answer to a read: the store's revision when it was read, and the keys
// in key order.
struct WzEtcdRange {
  int64_t revision = 0;
  std::vector<WzEtcdKeyValue> kvs;
};

// What a write did: the store's revision after it; for a delete, how many
// keys went.
struct WzEtcdWrite {
  int64_t revision = 0;
  int64_t deleted = 0;
};

// One condition of a transaction, on one key. A key that does not exist has
// create and mod revision 0, version 0 and no value (a value compare is then
// false whatever the operator).
struct WzEtcdCompare {
  enum class Target { kCreateRevision, kModRevision, kVersion, kValue };
  enum class Op { kEqual, kGreater, kLess, kNotEqual };
  std::string key;
  // Not empty: the compare holds for every key in [key, rangeEnd), and for
  // a range without keys as for one missing key.
  std::string rangeEnd;
  Target target = Target::kCreateRevision;
  Op op = Op::kEqual;
  int64_t number = 0;  // for the three revision targets
  std::string value;   // for kValue

  // The key does not exist.
  static WzEtcdCompare Absent(const std::string& key);
  // No key starts with prefix: a removal checks in the same transaction that
  // nothing was added under its object.
  static WzEtcdCompare NoneUnder(const std::string& prefix);
  // The key was last changed at modRevision (0: it does not exist): an
  // update that read the key at that revision is not stale.
  static WzEtcdCompare ModRevisionIs(const std::string& key, int64_t modRevision);
  static WzEtcdCompare Number(const std::string& key, Target target, Op op, int64_t number);
  static WzEtcdCompare Value(const std::string& key, Op op, const std::string& value);
};

// One operation of a transaction's branch.
struct WzEtcdOp {
  enum class Kind { kGet, kPut, kDelete };
  Kind kind = Kind::kGet;
  std::string key;
  std::string rangeEnd;  // "": the key alone
  std::string value;     // kPut
  int64_t lease = 0;     // kPut

  static WzEtcdOp Get(const std::string& key);
  static WzEtcdOp GetPrefix(const std::string& prefix);
  static WzEtcdOp Put(const std::string& key, const std::string& value, int64_t lease = 0);
  static WzEtcdOp Delete(const std::string& key);
  static WzEtcdOp DeletePrefix(const std::string& prefix);
};

// One operation's result, in the order of the branch that ran.
struct WzEtcdOpResult {
  WzEtcdOp::Kind kind = WzEtcdOp::Kind::kGet;
  std::vector<WzEtcdKeyValue> kvs;  // kGet
  int64_t deleted = 0;              // kDelete
};

struct WzEtcdTxnResult {
  bool succeeded = false;  // every compare held: the success branch ran
  int64_t revision = 0;    // the store's revision after the transaction
  std::vector<WzEtcdOpResult> results;
};

// One change seen by a watch.
struct WzEtcdEvent {
  enum class Type { kPut, kDelete };
  Type type = Type::kPut;
  WzEtcdKeyValue kv;  // a delete has the key and its mod revision only
};

// What a watch reports. After kCompacted or kLost the watch is over.
struct WzEtcdWatchUpdate {
  enum class Kind {
    kEvents,     // changes, in revision order
    kCompacted,  // the start revision is compacted away: resync from a full read
    kLost,       // the connection or the member's leader was lost: watch again
    kProgress,   // no change: every change up to revision is delivered already
  };
  Kind kind = Kind::kEvents;
  std::vector<WzEtcdEvent> events;
  int64_t revision = 0;         // the store's revision when etcd sent this
  int64_t compactRevision = 0;  // kCompacted: the oldest revision still kept
  CRnError error;               // kLost: why
};

// A member as the cluster lists it.
struct WzEtcdMember {
  uint64_t id = 0;
  std::string name;  // "" for a member added but not started yet
  std::vector<std::string> peerUrls;
  std::vector<std::string> clientUrls;
  bool learner = false;
};

// One member's own view.
struct WzEtcdStatus {
  uint64_t memberId = 0;
  uint64_t leader = 0;  // 0: the member knows no leader
  std::string version;
  int64_t dbSize = 0;       // bytes
  int64_t dbSizeInUse = 0;  // bytes
  uint64_t raftIndex = 0;
  uint64_t raftTerm = 0;
  uint64_t raftAppliedIndex = 0;
  int64_t revision = 0;
  std::vector<std::string> errors;  // alarms and errors the member reports
};
