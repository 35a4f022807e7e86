// Seed documents of the message fuzz target: for every registered class, an
// empty message and one with a field of every type (a string that needs the
// hexadecimal escape, a negative integer, a list, a nested sub-object).
// Shared by the seed writer of scripts/fuzz.sh and the unit test that runs
// the target's entry over the same seeds.
#pragma once

#include <string>
#include <vector>

#include "hostlib/msg/CNMessageBase.h"

namespace MsgFuzzSeeds {

struct Seed {
  std::string name;  // file name: "<tag name>-<variant>.xml"
  std::string xml;
};

inline std::vector<Seed> Make() {
  std::vector<Seed> seeds;
  const std::vector<CNMessageRegistry::ClassInfo> classes = CNMessageRegistry::All();
  for (size_t i = 0; i < classes.size(); ++i) {
    const CNMessageRegistry::ClassInfo& info = classes[i];
    std::unique_ptr<CNMessageBase> message = CNMessageRegistry::Create(info.group, info.number);
    if (!message) continue;
    std::string xml;
    if (message->serialize(xml, false) == CNXML_OK) seeds.push_back({info.name + "-empty.xml", xml});

    const uint32_t tag = info.tagId;
    message->setstring(1, 1, "iqn.2024-01.example:Disk <&> \xC3\xA9", tag, 5664057);
    message->setstring(2, 2, std::string("ctl\x01\r\n\0end\0", 11), tag, 1345165);
    message->setint64(3, 6, -9223372036854775807LL - 1, tag, 5521761);
    message->setliststring(4, 3, {"line one", "", " spaced ", "\x7F\x02"}, tag, 8486062);
    const CNMessageRegistry::ClassInfo& subInfo = classes[(i + 1) % classes.size()];
    std::unique_ptr<CNMessageBase> sub = CNMessageRegistry::Create(subInfo.group, subInfo.number);
    if (sub) {
      sub->setint64(1, 1, 8, subInfo.tagId, 3792897);
      sub->setstring(2, 2, "nested", subInfo.tagId, 3797676);
      message->setObjectAccessor(*sub, 5, 11, tag, 13228823);
    }
    if (message->serialize(xml, false) == CNXML_OK) seeds.push_back({info.name + "-full.xml", xml});
    if (message->serialize(xml, true) == CNXML_OK) seeds.push_back({info.name + "-pretty.xml", xml});
  }
  return seeds;
}

}  // namespace MsgFuzzSeeds
