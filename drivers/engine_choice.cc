#include "drivers/engine_choice.h"

#include <sys/stat.h>

#include "drivers/WzScsiSrvPlatform.h"
#include "hostlib/config/WZPlatformInfo.h"
#include "hostlib/util/FXString.h"

namespace {

// The kernel target driver's setting of where configfs shows the kernel
// target; the driver (plugins/lio) reads the same key.
const char* const kLioSection = "WzScsiSrvLio";
const char* const kConfigfsRootKey = "ConfigfsRoot";
const char* const kDefaultConfigfsRoot = "/sys/kernel/config/target";

std::string Trimmed(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

}  // namespace

CRnError WzScsiSrvChooseEngine(const std::string& setting, bool kernelTargetPresent, const std::string& configfsRoot,
                               WzScsiSrvEngineChoice& choice) {
  const std::string value = FXString::ToLowerAscii(Trimmed(setting));
  WzScsiSrvEngineChoice made;
  if (value == "lio" || value == "tgt") {
    made.engine = value;
    made.reason = "sScsiEngine=" + value;
  } else if (value.empty() || value == "auto") {
    made.engine = kernelTargetPresent ? "lio" : "tgt";
    made.reason = "sScsiEngine=auto: " + configfsRoot + (kernelTargetPresent ? " exists" : " does not exist");
  } else {
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_INVALID_PARAMETER,
                                   "setting sScsiEngine of section Quellport is \"%s\", not one of lio, tgt, auto",
                                   setting.c_str());
  }
  made.libName = made.engine == "lio" ? WZSCSI_PLATFORM_LIB_NAME : WZSCSI_PLATFORM_TGT_LIB_NAME;
  choice = made;
  return CRnError();
}

CRnError WzScsiSrvReadEngineChoice(const std::string& setting, WzScsiSrvEngineChoice& choice) {
  std::string root;
  if (WZPlatformInfo::getString(kLioSection, kConfigfsRootKey, root).IsError() || Trimmed(root).empty()) {
    root = kDefaultConfigfsRoot;
  }
  struct stat st;
  const bool present = ::stat(root.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  if (CRnError e = WzScsiSrvChooseEngine(setting, present, root, choice)) {
    return e.Push(FX_HERE);
  }
  return CRnError();
}
