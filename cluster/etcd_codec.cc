#include "cluster/etcd_codec.h"

#include <boost/beast/core/detail/base64.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>
#include <sstream>

#include "hostlib/errors/no_throw.h"

namespace WzEtcdCodec {

namespace {

namespace pt = boost::property_tree;

// gRPC status codes etcd's gateway passes on.
constexpr int kGrpcCanceled = 1;  // the member is shutting down ("the client connection is closing")
constexpr int kGrpcNotFound = 5;
constexpr int kGrpcUnavailable = 14;
constexpr int kGrpcDeadlineExceeded = 4;

constexpr const char* kNoLeaderText = "etcdserver: no leader";

// Request bodies hold only base64, decimal digits, enum names and field
// names, none of which needs escaping.
std::string Field(const char* name, const std::string& text) {
  return std::string("\"") + name + "\":\"" + text + "\"";
}
std::string Bytes(const char* name, const std::string& bytes) { return Field(name, Base64Encode(bytes)); }
std::string Int(const char* name, int64_t n) { return Field(name, std::to_string(n)); }

std::string RangeBody(const std::string& key, const std::string& rangeEnd) {
  std::string body = Bytes("key", key);
  if (!rangeEnd.empty()) body += "," + Bytes("range_end", rangeEnd);
  return body;
}

std::string PutBody(const std::string& key, const std::string& value, int64_t lease) {
  std::string body = Bytes("key", key) + "," + Bytes("value", value);
  if (lease != 0) body += "," + Int("lease", lease);
  return body;
}

std::string OpJson(const WzEtcdOp& op) {
  switch (op.kind) {
    case WzEtcdOp::Kind::kGet:
      return "{\"request_range\":{" + RangeBody(op.key, op.rangeEnd) + "}}";
    case WzEtcdOp::Kind::kPut:
      return "{\"request_put\":{" + PutBody(op.key, op.value, op.lease) + "}}";
    case WzEtcdOp::Kind::kDelete:
      return "{\"request_delete_range\":{" + RangeBody(op.key, op.rangeEnd) + "}}";
  }
  return "{}";
}

const char* TargetName(WzEtcdCompare::Target target) {
  switch (target) {
    case WzEtcdCompare::Target::kCreateRevision:
      return "CREATE";
    case WzEtcdCompare::Target::kModRevision:
      return "MOD";
    case WzEtcdCompare::Target::kVersion:
      return "VERSION";
    case WzEtcdCompare::Target::kValue:
      return "VALUE";
  }
  return "CREATE";
}

const char* OpName(WzEtcdCompare::Op op) {
  switch (op) {
    case WzEtcdCompare::Op::kEqual:
      return "EQUAL";
    case WzEtcdCompare::Op::kGreater:
      return "GREATER";
    case WzEtcdCompare::Op::kLess:
      return "LESS";
    case WzEtcdCompare::Op::kNotEqual:
      return "NOT_EQUAL";
  }
  return "EQUAL";
}

std::string CompareJson(const WzEtcdCompare& c) {
  std::string body = "{" + Bytes("key", c.key) + "," + Field("target", TargetName(c.target)) + "," +
                     Field("result", OpName(c.op)) + ",";
  if (!c.rangeEnd.empty()) body += Bytes("range_end", c.rangeEnd) + ",";
  switch (c.target) {
    case WzEtcdCompare::Target::kCreateRevision:
      return body + Int("create_revision", c.number) + "}";
    case WzEtcdCompare::Target::kModRevision:
      return body + Int("mod_revision", c.number) + "}";
    case WzEtcdCompare::Target::kVersion:
      return body + Int("version", c.number) + "}";
    case WzEtcdCompare::Target::kValue:
      return body + Bytes("value", c.value) + "}";
  }
  return body + "}";
}

std::string JsonList(const char* name, const std::vector<std::string>& items) {
  std::string out = std::string("\"") + name + "\":[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? "," : "") + items[i];
  return out + "]";
}

CRnError BadAnswer(const std::string& what) {
  return FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrBadAnswer, "etcd's answer is not understood: %s",
                                 what.c_str());
}

// Property trees throw on malformed input: the exception stops here.
CRnError Parse(const std::string& body, pt::ptree& tree) {
  return WzNoThrow(WZETCD_HERE, "parsing etcd's answer", [&]() -> CRnError {
    std::istringstream in(body);
    try {
      pt::read_json(in, tree);
    } catch (const pt::json_parser_error& ex) {
      return BadAnswer(std::string(ex.message()) + " in \"" + body.substr(0, 200) + "\"");
    }
    return CRnError();
  });
}

// A number field, "0" when left out; a malformed one throws (caught by the
// parse function's WzNoThrow).
template <class T>
T Num(const pt::ptree& tree, const char* path) {
  return tree.get<T>(path, T(0));
}

std::string Base64Field(const pt::ptree& tree, const char* name) {
  std::string bytes;
  if (!Base64Decode(tree.get<std::string>(name, ""), bytes))
    throw std::runtime_error(std::string("bad base64 in ") + name);
  return bytes;
}

WzEtcdKeyValue KeyValue(const pt::ptree& kv) {
  WzEtcdKeyValue out;
  out.key = Base64Field(kv, "key");
  out.value = Base64Field(kv, "value");
  out.createRevision = Num<int64_t>(kv, "create_revision");
  out.modRevision = Num<int64_t>(kv, "mod_revision");
  out.version = Num<int64_t>(kv, "version");
  out.lease = Num<int64_t>(kv, "lease");
  return out;
}

std::vector<WzEtcdKeyValue> KeyValues(const pt::ptree& tree) {
  std::vector<WzEtcdKeyValue> out;
  if (auto kvs = tree.get_child_optional("kvs")) {
    for (const auto& item : *kvs) out.push_back(KeyValue(item.second));
  }
  return out;
}

std::vector<std::string> Strings(const pt::ptree& tree, const char* name) {
  std::vector<std::string> out;
  if (auto list = tree.get_child_optional(name)) {
    for (const auto& item : *list) out.push_back(item.second.get_value<std::string>());
  }
  return out;
}

// Parses body, then runs read on the tree; whatever either throws is a bad
// answer.
template <class Read>
CRnError ParseWith(const std::string& body, Read&& read) {
  pt::ptree tree;
  if (CRnError err = Parse(body, tree)) return err;
  return WzNoThrow(WZETCD_HERE, "reading etcd's answer", [&]() -> CRnError {
    try {
      read(tree);
    } catch (const std::exception& ex) {
      return BadAnswer(ex.what() + std::string(" in \"") + body.substr(0, 200) + "\"");
    }
    return CRnError();
  });
}

}  // namespace

std::string Base64Encode(const std::string& bytes) {
  namespace b64 = boost::beast::detail::base64;
  std::string out(b64::encoded_size(bytes.size()), '\0');
  out.resize(b64::encode(&out[0], bytes.data(), bytes.size()));
  return out;
}

bool Base64Decode(const std::string& text, std::string& bytes) {
  namespace b64 = boost::beast::detail::base64;
  bytes.assign(b64::decoded_size(text.size()), '\0');
  const auto used = b64::decode(&bytes[0], text.data(), text.size());
  bytes.resize(used.first);
  // The decoder stops at the first byte outside the alphabet: only padding
  // may follow.
  return text.find_first_not_of('=', used.second) == std::string::npos;
}

std::string RangeRequest(const std::string& key, const std::string& rangeEnd) {
  return "{" + RangeBody(key, rangeEnd) + "}";
}

std::string RangePageRequest(const std::string& key, const std::string& rangeEnd, int64_t limit, int64_t revision) {
  std::string body = RangeBody(key, rangeEnd);
  if (limit > 0) body += "," + Int("limit", limit);
  if (revision > 0) body += "," + Int("revision", revision);
  return "{" + body + "}";
}

std::string PutRequest(const std::string& key, const std::string& value, int64_t lease) {
  return "{" + PutBody(key, value, lease) + "}";
}

std::string DeleteRequest(const std::string& key, const std::string& rangeEnd) {
  return "{" + RangeBody(key, rangeEnd) + "}";
}

std::string TxnRequest(const std::vector<WzEtcdCompare>& compares, const std::vector<WzEtcdOp>& success,
                       const std::vector<WzEtcdOp>& failure) {
  std::vector<std::string> c, s, f;
  for (const WzEtcdCompare& x : compares) c.push_back(CompareJson(x));
  for (const WzEtcdOp& x : success) s.push_back(OpJson(x));
  for (const WzEtcdOp& x : failure) f.push_back(OpJson(x));
  return "{" + JsonList("compare", c) + "," + JsonList("success", s) + "," + JsonList("failure", f) + "}";
}

std::string LeaseGrantRequest(int64_t ttlSeconds) { return "{" + Int("TTL", ttlSeconds) + "}"; }

std::string LeaseIdRequest(int64_t lease) { return "{" + Int("ID", lease) + "}"; }

std::string CompactRequest(int64_t revision) { return "{" + Int("revision", revision) + "}"; }

std::string WatchCreateRequest(const std::string& key, const std::string& rangeEnd, int64_t startRevision) {
  std::string body = RangeBody(key, rangeEnd);
  if (startRevision > 0) body += "," + Int("start_revision", startRevision);
  // Progress notices tell an idle watch from a dead one.
  body += ",\"progress_notify\":true";
  return "{\"create_request\":{" + body + "}}";
}

CRnError ServerError(const std::string& body, const std::string& endpoint) {
  // Cheap test first: every answer passes here.
  if (body.find("\"error\"") == std::string::npos) return CRnError();
  pt::ptree tree;
  if (Parse(body, tree)) return CRnError();  // not JSON: the caller's parse says so
  auto error = tree.get_child_optional("error");
  if (!error) return CRnError();
  // Unary answers: {"error": text, "code": n}; stream lines:
  // {"error": {"grpc_code": n, "message": text, ...}}.
  std::string text = error->get_value<std::string>();
  int code = tree.get<int>("code", 0);
  if (text.empty()) {
    text = error->get<std::string>("message", "");
    code = error->get<int>("grpc_code", 0);
  }
  if (code == kGrpcUnavailable && text.find(kNoLeaderText) != std::string::npos) {
    return FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrUnavailable, "%s: %s has no leader (%s)",
                                   WzEtcd::kUnavailableText, endpoint.c_str(), text.c_str());
  }
  if (code == kGrpcUnavailable || code == kGrpcDeadlineExceeded || code == kGrpcCanceled) {
    return FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrOutcomeUnknown,
                                   "%s: %s did not complete the request (%s); it may still take effect",
                                   WzEtcd::kUnavailableText, endpoint.c_str(), text.c_str());
  }
  if (code == kGrpcNotFound) {
    return FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrNotFound, "etcd at %s: %s", endpoint.c_str(), text.c_str());
  }
  return FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrRefused, "etcd at %s refused the request: %s",
                                 endpoint.c_str(), text.c_str());
}

bool IsNoLeader(const CRnError& error) {
  return error.GetCode() == HRESULT_FROM_WIN32(WzEtcd::kErrUnavailable) &&
         error.GetText().find(kNoLeaderText) != std::string::npos;
}

CRnError ParseRange(const std::string& body, WzEtcdRange& out) {
  return ParseWith(body, [&](const pt::ptree& tree) {
    out.revision = Num<int64_t>(tree, "header.revision");
    out.kvs = KeyValues(tree);
  });
}

CRnError ParseRangePage(const std::string& body, WzEtcdRange& out, bool& more) {
  return ParseWith(body, [&](const pt::ptree& tree) {
    out.revision = Num<int64_t>(tree, "header.revision");
    out.kvs = KeyValues(tree);
    more = tree.get<bool>("more", false);
  });
}

CRnError ParseWrite(const std::string& body, WzEtcdWrite& out) {
  return ParseWith(body, [&](const pt::ptree& tree) {
    out.revision = Num<int64_t>(tree, "header.revision");
    out.deleted = Num<int64_t>(tree, "deleted");
  });
}

CRnError ParseTxn(const std::string& body, const std::vector<WzEtcdOp>& success, const std::vector<WzEtcdOp>& failure,
                  WzEtcdTxnResult& out) {
  return ParseWith(body, [&](const pt::ptree& tree) {
    out.succeeded = tree.get<bool>("succeeded", false);
    out.revision = Num<int64_t>(tree, "header.revision");
    out.results.clear();
    const std::vector<WzEtcdOp>& ran = out.succeeded ? success : failure;
    auto responses = tree.get_child_optional("responses");
    const size_t count = responses ? responses->size() : 0;
    if (count != ran.size()) {
      throw std::runtime_error("the transaction answered " + std::to_string(count) + " results for " +
                               std::to_string(ran.size()) + " operations");
    }
    if (!responses) return;
    size_t i = 0;
    for (const auto& item : *responses) {
      WzEtcdOpResult r;
      r.kind = ran[i++].kind;
      if (auto range = item.second.get_child_optional("response_range")) r.kvs = KeyValues(*range);
      if (auto del = item.second.get_child_optional("response_delete_range")) r.deleted = Num<int64_t>(*del, "deleted");
      out.results.push_back(std::move(r));
    }
  });
}

CRnError ParseLeaseGrant(const std::string& body, int64_t& lease, int64_t& ttlSeconds) {
  CRnError err = ParseWith(body, [&](const pt::ptree& tree) {
    lease = Num<int64_t>(tree, "ID");
    ttlSeconds = Num<int64_t>(tree, "TTL");
  });
  if (err.IsSuccess() && lease == 0) return BadAnswer("a lease grant without a lease id");
  return err;
}

CRnError ParseKeepAlive(const std::string& body, int64_t lease, int64_t& ttlSeconds) {
  // A stream endpoint: one {"result": ...} line per refresh.
  CRnError err = ParseWith(body, [&](const pt::ptree& tree) { ttlSeconds = Num<int64_t>(tree, "result.TTL"); });
  if (err.IsSuccess() && ttlSeconds <= 0) {
    return FXErrorUtil::ErrorWin32(WZETCD_HERE, WzEtcd::kErrNotFound, "lease %lld has expired or was revoked",
                                   static_cast<long long>(lease));
  }
  return err;
}

CRnError ParseMembers(const std::string& body, std::vector<WzEtcdMember>& out) {
  return ParseWith(body, [&](const pt::ptree& tree) {
    out.clear();
    if (auto members = tree.get_child_optional("members")) {
      for (const auto& item : *members) {
        WzEtcdMember m;
        m.id = Num<uint64_t>(item.second, "ID");
        m.name = item.second.get<std::string>("name", "");
        m.peerUrls = Strings(item.second, "peerURLs");
        m.clientUrls = Strings(item.second, "clientURLs");
        m.learner = item.second.get<bool>("isLearner", false);
        out.push_back(std::move(m));
      }
    }
  });
}

CRnError ParseStatus(const std::string& body, WzEtcdStatus& out) {
  return ParseWith(body, [&](const pt::ptree& tree) {
    out.memberId = Num<uint64_t>(tree, "header.member_id");
    out.revision = Num<int64_t>(tree, "header.revision");
    out.leader = Num<uint64_t>(tree, "leader");
    out.version = tree.get<std::string>("version", "");
    out.dbSize = Num<int64_t>(tree, "dbSize");
    out.dbSizeInUse = Num<int64_t>(tree, "dbSizeInUse");
    out.raftIndex = Num<uint64_t>(tree, "raftIndex");
    out.raftTerm = Num<uint64_t>(tree, "raftTerm");
    out.raftAppliedIndex = Num<uint64_t>(tree, "raftAppliedIndex");
    out.errors = Strings(tree, "errors");
  });
}

CRnError ParseWatchMessage(const std::string& line, const std::string& endpoint, WatchMessage& out) {
  if (CRnError err = ServerError(line, endpoint)) return err;
  CRnError err = ParseWith(line, [&](const pt::ptree& tree) {
    const pt::ptree& result = tree.get_child("result");
    out.created = result.get<bool>("created", false);
    out.canceled = result.get<bool>("canceled", false);
    out.revision = Num<int64_t>(result, "header.revision");
    out.compactRevision = Num<int64_t>(result, "compact_revision");
    out.cancelReason = result.get<std::string>("cancel_reason", "");
    out.events.clear();
    if (auto events = result.get_child_optional("events")) {
      for (const auto& item : *events) {
        WzEtcdEvent e;
        e.type = item.second.get<std::string>("type", "PUT") == "DELETE" ? WzEtcdEvent::Type::kDelete
                                                                         : WzEtcdEvent::Type::kPut;
        if (auto kv = item.second.get_child_optional("kv")) e.kv = KeyValue(*kv);
        out.events.push_back(std::move(e));
      }
    }
  });
  return err;
}

}  // namespace WzEtcdCodec
