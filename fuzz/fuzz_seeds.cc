// Writes the seed corpora of the fuzz targets into a directory:
//   fuzz_seeds <directory>    -> <directory>/msg, /frame, /args
#include <sys/stat.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/msg_fuzz_seeds.h"
#include "hostlib/net/frame.h"
#include "messages/WzScsiServerMessages.h"

namespace {

bool WriteSeed(const std::string& dir, const std::string& name, const std::string& bytes) {
  const std::string path = dir + "/" + name;
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    std::perror(path.c_str());
    return false;
  }
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0 || !ok) {
    std::perror(path.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  const std::string root = argv[1];
  for (const char* sub : {"/msg", "/frame", "/args"}) mkdir((root + sub).c_str(), 0755);
  WzScsiServer::RegisterMessages();
  int written = 0;
  for (const MsgFuzzSeeds::Seed& seed : MsgFuzzSeeds::Make()) {
    if (!WriteSeed(root + "/msg", seed.name, seed.xml)) return 1;
    ++written;
  }

  // Frames as a client sends them; the first byte is the piece size.
  const std::string xml = MsgFuzzSeeds::Make().empty() ? "<x/>" : MsgFuzzSeeds::Make()[0].xml;
  WznStatus_t status{};
  const std::vector<std::pair<std::string, std::string>> frames = {
      {"hello", Wzn::EncodeHello("token")},
      {"xml", Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, xml)},
      {"xdr", Wzn::EncodeFrame(Wzn::FrameKind::kXdr, 0x4B000001u, std::string("\0\1\2\3", 4))},
      {"disconnect", Wzn::EncodeControl(Wzn::ControlType::kDisconnect)},
      {"abort-reply", Wzn::EncodeAbortReply(status)},
      {"error", Wzn::EncodeErrorNotice("bad frame")},
      {"two", Wzn::EncodeHello("") + Wzn::EncodeFrame(Wzn::FrameKind::kXml, 0, xml)},
  };
  for (const auto& frame : frames) {
    for (char piece : {'\x00', '\x07', '\x17'}) {
      if (!WriteSeed(root + "/frame", frame.first + "-" + std::to_string(piece), std::string(1, piece) + frame.second))
        return 1;
      ++written;
    }
  }

  const std::vector<std::string> args = {
      "-ti iqn.a -path /p -sp AB12",
      " -ti iqn.a -path \"/a b\" -sp A -creationTime 1700000000  -usesnapinfocache  -playback ",
      "-ti iqn.a -ssid s9 -sp \"\" -size 1048576 -li 3",
      "-li -3 -hi Host1 -ti iqn.t",
      "-x \"un\\\"terminated",
  };
  for (size_t i = 0; i < args.size(); ++i) {
    if (!WriteSeed(root + "/args", "args-" + std::to_string(i), args[i])) return 1;
    ++written;
  }
  std::printf("%d seeds in %s\n", written, argv[1]);
  return 0;
}
