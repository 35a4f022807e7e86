#include "plugins/lio/lio_names.h"

#include <cstdlib>

#include "hostlib/util/FXString.h"
#include "hostlib/util/WzScsiUtils.h"

namespace wzlio {

std::string BackstorePrefix(const std::string& targetId) {
  const std::string lower = FXString::ToLowerAscii(targetId);
  std::string id;
  CRnError ignored = GetGUID(lower.data(), static_cast<int>(lower.size()), id);
  (void)ignored;
  std::string hex;
  for (char c : id) {
    if (c != '-') hex.push_back(c);
  }
  return kBackstorePrefix + hex + "_";
}

std::string BackstoreName(const std::string& targetId, int32_t lunId) {
  return BackstorePrefix(targetId) + std::to_string(lunId);
}

int32_t ParseLunDirName(const std::string& name) {
  if (name.size() < 5 || name.compare(0, 4, "lun_") != 0 || name.size() > 4 + 9) return -1;
  for (size_t i = 4; i < name.size(); ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
  }
  if (name.size() > 5 && name[4] == '0') return -1;  // "lun_01" is no name the kernel gives
  return static_cast<int32_t>(std::strtol(name.c_str() + 4, nullptr, 10));
}

std::string LunDirName(int32_t lunId) { return "lun_" + std::to_string(lunId); }

}  // namespace wzlio
