// Which SCSI target engine the service drives, and so which platform driver
// library it loads: setting "sScsiEngine" of section "Quellport".
//   lio   the Linux kernel target (libWzScsiSrvLio.so)
//   tgt   tgtd (libWzScsiSrvTgt.so)
//   auto  (the default) the kernel target when its configfs directory exists
//         (setting ConfigfsRoot of section WzScsiSrvLio, default
//         /sys/kernel/config/target), tgtd otherwise
//
// Thread safety: WzScsiSrvChooseEngine is a pure function;
// WzScsiSrvReadEngineChoice reads the kernel target driver's setting and the
// file system, and may be called from any thread.
#pragma once

#include <string>

#include "hostlib/errors/CRnError.h"

struct WzScsiSrvEngineChoice {
  std::string engine;   // "lio" or "tgt"
  std::string libName;  // the platform driver library
  std::string reason;   // for the log: how the choice was made
};

// setting: the value of sScsiEngine ("" when unset); case and surrounding
// blanks do not matter. Fails (Win32 code 87) for any other value.
CRnError WzScsiSrvChooseEngine(const std::string& setting, bool kernelTargetPresent, const std::string& configfsRoot,
                               WzScsiSrvEngineChoice& choice);

// The choice for setting (WzScsiSrvSettings::engine), with the kernel
// target's configfs directory looked for (the kernel target driver's setting
// ConfigfsRoot says where).
CRnError WzScsiSrvReadEngineChoice(const std::string& setting, WzScsiSrvEngineChoice& choice);
