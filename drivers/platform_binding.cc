// Loading the platform driver library.
#include "drivers/platform_binding.h"

#include "hostlib/log/LogWriter.h"

CRnError WzScsiSrvLoadPlatform(const WzScsiSrvEngineChoice& choice, CRnLibrary& library, WzScsiSrvPlatform*& platform) {
  platform = nullptr;
  if (CRnError e = library.Load(choice.libName, false)) {
    std::string text = e.AsString();
    return e.Push(FX_HERE, "Failed to load platform library. Error[%s]", text.c_str());
  }
  void* entry = nullptr;
  if (CRnError e = library.GetAddress(WZSCSI_PLATFORM_ENTRY, &entry)) {
    CRnError freed = library.Free();
    (void)freed;
    WZLOG(-1, "Failed to GetAddress of %s function", WZSCSI_PLATFORM_ENTRY);
    return e.Push(FX_HERE);
  }
  platform = reinterpret_cast<GetWZScsiPlatformObj_t>(entry)();
  if (platform == nullptr)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "%s of %s returned no platform object",
                                   WZSCSI_PLATFORM_ENTRY, choice.libName.c_str());
  return CRnError();
}
