#include "hostlib/util/FXString.h"

#include <algorithm>
#include <cstdarg>

namespace {

// ASCII only: the locale must never change how names compare or fold.
inline char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

namespace FXString {

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string out = FXErrorUtil::VFormat(fmt, args);
  va_end(args);
  return out;
}

int CompareNoCase(const std::string& a, const std::string& b) {
  size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    unsigned char ca = static_cast<unsigned char>(LowerAscii(a[i]));
    unsigned char cb = static_cast<unsigned char>(LowerAscii(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

size_t FindString(const std::string& haystack, const std::string& needle, bool ignoreCase) {
  if (!ignoreCase) return haystack.find(needle);
  auto it = std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                        [](char x, char y) { return LowerAscii(x) == LowerAscii(y); });
  if (it == haystack.end() && !needle.empty()) return std::string::npos;
  return static_cast<size_t>(it - haystack.begin());
}

std::string ToLowerAscii(const std::string& s) {
  std::string out(s);
  for (char& c : out) c = LowerAscii(c);
  return out;
}

}  // namespace FXString
