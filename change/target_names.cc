#include "change/target_names.h"

#include "hostlib/util/FXString.h"

namespace {

bool IsNameChar(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == ':' || c == '-'; }

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsHex(char c) { return IsDigit(c) || (c >= 'a' && c <= 'f'); }

bool AllOf(const std::string& name, size_t from, bool (*test)(char)) {
  for (size_t i = from; i < name.size(); ++i)
    if (!test(name[i])) return false;
  return true;
}

// "iqn.YYYY-MM." then the naming authority (up to ':' or the end).
bool IsIqnName(const std::string& name) {
  if (name.size() < 13 || name.compare(0, 4, "iqn.") != 0) return false;
  for (size_t i : {4, 5, 6, 7, 9, 10})
    if (!IsDigit(name[i])) return false;
  if (name[8] != '-' || name[11] != '.') return false;
  const int month = (name[9] - '0') * 10 + (name[10] - '0');
  if (month < 1 || month > 12) return false;
  return name[12] != ':' && name[12] != '.';
}

bool IsEuiOrNaaName(const std::string& name) {
  if (name.compare(0, 4, "eui.") == 0) return name.size() == 4 + 16 && AllOf(name, 4, IsHex);
  if (name.compare(0, 4, "naa.") == 0) return (name.size() == 4 + 16 || name.size() == 4 + 32) && AllOf(name, 4, IsHex);
  return false;
}

const size_t kMaxNameBytes = 223;

}  // namespace

// Written as scans rather than with std::regex: the standard library's
// matcher recurses once per character and overflows the stack on names of a
// hundred thousand characters, which a client can send.
bool IsValidScsiTargetName(const std::string& name) {
  if (name.size() > kMaxNameBytes || !AllOf(name, 0, IsNameChar)) return false;
  return IsIqnName(name) || IsEuiOrNaaName(name);
}

bool IsSavedScsiTargetName(const std::string& name) {
  if (IsValidScsiTargetName(name)) return true;
  return name.size() >= 5 && name.compare(0, 4, "iqn.") == 0 && AllOf(name, 4, IsNameChar);
}

std::string ToLowerTargetName(const std::string& name) { return FXString::ToLowerAscii(name); }

bool IsValidHostId(const std::string& id) {
  if (id.empty() || id == "-") return false;
  for (unsigned char c : id)
    if (c == '#' || c == ' ' || c == '\t' || c < 0x20 || c == 0x7f) return false;
  return true;
}
