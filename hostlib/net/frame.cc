#include "hostlib/net/frame.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace Wzn {

namespace {

void PutU16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}
void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void PutU64(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (56 - 8 * i));
}
uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
uint32_t GetU32(const uint8_t* p) {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v = (v << 8) | p[i];
  return v;
}
uint64_t GetU64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

std::string ControlFrame(ControlType type, const void* body, size_t length) {
  std::string payload(4 + length, '\0');
  PutU32(reinterpret_cast<uint8_t*>(&payload[0]), static_cast<uint32_t>(type));
  if (length > 0) std::memcpy(&payload[4], body, length);
  return EncodeFrame(FrameKind::kControl, 0, payload);
}

}  // namespace

const char* ControlTypeName(ControlType type) {
  switch (type) {
    case ControlType::kHello:
      return "hello";
    case ControlType::kDisconnect:
      return "disconnect";
    case ControlType::kAbort:
      return "abort";
    case ControlType::kDisconnectReply:
      return "disconnect reply";
    case ControlType::kAbortReply:
      return "abort reply";
    case ControlType::kError:
      return "error";
  }
  return "unknown";
}

std::string EncodeFrame(FrameKind kind, uint64_t xdrId, const void* payload, size_t length) {
  if (length > std::numeric_limits<uint32_t>::max()) return std::string();
  std::string out(kFrameHeaderSize + length, '\0');
  uint8_t* p = reinterpret_cast<uint8_t*>(&out[0]);
  PutU32(p, kFrameMagic);
  PutU16(p + 4, kFrameVersion);
  PutU16(p + 6, static_cast<uint16_t>(kind));
  PutU64(p + 8, xdrId);
  PutU32(p + 16, static_cast<uint32_t>(length));
  PutU32(p + 20, 0);
  if (length > 0) std::memcpy(p + kFrameHeaderSize, payload, length);
  return out;
}

std::string EncodeHello(const std::string& token) {
  return ControlFrame(ControlType::kHello, token.data(), std::min(token.size(), kMaxTokenBytes));
}

std::string EncodeControl(ControlType type) { return ControlFrame(type, nullptr, 0); }

std::string EncodeAbortReply(const WznStatus_t& status) {
  uint8_t body[12];
  PutU32(body, static_cast<uint32_t>(status.status));
  PutU32(body + 4, static_cast<uint32_t>(status.subStatus));
  PutU32(body + 8, static_cast<uint32_t>(status.reason));
  return ControlFrame(ControlType::kAbortReply, body, sizeof(body));
}

std::string EncodeErrorNotice(const std::string& text) {
  return ControlFrame(ControlType::kError, text.data(), std::min(text.size(), kMaxErrorTextBytes));
}

CRnError ParseControl(const std::string& payload, ControlMessage& out) {
  if (payload.size() < 4) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, kErrInvalidData, "control payload of %zu bytes is too short",
                                   payload.size());
  }
  const uint8_t* p = reinterpret_cast<const uint8_t*>(payload.data());
  const uint32_t type = GetU32(p);
  const size_t bodyLength = payload.size() - 4;
  out.text.clear();
  out.status = WznStatus_t();
  auto badSize = [&](const char* name) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, kErrInvalidData, "%s control body of %zu bytes", name, bodyLength);
  };
  switch (static_cast<ControlType>(type)) {
    case ControlType::kHello:
      if (bodyLength > kMaxTokenBytes) return badSize("hello");
      out.text.assign(payload, 4, std::string::npos);
      break;
    case ControlType::kDisconnect:
    case ControlType::kAbort:
    case ControlType::kDisconnectReply:
      if (bodyLength != 0) return badSize(ControlTypeName(static_cast<ControlType>(type)));
      break;
    case ControlType::kAbortReply:
      if (bodyLength != 12) return badSize("abort reply");
      out.status.status = static_cast<int32_t>(GetU32(p + 4));
      out.status.subStatus = static_cast<int32_t>(GetU32(p + 8));
      out.status.reason = static_cast<int32_t>(GetU32(p + 12));
      break;
    case ControlType::kError:
      if (bodyLength > kMaxErrorTextBytes) return badSize("error");
      out.text.assign(payload, 4, std::string::npos);
      break;
    default:
      return FXErrorUtil::ErrorWin32(WZN_HERE, kErrInvalidData, "unknown control type %u", type);
  }
  out.type = static_cast<ControlType>(type);
  return CRnError();
}

CRnError CFrameDecoder::Feed(const void* data, size_t length, size_t& consumed) {
  consumed = 0;
  if (m_state == State::kFailed) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, kErrInvalidData, "frame decoder already failed");
  }
  const uint8_t* in = static_cast<const uint8_t*>(data);
  while (consumed < length && m_state != State::kReady) {
    if (m_state == State::kHeader) {
      const size_t take = std::min(length - consumed, kFrameHeaderSize - m_headerFill);
      std::memcpy(m_header + m_headerFill, in + consumed, take);
      m_headerFill += take;
      consumed += take;
      if (m_headerFill < kFrameHeaderSize) break;
      if (CRnError err = CheckHeader()) {
        m_state = State::kFailed;
        return err;
      }
      m_frame.kind = static_cast<FrameKind>(GetU16(m_header + 6));
      m_frame.xdrId = GetU64(m_header + 8);
      m_frame.payload.clear();
      m_payloadLength = GetU32(m_header + 16);
      m_state = m_payloadLength == 0 ? State::kReady : State::kPayload;
    } else {
      const size_t take = std::min(length - consumed, m_payloadLength - m_frame.payload.size());
      m_frame.payload.append(reinterpret_cast<const char*>(in + consumed), take);
      consumed += take;
      if (m_frame.payload.size() == m_payloadLength) m_state = State::kReady;
    }
  }
  return CRnError();
}

CRnError CFrameDecoder::CheckHeader() {
  const uint32_t magic = GetU32(m_header);
  if (magic != kFrameMagic) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, kErrInvalidData, "bad frame magic 0x%08X", magic);
  }
  const uint16_t version = GetU16(m_header + 4);
  if (version != kFrameVersion) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, kErrInvalidData, "unsupported frame version %u", version);
  }
  const uint16_t kind = GetU16(m_header + 6);
  if (kind < static_cast<uint16_t>(FrameKind::kXml) || kind > static_cast<uint16_t>(FrameKind::kControl)) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, kErrInvalidData, "unknown frame kind %u", kind);
  }
  if (kind != static_cast<uint16_t>(FrameKind::kXdr) && GetU64(m_header + 8) != 0) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, kErrInvalidData, "XDR message id on a frame of kind %u", kind);
  }
  const uint32_t reserved = GetU32(m_header + 20);
  if (reserved != 0) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, kErrInvalidData, "reserved header field is 0x%08X", reserved);
  }
  const uint32_t length = GetU32(m_header + 16);
  if (length > m_maxPayload) {
    return FXErrorUtil::ErrorWin32(WZN_HERE, kErrInvalidData, "frame payload of %u bytes exceeds the limit of %zu",
                                   length, m_maxPayload);
  }
  return CRnError();
}

Frame CFrameDecoder::TakeFrame() {
  Frame out = std::move(m_frame);
  Reset();
  return out;
}

}  // namespace Wzn
