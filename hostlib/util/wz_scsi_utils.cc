#include "hostlib/util/WzScsiUtils.h"

#include <boost/uuid/name_generator_sha1.hpp>
#include <boost/uuid/uuid.hpp>
#include <boost/uuid/uuid_io.hpp>

namespace {

// Namespace of the name identifiers. The identifiers name the saved
// directories and files of the action log, so this value must never change:
// a different one would orphan every configuration saved before.
constexpr boost::uuids::uuid kNameNamespace = {{0x12, 0x31, 0x97, 0x4e, 0xaa, 0xe6, 0x43, 0xe3, 0x95, 0x8d, 0xc3, 0x98,
                                                0x24, 0x60, 0x77, 0x45}};  // 1231974e-aae6-43e3-958d-c39824607745

inline bool IsBlank(char c) { return c == ' ' || c == '\t'; }
inline bool IsControl(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; }

}  // namespace

CRnError GetGUID(const char* bytes, int length, std::string& out) {
  if (length < 0 || (bytes == nullptr && length > 0))
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzScsiSrvUtils"), ERROR_INVALID_PARAMETER,
                                   "Invalid name for an identifier (length %d)", length);
  try {
    boost::uuids::name_generator_sha1 generator(kNameNamespace);
    boost::uuids::uuid id = generator(bytes != nullptr ? bytes : "", static_cast<size_t>(length));
    out = boost::uuids::to_string(id);
  } catch (const std::exception& e) {
    return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzScsiSrvUtils"), ERROR_INVALID_PARAMETER,
                                   "Failed to make an identifier: %s", e.what());
  }
  return CRnError();
}

namespace WzScsiUtils {

CRnError GetCommaSeperatedValues(const std::string& value, std::vector<std::string>& out) {
  std::vector<std::string> items;
  size_t start = 0;
  for (;;) {
    size_t comma = value.find(',', start);
    size_t end = comma == std::string::npos ? value.size() : comma;
    size_t first = start;
    while (first < end && IsBlank(value[first])) ++first;
    size_t last = end;
    while (last > first && IsBlank(value[last - 1])) --last;
    std::string item = value.substr(first, last - first);
    for (char c : item) {
      if (IsBlank(c) || IsControl(c))
        return FXErrorUtil::ErrorWin32(FX_HERE_IN("WzScsiSrvUtils"), ERROR_INVALID_PARAMETER,
                                       "Invalid name [%s] in list [%s]: blank or control character", item.c_str(),
                                       value.c_str());
    }
    if (!item.empty()) items.push_back(std::move(item));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  out.swap(items);
  return CRnError();
}

}  // namespace WzScsiUtils
