// Loading and starting the platform driver library.
#include "drivers/engine_choice.h"
#include "hostlib/log/LogWriter.h"
#include "service/WzScsiSrv.h"

// The engine is a setting (drivers/engine_choice.h); a setting that names no
// engine gives "", which no library has, and InitPlatform reports why.
std::string WzScsiSrv::GetPlatformLibName() const {
  WzScsiSrvEngineChoice choice;
  return WzScsiSrvReadEngineChoice(m_settings.engine, choice).IsSuccess() ? choice.libName : std::string();
}

CRnError WzScsiSrv::InitPlatform() {
  WZ_TRACE_SCOPE(1);
  WzScsiSrvEngineChoice choice;
  if (CRnError e = WzScsiSrvReadEngineChoice(m_settings.engine, choice)) {
    std::string text = e.AsString();
    return e.Push(FX_HERE, "Failed to load platform library. Error[%s]", text.c_str());
  }
  WZLOG(0, "SCSI target engine: %s (%s), chosen by %s", choice.engine.c_str(), choice.libName.c_str(),
        choice.reason.c_str());
  if (CRnError e = m_platformLib.Load(choice.libName, false)) {
    std::string text = e.AsString();
    return e.Push(FX_HERE, "Failed to load platform library. Error[%s]", text.c_str());
  }
  void* entry = nullptr;
  if (CRnError e = m_platformLib.GetAddress(WZSCSI_PLATFORM_ENTRY, &entry)) {
    CRnError freed = m_platformLib.Free();
    (void)freed;
    WZLOG(-1, "Failed to GetAddress of %s function", WZSCSI_PLATFORM_ENTRY);
    return e.Push(FX_HERE);
  }
  WzScsiSrvPlatform* platform = reinterpret_cast<GetWZScsiPlatformObj_t>(entry)();
  if (platform == nullptr)
    return FXErrorUtil::ErrorWin32(FX_HERE, ERROR_NOT_FOUND_OR_NOT_ALLOWED, "%s of %s returned no platform object",
                                   WZSCSI_PLATFORM_ENTRY, choice.libName.c_str());
  m_ptrPlatform.reset(platform);
  if (CRnError e = m_ptrPlatform->Init()) return e.Push(FX_HERE);
  return CRnError();
}
