// Small utilities of the SCSI service's own utility library.
#pragma once

#include <string>
#include <vector>

#include "hostlib/errors/CRnError.h"

// Name identifier: a name-based UUID (SHA-1, RFC 4122 version 5) of the bytes
// under a fixed namespace of this system, in its usual 36-character lower-case
// text form. The same bytes always give the same text; the text is a valid
// single path component. Always succeeds for length >= 0.
WZ_EXPORT CRnError GetGUID(const char* bytes, int length, std::string& out);

namespace WzScsiUtils {
// Splits a comma-separated list: blanks around each item are trimmed and
// empty items dropped. Fails (Win32 code 87), leaving out untouched, when an
// item holds a blank inside it or a control character, since no target name
// can hold one.
WZ_EXPORT CRnError GetCommaSeperatedValues(const std::string& value, std::vector<std::string>& out);
}  // namespace WzScsiUtils
