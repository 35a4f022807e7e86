// libFuzzer target of the frame decoder: whatever arrives, in pieces of any
// size, the decoder never reads past what it was given, stays failed after
// a failure, and every frame it yields encodes back to the bytes it came
// from (so a relay of frames changes nothing). Control payloads are parsed
// too; they may be refused but must not crash.
#include <cstdint>
#include <cstdio>
#include <string>

#include "hostlib/net/frame.h"

namespace {

[[noreturn]] void FrameFuzzFail(const char* what) {
  std::fprintf(stderr, "frame_fuzz: %s\n", what);
  __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  // The first byte picks the piece size, so that partial headers and
  // payloads are fed as a network would deliver them.
  const size_t piece = 1 + data[0] % 64;
  ++data;
  --size;
  Wzn::CFrameDecoder decoder(4096);
  size_t offset = 0;
  size_t frameStart = 0;
  while (offset < size) {
    const size_t length = std::min(piece, size - offset);
    size_t consumed = 0;
    CRnError fed = decoder.Feed(data + offset, length, consumed);
    if (consumed > length) FrameFuzzFail("consumed more than it was given");
    offset += consumed;
    if (fed.IsError()) {
      if (!decoder.Failed()) FrameFuzzFail("an error that left the decoder working");
      size_t again = 0;
      if (decoder.Feed(data, size, again).IsSuccess()) FrameFuzzFail("a failed decoder accepted more bytes");
      return 0;
    }
    if (decoder.HasFrame()) {
      Wzn::Frame frame = decoder.TakeFrame();
      const std::string encoded = Wzn::EncodeFrame(frame.kind, frame.xdrId, frame.payload);
      const std::string original(reinterpret_cast<const char*>(data) + frameStart, offset - frameStart);
      if (encoded != original) FrameFuzzFail("a decoded frame does not encode to its bytes");
      frameStart = offset;
      if (frame.kind == Wzn::FrameKind::kControl) {
        Wzn::ControlMessage control;
        CRnError parsed = Wzn::ParseControl(frame.payload, control);
        (void)parsed;
      }
    } else if (consumed == 0) {
      FrameFuzzFail("no progress without a frame");
    }
  }
  return 0;
}
