#include "hostlib/net/frame.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Wzn::CFrameDecoder;
using Wzn::ControlMessage;
using Wzn::ControlType;
using Wzn::Frame;
using Wzn::FrameKind;

std::string Bytes(std::initializer_list<int> values) {
  std::string s;
  for (int v : values) s.push_back(static_cast<char>(v));
  return s;
}

// Feeds everything, one byte at a time when byteWise, collecting frames.
CRnError DecodeAll(CFrameDecoder& decoder, const std::string& input, std::vector<Frame>& out, bool byteWise) {
  size_t offset = 0;
  while (offset < input.size()) {
    const size_t chunk = byteWise ? 1 : input.size() - offset;
    size_t used = 0;
    CRnError err = decoder.Feed(input.data() + offset, chunk, used);
    if (err) return err;
    offset += used;
    if (decoder.HasFrame()) out.push_back(decoder.TakeFrame());
  }
  return CRnError();
}

TEST(Frame, HeaderIsBigEndianWithTheDocumentedLayout) {
  const std::string frame = Wzn::EncodeFrame(FrameKind::kXdr, 0x0102030405060708ull, std::string("abc"));
  const std::string expected = Bytes({0x57, 0x5A, 0x53, 0x43, 0x00, 0x01, 0x00, 0x02, 0x01, 0x02, 0x03, 0x04,
                                      0x05, 0x06, 0x07, 0x08, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00, 0x00}) +
                               "abc";
  EXPECT_EQ(frame, expected);
  EXPECT_EQ(frame.substr(0, 4), "WZSC");
}

TEST(FrameDecoder, ReassemblesFramesFedByteByByteOrAllAtOnce) {
  const std::string xml = "<msg group=\"75\"/>";
  std::string binary("\0\x01\xff\0", 4);
  const std::string input =
      Wzn::EncodeFrame(FrameKind::kXml, 0, xml) + Wzn::EncodeFrame(FrameKind::kXdr, 0x4B000123u, binary) +
      Wzn::EncodeControl(ControlType::kDisconnect) + Wzn::EncodeFrame(FrameKind::kXdr, 7, std::string());
  for (bool byteWise : {true, false}) {
    CFrameDecoder decoder(1024);
    std::vector<Frame> frames;
    ASSERT_FALSE(DecodeAll(decoder, input, frames, byteWise)) << "byteWise=" << byteWise;
    ASSERT_EQ(frames.size(), 4u);
    EXPECT_EQ(frames[0].kind, FrameKind::kXml);
    EXPECT_EQ(frames[0].payload, xml);
    EXPECT_EQ(frames[1].kind, FrameKind::kXdr);
    EXPECT_EQ(frames[1].xdrId, 0x4B000123u);
    EXPECT_EQ(frames[1].payload, binary);
    EXPECT_EQ(frames[2].kind, FrameKind::kControl);
    EXPECT_EQ(frames[3].xdrId, 7u);
    EXPECT_TRUE(frames[3].payload.empty());
    EXPECT_FALSE(decoder.InFrame());
  }
}

TEST(FrameDecoder, StopsAtTheEndOfEachFrame) {
  const std::string first = Wzn::EncodeFrame(FrameKind::kXml, 0, std::string("one"));
  const std::string input = first + Wzn::EncodeFrame(FrameKind::kXml, 0, std::string("two"));
  CFrameDecoder decoder;
  size_t used = 0;
  ASSERT_FALSE(decoder.Feed(input.data(), input.size(), used));
  EXPECT_EQ(used, first.size());
  ASSERT_TRUE(decoder.HasFrame());
  ASSERT_FALSE(decoder.Feed(input.data() + used, input.size() - used, used));
  EXPECT_EQ(used, 0u) << "nothing is consumed while a frame waits to be taken";
  EXPECT_EQ(decoder.TakeFrame().payload, "one");
}

// Each case breaks one header field of an otherwise good frame.
TEST(FrameDecoder, RejectsBadHeaders) {
  struct Case {
    const char* name;
    size_t offset;
    std::string bytes;
  };
  const std::vector<Case> cases = {
      {"bad magic", 0, "WZSD"},
      {"version 0", 4, Bytes({0, 0})},
      {"version 2", 4, Bytes({0, 2})},
      {"kind 0", 6, Bytes({0, 0})},
      {"kind 4", 6, Bytes({0, 4})},
      {"XDR id on an XML frame", 15, Bytes({1})},
      {"reserved set", 23, Bytes({1})},
      {"length over the limit", 16, Bytes({0, 0, 0, 101})},
      {"length 4 GiB - 1", 16, Bytes({0xff, 0xff, 0xff, 0xff})},
  };
  const std::string good = Wzn::EncodeFrame(FrameKind::kXml, 0, std::string(100, 'x'));
  for (const Case& c : cases) {
    std::string bad = good;
    bad.replace(c.offset, c.bytes.size(), c.bytes);
    CFrameDecoder decoder(100);
    size_t used = 0;
    // The header alone must be enough to refuse: no payload byte is needed.
    CRnError err = decoder.Feed(bad.data(), Wzn::kFrameHeaderSize, used);
    EXPECT_TRUE(err.IsError()) << c.name;
    EXPECT_EQ(err.GetCode(), HRESULT_FROM_WIN32(Wzn::kErrInvalidData)) << c.name;
    EXPECT_TRUE(decoder.Failed()) << c.name;
    EXPECT_TRUE(decoder.Feed(good.data(), good.size(), used).IsError()) << c.name << ": stays failed";
  }
  CFrameDecoder atLimit(100);
  std::vector<Frame> frames;
  EXPECT_FALSE(DecodeAll(atLimit, good, frames, false)) << "a payload of exactly the limit passes";
  EXPECT_EQ(frames.size(), 1u);
}

TEST(FrameDecoder, ResetForgetsAFailure) {
  CFrameDecoder decoder;
  size_t used = 0;
  const std::string junk(Wzn::kFrameHeaderSize, 'j');
  ASSERT_TRUE(decoder.Feed(junk.data(), junk.size(), used).IsError());
  decoder.Reset();
  const std::string good = Wzn::EncodeControl(ControlType::kAbort);
  ASSERT_FALSE(decoder.Feed(good.data(), good.size(), used));
  EXPECT_TRUE(decoder.HasFrame());
}

TEST(ControlPayload, RoundTripsEveryType) {
  CFrameDecoder decoder;
  auto parse = [&](const std::string& frame, ControlMessage& out) {
    std::vector<Frame> frames;
    EXPECT_FALSE(DecodeAll(decoder, frame, frames, false));
    EXPECT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].kind, FrameKind::kControl);
    return Wzn::ParseControl(frames[0].payload, out);
  };
  ControlMessage m;
  ASSERT_FALSE(parse(Wzn::EncodeHello("t0ken"), m));
  EXPECT_EQ(m.type, ControlType::kHello);
  EXPECT_EQ(m.text, "t0ken");
  ASSERT_FALSE(parse(Wzn::EncodeHello(""), m));
  EXPECT_EQ(m.text, "");
  for (ControlType t : {ControlType::kDisconnect, ControlType::kAbort, ControlType::kDisconnectReply}) {
    ASSERT_FALSE(parse(Wzn::EncodeControl(t), m));
    EXPECT_EQ(m.type, t);
  }
  WznStatus_t status;
  status.status = -1;
  status.subStatus = 0x7FFFFFFF;
  status.reason = 2;
  ASSERT_FALSE(parse(Wzn::EncodeAbortReply(status), m));
  EXPECT_EQ(m.type, ControlType::kAbortReply);
  EXPECT_EQ(m.status.status, -1);
  EXPECT_EQ(m.status.subStatus, 0x7FFFFFFF);
  EXPECT_EQ(m.status.reason, 2);
  ASSERT_FALSE(parse(Wzn::EncodeErrorNotice(std::string(Wzn::kMaxErrorTextBytes + 50, 'e')), m));
  EXPECT_EQ(m.type, ControlType::kError);
  EXPECT_EQ(m.text.size(), Wzn::kMaxErrorTextBytes) << "over-long texts are cut, not refused";
}

TEST(ControlPayload, RejectsMalformedBodies) {
  ControlMessage m;
  const std::vector<std::pair<const char*, std::string>> bad = {
      {"empty", ""},
      {"short type", Bytes({0, 0, 1})},
      {"unknown type", Bytes({0, 0, 0, 7})},
      {"type zero", Bytes({0, 0, 0, 0})},
      {"disconnect with a body", Bytes({0, 0, 0, 2, 'x'})},
      {"abort reply too short", Bytes({0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
      {"abort reply too long", Bytes({0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})},
      {"hello token too long", Bytes({0, 0, 0, 1}) + std::string(Wzn::kMaxTokenBytes + 1, 't')},
  };
  for (const auto& c : bad) {
    CRnError err = Wzn::ParseControl(c.second, m);
    EXPECT_TRUE(err.IsError()) << c.first;
    EXPECT_EQ(err.GetCode(), HRESULT_FROM_WIN32(Wzn::kErrInvalidData)) << c.first;
  }
}

}  // namespace
