// The management protocol of tgtd, the userspace SCSI target daemon, written
// down from its documented behaviour and from watching tgtadm talk to it.
//
// One request per connection on a Unix stream socket: a fixed 120-byte
// header followed by a body of comma-separated "key=value" pairs ending in a
// NUL; the header's length field counts header and body. tgtd answers with
// an 8-byte header (status, total length including that header) and, for
// "show" requests, a text. The status numbers and their texts are tgtd's own
// vocabulary (what tgtadm prints for them).
//
// All integers travel in host byte order: the socket is local.
//
// Thread safety: plain functions and values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace wztgt {

enum class TgtMode : uint32_t {
  kSystem = 0,
  kTarget = 1,
  kLogicalUnit = 2,
  kPortal = 3,
  kLld = 4,
  kSession = 5,
  kConnection = 6,
  kAccount = 7,
};

enum class TgtOp : uint32_t {
  kNew = 0,
  kDelete = 1,
  kShow = 2,
  kBind = 3,
  kUnbind = 4,
  kUpdate = 5,
};

// Reply status numbers.
enum TgtStatus : uint32_t {
  kTgtSuccess = 0,
  kTgtUnknownError = 1,
  kTgtNoMemory = 2,
  kTgtNoDriver = 3,
  kTgtNoTarget = 4,
  kTgtNoLun = 5,
  kTgtNoSession = 6,
  kTgtNoConnection = 7,
  kTgtNoBinding = 8,
  kTgtTargetExists = 9,
  kTgtLunExists = 10,
  kTgtBindingExists = 11,
  kTgtAclExists = 12,
  kTgtAclMissing = 13,
  kTgtAccountExists = 14,
  kTgtNoAccount = 15,
  kTgtTooManyAccounts = 16,
  kTgtInvalidRequest = 17,
  kTgtOutAccountExists = 18,
  kTgtTargetActive = 19,
  kTgtLunActive = 20,
  kTgtDriverActive = 21,
  kTgtUnsupported = 22,
  kTgtUnknownParam = 23,
  kTgtPreventRemoval = 24,
};

// tgtd's text for a status ("this target already exists").
const char* TgtStatusText(uint32_t status);

constexpr int32_t kNoTid = -1;
constexpr uint64_t kNoLun = UINT64_MAX;
constexpr const char* kIscsiLld = "iscsi";

// Where tgtd listens by default (tgtadm's TGT_IPC_SOCKET prefix plus "." and
// the control port).
constexpr const char* kDefaultSocketPrefix = "/var/run/tgtd/socket";

constexpr size_t kRequestHeaderSize = 120;
constexpr size_t kReplyHeaderSize = 8;
constexpr size_t kLldFieldSize = 64;

// The direction of an account bound to a target: incoming accounts check
// initiators; the one outgoing account is what the target answers with when
// an initiator checks it (mutual CHAP).
enum class TgtAccountDir : uint32_t {
  kIncoming = 0,
  kOutgoing = 1,
};

struct TgtRequest {
  TgtMode mode = TgtMode::kTarget;
  TgtOp op = TgtOp::kShow;
  int32_t tid = kNoTid;
  uint64_t lun = kNoLun;
  bool force = false;
  TgtAccountDir accountDir = TgtAccountDir::kIncoming;  // account bind and unbind
  std::string body;                                     // "key=value" pairs joined with ","; empty for none
};

// The bytes of a request: header, then the body and its NUL when there is a
// body.
std::string EncodeRequest(const TgtRequest& request);

// Reply header fields; false when fewer than kReplyHeaderSize bytes.
bool DecodeReplyHeader(const void* data, size_t length, uint32_t& status, uint32_t& totalLength);

// Appends ",key=value" (or "key=value" to an empty body). tgtd splits the
// body at commas, so a value holding a comma, a NUL or a line break cannot be
// sent: false then, body unchanged.
bool AppendParam(std::string& body, const std::string& key, const std::string& value);

// A request as log lines and error texts show it ("account new
// user=u1,password=(hidden)"): whatever follows "password=" never appears.
std::string DescribeRequest(const TgtRequest& request);

// Human-readable names for log lines and error texts ("logicalunit new").
const char* TgtModeName(TgtMode mode);
const char* TgtOpName(TgtOp op);

}  // namespace wztgt
