// Wire frames of the host's network protocol: a fixed 24-byte header in
// network byte order followed by a payload.
//
//   offset  size  field
//   0       4     magic 0x575A5343 ("WZSC")
//   4       2     version (1)
//   6       2     kind: 1 XML message, 2 XDR message, 3 control
//   8       8     XDR message id (0 unless kind 2)
//   16      4     payload length
//   20      4     reserved (0)
//
// Control payloads start with a 32-bit control type (network byte order);
// what follows depends on the type (see ControlType). docs/protocol.md (part A)
// describes the whole protocol.
//
// Thread safety: the free functions are pure; a CFrameDecoder is used by one
// thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "hostlib/errors/CRnError.h"
#include "hostlib/net/WzNetwork.h"
#include "hostlib/net/net_errors.h"

namespace Wzn {

constexpr uint32_t kFrameMagic = 0x575A5343u;
constexpr uint16_t kFrameVersion = 1;
constexpr size_t kFrameHeaderSize = 24;
constexpr size_t kDefaultMaxFrameBytes = 1u << 20;
// Longest token a hello may carry and longest text of an error notice.
constexpr size_t kMaxTokenBytes = 1024;
constexpr size_t kMaxErrorTextBytes = 4096;

enum class FrameKind : uint16_t {
  kXml = 1,
  kXdr = 2,
  kControl = 3,
};

enum class ControlType : uint32_t {
  kHello = 1,            // client -> server; body: the token (may be empty)
  kDisconnect = 2,       // client -> server notice; empty body
  kAbort = 3,            // client -> server notice; empty body
  kDisconnectReply = 4,  // server -> client, then the server closes; empty body
  kAbortReply = 5,       // server -> client, then the server closes; body: 3 x int32 status record
  kError = 6,            // server -> client before it closes on bad input; body: UTF-8 text
};
const char* ControlTypeName(ControlType type);

struct Frame {
  FrameKind kind = FrameKind::kXml;
  uint64_t xdrId = 0;
  std::string payload;
};

// A decoded control payload. text holds the hello's token or the error
// notice's text; status the abort reply's record.
struct ControlMessage {
  ControlType type = ControlType::kHello;
  std::string text;
  WznStatus_t status;
};

// Header followed by the payload. A payload over UINT32_MAX bytes cannot be
// framed and gives an empty string.
std::string EncodeFrame(FrameKind kind, uint64_t xdrId, const void* payload, size_t length);
inline std::string EncodeFrame(FrameKind kind, uint64_t xdrId, const std::string& payload) {
  return EncodeFrame(kind, xdrId, payload.data(), payload.size());
}

// Whole frames of the control messages.
std::string EncodeHello(const std::string& token);
std::string EncodeControl(ControlType type);  // the types with an empty body
std::string EncodeAbortReply(const WznStatus_t& status);
std::string EncodeErrorNotice(const std::string& text);  // text cut at kMaxErrorTextBytes

// Decodes a control payload; fails on a short payload, an unknown type, a
// body of the wrong size or an over-long text. out is unspecified on failure.
CRnError ParseControl(const std::string& payload, ControlMessage& out);

// Incremental decoder: bytes go in as they arrive, in pieces of any size;
// frames come out one at a time. It stops consuming at the end of each
// frame, so the caller can act on a frame (and stop, for instance after a
// failed authentication) before any later byte is looked at. Memory grows
// with the bytes actually received, never with a length the peer claims.
// After an error the decoder stays failed.
class CFrameDecoder {
 public:
  explicit CFrameDecoder(size_t maxPayloadBytes = kDefaultMaxFrameBytes) : m_maxPayload(maxPayloadBytes) {}
  CFrameDecoder(const CFrameDecoder&) = delete;
  CFrameDecoder& operator=(const CFrameDecoder&) = delete;

  // Consumes bytes from data[0, length) until a frame is complete or the
  // data runs out; consumed tells how many were used. When a frame is
  // complete, HasFrame() is true and no byte is consumed until TakeFrame().
  // Fails on bad magic, version, kind, reserved field, an XDR id on another
  // kind, or a payload longer than the limit.
  CRnError Feed(const void* data, size_t length, size_t& consumed);
  bool HasFrame() const { return m_state == State::kReady; }
  // Moves the complete frame out and readies the decoder for the next one.
  Frame TakeFrame();
  bool Failed() const { return m_state == State::kFailed; }
  // Forgets any partial frame and a failure, for a new connection.
  void Reset() {
    m_state = State::kHeader;
    m_headerFill = 0;
    m_payloadLength = 0;
    m_frame = Frame();
  }
  // True while part of a frame has been received.
  bool InFrame() const { return m_headerFill > 0; }
  // Changes the payload limit for headers not yet complete (a connection
  // accepts larger frames once its peer has authenticated).
  void SetMaxPayload(size_t maxPayloadBytes) { m_maxPayload = maxPayloadBytes; }

 private:
  enum class State { kHeader, kPayload, kReady, kFailed };
  CRnError CheckHeader();

  size_t m_maxPayload;
  State m_state = State::kHeader;
  uint8_t m_header[kFrameHeaderSize] = {};
  size_t m_headerFill = 0;
  uint32_t m_payloadLength = 0;
  Frame m_frame;
};

}  // namespace Wzn
