// Writes the seed corpus of msg_parse_fuzz into a directory:
// msg_fuzz_seeds <directory>
#include <cstdio>
#include <string>

#include "hostlib/msg/fuzz/msg_fuzz_seeds.h"
#include "messages/WzScsiServerMessages.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s <directory>\n", argv[0]);
    return 2;
  }
  WzScsiServer::RegisterMessages();
  int written = 0;
  for (const MsgFuzzSeeds::Seed& seed : MsgFuzzSeeds::Make()) {
    const std::string path = std::string(argv[1]) + "/" + seed.name;
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
      std::perror(path.c_str());
      return 1;
    }
    const bool ok = std::fwrite(seed.xml.data(), 1, seed.xml.size(), file) == seed.xml.size();
    if (std::fclose(file) != 0 || !ok) {
      std::perror(path.c_str());
      return 1;
    }
    ++written;
  }
  std::printf("%d seeds in %s\n", written, argv[1]);
  return 0;
}
