#include "cluster/etcd_types.h"

#include <cstdlib>

namespace WzEtcd {

bool IsUnavailable(const CRnError& error) {
  return error.GetCode() == HRESULT_FROM_WIN32(kErrUnavailable) ||
         error.GetCode() == HRESULT_FROM_WIN32(kErrOutcomeUnknown);
}

std::string Reason(const CRnError& error) {
  std::string text = error.AsString();
  const std::string lead = std::string(kUnavailableText) + ": ";
  if (text.compare(0, lead.size(), lead) == 0) text.erase(0, lead.size());
  return text;
}

bool IsOutcomeUnknown(const CRnError& error) { return error.GetCode() == HRESULT_FROM_WIN32(kErrOutcomeUnknown); }

bool IsNotFound(const CRnError& error) { return error.GetCode() == HRESULT_FROM_WIN32(kErrNotFound); }

bool IsRefused(const CRnError& error) { return error.GetCode() == HRESULT_FROM_WIN32(kErrRefused); }

bool IsBadAnswer(const CRnError& error) { return error.GetCode() == HRESULT_FROM_WIN32(kErrBadAnswer); }

std::string PrefixEnd(const std::string& prefix) {
  std::string end = prefix;
  while (!end.empty()) {
    unsigned char& last = reinterpret_cast<unsigned char&>(end.back());
    if (last < 0xff) {
      ++last;
      return end;
    }
    end.pop_back();
  }
  // Empty, or only 0xff bytes: to the end of the key space.
  return std::string(1, '\0');
}

}  // namespace WzEtcd

CRnError WzEtcdEndpoint::Parse(const std::string& text, WzEtcdEndpoint& out) {
  auto bad = [&](const char* why) {
    return FXErrorUtil::ErrorWin32(WZETCD_HERE, ERROR_INVALID_PARAMETER, "bad etcd endpoint \"%s\": %s", text.c_str(),
                                   why);
  };
  WzEtcdEndpoint ep;
  std::string rest = text;
  const size_t schemeEnd = rest.find("://");
  if (schemeEnd != std::string::npos) {
    const std::string scheme = rest.substr(0, schemeEnd);
    if (scheme == "http") {
      ep.scheme = Scheme::kHttp;
    } else if (scheme == "https") {
      ep.scheme = Scheme::kHttps;
    } else {
      return bad("the scheme must be http or https");
    }
    rest.erase(0, schemeEnd + 3);
  }
  if (!rest.empty() && rest.back() == '/') rest.pop_back();
  if (rest.find('/') != std::string::npos) return bad("a path is not allowed");
  size_t colon;
  if (!rest.empty() && rest[0] == '[') {
    const size_t close = rest.find(']');
    if (close == std::string::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
      return bad("expected [ADDRESS]:PORT");
    }
    ep.host = rest.substr(1, close - 1);
    colon = close + 1;
  } else {
    colon = rest.rfind(':');
    if (colon == std::string::npos) return bad("the port is missing");
    ep.host = rest.substr(0, colon);
    if (ep.host.find(':') != std::string::npos) return bad("an IPv6 address goes in brackets");
  }
  if (ep.host.empty()) return bad("the host is missing");
  const std::string port = rest.substr(colon + 1);
  char* end = nullptr;
  const long number = port.empty() ? 0 : std::strtol(port.c_str(), &end, 10);
  if (port.empty() || *end != '\0' || number < 1 || number > 65535) return bad("the port must be 1 to 65535");
  ep.port = static_cast<uint16_t>(number);
  out = ep;
  return CRnError();
}

std::string WzEtcdEndpoint::HostPort() const {
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string WzEtcdEndpoint::Url() const {
  return std::string(scheme == Scheme::kHttps ? "https://" : "http://") + HostPort();
}

WzEtcdCompare WzEtcdCompare::Absent(const std::string& key) {
  return Number(key, Target::kCreateRevision, Op::kEqual, 0);
}

WzEtcdCompare WzEtcdCompare::NoneUnder(const std::string& prefix) {
  WzEtcdCompare c = Absent(prefix);
  c.rangeEnd = WzEtcd::PrefixEnd(prefix);
  return c;
}

WzEtcdCompare WzEtcdCompare::ModRevisionIs(const std::string& key, int64_t modRevision) {
  return Number(key, Target::kModRevision, Op::kEqual, modRevision);
}

WzEtcdCompare WzEtcdCompare::Number(const std::string& key, Target target, Op op, int64_t number) {
  WzEtcdCompare c;
  c.key = key;
  c.target = target;
  c.op = op;
  c.number = number;
  return c;
}

WzEtcdCompare WzEtcdCompare::Value(const std::string& key, Op op, const std::string& value) {
  WzEtcdCompare c;
  c.key = key;
  c.target = Target::kValue;
  c.op = op;
  c.value = value;
  return c;
}

WzEtcdOp WzEtcdOp::Get(const std::string& key) {
  WzEtcdOp op;
  op.kind = Kind::kGet;
  op.key = key;
  return op;
}

WzEtcdOp WzEtcdOp::GetPrefix(const std::string& prefix) {
  WzEtcdOp op = Get(prefix.empty() ? std::string(1, '\0') : prefix);
  op.rangeEnd = WzEtcd::PrefixEnd(prefix);
  return op;
}

WzEtcdOp WzEtcdOp::Put(const std::string& key, const std::string& value, int64_t lease) {
  WzEtcdOp op;
  op.kind = Kind::kPut;
  op.key = key;
  op.value = value;
  op.lease = lease;
  return op;
}

WzEtcdOp WzEtcdOp::Delete(const std::string& key) {
  WzEtcdOp op;
  op.kind = Kind::kDelete;
  op.key = key;
  return op;
}

WzEtcdOp WzEtcdOp::DeletePrefix(const std::string& prefix) {
  WzEtcdOp op = Delete(prefix.empty() ? std::string(1, '\0') : prefix);
  op.rangeEnd = WzEtcd::PrefixEnd(prefix);
  return op;
}
