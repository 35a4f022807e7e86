#include "plugins/tgtd_client/tgt_protocol.h"

#include <cstring>

namespace wztgt {

namespace {

// Header field offsets.
constexpr size_t kOffMode = 0;
constexpr size_t kOffOp = 4;
constexpr size_t kOffLld = 8;
constexpr size_t kOffLength = 72;
constexpr size_t kOffTid = 76;
constexpr size_t kOffSid = 80;
constexpr size_t kOffLun = 88;
constexpr size_t kOffCid = 96;
constexpr size_t kOffHostNo = 100;
constexpr size_t kOffDeviceType = 104;
constexpr size_t kOffAccountDir = 108;
constexpr size_t kOffPack = 112;
constexpr size_t kOffForce = 116;

template <typename T>
void Put(std::string& out, size_t offset, T value) {
  std::memcpy(&out[offset], &value, sizeof(value));
}

}  // namespace

const char* TgtStatusText(uint32_t status) {
  static const char* const kTexts[] = {
      "success",
      "unknown error",
      "out of memory",
      "can't find the driver",
      "can't find the target",
      "can't find the logical unit",
      "can't find the session",
      "can't find the connection",
      "can't find the binding",
      "this target already exists",
      "this logical unit number already exists",
      "this binding already exists",
      "this access control rule already exists",
      "this access control rule does not exist",
      "this account already exists",
      "can't find the account",
      "too many accounts",
      "invalid request",
      "this target already has an outgoing account",
      "this target is still active",
      "this logical unit is still active",
      "this driver is busy",
      "this operation isn't supported",
      "unknown parameter",
      "this device has Prevent Removal set",
  };
  if (status < sizeof(kTexts) / sizeof(kTexts[0])) return kTexts[status];
  return "(unknown tgtadm_errno)";
}

std::string EncodeRequest(const TgtRequest& request) {
  const size_t bodyLength = request.body.empty() ? 0 : request.body.size() + 1;
  std::string out(kRequestHeaderSize + bodyLength, '\0');
  Put<uint32_t>(out, kOffMode, static_cast<uint32_t>(request.mode));
  Put<uint32_t>(out, kOffOp, static_cast<uint32_t>(request.op));
  std::memcpy(&out[kOffLld], kIscsiLld, std::strlen(kIscsiLld));
  Put<uint32_t>(out, kOffLength, static_cast<uint32_t>(out.size()));
  Put<int32_t>(out, kOffTid, request.tid);
  Put<uint64_t>(out, kOffSid, 0);
  Put<uint64_t>(out, kOffLun, request.lun);
  Put<uint32_t>(out, kOffCid, 0);
  Put<uint32_t>(out, kOffHostNo, 0);
  Put<uint32_t>(out, kOffDeviceType, 0);  // disk
  Put<uint32_t>(out, kOffAccountDir, static_cast<uint32_t>(request.accountDir));
  Put<uint32_t>(out, kOffPack, 0);
  Put<uint32_t>(out, kOffForce, request.force ? 1u : 0u);
  if (bodyLength != 0) std::memcpy(&out[kRequestHeaderSize], request.body.data(), request.body.size());
  return out;
}

bool DecodeReplyHeader(const void* data, size_t length, uint32_t& status, uint32_t& totalLength) {
  if (length < kReplyHeaderSize) return false;
  const char* p = static_cast<const char*>(data);
  std::memcpy(&status, p, sizeof(status));
  std::memcpy(&totalLength, p + 4, sizeof(totalLength));
  return true;
}

bool AppendParam(std::string& body, const std::string& key, const std::string& value) {
  if (value.find_first_of(std::string(",\n\r\0", 4)) != std::string::npos) return false;
  if (!body.empty()) body += ',';
  body += key;
  body += '=';
  body += value;
  return true;
}

std::string DescribeRequest(const TgtRequest& r) {
  std::string out = TgtModeName(r.mode);
  out += ' ';
  out += TgtOpName(r.op);
  if (r.tid != kNoTid) out += " tid=" + std::to_string(r.tid);
  if (r.lun != kNoLun) out += " lun=" + std::to_string(r.lun);
  if (r.mode == TgtMode::kAccount && r.accountDir == TgtAccountDir::kOutgoing) out += " outgoing";
  if (!r.body.empty()) {
    // tgtd takes the password as the rest of the body, so the rest is hidden.
    const size_t password = r.body.find("password=");
    out += ' ';
    out += password == std::string::npos ? r.body : r.body.substr(0, password) + "password=(hidden)";
  }
  return out;
}

const char* TgtModeName(TgtMode mode) {
  switch (mode) {
    case TgtMode::kSystem:
      return "system";
    case TgtMode::kTarget:
      return "target";
    case TgtMode::kLogicalUnit:
      return "logicalunit";
    case TgtMode::kPortal:
      return "portal";
    case TgtMode::kLld:
      return "lld";
    case TgtMode::kSession:
      return "session";
    case TgtMode::kConnection:
      return "connection";
    case TgtMode::kAccount:
      return "account";
  }
  return "?";
}

const char* TgtOpName(TgtOp op) {
  switch (op) {
    case TgtOp::kNew:
      return "new";
    case TgtOp::kDelete:
      return "delete";
    case TgtOp::kShow:
      return "show";
    case TgtOp::kBind:
      return "bind";
    case TgtOp::kUnbind:
      return "unbind";
    case TgtOp::kUpdate:
      return "update";
  }
  return "?";
}

}  // namespace wztgt
