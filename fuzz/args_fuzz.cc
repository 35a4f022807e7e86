// libFuzzer target of the option strings a request carries (a CreateLun's
// arguments, an Ioctl's arguments): any text parses without a crash; every
// option found can be asked for and gives the value of its last occurrence;
// the LUN argument rules accept or refuse without touching a refused record.
#include <cstdint>
#include <cstdio>
#include <string>

#include "hostlib/util/CCommandLineArguments.h"
#include "luns/lun_args.h"

namespace {

[[noreturn]] void ArgsFuzzFail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "args_fuzz: %s\n%s\n", what, detail.c_str());
  __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  // The parser takes a C string: an embedded NUL ends it, as it would on the wire.
  CCommandLineArguments parsed(text.c_str());
  for (const auto& option : parsed.Options()) {
    std::string value;
    if (parsed.GetOption(option.first, value).IsError()) ArgsFuzzFail("a listed option is not found", text);
    std::string last;
    for (const auto& other : parsed.Options())
      if (other.first == option.first) last = other.second;
    if (value != last) ArgsFuzzFail("a repeated option does not give its last value", text);
  }

  const int64_t marker = 42;
  WzScsiSrvLun lun("iqn.x", nullptr, WzScsiServer::BSTOR_BLKDEV, nullptr, nullptr, "OLD", 7, "/old", 0, 512, 524288,
                   false, &marker);
  if (ProcessCreateLunArgs(text, lun).IsError() && (lun.serialPrefix != "OLD" || lun.path != "/old"))
    ArgsFuzzFail("a refused string changed the record", text);
  if (lun.serialPrefix.size() > 16) ArgsFuzzFail("an over-long serial prefix was accepted", text);
  int32_t number = 0;
  CRnError ignored = GetLunId(text, number);
  (void)ignored;
  return 0;
}
