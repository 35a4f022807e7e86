// Loading the platform driver library of the chosen engine
// (drivers/engine_choice.h) and obtaining its object (entry
// "GetWZScsiPlatformObj").
//
// Thread safety: called once, by Initialize.
#pragma once

#include "drivers/WzScsiSrvPlatform.h"
#include "drivers/engine_choice.h"
#include "hostlib/util/CRnLibrary.h"

// Loads choice's library into library and returns its platform object (owned
// by the caller, which must release it while the library is loaded). On
// failure nothing is loaded and platform is null.
CRnError WzScsiSrvLoadPlatform(const WzScsiSrvEngineChoice& choice, CRnLibrary& library, WzScsiSrvPlatform*& platform);
