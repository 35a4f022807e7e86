// String helpers of the platform utility library.
#pragma once

#include <string>

#include "hostlib/errors/CRnError.h"

namespace FXString {
// printf-style formatting into a string.
WZ_EXPORT std::string Format(const char* fmt, ...) WZ_PRINTF(1, 2);
// Like strcasecmp (ASCII case only): <0, 0, >0.
WZ_EXPORT int CompareNoCase(const std::string& a, const std::string& b);
// Position of needle in haystack, or std::string::npos; ignoreCase: ASCII.
WZ_EXPORT size_t FindString(const std::string& haystack, const std::string& needle, bool ignoreCase);
// ASCII lower-casing of a copy.
WZ_EXPORT std::string ToLowerAscii(const std::string& s);
}  // namespace FXString
