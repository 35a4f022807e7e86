#include "change/target_names.h"

#include "hostlib/util/FXString.h"

namespace {

bool IsNameChar(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == ':' || c == '-'; }

}  // namespace

// Written as a scan rather than with std::regex: the standard library's
// matcher recurses once per character and overflows the stack on names of a
// hundred thousand characters, which a client can send.
bool IsValidScsiTargetName(const std::string& name) {
  if (name.size() < 5 || name.compare(0, 4, "iqn.") != 0) return false;
  for (size_t i = 4; i < name.size(); ++i)
    if (!IsNameChar(name[i])) return false;
  return true;
}

std::string ToLowerTargetName(const std::string& name) { return FXString::ToLowerAscii(name); }

bool IsValidHostId(const std::string& id) {
  if (id.empty() || id == "-") return false;
  for (unsigned char c : id)
    if (c == '#' || c == ' ' || c == '\t' || c < 0x20 || c == 0x7f) return false;
  return true;
}
